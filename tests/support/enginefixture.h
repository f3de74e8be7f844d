#pragma once

#include "engine/installationmanager.h"

#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

namespace testsupport {

// Files the launcher keeps in an installation beside the game's files.
extern const QSet<QString> InstallationMarkerFiles;

// Publishes a build folder with the publisher's defaults; false (with a
// warning naming the reason) when it fails.
bool publishFolder(const QString& Input, const QString& Output, const QString& Version,
                   const QString& Executable = "bin/client", const QStringList& Parameters = {});

// A launcher data directory with settings, and a list with one package
// whose description is attached from a published folder, installed through
// the real installation manager.
class TEngineFixture
{
public:
  TEngineFixture();

  orvale::launcher::TEngineSettings& settings() { return *m_pSettings; }

  // A list whose one package is published at DescriptionUrl.
  std::shared_ptr<orvale::launcher::TPackageList> configuration(const QUrl& DescriptionUrl,
                                                                                 const QByteArray& Description);

  QString installationDirectory() const;

  struct TRun
  {
    int finishedSignals = 0;
    int allFinishedSignals = 0;
    orvale::launcher::EPackageDownloaderError errorReason = orvale::launcher::NoDownloaderError;
    orvale::launcher::ELocalPackageStatus status = orvale::launcher::ELocalPackageStatus::Unknown;
    // Scan progress reported while the downloader read blocks of the old
    // data.
    int oldBlockScanReports = 0;
    // The milestones the manager reported.
    int downloadedSignals = 0;
    int verifiedSignals = 0;
  };

  // Installs or updates the package and waits for the end.
  TRun install(const std::shared_ptr<orvale::launcher::TPackageList>& Configuration,
               int TimeoutMs = 240000);

  std::shared_ptr<orvale::launcher::TEngineFilesystemHelper> helper;

private:
  QTemporaryDir m_Home;
  std::shared_ptr<orvale::launcher::TEngineSettings> m_pSettings;
};

} // namespace testsupport
