#include "launcher/launcherfileswap.h"

#include "launcher/launcherfilesystemhelper.h"
#include "launcher/logging.h"
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

bool sameFile(const QString& Left, const QString& Right)
{
  struct stat A {};
  struct stat B {};
  return ::stat(QFile::encodeName(Left).constData(), &A) == 0 && ::stat(QFile::encodeName(Right).constData(), &B) == 0 &&
         A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

// Keeps Path's content under Copy: a second name for the same file, or a
// copy where the file system has no such names.
void keepAs(const QString& Path, const QString& Copy)
{
  if (::link(QFile::encodeName(Path).constData(), QFile::encodeName(Copy).constData()) == 0)
    return;
  if (!QFile::copy(Path, Copy))
    shared::throwIoError(Copy, QString::fromLocal8Bit(std::strerror(errno)));
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
    if (QFileInfo(livePath({Path})).isFile())
      Entries.push_back({Path, false, true});
  }
  if (std::any_of(Replaced.begin(), Replaced.end(), [&](const QString& Path) { return livePath({Path}) == LastPath; }))
    Entries.push_back({Last});
  for (TEntry& Entry : Entries) {
    Entry.existed = QFileInfo(livePath(Entry)).isFile();
    // A ".old" file of an earlier, finished update must not be taken for
    // this one's.
    if (Entry.existed)
      m_Helper.removePath(livePath(Entry) + kOldSuffix);
  }
  writeJournal(Entries);
  std::size_t Done = 0;
  try {
    for (; Done < Entries.size(); ++Done)
      apply(Entries[Done]);
    flushFolders(Entries);
  } catch (const std::runtime_error& Error) {
    qCritical().noquote() << QString("Replacing the launcher's files failed, putting them back: %1").arg(Error.what());
    undoAll(std::vector<TEntry>(Entries.begin(), Entries.begin() + std::ptrdiff_t(std::min(Done + 1, Entries.size()))));
    throw;
  }
  removeJournal();
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
  if (!QFileInfo(Staged).isFile())
    shared::throwIoError(Staged, "File does not exist");
  m_Helper.ensureDirectory(QFileInfo(Live).absolutePath());
  m_Helper.movePath(Staged, Live);
}

bool TLauncherFileSwap::applied(const TEntry& Entry) const
{
  if (Entry.remove)
    return !QFileInfo::exists(livePath(Entry));
  return !QFileInfo::exists(stagedPath(Entry));
}

void TLauncherFileSwap::undo(const TEntry& Entry)
{
  const QString Live = livePath(Entry);
  const QString Old = Live + kOldSuffix;
  if (!Entry.existed) {
    // Added by the update: it is there only once the staged file was moved.
    if (!Entry.remove && !QFileInfo::exists(stagedPath(Entry)))
      m_Helper.removePath(Live);
    return;
  }
  if (!QFileInfo::exists(Old))
    return;  // not touched yet
  if (sameFile(Live, Old))
    m_Helper.deleteFile(Old);  // linked, not yet replaced
  else
    m_Helper.movePath(Old, Live);
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
  if (!readJournal(Entries))
    return false;
  if (std::all_of(Entries.begin(), Entries.end(), [this](const TEntry& Entry) { return applied(Entry); })) {
    qWarning().noquote() << QString("The launcher's update was interrupted after its last file: finishing it%1")
                                .arg(threadTag());
    removeJournal();
  } else {
    qWarning().noquote() << QString("The launcher's update was interrupted: putting its files back%1").arg(threadTag());
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

void TLauncherFileSwap::writeJournal(const std::vector<TEntry>& Entries)
{
  QJsonArray Array;
  for (const TEntry& Entry : Entries)
    Array.append(QJsonObject{{"path", Entry.path}, {"existed", Entry.existed}, {"remove", Entry.remove}});
  const QJsonObject Journal{{"files", Array}};
  m_Helper.writeFileAtomically(journalPath(m_LiveDirectory), QJsonDocument(Journal).toJson());
}

bool TLauncherFileSwap::readJournal(std::vector<TEntry>& Entries)
{
  const QString Path = journalPath(m_LiveDirectory);
  const QByteArray Data = m_Helper.readFileIfExists(Path);
  if (Data.isEmpty())
    return false;
  const QJsonArray Files = QJsonDocument::fromJson(Data).object().value("files").toArray();
  for (const QJsonValue& Value : Files) {
    const QJsonObject File = Value.toObject();
    Entries.push_back({File.value("path").toString(), File.value("existed").toBool(), File.value("remove").toBool()});
  }
  // Written atomically, so a damaged journal was not written by us: none of
  // its paths is acted on.
  const bool Confined = std::all_of(Entries.begin(), Entries.end(), [this](const TEntry& Entry) {
    return !livePath(Entry).isEmpty() && !stagedPath(Entry).isEmpty();
  });
  if (Entries.empty() || !Confined) {
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
