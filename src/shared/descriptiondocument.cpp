#include "shared/descriptiondocument.h"

#include "shared/sha256.h"

#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace shared {

const char* const CompressedDescriptionSuffix = ".zst";

namespace {

// Whether the container declares a size a description may have (1 to
// MaxBytes, at most MaxDescriptionBytes); else false with Problem set.
bool declaresDescriptionSize(const TPayloadHeader& Header, qint64 MaxBytes, QString& Problem)
{
  const qint64 Limit = std::min(MaxBytes, MaxDescriptionBytes);
  if (Header.unpackedSize > 0 && Header.unpackedSize <= std::uint64_t(Limit))
    return true;
  Problem = QString("declares %1 bytes, not 1 to the %2 bytes a description may have").arg(Header.unpackedSize).arg(Limit);
  return false;
}

} // namespace

QByteArray packDescription(const QByteArray& Document, int Level)
{
  return packPayload(EPayloadFormat::Zstd, Document.constData(), std::size_t(Document.size()), Level);
}

std::optional<QByteArray> unpackDescription(const QByteArray& Packed, qint64 MaxBytes, QString& Problem)
{
  const auto Header = readPayloadHeader(Packed.constData(), std::size_t(Packed.size()));
  if (!Header || Header->packedSize > std::uint64_t(Packed.size()) - Header->payloadOffset) {
    Problem = "not a payload container";
    return std::nullopt;
  }
  if (!canStreamPayload(Header->format)) {
    Problem = QString("a container of format %1, which a description may not use").arg(int(Header->format));
    return std::nullopt;
  }
  if (!declaresDescriptionSize(*Header, MaxBytes, Problem))
    return std::nullopt;
  QByteArray Document;
  Document.reserve(int(Header->unpackedSize));
  std::size_t Offset = Header->payloadOffset;
  const std::size_t End = Header->payloadOffset + std::size_t(Header->packedSize);
  const auto Read = [&](char* Buffer, std::size_t Size) -> std::int64_t {
    const std::size_t Count = std::min(Size, End - Offset);
    std::memcpy(Buffer, Packed.constData() + Offset, Count);
    Offset += Count;
    return std::int64_t(Count);
  };
  const auto Write = [&](const char* Data, std::size_t Size) {
    if (std::uint64_t(Document.size()) + Size > Header->unpackedSize)
      return false;
    Document.append(Data, int(Size));
    return true;
  };
  // A stored payload shorter than it declares would be padded with zeros.
  const bool ShortStored = Header->format == EPayloadFormat::Stored && Header->packedSize != Header->unpackedSize;
  if (ShortStored || !streamPayload(Header->format, Header->packedSize, Header->unpackedSize, Read, Write)) {
    Problem = "does not decode";
    return std::nullopt;
  }
  return Document;
}

QString deltaDescriptionName(const QString& DescriptionFileName, const QByteArray& Base)
{
  return QString("%1.from-%2%3")
      .arg(DescriptionFileName, QString::fromLatin1(TSha256::hash(Base).toHex().left(16)), CompressedDescriptionSuffix);
}

QByteArray packDescriptionDelta(const QByteArray& Document, const QByteArray& Base, int Level)
{
  if (Document.isEmpty() || qint64(Document.size()) + Base.size() > MaxDeltaWindowBytes)
    return QByteArray();
  // The prefix must not be the input's own memory (a copy of one QByteArray
  // shares it): the encoder would find nothing to refer to.
  const QByteArray Prefix = Base.constData() == Document.constData() ? QByteArray(Base.constData(), Base.size()) : Base;
  const std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx*)> Context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  int WindowLog = 10;
  while ((qint64(1) << WindowLog) < qint64(Document.size()) + Base.size())
    ++WindowLog;
  if (!Context || ZSTD_isError(ZSTD_CCtx_setParameter(Context.get(), ZSTD_c_compressionLevel, Level)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(Context.get(), ZSTD_c_windowLog, WindowLog)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(Context.get(), ZSTD_c_checksumFlag, 1)) ||
      ZSTD_isError(ZSTD_CCtx_refPrefix(Context.get(), Prefix.constData(), std::size_t(Prefix.size()))))
    return QByteArray();
  QByteArray Payload(int(ZSTD_compressBound(std::size_t(Document.size()))), Qt::Uninitialized);
  const std::size_t Size = ZSTD_compress2(Context.get(), Payload.data(), std::size_t(Payload.size()),
                                          Document.constData(), std::size_t(Document.size()));
  if (ZSTD_isError(Size))
    return QByteArray();
  Payload.resize(int(Size));
  return containerAround(EPayloadFormat::Zstd, std::uint64_t(Document.size()), Payload);
}

std::optional<QByteArray> unpackDescriptionDelta(const QByteArray& Packed, const QByteArray& Base, qint64 MaxBytes,
                                                 QString& Problem)
{
  const auto Header = readPayloadHeader(Packed.constData(), std::size_t(Packed.size()));
  if (!Header || Header->format != EPayloadFormat::Zstd ||
      Header->packedSize != std::uint64_t(Packed.size()) - Header->payloadOffset) {
    Problem = "not a Zstandard container";
    return std::nullopt;
  }
  if (!declaresDescriptionSize(*Header, MaxBytes, Problem))
    return std::nullopt;
  const std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> Context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
  const int WindowLogMax = 26;  // MaxDeltaWindowBytes
  if (!Context || ZSTD_isError(ZSTD_DCtx_setParameter(Context.get(), ZSTD_d_windowLogMax, WindowLogMax)) ||
      ZSTD_isError(ZSTD_DCtx_refPrefix(Context.get(), Base.constData(), std::size_t(Base.size())))) {
    Problem = "cannot be decoded here";
    return std::nullopt;
  }
  // Exactly the declared size, in one frame, and nothing after it.
  QByteArray Document(int(Header->unpackedSize), Qt::Uninitialized);
  ZSTD_inBuffer In{Packed.constData() + Header->payloadOffset, std::size_t(Header->packedSize), 0};
  ZSTD_outBuffer Out{Document.data(), std::size_t(Document.size()), 0};
  const std::size_t Left = ZSTD_decompressStream(Context.get(), &Out, &In);
  if (ZSTD_isError(Left) || Left != 0 || In.pos != In.size || Out.pos != Out.size) {
    Problem = "does not decode against the installed description";
    return std::nullopt;
  }
  return Document;
}

} // namespace shared
