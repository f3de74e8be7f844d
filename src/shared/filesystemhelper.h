#pragma once

#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QSettings>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class QFileDevice;

namespace shared {

class TReadOnlyMemoryBlob;

// One entry of a directory listing.
class TLocalFileInfo
{
public:
  TLocalFileInfo() = default;
  TLocalFileInfo(QString Path, qint64 Size) : path(std::move(Path)), size(Size) {}
  virtual ~TLocalFileInfo() = default;

  QString path;     // absolute file path
  qint64 size = 0;  // size in bytes
};

// Builds the uniform error of a failed file operation:
// "I/O error on file '<file name>': <text>".
[[noreturn]] void throwIoError(const QFileDevice& Device, const QString& Text);
[[noreturn]] void throwIoError(const QString& FileName, const QString& Text);
// Throws the uniform error with the device's error string when the device
// reports an error; does nothing otherwise.
void throwOnFileError(const QFileDevice& Device);

// Makes the data written to an open file durable (fdatasync); throws the
// uniform error when the flush fails.
void flushFileToDisk(QFileDevice& File);
// Starts writing Size bytes from Offset of an open file to the disk without
// waiting for it (sync_file_range), so that a later flushFileToDisk finds
// little left to do. Only a hint: failures are ignored here and reported by
// the flush.
void startWritingToDisk(QFileDevice& File, qint64 Offset, qint64 Size);
// Makes the entries of a directory (files created, renamed or removed in it)
// durable; throws the uniform error when that fails.
void flushDirectoryToDisk(const QString& Directory);
// Makes everything written to the file system that holds Path durable, the
// entries of its directories included (syncfs); throws the uniform error
// when that fails, a failed writeback of a file written before included.
void flushFileSystemToDisk(const QString& Path);
// The same flush through a descriptor opened when this is made: opened
// before the data is written, it also reports a failed writeback of that
// data that a flush of another program saw first. flush() throws the
// uniform error (also when the file system could not be opened).
class TFileSystemFlush
{
public:
  explicit TFileSystemFlush(const QString& Path);
  ~TFileSystemFlush();
  TFileSystemFlush(const TFileSystemFlush&) = delete;
  TFileSystemFlush& operator=(const TFileSystemFlush&) = delete;
  void flush() const;

private:
  QString m_Path;
  int m_Descriptor = -1;
  int m_OpenError = 0;
};
// Lets the disk take what many small files left behind while the next ones
// are made: every Threshold bytes counted, the file system's dirty data is
// written out (syncfs) on a thread of its own, one writeback at a time. Only
// a hint, so that the flush before a marker has little left: it waits for
// nothing and reports nothing (the flush does), and a writeback still
// running when this ends finishes on its own.
class TBackgroundWriteback
{
public:
  TBackgroundWriteback(const QString& Path, std::uint64_t Threshold);
  ~TBackgroundWriteback();
  TBackgroundWriteback(const TBackgroundWriteback&) = delete;
  TBackgroundWriteback& operator=(const TBackgroundWriteback&) = delete;
  // Bytes written to the file system since; safe from any thread.
  void written(std::uint64_t Bytes);
  // Writebacks started so far.
  int started() const;

private:
  struct TState;
  std::shared_ptr<TState> m_pState;
};
// Raises the process's soft limit of open files (RLIMIT_NOFILE) to its hard
// limit, so that an installation of many files does not run out of
// descriptors at the usual desktop soft limit of 1024. Returns the soft
// limit in force afterwards (-1 when it cannot be read).
qint64 raiseOpenFileLimit();

// The name template (for QTemporaryFile) of a file of secured blocks that an
// update keeps in an installation folder while it runs; it names the
// process that writes it.
QString securedBlocksFileTemplate();

// Removes from Folder (not below it) what interrupted writes of the launcher
// left there: the temporary files of writeFileAtomically
// ("<name>.tmp-<pid>-<n>") and the files of secured blocks
// (".ashgrove-blocks-<pid>-*", or without a process from older launchers),
// each only when the process that wrote it is neither this one nor running.
// Only regular files, never through a link; anything else stays. Returns the
// number of files removed; one that cannot be removed is logged and stays
// for the next time.
int removeInterruptedWriteLeftovers(const QString& Folder);

// All file system access goes through this class, so that every failure is a
// std::runtime_error with one of a few uniform texts. Every operation is
// virtual so tests can replace single operations.
class TFileSystemHelper
{
public:
  TFileSystemHelper() = default;
  virtual ~TFileSystemHelper();

  virtual std::shared_ptr<TReadOnlyMemoryBlob> openReadOnlyMemoryBlob(const QString& Path);
  virtual QByteArray readFile(const QString& Path);
  virtual QByteArray readFileIfExists(const QString& Path);
  virtual void writeFile(const QString& Path, const QByteArray& Data);
  // Replaces Path with Data so that after a crash or a power cut it holds
  // either its old content or all of Data: a temporary file beside it is
  // written and flushed to the disk, renamed over Path, and the folder is
  // flushed. The folder must exist. Throws the uniform error on any failure
  // (the temporary file is removed then, Path is unchanged).
  virtual void writeFileAtomically(const QString& Path, const QByteArray& Data);
  virtual void writeTextFile(const QString& Path, const QString& Text);
  virtual void appendTextFile(const QString& Path, const QString& Text);
  virtual void deleteFile(const QString& Path);
  // Copies From to To when To does not exist yet; an existing To is kept.
  virtual void copyFile(const QString& From, const QString& To);
  virtual QDir ensureDirectory(const QString& Path);
  // Joins Base and RelativePath and keeps the result inside Base: a relative
  // path that climbs out of Base is reduced to its last component.
  virtual QString joinPathInside(const QDir& Base, const QString& RelativePath);
  virtual void forEachFileInDirectory(const QString& Path,
                                      std::function<void(const TLocalFileInfo&)> Visit);
  virtual std::vector<TLocalFileInfo> listFilesInDirectory(const QString& Path);
  virtual bool fileExists(const QString& Path);
  virtual bool directoryExists(const QString& Path);
  virtual QString joinPaths(const std::vector<QString>& Parts);
  virtual QDir openSubdirectory(const QString& Parent, const QString& Name);
  virtual std::shared_ptr<QSettings> openSettings(const QString& Path);
  virtual QJsonDocument readJsonFileAsQJsonDocument(const QString& Path, bool& ParseFailed) const;
  virtual std::shared_ptr<QImage> loadImage(const QString& Path, const char* Format = nullptr);
  virtual void saveImage(const QImage& Image, const QString& Path, const char* Format = nullptr);

  // Removes a directory recursively, or a file; nothing when Path is absent.
  void removePath(const QString& Path);
  // Moves From to To, replacing To, when From exists; the move is durable
  // when it returns. Throws the uniform error when the rename fails.
  void movePath(const QString& From, const QString& To);
  // Makes LinkPath a symbolic link to Target; LinkPath must not exist.
  // Throws the uniform error when the link cannot be made.
  void linkPath(const QString& Target, const QString& LinkPath);
};

} // namespace shared
