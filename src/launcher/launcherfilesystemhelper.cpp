// The launcher's file system helper: the engine's, with the settings loaded
// from the compiled-in and the local INI files.

#include "launcher/launcherfilesystemhelper.h"

#include <QCoreApplication>

static void initSettingsResource()
{
  Q_INIT_RESOURCE(settings);
}

namespace orvale::launcher {

namespace {

std::shared_ptr<TLauncherSettings> loadSettingsBesideExecutable()
{
  initLauncherResources();
  return TLauncherSettings::loadFromFiles(TLauncherSettings::settingsFilePaths(QCoreApplication::applicationDirPath()));
}

std::shared_ptr<TLauncherSettings> loadSettingsFile(const QString& SettingsPath)
{
  initLauncherResources();
  return TLauncherSettings::loadFromFile(SettingsPath);
}

} // namespace

void initLauncherResources()
{
  static const bool Done = (initSettingsResource(), true);
  (void)Done;
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper() : TLauncherFilesystemHelper(loadSettingsBesideExecutable())
{
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper(const QString& SettingsPath)
  : TLauncherFilesystemHelper(loadSettingsFile(SettingsPath))
{
}

TLauncherFilesystemHelper::TLauncherFilesystemHelper(std::shared_ptr<TLauncherSettings> Settings)
  : TEngineFilesystemHelper(Settings), m_pLauncherSettings(std::move(Settings))
{
}

} // namespace orvale::launcher
