#include "codecchoice.h"

#include "shared/blockchunker.h"
#include "shared/payload.h"

#include <algorithm>
#include <optional>

namespace orvale::publisher {

namespace {

// The probe: a few samples spread over the piece. Deflate sees 32 KiB back,
// so 64 KiB samples show its ratio well; for LZMA they are a lower bound
// (its window is larger), which errs towards the faster codec.
constexpr int kProbeSamples = 4;
constexpr int kProbeSampleSize = 65536;
// Pieces up to this size are probed whole, and the probe's result is kept.
constexpr int kWholeProbeLimit = kProbeSamples * kProbeSampleSize;

QByteArray packWith(ECodec Codec, const TPackingOptions& Options, const char* Data, int Size)
{
  switch (Codec) {
  case ECodec::Deflate:
    // One raw Deflate stream over the piece.
    return shared::packPayload(shared::EPayloadFormat::Deflate, Data, std::size_t(Size), Options.deflateLevel);
  case ECodec::Lzma:
    return shared::packPayload(shared::EPayloadFormat::Lzma25, Data, std::size_t(Size), Options.lzmaPreset);
  case ECodec::Lzip:
    return shared::packPayload(shared::EPayloadFormat::Lzip, Data, std::size_t(Size), Options.lzmaPreset);
  case ECodec::Auto:
  case ECodec::Stored:
    break;
  }
  return QByteArray();
}

QByteArray packWith(ECodec Codec, const TPackingOptions& Options, const QByteArray& Data)
{
  return packWith(Codec, Options, Data.constData(), Data.size());
}

// True when Packed is at least Percent percent smaller than Reference.
bool savesAtLeast(qint64 Packed, qint64 Reference, int Percent)
{
  return Packed * 100 <= Reference * (100 - qint64(Percent));
}

TPackedPiece storedPiece(const QByteArray& Piece)
{
  TPackedPiece Packed{ECodec::Stored, Piece, std::nullopt};
  if (offersBlocks(std::uint64_t(Piece.size())))
    Packed.blocks = shared::storedBlockIndex(Piece.constData(), std::size_t(Piece.size()));
  return Packed;
}

// The whole piece as one Deflate stream, laid out in blocks where the piece
// offers them; empty data when zlib fails.
TPackedPiece deflatedPiece(const TPackingOptions& Options, const QByteArray& Piece)
{
  if (!offersBlocks(std::uint64_t(Piece.size())))
    return {ECodec::Deflate, packWith(ECodec::Deflate, Options, Piece), std::nullopt};
  shared::TBlockedPiece Blocked =
      shared::packDeflateBlocks(Piece.constData(), std::size_t(Piece.size()), Options.deflateLevel);
  if (Blocked.chunkFile.isEmpty())
    return {ECodec::Deflate, QByteArray(), std::nullopt};
  return {ECodec::Deflate, std::move(Blocked.chunkFile), std::move(Blocked.index)};
}

// Sizes of the same data stored, deflated and, where probed, LZMA-packed.
struct TSizes
{
  qint64 stored = 0;
  qint64 deflated = 0;
  std::optional<qint64> lzma;
};

// The rule of the automatic choice.
ECodec chooseCodec(const TPackingOptions& Options, const TSizes& Sizes)
{
  if (Sizes.lzma && savesAtLeast(*Sizes.lzma, Sizes.deflated, Options.minimumLzmaSavingPercent))
    return ECodec::Lzma;
  if (savesAtLeast(Sizes.deflated, Sizes.stored, Options.minimumDeflateSavingPercent))
    return ECodec::Deflate;
  return ECodec::Stored;
}

// LZMA is tried only on data that Deflate finds worth compressing: on data
// Deflate cannot shrink, LZMA is slow and does not do much better.
bool worthTryingLzma(const TPackingOptions& Options, const TSizes& Sizes)
{
  return savesAtLeast(Sizes.deflated, Sizes.stored, Options.minimumDeflateSavingPercent);
}

// The choice among real results; a result is empty where its codec was not
// tried or failed.
TPackedPiece chooseAmong(const TPackingOptions& Options, const QByteArray& Piece, TPackedPiece Deflated,
                         TPackedPiece Lzma)
{
  TSizes Sizes{Piece.size(), Deflated.data.isEmpty() ? Piece.size() : Deflated.data.size(), std::nullopt};
  if (!Lzma.data.isEmpty())
    Sizes.lzma = Lzma.data.size();
  const ECodec Choice = chooseCodec(Options, Sizes);
  if (Choice == ECodec::Lzma)
    return Lzma;
  if (Choice == ECodec::Deflate && !Deflated.data.isEmpty())
    return Deflated;
  return storedPiece(Piece);
}

// A small piece is its own probe: both results are at hand.
TPackedPiece packSmallPiece(const TPackingOptions& Options, const QByteArray& Piece)
{
  TPackedPiece Deflated = deflatedPiece(Options, Piece);
  TPackedPiece Lzma{ECodec::Lzma, QByteArray(), std::nullopt};
  if (!Deflated.data.isEmpty() && worthTryingLzma(Options, {Piece.size(), Deflated.data.size(), std::nullopt}))
    Lzma.data = packWith(ECodec::Lzma, Options, Piece);
  return chooseAmong(Options, Piece, std::move(Deflated), std::move(Lzma));
}

// Packs the samples of a large piece; the sizes add up over the samples.
// LZMA packs only the samples that Deflate finds worth compressing (it is
// slowest on the others, and does not do much better there): for the rest
// it counts with Deflate's size.
TSizes probeSamples(const TPackingOptions& Options, const QByteArray& Piece)
{
  TSizes Sizes;
  std::vector<std::pair<int, qint64>> Samples;  // offset, deflated size
  for (int Sample = 0; Sample < kProbeSamples; ++Sample) {
    const int Offset = int(qint64(Piece.size() - kProbeSampleSize) * Sample / (kProbeSamples - 1));
    const QByteArray Packed = packWith(ECodec::Deflate, Options, Piece.constData() + Offset, kProbeSampleSize);
    Samples.emplace_back(Offset, Packed.isEmpty() ? kProbeSampleSize : Packed.size());
    Sizes.stored += kProbeSampleSize;
    Sizes.deflated += Samples.back().second;
  }
  if (!worthTryingLzma(Options, Sizes))
    return Sizes;
  qint64 Lzma = 0;
  for (const auto& [Offset, Deflated] : Samples) {
    if (!worthTryingLzma(Options, {kProbeSampleSize, Deflated, std::nullopt})) {
      Lzma += Deflated;
      continue;
    }
    const QByteArray Packed = packWith(ECodec::Lzma, Options, Piece.constData() + Offset, kProbeSampleSize);
    Lzma += Packed.isEmpty() ? Deflated : std::min<qint64>(Packed.size(), Deflated);
  }
  Sizes.lzma = Lzma;
  return Sizes;
}

TPackedPiece packDeflateOrStore(const TPackingOptions& Options, const QByteArray& Piece)
{
  return chooseAmong(Options, Piece, deflatedPiece(Options, Piece), {});
}

// LZMA as the probe suggested; when the whole piece does not keep the
// probe's promise against Deflate's estimated size, Deflate is compared for
// real.
TPackedPiece packLzmaOrDeflate(const TPackingOptions& Options, const QByteArray& Piece, const TSizes& Probe)
{
  TPackedPiece Lzma{ECodec::Lzma, packWith(ECodec::Lzma, Options, Piece), std::nullopt};
  const qint64 EstimatedDeflated = qint64(Piece.size()) * Probe.deflated / std::max<qint64>(Probe.stored, 1);
  if (!Lzma.data.isEmpty() && savesAtLeast(Lzma.data.size(), EstimatedDeflated, Options.minimumLzmaSavingPercent))
    return Lzma;
  return chooseAmong(Options, Piece, deflatedPiece(Options, Piece), std::move(Lzma));
}

TPackedPiece packAutomatically(const TPackingOptions& Options, const QByteArray& Piece)
{
  if (Piece.size() <= kWholeProbeLimit)
    return packSmallPiece(Options, Piece);
  const TSizes Probe = probeSamples(Options, Piece);
  switch (chooseCodec(Options, Probe)) {
  case ECodec::Lzma:
    return packLzmaOrDeflate(Options, Piece, Probe);
  case ECodec::Deflate:
    return packDeflateOrStore(Options, Piece);
  default:
    return storedPiece(Piece);
  }
}

// A quick look whether compressing can pay at all: Deflate at its fastest
// level on a few samples. Random or already compressed data is stored
// without spending seconds in a slow codec.
bool looksCompressible(const QByteArray& Data)
{
  if (Data.size() <= 3 * kProbeSampleSize)
    return true;
  for (int Part = 0; Part < 3; ++Part) {
    const int Offset = int((qint64(Data.size() - kProbeSampleSize) * Part) / 2);
    const QByteArray Packed =
        shared::packPayload(shared::EPayloadFormat::Deflate, Data.constData() + Offset, kProbeSampleSize, 1);
    if (!Packed.isEmpty() && Packed.size() < kProbeSampleSize * 97 / 100)
      return true;
  }
  return false;
}

TPackedPiece packWithFixedCodec(const TPackingOptions& Options, const QByteArray& Piece)
{
  if (!looksCompressible(Piece))
    return storedPiece(Piece);
  TPackedPiece Packed = Options.codec == ECodec::Deflate
                           ? deflatedPiece(Options, Piece)
                           : TPackedPiece{Options.codec, packWith(Options.codec, Options, Piece), std::nullopt};
  if (Packed.data.isEmpty() || Packed.data.size() >= Piece.size())
    return storedPiece(Piece);
  return Packed;
}

struct TCodecNames
{
  ECodec codec;
  const char* name;       // on the command line
  const char* extension;  // of the chunk files it writes
};

constexpr TCodecNames kCodecNames[] = {{ECodec::Auto, "auto", "raw"},
                                       {ECodec::Lzma, "lzma", "lzma"},
                                       {ECodec::Deflate, "deflate", "deflate"},
                                       {ECodec::Lzip, "lzip", "lz"},
                                       {ECodec::Stored, "stored", "raw"}};

const TCodecNames& namesOf(ECodec Codec)
{
  for (const TCodecNames& Names : kCodecNames) {
    if (Names.codec == Codec)
      return Names;
  }
  return kCodecNames[4];  // stored; every codec is in the table
}

} // namespace

bool parseCodec(const QString& Text, ECodec& Codec)
{
  for (const TCodecNames& Names : kCodecNames) {
    if (Text == Names.name) {
      Codec = Names.codec;
      return true;
    }
  }
  return false;
}

QString codecName(ECodec Codec)
{
  return namesOf(Codec).name;
}

QString codecExtension(ECodec Codec)
{
  return namesOf(Codec).extension;
}

ECodec codecOfExtension(const QString& Extension)
{
  for (const TCodecNames& Names : kCodecNames) {
    if (Extension == Names.extension && Names.codec != ECodec::Auto)
      return Names.codec;
  }
  return ECodec::Stored;
}

QStringList reusableExtensions(ECodec Codec)
{
  switch (Codec) {
  case ECodec::Auto:
    return {"deflate", "lzma", "raw"};
  case ECodec::Stored:
    return {"raw"};
  default:
    return {codecExtension(Codec), "raw"};
  }
}

bool offersBlocks(std::uint64_t PieceSize)
{
  return PieceSize > shared::BlockMaximumSize;
}

TPackedPiece packPiece(const TPackingOptions& Options, const QByteArray& Piece)
{
  if (Piece.isEmpty() || Options.codec == ECodec::Stored)
    return storedPiece(Piece);
  if (Options.codec == ECodec::Auto)
    return packAutomatically(Options, Piece);
  return packWithFixedCodec(Options, Piece);
}

} // namespace orvale::publisher
