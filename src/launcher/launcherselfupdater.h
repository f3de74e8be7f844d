#pragma once

#include "launcher/installationmanager.h"
#include "launcher/launcherfilesystemhelper.h"
#include "launcher/package.h"

#include <QObject>

#include <memory>

namespace orvale::launcher {

// Suffix of files moved aside because they were in use during an update.
extern const char* const OldExecutableSuffix;

// Installs the launcher's own package over the running launcher with the
// ordinary installation machinery and reports whether a restart is due.
class TLauncherSelfUpdater : public QObject
{
  Q_OBJECT
public:
  explicit TLauncherSelfUpdater(std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);
  ~TLauncherSelfUpdater() override;

  void startSelfUpdate(std::shared_ptr<TPackage> LauncherPackage);
  // Deletes the files of the launcher's directory whose names end with ".old".
  void cleanupOldLauncherVersion();

  TInstallationManager* installationManager() const { return m_pInstallationManager.get(); }

signals:
  void updateDownloadFinishedAndRestartRequired();
  void updateFailed();
  void diskAccessFailed(QString ErrorMessage);

public slots:
  void onInstallationOrUpdateFinished(const orvale::launcher::TPackageInstallation& InstallationInProgress);

private:
  std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
  std::unique_ptr<TInstallationManager> m_pInstallationManager;
  std::shared_ptr<TPackage> m_pLauncherPackage;
};

} // namespace orvale::launcher
