// Swapping the launcher's files for its installed and verified update, and
// cleaning up what the swap leaves.

#include "launcher/launcherfileswap.h"

#include "launcher/launcherfilesystemhelper.h"
#include "engine/logging.h"
#include "shared/filesystemhelper.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace orvale::launcher {

namespace {

const char* const kJournalName = "launcher-update.json";
const char* const kOldSuffix = ".old";

// What is at a path, its last component not followed.
enum class EPathKind
{
  Missing,
  File,   // a regular file
  Link,   // a symbolic link, wherever it points
  Other,  // a folder, a device, or what cannot be examined
};

EPathKind kindOf(const QString& Path, struct stat* Status = nullptr)
{
  struct stat Own {};
  struct stat& Result = Status ? *Status : Own;
  if (::lstat(QFile::encodeName(Path).constData(), &Result) != 0)
    return errno == ENOENT ? EPathKind::Missing : EPathKind::Other;
  if (S_ISREG(Result.st_mode))
    return EPathKind::File;
  return S_ISLNK(Result.st_mode) ? EPathKind::Link : EPathKind::Other;
}

bool isFileOrLink(EPathKind Kind)
{
  return Kind == EPathKind::File || Kind == EPathKind::Link;
}

// The same file or link under both names (neither followed).
bool sameFile(const QString& Left, const QString& Right)
{
  struct stat A {};
  struct stat B {};
  return isFileOrLink(kindOf(Left, &A)) && isFileOrLink(kindOf(Right, &B)) && A.st_dev == B.st_dev &&
         A.st_ino == B.st_ino;
}

// A clean path below a folder: relative, not the folder itself, no "..".
bool isCleanRelativePath(const QString& Path)
{
  return !Path.isEmpty() && !QDir::isAbsolutePath(Path) && QDir::cleanPath(Path) == Path && Path != "." &&
         !Path.split('/').contains("..");
}

// Renames From over To, a file or link or nothing (a folder at To is never
// replaced); throws the uniform error on failure.
void renameOver(const QString& From, const QString& To)
{
  if (!isFileOrLink(kindOf(From)) || kindOf(To) == EPathKind::Other)
    shared::throwIoError(To, "Not a file, or in the way of one");
  if (::rename(QFile::encodeName(From).constData(), QFile::encodeName(To).constData()) != 0)
    shared::throwIoError(To, QString::fromLocal8Bit(std::strerror(errno)));
  shared::flushDirectoryToDisk(QFileInfo(To).absolutePath());
}

// Keeps Path's content under Copy: a second name for the same file or link,
// or a copy of a regular file where the file system has no such names.
void keepAs(const QString& Path, const QString& Copy)
{
  if (::link(QFile::encodeName(Path).constData(), QFile::encodeName(Copy).constData()) == 0)
    return;
  if (kindOf(Path) != EPathKind::File || !QFile::copy(Path, Copy))
    shared::throwIoError(Copy, QString::fromLocal8Bit(std::strerror(errno)));
}

QString directionText(bool Undoing)
{
  return Undoing ? "undoing" : "applying";
}

} // namespace

TLauncherFileSwap::TLauncherFileSwap(shared::TFileSystemHelper& Helper, const QDir& LiveDirectory)
  : m_Helper(Helper), m_LiveDirectory(LiveDirectory)
{
}

QString TLauncherFileSwap::journalPath(const QDir& LiveDirectory)
{
  return LiveDirectory.absoluteFilePath(kJournalName);
}

QString TLauncherFileSwap::livePath(const TEntry& Entry) const
{
  return installationFilePath(m_Helper, m_LiveDirectory, Entry.path);
}

QString TLauncherFileSwap::stagedPath(const TEntry& Entry) const
{
  return installationFilePath(m_Helper, m_StagingDirectory, Entry.path);
}

void TLauncherFileSwap::run(const QDir& StagingDirectory, const QStringList& Replaced, const QStringList& Removed,
                            const QString& Last)
{
  m_StagingDirectory = StagingDirectory;
  const QString LastPath = livePath({Last});
  std::vector<TEntry> Entries;
  for (const QString& Path : Replaced) {
    if (livePath({Path}) != LastPath)
      Entries.push_back({Path});
  }
  for (const QString& Path : Removed) {
    if (isFileOrLink(kindOf(livePath({Path}))))
      Entries.push_back({Path, false, true});
  }
  if (std::any_of(Replaced.begin(), Replaced.end(), [&](const QString& Path) { return livePath({Path}) == LastPath; }))
    Entries.push_back({Last});
  for (TEntry& Entry : Entries) {
    if (!isActionable(Entry))
      shared::throwIoError(livePath(Entry), "Not a file the launcher's update may replace");
    Entry.existed = isFileOrLink(kindOf(livePath(Entry)));
    // A ".old" file of an earlier, finished update must not be taken for
    // this one's.
    const QString Old = livePath(Entry) + kOldSuffix;
    if (Entry.existed && isFileOrLink(kindOf(Old)))
      m_Helper.deleteFile(Old);
  }
  writeJournal(Entries, EDirection::Applying);
  std::size_t Done = 0;
  try {
    for (; Done < Entries.size(); ++Done)
      apply(Entries[Done]);
    flushFolders(Entries);
  } catch (const std::runtime_error& Error) {
    qCritical().noquote() << QString("Replacing the launcher's files failed, putting them back: %1").arg(Error.what());
    // Recorded first: a kill while the files go back must not be taken
    // for an update that was nearly done.
    writeJournal(Entries, EDirection::Undoing);
    undoAll(Entries);
    throw;
  }
  removeJournal();
}

bool TLauncherFileSwap::isActionable(const TEntry& Entry) const
{
  if (!isCleanRelativePath(Entry.path) || livePath(Entry).isEmpty())
    return false;
  // Every folder on the way is a real one (or not there yet).
  const QStringList Segments = Entry.path.split('/');
  QString Folder = m_LiveDirectory.absolutePath();
  for (int Index = 0; Index + 1 < Segments.size(); ++Index) {
    Folder += "/" + Segments[Index];
    struct stat Status {};
    if (::lstat(QFile::encodeName(Folder).constData(), &Status) != 0)
      return errno == ENOENT;
    if (!S_ISDIR(Status.st_mode))
      return false;
  }
  const EPathKind Live = kindOf(livePath(Entry));
  return Live == EPathKind::Missing || isFileOrLink(Live);
}

void TLauncherFileSwap::apply(const TEntry& Entry)
{
  const QString Live = livePath(Entry);
  if (Entry.existed)
    keepAs(Live, Live + kOldSuffix);
  if (Entry.remove) {
    m_Helper.deleteFile(Live);
    return;
  }
  const QString Staged = stagedPath(Entry);
  if (kindOf(Staged) != EPathKind::File)
    shared::throwIoError(Staged, "File does not exist");
  m_Helper.ensureDirectory(QFileInfo(Live).absolutePath());
  if (!isActionable(Entry))
    shared::throwIoError(Live, "Not a file the launcher's update may replace");
  renameOver(Staged, Live);
}

bool TLauncherFileSwap::applied(const TEntry& Entry) const
{
  if (Entry.remove)
    return kindOf(livePath(Entry)) == EPathKind::Missing;
  return kindOf(stagedPath(Entry)) == EPathKind::Missing;
}

void TLauncherFileSwap::undo(const TEntry& Entry)
{
  if (!isActionable(Entry)) {
    qCritical().noquote() << QString("%1 is not a file; left as it is").arg(livePath(Entry));
    return;
  }
  const QString Live = livePath(Entry);
  const QString Old = Live + kOldSuffix;
  if (!Entry.existed) {
    // Added by the update: it is there only once the staged file was moved.
    if (!Entry.remove && kindOf(stagedPath(Entry)) == EPathKind::Missing && isFileOrLink(kindOf(Live)))
      m_Helper.deleteFile(Live);
    return;
  }
  const EPathKind OldKind = kindOf(Old);
  if (OldKind == EPathKind::Missing)
    return;  // not touched yet
  if (!isFileOrLink(OldKind)) {
    qCritical().noquote() << QString("%1 is not a file; left as it is").arg(Old);
    return;
  }
  if (sameFile(Live, Old))
    m_Helper.deleteFile(Old);  // linked, not yet replaced
  else
    renameOver(Old, Live);
}

void TLauncherFileSwap::undoAll(const std::vector<TEntry>& Entries)
{
  for (auto Entry = Entries.rbegin(); Entry != Entries.rend(); ++Entry)
    undo(*Entry);
  flushFolders(Entries);
  removeJournal();
}

bool TLauncherFileSwap::recover(const QDir& StagingDirectory)
{
  m_StagingDirectory = StagingDirectory;
  std::vector<TEntry> Entries;
  EDirection Direction = EDirection::Applying;
  if (!readJournal(Entries, Direction))
    return false;
  if (Direction == EDirection::Applying &&
      std::all_of(Entries.begin(), Entries.end(), [this](const TEntry& Entry) { return applied(Entry); })) {
    qWarning().noquote() << QString("The launcher's update was interrupted after its last file: finishing it%1")
                                .arg(threadTag());
    removeJournal();
  } else {
    qWarning().noquote() << QString("%1%2")
                                .arg(Direction == EDirection::Undoing
                                         ? "The launcher's update was interrupted while its files went back: putting the rest back"
                                         : "The launcher's update was interrupted: putting its files back",
                                     threadTag());
    writeJournal(Entries, EDirection::Undoing);
    undoAll(Entries);
  }
  m_Helper.removePath(m_StagingDirectory.absolutePath());
  return true;
}

void TLauncherFileSwap::flushFolders(const std::vector<TEntry>& Entries)
{
  QSet<QString> Folders{m_LiveDirectory.absolutePath()};
  for (const TEntry& Entry : Entries) {
    const QString Folder = QFileInfo(livePath(Entry)).absolutePath();
    if (QFileInfo(Folder).isDir())
      Folders.insert(Folder);
  }
  for (const QString& Folder : Folders)
    shared::flushDirectoryToDisk(Folder);
}

void TLauncherFileSwap::writeJournal(const std::vector<TEntry>& Entries, EDirection Direction)
{
  QJsonArray Array;
  for (const TEntry& Entry : Entries)
    Array.append(QJsonObject{{"path", Entry.path}, {"existed", Entry.existed}, {"remove", Entry.remove}});
  const QJsonObject Journal{{"direction", directionText(Direction == EDirection::Undoing)}, {"files", Array}};
  m_Helper.writeFileAtomically(journalPath(m_LiveDirectory), QJsonDocument(Journal).toJson());
}

bool TLauncherFileSwap::readJournal(std::vector<TEntry>& Entries, EDirection& Direction)
{
  const QString Path = journalPath(m_LiveDirectory);
  const QByteArray Data = m_Helper.readFileIfExists(Path);
  if (Data.isEmpty())
    return false;
  const QJsonObject Journal = QJsonDocument::fromJson(Data).object();
  // A journal of a launcher that did not record the direction was applying.
  const QString DirectionText = Journal.value("direction").toString(directionText(false));
  Direction = DirectionText == directionText(true) ? EDirection::Undoing : EDirection::Applying;
  for (const QJsonValue& Value : Journal.value("files").toArray()) {
    const QJsonObject File = Value.toObject();
    Entries.push_back({File.value("path").toString(), File.value("existed").toBool(), File.value("remove").toBool()});
  }
  // Written atomically, so a damaged journal was not written by us: none of
  // its paths is acted on.
  const bool Actionable = std::all_of(Entries.begin(), Entries.end(), [this](const TEntry& Entry) {
    return isActionable(Entry) && !stagedPath(Entry).isEmpty();
  });
  const bool KnownDirection = DirectionText == directionText(false) || DirectionText == directionText(true);
  if (Entries.empty() || !Actionable || !KnownDirection) {
    qCritical().noquote() << QString("%1 is damaged; the launcher's files are left as they are").arg(Path);
    m_Helper.deleteFile(Path);
    Entries.clear();
    return false;
  }
  return true;
}

void TLauncherFileSwap::removeJournal()
{
  m_Helper.removePath(journalPath(m_LiveDirectory));
  shared::flushDirectoryToDisk(m_LiveDirectory.absolutePath());
}

} // namespace orvale::launcher
