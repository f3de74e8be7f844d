#pragma once

#include "engine/enginesettings.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <memory>

namespace orvale::launcher {

// The local, static configuration of the launcher, read from
// "launchersettings.ini" (beside the executable, or the compiled-in copy):
// what the update engine is told, and the launcher's own addresses and
// waits.
class TLauncherSettings : public TEngineSettings
{
public:
  QUrl launcherConfiguration;
  QUrl cdnDiagnosticsTrace;
  bool appendNocacheToPackageUrls = false;
  std::int64_t waitNotificationTimeout = 0;
  std::int64_t downloadErrorTimeout = 0;
  std::int64_t clientStartTimeout = 0;

  // Reads the settings from an INI file; keys that are absent take the
  // defaults above.
  static std::shared_ptr<TLauncherSettings> loadFromFile(const QString& Path);
  // Reads the settings from INI files of which each later one overlays the
  // ones before it key by key: a key takes its value from the last file
  // that has it, or the default above when none has it. A malformed file
  // counts as a file without keys.
  static std::shared_ptr<TLauncherSettings> loadFromFiles(const QStringList& Paths);
  // The compiled-in copy (":/settings/launchersettings.ini").
  static QString compiledInFilePath();
  // "launchersettings.ini" beside the executable when it exists, else the
  // compiled-in copy.
  static QString settingsFilePath(const QString& ApplicationDirectory);
  // The files the launcher reads: the compiled-in copy, and after it
  // "launchersettings.ini" beside the executable when that exists.
  static QStringList settingsFilePaths(const QString& ApplicationDirectory);
  // The sections of the Shipped file that the Local one lacks, in the order
  // of the shipped file.
  static QStringList sectionsMissing(const QString& Local, const QString& Shipped);
  // Logs which files were read and warns about sections the file beside the
  // executable lacks (their compiled-in values hold).
  static void logSources(const QString& ApplicationDirectory);
};

// Conversions used when reading the settings: exposed for the tests.
bool settingsTextToBool(const QString& Text);
std::int32_t settingsTextToInt(const QString& Text);

} // namespace orvale::launcher
