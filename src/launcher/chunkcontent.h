#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryFile>

#include <cstdint>

class QFile;

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

class TMemoryChunkContent final : public TChunkContent
{
public:
  explicit TMemoryChunkContent(QByteArray Data) : m_Data(std::move(Data)) {}

  std::uint64_t size() const override { return std::uint64_t(m_Data.size()); }
  bool inMemory() const override { return true; }
  void copyTo(QFile& Target, std::uint64_t Offset) const override;
  QByteArray sha256() const override;

private:
  const QByteArray m_Data;
};

// Content kept in a temporary file of its own (the "spill file"), which is
// removed with the object.
class TSpillFileChunkContent final : public TChunkContent
{
public:
  // Copies Content into a new temporary file; throws when that fails.
  explicit TSpillFileChunkContent(const TChunkContent& Content);

  std::uint64_t size() const override { return m_Size; }
  bool inMemory() const override { return false; }
  void copyTo(QFile& Target, std::uint64_t Offset) const override;
  QByteArray sha256() const override;

private:
  QTemporaryFile m_File;
  // Taken once while the file is made: QTemporaryFile::fileName() may not be
  // called from several threads at once.
  QString m_Path;
  std::uint64_t m_Size = 0;
};

// Writes Data at Offset of Target; throws the uniform I/O error with
// "couldn't write chunk file" when the seek or the write fails or is short.
void writeAtOffset(QFile& Target, std::uint64_t Offset, const char* Data, std::uint64_t Size);

} // namespace orvale::launcher
