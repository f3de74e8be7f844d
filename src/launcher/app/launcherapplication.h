#pragma once

#include "launcher/launcherfilesystemhelper.h"
#include "shared/translationmanager.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QJsonObject>
#include <QTimer>

#include <memory>

namespace orvale::launcher {

// Built-in version of the launcher.
extern const char* const LauncherVersion;
// Base name of the translation file beside the executable.
extern const char* const TranslationFileBaseName;
// Long name of the option that skips the self-update check.
extern const char* const SkipSelfUpdateOptionName;
// Key of the single-instance guard.
extern const char* const SingleInstanceKey;

// The application object: owns the long-lived services of a run and drives
// it from start-up to the started game client.
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
  void startConfigurationDownload();

  std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper() const { return m_pLauncherFilesystemHelper; }
  const QString& accountGroupKey() const { return m_AccountGroupKey; }
  const QCommandLineParser& commandLineParser() const { return m_CommandLineParser; }
  const QCommandLineOption& firstLaunchOption() const { return m_FirstLaunchOption; }
  const QCommandLineOption& skipSelfUpdateOption() const { return m_SkipSelfUpdateOption; }
  const QCommandLineOption& showUiOption() const { return m_ShowUiOption; }
  const QCommandLineOption& patchOption() const { return m_PatchOption; }

  // Controller operations driven by the timers.
  void showWaitNotification();
  void onExitTimerExpired();

private:
  std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
  std::shared_ptr<orvale::shared::TTranslationManager> m_pTranslationManager;
  QCommandLineParser m_CommandLineParser;
  QCommandLineOption m_FirstLaunchOption;
  QCommandLineOption m_SkipSelfUpdateOption;
  QCommandLineOption m_ShowUiOption;
  QCommandLineOption m_PatchOption;
  QTimer m_WaitNotificationTimer;
  QTimer m_ExitTimer;
  QString m_AccountGroupKey;
  QString m_FunnelUuidKey;
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
