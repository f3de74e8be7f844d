#include "chunkfile.h"

#include "descriptionsource.h"

#include "shared/payload.h"
#include "shared/sha256.h"

#include <QSaveFile>

namespace orvale::publisher {

std::optional<QString> chunkContentProblem(const QByteArray& Content, bool Packed, std::uint64_t UnpackedSize,
                                           const QByteArray& UnpackedHash)
{
  if (!Packed) {
    if (std::uint64_t(Content.size()) != UnpackedSize)
      return QString("holds %1 bytes instead of %2").arg(Content.size()).arg(UnpackedSize);
    if (shared::TSha256::hash(Content) != UnpackedHash)
      return QString("holds other content than its unpacked hash names");
    return std::nullopt;
  }
  const auto Header = shared::readPayloadHeader(Content.constData(), std::size_t(Content.size()));
  if (!Header)
    return QString("is not a chunk container");
  if (Header->unpackedSize != UnpackedSize)
    return QString("declares %1 unpacked bytes instead of %2").arg(Header->unpackedSize).arg(UnpackedSize);
  QByteArray Decoded;
  if (!shared::unpackPayload(Content, Decoded, UnpackedSize) || std::uint64_t(Decoded.size()) != UnpackedSize)
    return QString("cannot be decoded (format id %1)").arg(int(Header->format));
  if (shared::TSha256::hash(Decoded) != UnpackedHash)
    return QString("decodes to other content than its unpacked hash names");
  return std::nullopt;
}

bool unpackContainerFile(const QString& Input, const QString& Output, QString& Error)
{
  const TFetchedFile In = readLocalFile(Input, kMaxChunkFileBytes);
  if (In.state != TFetchedFile::EState::Read) {
    Error = In.state == TFetchedFile::EState::TooLarge
                ? QString("%1 is larger than any container (%2 bytes at most)").arg(Input).arg(kMaxChunkFileBytes)
                : QString("cannot read %1: %2").arg(Input, In.state == TFetchedFile::EState::Missing ? "no such file"
                                                                                                     : In.error);
    return false;
  }
  const QByteArray& Data = In.data;
  if (!shared::isPackedPayload(Data)) {
    Error = QString("%1 is not a payload container").arg(Input);
    return false;
  }
  const auto Header = shared::readPayloadHeader(Data.constData(), std::size_t(Data.size()));
  QByteArray Decoded;
  if (!shared::unpackPayload(Data, Decoded)) {
    Error = QString("%1 cannot be decoded (format id %2)").arg(Input).arg(Header ? int(Header->format) : -1);
    return false;
  }
  QSaveFile Out(Output);
  if (!Out.open(QIODevice::WriteOnly) || Out.write(Decoded) != Decoded.size() || !Out.commit()) {
    Error = QString("cannot write %1: %2").arg(Output, Out.errorString());
    return false;
  }
  return true;
}

} // namespace orvale::publisher
