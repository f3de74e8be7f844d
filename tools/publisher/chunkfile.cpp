#include "chunkfile.h"

#include "descriptionsource.h"

#include "shared/payload.h"
#include "shared/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace orvale::publisher {

namespace {

// Writes Data to a new file at Path; false with errno set when that fails
// (EEXIST: a file is there).
bool writeNewFile(const QString& Path, const QByteArray& Data)
{
  const int Descriptor = ::open(QFile::encodeName(Path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (Descriptor < 0)
    return false;
  qint64 Done = 0;
  while (Done < Data.size()) {
    const ssize_t Written = ::write(Descriptor, Data.constData() + Done, std::size_t(Data.size() - Done));
    if (Written < 0 && errno == EINTR)
      continue;
    if (Written <= 0)
      break;
    Done += Written;
  }
  const int WriteError = Done == Data.size() ? 0 : (errno != 0 ? errno : EIO);
  const bool Closed = ::close(Descriptor) == 0;
  if (WriteError == 0 && Closed)
    return true;
  const int Failure = WriteError != 0 ? WriteError : errno;
  ::unlink(QFile::encodeName(Path).constData());
  errno = Failure;
  return false;
}

} // namespace

// A chunk file (or block index) is created under its final name: no
// description names it before the publication's description is written,
// which follows the flush of every chunk file, so a file cut short by an
// interrupted publication is never served as part of one (and the next
// publication does not reuse it: its content is checked). A file already
// there (such a leftover, or a damaged one) is replaced atomically, through
// a temporary name. Chunk files are not flushed one by one: the chunk store
// flushes the output's file system once before the description is written
// (a flush and a rename per file cost most of the time of publishing many
// small files).
bool writeChunkFile(const QString& Path, const QByteArray& Data, QString& Error)
{
  static std::atomic<quint64> Counter{0};
  bool Written = writeNewFile(Path, Data);
  if (!Written && errno == ENOENT && QDir().mkpath(QFileInfo(Path).absolutePath()))
    Written = writeNewFile(Path, Data);
  if (!Written && errno == EEXIST) {
    const QString Temporary = QString("%1.%2-%3.part").arg(Path).arg(::getpid()).arg(++Counter);
    Written = writeNewFile(Temporary, Data) &&
              ::rename(QFile::encodeName(Temporary).constData(), QFile::encodeName(Path).constData()) == 0;
    if (!Written) {
      const int Failure = errno;
      ::unlink(QFile::encodeName(Temporary).constData());
      errno = Failure;
    }
  }
  if (!Written)
    Error = QString("cannot write %1: %2").arg(Path, QString::fromLocal8Bit(std::strerror(errno)));
  return Written;
}

std::optional<QString> chunkContentProblem(const QByteArray& Content, bool Packed, std::uint64_t UnpackedSize,
                                           const QByteArray& UnpackedHash, const shared::TZstdDictionary* Dictionary)
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
  if (!shared::unpackPayload(Content, Decoded, UnpackedSize, Dictionary) || std::uint64_t(Decoded.size()) != UnpackedSize)
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
