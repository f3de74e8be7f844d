#include "launcher/app/launcherapplication.h"

#include "launcher/logging.h"
#include "launcher/types.h"
#include "shared/firstinstancetester.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSplashScreen>

#include <memory>

namespace orvale::launcher {

const char* const LauncherVersion = "0.0.12";
const char* const TranslationFileBaseName = "launcher.en";
const char* const SkipSelfUpdateOptionName = "skip-selfupdate";
const char* const SingleInstanceKey = "1b7a377a-e61e-4016-a479-7054bc72a4f8";

namespace {

TLauncherApplication* g_pApplication = nullptr;

} // namespace

TLauncherApplication* launcherApplication()
{
  return g_pApplication;
}

TLauncherApplication::TLauncherApplication(int& argc, char** argv)
  : QApplication(argc, argv)
  , m_pLauncherFilesystemHelper(std::make_shared<TLauncherFilesystemHelper>())
  , m_pTranslationManager(std::make_shared<orvale::shared::TTranslationManager>())
  , m_FirstLaunchOption(QStringList{"l", "first-launch"},
                        "Automatically download default packages when starting up.")
  , m_SkipSelfUpdateOption(QStringList{"s", SkipSelfUpdateOptionName},
                           "Do not perform self-update check on launch.")
  , m_ShowUiOption(QStringList{"u", "show-ui"}, "Show list of available packages after intial checks.")
  , m_PatchOption(QStringList{"p", "patch"}, "Start update of <patchexecutable> without user interaction.",
                  "patchexecutable")
  , m_FunnelUuidKey("FunnelUuid")
{
  registerLauncherMetaTypes();
  m_CommandLineParser.addOption(m_FirstLaunchOption);
  m_CommandLineParser.addOption(m_SkipSelfUpdateOption);
  m_CommandLineParser.addOption(m_ShowUiOption);
  m_CommandLineParser.addOption(m_PatchOption);
}

TLauncherApplication::~TLauncherApplication() = default;

void TLauncherApplication::loadTranslation()
{
  m_pTranslationManager->loadTranslation(*this, TranslationFileBaseName, applicationDirPath());
}

void TLauncherApplication::setApplicationIdentity()
{
  setApplicationName("Ashgrove Online");
  setApplicationDisplayName(applicationName());
  setOrganizationName("Veldan GmbH");
  setOrganizationDomain("veldan.example");
}

void TLauncherApplication::connectWaitNotificationTimer()
{
  m_WaitNotificationTimer.setSingleShot(true);
  m_WaitNotificationTimer.setInterval(int(m_pLauncherFilesystemHelper->launcherSettings()->waitNotificationTimeout));
  QObject::connect(&m_WaitNotificationTimer, &QTimer::timeout, this, [this] { showWaitNotification(); });
}

QJsonObject readAccountGroupObject(const QString& Path, bool Exists)
{
  if (!Exists)
    return QJsonObject{{"blub", "bla"}};
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly | QIODevice::Text)) {
    qWarning().noquote() << QString("Failed to open file: %1").arg(File.errorString());
    return QJsonObject{{"error", Path}};
  }
  const QByteArray Data = File.readAll();
  File.close();
  QJsonParseError Error;
  const QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
  if (Error.error != QJsonParseError::NoError) {
    qWarning().noquote() << QString("JSON parse error: %1").arg(Error.errorString());
    return QJsonObject();
  }
  if (!Document.isObject()) {
    qWarning().noquote() << "JSON file does not contain a valid JSON object.";
    return QJsonObject();
  }
  return Document.object();
}

QString accountGroupKeyFromObject(const QJsonObject& Object)
{
  if (!Object.isEmpty() && Object.contains("Key") && Object.value("Key").isString())
    return Object.value("Key").toString();
  if (Object.isEmpty())
    qWarning().noquote() << "AccountGroupSetting Error: Empty";
  else if (!Object.contains("Key"))
    qWarning().noquote() << "AccountGroupSetting Error: KeyNotExists";
  else if (!Object.value("Key").isString())
    qWarning().noquote() << "AccountGroupSetting Error: KeyNoString";
  else
    qWarning().noquote() << "AccountGroupSetting Error: Unknown";
  return QString();
}

void TLauncherApplication::readAccountGroupKey()
{
  const bool Exists = m_pLauncherFilesystemHelper->accountGroupFileExists();
  const QJsonObject Object = readAccountGroupObject(m_pLauncherFilesystemHelper->accountGroupFilePath(), Exists);
  m_AccountGroupKey = accountGroupKeyFromObject(Object);
}

void TLauncherApplication::connectExitTimer()
{
  m_ExitTimer.setSingleShot(false);
  m_ExitTimer.setInterval(200);
  QObject::connect(&m_ExitTimer, &QTimer::timeout, this, [this] { onExitTimerExpired(); });
}

void TLauncherApplication::connectServices()
{
  // The configuration handler, the self-updater and the controller are wired
  // here once they exist.
}

void TLauncherApplication::parseCommandLine()
{
  // parse(), never process(): unknown options and missing values are ignored
  // and there is no help or version output.
  m_CommandLineParser.parse(arguments());
}

void TLauncherApplication::startConfigurationDownload()
{
  // The configuration download starts here once the configuration handler
  // exists; until then start-up ends in the idle event loop.
  m_WaitNotificationTimer.start();
}

void TLauncherApplication::showWaitNotification()
{
  m_WaitNotificationTimer.stop();
}

void TLauncherApplication::onExitTimerExpired()
{
  m_ExitTimer.stop();
  exit(0);
}

int runLauncher(int argc, char* argv[])
{
  auto Application = std::make_unique<TLauncherApplication>(argc, argv);
  g_pApplication = Application.get();
  Application->loadTranslation();
  Application->setApplicationIdentity();
  Application->connectWaitNotificationTimer();
  Application->readAccountGroupKey();
  Application->connectExitTimer();
  Application->connectServices();
  Application->parseCommandLine();

  auto Guard = std::make_unique<::shared::FirstInstanceTester>(SingleInstanceKey);
  if (!Guard->isFirstInstance()) {
    qInfo().noquote() << QString("Version: %1already running%2").arg(LauncherVersion, threadTag());
    Guard.reset();
    g_pApplication = nullptr;
    Application.reset();
    return 0;
  }

  setupLogging();
  qInfo().noquote() << QString("Version: %1%2").arg(LauncherVersion, threadTag());
  qInfo().noquote() << QString("load configuration%1").arg(threadTag());
  Application->startConfigurationDownload();

  const int Result = Application->exec();
  Guard.reset();
  g_pApplication = nullptr;
  Application.reset();
  return Result;
}

} // namespace orvale::launcher
