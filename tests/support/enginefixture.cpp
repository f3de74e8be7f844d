#include "enginefixture.h"
#include "enginesettings.h"

#include "publisher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

using namespace orvale::launcher;

namespace testsupport {

const QSet<QString> InstallationMarkerFiles{"package.json", "partial-package.json", "assets.json", "default"};

bool publishFolder(const QString& Input, const QString& Output, const QString& Version, const QString& Executable,
                   const QStringList& Parameters)
{
  orvale::publisher::TPublishOptions Options;
  Options.inputDirectory = Input;
  Options.outputDirectory = Output;
  Options.version = Version;
  Options.executable = Executable;
  Options.parameters = Parameters;
  orvale::publisher::TPublishReport Report;
  QString Error;
  const bool Ok = orvale::publisher::publishBuild(Options, Report, Error);
  if (!Ok)
    qWarning() << Error;
  return Ok;
}

TEngineFixture::TEngineFixture()
{
  qputenv("XDG_DATA_HOME", m_Home.filePath("data").toUtf8());
  auto Settings = engineSettings();
  Settings->maxConcurrentDownloads = 4;
  m_pSettings = Settings;
  helper = std::make_shared<TEngineFilesystemHelper>(Settings);
}

std::shared_ptr<TPackageList> TEngineFixture::configuration(const QUrl& DescriptionUrl,
                                                                            const QByteArray& Description)
{
  return singlePackageConfiguration(DescriptionUrl, Description);
}

QString TEngineFixture::installationDirectory() const
{
  return helper->packagesBaseDirectory().filePath("game");
}

TEngineFixture::TRun TEngineFixture::install(const std::shared_ptr<TPackageList>& Configuration,
                                             int TimeoutMs)
{
  TInstallationManager Manager(Configuration, helper);
  const auto Package = Configuration->packages()[0];
  TRun Run;
  QObject::connect(&Manager, &TInstallationManager::installationOrUpdateFinished,
                   [&](const TPackageInstallation& Installation) {
                     ++Run.finishedSignals;
                     Run.errorReason = Installation.errorReason();
                   });
  QObject::connect(&Manager, &TInstallationManager::installationOrUpdateStarted,
                   [&](const TPackageInstallation& Installation) {
                     QObject::connect(Installation.downloader(), &TPackageFileDownloader::scanProgress,
                                      [&] { ++Run.oldBlockScanReports; });
                   });
  QObject::connect(&Manager, &TInstallationManager::packageDownloaded, [&] { ++Run.downloadedSignals; });
  QObject::connect(&Manager, &TInstallationManager::packageVerified, [&] { ++Run.verifiedSignals; });
  QSignalSpy AllFinished(&Manager, &TInstallationManager::allStartedUpdatesFinished);
  Manager.installOrUpdatePackage(Package);
  AllFinished.wait(TimeoutMs);
  QTest::qWait(200);  // nothing more may arrive
  Run.allFinishedSignals = AllFinished.count();
  Run.status = Package->localStatus();
  return Run;
}

} // namespace testsupport
