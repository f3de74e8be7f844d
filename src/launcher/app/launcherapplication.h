#pragma once

#include "launcher/cloudflarecdntrace.h"
#include "engine/installationmanager.h"
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

#include <functional>
#include <memory>
#include <vector>

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
// Whether this build updates itself (ASHGROVE_SELF_UPDATE).
extern const bool SelfUpdateBuiltIn;
// Base name of the translation file beside the executable.
extern const char* const TranslationFileBaseName;
// Key of the single-instance guard.
extern const char* const SingleInstanceKey;

// The application object: owns the long-lived services of a run and drives
// it from the loaded configuration to the started game client.
class TLauncherApplication : public QApplication
{
public:
  TLauncherApplication(int& argc, char** argv);
  ~TLauncherApplication() override;

  // Start-up before the single-instance check: translation, identity, timers,
  // account group key, services and the command line.
  void prepare();
  // Holds the single-instance guard for the rest of the run; it is released
  // before the launcher restarts itself.
  void holdInstanceGuard(std::unique_ptr<::shared::FirstInstanceTester> Guard);
  // Start-up after the single-instance check: finishes or undoes a
  // replacement of the launcher's files that a kill interrupted, then starts
  // the configuration download that drives the rest of the run.
  void start();

private:
  // How the run goes on once the configuration is loaded and the launcher
  // itself is current.
  enum class EStartMode
  {
    FirstLaunch,  // install the automatic packages, the first is the default
    Patch,        // update the packages named by --patch or FORCE_PATCH files
    ShowUi,       // show the window and wait
    StartDefault  // start the default package if it is current, else show the window
  };

  void loadTranslation();
  void setApplicationIdentity();
  void connectWaitNotificationTimer();
  void readAccountGroupKey();
  void connectExitTimer();
  void connectServices();
  void parseCommandLine();
  void recoverInterruptedSelfUpdate();
  void startConfigurationDownload();

  // Runs Action; a std::runtime_error from it (the file system helper's
  // failure) is reported as a disk failure. Returns whether Action finished.
  bool reportingDiskFailure(const std::function<void()>& Action);

  void showWaitNotification();
  void onMainConfigurationLoaded();
  void onMainConfigurationDownloadFailed();
  void onDiskAccessFailure(QString ErrorMessage);
  void onPackageConfigurationDownloadsFinished();
  void restartAfterSelfUpdate();
  // Whether the published launcher is newer than this one; an older one is
  // never installed.
  bool isNewerLauncher(const QString& PublishedVersion) const;
  // Shows the first document refused in this run (its signature, or not a
  // description) to the player; once per run.
  void tellPlayerOfRefusedDocument();
  void onLauncherReadyForAction();
  void onAllStartedUpdatesFinished();
  void onDefaultPackageChanged(std::shared_ptr<TPackage> Package, bool IsDefault);
  void onClientStartOrInstallTriggeredFromUI(std::shared_ptr<TPackage> Package);
  void onClientVerifyTriggeredFromUI(std::shared_ptr<TPackage> Package);
  void startPackageAndExit(std::shared_ptr<TPackage> Package);
  void showMainWindow();
  void sendFunnelEvent(QString Step, QString FirstTimeKey);
  void onExitTimerExpired();

  void createInstallationManager();
  // Removes the FORCE_PATCH files of installed packages and returns those
  // packages. Throws on a disk failure.
  std::vector<std::shared_ptr<TPackage>> takeForcedPackages();
  EStartMode startMode(bool HasForcedPackages) const;
  void startFirstLaunch();
  void startPatch(std::vector<std::shared_ptr<TPackage>> Forced);
  void startDefaultPackage();

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
  std::unique_ptr<::shared::FirstInstanceTester> m_pInstanceGuard;
  QCommandLineParser m_CommandLineParser;
  QCommandLineOption m_FirstLaunchOption;
  QCommandLineOption m_SkipSelfUpdateOption;
  QCommandLineOption m_ShowUiOption;
  QCommandLineOption m_PatchOption;
  QTimer m_WaitNotificationTimer;
  QTimer m_ExitTimer;
  QString m_AccountGroupKey;
  QString m_FunnelUuidKey;

  bool m_Ending = false;  // a fatal box was shown or the run is ending
  bool m_RefusalShown = false;
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
