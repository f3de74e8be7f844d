#pragma once

#include "engine/enginefilesystemhelper.h"
#include "launcher/launchersettings.h"

#include <memory>

namespace orvale::launcher {

// The file system helper of the launcher: the engine's helper with the
// launcher settings (loaded on construction) it derives its paths from.
class TLauncherFilesystemHelper : public TEngineFilesystemHelper
{
public:
  // Loads the compiled-in settings, overlaid key by key by
  // "launchersettings.ini" beside the running executable when it exists.
  TLauncherFilesystemHelper();
  // Loads the settings from the given INI file (tests and tools).
  explicit TLauncherFilesystemHelper(const QString& SettingsPath);
  // Uses settings that are already loaded.
  explicit TLauncherFilesystemHelper(std::shared_ptr<TLauncherSettings> Settings);

  std::shared_ptr<TLauncherSettings> launcherSettings() const { return m_pLauncherSettings; }

private:
  std::shared_ptr<TLauncherSettings> m_pLauncherSettings;
};

// Makes the compiled-in resources of the launcher library (the default
// settings) available; safe to call more than once.
void initLauncherResources();

} // namespace orvale::launcher
