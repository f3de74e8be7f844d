#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/resource.h>

#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>

namespace testsupport {

QString testDataDirectory()
{
  const QString FromEnvironment = qEnvironmentVariable("ASHGROVE_TEST_DATA_DIR");
  if (!FromEnvironment.isEmpty())
    return QDir(FromEnvironment).absolutePath();
  return QDir(sourceDirectory() + "/tests/data").absolutePath();
}

QString binaryDirectory()
{
  return qEnvironmentVariable("ASHGROVE_BINARY_DIR", QDir::currentPath());
}

QString sourceDirectory()
{
  return qEnvironmentVariable("ASHGROVE_SOURCE_DIR", QDir::currentPath());
}

QByteArray readWholeFile(const QString& Path)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly))
    throw std::runtime_error(("cannot read " + Path).toStdString());
  return File.readAll();
}

void writeWholeFile(const QString& Path, const QByteArray& Data)
{
  QDir().mkpath(QFileInfo(Path).absolutePath());
  QFile File(Path);
  if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate) || File.write(Data) != Data.size())
    throw std::runtime_error(("cannot write " + Path).toStdString());
}

QByteArray sha256Hex(const QByteArray& Data)
{
  return QCryptographicHash::hash(Data, QCryptographicHash::Sha256).toHex();
}

QByteArray pseudoRandomBytes(int Size, quint64 Seed)
{
  QByteArray Result(Size, '\0');
  quint64 State = Seed;
  for (int Index = 0; Index < Size; Index += 8) {
    // SplitMix64
    State += 0x9E3779B97F4A7C15ull;
    quint64 Value = State;
    Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
    Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
    Value ^= Value >> 31;
    for (int Byte = 0; Byte < 8 && Index + Byte < Size; ++Byte)
      Result[Index + Byte] = char((Value >> (8 * Byte)) & 0xFF);
  }
  return Result;
}

TFileSizeLimit::TFileSizeLimit(quint64 Bytes)
{
  rlimit Limit{};
  getrlimit(RLIMIT_FSIZE, &Limit);
  m_PreviousLimit = Limit.rlim_cur;
  m_pPreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
  Limit.rlim_cur = Bytes;
  if (setrlimit(RLIMIT_FSIZE, &Limit) != 0)
    throw std::runtime_error("cannot lower the file size limit");
}

TFileSizeLimit::~TFileSizeLimit()
{
  rlimit Limit{};
  getrlimit(RLIMIT_FSIZE, &Limit);
  Limit.rlim_cur = m_PreviousLimit;
  setrlimit(RLIMIT_FSIZE, &Limit);
  std::signal(SIGXFSZ, m_pPreviousHandler);
}

QByteArray gzipOfZeros(qint64 InflatedBytes)
{
  z_stream Stream = {};
  // 15 window bits + 16: a gzip header and trailer instead of zlib's.
  if (deflateInit2(&Stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("gzipOfZeros: deflateInit2 failed");
  static const QByteArray Zeros(1 << 20, '\0');
  QByteArray Output;
  char Buffer[1 << 16];
  qint64 Remaining = InflatedBytes;
  int Result = Z_OK;
  do {
    const qint64 Piece = std::min<qint64>(Remaining, Zeros.size());
    Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Zeros.constData()));
    Stream.avail_in = uInt(Piece);
    Remaining -= Piece;
    const int Flush = Remaining == 0 ? Z_FINISH : Z_NO_FLUSH;
    do {
      Stream.next_out = reinterpret_cast<Bytef*>(Buffer);
      Stream.avail_out = sizeof Buffer;
      Result = deflate(&Stream, Flush);
      Output.append(Buffer, int(sizeof Buffer - Stream.avail_out));
    } while (Stream.avail_out == 0);
  } while (Remaining > 0);
  deflateEnd(&Stream);
  if (Result != Z_STREAM_END)
    throw std::runtime_error("gzipOfZeros: deflate did not finish");
  return Output;
}

} // namespace testsupport
