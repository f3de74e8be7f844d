#pragma once

#include "launcher/launchersettings.h"
#include "shared/filesystemhelper.h"
#include "shared/reservednames.h"

#include <memory>

namespace orvale::launcher {

// The file system helper of the launcher: every operation of the shared
// helper, plus the launcher settings (loaded on construction) and the paths
// derived from them.
class TLauncherFilesystemHelper : public ::shared::TFileSystemHelper
{
public:
  // Loads the compiled-in settings, overlaid key by key by
  // "launchersettings.ini" beside the running executable when it exists.
  TLauncherFilesystemHelper();
  // Loads the settings from the given INI file (tests and tools).
  explicit TLauncherFilesystemHelper(const QString& SettingsPath);
  // Uses settings that are already loaded.
  explicit TLauncherFilesystemHelper(std::shared_ptr<TLauncherSettings> Settings);

  std::shared_ptr<TLauncherSettings> launcherSettings() const { return m_pLauncherSettings; }
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
  void deriveAccountGroupPaths();

  std::shared_ptr<TLauncherSettings> m_pLauncherSettings;
  QString m_AccountGroupFilePath;
  QString m_AccountGroupCopyTarget;
  QString m_AccountGroupFileName;
};

// The path of a description's local file inside Directory (a confined
// join); empty when the name does not denote a file below the directory
// (an empty name, ".", or a name that resolves to the directory itself).
QString installationFilePath(::shared::TFileSystemHelper& Helper, const QDir& Directory, const QString& LocalFile);

// Makes the compiled-in resources of the engine library (the default
// settings) available; safe to call more than once.
void initLauncherResources();

} // namespace orvale::launcher
