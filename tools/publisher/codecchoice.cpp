#include "codecchoice.h"

#include "shared/blockchunker.h"
#include "shared/blocks.h"
#include "shared/payload.h"

#include <algorithm>
#include <optional>

namespace orvale::publisher {

namespace {

// The probe: a few samples spread over the piece. Deflate sees 32 KiB back
// and zstd frames of blocks (about 64 KiB) see no further than their block,
// so 64 KiB samples show their ratio well; for LZMA they are a lower bound
// (its window is the whole piece), which errs towards the faster codec.
constexpr int kProbeSamples = 4;
constexpr int kProbeSampleSize = 65536;
// Pieces up to this size are probed whole, and the probe's result is kept.
constexpr int kWholeProbeLimit = kProbeSamples * kProbeSampleSize;
// Pieces up to this size are packed with zstd alone where it may be used: LZMA has
// too little context in them to be worth its time. Measured on 237 text and
// header files of 3 to 16 KiB, it was 10 % smaller than zstd on one; on a
// build of 20 000 such files trying it took 40 % of the publisher's time and
// it was chosen for none.
constexpr int kFastCodecOnlyLimit = 16 * 1024;

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
  case ECodec::Zstd:
    // One frame over the piece.
    if (Options.zstdDictionary)
      return shared::packZstdPayload(Data, std::size_t(Size), Options.zstdLevel, Options.zstdDictionary);
    return shared::packPayload(shared::EPayloadFormat::Zstd, Data, std::size_t(Size), Options.zstdLevel);
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

// Whether Codec writes its frames with the options' dictionary.
bool withDictionary(ECodec Codec, const TPackingOptions& Options)
{
  return Codec == ECodec::Zstd && Options.zstdDictionary;
}

// The whole piece packed with Codec (Deflate or zstd), laid out in blocks
// where the piece offers them (not with a dictionary); empty data when the
// library fails.
TPackedPiece blockedPiece(ECodec Codec, const TPackingOptions& Options, const QByteArray& Piece)
{
  if (!offersBlocks(std::uint64_t(Piece.size())) || withDictionary(Codec, Options))
    return {Codec, packWith(Codec, Options, Piece), std::nullopt, withDictionary(Codec, Options)};
  shared::TBlockedPiece Blocked =
      Codec == ECodec::Zstd
          ? shared::packZstdBlocks(Piece.constData(), std::size_t(Piece.size()), Options.zstdLevel)
          : shared::packDeflateBlocks(Piece.constData(), std::size_t(Piece.size()), Options.deflateLevel);
  if (Blocked.chunkFile.isEmpty())
    return {Codec, QByteArray(), std::nullopt};
  return {Codec, std::move(Blocked.chunkFile), std::move(Blocked.index)};
}

// The codecs the automatic choice weighs: a fast one (zstd, else Deflate)
// and LZMA, each where the options allow it.
struct TCandidates
{
  std::optional<ECodec> fast;
  bool lzma = false;
};

TCandidates candidates(const TPackingOptions& Options)
{
  TCandidates Result;
  if (Options.codecs.contains(ECodec::Zstd))
    Result.fast = ECodec::Zstd;
  else if (Options.codecs.contains(ECodec::Deflate))
    Result.fast = ECodec::Deflate;
  Result.lzma = Options.codecs.contains(ECodec::Lzma);
  return Result;
}

// Sizes of the same data stored, packed with the fast codec and, where
// probed, with LZMA.
struct TSizes
{
  qint64 stored = 0;
  qint64 fast = 0;  // the stored size where there is no fast codec
  std::optional<qint64> lzma;
};

// The rule of the automatic choice.
ECodec chooseCodec(const TPackingOptions& Options, const TCandidates& Candidates, const TSizes& Sizes)
{
  const bool FastSaves = Candidates.fast && savesAtLeast(Sizes.fast, Sizes.stored, Options.minimumDeflateSavingPercent);
  const qint64 Reference = FastSaves ? Sizes.fast : Sizes.stored;
  const int LzmaSaving = FastSaves ? Options.minimumLzmaSavingPercent : Options.minimumDeflateSavingPercent;
  if (Sizes.lzma && savesAtLeast(*Sizes.lzma, Reference, LzmaSaving))
    return ECodec::Lzma;
  return FastSaves ? *Candidates.fast : ECodec::Stored;
}

// LZMA is tried only on data that the fast codec finds worth compressing
// (on data it cannot shrink, LZMA is slow and does not do much better), or
// on every piece when there is no fast codec.
bool worthTryingLzma(const TPackingOptions& Options, const TCandidates& Candidates, const TSizes& Sizes)
{
  return Candidates.lzma &&
         (!Candidates.fast || savesAtLeast(Sizes.fast, Sizes.stored, Options.minimumDeflateSavingPercent));
}

// The choice among real results; a result is empty where its codec was not
// tried or failed.
TPackedPiece chooseAmong(const TPackingOptions& Options, const TCandidates& Candidates, const QByteArray& Piece,
                         TPackedPiece Fast, TPackedPiece Lzma)
{
  TSizes Sizes{Piece.size(), Fast.data.isEmpty() ? Piece.size() : Fast.data.size(), std::nullopt};
  if (!Lzma.data.isEmpty())
    Sizes.lzma = Lzma.data.size();
  const ECodec Choice = chooseCodec(Options, Candidates, Sizes);
  if (Choice == ECodec::Lzma)
    return Lzma;
  if (Choice != ECodec::Stored && !Fast.data.isEmpty())
    return Fast;
  return storedPiece(Piece);
}

TPackedPiece fastPiece(const TPackingOptions& Options, const TCandidates& Candidates, const QByteArray& Piece)
{
  if (!Candidates.fast)
    return {ECodec::Stored, QByteArray(), std::nullopt};
  return blockedPiece(*Candidates.fast, Options, Piece);
}

// A small piece is its own probe: both results are at hand.
TPackedPiece packSmallPiece(const TPackingOptions& Options, const TCandidates& Candidates, const QByteArray& Piece)
{
  TPackedPiece Fast = fastPiece(Options, Candidates, Piece);
  TPackedPiece Lzma{ECodec::Lzma, QByteArray(), std::nullopt};
  const TSizes Sizes{Piece.size(), Fast.data.isEmpty() ? Piece.size() : Fast.data.size(), std::nullopt};
  const bool FastOnly = Candidates.fast == ECodec::Zstd && Piece.size() <= kFastCodecOnlyLimit;
  if (!FastOnly && worthTryingLzma(Options, Candidates, Sizes))
    Lzma.data = packWith(ECodec::Lzma, Options, Piece);
  return chooseAmong(Options, Candidates, Piece, std::move(Fast), std::move(Lzma));
}

// Packs the samples of a large piece; the sizes add up over the samples.
// LZMA packs only the samples that the fast codec finds worth compressing
// (it is slowest on the others, and does not do much better there): for
// the rest it counts with the fast codec's size.
TSizes probeSamples(const TPackingOptions& Options, const TCandidates& Candidates, const QByteArray& Piece)
{
  TSizes Sizes;
  std::vector<std::pair<int, qint64>> Samples;  // offset, size with the fast codec
  for (int Sample = 0; Sample < kProbeSamples; ++Sample) {
    const int Offset = int(qint64(Piece.size() - kProbeSampleSize) * Sample / (kProbeSamples - 1));
    const QByteArray Packed = Candidates.fast ? packWith(*Candidates.fast, Options, Piece.constData() + Offset,
                                                         kProbeSampleSize)
                                              : QByteArray();
    Samples.emplace_back(Offset, Packed.isEmpty() ? kProbeSampleSize : Packed.size());
    Sizes.stored += kProbeSampleSize;
    Sizes.fast += Samples.back().second;
  }
  if (!worthTryingLzma(Options, Candidates, Sizes))
    return Sizes;
  qint64 Lzma = 0;
  for (const auto& [Offset, Fast] : Samples) {
    if (!worthTryingLzma(Options, Candidates, {kProbeSampleSize, Fast, std::nullopt})) {
      Lzma += Fast;
      continue;
    }
    const QByteArray Packed = packWith(ECodec::Lzma, Options, Piece.constData() + Offset, kProbeSampleSize);
    Lzma += Packed.isEmpty() ? Fast : std::min<qint64>(Packed.size(), Fast);
  }
  Sizes.lzma = Lzma;
  return Sizes;
}

// LZMA as the probe suggested; when the whole piece does not keep the
// probe's promise against the fast codec's estimated size, the fast codec
// is compared for real.
TPackedPiece packLzmaOrFast(const TPackingOptions& Options, const TCandidates& Candidates, const QByteArray& Piece,
                            const TSizes& Probe)
{
  TPackedPiece Lzma{ECodec::Lzma, packWith(ECodec::Lzma, Options, Piece), std::nullopt};
  const qint64 EstimatedFast = qint64(Piece.size()) * Probe.fast / std::max<qint64>(Probe.stored, 1);
  TSizes Estimate{Piece.size(), EstimatedFast, std::nullopt};
  if (!Lzma.data.isEmpty())
    Estimate.lzma = Lzma.data.size();
  if (chooseCodec(Options, Candidates, Estimate) == ECodec::Lzma)
    return Lzma;
  return chooseAmong(Options, Candidates, Piece, fastPiece(Options, Candidates, Piece), std::move(Lzma));
}

TPackedPiece packAutomatically(const TPackingOptions& Options, const QByteArray& Piece)
{
  const TCandidates Candidates = candidates(Options);
  if (!Candidates.fast && !Candidates.lzma)
    return storedPiece(Piece);
  if (Piece.size() <= kWholeProbeLimit)
    return packSmallPiece(Options, Candidates, Piece);
  const TSizes Probe = probeSamples(Options, Candidates, Piece);
  switch (chooseCodec(Options, Candidates, Probe)) {
  case ECodec::Lzma:
    return packLzmaOrFast(Options, Candidates, Piece, Probe);
  case ECodec::Stored:
    return storedPiece(Piece);
  default:
    return chooseAmong(Options, Candidates, Piece, fastPiece(Options, Candidates, Piece), {});
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
  TPackedPiece Packed = codecOffersBlocks(Options.codec)
                           ? blockedPiece(Options.codec, Options, Piece)
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

constexpr TCodecNames kCodecNames[] = {{ECodec::Auto, "auto", "raw"},   {ECodec::Lzma, "lzma", "lzma"},
                                       {ECodec::Deflate, "deflate", "deflate"}, {ECodec::Lzip, "lzip", "lz"},
                                       {ECodec::Stored, "stored", "raw"}, {ECodec::Zstd, "zstd", "zst"}};

const TCodecNames& namesOf(ECodec Codec)
{
  for (const TCodecNames& Names : kCodecNames) {
    if (Names.codec == Codec)
      return Names;
  }
  return kCodecNames[4];  // stored; every codec is in the table
}

std::uint32_t bitOf(ECodec Codec)
{
  return std::uint32_t(1) << unsigned(Codec);
}

} // namespace

TCodecSet TCodecSet::compatible()
{
  TCodecSet Codecs;
  Codecs.remove(ECodec::Zstd);
  return Codecs;
}

bool TCodecSet::contains(ECodec Codec) const
{
  return Codec == ECodec::Stored || (m_Removed & bitOf(Codec)) == 0;
}

void TCodecSet::remove(ECodec Codec)
{
  if (Codec != ECodec::Stored)
    m_Removed |= bitOf(Codec);
}

bool codecOffersBlocks(ECodec Codec)
{
  return Codec == ECodec::Stored || Codec == ECodec::Deflate || Codec == ECodec::Zstd;
}

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

bool parseCodecSet(const QString& Text, TCodecSet& Codecs)
{
  if (Text == "all" || Text == "compatible") {
    Codecs = Text == "all" ? TCodecSet() : TCodecSet::compatible();
    return true;
  }
  std::uint32_t Listed = 0;
  for (const QString& Name : Text.split(',')) {
    ECodec Codec = ECodec::Auto;
    if (!parseCodec(Name.trimmed(), Codec) || Codec == ECodec::Auto)
      return false;
    Listed |= bitOf(Codec);
  }
  Codecs = TCodecSet();
  for (const TCodecNames& Names : kCodecNames) {
    if (Names.codec != ECodec::Auto && (Listed & bitOf(Names.codec)) == 0)
      Codecs.remove(Names.codec);
  }
  return true;
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

QStringList reusableExtensions(const TPackingOptions& Options)
{
  QList<ECodec> Codecs;
  switch (Options.codec) {
  case ECodec::Auto:
    Codecs = {ECodec::Zstd, ECodec::Deflate, ECodec::Lzma};
    break;
  case ECodec::Stored:
    break;
  default:
    Codecs = {Options.codec};
  }
  QStringList Extensions;
  for (const ECodec Codec : Codecs) {
    if (Options.codecs.contains(Codec))
      Extensions << codecExtension(Codec);
  }
  return Extensions << "raw";
}

bool codecReusable(const TPackingOptions& Options, ECodec Codec)
{
  return reusableExtensions(Options).contains(codecExtension(Codec));
}

std::optional<ECodec> codecOfContainer(const QByteArray& Container)
{
  const auto Header = shared::readPayloadHeader(Container.constData(), std::size_t(Container.size()));
  if (!Header)
    return std::nullopt;
  switch (Header->format) {
  case shared::EPayloadFormat::Deflate:
    return ECodec::Deflate;
  case shared::EPayloadFormat::Lzma25:
    return ECodec::Lzma;
  case shared::EPayloadFormat::Lzip:
    return ECodec::Lzip;
  case shared::EPayloadFormat::Zstd:
    return ECodec::Zstd;
  default:
    return std::nullopt;
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
