#pragma once

#include <QByteArray>
#include <QString>

#include <stdexcept>
#include <string>

namespace shared {

// Raised for data that cannot be decompressed.
class TDecompressionError : public std::runtime_error
{
public:
  explicit TDecompressionError(const std::string& Message) : std::runtime_error(Message) {}
};

// The whole content of one local file. The file is read again on each call
// of data(); nothing is cached.
class TReadOnlyMemoryBlob
{
public:
  // Throws the uniform I/O error "File does not exist" when Path is missing.
  explicit TReadOnlyMemoryBlob(const QString& Path);
  virtual ~TReadOnlyMemoryBlob();

  virtual QByteArray data() const;

  const QString& path() const { return m_Path; }

private:
  QString m_Path;
};

// A file stored in the payload container; data() returns the decoded bytes,
// or the raw bytes when they are not a decodable container.
class TLZMACompressedReadOnlyMemoryBlob : public TReadOnlyMemoryBlob
{
public:
  explicit TLZMACompressedReadOnlyMemoryBlob(const QString& Path);

  QByteArray data() const override;
};

} // namespace shared
