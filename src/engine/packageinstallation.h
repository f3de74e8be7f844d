#pragma once

#include "engine/enginefilesystemhelper.h"
#include "engine/package.h"
#include "engine/packagedifference.h"
#include "engine/packagefiledownloader.h"
#include "engine/types.h"

#include <QDateTime>
#include <QDir>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace orvale::launcher {

// What a job does.
enum class EInstallationKind : std::int32_t
{
  Update = 0,      // installs or updates to the published description, then verifies
  VerifyOnly = 1,  // verifies the installed description
};

// One job that brings one package's installation directory to the published
// state: it receives the computed changes, deletes what is obsolete, drives
// its downloader for everything missing, and runs the verification. The
// installation manager decides what happens between the phases.
class TPackageInstallation : public QObject
{
  Q_OBJECT
public:
  TPackageInstallation(std::shared_ptr<TPackage> Package, std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper);
  ~TPackageInstallation() override;

  // Jobs are shared; the last owner may let go on any thread, so the job is
  // deleted on its own thread.
  static std::shared_ptr<TPackageInstallation> create(std::shared_ptr<TPackage> Package,
                                                      std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper);

  std::shared_ptr<TPackage> package() const { return m_pPackage; }
  TPackageFileDownloader* downloader() const { return m_pDownloader; }
  std::shared_ptr<TEngineFilesystemHelper> filesystemHelper() const { return m_pLauncherFilesystemHelper; }
  bool withoutError() const { return m_WithoutError; }
  EPackageDownloaderError errorReason() const { return m_ErrorReason; }
  // Text of the last failure that has no error reason of its own (an invalid
  // description), for the log and the messages.
  const QString& failureText() const { return m_FailureText; }
  // Set for the launcher's own update: files that are replaced may be in use.
  bool selfUpdateFlag() const { return m_SelfUpdateFlag; }
  void setSelfUpdateFlag(bool Flag) { m_SelfUpdateFlag = Flag; }
  const QDir& installationDirectory() const { return m_InstallationDirectory; }
  void setInstallationDirectory(const QDir& Directory) { m_InstallationDirectory = Directory; }
  const QString& installedVersionText() const { return m_InstalledVersionText; }
  void setInstalledVersionText(const QString& Text) { m_InstalledVersionText = Text; }
  const QString& publishedVersionText() const { return m_PublishedVersionText; }
  void setPublishedVersionText(const QString& Text) { m_PublishedVersionText = Text; }
  EInstallationKind kind() const { return m_Kind; }
  void setKind(EInstallationKind Kind) { m_Kind = Kind; }
  // The description the last verification checked (or, with verification
  // skipped, whose files it flushed): what a full marker may vouch for.
  // Empty before a verification.
  const TPackageConfigurationReader& verifiedDescription() const;
  // With NotEnoughDiskSpace: the bytes still to write and the bytes free.
  TFileSize diskSpaceNeeded() const { return m_DiskSpaceNeeded; }
  TFileSize diskSpaceFree() const { return m_DiskSpaceFree; }

  // Difference computation; runs on a worker thread. First removes what
  // interrupted writes left in the folder and the files that are obsolete:
  // those of the installed description and UnfinishedFiles (what an
  // unfinished installation may have written) that the published
  // description does not have. Then scans the published files. With
  // FastScanMarkerTime (the modification time of the full marker of the
  // installed description) the fast scan trusts the installed description's
  // layout of a file that has its installed size and whose modification and
  // status-change times are not after that time; other files, and every
  // file without it, are read.
  TPackageDifference ComputeRequiredChangesForInstallation(const QDir& InstallationDirectory,
                                                           const std::shared_ptr<TEngineFilesystemHelper>& Helper,
                                                           const TPackageConfigurationReader& PublishedDescription,
                                                           const TPackageConfigurationReader& InstalledDescription,
                                                           const std::optional<QDateTime>& FastScanMarkerTime,
                                                           const TFileInPackageVector& UnfinishedFiles = {});
  // The files to download (no files to delete), or the failure.
  TPackageDifference FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
      const TFileInPackageVector& PublishedFiles, const TChunkInPackageVector& PublishedChunks,
      const TFileInPackageVector& InstalledFiles, const TChunkInPackageVector& InstalledChunks,
      const std::optional<QDateTime>& FastScanMarkerTime, const QDir& InstallationDirectory,
      const std::shared_ptr<TEngineFilesystemHelper>& Helper);

  // Starts the verification of the installed description's files on the
  // thread pool (without Force and with "skipVerification" set the hashes
  // are not checked), followed by the flush that makes them durable: the
  // verification succeeds only when the files are on the disk, so that the
  // full marker written after it never vouches for data a power cut loses.
  void startVerification(std::shared_ptr<const TPackageConfigurationReader> InstalledDescription, bool Force);
  // Hashes every file and compares it with its unpacked hash; runs on a
  // worker thread.
  bool VerifyPackage(const QDir& InstallationDirectory, const std::shared_ptr<TEngineFilesystemHelper>& Helper,
                     TFileInPackageVector Files);

  // Makes the installed files durable (their data, and the folders that
  // hold them) the way the settings' durableFlush says; runs on a worker
  // thread and throws the uniform I/O error when a file is missing or a flush
  // fails.
  void FlushInstalledFiles(const QDir& InstallationDirectory, const std::shared_ptr<TEngineFilesystemHelper>& Helper,
                           const TFileInPackageVector& Files);
  // Seconds the installation waited for its data to become durable (the
  // final flush; the downloader only starts the writing out).
  double flushSeconds() const;

  // Ends the download phase as failed before anything was downloaded.
  void failBeforeDownload(const QString& Reason, EPackageDownloaderError ErrorReason = DownloadFailed);

signals:
  void scanProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
  void writeProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
  void verificationProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
  void downloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled);
  void verificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled);
  void diskAccessFailed(QString Message);

public slots:
  void onDownloadCompleted();
  void onDownloadFailed(EPackageDownloaderError ErrorReason);
  void onRequiredChangesComputedForInstallation(TPackageDifference Changes);
  void onVerifyFinished(bool Result);

private:
  // Whether the files still to write fit on the installation's file system;
  // records the figures when they do not.
  bool enoughDiskSpace();
  void startDownload();
  void finishVerification(EPackageDownloaderError Outcome);

  std::shared_ptr<TPackage> m_pPackage;
  TPackageFileDownloader* m_pDownloader = nullptr;
  std::shared_ptr<TEngineFilesystemHelper> m_pLauncherFilesystemHelper;
  bool m_WithoutError = false;
  EPackageDownloaderError m_ErrorReason = NoDownloaderError;
  bool m_SelfUpdateFlag = false;
  QDir m_InstallationDirectory;
  QString m_InstalledVersionText;
  QString m_PublishedVersionText;
  TPackageDifference m_RequiredChanges;
  EInstallationKind m_Kind = EInstallationKind::Update;
  std::shared_ptr<const TPackageConfigurationReader> m_pVerifiedDescription;
  QString m_FailureText;
  TFileSize m_DiskSpaceNeeded = 0;
  TFileSize m_DiskSpaceFree = 0;
  std::atomic<std::int64_t> m_FinalFlushNanoseconds{0};
};

} // namespace orvale::launcher
