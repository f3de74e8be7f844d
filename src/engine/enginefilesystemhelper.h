#pragma once

#include "engine/enginesettings.h"
#include "shared/filesystemhelper.h"
#include "shared/reservednames.h"

#include <memory>

namespace orvale::launcher {

// The file system helper of the update engine: every operation of the
// shared helper, plus the engine's settings and the paths derived from them
// (the packages folder, the marker files, the account group file).
class TEngineFilesystemHelper : public ::shared::TFileSystemHelper
{
public:
  explicit TEngineFilesystemHelper(std::shared_ptr<TEngineSettings> Settings);

  std::shared_ptr<TEngineSettings> engineSettings() const { return m_pEngineSettings; }
  // The names of the launcher's own files in an installation, from the
  // settings (the shipped names where they are empty).
  ::shared::TLauncherOwnFileNames ownFileNames() const;

  // Whether the account group file exists in the data directory; computes
  // and keeps its absolute path on first use.
  bool accountGroupFileExists();
  QString accountGroupFilePath();
  // settingsTarget + "/" + accountGroupFile
  const QString& accountGroupCopyTarget() const { return m_AccountGroupCopyTarget; }
  const QString& accountGroupFileName() const { return m_AccountGroupFileName; }

  // The writable per-user data directory of the application.
  static QString dataDirectory();
  // dataDirectory() joined with the "packages" setting; created when missing.
  QDir packagesBaseDirectory();

private:
  std::shared_ptr<TEngineSettings> m_pEngineSettings;
  QString m_AccountGroupFilePath;
  QString m_AccountGroupCopyTarget;
  QString m_AccountGroupFileName;
};

// The path of a description's local file inside Directory (a confined
// join); empty when the name does not denote a file below the directory
// (an empty name, ".", or a name that resolves to the directory itself).
QString installationFilePath(::shared::TFileSystemHelper& Helper, const QDir& Directory, const QString& LocalFile);

} // namespace orvale::launcher
