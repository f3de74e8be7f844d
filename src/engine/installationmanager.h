#pragma once

#include "engine/enginefilesystemhelper.h"
#include "engine/packageinstallation.h"
#include "engine/packagelist.h"

#include <QObject>

#include <memory>
#include <optional>
#include <vector>

namespace orvale::launcher {

// Owns the running installation jobs and connects them to the disk state of
// the packages: computes each package's status from its marker files,
// writes and moves the markers as an installation advances, keeps the
// default package, starts difference computations and verifications.
class TInstallationManager : public QObject
{
  Q_OBJECT
public:
  TInstallationManager(std::shared_ptr<TPackageList> Configuration,
                       std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper);
  ~TInstallationManager() override;

  void installOrUpdatePackage(std::shared_ptr<TPackage> Package);
  void verifyPackage(std::shared_ptr<TPackage> Package);
  void markPackageAsPartiallyInstalled(std::shared_ptr<TPackage> Package, const QByteArray& PackageData,
                                       const QByteArray& AssetData);
  TPackageConfigurationReader readPackageConfigurationFromInstallationDirectory(const QDir& Directory);
  // The same, shared (never null; empty without a marker).
  std::shared_ptr<const TPackageConfigurationReader> installedDescription(const QDir& Directory);
  ELocalPackageStatus computeLocalPackageStatus(const TPackage& Package);
  void setDefaultPackage(std::shared_ptr<TPackage> Package);

  std::shared_ptr<TPackage> defaultPackage() const;
  const std::vector<std::shared_ptr<TPackageInstallation>>& installationsInProgress() const
  {
    return m_InstallationsInProgress;
  }
  std::shared_ptr<TPackageList> configuration() const { return m_pConfiguration; }
  std::shared_ptr<TEngineFilesystemHelper> filesystemHelper() const { return m_pLauncherFilesystemHelper; }
  bool selfUpdateFlag() const { return m_SelfUpdateFlag; }
  void setSelfUpdateFlag(bool Flag) { m_SelfUpdateFlag = Flag; }

  // Installs into Directory instead of the packages' own installation
  // directories (the launcher's update is installed into a staging folder).
  void setInstallationDirectory(const QDir& Directory);
  // Where a package is installed (and its markers written).
  QDir installationDirectory(const TPackage& Package) const;

  // Paths of the marker files of a package.
  QString fullMarkerPath(const TPackage& Package);
  QString partialMarkerPath(const TPackage& Package);
  QString assetFilePath(const TPackage& Package);
  // The file that lists the files of the descriptions whose installation
  // started and has not finished ("installing-package.json"): what an
  // abandoned update may have left behind. Written before an installation
  // changes anything, removed when the full marker is written.
  static QString installingFilesPath(const QDir& Directory);

signals:
  void installationOrUpdateStarted(const orvale::launcher::TPackageInstallation& InstallationInProgress);
  void installationOrUpdateFinished(const orvale::launcher::TPackageInstallation& InstallationInProgress);
  void allStartedUpdatesFinished();
  void diskAccessFailed(QString ErrorMessage);
  // Milestones of an installation, for whoever reports them: the files
  // are downloaded and their verification starts; the installed files
  // were verified and the full marker written.
  void packageDownloaded();
  void packageVerified();

public slots:
  void onDiskAccessFailed(QString ErrorMessage);
  void onDownloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled);
  void onVerificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled);

private:
  std::shared_ptr<TPackageInstallation> findInstallation(const QString& Name) const;
  std::shared_ptr<TPackageInstallation> createJob(const std::shared_ptr<TPackage>& Package,
                                                  const TPackageConfigurationReader& Installed);
  void updatePartiallyInstalledPackage(const std::shared_ptr<TPackage>& Package);
  // Writes the description that Installation verified as the full marker.
  void markPackageAsFullyInstalled(const std::shared_ptr<TPackage>& Package, const TPackageInstallation& Installation);
  // Writes AssetData as the package's asset file, or removes the file when
  // it is empty.
  void writeAssetFile(const TPackage& Package, const QByteArray& AssetData);
  // The time of the full marker when the fast scan may be used for the
  // package's update.
  std::optional<QDateTime> fastScanMarkerTime(const TPackage& Package);
  // The files listed by the installing file (empty without one).
  TFileInPackageVector readInstallingFiles(const QDir& Directory);
  // Writes the installing file: the files of Published, of the installed
  // description and of Unfinished.
  void writeInstallingFiles(const QDir& Directory, const TPackageConfigurationReader& Published,
                            const TFileInPackageVector& Installed, const TFileInPackageVector& Unfinished);
  void finishInstallation(const std::shared_ptr<TPackageInstallation>& Installation);
  void writeFileCreatingFolders(const QString& Path, const QByteArray& Data);
  std::vector<std::shared_ptr<TPackage>> packages() const;

  std::shared_ptr<TPackageList> m_pConfiguration;
  std::shared_ptr<TEngineFilesystemHelper> m_pLauncherFilesystemHelper;
  std::vector<std::shared_ptr<TPackageInstallation>> m_InstallationsInProgress;
  bool m_SelfUpdateFlag = false;
  std::optional<QDir> m_InstallationDirectoryOverride;
  // The installed description read last, with what its files were then:
  // one installation reads it several times (status, update, after the
  // download), and a description of 100 000 files takes a second to parse.
  struct TInstalledRead
  {
    QString marker;
    QByteArray identity;  // of the marker and the asset file (filesIdentity)
    std::shared_ptr<const TPackageConfigurationReader> description;
  };
  TInstalledRead m_LastInstalledRead;
  // The marker and asset file were just written from Description: it is
  // what reading them gives. (An installed description is read for its
  // files, their sizes, hashes and cuts; the places it names for
  // downloads, resolved against where it was read from, are never used.)
  void rememberInstalledRead(const QString& Marker, const QString& Asset,
                             std::shared_ptr<const TPackageConfigurationReader> Description);
};

} // namespace orvale::launcher
