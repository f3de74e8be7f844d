#pragma once

// What the update engine is told by the program that runs it: where the
// packages and their marker files live, how many transfers and how much
// memory it may use, and which checks it makes. The launcher's settings
// provide it; the tests and the benchmark fill one in directly.

#include "shared/downloadpool.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace orvale::launcher {

// How the installed data is made durable before the full marker.
enum class EDurableFlush : std::int32_t
{
  EachFile = 0,    // fdatasync of every file (from several threads), fsync of their folders
  FileSystem = 1,  // one syncfs of the installation's file system
};

struct TEngineSettings
{
  // The packages folder, below the writable data directory.
  QString packages;
  // Where the account group file is copied to, inside an installation.
  QString settingsTarget;
  // The marker files of an installation and the account group file.
  QString packageFile;
  QString partialPackageFile;
  QString assetFile;
  QString accountGroupFile;
  // The time rules of every transfer (shared::TTransferLimits): the
  // low-speed rule and the size-scaled deadline of documents; 0 turns one off.
  std::int32_t lowSpeedBytesPerSecond = 1024;
  std::int32_t lowSpeedSeconds = 30;
  std::int32_t documentSeconds = 60;
  std::int32_t documentBytesPerSecond = 65536;
  bool fastScan = true;
  bool skipVerification = true;
  bool chunkVerification = false;
  // Not read from the settings file: the benchmarks compare the two ways.
  EDurableFlush durableFlush = EDurableFlush::FileSystem;
  std::int32_t maxCachedChunks = 100;
  // The most MiB of chunk data held in memory while it waits (beside
  // maxCachedChunks; more goes to temporary files).
  std::int32_t maxCachedMegabytes = 256;
  std::int32_t maxConcurrentDownloads = 10;
  // Public keys whose signatures the launcher accepts on what it acts on
  // (as "ashgrove-publish keygen" prints them); empty: nothing is checked.
  QStringList releaseKeys;
};

// The time rules of the download pools as the settings give them.
::shared::TTransferLimits transferLimits(const TEngineSettings& Settings);

} // namespace orvale::launcher
