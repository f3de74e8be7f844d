// The launcher's update of itself: the published launcher installed into a
// staging folder, then swapped in.

#include "launcher/launcherselfupdater.h"

#include "launcher/funnelevents.h"
#include "launcher/launcherfileswap.h"
#include "engine/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace orvale::launcher {

const char* const OldExecutableSuffix = ".old";

namespace {

const char* const kStagingFolder = ".ashgrove-update";

// The runs of digits and of other characters of a version.
QStringList versionRuns(const QString& Version)
{
  QStringList Runs;
  for (const QChar Character : Version) {
    if (Runs.isEmpty() || Runs.last().back().isDigit() != Character.isDigit())
      Runs << QString();
    Runs.last() += Character;
  }
  return Runs;
}

QString withoutLeadingZeros(const QString& Digits)
{
  int First = 0;
  while (First + 1 < Digits.size() && Digits[First] == '0')
    ++First;
  return Digits.mid(First);
}

int compareRuns(const QString& Left, const QString& Right)
{
  if (!Left.front().isDigit() || !Right.front().isDigit())
    return Left.compare(Right);
  // Numbers of any length: without leading zeros the longer is larger.
  const QString A = withoutLeadingZeros(Left);
  const QString B = withoutLeadingZeros(Right);
  if (A.size() != B.size())
    return A.size() < B.size() ? -1 : 1;
  return A.compare(B);
}

} // namespace

int compareLauncherVersions(const QString& Left, const QString& Right)
{
  const QStringList A = versionRuns(Left);
  const QStringList B = versionRuns(Right);
  for (int Index = 0; Index < A.size() && Index < B.size(); ++Index) {
    const int Order = compareRuns(A[Index], B[Index]);
    if (Order != 0)
      return Order < 0 ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

TLauncherSelfUpdater::TLauncherSelfUpdater(std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
  : m_pLauncherFilesystemHelper(std::move(FilesystemHelper))
{
}

TLauncherSelfUpdater::~TLauncherSelfUpdater() = default;

QDir TLauncherSelfUpdater::launcherDirectory()
{
  return QDir(QDir(QCoreApplication::applicationDirPath()).absolutePath());
}

QDir TLauncherSelfUpdater::stagingDirectory()
{
  return QDir(launcherDirectory().absoluteFilePath(kStagingFolder));
}

void TLauncherSelfUpdater::startSelfUpdate(std::shared_ptr<TPackage> LauncherPackage)
{
  qInfo().noquote() << QString("startSelfUpdate %1%2").arg(LauncherPackage->name(), threadTag());
  m_pLauncherPackage = LauncherPackage;
  const TPackageConfigurationReader* Published = LauncherPackage->currentDescription();
  if (!Published) {
    failUpdate("no description of the launcher");
    return;
  }
  m_pInstallationManager = std::make_unique<TInstallationManager>(nullptr, m_pLauncherFilesystemHelper);
  m_pInstallationManager->setInstallationDirectory(stagingDirectory());
  sendFunnelEventsOfInstallations(*m_pInstallationManager);
  connect(m_pInstallationManager.get(), &TInstallationManager::installationOrUpdateFinished, this,
          &TLauncherSelfUpdater::onInstallationOrUpdateFinished);
  connect(m_pInstallationManager.get(), &TInstallationManager::diskAccessFailed, this,
          &TLauncherSelfUpdater::diskAccessFailed);
  try {
    shared::removeInterruptedWriteLeftovers(launcherDirectory().absolutePath());
    prepareStagingDirectory(*Published);
    m_pInstallationManager->installOrUpdatePackage(LauncherPackage);
  } catch (const std::runtime_error& Error) {
    emit diskAccessFailed(QString::fromUtf8(Error.what()));
  }
}

void TLauncherSelfUpdater::prepareStagingDirectory(const TPackageConfigurationReader& Published)
{
  const QDir Live = launcherDirectory();
  const QDir Staging = stagingDirectory();
  m_pLauncherFilesystemHelper->removePath(Staging.absolutePath());
  m_pLauncherFilesystemHelper->ensureDirectory(Staging.absolutePath());
  for (const TFileInPackage& File : Published.files()) {
    const QString Source = installationFilePath(*m_pLauncherFilesystemHelper, Live, File.localFile);
    const QString Copy = installationFilePath(*m_pLauncherFilesystemHelper, Staging, File.localFile);
    if (Source.isEmpty() || Copy.isEmpty() || !QFileInfo(Source).isFile())
      continue;
    m_pLauncherFilesystemHelper->ensureDirectory(QFileInfo(Copy).absolutePath());
    if (!QFile::copy(Source, Copy))
      shared::throwIoError(Copy, "Could not copy the launcher's file.");
  }
}

void TLauncherSelfUpdater::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
  if (!InstallationInProgress.withoutError()) {
    failUpdate(QString("Error%1").arg(int(InstallationInProgress.errorReason())));
    return;
  }
  try {
    replaceLauncherFiles(*m_pLauncherPackage->currentDescription());
  } catch (const std::runtime_error& Error) {
    failUpdate(QString::fromUtf8(Error.what()));
    return;
  }
  emit updateDownloadFinishedAndRestartRequired();
}

void TLauncherSelfUpdater::replaceLauncherFiles(const TPackageConfigurationReader& Published)
{
  const QDir Live = launcherDirectory();
  const QDir Staging = stagingDirectory();
  const auto Settings = m_pLauncherFilesystemHelper->launcherSettings();
  QStringList Replaced;
  for (const TFileInPackage& File : Published.files())
    Replaced << File.localFile;
  // The markers go with the files they describe.
  Replaced << Settings->packageFile;
  if (QFileInfo::exists(Staging.filePath(Settings->assetFile)))
    Replaced << Settings->assetFile;
  QStringList Removed{Settings->partialPackageFile};
  const TPackageConfigurationReader Installed =
      m_pInstallationManager->readPackageConfigurationFromInstallationDirectory(Live);
  for (const TFileInPackage& File : Installed.files()) {
    if (Published.findFile(File.localFile) == Published.files().end())
      Removed << File.localFile;
  }
  TLauncherFileSwap(*m_pLauncherFilesystemHelper, Live).run(Staging, Replaced, Removed, Published.executable());
  m_pLauncherFilesystemHelper->removePath(Staging.absolutePath());
}

void TLauncherSelfUpdater::failUpdate(const QString& Reason)
{
  qCritical().noquote() << QString("Updating Ashgrove Online failed: %1").arg(Reason);
  try {
    m_pLauncherFilesystemHelper->removePath(stagingDirectory().absolutePath());
  } catch (const std::runtime_error& Error) {
    qWarning().noquote() << Error.what();
  }
  emit updateFailed();
}

void TLauncherSelfUpdater::recoverInterruptedUpdate()
{
  TLauncherFileSwap(*m_pLauncherFilesystemHelper, launcherDirectory()).recover(stagingDirectory());
}

void TLauncherSelfUpdater::cleanupOldLauncherVersion()
{
  qInfo().noquote() << QString("cleanupOldLauncherVersion%1").arg(threadTag());
  const QDir Live = launcherDirectory();
  QStringList Old;
  for (const shared::TLocalFileInfo& File : m_pLauncherFilesystemHelper->listFilesInDirectory(Live.absolutePath())) {
    if (File.path.endsWith(OldExecutableSuffix))
      Old << File.path;
  }
  const TPackageConfigurationReader Installed =
      TInstallationManager(nullptr, m_pLauncherFilesystemHelper).readPackageConfigurationFromInstallationDirectory(Live);
  for (const TFileInPackage& File : Installed.files()) {
    const QString Path = installationFilePath(*m_pLauncherFilesystemHelper, Live, File.localFile);
    if (!Path.isEmpty() && QFileInfo::exists(Path + OldExecutableSuffix))
      Old << Path + OldExecutableSuffix;
  }
  Old.removeDuplicates();
  shared::removeInterruptedWriteLeftovers(Live.absolutePath());
  for (const QString& Path : Old) {
    try {
      m_pLauncherFilesystemHelper->deleteFile(Path);
    } catch (const std::runtime_error& Error) {
      qWarning().noquote() << Error.what();
    }
  }
  try {
    m_pLauncherFilesystemHelper->removePath(stagingDirectory().absolutePath());
  } catch (const std::runtime_error& Error) {
    qWarning().noquote() << Error.what();
  }
}

} // namespace orvale::launcher
