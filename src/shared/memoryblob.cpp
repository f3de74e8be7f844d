#include "shared/memoryblob.h"

#include "shared/filesystemhelper.h"
#include "shared/payload.h"

#include <QFile>
#include <QFileInfo>

namespace shared {

TReadOnlyMemoryBlob::TReadOnlyMemoryBlob(const QString& Path) : m_Path(Path)
{
  if (!QFileInfo::exists(Path))
    throwIoError(Path, "File does not exist");
}

TReadOnlyMemoryBlob::~TReadOnlyMemoryBlob() = default;

QByteArray TReadOnlyMemoryBlob::data() const
{
  QFile File(m_Path);
  if (!File.open(QIODevice::ReadOnly))
    throwIoError(File, "Could not open file.");
  throwOnFileError(File);
  QByteArray Data = File.readAll();
  throwOnFileError(File);
  return Data;
}

TLZMACompressedReadOnlyMemoryBlob::TLZMACompressedReadOnlyMemoryBlob(const QString& Path)
  : TReadOnlyMemoryBlob(Path)
{
}

QByteArray TLZMACompressedReadOnlyMemoryBlob::data() const
{
  const QByteArray Raw = TReadOnlyMemoryBlob::data();
  QByteArray Decoded;
  if (unpackPayload(Raw, Decoded))
    return Decoded;
  return Raw;
}

} // namespace shared
