// The package model: one package with its platform builds, its attached
// description and the status of its installation.

#include "engine/package.h"

#include "engine/enginefilesystemhelper.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSysInfo>

namespace orvale::launcher {

namespace {

EOperatingSystem operatingSystemFromText(const QString& Text)
{
  if (Text.compare("windows", Qt::CaseInsensitive) == 0)
    return EOperatingSystem::Windows;
  if (Text.compare("macos", Qt::CaseInsensitive) == 0)
    return EOperatingSystem::MacOs;
  if (Text.compare("linux", Qt::CaseInsensitive) == 0)
    return EOperatingSystem::Linux;
  return EOperatingSystem::Unknown;
}

EArchitecture architectureFromText(const QString& Text)
{
  if (Text.compare("i386", Qt::CaseInsensitive) == 0)
    return EArchitecture::I386;
  if (Text.compare("x86_64", Qt::CaseInsensitive) == 0)
    return EArchitecture::X86_64;
  return EArchitecture::Unknown;
}

} // namespace

TPackage::TPackage(std::int32_t Index, const QJsonObject& Entry, const QUrl& BaseUrl) : m_Index(Index)
{
  m_Name = Entry.value("name").toString();
  m_DirectoryName = Entry.value("directoryname").toString();
  if (Entry.contains("logolinktarget"))
    m_LogoLinkTarget = QUrl(Entry.value("logolinktarget").toString(), QUrl::TolerantMode);
  m_InstallAutomatically = Entry.value("installautomatically").toBool(false);
  const QJsonValue Builds = Entry.value("builds");
  if (Builds.isArray()) {
    for (const QJsonValue& Element : Builds.toArray()) {
      const QJsonObject Object = Element.toObject();
      auto Build = std::make_unique<TPackageBuild>();
      Build->os = operatingSystemFromText(Object.value("os").toString());
      Build->architecture = architectureFromText(Object.value("architecture").toString());
      Build->url = resolveAgainstBaseUrl(BaseUrl, Object.value("url").toString());
      if (Object.contains("assetsurl"))
        Build->assetsUrl = resolveAgainstBaseUrl(BaseUrl, Object.value("assetsurl").toString());
      if (Object.contains("compressedurl"))
        Build->compressedUrl = resolveAgainstBaseUrl(BaseUrl, Object.value("compressedurl").toString());
      m_Builds.push_back(std::move(Build));
    }
  }
}

TPackage::~TPackage() = default;

EOperatingSystem TPackage::runningOperatingSystem()
{
  const QString Product = QSysInfo::productType();
  if (Product == "windows")
    return EOperatingSystem::Windows;
  if (Product == "osx" || Product == "darwin")
    return EOperatingSystem::MacOs;
  if (QSysInfo::kernelType() == "linux")
    return EOperatingSystem::Linux;
  return EOperatingSystem::Unknown;
}

EArchitecture TPackage::runningArchitecture()
{
  const QString Architecture = QSysInfo::buildCpuArchitecture();
  if (Architecture == "i386")
    return EArchitecture::I386;
  if (Architecture == "x86_64")
    return EArchitecture::X86_64;
  return EArchitecture::Unknown;
}

TPackageBuild* TPackage::currentBuild() const
{
  const EOperatingSystem System = runningOperatingSystem();
  const EArchitecture Architecture = runningArchitecture();
  for (const auto& Build : m_Builds) {
    if (Build->os == System && Build->architecture == Architecture)
      return Build.get();
  }
  return nullptr;
}

TPackageConfigurationReader* TPackage::currentDescription() const
{
  // An invalid description is never acted on: the package then has none.
  TPackageBuild* Build = currentBuild();
  if (!Build || !Build->description || !Build->description->isValid())
    return nullptr;
  return Build->description.get();
}

std::shared_ptr<const TPackageConfigurationReader> TPackage::sharedCurrentDescription() const
{
  if (!currentDescription())
    return nullptr;
  return currentBuild()->description;
}

QDir TPackage::installationDirectory(TEngineFilesystemHelper& Helper) const
{
  if (isLauncher())
    return QDir(QCoreApplication::applicationDirPath());
  return QDir(Helper.joinPaths({Helper.packagesBaseDirectory().absolutePath(), m_DirectoryName}));
}

QString TPackage::executablePath(TEngineFilesystemHelper& Helper) const
{
  const TPackageConfigurationReader* Description = currentDescription();
  if (!Description || Description->executable().isEmpty())
    return QString();
  // Confined to the installation directory: a description cannot name a
  // program elsewhere on the machine.
  return Helper.joinPathInside(installationDirectory(Helper), Description->executable());
}

void TPackage::setLocalStatus(ELocalPackageStatus Status)
{
  if (Status == m_LocalStatus)
    return;
  m_LocalStatus = Status;
  emit localPackageStatusChanged();
}

std::shared_ptr<TPackage> findPackageByExecutablePath(const std::vector<std::shared_ptr<TPackage>>& Packages,
                                                      const QString& Path, TEngineFilesystemHelper& Helper)
{
  if (Path.isEmpty())
    return nullptr;
  const QString Wanted = QDir::cleanPath(Path);
  for (const auto& Package : Packages) {
    const QString Candidate = Package->executablePath(Helper);
    if (!Candidate.isEmpty() && QDir::cleanPath(Candidate) == Wanted)
      return Package;
  }
  return nullptr;
}

} // namespace orvale::launcher
