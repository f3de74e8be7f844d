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
// executable goes last. The journal records whether the files are being
// put in place or back: a launcher that finds it at start-up goes on in the
// same direction (an update whose every file was already in place is
// finished; otherwise, and always once undoing had begun, the ".old" files
// are put back and the files the update added are removed). The ".old"
// files of a finished update stay until the next start cleans them up.
//
// A journal is untrusted: it acts only on the regular files and symbolic
// links it names (and their ".old" names), examined without following
// links, at clean relative paths below the launcher's folder with no linked
// folder on the way; it never removes a folder. A journal naming anything
// else is damaged: none of its paths is acted on.
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
  // Which way the files are moving.
  enum class EDirection
  {
    Applying,
    Undoing,
  };

  QString livePath(const TEntry& Entry) const;
  QString stagedPath(const TEntry& Entry) const;
  // Whether the entry's path and the folders on its way may be acted on.
  bool isActionable(const TEntry& Entry) const;
  void writeJournal(const std::vector<TEntry>& Entries, EDirection Direction);
  bool readJournal(std::vector<TEntry>& Entries, EDirection& Direction);
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
