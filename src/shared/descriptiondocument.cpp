#include "shared/descriptiondocument.h"

#include <algorithm>
#include <cstring>

namespace shared {

const char* const CompressedDescriptionSuffix = ".zst";

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
  const qint64 Limit = std::min(MaxBytes, MaxDescriptionBytes);
  if (Header->unpackedSize == 0 || Header->unpackedSize > std::uint64_t(Limit)) {
    Problem = QString("declares %1 bytes, not 1 to the %2 bytes a description may have").arg(Header->unpackedSize).arg(Limit);
    return std::nullopt;
  }
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

} // namespace shared
