// The engine's file system helper and the settings it derives paths and
// transfer rules from.

#include "engine/enginefilesystemhelper.h"

#include <QStandardPaths>

#include <algorithm>

namespace orvale::launcher {

::shared::TTransferLimits transferLimits(const TEngineSettings& Settings)
{
  ::shared::TTransferLimits Limits;
  Limits.lowSpeedBytesPerSecond = std::max(Settings.lowSpeedBytesPerSecond, 0);
  Limits.lowSpeedSeconds = std::max(Settings.lowSpeedSeconds, 0);
  Limits.documentSeconds = std::max(Settings.documentSeconds, 0);
  Limits.documentBytesPerSecond = std::max(Settings.documentBytesPerSecond, 0);
  return Limits;
}

TEngineFilesystemHelper::TEngineFilesystemHelper(std::shared_ptr<TEngineSettings> Settings)
  : m_pEngineSettings(std::move(Settings))
{
  m_AccountGroupCopyTarget = m_pEngineSettings->settingsTarget + "/" + m_pEngineSettings->accountGroupFile;
  m_AccountGroupFileName = m_pEngineSettings->accountGroupFile;
}

shared::TLauncherOwnFileNames TEngineFilesystemHelper::ownFileNames() const
{
  // A setting left empty keeps the shipped name reserved.
  shared::TLauncherOwnFileNames Names;
  for (auto [Name, Setting] : {std::pair{&Names.packageFile, &m_pEngineSettings->packageFile},
                               std::pair{&Names.partialPackageFile, &m_pEngineSettings->partialPackageFile},
                               std::pair{&Names.assetFile, &m_pEngineSettings->assetFile},
                               std::pair{&Names.accountGroupFile, &m_pEngineSettings->accountGroupFile}}) {
    if (!Setting->isEmpty())
      *Name = *Setting;
  }
  return Names;
}

QString TEngineFilesystemHelper::dataDirectory()
{
  return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString TEngineFilesystemHelper::accountGroupFilePath()
{
  if (m_AccountGroupFilePath.isEmpty())
    m_AccountGroupFilePath = joinPaths({QDir(dataDirectory()).absolutePath(), m_AccountGroupFileName});
  return m_AccountGroupFilePath;
}

bool TEngineFilesystemHelper::accountGroupFileExists()
{
  return fileExists(accountGroupFilePath());
}

QString installationFilePath(shared::TFileSystemHelper& Helper, const QDir& Directory, const QString& LocalFile)
{
  const QString Path = Helper.joinPathInside(Directory, LocalFile);
  if (Path == QDir::cleanPath(Directory.absolutePath()))
    return QString();
  return Path;
}

QDir TEngineFilesystemHelper::packagesBaseDirectory()
{
  return ensureDirectory(joinPaths({dataDirectory(), m_pEngineSettings->packages}));
}

} // namespace orvale::launcher
