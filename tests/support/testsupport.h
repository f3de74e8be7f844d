#pragma once

#include <QByteArray>
#include <QString>

namespace testsupport {

// Folder with the test data kept in the repository (payload vectors under
// payloads/); from the environment variable ASHGROVE_TEST_DATA_DIR, else
// tests/data of the source tree.
QString testDataDirectory();
// The build tree and the source tree of this build.
QString binaryDirectory();
QString sourceDirectory();

QByteArray readWholeFile(const QString& Path);
void writeWholeFile(const QString& Path, const QByteArray& Data);
// Lowercase hex SHA-256.
QByteArray sha256Hex(const QByteArray& Data);
// Deterministic pseudo-random bytes.
QByteArray pseudoRandomBytes(int Size, quint64 Seed);
// A gzip stream (RFC 1952) that inflates to InflatedBytes zero bytes: about
// a thousandth of that in size.
QByteArray gzipOfZeros(qint64 InflatedBytes);

// While it lives, no regular file of this process can grow beyond Bytes:
// a write past the limit fails with EFBIG (SIGXFSZ is ignored meanwhile),
// as on a full disk, without root or a file system of its own.
class TFileSizeLimit
{
public:
  explicit TFileSizeLimit(quint64 Bytes);
  ~TFileSizeLimit();
  TFileSizeLimit(const TFileSizeLimit&) = delete;
  TFileSizeLimit& operator=(const TFileSizeLimit&) = delete;

private:
  quint64 m_PreviousLimit = 0;
  void (*m_pPreviousHandler)(int) = nullptr;
};

} // namespace testsupport
