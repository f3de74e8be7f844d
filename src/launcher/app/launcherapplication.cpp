// The window's header comes first: it names the reusable "shared"
// namespace, which the translation manager's "orvale::shared" would hide.
#include "launcher/ui/launchermainwindow.h"

#include "launcher/app/launcherapplication.h"

#include "launcher/app/commandline.h"

#include "launcher/funnelevents.h"
#include "engine/logging.h"
#include "engine/types.h"
#include "launcher/ui/messageboxes.h"
#include "shared/filesystemhelper.h"
#include "shared/firstinstancetester.h"
#include "systemsurvey/systemsurveyuploader.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QMessageBox>
#include <QProcess>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace orvale::launcher {

#ifndef ASHGROVE_LAUNCHER_VERSION
#define ASHGROVE_LAUNCHER_VERSION "0.0.12"
#endif

#ifndef ASHGROVE_APPLICATION_ID
#define ASHGROVE_APPLICATION_ID "example.ashgrove_online.Launcher"
#endif
#ifndef ASHGROVE_SELF_UPDATE
#define ASHGROVE_SELF_UPDATE 1
#endif

const char* const LauncherVersion = ASHGROVE_LAUNCHER_VERSION;
const bool SelfUpdateBuiltIn = ASHGROVE_SELF_UPDATE;
const char* const TranslationFileBaseName = "launcher.en";
const char* const SingleInstanceKey = "1b7a377a-e61e-4016-a479-7054bc72a4f8";

namespace {

TLauncherApplication* g_pApplication = nullptr;

// Set in the environment of a launcher that the old one starts after its
// self-update: the new process may find the guard still held for a moment.
const char* const RestartEnvironmentVariable = "ASHGROVE_LAUNCHER_RESTARTED";

// --help and --version are answered before the application object exists:
// they need no display, no single-instance guard and no log. Any other
// argument is left to the parser, which ignores what it does not know.
std::optional<int> answerInformationRequest(int argc, char* argv[])
{
  for (int Index = 1; Index < argc; ++Index) {
    const QByteArray Argument(argv[Index]);
    if (Argument == "--help" || Argument == "-h") {
      std::fputs(::shared::helpText(launcherHelpPage()).toLocal8Bit().constData(), stdout);
      return 0;
    }
    if (Argument == "--version" || Argument == "-v") {
      std::printf("ashgrove-launcher %s\n", LauncherVersion);
      return 0;
    }
  }
  return std::nullopt;
}

// Qt aborts when it cannot reach a window system: say so in one line first.
std::optional<int> refuseWithoutDisplay()
{
  const auto Problem = displayProblem(qEnvironmentVariable("QT_QPA_PLATFORM"), qEnvironmentVariable("DISPLAY"),
                                      qEnvironmentVariable("WAYLAND_DISPLAY"));
  if (!Problem)
    return std::nullopt;
  std::fprintf(stderr, "ashgrove-launcher: %s\n", Problem->toLocal8Bit().constData());
  return 1;
}

} // namespace

TLauncherApplication* launcherApplication()
{
  return g_pApplication;
}

TLauncherApplication::TLauncherApplication(int& argc, char** argv)
  : QApplication(argc, argv)
  , m_pDownloadPool(std::make_shared<::shared::TDownloadPool>(6, ::shared::makeNetworkAccessManagerWrapper(), true))
  , m_pLauncherFilesystemHelper(std::make_shared<TLauncherFilesystemHelper>())
  , m_pTranslationManager(std::make_shared<orvale::shared::TTranslationManager>())
  , m_pCloudflareCdnTrace(std::make_shared<TCloudflareCdnTrace>(
        m_pLauncherFilesystemHelper->launcherSettings()->cdnDiagnosticsTrace, m_pDownloadPool))
  , m_pConfigurationHandler(std::make_unique<TLauncherConfigurationHandler>(m_pDownloadPool, m_pLauncherFilesystemHelper))
  , m_pLauncherSelfUpdater(std::make_unique<TLauncherSelfUpdater>(m_pLauncherFilesystemHelper))
  , m_FirstLaunchOption(launcherOptions()[0])
  , m_SkipSelfUpdateOption(launcherOptions()[1])
  , m_ShowUiOption(launcherOptions()[2])
  , m_PatchOption(launcherOptions()[3])
  , m_FunnelUuidKey(FunnelUuidKey)
{
  registerLauncherMetaTypes();
  m_pDownloadPool->setTransferLimits(transferLimits(*m_pLauncherFilesystemHelper->launcherSettings()));
  m_CommandLineParser.addOption(m_FirstLaunchOption);
  m_CommandLineParser.addOption(m_SkipSelfUpdateOption);
  m_CommandLineParser.addOption(m_ShowUiOption);
  m_CommandLineParser.addOption(m_PatchOption);
  // The scan and verification fan out into six tasks each and wait for
  // them; with only as many pool threads as cores they would run one or two
  // at a time.
  QThreadPool::globalInstance()->setMaxThreadCount(std::max(QThread::idealThreadCount(), 8));
}

TLauncherApplication::~TLauncherApplication()
{
  setFunnelEventSink({});
  m_pInstanceGuard.reset();
}

void TLauncherApplication::prepare()
{
  loadTranslation();
  setApplicationIdentity();
  connectWaitNotificationTimer();
  readAccountGroupKey();
  connectExitTimer();
  connectServices();
  parseCommandLine();
}

void TLauncherApplication::holdInstanceGuard(std::unique_ptr<::shared::FirstInstanceTester> Guard)
{
  m_pInstanceGuard = std::move(Guard);
}

void TLauncherApplication::start()
{
  // Markers, the cached configuration and its signature are written
  // atomically there; a write that was cut short leaves its temporary file.
  ::shared::removeInterruptedWriteLeftovers(TLauncherFilesystemHelper::dataDirectory());
  recoverInterruptedSelfUpdate();
  qInfo().noquote() << QString("load configuration%1").arg(threadTag());
  startConfigurationDownload();
}

bool TLauncherApplication::reportingDiskFailure(const std::function<void()>& Action)
{
  try {
    Action();
    return true;
  } catch (const std::runtime_error& Error) {
    onDiskAccessFailure(QString::fromUtf8(Error.what()));
    return false;
  }
}

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
  setApplicationVersion(LauncherVersion);
  // Desktops match the window to its .desktop entry (and its icon) by this.
  setDesktopFileName(ASHGROVE_APPLICATION_ID);
}

void TLauncherApplication::connectWaitNotificationTimer()
{
  m_WaitNotificationTimer.setSingleShot(true);
  m_WaitNotificationTimer.setInterval(
      int(qBound<qint64>(0, m_pLauncherFilesystemHelper->launcherSettings()->waitNotificationTimeout, 1 << 30)));
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
  auto* Handler = m_pConfigurationHandler.get();
  QObject::connect(Handler, &TLauncherConfigurationHandler::mainConfigurationLoaded, this,
                   [this] { onMainConfigurationLoaded(); });
  QObject::connect(Handler, &TLauncherConfigurationHandler::mainConfigurationDownloadFailed, this,
                   [this] { onMainConfigurationDownloadFailed(); });
  QObject::connect(Handler, &TLauncherConfigurationHandler::diskAccessFailed, this,
                   [this](QString Message) { onDiskAccessFailure(Message); });
  QObject::connect(Handler, &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished, this,
                   [this] { onPackageConfigurationDownloadsFinished(); });
  auto* Updater = m_pLauncherSelfUpdater.get();
  QObject::connect(Updater, &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired, this,
                   [this] { restartAfterSelfUpdate(); });
  QObject::connect(Updater, &TLauncherSelfUpdater::updateFailed, this, [this] { onLauncherReadyForAction(); });
  QObject::connect(Updater, &TLauncherSelfUpdater::diskAccessFailed, this,
                   [this](QString Message) { onDiskAccessFailure(Message); });
  setFunnelEventSink([this](const QString& Step, const QString& Key) { sendFunnelEvent(Step, Key); });
}

void TLauncherApplication::parseCommandLine()
{
  // parse(), never process(): unknown options and missing values are ignored
  // and there is no help or version output.
  m_CommandLineParser.parse(arguments());
}

void TLauncherApplication::startConfigurationDownload()
{
  if (m_Ending)
    return;
  m_pConfigurationHandler->startConfigurationDownload();
  m_WaitNotificationTimer.start();
}

QString TLauncherApplication::patchValue() const
{
  return isSet(m_PatchOption) ? m_CommandLineParser.value(m_PatchOption) : QString();
}

void TLauncherApplication::quitWithStatus(int Status)
{
  m_Ending = true;
  // Ends a running event loop at once; before the loop runs, the queued call
  // ends it as soon as it starts.
  QCoreApplication::exit(Status);
  QTimer::singleShot(0, this, [Status] { QCoreApplication::exit(Status); });
}

void TLauncherApplication::closeSplashScreen()
{
  if (m_pSplashScreen) {
    m_pSplashScreen->close();
    processEvents();
  }
}

void TLauncherApplication::showSplashScreen(const QString& Image)
{
  closeSplashScreen();
  m_pSplashScreen = std::make_unique<QSplashScreen>(QPixmap(Image));
  m_pSplashScreen->show();
  processEvents();
}

void TLauncherApplication::showWaitNotification()
{
  showSplashScreen(":/images/launcher/LauncherLogo_QT.png");
  m_WaitNotificationTimer.stop();
}

void TLauncherApplication::onMainConfigurationLoaded()
{
  // After a fatal box nothing else starts.
  if (m_Ending)
    return;
  const auto Configuration = m_pConfigurationHandler->configuration();
  if (Configuration && Configuration->hardwareSurveyUrl().isValid())
    m_pSystemSurveyUploader = systemsurvey::startSystemSurvey(Configuration->hardwareSurveyUrl());
  m_pConfigurationHandler->requestPackageConfigurations();
  updateExecutableLink();
}

void TLauncherApplication::updateExecutableLink()
{
  const QString Executable = applicationFilePath();
  const QString LinkPath = QDir(TLauncherFilesystemHelper::dataDirectory()).absoluteFilePath(QFileInfo(Executable).fileName());
  const QFileInfo Link(LinkPath);
  // A link whose target is gone (the launcher was moved) is made again.
  if (Link.isSymLink() && Link.exists())
    return;
  // The launcher may run from the data directory itself: its own file is
  // never removed for a link.
  if (Link.exists() && Link.canonicalFilePath() == QFileInfo(Executable).canonicalFilePath())
    return;
  // The link is a convenience: a run goes on without it.
  try {
    m_pLauncherFilesystemHelper->removePath(LinkPath);
    m_pLauncherFilesystemHelper->ensureDirectory(QFileInfo(LinkPath).absolutePath());
    m_pLauncherFilesystemHelper->linkPath(Executable, LinkPath);
  } catch (const std::runtime_error&) {
  }
}

void TLauncherApplication::onMainConfigurationDownloadFailed()
{
  if (m_Ending)
    return;
  m_Ending = true;
  m_WaitNotificationTimer.stop();
  if (m_pSplashScreen)
    m_pSplashScreen->hide();
  // Closing the box must not end the run with status 0 as "last window".
  setQuitOnLastWindowClosed(false);
  QMessageBox Box(QMessageBox::Information, "Ashgrove Online cannot be started",
                  "Ashgrove Online is currently down for maintenance. Please try again later.", QMessageBox::Close);
  execMessageBox(Box);
  quitWithStatus(1);
}

void TLauncherApplication::onDiskAccessFailure(QString ErrorMessage)
{
  if (m_Ending)
    return;
  m_Ending = true;
  m_WaitNotificationTimer.stop();
  if (m_pSplashScreen)
    m_pSplashScreen->hide();
  setQuitOnLastWindowClosed(false);
  QMessageBox Box(QMessageBox::Critical, "Ashgrove Online cannot start",
                  QString("A critical error occurred while accessing a file:\n%1\nPlease reinstall Launcher.").arg(ErrorMessage),
                  QMessageBox::Ok);
  execMessageBox(Box);
  quitWithStatus(1);
}

void TLauncherApplication::recoverInterruptedSelfUpdate()
{
  reportingDiskFailure([this] { m_pLauncherSelfUpdater->recoverInterruptedUpdate(); });
}

void TLauncherApplication::onPackageConfigurationDownloadsFinished()
{
  if (m_Ending)
    return;
  const auto Configuration = m_pConfigurationHandler->configuration();
  const auto Launcher = Configuration ? Configuration->launcherPackage() : nullptr;
  const TPackageConfigurationReader* Description = Launcher ? Launcher->currentDescription() : nullptr;
  tellPlayerOfRefusedDocument();
  const bool SelfUpdateDue = !isSet(m_SkipSelfUpdateOption) && Description && isNewerLauncher(Description->version());
  if (SelfUpdateDue && !SelfUpdateBuiltIn)
    qInfo().noquote() << QString("The launcher %1 is published; this build does not update itself")
                             .arg(Description->version());
  if (SelfUpdateDue && SelfUpdateBuiltIn) {
    m_pLauncherSelfUpdater->startSelfUpdate(Launcher);
    showSplashScreen(":/images/launcher/LauncherLogo_UpdatingLauncher.png");
    m_WaitNotificationTimer.stop();
    return;
  }
  m_pLauncherSelfUpdater->cleanupOldLauncherVersion();
  onLauncherReadyForAction();
}

bool TLauncherApplication::isNewerLauncher(const QString& PublishedVersion) const
{
  const int Order = compareLauncherVersions(PublishedVersion, LauncherVersion);
  if (Order < 0)
    qWarning().noquote() << QString("The published launcher %1 is older than this launcher %2: it is not installed")
                                .arg(PublishedVersion, LauncherVersion);
  return Order > 0;
}

namespace {

// Why an update was refused, in words a player understands.
QString refusalReasonText(EDocumentRefusal Reason)
{
  switch (Reason) {
  case EDocumentRefusal::NotSigned:
    return "it is not signed by its publisher";
  case EDocumentRefusal::SignedByOther:
    return "it is signed by someone other than its publisher";
  case EDocumentRefusal::BadSignature:
    return "its signature is damaged or does not belong to it";
  case EDocumentRefusal::Expired:
    return "its signature has expired";
  case EDocumentRefusal::OtherDocument:
    return "the server sent another file of its publisher in its place";
  case EDocumentRefusal::Older:
    return "it is older than the version already installed";
  case EDocumentRefusal::NotADescription:
    return "the server did not send an update of it";
  case EDocumentRefusal::TooLarge:
    return "it lists more files than this launcher can take; a newer launcher may be needed";
  }
  return "it could not be checked";
}

} // namespace

void TLauncherApplication::tellPlayerOfRefusedDocument()
{
  const auto& Refused = m_pConfigurationHandler->refusedDocuments();
  if (Refused.empty() || m_RefusalShown)
    return;
  m_RefusalShown = true;
  if (m_pSplashScreen)
    m_pSplashScreen->hide();
  const QString Package = Refused.front().package.isEmpty() ? applicationName() : Refused.front().package;
  QMessageBox Box(QMessageBox::Warning, "Update refused",
                  QString("The update of %1 was refused because %2.").arg(Package, refusalReasonText(Refused.front().reason)),
                  QMessageBox::Ok);
  // No window is open yet: closing the box must not end the run as "the
  // last window".
  const bool QuitOnLastWindow = quitOnLastWindowClosed();
  setQuitOnLastWindowClosed(false);
  execMessageBox(Box);
  setQuitOnLastWindowClosed(QuitOnLastWindow);
}

void TLauncherApplication::restartAfterSelfUpdate()
{
  QStringList Arguments = arguments().mid(1);
  Arguments << QString("--%1").arg(SkipSelfUpdateOptionName);
  // Hand the single-instance guard over first, so that the new launcher does
  // not find it held by this one and end as "already running".
  m_pInstanceGuard.reset();
  QProcess Process;
  Process.setProgram(applicationFilePath());
  Process.setArguments(Arguments);
  Process.setWorkingDirectory(QDir::currentPath());
  QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
  Environment.insert(RestartEnvironmentVariable, QString::number(applicationPid()));
  Process.setProcessEnvironment(Environment);
  const bool Started = Process.startDetached();
  qInfo().noquote() << QString("restartAfterSelfUpdate %1%2").arg(Started ? "started" : "failed", threadTag());
  quitWithStatus(Started ? 0 : 1);
}

void TLauncherApplication::onLauncherReadyForAction()
{
  if (m_Ending)
    return;
  qInfo().noquote() << QString("onLauncherReadyForAction%1").arg(threadTag());
  createInstallationManager();
  std::vector<std::shared_ptr<TPackage>> Forced;
  if (!reportingDiskFailure([&] { Forced = takeForcedPackages(); }))
    return;
  m_WaitNotificationTimer.stop();
  if (m_pSplashScreen)
    m_pSplashScreen->hide();
  const EStartMode Mode = startMode(!Forced.empty());
  reportingDiskFailure([&] {
    switch (Mode) {
    case EStartMode::FirstLaunch:
      startFirstLaunch();
      break;
    case EStartMode::Patch:
      startPatch(std::move(Forced));
      break;
    case EStartMode::ShowUi:
      showMainWindow();
      break;
    case EStartMode::StartDefault:
      startDefaultPackage();
      break;
    }
  });
}

void TLauncherApplication::createInstallationManager()
{
  // The window refers to the manager: it goes first.
  if (m_pMainWindow && m_pInstallationManager) {
    m_pMainWindow->close();
    m_pMainWindow.reset();
  }
  m_pInstallationManager =
      std::make_unique<TInstallationManager>(m_pConfigurationHandler->configuration(), m_pLauncherFilesystemHelper);
  sendFunnelEventsOfInstallations(*m_pInstallationManager);
  QObject::connect(m_pInstallationManager.get(), &TInstallationManager::allStartedUpdatesFinished, this,
                   [this] { onAllStartedUpdatesFinished(); });
  QObject::connect(m_pInstallationManager.get(), &TInstallationManager::diskAccessFailed, this,
                   [this](QString Message) { onDiskAccessFailure(Message); });
}

std::vector<std::shared_ptr<TPackage>> TLauncherApplication::takeForcedPackages()
{
  std::vector<std::shared_ptr<TPackage>> Forced;
  for (const auto& Package : m_pConfigurationHandler->configuration()->packages()) {
    if (!Package->currentBuild())
      continue;
    const QString ForcePatch = Package->installationDirectory(*m_pLauncherFilesystemHelper).filePath("FORCE_PATCH");
    if (m_pLauncherFilesystemHelper->fileExists(ForcePatch)) {
      m_pLauncherFilesystemHelper->deleteFile(ForcePatch);
      Forced.push_back(Package);
    }
  }
  return Forced;
}

TLauncherApplication::EStartMode TLauncherApplication::startMode(bool HasForcedPackages) const
{
  if (isSet(m_FirstLaunchOption))
    return EStartMode::FirstLaunch;
  if (!patchValue().isEmpty() || HasForcedPackages)
    return EStartMode::Patch;
  if (isSet(m_ShowUiOption))
    return EStartMode::ShowUi;
  return EStartMode::StartDefault;
}

void TLauncherApplication::startFirstLaunch()
{
  showMainWindow();
  bool First = true;
  for (const auto& Package : m_pConfigurationHandler->configuration()->packages()) {
    if (!Package->installAutomatically())
      continue;
    m_pInstallationManager->installOrUpdatePackage(Package);
    if (First) {
      m_pInstallationManager->setDefaultPackage(Package);
      if (m_pMainWindow)
        m_pMainWindow->setDefault(Package, true);
      First = false;
    }
  }
}

void TLauncherApplication::startPatch(std::vector<std::shared_ptr<TPackage>> Forced)
{
  const auto Patched = findPackageByExecutablePath(m_pConfigurationHandler->configuration()->packages(), patchValue(),
                                                   *m_pLauncherFilesystemHelper);
  showMainWindow();
  if (Patched && std::find(Forced.begin(), Forced.end(), Patched) == Forced.end())
    Forced.push_back(Patched);
  if (Forced.empty()) {
    QMessageBox Box(QMessageBox::Information, "Client patching failed",
                    "Could not determine patch information. Your client might no longer be supported.",
                    QMessageBox::Ok, m_pMainWindow.get());
    execMessageBox(Box);
    return;
  }
  for (const auto& Package : Forced)
    m_pInstallationManager->installOrUpdatePackage(Package);
}

void TLauncherApplication::startDefaultPackage()
{
  const auto Default = m_pInstallationManager->defaultPackage();
  if (Default && Default->localStatus() == ELocalPackageStatus::UpToDate)
    startPackageAndExit(Default);
  else
    showMainWindow();
}

void TLauncherApplication::onAllStartedUpdatesFinished()
{
  if (m_Ending)
    return;
  const auto Configuration = m_pConfigurationHandler->configuration();
  if (!Configuration || Configuration->preventDefaultAutostart())
    return;
  if (isSet(m_FirstLaunchOption)) {
    const auto Default = m_pInstallationManager->defaultPackage();
    if (Default && Default->localStatus() == ELocalPackageStatus::UpToDate) {
      startPackageAndExit(Default);
      return;
    }
  }
  if (!patchValue().isEmpty()) {
    const auto Patched =
        findPackageByExecutablePath(Configuration->packages(), patchValue(), *m_pLauncherFilesystemHelper);
    if (Patched)
      startPackageAndExit(Patched);
  }
}

void TLauncherApplication::onDefaultPackageChanged(std::shared_ptr<TPackage> Package, bool IsDefault)
{
  reportingDiskFailure([&] { m_pInstallationManager->setDefaultPackage(IsDefault ? Package : nullptr); });
}

void TLauncherApplication::onClientStartOrInstallTriggeredFromUI(std::shared_ptr<TPackage> Package)
{
  qInfo().noquote() << QString("onClientStartOrInstallTriggeredFromUI %1%2").arg(Package->name(), threadTag());
  reportingDiskFailure([&] {
    switch (Package->localStatus()) {
    case ELocalPackageStatus::UpToDate:
      startPackageAndExit(Package);
      break;
    case ELocalPackageStatus::NotInstalled:
    case ELocalPackageStatus::PartiallyInstalled:
    case ELocalPackageStatus::UpdateAvailable:
      m_pInstallationManager->installOrUpdatePackage(Package);
      break;
    case ELocalPackageStatus::Unknown:
      break;
    }
  });
}

void TLauncherApplication::onClientVerifyTriggeredFromUI(std::shared_ptr<TPackage> Package)
{
  qInfo().noquote() << QString("onClientVerifyTriggeredFromUI %1%2").arg(Package->name(), threadTag());
  if (Package->localStatus() != ELocalPackageStatus::UpToDate)
    return;
  reportingDiskFailure([&] { m_pInstallationManager->verifyPackage(Package); });
}

void TLauncherApplication::startPackageAndExit(std::shared_ptr<TPackage> Package)
{
  qInfo().noquote() << QString("startPackageAndExit %1%2").arg(Package->name(), threadTag());
  const QString Executable = Package->executablePath(*m_pLauncherFilesystemHelper);
  QStringList Arguments;
  if (const TPackageConfigurationReader* Description = Package->currentDescription())
    Arguments = Description->parameters();
  if (Package->checkedInThisRun())
    Arguments << "--package-is-up-to-date";
  if (Executable.isEmpty())
    return;
  const QString Directory = QFileInfo(Executable).absolutePath();
  qputenv("LD_LIBRARY_PATH", Directory.toLocal8Bit());
  if (!QProcess::startDetached(Executable, Arguments, Directory)) {
    qCritical().noquote() << QString("startPackageAndExit could not start %1").arg(Executable);
    quitWithStatus(1);
    return;
  }
  m_ExitTimer.start();
  if (m_pMainWindow)
    m_pMainWindow->close();
}

void TLauncherApplication::showMainWindow()
{
  if (m_pMainWindow) {
    m_pMainWindow->show();
    return;
  }
  const auto Configuration = m_pConfigurationHandler->configuration();
  std::vector<std::shared_ptr<TPackage>> Packages;
  for (const auto& Package : Configuration->packages()) {
    if (Package->currentBuild())
      Packages.push_back(Package);
  }
  m_pMainWindow = std::make_unique<TLauncherMainWindow>(Configuration, m_pCloudflareCdnTrace, m_pDownloadPool,
                                                        m_pInstallationManager.get(), Packages,
                                                        Configuration->showPackageNames());
  const QString HintsScheme = Configuration->hintsUrl().scheme();
  if (Configuration->hintsUrl().isValid() && (HintsScheme == "http" || HintsScheme == "https"))
    m_pDownloadPool->download(Configuration->hintsUrl());
  auto* Window = m_pMainWindow.get();
  QObject::connect(m_pConfigurationHandler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived, Window,
                   &TLauncherMainWindow::setHints);
  QObject::connect(Window, &TLauncherMainWindow::defaultChanged, this,
                   [this](std::shared_ptr<TPackage> Package, bool IsDefault) { onDefaultPackageChanged(Package, IsDefault); });
  QObject::connect(Window, &TLauncherMainWindow::clientPackageButtonClicked, this,
                   [this](std::shared_ptr<TPackage> Package) { onClientStartOrInstallTriggeredFromUI(Package); });
  QObject::connect(Window, &TLauncherMainWindow::clientPackageVerifyButtonClicked, this,
                   [this](std::shared_ptr<TPackage> Package) { onClientVerifyTriggeredFromUI(Package); });
  Window->show();
}

void TLauncherApplication::sendFunnelEvent(QString Step, QString FirstTimeKey)
{
  const auto Configuration = m_pConfigurationHandler->configuration();
  const QUrl Url = Configuration ? Configuration->funnelUrl() : QUrl();
  postFunnelEvent(this, Url, Step, FirstTimeKey, m_AccountGroupKey);
}

void TLauncherApplication::onExitTimerExpired()
{
  m_ExitTimer.stop();
  quitWithStatus(0);
}

int runLauncher(int argc, char* argv[])
{
  if (const auto Status = answerInformationRequest(argc, argv))
    return *Status;
  if (const auto Status = refuseWithoutDisplay())
    return *Status;
  const qint64 OpenFileLimit = ::shared::raiseOpenFileLimit();
  auto Application = std::make_unique<TLauncherApplication>(argc, argv);
  g_pApplication = Application.get();
  Application->prepare();

  // Read once and removed, so that the clients started later do not inherit it.
  const bool Restarted = !qEnvironmentVariableIsEmpty(RestartEnvironmentVariable);
  qunsetenv(RestartEnvironmentVariable);
  auto Guard = std::make_unique<::shared::FirstInstanceTester>(SingleInstanceKey);
  if (!Guard->isFirstInstance() && Restarted) {
    // Started by a launcher that has just updated itself: it lets go of the
    // guard before it starts us, but wait a little in case it has not yet.
    for (int Attempt = 0; Attempt < 100 && !Guard->isFirstInstance(); ++Attempt) {
      Guard.reset();
      QThread::msleep(100);
      Guard = std::make_unique<::shared::FirstInstanceTester>(SingleInstanceKey);
    }
  }
  if (!Guard->isFirstInstance()) {
    qInfo().noquote() << QString("Version: %1 already running%2").arg(LauncherVersion, threadTag());
    Guard.reset();
    g_pApplication = nullptr;
    Application.reset();
    return 0;
  }
  Application->holdInstanceGuard(std::move(Guard));

  setupLogging();
  qInfo().noquote() << QString("Version: %1%2").arg(LauncherVersion, threadTag());
  qInfo().noquote() << QString("open files limit: %1").arg(OpenFileLimit);
  TLauncherSettings::logSources(QCoreApplication::applicationDirPath());
  Application->start();

  const int Result = Application->exec();
  g_pApplication = nullptr;
  Application.reset();
  return Result;
}

} // namespace orvale::launcher
