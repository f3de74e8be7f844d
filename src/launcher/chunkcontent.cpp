#include "launcher/chunkcontent.h"

#include "shared/filesystemhelper.h"
#include "shared/sha256.h"

#include <QFile>

#include <algorithm>

namespace orvale::launcher {

namespace {

constexpr std::uint64_t kCopyBlock = 1024 * 1024;

// Opens Path for reading; throws "couldn't open chunk file" when it cannot.
void openForReading(QFile& File)
{
  if (!File.open(QIODevice::ReadOnly))
    shared::throwIoError(File, "couldn't open chunk file");
}

// Reads exactly Size bytes of Source from its position into Buffer; throws
// "couldn't read chunk file" on a short read.
void readBlock(QFile& Source, QByteArray& Buffer, std::uint64_t Size)
{
  Buffer.resize(int(Size));
  if (Source.read(Buffer.data(), qint64(Size)) != qint64(Size))
    shared::throwIoError(Source, "couldn't read chunk file");
}

} // namespace

TChunkContent::~TChunkContent() = default;

void writeAtOffset(QFile& Target, std::uint64_t Offset, const char* Data, std::uint64_t Size)
{
  if (!Target.seek(qint64(Offset)))
    shared::throwIoError(Target, "couldn't write chunk file");
  std::uint64_t Done = 0;
  while (Done < Size) {
    const qint64 Written = Target.write(Data + Done, qint64(Size - Done));
    if (Written <= 0)
      shared::throwIoError(Target, "couldn't write chunk file");
    Done += std::uint64_t(Written);
  }
}

void TMemoryChunkContent::copyTo(QFile& Target, std::uint64_t Offset) const
{
  writeAtOffset(Target, Offset, m_Data.constData(), size());
}

QByteArray TMemoryChunkContent::sha256() const
{
  return shared::TSha256::hash(m_Data);
}

TSpillFileChunkContent::TSpillFileChunkContent(const TChunkContent& Content) : m_Size(Content.size())
{
  if (!m_File.open())
    shared::throwIoError(m_File, "couldn't open chunk file");
  m_Path = m_File.fileName();
  Content.copyTo(m_File, 0);
  if (!m_File.flush())
    shared::throwIoError(m_File, "couldn't write chunk file");
  m_File.close();
  shared::throwOnFileError(m_File);
}

void TSpillFileChunkContent::copyTo(QFile& Target, std::uint64_t Offset) const
{
  QFile Source(m_Path);
  openForReading(Source);
  QByteArray Buffer;
  for (std::uint64_t Done = 0; Done < m_Size;) {
    const std::uint64_t Block = std::min(kCopyBlock, m_Size - Done);
    readBlock(Source, Buffer, Block);
    writeAtOffset(Target, Offset + Done, Buffer.constData(), Block);
    Done += Block;
  }
}

QByteArray TSpillFileChunkContent::sha256() const
{
  QFile Source(m_Path);
  openForReading(Source);
  shared::TSha256 Sha;
  QByteArray Buffer(int(std::min<std::uint64_t>(kCopyBlock, std::max<std::uint64_t>(m_Size, 1))), '\0');
  if (Sha.addFromDevice(Source, Buffer, m_Size) != m_Size)
    shared::throwIoError(Source, "couldn't read chunk file");
  return Sha.result();
}

} // namespace orvale::launcher
