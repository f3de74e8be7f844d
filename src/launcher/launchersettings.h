#pragma once

#include "shared/downloadpool.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <memory>

namespace orvale::launcher {

// How the installed data is made durable before the full marker.
enum class EDurableFlush : std::int32_t
{
  EachFile = 0,    // fdatasync of every file (from several threads), fsync of their folders
  FileSystem = 1,  // one syncfs of the installation's file system
};

// The local, static configuration of the launcher, read from
// "launchersettings.ini" (beside the executable, or the compiled-in copy).
class TLauncherSettings
{
public:
  QUrl launcherConfiguration;
  QUrl cdnDiagnosticsTrace;
  bool appendNocacheToPackageUrls = false;
  QString packages;
  QString settingsTarget;
  QString packageFile;
  QString partialPackageFile;
  QString assetFile;
  QString accountGroupFile;
  std::int64_t waitNotificationTimeout = 0;
  std::int64_t downloadErrorTimeout = 0;
  std::int64_t clientStartTimeout = 0;
  // The time rules of every transfer (shared::TTransferLimits): the
  // low-speed rule and the size-scaled deadline of documents; 0 turns one off.
  std::int32_t lowSpeedBytesPerSecond = 1024;
  std::int32_t lowSpeedSeconds = 30;
  std::int32_t documentSeconds = 60;
  std::int32_t documentBytesPerSecond = 65536;
  bool fastScan = true;
  bool skipVerification = true;
  bool chunkVerification = false;
  // Not read from the file: the benchmarks compare the two ways.
  EDurableFlush durableFlush = EDurableFlush::FileSystem;
  std::int32_t maxCachedChunks = 100;
  // The most MiB of chunk data held in memory while it waits (beside
  // maxCachedChunks; more goes to temporary files).
  std::int32_t maxCachedMegabytes = 256;
  std::int32_t maxConcurrentDownloads = 10;
  // Public keys whose signatures the launcher accepts on what it acts on
  // (as "ashgrove-publish keygen" prints them); empty: nothing is checked.
  QStringList releaseKeys;

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

// The time rules of the download pools as the settings give them.
::shared::TTransferLimits transferLimits(const TLauncherSettings& Settings);

// Conversions used when reading the settings: exposed for the tests.
bool settingsTextToBool(const QString& Text);
std::int32_t settingsTextToInt(const QString& Text);

} // namespace orvale::launcher
