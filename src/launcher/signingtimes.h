#pragma once

#include "shared/releasesignature.h"

#include <QDateTime>
#include <QHash>
#include <QString>

#include <optional>

namespace shared {
class TFileSystemHelper;
}

namespace orvale::launcher {

// The newest signing time the launcher has accepted for each signed
// document (by role and name), kept in a file of the data folder so that a
// document signed before one already accepted (an older release replayed)
// is refused in every later run. The file is read once, on first use, and
// written atomically whenever a time is recorded:
//   {"documents": {"package game/package.json": "2031-05-06T07:08:09Z", ...}}
// A file that cannot be read as such is logged and counts as empty.
class TAcceptedSigningTimes
{
public:
  TAcceptedSigningTimes(::shared::TFileSystemHelper& Helper, QString Path);

  // "signing-times.json" in the launcher's data folder.
  static QString defaultPath();

  std::optional<QDateTime> newest(const ::shared::TSignedDocument& Document);
  // Keeps Time for Document when it is newer than the one kept. Throws the
  // uniform I/O error when the file cannot be written.
  void accept(const ::shared::TSignedDocument& Document, const QDateTime& Time);

private:
  void load();

  ::shared::TFileSystemHelper& m_Helper;
  QString m_Path;
  bool m_Loaded = false;
  QHash<QString, QDateTime> m_Times;  // by TSignedDocument::key()
};

} // namespace orvale::launcher
