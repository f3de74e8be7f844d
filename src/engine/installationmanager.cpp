// The installation manager: package status from the marker files, the
// installing file, and the installation and verification jobs it starts
// and finishes.

#include "engine/installationmanager.h"

#include "engine/logging.h"
#include "shared/reservednames.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QSet>
#include <QtConcurrent>

#include <stdexcept>

#include <sys/stat.h>

#include <cerrno>

namespace orvale::launcher {

namespace {

// What the files are on disk (device, inode, size, modification and change
// times; "missing" for one that is not there); empty when one of them
// cannot be examined.
// Text as a JSON string, in UTF-8.
QByteArray jsonStringLiteral(const QString& Text)
{
  QByteArray Literal = "\"";
  for (const char Byte : Text.toUtf8()) {
    const unsigned char Code = static_cast<unsigned char>(Byte);
    if (Byte == '"' || Byte == '\\') {
      Literal += '\\';
      Literal += Byte;
    } else if (Code < 0x20) {
      Literal += QByteArray("\\u00") + QByteArray::number(Code, 16).rightJustified(2, '0');
    } else {
      Literal += Byte;
    }
  }
  return Literal + '"';
}

QByteArray filesIdentity(const QStringList& Paths)
{
  QByteArray Identity;
  for (const QString& Path : Paths) {
    struct stat Status;
    if (::stat(QFile::encodeName(Path).constData(), &Status) != 0) {
      if (errno != ENOENT)
        return QByteArray();
      Identity += "missing;";
      continue;
    }
    Identity += QByteArray::number(qulonglong(Status.st_dev)) + ',' + QByteArray::number(qulonglong(Status.st_ino)) +
                ',' + QByteArray::number(qlonglong(Status.st_size)) + ',' +
                QByteArray::number(qlonglong(Status.st_mtim.tv_sec)) + '.' +
                QByteArray::number(qlonglong(Status.st_mtim.tv_nsec)) + ',' +
                QByteArray::number(qlonglong(Status.st_ctim.tv_sec)) + '.' +
                QByteArray::number(qlonglong(Status.st_ctim.tv_nsec)) + ';';
  }
  return Identity;
}

} // namespace

namespace {

const char* const kDefaultMarker = "default";

} // namespace

TInstallationManager::TInstallationManager(std::shared_ptr<TPackageList> Configuration,
                                           std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper)
  : m_pConfiguration(std::move(Configuration)), m_pLauncherFilesystemHelper(std::move(FilesystemHelper))
{
  registerLauncherMetaTypes();
  bool DefaultFound = false;
  for (const auto& Package : packages()) {
    const ELocalPackageStatus Status = computeLocalPackageStatus(*Package);
    Package->setLocalStatus(Status);
    if (!DefaultFound &&
        (Status == ELocalPackageStatus::PartiallyInstalled || Status == ELocalPackageStatus::UpdateAvailable ||
         Status == ELocalPackageStatus::UpToDate)) {
      const QDir Directory = installationDirectory(*Package);
      if (QFileInfo::exists(Directory.filePath(kDefaultMarker))) {
        Package->setIsDefault(true);
        DefaultFound = true;
      }
    }
  }
}

TInstallationManager::~TInstallationManager() = default;

std::vector<std::shared_ptr<TPackage>> TInstallationManager::packages() const
{
  if (!m_pConfiguration)
    return {};
  return m_pConfiguration->packages();
}

std::shared_ptr<TPackage> TInstallationManager::defaultPackage() const
{
  for (const auto& Package : packages()) {
    if (Package->isDefault())
      return Package;
  }
  return nullptr;
}

void TInstallationManager::setInstallationDirectory(const QDir& Directory)
{
  m_InstallationDirectoryOverride = Directory;
}

QDir TInstallationManager::installationDirectory(const TPackage& Package) const
{
  if (m_InstallationDirectoryOverride)
    return *m_InstallationDirectoryOverride;
  return Package.installationDirectory(*m_pLauncherFilesystemHelper);
}

QString TInstallationManager::fullMarkerPath(const TPackage& Package)
{
  return installationDirectory(Package)
      .filePath(m_pLauncherFilesystemHelper->engineSettings()->packageFile);
}

QString TInstallationManager::partialMarkerPath(const TPackage& Package)
{
  return installationDirectory(Package)
      .filePath(m_pLauncherFilesystemHelper->engineSettings()->partialPackageFile);
}

QString TInstallationManager::installingFilesPath(const QDir& Directory)
{
  return Directory.filePath(shared::InstallingFilesName);
}

TFileInPackageVector TInstallationManager::readInstallingFiles(const QDir& Directory)
{
  const QByteArray Data = m_pLauncherFilesystemHelper->readFileIfExists(installingFilesPath(Directory));
  if (Data.isEmpty())
    return {};
  // A list of file names, not a description: {"files": [{"localfile": ...}]}.
  QJsonParseError Error;
  const QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
  const QJsonValue Files = Document.object().value("files");
  if (Error.error != QJsonParseError::NoError || !Files.isArray()) {
    qWarning().noquote() << QString("%1 is damaged, files of an unfinished installation may stay")
                                .arg(installingFilesPath(Directory));
    return {};
  }
  TFileInPackageVector Listed;
  for (const QJsonValue& Entry : Files.toArray()) {
    TFileInPackage File;
    File.localFile = Entry.toObject().value("localfile").toString();
    if (!File.localFile.isEmpty())
      Listed.push_back(File);
  }
  return Listed;
}

void TInstallationManager::writeInstallingFiles(const QDir& Directory, const TPackageConfigurationReader& Published,
                                                const TFileInPackageVector& Installed,
                                                const TFileInPackageVector& Unfinished)
{
  // Written as text: JSON objects for a list of 100 000 names cost more
  // than the rest of starting an update.
  QByteArray Text = "{\"files\":[";
  QSet<QString> Paths;
  for (const TFileInPackageVector* List : {&Published.files(), &Installed, &Unfinished}) {
    for (const TFileInPackage& File : *List) {
      const QString Path = installationFilePath(*m_pLauncherFilesystemHelper, Directory, File.localFile);
      if (Path.isEmpty() || Paths.contains(Path))
        continue;
      Paths.insert(Path);
      if (Paths.size() > 1)
        Text += ',';
      Text += "{\"localfile\":" + jsonStringLiteral(File.localFile) + '}';
    }
  }
  Text += "]}";
  writeFileCreatingFolders(installingFilesPath(Directory), Text);
}

QString TInstallationManager::assetFilePath(const TPackage& Package)
{
  return installationDirectory(Package)
      .filePath(m_pLauncherFilesystemHelper->engineSettings()->assetFile);
}

ELocalPackageStatus TInstallationManager::computeLocalPackageStatus(const TPackage& Package)
{
  const TPackageConfigurationReader* Published = Package.currentDescription();
  if (!Published)
    return ELocalPackageStatus::NotInstalled;
  if (m_pLauncherFilesystemHelper->fileExists(fullMarkerPath(Package))) {
    const TPackageConfigurationReader Installed =
        readPackageConfigurationFromInstallationDirectory(installationDirectory(Package));
    // A damaged marker vouches for nothing, whatever the versions say.
    if (!Installed.isValid() || Installed.versionText() != Published->versionText())
      return ELocalPackageStatus::UpdateAvailable;
    const QString AssetVersion = Published->assetVersion().isEmpty() ? QString("?") : Published->assetVersion();
    return AssetVersion == "1" ? ELocalPackageStatus::UpdateAvailable : ELocalPackageStatus::UpToDate;
  }
  if (m_pLauncherFilesystemHelper->fileExists(partialMarkerPath(Package)))
    return ELocalPackageStatus::PartiallyInstalled;
  return ELocalPackageStatus::NotInstalled;
}

TPackageConfigurationReader TInstallationManager::readPackageConfigurationFromInstallationDirectory(const QDir& Directory)
{
  return *installedDescription(Directory);
}

std::shared_ptr<const TPackageConfigurationReader> TInstallationManager::installedDescription(const QDir& Directory)
{
  const auto Settings = m_pLauncherFilesystemHelper->engineSettings();
  qInfo().noquote() << QString("readPackageConfigurationFromInstallationDirectory m_pLauncherFilesystemHelper: 0x%1 "
                               "launcherSettings: 0x%2 installedPackageMarker: %3 partiallyInstalledPackageMarker: %4%5")
                           .arg(quintptr(m_pLauncherFilesystemHelper.get()), 0, 16)
                           .arg(quintptr(Settings.get()), 0, 16)
                           .arg(Settings->packageFile, Settings->partialPackageFile, threadTag());
  const QString Full = Directory.filePath(Settings->packageFile);
  const QString Partial = Directory.filePath(Settings->partialPackageFile);
  const QString Asset = Directory.filePath(Settings->assetFile);
  const QUrl Base = QUrl::fromLocalFile(Directory.absolutePath() + "/");
  QString Marker;
  if (m_pLauncherFilesystemHelper->fileExists(Full)) {
    qInfo().noquote() << QString("FullInstallationMarker %1 %2 Thread:%3").arg(Full, Asset, threadTag().mid(8));
    Marker = Full;
  } else if (m_pLauncherFilesystemHelper->fileExists(Partial)) {
    qInfo().noquote() << QString("PartialInstallationMarker %1 %2 Thread:%3").arg(Partial, Asset, threadTag().mid(8));
    Marker = Partial;
  } else {
    return std::make_shared<const TPackageConfigurationReader>();
  }
  // Markers are replaced by renames and never written in place: a file
  // with the same device, inode, size and times holds what it held.
  const QByteArray Identity = filesIdentity({Marker, Asset});
  if (!Identity.isEmpty() && m_LastInstalledRead.description && m_LastInstalledRead.marker == Marker &&
      m_LastInstalledRead.identity == Identity)
    return m_LastInstalledRead.description;
  auto Description = std::make_shared<const TPackageConfigurationReader>(
      m_pLauncherFilesystemHelper->readFileIfExists(Marker), m_pLauncherFilesystemHelper->readFileIfExists(Asset), Base,
      Base);
  m_LastInstalledRead = {Marker, Identity, Description};
  return Description;
}

void TInstallationManager::writeFileCreatingFolders(const QString& Path, const QByteArray& Data)
{
  m_pLauncherFilesystemHelper->ensureDirectory(QFileInfo(Path).absolutePath());
  m_pLauncherFilesystemHelper->writeFileAtomically(Path, Data);
}

void TInstallationManager::setDefaultPackage(std::shared_ptr<TPackage> Package)
{
  for (const auto& Each : packages()) {
    Each->setLocalStatus(computeLocalPackageStatus(*Each));
    m_pLauncherFilesystemHelper->removePath(
        installationDirectory(*Each).filePath(kDefaultMarker));
    Each->setIsDefault(false);
  }
  if (Package) {
    writeFileCreatingFolders(installationDirectory(*Package).filePath(kDefaultMarker),
                             QByteArray());
    Package->setIsDefault(true);
  }
}

void TInstallationManager::markPackageAsPartiallyInstalled(std::shared_ptr<TPackage> Package,
                                                           const QByteArray& PackageData, const QByteArray& AssetData)
{
  qInfo().noquote() << QString("markPackageAsPartiallyInstalled: %1%2").arg(Package->name(), threadTag());
  const QString Full = fullMarkerPath(*Package);
  const QString Partial = partialMarkerPath(*Package);
  if (m_pLauncherFilesystemHelper->fileExists(Full))
    m_pLauncherFilesystemHelper->movePath(Full, Partial);
  else if (!m_pLauncherFilesystemHelper->fileExists(Partial))
    writeFileCreatingFolders(Partial, PackageData);
  writeAssetFile(*Package, AssetData);
  Package->setLocalStatus(ELocalPackageStatus::PartiallyInstalled);
}

void TInstallationManager::writeAssetFile(const TPackage& Package, const QByteArray& AssetData)
{
  // A description without asset data has no asset file: one left from an
  // earlier build would add its files to the description read back.
  if (AssetData.isEmpty())
    m_pLauncherFilesystemHelper->removePath(assetFilePath(Package));
  else
    writeFileCreatingFolders(assetFilePath(Package), AssetData);
}

std::shared_ptr<TPackageInstallation> TInstallationManager::findInstallation(const QString& Name) const
{
  for (const auto& Installation : m_InstallationsInProgress) {
    if (Installation->package()->name() == Name)
      return Installation;
  }
  return nullptr;
}

std::shared_ptr<TPackageInstallation> TInstallationManager::createJob(const std::shared_ptr<TPackage>& Package,
                                                                      const TPackageConfigurationReader& Installed)
{
  auto Job = TPackageInstallation::create(Package, m_pLauncherFilesystemHelper);
  Job->setInstallationDirectory(installationDirectory(*Package));
  Job->setInstalledVersionText(Installed.versionText());
  Job->setPublishedVersionText(Package->currentDescription()->versionText());
  Job->setSelfUpdateFlag(m_SelfUpdateFlag);
  return Job;
}

std::optional<QDateTime> TInstallationManager::fastScanMarkerTime(const TPackage& Package)
{
  if (!m_pLauncherFilesystemHelper->engineSettings()->fastScan ||
      computeLocalPackageStatus(Package) != ELocalPackageStatus::UpdateAvailable)
    return std::nullopt;
  const QDateTime MarkerTime = QFileInfo(fullMarkerPath(Package)).lastModified();
  // A marker from the future: the clock was put back since it was written,
  // and a file changed now would look older than it.
  if (!MarkerTime.isValid() || MarkerTime > QDateTime::currentDateTime()) {
    qWarning().noquote() << QString("The full marker of %1 is dated %2, after the present time: every file is read")
                                .arg(Package.name(), MarkerTime.toString(Qt::ISODateWithMs));
    return std::nullopt;
  }
  return MarkerTime;
}

void TInstallationManager::installOrUpdatePackage(std::shared_ptr<TPackage> Package)
{
  qInfo().noquote() << QString("installOrUpdatePackage: %1%2").arg(Package->name(), threadTag());
  if (findInstallation(Package->name()))
    return;
  const TPackageConfigurationReader* Published = Package->currentDescription();
  if (!Published)
    return;
  const QDir Directory = installationDirectory(*Package);
  const auto Installed = installedDescription(Directory);
  // The fast scan trusts only files not changed since the full marker was
  // written; moving the marker aside below keeps its time.
  const std::optional<QDateTime> FastScanMarkerTime = fastScanMarkerTime(*Package);
  // The partial marker may hold the description installed before, without
  // its asset file: what is on disk beyond the published files is known
  // only from the installing file.
  const TFileInPackageVector Unfinished = readInstallingFiles(Directory);
  writeInstallingFiles(Directory, *Published, Installed->files(), Unfinished);
  markPackageAsPartiallyInstalled(Package, Published->packageData(), Published->assetData());

  auto Job = createJob(Package, *Installed);
  connect(Job.get(), &TPackageInstallation::downloadFinished, this, &TInstallationManager::onDownloadFinished);
  connect(Job.get(), &TPackageInstallation::verificationFinished, this, &TInstallationManager::onVerificationFinished);
  connect(Job.get(), &TPackageInstallation::diskAccessFailed, this, &TInstallationManager::onDiskAccessFailed);
  m_InstallationsInProgress.push_back(Job);
  emit installationOrUpdateStarted(*Job);

  const auto Helper = m_pLauncherFilesystemHelper;
  // Shared with the task rather than copied into it: descriptions of many
  // files take a while to copy.
  const auto PublishedCopy = Package->sharedCurrentDescription();
  const auto InstalledCopy = Installed;
  auto* Watcher = new QFutureWatcher<TPackageDifference>(Job.get());
  connect(Watcher, &QFutureWatcher<TPackageDifference>::finished, Job.get(), [Watcher, Job = Job.get()] {
    Watcher->deleteLater();
    if (Watcher->isCanceled()) {
      Job->failBeforeDownload("The installed files could not be compared with the published ones.");
      return;
    }
    Job->onRequiredChangesComputedForInstallation(Watcher->result());
  });
  // The task keeps the job alive while it runs.
  Watcher->setFuture(QtConcurrent::run([Job, Directory, Helper, PublishedCopy, InstalledCopy, FastScanMarkerTime,
                                        Unfinished] {
    return Job->ComputeRequiredChangesForInstallation(Directory, Helper, *PublishedCopy, *InstalledCopy,
                                                      FastScanMarkerTime, Unfinished);
  }));
}

void TInstallationManager::verifyPackage(std::shared_ptr<TPackage> Package)
{
  qInfo().noquote() << QString("verifyPackage: %1%2").arg(Package->name(), threadTag());
  if (findInstallation(Package->name()) || !Package->currentDescription())
    return;
  const TPackageConfigurationReader* Published = Package->currentDescription();
  const auto Installed = installedDescription(installationDirectory(*Package));
  // What is verified stays described as it is: the full marker written
  // after the verification is this description, not the published one. (A
  // missing or damaged description fails the verification.)
  const TPackageConfigurationReader& Kept = Installed->isValid() ? *Installed : *Published;
  markPackageAsPartiallyInstalled(Package, Kept.packageData(), Kept.assetData());
  auto Job = createJob(Package, *Installed);
  Job->setKind(EInstallationKind::VerifyOnly);
  connect(Job.get(), &TPackageInstallation::verificationFinished, this, &TInstallationManager::onVerificationFinished);
  connect(Job.get(), &TPackageInstallation::diskAccessFailed, this, &TInstallationManager::onDiskAccessFailed);
  m_InstallationsInProgress.push_back(Job);
  emit installationOrUpdateStarted(*Job);
  Job->startVerification(Installed, true);
}

void TInstallationManager::onDiskAccessFailed(QString ErrorMessage)
{
  emit diskAccessFailed(ErrorMessage);
}

void TInstallationManager::updatePartiallyInstalledPackage(const std::shared_ptr<TPackage>& Package)
{
  qInfo().noquote() << QString("updatePartiallyInstalledPackage: %1").arg(Package->name());
  const TPackageConfigurationReader* Published = Package->currentDescription();
  const QString Full = fullMarkerPath(*Package);
  if (m_pLauncherFilesystemHelper->fileExists(Full))
    m_pLauncherFilesystemHelper->movePath(Full, partialMarkerPath(*Package));
  writeFileCreatingFolders(partialMarkerPath(*Package), Published->packageData());
  writeAssetFile(*Package, Published->assetData());
  Package->setLocalStatus(ELocalPackageStatus::PartiallyInstalled);
  // Reading the marker back would parse the same documents again.
  rememberInstalledRead(partialMarkerPath(*Package), assetFilePath(*Package), Package->sharedCurrentDescription());
}

void TInstallationManager::rememberInstalledRead(const QString& Marker, const QString& Asset,
                                                 std::shared_ptr<const TPackageConfigurationReader> Description)
{
  const QByteArray Identity = filesIdentity({Marker, Asset});
  if (Identity.isEmpty() || !Description)
    return;
  m_LastInstalledRead = {Marker, Identity, std::move(Description)};
}

void TInstallationManager::onDownloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
  qInfo().noquote() << QString("onDownloadFinished: %1%2").arg(PackageBeingInstalled->name(), threadTag());
  const auto Installation = findInstallation(PackageBeingInstalled->name());
  if (!Installation)
    return;
  qInfo().noquote() << QString("onDownloadFinished found: %1 InstallationsInProgress: %2%3")
                           .arg(PackageBeingInstalled->name())
                           .arg(m_InstallationsInProgress.size())
                           .arg(threadTag());
  if (Installation->withoutError() && PackageBeingInstalled->currentDescription()) {
    try {
      updatePartiallyInstalledPackage(PackageBeingInstalled);
      const auto Local = installedDescription(installationDirectory(*PackageBeingInstalled));
      qInfo().noquote() << QString("onDownloadFinished LocalConfiguration: %1").arg(Local->files().size());
      emit packageDownloaded();
      Installation->startVerification(Local, false);
      return;
    } catch (const std::runtime_error& Error) {
      emit diskAccessFailed(QString::fromUtf8(Error.what()));
    }
  }
  finishInstallation(Installation);
}

void TInstallationManager::markPackageAsFullyInstalled(const std::shared_ptr<TPackage>& Package,
                                                       const TPackageInstallation& Installation)
{
  qInfo().noquote() << QString("markPackageAsFullyInstalled: %1").arg(Package->name());
  // The full marker vouches for what was verified, whatever has been
  // published since.
  const TPackageConfigurationReader& Verified = Installation.verifiedDescription();
  const QString Partial = partialMarkerPath(*Package);
  // The asset file first: the full marker vouches for both. The partial
  // marker goes last, so that one of the two markers exists at every moment.
  writeAssetFile(*Package, Verified.assetData());
  writeFileCreatingFolders(fullMarkerPath(*Package), Verified.packageData());
  if (m_pLauncherFilesystemHelper->fileExists(Partial))
    m_pLauncherFilesystemHelper->deleteFile(Partial);
  // What an unfinished installation wrote stays listed until an
  // installation finishes; a verification leaves it for the next update.
  if (Installation.kind() == EInstallationKind::Update)
    m_pLauncherFilesystemHelper->removePath(installingFilesPath(installationDirectory(*Package)));
  const TPackageConfigurationReader* Published = Package->currentDescription();
  Package->setLocalStatus(Published && Published->versionText() == Verified.versionText()
                              ? ELocalPackageStatus::UpToDate
                              : ELocalPackageStatus::UpdateAvailable);
  emit packageVerified();
}

void TInstallationManager::onVerificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
  qInfo().noquote() << QString("onVerificationFinished: %1%2").arg(PackageBeingInstalled->name(), threadTag());
  const auto Installation = findInstallation(PackageBeingInstalled->name());
  if (!Installation)
    return;
  qInfo().noquote() << QString("onVerificationFinished found package: %1 without error: %2%3")
                           .arg(PackageBeingInstalled->name(), Installation->withoutError() ? "true" : "false",
                                threadTag());
  if (Installation->withoutError() && PackageBeingInstalled->currentDescription()) {
    try {
      markPackageAsFullyInstalled(PackageBeingInstalled, *Installation);
    } catch (const std::runtime_error& Error) {
      emit diskAccessFailed(QString::fromUtf8(Error.what()));
    }
  }
  PackageBeingInstalled->setCheckedInThisRun(true);
  if (Installation->withoutError() && m_pLauncherFilesystemHelper->accountGroupFileExists()) {
    const QDir Directory = installationDirectory(*PackageBeingInstalled);
    m_pLauncherFilesystemHelper->copyFile(m_pLauncherFilesystemHelper->accountGroupFilePath(),
                                          Directory.filePath(m_pLauncherFilesystemHelper->accountGroupCopyTarget()));
  }
  finishInstallation(Installation);
}

void TInstallationManager::finishInstallation(const std::shared_ptr<TPackageInstallation>& Installation)
{
  emit installationOrUpdateFinished(*Installation);
  disconnect(Installation.get(), &TPackageInstallation::diskAccessFailed, this, &TInstallationManager::onDiskAccessFailed);
  m_InstallationsInProgress.erase(
      std::remove(m_InstallationsInProgress.begin(), m_InstallationsInProgress.end(), Installation),
      m_InstallationsInProgress.end());
  if (m_InstallationsInProgress.empty())
    emit allStartedUpdatesFinished();
}

} // namespace orvale::launcher
