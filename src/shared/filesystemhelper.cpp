#include "shared/filesystemhelper.h"

#include "shared/memoryblob.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QTextStream>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace shared {

void throwIoError(const QString& FileName, const QString& Text)
{
  throw std::runtime_error(QString("I/O error on file '%1': %2").arg(FileName, Text).toStdString());
}

void throwIoError(const QFileDevice& Device, const QString& Text)
{
  throwIoError(Device.fileName(), Text);
}

void throwOnFileError(const QFileDevice& Device)
{
  if (Device.error() != QFileDevice::NoError)
    throwIoError(Device, Device.errorString());
}

void flushFileToDisk(QFileDevice& File)
{
  if (!File.flush())
    throwIoError(File, File.errorString());
  if (::fdatasync(File.handle()) != 0)
    throwIoError(File, QString::fromLocal8Bit(std::strerror(errno)));
}

void startWritingToDisk(QFileDevice& File, qint64 Offset, qint64 Size)
{
  ::sync_file_range(File.handle(), Offset, Size, SYNC_FILE_RANGE_WRITE);
}

void flushFileSystemToDisk(const QString& Path)
{
  TFileSystemFlush(Path).flush();
}

TFileSystemFlush::TFileSystemFlush(const QString& Path)
  : m_Path(Path), m_Descriptor(::open(QFile::encodeName(Path).constData(), O_RDONLY | O_CLOEXEC))
{
  if (m_Descriptor < 0)
    m_OpenError = errno;
}

TFileSystemFlush::~TFileSystemFlush()
{
  if (m_Descriptor >= 0)
    ::close(m_Descriptor);
}

void TFileSystemFlush::flush() const
{
  if (m_Descriptor < 0)
    throwIoError(m_Path, QString::fromLocal8Bit(std::strerror(m_OpenError)));
  if (::syncfs(m_Descriptor) != 0)
    throwIoError(m_Path, QString::fromLocal8Bit(std::strerror(errno)));
}

struct TBackgroundWriteback::TState
{
  int descriptor = -1;
  std::uint64_t threshold = 0;
  std::mutex mutex;
  std::uint64_t unwritten = 0;  // counted since the last writeback started
  bool running = false;
  int started = 0;
  std::thread thread;

  ~TState()
  {
    if (descriptor >= 0)
      ::close(descriptor);
  }
};

TBackgroundWriteback::TBackgroundWriteback(const QString& Path, std::uint64_t Threshold)
  : m_pState(std::make_shared<TState>())
{
  m_pState->descriptor = ::open(QFile::encodeName(Path).constData(), O_RDONLY | O_CLOEXEC);
  m_pState->threshold = std::max<std::uint64_t>(Threshold, 1);
}

TBackgroundWriteback::~TBackgroundWriteback()
{
  std::lock_guard Lock(m_pState->mutex);
  if (m_pState->thread.joinable())
    m_pState->thread.detach();
}

void TBackgroundWriteback::written(std::uint64_t Bytes)
{
  TState& State = *m_pState;
  if (State.descriptor < 0)
    return;
  std::lock_guard Lock(State.mutex);
  State.unwritten += Bytes;
  if (State.running || State.unwritten < State.threshold)
    return;
  State.unwritten = 0;
  State.running = true;
  ++State.started;
  // The last writeback has ended (running was false): its thread is done.
  if (State.thread.joinable())
    State.thread.join();
  State.thread = std::thread([Shared = m_pState] {
    ::syncfs(Shared->descriptor);
    std::lock_guard Lock(Shared->mutex);
    Shared->running = false;
  });
}

int TBackgroundWriteback::started() const
{
  std::lock_guard Lock(m_pState->mutex);
  return m_pState->started;
}

void flushDirectoryToDisk(const QString& Directory)
{
  const int Descriptor = ::open(QFile::encodeName(Directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Descriptor < 0)
    throwIoError(Directory, QString::fromLocal8Bit(std::strerror(errno)));
  // Some file systems cannot flush a directory (EINVAL); their entries are
  // as durable as they get.
  const bool Failed = ::fsync(Descriptor) != 0 && errno != EINVAL;
  const int Error = errno;
  ::close(Descriptor);
  if (Failed)
    throwIoError(Directory, QString::fromLocal8Bit(std::strerror(Error)));
}

namespace {

// Renames From to To, replacing To; throws the uniform error on failure.
void renameReplacing(const QString& From, const QString& To)
{
  if (std::rename(QFile::encodeName(From).constData(), QFile::encodeName(To).constData()) != 0)
    throwIoError(To, QString::fromLocal8Bit(std::strerror(errno)));
}

// Creates a new file beside Path whose name no other writer uses.
void openTemporaryBeside(QFile& File, const QString& Path)
{
  static std::atomic<unsigned> Counter{0};
  for (int Attempt = 0; Attempt < 100; ++Attempt) {
    File.setFileName(QString("%1.tmp-%2-%3").arg(Path).arg(::getpid()).arg(Counter.fetch_add(1)));
    if (File.open(QIODevice::WriteOnly | QIODevice::NewOnly))
      return;
  }
  throwIoError(Path, "Could not open file.");
}

// Writes Text to Path, truncating or appending (Mode); throws the uniform
// error when the file cannot be opened or not all of Text reaches it.
void writeText(const QString& Path, const QString& Text, QIODevice::OpenMode Mode)
{
  QFile File(Path);
  if (!File.open(QIODevice::WriteOnly | QIODevice::Text | Mode))
    throwIoError(File, "Could not open file.");
  QTextStream Stream(&File);
  Stream << Text;
  Stream.flush();
  if (Stream.status() != QTextStream::Ok)
    throwIoError(File, "Could not write all data to disk.");
  File.close();
  throwOnFileError(File);
}

// Whether a leftover's writer, named by its process id, may still write it.
bool writerMayBeRunning(const QString& ProcessText)
{
  bool Ok = false;
  const qlonglong Process = ProcessText.toLongLong(&Ok);
  if (!Ok || Process <= 0 || Process > std::numeric_limits<pid_t>::max())
    return true;
  if (pid_t(Process) == ::getpid())
    return true;
  return ::kill(pid_t(Process), 0) == 0 || errno != ESRCH;
}

// Whether Name is that of a file an interrupted write of the launcher left.
bool isInterruptedWriteLeftover(const QString& Name)
{
  static const QRegularExpression Temporary(QStringLiteral("^.+\\.tmp-([0-9]+)-[0-9]+$"));
  static const QRegularExpression Blocks(QStringLiteral("^\\.ashgrove-blocks-(?:([0-9]+)-[A-Za-z0-9]+|[A-Za-z0-9]{6})$"));
  for (const QRegularExpression* Pattern : {&Temporary, &Blocks}) {
    const QRegularExpressionMatch Match = Pattern->match(Name);
    if (Match.hasMatch())
      return Match.captured(1).isEmpty() || !writerMayBeRunning(Match.captured(1));
  }
  return false;
}

} // namespace

QString securedBlocksFileTemplate()
{
  return QString(".ashgrove-blocks-%1-XXXXXX").arg(::getpid());
}

int removeInterruptedWriteLeftovers(const QString& Folder)
{
  int Removed = 0;
  const QDir Directory(Folder);
  const QStringList Names =
      Directory.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks | QDir::NoDotAndDotDot);
  for (const QString& Name : Names) {
    if (!isInterruptedWriteLeftover(Name))
      continue;
    const QByteArray Path = QFile::encodeName(Directory.filePath(Name));
    // Looked at once more without following links: unlink() would remove a
    // link that took the file's place, not what it points to, but only our
    // own files are removed.
    struct stat Status = {};
    if (::lstat(Path.constData(), &Status) != 0 || !S_ISREG(Status.st_mode))
      continue;
    if (::unlink(Path.constData()) != 0) {
      qWarning().noquote() << QString("Cannot remove %1, left by an interrupted write: %2")
                                  .arg(Directory.filePath(Name), QString::fromLocal8Bit(std::strerror(errno)));
      continue;
    }
    qInfo().noquote() << QString("Removed %1, left by an interrupted write").arg(Directory.filePath(Name));
    ++Removed;
  }
  return Removed;
}

qint64 raiseOpenFileLimit()
{
  struct rlimit Limit = {};
  if (::getrlimit(RLIMIT_NOFILE, &Limit) != 0)
    return -1;
  if (Limit.rlim_cur != Limit.rlim_max) {
    struct rlimit Raised = Limit;
    Raised.rlim_cur = Limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &Raised) == 0)
      Limit = Raised;
  }
  return Limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<qint64>::max() : qint64(Limit.rlim_cur);
}

TFileSystemHelper::~TFileSystemHelper() = default;

std::shared_ptr<TReadOnlyMemoryBlob> TFileSystemHelper::openReadOnlyMemoryBlob(const QString& Path)
{
  if (fileExists(Path)) {
    if (Path.endsWith(".lzma"))
      return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(Path);
    return std::make_shared<TReadOnlyMemoryBlob>(Path);
  }
  const QString CompressedPath = Path + ".lzma";
  if (fileExists(CompressedPath))
    return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(CompressedPath);
  return std::make_shared<TReadOnlyMemoryBlob>(Path);  // throws "File does not exist"
}

QByteArray TFileSystemHelper::readFile(const QString& Path)
{
  QFile File(Path);
  File.open(QIODevice::ReadOnly);
  throwOnFileError(File);
  QByteArray Data = File.readAll();
  throwOnFileError(File);
  File.close();
  throwOnFileError(File);
  return Data;
}

QByteArray TFileSystemHelper::readFileIfExists(const QString& Path)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly)) {
    if (File.error() == QFileDevice::OpenError)
      return QByteArray();
    throwOnFileError(File);
  }
  QByteArray Data = File.readAll();
  throwOnFileError(File);
  File.close();
  throwOnFileError(File);
  return Data;
}

void TFileSystemHelper::writeFile(const QString& Path, const QByteArray& Data)
{
  QFile File(Path);
  if (!File.open(QIODevice::WriteOnly | QIODevice::Truncate))
    throwIoError(File, "Could not open file.");
  const qint64 Written = File.write(Data);
  throwOnFileError(File);
  if (Written != Data.size())
    throwIoError(File, "Could not write all data to disk.");
  File.close();
  throwOnFileError(File);
}

void TFileSystemHelper::writeFileAtomically(const QString& Path, const QByteArray& Data)
{
  QFile Temporary;
  openTemporaryBeside(Temporary, Path);
  try {
    if (Temporary.write(Data) != Data.size())
      throwIoError(Temporary, "Could not write all data to disk.");
    flushFileToDisk(Temporary);
    Temporary.close();
    throwOnFileError(Temporary);
    renameReplacing(Temporary.fileName(), Path);
  } catch (const std::runtime_error&) {
    Temporary.remove();
    throw;
  }
  flushDirectoryToDisk(QFileInfo(Path).absolutePath());
}

void TFileSystemHelper::writeTextFile(const QString& Path, const QString& Text)
{
  writeText(Path, Text, QIODevice::Truncate);
}

void TFileSystemHelper::appendTextFile(const QString& Path, const QString& Text)
{
  writeText(Path, Text, QIODevice::Append);
}

void TFileSystemHelper::deleteFile(const QString& Path)
{
  if (!QFile::remove(Path))
    throw std::runtime_error(QString("Failed to delete file %1").arg(Path).toStdString());
}

void TFileSystemHelper::copyFile(const QString& From, const QString& To)
{
  QFile::copy(From, To);
}

QDir TFileSystemHelper::ensureDirectory(const QString& Path)
{
  QDir Dir(Path);
  if (!Dir.exists() && !Dir.mkpath(".")) {
    throw std::runtime_error(
        QString("Failed to create folder: '%1'.").arg(QDir::toNativeSeparators(Path)).toStdString());
  }
  Dir.refresh();
  return Dir;
}

namespace {

// A relative path of names only: no empty, "." or ".." segment, no leading
// or trailing separator. Joined to a clean base it is clean as it is.
bool isPlainRelativePath(const QString& Path)
{
  if (Path.isEmpty())
    return false;
  const QChar* Segment = Path.constData();
  const QChar* const End = Segment + Path.size();
  for (;;) {
    const QChar* Slash = std::find(Segment, End, QChar('/'));
    const qsizetype Length = Slash - Segment;
    if (Length == 0 || (Length == 1 && Segment[0] == '.') || (Length == 2 && Segment[0] == '.' && Segment[1] == '.'))
      return false;
    if (Slash == End)
      return true;
    Segment = Slash + 1;
  }
}

} // namespace

QString TFileSystemHelper::joinPathInside(const QDir& Base, const QString& RelativePath)
{
  const QString BasePath = QDir::cleanPath(Base.absolutePath());
  // Most paths of a description are plain: no cleaning needed, and they
  // cannot climb out of the base.
  if (isPlainRelativePath(RelativePath))
    return BasePath.endsWith('/') ? BasePath + RelativePath : BasePath + '/' + RelativePath;
  const QString Candidate = QDir::cleanPath(joinPaths({BasePath, RelativePath}));
  // Accept the candidate only when it is the base itself or lies below it; a
  // plain prefix test would let "../pkg2/x" escape into a sibling "pkg2".
  const QString BaseWithSeparator = BasePath.endsWith('/') ? BasePath : BasePath + '/';
  const bool Climbs = Candidate.contains("/../") || Candidate.endsWith("/..");
  if (!Climbs && (Candidate == BasePath || Candidate.startsWith(BaseWithSeparator)))
    return Candidate;

  QString Name = QFileInfo(RelativePath).fileName();
  if (Name.isEmpty())
    Name = QDir(RelativePath).dirName();
  if (Name == ".." || Name == ".")
    Name.clear();
  return QDir::cleanPath(joinPaths({BasePath, Name}));
}

void TFileSystemHelper::forEachFileInDirectory(const QString& Path,
                                               std::function<void(const TLocalFileInfo&)> Visit)
{
  if (!Visit)
    throw std::bad_function_call();
  for (const TLocalFileInfo& Info : listFilesInDirectory(Path))
    Visit(Info);
}

std::vector<TLocalFileInfo> TFileSystemHelper::listFilesInDirectory(const QString& Path)
{
  std::vector<TLocalFileInfo> Result;
  const QFileInfoList Entries =
      QDir(Path).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
  Result.reserve(Entries.size());
  for (const QFileInfo& Entry : Entries)
    Result.emplace_back(Entry.absoluteFilePath(), Entry.size());
  return Result;
}

bool TFileSystemHelper::fileExists(const QString& Path)
{
  return QFileInfo::exists(Path);
}

bool TFileSystemHelper::directoryExists(const QString& Path)
{
  return QDir(Path).exists();
}

QString TFileSystemHelper::joinPaths(const std::vector<QString>& Parts)
{
  QStringList List;
  for (const QString& Part : Parts)
    List << Part;
  return QDir::toNativeSeparators(List.join('/'));
}

QDir TFileSystemHelper::openSubdirectory(const QString& Parent, const QString& Name)
{
  if (!directoryExists(Parent))
    throw std::runtime_error("Directory doesn't exist");
  QDir Dir(Parent);
  if (!Dir.cd(Name)) {
    if (!Dir.mkdir(Name) || !Dir.cd(Name))
      throw std::runtime_error("Failed to create subdirectory.");
  }
  return Dir;
}

std::shared_ptr<QSettings> TFileSystemHelper::openSettings(const QString& Path)
{
  return std::make_shared<QSettings>(Path, QSettings::IniFormat);
}

QJsonDocument TFileSystemHelper::readJsonFileAsQJsonDocument(const QString& Path, bool& ParseFailed) const
{
  ParseFailed = false;
  const QByteArray Data = const_cast<TFileSystemHelper*>(this)->readFileIfExists(Path);
  if (Data.isEmpty())
    return QJsonDocument();
  QJsonParseError Error;
  QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
  if (Error.error != QJsonParseError::NoError) {
    qWarning().noquote() << "Json parse error in file" << Path << ":" << Error.errorString()
                         << "at offset" << Error.offset;
    ParseFailed = true;
    return QJsonDocument();
  }
  return Document;
}

std::shared_ptr<QImage> TFileSystemHelper::loadImage(const QString& Path, const char* Format)
{
  const QByteArray Data = readFileIfExists(Path);
  if (Data.isEmpty())
    return nullptr;
  auto Image = std::make_shared<QImage>(QImage::fromData(Data, Format));
  if (Image->isNull())
    return nullptr;
  return Image;
}

void TFileSystemHelper::saveImage(const QImage& Image, const QString& Path, const char* Format)
{
  QByteArray Data;
  QBuffer Buffer(&Data);
  Buffer.open(QIODevice::WriteOnly);
  Image.save(&Buffer, Format, -1);
  Buffer.close();
  writeFile(Path, Data);
}

void TFileSystemHelper::removePath(const QString& Path)
{
  // One lstat tells what is there (an installation removes and replaces
  // tens of thousands of paths): a folder goes with its content, anything
  // else, a link to a folder included, by itself.
  struct stat Status;
  if (::lstat(QFile::encodeName(Path).constData(), &Status) != 0)
    return;
  if (S_ISDIR(Status.st_mode))
    QDir(Path).removeRecursively();
  else
    deleteFile(Path);
}

void TFileSystemHelper::movePath(const QString& From, const QString& To)
{
  if (!QFileInfo::exists(From))
    return;
  // rename() replaces a file at To at once; only a directory is in the way.
  if (QFileInfo(To).isDir() && !QFileInfo(To).isSymLink())
    removePath(To);
  renameReplacing(From, To);
  flushDirectoryToDisk(QFileInfo(To).absolutePath());
}

void TFileSystemHelper::linkPath(const QString& Target, const QString& LinkPath)
{
  if (!QFile::link(Target, LinkPath))
    throwIoError(LinkPath, "Could not create link.");
}

} // namespace shared
