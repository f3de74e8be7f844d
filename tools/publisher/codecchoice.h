#pragma once

#include "shared/blocks.h"
#include "shared/zstdframes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>

namespace orvale::publisher {

enum class ECodec
{
  Auto,     // per piece: stored, zstd or LZMA (without zstd: Deflate instead), by what the saving is worth
  Lzma,
  Deflate,
  Lzip,
  Stored,
  Zstd,     // container format 9, which launchers from before it cannot decode
};

// The codecs a publication may write; stored is always among them (a piece
// that does not compress is stored).
class TCodecSet
{
public:
  // Every codec.
  TCodecSet() = default;
  // The codecs whose container formats every launcher reads: stored,
  // Deflate, LZMA and lzip (a launcher's own package is published so, so
  // that launchers from before zstd can update themselves).
  static TCodecSet compatible();

  bool contains(ECodec Codec) const;
  void remove(ECodec Codec);

private:
  std::uint32_t m_Removed = 0;  // bit per codec
};

struct TPackingOptions
{
  ECodec codec = ECodec::Auto;
  TCodecSet codecs;      // what may be written
  int lzmaPreset = 3;    // LZMA and lzip, 0 to 9
  int deflateLevel = 6;  // zlib level, 1 to 9
  // Zstandard level, 1 to 19. Measured on the bench's 1 GiB build: level 3
  // publishes it in 7 CPU seconds, 6 in 10.5 and 9 in 16, for chunk files
  // within 0.3 % of each other (on the mixed payload vector, whose blocks
  // level 9 packs 4 % smaller, it is 7 times slower); casync make takes 7 to
  // 13 CPU seconds for the same build.
  int zstdLevel = 3;
  // Auto only. Zstandard (or, where it may not be used, Deflate) decodes
  // ten and more times faster than LZMA (on poorly compressible data LZMA
  // manages about 20 MB/s), so players pay for LZMA in time: it is chosen
  // only where it is at least this much smaller than the faster codec.
  // The faster codec in turn is chosen only where it is at least this much
  // smaller than the piece itself (percent).
  int minimumLzmaSavingPercent = 10;
  int minimumDeflateSavingPercent = 5;
  // Where set (the publisher sets it for pieces in packs), zstd writes one
  // frame over the piece with this dictionary instead of a plain one: a
  // small piece has little context of its own. Such pieces offer no
  // blocks.
  std::shared_ptr<const shared::TZstdDictionary> zstdDictionary;
};

// One piece as it goes into its chunk file.
struct TPackedPiece
{
  ECodec codec = ECodec::Stored;  // never Auto
  QByteArray data;                // a container, or the piece itself when stored
  // The index of the blocks of a stored, Deflate or zstd piece that offers
  // them; the container is then laid out so that each block decodes alone.
  std::optional<shared::TBlockIndex> blocks;
  // Written with the options' zstd dictionary: it decodes only with it.
  bool withDictionary = false;
};

// Whether a piece of this size is published with blocks (when stored or
// packed with Deflate or zstd): one larger than the largest block. A smaller piece
// would save little and cost players a request for its index.
bool offersBlocks(std::uint64_t PieceSize);

// Whether a codec's chunk files can offer blocks.
bool codecOffersBlocks(ECodec Codec);

// "auto", "lzma", "deflate", "lzip", "stored", "zstd".
bool parseCodec(const QString& Text, ECodec& Codec);
// A comma-separated list of codec names (not auto), or "compatible" for
// TCodecSet::compatible(), or "all".
bool parseCodecSet(const QString& Text, TCodecSet& Codecs);
QString codecName(ECodec Codec);
// Extension of the chunk files a codec writes ("raw" for stored pieces),
// and the codec of a chunk file by its extension (stored for any other).
QString codecExtension(ECodec Codec);
ECodec codecOfExtension(const QString& Extension);
// Extensions of chunk files that an earlier publication may have left and
// that a publication with these options accepts for a piece, in order of
// preference.
QStringList reusableExtensions(const TPackingOptions& Options);
// Whether a piece an earlier publication packed with Codec is taken over
// as it is by a publication with these options (as its chunk file would
// be: reusableExtensions).
bool codecReusable(const TPackingOptions& Options, ECodec Codec);
// The codec that wrote a container (its header's format); nothing for a
// format the publisher does not write or for what is no container.
std::optional<ECodec> codecOfContainer(const QByteArray& Container);

// Packs one piece. Auto probes samples of the piece with the faster codec
// (zstd, or Deflate where zstd may not be used) and with LZMA where the
// faster codec finds the samples worth compressing, compresses the piece
// once with the codec the probe points to and checks the thresholds against
// the real result (pieces of at most 16 KiB are not tried with LZMA when
// zstd may be used); only when LZMA falls short of the probe's promise is the
// piece compressed a second time, with the faster codec. A fixed codec
// compresses unless a quick probe finds the piece incompressible, and
// stores the piece when compressing does not make it smaller. Pieces that
// offer blocks are cut into blocks, and their Deflate stream is flushed (or
// a zstd frame begun) at each block start; the choice weighs that layout.
// Same piece and options, same result.
TPackedPiece packPiece(const TPackingOptions& Options, const QByteArray& Piece);

} // namespace orvale::publisher
