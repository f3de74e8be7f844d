// The unpacked content of a chunk: held in memory or in a temporary file,
// decoded and hashed on the way, and written into the files that need it.

#include "engine/chunkcontent.h"

#include "shared/cputime.h"
#include "shared/downloadpool.h"
#include "shared/filesystemhelper.h"
#include "shared/heap.h"
#include "shared/memoryblob.h"
#include "shared/payload.h"
#include "shared/sha256.h"

#include <QFile>

#include <algorithm>
#include <cstring>

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

// Bytes of a body in a file read to find a container header.
constexpr qint64 kHeadBytes = 64 * 1024;

[[noreturn]] void throwUndecodable()
{
  throw shared::TDecompressionError("Invalid input data could not be decompressed");
}

// The whole body in memory, or the first kHeadBytes of its file.
QByteArray bodyHead(const shared::TReplyBody& Body)
{
  if (!Body.inFile())
    return Body.data;
  QFile File(Body.file->fileName());
  openForReading(File);
  return File.read(kHeadBytes);
}

// Reads the body's bytes from Offset on, block by block.
class TBodyReader
{
public:
  TBodyReader(const shared::TReplyBody& Body, std::uint64_t Offset) : m_Body(Body), m_Position(Offset)
  {
    if (!Body.inFile())
      return;
    m_File.setFileName(Body.file->fileName());
    openForReading(m_File);
    if (!m_File.seek(qint64(Offset)))
      shared::throwIoError(m_File, "couldn't read chunk file");
  }

  std::int64_t read(char* Buffer, std::size_t Size)
  {
    if (m_File.isOpen())
      return m_File.read(Buffer, qint64(Size));
    const std::uint64_t Left = std::uint64_t(m_Body.data.size()) - std::min<std::uint64_t>(m_Position, m_Body.data.size());
    const std::size_t Taken = std::size_t(std::min<std::uint64_t>(Left, Size));
    std::memcpy(Buffer, m_Body.data.constData() + m_Position, Taken);
    m_Position += Taken;
    return std::int64_t(Taken);
  }

  // The next Size bytes in one array.
  QByteArray readAll(std::uint64_t Size)
  {
    QByteArray Data(int(Size), Qt::Uninitialized);
    if (read(Data.data(), Size) != std::int64_t(Size))
      shared::throwIoError(m_File, "couldn't read chunk file");
    return Data;
  }

private:
  const shared::TReplyBody& m_Body;
  QFile m_File;
  std::uint64_t m_Position = 0;
};

// Decodes a payload that is whole in memory into memory, hashing what it
// decodes (zstd frame by frame, while the frame is in the cache). The output
// is not cleared first: the decoder writes every byte of it.
TUnpackedChunk decodeInMemory(shared::EPayloadFormat Format, const char* Payload, std::uint64_t PayloadSize,
                              std::uint64_t UnpackedSize, const shared::TZstdDictionary* Dictionary)
{
  QByteArray Output(int(UnpackedSize), Qt::Uninitialized);
  shared::adviseHugePages(Output.data(), std::size_t(Output.size()));
  shared::TSha256 Sha;
  if (!shared::decodePayload(Format, reinterpret_cast<const std::uint8_t*>(Payload), std::size_t(PayloadSize),
                             reinterpret_cast<std::uint8_t*>(Output.data()), std::size_t(Output.size()),
                             [&Sha](const std::uint8_t* Data, std::size_t Size) { Sha.addData(Data, Size); },
                             Dictionary))
    throwUndecodable();
  return {std::make_shared<const TMemoryChunkContent>(std::move(Output)), Sha.result()};
}

// Decodes a streamable payload into a new temporary file, hashing it.
TUnpackedChunk decodeIntoFile(const shared::TReplyBody& Body, const shared::TPayloadHeader& Header,
                              const shared::TZstdDictionary* Dictionary)
{
  std::shared_ptr<QTemporaryFile> pOutput = makeChunkDataFile();
  TBodyReader Reader(Body, Header.payloadOffset);
  shared::TSha256 Sha;
  const bool Decoded = shared::streamPayload(
    Header.format, Header.packedSize, Header.unpackedSize,
    [&Reader](char* Buffer, std::size_t Size) { return Reader.read(Buffer, Size); },
    [&Sha, &pOutput](const char* Data, std::size_t Size) {
      Sha.addData(Data, Size);
      const shared::TCpuScope Scope(shared::ECpuActivity::Write);
      return pOutput->write(Data, qint64(Size)) == qint64(Size);
    },
    Dictionary);
  if (!pOutput->flush() || pOutput->error() != QFileDevice::NoError)
    shared::throwIoError(*pOutput, "couldn't write chunk file");
  if (!Decoded)
    throwUndecodable();
  return {std::make_shared<const TFileChunkContent>(std::move(pOutput), 0, Header.unpackedSize), Sha.result()};
}

} // namespace

std::shared_ptr<const TChunkContent> contentOfBody(const shared::TReplyBody& Body)
{
  if (Body.inFile())
    return std::make_shared<const TFileChunkContent>(Body.file, 0, std::uint64_t(Body.size));
  return std::make_shared<const TMemoryChunkContent>(Body.data);
}

TUnpackedChunk unpackChunk(const shared::TReplyBody& Body, std::uint64_t MaxUnpackedSize, std::uint64_t MaxInMemory,
                           const shared::TZstdDictionary* Dictionary)
{
  const QByteArray Head = bodyHead(Body);
  if (!shared::isPackedPayload(Head))
    return {contentOfBody(Body), QByteArray()};
  const auto Header = shared::readPayloadHeader(Head.constData(), std::size_t(Head.size()));
  const std::uint64_t Size = std::uint64_t(std::max<qint64>(Body.size, 0));
  if (!Header || Header->unpackedSize == 0 || Header->packedSize == 0 || Header->unpackedSize > MaxUnpackedSize ||
      Header->payloadOffset > Size || Header->packedSize > Size - Header->payloadOffset)
    throwUndecodable();
  if (Header->format == shared::EPayloadFormat::Stored && Header->packedSize == Header->unpackedSize) {
    if (Body.inFile())
      return {std::make_shared<const TFileChunkContent>(Body.file, Header->payloadOffset, Header->unpackedSize), {}};
    return {std::make_shared<const TMemoryChunkContent>(Body.data, Header->payloadOffset, Header->unpackedSize), {}};
  }
  if (!Body.inFile() && Header->unpackedSize <= MaxInMemory)
    return decodeInMemory(Header->format, Body.data.constData() + Header->payloadOffset, Header->packedSize,
                          Header->unpackedSize, Dictionary);
  if (shared::canStreamPayload(Header->format))
    return decodeIntoFile(Body, *Header, Dictionary);
  // ZPAQ, CSC and CRUSH decode whole payloads in memory only.
  if (Header->unpackedSize > shared::kMaxUnstreamedPayloadSize || Header->packedSize > 2 * shared::kMaxUnstreamedPayloadSize)
    throw shared::TDecompressionError(QString("A container of format %1 with %2 bytes is too large to decode")
                                        .arg(int(Header->format))
                                        .arg(Header->unpackedSize)
                                        .toStdString());
  TBodyReader Reader(Body, Header->payloadOffset);
  const QByteArray Payload = Reader.readAll(Header->packedSize);
  return decodeInMemory(Header->format, Payload.constData(), Header->packedSize, Header->unpackedSize, nullptr);
}

TChunkContent::~TChunkContent() = default;

void writeAtOffset(QFile& Target, std::uint64_t Offset, const char* Data, std::uint64_t Size)
{
  const shared::TCpuScope Scope(shared::ECpuActivity::Write);
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

TMemoryChunkContent::TMemoryChunkContent(QByteArray Data)
  : m_Data(std::move(Data)), m_Size(std::uint64_t(m_Data.size()))
{
}

TMemoryChunkContent::TMemoryChunkContent(QByteArray Data, std::uint64_t Offset, std::uint64_t Size)
  : m_Data(std::move(Data)), m_Offset(std::min<std::uint64_t>(Offset, std::uint64_t(m_Data.size()))),
    m_Size(std::min<std::uint64_t>(Size, std::uint64_t(m_Data.size()) - m_Offset))
{
}

void TMemoryChunkContent::copyTo(QFile& Target, std::uint64_t Offset) const
{
  writeAtOffset(Target, Offset, m_Data.constData() + m_Offset, m_Size);
}

QByteArray TMemoryChunkContent::sha256() const
{
  return shared::TSha256::hash(m_Data.constData() + m_Offset, m_Size);
}

std::shared_ptr<QTemporaryFile> makeChunkDataFile()
{
  auto pFile = std::make_shared<QTemporaryFile>(shared::temporaryFileTemplate());
  if (!pFile->open())
    shared::throwIoError(*pFile, "couldn't open chunk file");
  return pFile;
}

TFileChunkContent::TFileChunkContent(std::shared_ptr<QTemporaryFile> File, std::uint64_t Offset, std::uint64_t Size)
  : m_pFile(std::move(File)), m_Path(m_pFile->fileName()), m_Offset(Offset), m_Size(Size)
{
  m_pFile->close();
}

std::shared_ptr<const TFileChunkContent> TFileChunkContent::spill(const TChunkContent& Content)
{
  std::shared_ptr<QTemporaryFile> pFile = makeChunkDataFile();
  Content.copyTo(*pFile, 0);
  if (!pFile->flush())
    shared::throwIoError(*pFile, "couldn't write chunk file");
  pFile->close();
  shared::throwOnFileError(*pFile);
  return std::make_shared<const TFileChunkContent>(std::move(pFile), 0, Content.size());
}

void TFileChunkContent::openAtStart(QFile& Source) const
{
  openForReading(Source);
  if (!Source.seek(qint64(m_Offset)))
    shared::throwIoError(Source, "couldn't read chunk file");
}

void TFileChunkContent::copyTo(QFile& Target, std::uint64_t Offset) const
{
  QFile Source(m_Path);
  openAtStart(Source);
  QByteArray Buffer;
  for (std::uint64_t Done = 0; Done < m_Size;) {
    const std::uint64_t Block = std::min(kCopyBlock, m_Size - Done);
    readBlock(Source, Buffer, Block);
    writeAtOffset(Target, Offset + Done, Buffer.constData(), Block);
    Done += Block;
  }
}

QByteArray TFileChunkContent::sha256() const
{
  QFile Source(m_Path);
  openAtStart(Source);
  shared::TSha256 Sha;
  QByteArray Buffer(int(std::min<std::uint64_t>(kCopyBlock, std::max<std::uint64_t>(m_Size, 1))), '\0');
  if (Sha.addFromDevice(Source, Buffer, m_Size) != m_Size)
    shared::throwIoError(Source, "couldn't read chunk file");
  return Sha.result();
}

} // namespace orvale::launcher
