#include "launcher/launcherfilesystemhelper.h"

#include <QCoreApplication>
#include <QStandardPaths>

static void initSettingsResource()
{
  Q_INIT_RESOURCE(settings);
}

namespace orvale::launcher {

void initLauncherResources()
{
  static const bool Done = (initSettingsResource(), true);
  (void)Done;
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper()
{
  initLauncherResources();
  m_pLauncherSettings =
      TLauncherSettings::loadFromFiles(TLauncherSettings::settingsFilePaths(QCoreApplication::applicationDirPath()));
  deriveAccountGroupPaths();
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper(const QString& SettingsPath)
{
  initLauncherResources();
  m_pLauncherSettings = TLauncherSettings::loadFromFile(SettingsPath);
  deriveAccountGroupPaths();
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper(std::shared_ptr<TLauncherSettings> Settings)
  : m_pLauncherSettings(std::move(Settings))
{
  deriveAccountGroupPaths();
}

void TLauncherFilesystemHelper::deriveAccountGroupPaths()
{
  m_AccountGroupCopyTarget = m_pLauncherSettings->settingsTarget + "/" + m_pLauncherSettings->accountGroupFile;
  m_AccountGroupFileName = m_pLauncherSettings->accountGroupFile;
}

shared::TLauncherOwnFileNames TLauncherFilesystemHelper::ownFileNames() const
{
  // A setting left empty keeps the shipped name reserved.
  shared::TLauncherOwnFileNames Names;
  for (auto [Name, Setting] : {std::pair{&Names.packageFile, &m_pLauncherSettings->packageFile},
                               std::pair{&Names.partialPackageFile, &m_pLauncherSettings->partialPackageFile},
                               std::pair{&Names.assetFile, &m_pLauncherSettings->assetFile},
                               std::pair{&Names.accountGroupFile, &m_pLauncherSettings->accountGroupFile}}) {
    if (!Setting->isEmpty())
      *Name = *Setting;
  }
  return Names;
}

QString TLauncherFilesystemHelper::dataDirectory()
{
  return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
}

QString TLauncherFilesystemHelper::accountGroupFilePath()
{
  if (m_AccountGroupFilePath.isEmpty())
    m_AccountGroupFilePath = joinPaths({QDir(dataDirectory()).absolutePath(), m_AccountGroupFileName});
  return m_AccountGroupFilePath;
}

bool TLauncherFilesystemHelper::accountGroupFileExists()
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

QDir TLauncherFilesystemHelper::packagesBaseDirectory()
{
  return ensureDirectory(joinPaths({dataDirectory(), m_pLauncherSettings->packages}));
}

} // namespace orvale::launcher
