#pragma once

#include "shared/packageconfigurationreader.h"

#include <QDir>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <memory>
#include <vector>

namespace orvale::launcher {

// The description types and their parsing helpers are shared with the
// publisher; the engine uses them under its own names.
using ::shared::EPackageGeneration;
using ::shared::EPackageVariant;
using ::shared::TChunkInPackage;
using ::shared::TChunkInPackageVector;
using ::shared::TDictionaryInDescription;
using ::shared::TFileInPackage;
using ::shared::TFileInPackageVector;
using ::shared::TFilePatch;
using ::shared::TPackageConfigurationReader;
using ::shared::resolveAgainstBaseUrl;
using ::shared::urlWithoutFileName;

class TEngineFilesystemHelper;

enum class ELocalPackageStatus : std::int32_t
{
  Unknown = 0,
  NotInstalled = 1,
  PartiallyInstalled = 2,
  UpdateAvailable = 3,
  UpToDate = 4,
};

enum class EOperatingSystem : std::int32_t
{
  Unknown = 0,
  Windows = 1,
  MacOs = 2,
  Linux = 3,
};

enum class EArchitecture : std::int32_t
{
  Unknown = 0,
  I386 = 1,
  X86_64 = 2,
};

// Index of the launcher's own package.
constexpr std::int32_t LauncherPackageIndex = 2147483647;

// One platform build of a package.
struct TPackageBuild
{
  EOperatingSystem os = EOperatingSystem::Unknown;
  EArchitecture architecture = EArchitecture::Unknown;
  QUrl url;        // published package description
  QUrl assetsUrl;  // published asset description; empty when there is none
  // The compressed copy of the package description (shared/
  // descriptiondocument.h), preferred to it; empty when there is none.
  QUrl compressedUrl;
  // Filled once downloaded; shared with what the installation keeps of it
  // (a description of many files takes a while to copy).
  std::shared_ptr<TPackageConfigurationReader> description;
};

// One installable unit of the configuration: a game client or the launcher.
class TPackage : public QObject
{
  Q_OBJECT
public:
  TPackage(std::int32_t Index, const QJsonObject& Entry, const QUrl& BaseUrl);
  ~TPackage() override;

  std::int32_t index() const { return m_Index; }
  const QString& name() const { return m_Name; }
  const QString& directoryName() const { return m_DirectoryName; }
  const QUrl& logoLinkTarget() const { return m_LogoLinkTarget; }
  bool installAutomatically() const { return m_InstallAutomatically; }
  bool checkedInThisRun() const { return m_CheckedInThisRun; }
  bool isDefault() const { return m_IsDefault; }
  const std::vector<std::unique_ptr<TPackageBuild>>& builds() const { return m_Builds; }
  ELocalPackageStatus localStatus() const { return m_LocalStatus; }
  bool isLauncher() const { return m_Index == LauncherPackageIndex; }

  // The first build for the running system, or null.
  TPackageBuild* currentBuild() const;
  // The valid description attached to the current build, or null.
  TPackageConfigurationReader* currentDescription() const;
  // The same, shared.
  std::shared_ptr<const TPackageConfigurationReader> sharedCurrentDescription() const;

  // The launcher's own package lives beside the running executable; every
  // other package in the packages base directory joined with its name.
  QDir installationDirectory(TEngineFilesystemHelper& Helper) const;
  // Installation directory joined with the description's executable; empty
  // without a description or executable.
  QString executablePath(TEngineFilesystemHelper& Helper) const;

  void setLocalStatus(ELocalPackageStatus Status);
  void setIsDefault(bool IsDefault) { m_IsDefault = IsDefault; }
  void setCheckedInThisRun(bool Checked) { m_CheckedInThisRun = Checked; }

  // The platform the launcher runs on, as the build entries name it.
  static EOperatingSystem runningOperatingSystem();
  static EArchitecture runningArchitecture();

signals:
  void localPackageStatusChanged();

private:
  std::int32_t m_Index;
  QString m_Name;
  QString m_DirectoryName;
  QUrl m_LogoLinkTarget;
  bool m_InstallAutomatically = false;
  bool m_CheckedInThisRun = false;
  bool m_IsDefault = false;
  std::vector<std::unique_ptr<TPackageBuild>> m_Builds;
  ELocalPackageStatus m_LocalStatus = ELocalPackageStatus::Unknown;
};

// The package whose executable path equals Path (both cleaned), first in
// the given order, or null.
std::shared_ptr<TPackage> findPackageByExecutablePath(const std::vector<std::shared_ptr<TPackage>>& Packages,
                                                      const QString& Path, TEngineFilesystemHelper& Helper);

} // namespace orvale::launcher

Q_DECLARE_METATYPE(std::shared_ptr<orvale::launcher::TPackage>)
