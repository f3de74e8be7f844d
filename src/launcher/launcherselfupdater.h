#pragma once

// Updating the launcher itself through the installation manager.

#include "engine/installationmanager.h"
#include "launcher/launcherfilesystemhelper.h"
#include "engine/package.h"

#include <QDir>
#include <QObject>

#include <memory>

namespace orvale::launcher {

// Suffix of the launcher's files kept while an update replaces them.
extern const char* const OldExecutableSuffix;

// Orders two launcher versions: below 0 when Left is older than Right, 0
// when they are the same, above 0 when it is newer. Versions are compared
// run by run of digits and of other characters ("0.0.9" < "0.0.12" <
// "0.0.12b" < "0.1"): digit runs by their numbers, other runs as text, a
// version that has more runs after equal ones is the newer.
int compareLauncherVersions(const QString& Left, const QString& Right);

// Updates the launcher's own package with the ordinary installation
// machinery and reports whether a restart is due. The update is installed and
// verified in a staging folder beside the launcher's files, seeded with
// copies of them so that unchanged pieces are reused; only a complete update
// replaces the running launcher's files (TLauncherFileSwap), so a failed or
// interrupted download never touches them, and a replacement interrupted by
// a kill is finished or undone at the next start.
class TLauncherSelfUpdater : public QObject
{
  Q_OBJECT
public:
  explicit TLauncherSelfUpdater(std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);
  ~TLauncherSelfUpdater() override;

  void startSelfUpdate(std::shared_ptr<TPackage> LauncherPackage);
  // Deletes what a finished update left: the ".old" files of the launcher's
  // folder and of the files its installed description names, and the
  // staging folder.
  void cleanupOldLauncherVersion();
  // At start-up, before anything else: finishes or undoes a replacement of
  // the launcher's files that was interrupted. Throws the uniform I/O error.
  void recoverInterruptedUpdate();

  TInstallationManager* installationManager() const { return m_pInstallationManager.get(); }
  // The launcher's folder, and the staging folder in it.
  static QDir launcherDirectory();
  static QDir stagingDirectory();

signals:
  void updateDownloadFinishedAndRestartRequired();
  void updateFailed();
  void diskAccessFailed(QString ErrorMessage);

public slots:
  void onInstallationOrUpdateFinished(const orvale::launcher::TPackageInstallation& InstallationInProgress);

private:
  // A fresh staging folder with copies of the launcher's files that the
  // published description names.
  void prepareStagingDirectory(const TPackageConfigurationReader& Published);
  void replaceLauncherFiles(const TPackageConfigurationReader& Published);
  void failUpdate(const QString& Reason);

  std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
  std::unique_ptr<TInstallationManager> m_pInstallationManager;
  std::shared_ptr<TPackage> m_pLauncherPackage;
};

} // namespace orvale::launcher
