#pragma once

#include <QDir>
#include <QString>
#include <QStringList>

#include <vector>

namespace shared {
class TFileSystemHelper;
}

namespace orvale::launcher {

// Puts the launcher's update, installed and verified beforehand in a staging
// folder, in place of the running launcher's files so that it can be undone
// at every moment. A journal in the launcher's folder, written atomically
// before the first file is touched and removed after the last, lists the
// files. Each live file is first linked to its name + ".old", then the staged
// file is renamed over it (a file the update drops is only unlinked), so
// every path holds a whole old or a whole new file at all times. The running
// executable goes last. A launcher that finds the journal at start-up
// finishes the update when every file was already in place, else puts the
// ".old" files back and removes the files the update added. The ".old" files
// of a finished update stay until the next start cleans them up.
class TLauncherFileSwap
{
public:
  TLauncherFileSwap(::shared::TFileSystemHelper& Helper, const QDir& LiveDirectory);

  // Replaces each path of Replaced (relative to the launcher's folder) with
  // the staged file of the same path and removes each path of Removed; Last,
  // one of Replaced, goes last. Throws the uniform I/O error after putting
  // back what it changed.
  void run(const QDir& StagingDirectory, const QStringList& Replaced, const QStringList& Removed, const QString& Last);
  // Finishes or undoes a run from StagingDirectory that was interrupted;
  // false when there was none.
  bool recover(const QDir& StagingDirectory);

  static QString journalPath(const QDir& LiveDirectory);

private:
  struct TEntry
  {
    QString path;          // relative to the launcher's folder
    bool existed = false;  // a live file was there, and gets its ".old" link
    bool remove = false;   // the update drops it (else a staged file replaces it)
  };

  QString livePath(const TEntry& Entry) const;
  QString stagedPath(const TEntry& Entry) const;
  void writeJournal(const std::vector<TEntry>& Entries);
  bool readJournal(std::vector<TEntry>& Entries);
  void apply(const TEntry& Entry);
  void undo(const TEntry& Entry);
  bool applied(const TEntry& Entry) const;
  void undoAll(const std::vector<TEntry>& Entries);
  void removeJournal();
  void flushFolders(const std::vector<TEntry>& Entries);

  ::shared::TFileSystemHelper& m_Helper;
  QDir m_LiveDirectory;
  QDir m_StagingDirectory;
};

} // namespace orvale::launcher
