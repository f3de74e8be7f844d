#include "engine/packageinstallation.h"

#include "engine/logging.h"
#include "shared/downloadpool.h"
#include "shared/filesystemhelper.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QSet>
#include <QStorageInfo>
#include <QtConcurrent>

#include <QMutex>
#include <QThreadPool>

#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>

namespace orvale::launcher {

TPackageInstallation::TPackageInstallation(std::shared_ptr<TPackage> Package,
                                           std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper)
  : m_pPackage(std::move(Package)), m_pLauncherFilesystemHelper(std::move(FilesystemHelper))
{
  registerLauncherMetaTypes();
  // A limit of 0 (an unreadable setting) would hold every download forever.
  const int Limit = std::max(1, int(m_pLauncherFilesystemHelper->engineSettings()->maxConcurrentDownloads));
  auto Pool = std::make_shared<shared::TDownloadPool>(Limit, shared::makeNetworkAccessManagerWrapper(), false);
  Pool->setTransferLimits(transferLimits(*m_pLauncherFilesystemHelper->engineSettings()));
  m_pDownloader = new TPackageFileDownloader(Pool, m_pLauncherFilesystemHelper);
  connect(m_pDownloader, &TPackageFileDownloader::downloadCompleted, this, &TPackageInstallation::onDownloadCompleted);
  connect(m_pDownloader, &TPackageFileDownloader::downloadFailed, this, &TPackageInstallation::onDownloadFailed);
  // Reading the old data for blocks is part of the scan for the player.
  connect(m_pDownloader, &TPackageFileDownloader::scanProgress, this, &TPackageInstallation::scanProgress);
}

TPackageInstallation::~TPackageInstallation()
{
  m_pDownloader->deleteLater();
}

std::shared_ptr<TPackageInstallation> TPackageInstallation::create(
    std::shared_ptr<TPackage> Package, std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper)
{
  return std::shared_ptr<TPackageInstallation>(new TPackageInstallation(std::move(Package), std::move(FilesystemHelper)),
                                               [](TPackageInstallation* Job) { Job->deleteLater(); });
}

void TPackageInstallation::onRequiredChangesComputedForInstallation(TPackageDifference Changes)
{
  qInfo().noquote() << QString("onRequiredChangesComputedForInstallation files to download: %1 files to delete: %2%3")
                           .arg(Changes.filesToDownload.size())
                           .arg(Changes.filesToDelete.size())
                           .arg(threadTag());
  m_RequiredChanges = std::move(Changes);
  if (!m_RequiredChanges.failure.isEmpty()) {
    m_RequiredChanges.oldBlocks.reset();
    failBeforeDownload(m_RequiredChanges.failure, m_RequiredChanges.failureKind == EDifferenceFailure::Disk
                                                      ? SaveFailed
                                                      : DownloadFailed);
    return;
  }
  if (!enoughDiskSpace()) {
    onDownloadFailed(NotEnoughDiskSpace);
    return;
  }
  startDownload();
}

namespace {

TFileSize addSaturating(TFileSize Left, TFileSize Right)
{
  return Left > std::numeric_limits<TFileSize>::max() - Right ? std::numeric_limits<TFileSize>::max() : Left + Right;
}

// The bytes File grows by on disk when it is finished: its chunks laid end to
// end, less what it holds already (written from scratch, it has been removed).
TFileSize growthOnDisk(const TFileToDownload& File, const QString& Path)
{
  if (File.chunksToDownload.empty() || Path.isEmpty())
    return 0;
  TFileSize Size = 0;
  for (const TChunkInPackage& Chunk : File.chunks)
    Size = addSaturating(Size, Chunk.unpackedSize);
  // One stat: a QFileInfo costs several times more, for each of tens of
  // thousands of files.
  struct stat Status = {};
  const bool Exists = ::stat(QFile::encodeName(Path).constData(), &Status) == 0 && S_ISREG(Status.st_mode);
  const TFileSize Present = Exists ? TFileSize(Status.st_size) : 0;
  return Size > Present ? Size - Present : 0;
}

} // namespace

bool TPackageInstallation::enoughDiskSpace()
{
  TFileSize Needed = 0;
  for (const TFileToDownload& File : m_RequiredChanges.filesToDownload) {
    const QString Path = installationFilePath(*m_pLauncherFilesystemHelper, m_InstallationDirectory, File.localFile);
    Needed = addSaturating(Needed, growthOnDisk(File, Path));
  }
  const QStorageInfo Storage(m_InstallationDirectory.absolutePath());
  if (Needed == 0 || !Storage.isValid())
    return true;
  const TFileSize Free = TFileSize(std::max<qint64>(Storage.bytesAvailable(), 0));
  if (Needed <= Free)
    return true;
  qCritical().noquote() << QString("Not enough disk space for %1: %2 bytes to write, %3 bytes free in %4")
                               .arg(m_pPackage->name())
                               .arg(Needed)
                               .arg(Free)
                               .arg(Storage.rootPath());
  m_DiskSpaceNeeded = Needed;
  m_DiskSpaceFree = Free;
  return false;
}

void TPackageInstallation::failBeforeDownload(const QString& Reason, EPackageDownloaderError ErrorReason)
{
  qCritical().noquote() << QString("Installation of %1 cannot start: %2").arg(m_pPackage->name(), Reason);
  m_FailureText = Reason;
  onDownloadFailed(ErrorReason);
}

void TPackageInstallation::startDownload()
{
  qInfo().noquote() << QString("startDownload: %1%2").arg(m_pPackage->name(), threadTag());
  // Held by the downloader for its run only: the old blocks may keep a
  // temporary file in the installation folder.
  std::shared_ptr<const TOldBlocks> OldBlocks = std::move(m_RequiredChanges.oldBlocks);
  m_RequiredChanges.oldBlocks.reset();
  try {
    // Files that need no download may still need their empty content or
    // their execute permission.
    for (const TFileToDownload& File : m_RequiredChanges.filesToDownload) {
      if (!File.chunksToDownload.empty())
        continue;
      const QString Path = installationFilePath(*m_pLauncherFilesystemHelper, m_InstallationDirectory, File.localFile);
      if (Path.isEmpty())
        continue;
      if (File.unpackedSize == 0 && File.chunks.empty() && !QFileInfo::exists(Path)) {
        m_pLauncherFilesystemHelper->ensureDirectory(QFileInfo(Path).absolutePath());
        m_pLauncherFilesystemHelper->writeFile(Path, QByteArray());
      }
      if (File.executable && QFileInfo::exists(Path)) {
        QFile::setPermissions(Path, QFile::permissions(Path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                        QFileDevice::ExeOther);
      }
    }
    // Handed on, not copied: nothing reads the list after the download
    // starts.
    std::vector<TFileToDownload> Needed;
    for (TFileToDownload& File : m_RequiredChanges.filesToDownload) {
      if (!File.chunksToDownload.empty())
        Needed.push_back(std::move(File));
    }
    m_RequiredChanges.filesToDownload.clear();
    if (Needed.empty()) {
      onDownloadCompleted();
      return;
    }
    const std::size_t NeededCount = Needed.size();
    m_pDownloader->downloadFiles(m_InstallationDirectory,
                                 m_SelfUpdateFlag ? EReplacementMode::MoveReplacedFilesAside
                                                  : EReplacementMode::ReplaceFiles,
                                 std::move(Needed), std::move(OldBlocks));
    qInfo().noquote() << QString("start download of %1 files%2").arg(NeededCount).arg(threadTag());
  } catch (const std::runtime_error& Error) {
    emit diskAccessFailed(QString::fromUtf8(Error.what()));
  }
}

void TPackageInstallation::onDownloadCompleted()
{
  qInfo().noquote() << QString("onDownloadCompleted %1%2").arg(m_pPackage->name(), threadTag());
  m_WithoutError = true;
  m_ErrorReason = NoDownloaderError;
  emit downloadFinished(m_pPackage);
}

void TPackageInstallation::onDownloadFailed(EPackageDownloaderError ErrorReason)
{
  qInfo().noquote() << QString("onDownloadFailed %1 %2%3").arg(m_pPackage->name()).arg(int(ErrorReason)).arg(threadTag());
  m_WithoutError = false;
  m_ErrorReason = ErrorReason;
  emit downloadFinished(m_pPackage);
}

const TPackageConfigurationReader& TPackageInstallation::verifiedDescription() const
{
  static const TPackageConfigurationReader None;
  return m_pVerifiedDescription ? *m_pVerifiedDescription : None;
}

void TPackageInstallation::startVerification(std::shared_ptr<const TPackageConfigurationReader> InstalledDescription,
                                             bool Force)
{
  if (!InstalledDescription || !InstalledDescription->isValid()) {
    // Nothing can be checked against a damaged marker: the installation is
    // not vouched for.
    qCritical().noquote() << QString("Verification of %1 impossible: %2")
                                 .arg(m_pPackage->name(),
                                      InstalledDescription ? InstalledDescription->invalidReason() : "no description");
    onVerifyFinished(false);
    return;
  }
  m_pVerifiedDescription = std::move(InstalledDescription);
  const bool CheckHashes = Force || !m_pLauncherFilesystemHelper->engineSettings()->skipVerification;
  auto* Watcher = new QFutureWatcher<EPackageDownloaderError>(this);
  connect(Watcher, &QFutureWatcher<EPackageDownloaderError>::finished, this, [this, Watcher] {
    Watcher->deleteLater();
    finishVerification(Watcher->isCanceled() ? VerificationFailed : Watcher->result());
  });
  const QDir Directory = m_InstallationDirectory;
  const auto Helper = m_pLauncherFilesystemHelper;
  // Shared with the task, not copied into it.
  const auto Described = m_pVerifiedDescription;
  Watcher->setFuture(QtConcurrent::run([this, Directory, Helper, Described, CheckHashes] {
    if (CheckHashes && !VerifyPackage(Directory, Helper, Described->files()))
      return VerificationFailed;
    try {
      FlushInstalledFiles(Directory, Helper, Described->files());
    } catch (const std::runtime_error& Error) {
      qCritical().noquote() << QString("Installed data of %1 could not be flushed: %2")
                                   .arg(m_pPackage->name(), QString::fromUtf8(Error.what()));
      return SaveFailed;
    }
    return NoDownloaderError;
  }));
}

namespace {

// Flushes of single files wait for the disk, not for a CPU: more of them at
// once than there are cores keep the disk's queue full.
constexpr int kFlushThreads = 16;

// Runs Work(Index) for every index below Count on kFlushThreads threads;
// rethrows the first failure once all have ended.
void runOnFlushThreads(int Count, const std::function<void(int)>& Work)
{
  QThreadPool Pool;
  Pool.setMaxThreadCount(kFlushThreads);
  std::atomic<int> Next{0};
  QMutex ErrorMutex;
  std::optional<std::runtime_error> Failure;
  for (int Thread = 0; Thread < std::min(kFlushThreads, Count); ++Thread) {
    Pool.start([&] {
      for (int Index = Next++; Index < Count; Index = Next++) {
        try {
          Work(Index);
        } catch (const std::runtime_error& Error) {
          QMutexLocker Lock(&ErrorMutex);
          if (!Failure)
            Failure = Error;
          Next = Count;
        }
      }
    });
  }
  Pool.waitForDone();
  if (Failure)
    throw *Failure;
}

} // namespace

void TPackageInstallation::FlushInstalledFiles(const QDir& InstallationDirectory,
                                               const std::shared_ptr<TEngineFilesystemHelper>& Helper,
                                               const TFileInPackageVector& Files)
{
  QElapsedTimer Clock;
  Clock.start();
  // The downloader started writing out every piece as it wrote it, so most
  // is on the disk already. A new descriptor still reports a writeback error
  // that nobody has seen yet, of the file (fdatasync) or of any file of the
  // file system (syncfs).
  const QString Root = QDir::cleanPath(InstallationDirectory.absolutePath());
  QSet<QString> Folders{Root};
  QStringList Paths;
  for (const TFileInPackage& Entry : Files) {
    const QString Path = installationFilePath(*Helper, InstallationDirectory, Entry.localFile);
    if (Path.isEmpty())
      continue;
    Paths.append(Path);
    // A new file's name lives in its folder, a new folder's in its parent.
    for (QString Folder = QFileInfo(Path).absolutePath(); Folder.startsWith(Root) && !Folders.contains(Folder);
         Folder = QFileInfo(Folder).absolutePath())
      Folders.insert(Folder);
  }
  if (Helper->engineSettings()->durableFlush == EDurableFlush::FileSystem) {
    // The marker must not vouch for a file that is not there.
    for (const QString& Path : Paths) {
      struct stat Status = {};
      if (::stat(QFile::encodeName(Path).constData(), &Status) != 0 || !S_ISREG(Status.st_mode))
        shared::throwIoError(Path, "Could not open file.");
    }
    shared::flushFileSystemToDisk(Root);
  } else {
    runOnFlushThreads(int(Paths.size()), [&](int Index) {
      QFile File(Paths[Index]);
      if (!File.open(QIODevice::ReadOnly))
        shared::throwIoError(File, "Could not open file.");
      shared::flushFileToDisk(File);
    });
    const QStringList FolderList(Folders.begin(), Folders.end());
    runOnFlushThreads(int(FolderList.size()), [&](int Index) { shared::flushDirectoryToDisk(FolderList[Index]); });
  }
  m_FinalFlushNanoseconds += Clock.nsecsElapsed();
}

double TPackageInstallation::flushSeconds() const
{
  return double(m_FinalFlushNanoseconds) / 1e9;
}

void TPackageInstallation::onVerifyFinished(bool Result)
{
  finishVerification(Result ? NoDownloaderError : VerificationFailed);
}

void TPackageInstallation::finishVerification(EPackageDownloaderError Outcome)
{
  qInfo().noquote() << QString("onVerifyFinished with %1%2").arg(Outcome == NoDownloaderError ? "true" : "false",
                                                                 threadTag());
  m_WithoutError = Outcome == NoDownloaderError;
  m_ErrorReason = Outcome;
  emit verificationFinished(m_pPackage);
}

} // namespace orvale::launcher
