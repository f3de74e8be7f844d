#pragma once

#include "launcher/cloudflarecdntrace.h"
#include "launcher/installationmanager.h"
#include "launcher/launcherconfigurationhandler.h"
#include "launcher/launcherfilesystemhelper.h"
#include "launcher/launcherselfupdater.h"
#include "shared/downloadpool.h"
#include "shared/translationmanager.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonObject>
#include <QSplashScreen>
#include <QTimer>

#include <memory>

namespace shared {
class FirstInstanceTester;
}
namespace systemsurvey {
class TSystemSurveyUploader;
}

namespace orvale::launcher {

class TLauncherMainWindow;

// Built-in version of the launcher.
extern const char* const LauncherVersion;
// Base name of the translation file beside the executable.
extern const char* const TranslationFileBaseName;
// Long name of the option that skips the self-update check.
extern const char* const SkipSelfUpdateOptionName;
// Key of the single-instance guard.
extern const char* const SingleInstanceKey;

// The application object: owns the long-lived services of a run and drives
// it from the loaded configuration to the started game client.
class TLauncherApplication : public QApplication
{
public:
  TLauncherApplication(int& argc, char** argv);
  ~TLauncherApplication() override;

  // Start-up steps run by runLauncher(), in this order.
  void loadTranslation();
  void setApplicationIdentity();
  void connectWaitNotificationTimer();
  void readAccountGroupKey();
  void connectExitTimer();
  void connectServices();
  void parseCommandLine();
  // Before anything else: finishes or undoes a replacement of the launcher's
  // files that a kill interrupted.
  void recoverInterruptedSelfUpdate();
  void startConfigurationDownload();

  // The single-instance guard held by runLauncher; released before the
  // launcher restarts itself.
  void setInstanceGuard(std::unique_ptr<::shared::FirstInstanceTester>* Guard) { m_pInstanceGuard = Guard; }

  // Controller.
  void showWaitNotification();
  void onMainConfigurationLoaded();
  void onMainConfigurationDownloadFailed();
  void onDiskAccessFailure(QString ErrorMessage);
  void onPackageConfigurationDownloadsFinished();
  void restartAfterSelfUpdate();
  void onLauncherReadyForAction();
  void onAllStartedUpdatesFinished();
  void onDefaultPackageChanged(std::shared_ptr<TPackage> Package, bool IsDefault);
  void onClientStartOrInstallTriggeredFromUI(std::shared_ptr<TPackage> Package);
  void onClientVerifyTriggeredFromUI(std::shared_ptr<TPackage> Package);
  void startPackageAndExit(std::shared_ptr<TPackage> Package);
  void showMainWindow();
  void sendFunnelEvent(QString Step, QString FirstTimeKey);
  void onExitTimerExpired();

  std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper() const { return m_pLauncherFilesystemHelper; }
  std::shared_ptr<::shared::TDownloadPool> downloadPool() const { return m_pDownloadPool; }
  TLauncherConfigurationHandler* configurationHandler() const { return m_pConfigurationHandler.get(); }
  TInstallationManager* installationManager() const { return m_pInstallationManager.get(); }
  TLauncherMainWindow* mainWindow() const { return m_pMainWindow.get(); }
  const QString& accountGroupKey() const { return m_AccountGroupKey; }
  const QCommandLineParser& commandLineParser() const { return m_CommandLineParser; }

private:
  bool isSet(const QCommandLineOption& Option) const { return m_CommandLineParser.isSet(Option); }
  QString patchValue() const;
  // Ends the event loop with Status (also when called before it runs).
  void quitWithStatus(int Status);
  void updateExecutableLink();
  void closeSplashScreen();
  void showSplashScreen(const QString& Image);

  std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
  std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
  std::shared_ptr<orvale::shared::TTranslationManager> m_pTranslationManager;
  std::shared_ptr<TCloudflareCdnTrace> m_pCloudflareCdnTrace;
  std::unique_ptr<TLauncherConfigurationHandler> m_pConfigurationHandler;
  std::unique_ptr<TLauncherSelfUpdater> m_pLauncherSelfUpdater;
  std::unique_ptr<TInstallationManager> m_pInstallationManager;
  std::unique_ptr<systemsurvey::TSystemSurveyUploader> m_pSystemSurveyUploader;
  std::unique_ptr<TLauncherMainWindow> m_pMainWindow;
  std::unique_ptr<QSplashScreen> m_pSplashScreen;
  QCommandLineParser m_CommandLineParser;
  QCommandLineOption m_FirstLaunchOption;
  QCommandLineOption m_SkipSelfUpdateOption;
  QCommandLineOption m_ShowUiOption;
  QCommandLineOption m_PatchOption;
  QTimer m_WaitNotificationTimer;
  QTimer m_ExitTimer;
  QString m_AccountGroupKey;
  QString m_FunnelUuidKey;

  std::unique_ptr<::shared::FirstInstanceTester>* m_pInstanceGuard = nullptr;
  bool m_Ending = false;  // a fatal box was shown or the run is ending
};

// The process-wide application object, or null.
TLauncherApplication* launcherApplication();

// Parses an account group document and returns the key, or an empty string
// after logging the warning that says why there is none.
QString accountGroupKeyFromObject(const QJsonObject& Object);
QJsonObject readAccountGroupObject(const QString& Path, bool Exists);

// The whole program: start-up, event loop, shut-down. Returns the exit status.
int runLauncher(int argc, char* argv[]);

} // namespace orvale::launcher
