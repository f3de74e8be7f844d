#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryFile>

#include <cstdint>
#include <memory>

class QFile;

namespace shared {
struct TReplyBody;
class TZstdDictionary;
}

namespace orvale::launcher {

// The unpacked content of a chunk on its way into the files that need it.
// It copies itself into a target file at an offset in blocks, so that content
// held in a file never has to be whole in memory. Read-only once made: one
// content may be written by several threads at once.
class TChunkContent
{
public:
  virtual ~TChunkContent();

  virtual std::uint64_t size() const = 0;
  // Whether the content is held in memory (and counts against the cache).
  virtual bool inMemory() const = 0;
  // Writes the whole content into Target at Offset. Throws the uniform I/O
  // error when reading the content or writing Target fails or comes up short.
  virtual void copyTo(QFile& Target, std::uint64_t Offset) const = 0;
  // SHA-256 of the content; throws when it cannot be read.
  virtual QByteArray sha256() const = 0;
};

// Content held in memory: Size bytes of Data from Offset (a stored
// container's payload is used where it lies, without a copy).
class TMemoryChunkContent final : public TChunkContent
{
public:
  explicit TMemoryChunkContent(QByteArray Data);
  TMemoryChunkContent(QByteArray Data, std::uint64_t Offset, std::uint64_t Size);

  std::uint64_t size() const override { return m_Size; }
  bool inMemory() const override { return true; }
  void copyTo(QFile& Target, std::uint64_t Offset) const override;
  QByteArray sha256() const override;

private:
  const QByteArray m_Data;
  const std::uint64_t m_Offset = 0;
  const std::uint64_t m_Size = 0;
};

// Content held in Size bytes from Offset of a closed temporary file: a
// downloaded body, decoded data, or a "spill file" with a copy of content
// that waits. The file is opened only while it is read, and removed when
// the last content that uses it goes.
class TFileChunkContent final : public TChunkContent
{
public:
  TFileChunkContent(std::shared_ptr<QTemporaryFile> File, std::uint64_t Offset, std::uint64_t Size);
  // A copy of Content in a new spill file; throws when that fails.
  static std::shared_ptr<const TFileChunkContent> spill(const TChunkContent& Content);

  std::uint64_t size() const override { return m_Size; }
  bool inMemory() const override { return false; }
  void copyTo(QFile& Target, std::uint64_t Offset) const override;
  QByteArray sha256() const override;

private:
  // Opens the file for reading at the content's start; throws when it cannot.
  void openAtStart(QFile& Source) const;

  std::shared_ptr<QTemporaryFile> m_pFile;
  // Taken once while the file is made: QTemporaryFile::fileName() may not be
  // called from several threads at once.
  QString m_Path;
  std::uint64_t m_Offset = 0;
  std::uint64_t m_Size = 0;
};

// A new, open temporary file for chunk data; throws when it cannot be made.
std::shared_ptr<QTemporaryFile> makeChunkDataFile();

// A downloaded chunk unpacked: its content, and the content's SHA-256 when
// decoding computed it on the way (empty otherwise).
struct TUnpackedChunk
{
  std::shared_ptr<const TChunkContent> content;
  QByteArray sha256;
};

// A body as it arrived, as content: in memory, or in the body's file.
std::shared_ptr<const TChunkContent> contentOfBody(const shared::TReplyBody& Body);

// Unpacks a downloaded chunk container; a body that is not a container is
// the content as it is. A stored payload is used where it lies. A result of
// at most MaxInMemory bytes from a body in memory is decoded in memory;
// larger ones, and every body in a file, are decoded as a stream into a
// temporary file. Decoded content is hashed on the way. Formats that cannot stream are
// refused above shared::kMaxUnstreamedPayloadSize. Throws
// shared::TDecompressionError for a container that is malformed, declares
// more than MaxUnpackedSize or does not decode, and the uniform I/O error
// when a file cannot be read or written. Dictionary: the one the chunk's
// Zstandard frames were written with (none: null).
TUnpackedChunk unpackChunk(const shared::TReplyBody& Body, std::uint64_t MaxUnpackedSize, std::uint64_t MaxInMemory,
                           const shared::TZstdDictionary* Dictionary = nullptr);

// Writes Data at Offset of Target; throws the uniform I/O error with
// "couldn't write chunk file" when the seek or the write fails or is short.
void writeAtOffset(QFile& Target, std::uint64_t Offset, const char* Data, std::uint64_t Size);

} // namespace orvale::launcher
