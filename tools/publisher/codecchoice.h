#pragma once

#include "shared/blocks.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace orvale::publisher {

enum class ECodec
{
  Auto,     // per piece: stored, Deflate or LZMA, by what the saving is worth
  Lzma,
  Deflate,
  Lzip,
  Stored,
};

struct TPackingOptions
{
  ECodec codec = ECodec::Auto;
  int lzmaPreset = 3;    // LZMA and lzip, 0 to 9
  int deflateLevel = 6;  // zlib level, 1 to 9
  // Auto only. Deflate decodes about ten times faster than LZMA (on poorly
  // compressible data LZMA manages about 20 MB/s), so players pay for LZMA
  // in time: it is chosen only where it is at least this much smaller than
  // Deflate. Deflate in turn is chosen only where it is at least this much
  // smaller than the piece itself (percent).
  int minimumLzmaSavingPercent = 10;
  int minimumDeflateSavingPercent = 5;
};

// One piece as it goes into its chunk file.
struct TPackedPiece
{
  ECodec codec = ECodec::Stored;  // Lzma, Deflate, Lzip or Stored, never Auto
  QByteArray data;                // a container, or the piece itself when stored
  // The index of the blocks of a stored or Deflate piece that offers them;
  // a Deflate container is then laid out so that each block decodes alone.
  std::optional<shared::TBlockIndex> blocks;
};

// Whether a piece of this size is published with blocks (when stored or
// packed with Deflate): one larger than the largest block. A smaller piece
// would save little and cost players a request for its index.
bool offersBlocks(std::uint64_t PieceSize);

// "auto", "lzma", "deflate", "lzip", "stored".
bool parseCodec(const QString& Text, ECodec& Codec);
QString codecName(ECodec Codec);
// Extension of the chunk files a codec writes ("raw" for stored pieces),
// and the codec of a chunk file by its extension (stored for any other).
QString codecExtension(ECodec Codec);
ECodec codecOfExtension(const QString& Extension);
// Extensions of chunk files that an earlier publication may have left and
// that a publication with this codec accepts for a piece, in order of
// preference.
QStringList reusableExtensions(ECodec Codec);

// Packs one piece. Auto probes samples of the piece with Deflate (and with
// LZMA where Deflate finds the samples worth compressing), compresses the
// piece once with the codec the probe points to and checks the thresholds
// against the real result; only when LZMA falls short of the probe's
// promise is the piece compressed a second time, with Deflate. A fixed
// codec compresses unless a quick probe finds the piece incompressible, and
// stores the piece when compressing does not make it smaller. Pieces that
// offer blocks are cut into blocks, and their Deflate stream is flushed at
// each block start; the choice weighs that stream. Same piece and options,
// same result.
TPackedPiece packPiece(const TPackingOptions& Options, const QByteArray& Piece);

} // namespace orvale::publisher
