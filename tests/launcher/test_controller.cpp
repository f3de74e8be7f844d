// Whole launcher runs: the built executable against the test server, with
// its own data directory; modal boxes are answered automatically and logged.

#include "launcher/app/launcherapplication.h"
#include "shared/contentdefinedchunker.h"
#include "shared/descriptiondocument.h"

#include "enginefixture.h"

#include "launcher/app/launcherapplication.h"

#include "gamebuild.h"
#include "launcherrunner.h"
#include "releasesigning.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using testsupport::ESignatureVariant;
using testsupport::TLauncherInstallation;
using testsupport::TTestHttpServer;

namespace {

const QSet<QString> MarkerFiles{"package.json", "partial-package.json", "assets.json", "default", "client-record.txt"};

void writeClient(const QString& Build)
{
  const QString Path = Build + "/bin/client";
  testsupport::writeWholeFile(Path, "#!/bin/sh\n"
                                    "record=\"$(dirname \"$0\")/../client-record.txt\"\n"
                                    "echo \"args=$*|pwd=$(pwd)|ld=$LD_LIBRARY_PATH|restarted=$ASHGROVE_LAUNCHER_RESTARTED|version=$(cat \"$(dirname \"$0\")/../version.txt\")\" >> \"$record\"\n");
  QFile::setPermissions(Path, QFile::permissions(Path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                  QFileDevice::ExeOther);
}

void writeBuild(const QString& Build, const QString& Version, int Seed)
{
  testsupport::writeWholeFile(Build + "/data/world.pak", testsupport::pseudoRandomBytes(12 * 1024 * 1024, 1) +
                                                             testsupport::pseudoRandomBytes(1000, quint64(Seed)));
  testsupport::writeWholeFile(Build + "/data/text.txt", testsupport::textBytes(300000, quint64(Seed)));
  testsupport::writeWholeFile(Build + "/version.txt", Version.toUtf8());
  testsupport::writeWholeFile(Build + "/AshgroveOnlineClient_Data/Data/Settings/client.cfg", "quality=high\n");
  writeClient(Build);
}

bool publish(const QString& Input, const QString& Output, const QString& Version, const QString& Executable)
{
  return testsupport::publishFolder(Input, Output, Version, Executable, QStringList{"--from-test"});
}

// A served folder with the configuration document, the game and
// optionally the launcher's own package.
class TServedGame
{
public:
  TServedGame()
  {
    server.setRootDirectory(www());
    writeConfiguration();
  }

  QString www() const { return m_Directory.filePath("www"); }
  QString build(const QString& Name) const { return m_Directory.filePath(Name); }

  void publishGame(const QString& Version, int Seed)
  {
    const QString Build = build("game-" + Version);
    writeBuild(Build, Version, Seed);
    QVERIFY(publish(Build, www() + "/game", Version, "bin/client"));
  }

  // Publishes the launcher built as version 0.0.13, with a notes file
  // beside it, as the launcher's package.
  void publishNextLauncher()
  {
    const QString Executable = nextLauncherExecutable();
    QVERIFY(QDir().mkpath(QFileInfo(Executable).absolutePath()));
    QVERIFY(QFile::copy(testsupport::binaryDirectory() + "/bin/ashgrove-launcher-next", Executable));
    QFile::setPermissions(Executable, QFile::permissions(testsupport::builtLauncherExecutable()));
    // Published in several chunks whatever the build type (an executable
    // without debug information is smaller than one piece): data after the
    // program's last section is loaded by nobody; it is added until the
    // chunker cuts the file.
    QByteArray Content = testsupport::readWholeFile(Executable);
    for (quint64 Seed = 23; shared::nextPieceLength(reinterpret_cast<const std::uint8_t*>(Content.constData()),
                                                    std::size_t(Content.size())) == std::size_t(Content.size());
         ++Seed)
      Content += testsupport::pseudoRandomBytes(1024 * 1024, Seed);
    testsupport::writeWholeFile(Executable, Content);
    testsupport::writeWholeFile(build("launcher-next/launcher-notes.txt"), "launcher 0.0.13\n");
    setLauncher(build("launcher-next"), "0.0.13");
  }
  QString nextLauncherExecutable() const { return build("launcher-next/ashgrove-launcher"); }

  // Publishes the launcher the tests run, as Version (its own by default,
  // so that no self-update is due).
  void publishRunningLauncher(const QString& Version = orvale::launcher::LauncherVersion)
  {
    const QString Folder = build("launcher-" + Version);
    QVERIFY(QDir().mkpath(Folder));
    QVERIFY(QFile::copy(testsupport::builtLauncherExecutable(), Folder + "/ashgrove-launcher"));
    setLauncher(Folder, Version);
  }

  // Serves the document at From (and its signature) in place of the one at To.
  void serveInPlaceOf(const QString& From, const QString& To)
  {
    for (const QString& Suffix : {QString(), QString(".sig")}) {
      QFile::remove(www() + To + Suffix);
      if (QFile::exists(www() + From + Suffix))
        QVERIFY(QFile::copy(www() + From + Suffix, www() + To + Suffix));
    }
  }

  void setLauncher(const QString& Folder, const QString& Version)
  {
    QVERIFY(publish(Folder, www() + "/launcher", Version, "ashgrove-launcher"));
    m_WithLauncher = true;
    writeConfiguration();
  }

  void writeConfiguration()
  {
    QJsonObject Root{{"packages", QJsonArray{QJsonObject{
                                      {"name", "Ashgrove"},
                                      {"directoryname", "ashgrove"},
                                      {"installautomatically", true},
                                      {"builds", QJsonArray{QJsonObject{{"os", "linux"}, {"architecture", "x86_64"},
                                                                        {"url", "game/package.json"}}}}}}}};
    if (m_WithLauncher) {
      Root.insert("launcher", QJsonObject{{"name", "Launcher"},
                                          {"builds", QJsonArray{QJsonObject{{"os", "linux"}, {"architecture", "x86_64"},
                                                                            {"url", "launcher/package.json"}}}}});
    }
    testsupport::writeWholeFile(www() + "/velmetadata.json", QJsonDocument(Root).toJson());
  }

  // Signs the configuration (with the first accepted key) and the
  // published descriptions as Variant says, at SignedAt (now when not given).
  void sign(ESignatureVariant Variant = ESignatureVariant::FirstKey, const QDateTime& SignedAt = QDateTime())
  {
    testsupport::signPublished(www(), "velmetadata.json", shared::EDocumentRole::Configuration,
                               ESignatureVariant::FirstKey, SignedAt);
    if (QFile::exists(www() + "/game/package.json"))
      testsupport::signPublished(www(), "game/package.json", shared::EDocumentRole::Package, Variant, SignedAt);
    if (QFile::exists(www() + "/launcher/package.json"))
      testsupport::signPublished(www(), "launcher/package.json", shared::EDocumentRole::Launcher, Variant, SignedAt);
  }

  // ReleaseKeys: the value of the setting; none when empty. Timing: more
  // lines of the [TIMING] section.
  void configure(TLauncherInstallation& Installation, int ErrorTimeoutMs = 10000, const QString& ReleaseKeys = QString(),
                 const QString& Timing = QString())
  {
    Installation.writeSettings(QString("[URLS]\nlauncherConfiguration=%1\n"
                                       "[DIRECTORIES]\npackages=packages\nsettingsTarget=AshgroveOnlineClient_Data/Data/Settings\n"
                                       "[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
                                       "assetFile=assets.json\naccountGroupFile=accountgroup.json\n"
                                       "[TIMING]\nwaitNotificationTimeout=60000\ndownloadErrorTimeout=%2\n%4"
                                       "[OPTIONS]\nskipVerification=false\nmaxConcurrentDownloads=4\n%3")
                                   .arg(server.url("/velmetadata.json").toString())
                                   .arg(ErrorTimeoutMs)
                                   .arg(ReleaseKeys.isEmpty() ? QString() : "[SECURITY]\nreleaseKeys=" + ReleaseKeys + "\n")
                                   .arg(Timing));
  }

  TTestHttpServer server;

private:
  QTemporaryDir m_Directory;
  bool m_WithLauncher = false;
};

QString gameDirectory(const TLauncherInstallation& Installation)
{
  return Installation.dataDirectory() + "/packages/ashgrove";
}

QStringList clientRecords(const TLauncherInstallation& Installation)
{
  QFile File(gameDirectory(Installation) + "/client-record.txt");
  if (!File.open(QIODevice::ReadOnly))
    return {};
  return QString::fromUtf8(File.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The client runs detached and may finish after the launcher: wait for its
// record.
QStringList waitForClientRecords(const TLauncherInstallation& Installation, int Count)
{
  QTest::qWaitFor([&] { return clientRecords(Installation).size() >= Count; }, 15000);
  return clientRecords(Installation);
}

// Runs the launcher with --first-launch: it ends well and its client starts.
bool firstLaunchStartsTheClient(const TLauncherInstallation& Installation)
{
  return Installation.run({"--first-launch"}, 180000) == 0 && waitForClientRecords(Installation, 1).size() == 1;
}

// Runs the launcher until Condition holds in its log, then ends it.
bool runUntilLogged(const TLauncherInstallation& Installation, const QStringList& Arguments, const QString& Text,
                    int TimeoutMs = 120000)
{
  const int Before = Installation.readLog().count(Text);
  auto Process = Installation.start(Arguments);
  const bool Seen = QTest::qWaitFor([&] { return Installation.readLog().count(Text) > Before; }, TimeoutMs);
  QTest::qWait(300);
  Process->terminate();
  if (!Process->waitForFinished(10000))
    Process->kill();
  return Seen;
}

} // namespace

class TestController : public QObject
{
  Q_OBJECT

private slots:
  void firstLaunchInstallsAndStartsTheClient();
  void forcePatchAndPatchOption();
  void unknownPatchTargetKeepsTheWindow();
  void maintenanceWhenTheConfigurationIsMissing();
  void fatalBoxStopsEverything();
  void offlineStartFromTheCache_data();
  void offlineStartFromTheCache();
  void selfUpdateRestartsTheNewLauncher_data();
  void selfUpdateRestartsTheNewLauncher();
  void failedSelfUpdateRestoresTheExecutable();
  void interruptedInstallationResumes();
  void unusableDescriptionsAreNotActedOn();
  void fileLargerThanTheDiskGetsTheDiskSpaceBox();
  void fullMarkerFollowsTheFlush();
  void killedSelfUpdateLeavesAWorkingLauncher();
  void signedUpdates_data();
  void signedUpdates();
  void documentsOutOfPlaceOrOlder_data();
  void documentsOutOfPlaceOrOlder();
  void stalledTransfersEnd_data();
  void stalledTransfersEnd();
};

void TestController::firstLaunchInstallsAndStartsTheClient()
{
  TServedGame Game;
  Game.publishGame("1.0", 1);
  TLauncherInstallation Installation;
  Game.configure(Installation);
  testsupport::writeWholeFile(Installation.dataDirectory() + "/accountgroup.json", R"({"Key": "group-7"})");

  QCOMPARE(Installation.run({"--first-launch"}, 180000), 0);
  QStringList Records = waitForClientRecords(Installation, 1);
  QCOMPARE(Records.size(), 1);
  const QString Bin = gameDirectory(Installation) + "/bin";
  QCOMPARE(Records[0], QString("args=--from-test --package-is-up-to-date|pwd=%1|ld=%1|restarted=|version=1.0").arg(Bin));
  // The installation is the build plus the copied account group file.
  auto Expected = testsupport::describeTree(Game.build("game-1.0"));
  Expected.insert("AshgroveOnlineClient_Data/Data/Settings/accountgroup.json",
                  testsupport::describeTree(Installation.dataDirectory()).value("accountgroup.json"));
  QCOMPARE(testsupport::describeTree(gameDirectory(Installation), MarkerFiles), Expected);
  QVERIFY(QFile::exists(gameDirectory(Installation) + "/package.json"));
  QVERIFY(QFile::exists(gameDirectory(Installation) + "/default"));
  const QString Log = Installation.readLog();
  QVERIFY(Log.contains("AccountGroupSetting") == false);
  QVERIFY(QFileInfo(Installation.dataDirectory() + "/ashgrove-launcher").isSymLink());

  // A link left dangling (the launcher was moved) is made again.
  const QString Link = Installation.dataDirectory() + "/ashgrove-launcher";
  QVERIFY(QFile::remove(Link) && QFile::link("/no/such/launcher", Link));

  // Without options the up-to-date default client starts without a window.
  QCOMPARE(Installation.run({}, 60000), 0);
  QCOMPARE(QFileInfo(Link).canonicalFilePath(), QFileInfo(Installation.executable()).canonicalFilePath());
  Records = waitForClientRecords(Installation, 2);
  QCOMPARE(Records.size(), 2);
  QVERIFY(Records[1].startsWith("args=--from-test|"));  // nothing verified in this run
  QVERIFY(!Installation.readLog().contains("onInstallationOrUpdateStarted"));
}

void TestController::forcePatchAndPatchOption()
{
  TServedGame Game;
  Game.publishGame("1.0", 1);
  TLauncherInstallation Installation;
  Game.configure(Installation);
  QVERIFY(firstLaunchStartsTheClient(Installation));

  // FORCE_PATCH: the update runs with the window shown; no client after it.
  Game.publishGame("2.0", 2);
  testsupport::writeWholeFile(gameDirectory(Installation) + "/FORCE_PATCH", "");
  QVERIFY(runUntilLogged(Installation, {}, "markPackageAsFullyInstalled"));
  QVERIFY(!QFile::exists(gameDirectory(Installation) + "/FORCE_PATCH"));
  QCOMPARE(clientRecords(Installation).size(), 1);
  QCOMPARE(testsupport::readWholeFile(gameDirectory(Installation) + "/version.txt"), QByteArray("2.0"));

  // --patch with the client's path: update, then start it.
  Game.publishGame("3.0", 3);
  const QString Client = gameDirectory(Installation) + "/bin/client";
  QCOMPARE(Installation.run({"--patch", Client}, 180000), 0);
  const QStringList Records = waitForClientRecords(Installation, 2);
  QCOMPARE(Records.size(), 2);
  QVERIFY2(Records[1].startsWith("args=--from-test --package-is-up-to-date|") && Records[1].endsWith("version=3.0"),
           qPrintable(Records[1]));
  QCOMPARE(testsupport::describeTree(gameDirectory(Installation), MarkerFiles),
           testsupport::describeTree(Game.build("game-3.0")));
}

void TestController::unknownPatchTargetKeepsTheWindow()
{
  TServedGame Game;
  Game.publishGame("1.0", 1);
  TLauncherInstallation Installation;
  Game.configure(Installation);
  QVERIFY(runUntilLogged(Installation, {"--patch", "/no/such/client"}, "Dialog: Client patching failed", 60000));
  QVERIFY(Installation.readLog().contains("sendFunnelEvent: launcher_started"));
  QVERIFY(clientRecords(Installation).isEmpty());
}

void TestController::maintenanceWhenTheConfigurationIsMissing()
{
  TServedGame Game;
  Game.server.setFault("/velmetadata.json", TTestHttpServer::TFault::status(404));
  TLauncherInstallation Installation;
  Game.configure(Installation);
  QCOMPARE(Installation.run({}, 60000), 1);
  QVERIFY(Installation.readLog().contains(
      "Dialog: Ashgrove Online cannot be started: Ashgrove Online is currently down for maintenance."));
}

void TestController::fatalBoxStopsEverything()
{
  TServedGame Game;
  Game.publishGame("1.0", 1);
  TLauncherInstallation Installation;
  Game.configure(Installation);
  // The configuration cache cannot be written: a folder holds its name.
  QVERIFY(QDir().mkpath(Installation.dataDirectory() + "/launchermetadata.json"));
  QCOMPARE(Installation.run({"--first-launch"}, 60000), 1);
  QVERIFY(Installation.readLog().contains("Dialog: Ashgrove Online cannot start"));
  QCOMPARE(Game.server.requestCount("/game/package.json"), 0);
  QVERIFY(!QFileInfo(Installation.dataDirectory() + "/ashgrove-launcher").isSymLink());
  QVERIFY(!QFile::exists(gameDirectory(Installation)));
}

void TestController::offlineStartFromTheCache_data()
{
  QTest::addColumn<bool>("Signed");
  QTest::addColumn<bool>("CacheSignatureKept");
  QTest::newRow("without release keys") << false << false;
  QTest::newRow("signed") << true << true;
  QTest::newRow("signed, cache signature lost") << true << false;
}

void TestController::offlineStartFromTheCache()
{
  QFETCH(bool, Signed);
  QFETCH(bool, CacheSignatureKept);
  TLauncherInstallation Installation;
  QString GameDirectory;
  {
    TServedGame Game;
    Game.publishGame("1.0", 1);
    if (Signed)
      Game.sign();
    Game.configure(Installation, 3000, Signed ? testsupport::acceptedReleaseKeys() : QString());
    QVERIFY(firstLaunchStartsTheClient(Installation));
    GameDirectory = gameDirectory(Installation);
  }
  const QString CacheSignature = Installation.dataDirectory() + "/launchermetadata.json.sig";
  QCOMPARE(QFile::exists(CacheSignature), Signed);
  if (!CacheSignatureKept && Signed) {
    // With release keys, a cache without the signature it was accepted
    // with is no configuration: the maintenance box, no client.
    QVERIFY(QFile::remove(CacheSignature));
    QCOMPARE(Installation.run({}, 60000), 1);
    QVERIFY(Installation.readLog().contains("Cached configuration not used: signature refused: no signature"));
    QVERIFY(Installation.readLog().contains("Dialog: Ashgrove Online cannot be started"));
    QTest::qWait(1000);
    QCOMPARE(clientRecords(Installation).size(), 1);
    return;
  }
  // The server is gone: the cached configuration and the installed
  // descriptions are used, and the default client starts.
  const int Status = Installation.run({}, 60000);
  if (Status != 0)
    testsupport::writeWholeFile(QDir::tempPath() + "/ashgrove-offline-failure.log", Installation.readLog().toUtf8());
  QVERIFY2(Status == 0, "see ashgrove-offline-failure.log in the temporary folder");
  QCOMPARE(waitForClientRecords(Installation, 2).size(), 2);
  QVERIFY(Installation.readLog().contains("Download of configuration failed"));
}

void TestController::selfUpdateRestartsTheNewLauncher_data()
{
  QTest::addColumn<bool>("Signed");
  QTest::newRow("without release keys") << false;
  QTest::newRow("signed") << true;
}

// Signed: the launcher's description by the second of the two accepted
// keys, the rest by the first.
void TestController::selfUpdateRestartsTheNewLauncher()
{
  if (!orvale::launcher::SelfUpdateBuiltIn)
    QSKIP("this launcher is built without its self-update");
  QFETCH(bool, Signed);
  TServedGame Game;
  Game.publishGame("1.0", 1);
  Game.publishNextLauncher();
  if (Signed) {
    Game.sign();
    testsupport::signPublished(Game.www(), "launcher/package.json", shared::EDocumentRole::Launcher,
                               ESignatureVariant::SecondKey);
  }
  TLauncherInstallation Installation;
  Game.configure(Installation, 10000, Signed ? testsupport::acceptedReleaseKeys() : QString());
  const QByteArray OldExecutable = testsupport::readWholeFile(Installation.executable());
  // Atomic writes of a launcher that was killed, in the data folder and in
  // the launcher's folder: removed at the start and before the self-update.
  const QStringList Leftovers{Installation.dataDirectory() + "/launchermetadata.json.tmp-999999999-0",
                              Installation.binDirectory() + "/launcher-update.json.tmp-999999999-1"};
  for (const QString& Path : Leftovers)
    testsupport::writeWholeFile(Path, "cut short");

  // The old launcher installs the new one over itself and restarts it; the
  // new one finds itself current, cleans up and goes on with the first
  // launch, which installs and starts the game.
  QCOMPARE(Installation.run({"--first-launch"}, 180000), 0);
  QVERIFY(QTest::qWaitFor([&] { return clientRecords(Installation).size() == 1; }, 180000));
  const QString Log = Installation.readLog();
  QVERIFY(Log.contains("startSelfUpdate Launcher"));
  QVERIFY(Log.contains("Version: 0.0.13"));
  QVERIFY(!Log.contains("already running"));
  QCOMPARE(testsupport::readWholeFile(Installation.executable()),
           testsupport::readWholeFile(Game.nextLauncherExecutable()));
  QVERIFY(testsupport::readWholeFile(Installation.executable()) != OldExecutable);
  QVERIFY(QFile::exists(Installation.binDirectory() + "/launcher-notes.txt"));
  QVERIFY(QTest::qWaitFor([&] { return !QFile::exists(Installation.executable() + ".old"); }, 10000));
  for (const QString& Path : Leftovers)
    QVERIFY2(!QFile::exists(Path), qPrintable(Path));
  QVERIFY(clientRecords(Installation)[0].contains("version=1.0"));
  // The restarted launcher's marker is its own, not the client's.
  QVERIFY(clientRecords(Installation)[0].contains("restarted=|"));
}

void TestController::failedSelfUpdateRestoresTheExecutable()
{
  if (!orvale::launcher::SelfUpdateBuiltIn)
    QSKIP("this launcher is built without its self-update");
  TServedGame Game;
  Game.publishGame("1.0", 1);
  Game.publishNextLauncher();
  // Every chunk of the new launcher fails.
  Game.server.setFault("*", TTestHttpServer::TFault());
  const QJsonObject Description =
      QJsonDocument::fromJson(testsupport::readWholeFile(Game.www() + "/launcher/package.json")).object();
  for (const QJsonValue& Chunk : Description.value("chunks").toArray())
    Game.server.setFault("/launcher/" + Chunk.toObject().value("url").toString(), TTestHttpServer::TFault::status(500));
  for (const QJsonValue& File : Description.value("files").toArray()) {
    if (File.toObject().contains("url"))
      Game.server.setFault("/launcher/" + File.toObject().value("url").toString(), TTestHttpServer::TFault::status(500));
  }
  TLauncherInstallation Installation;
  Game.configure(Installation);
  const QByteArray OldExecutable = testsupport::readWholeFile(Installation.executable());

  QCOMPARE(Installation.run({"--first-launch"}, 180000), 0);
  const QString Log = Installation.readLog();
  QVERIFY(Log.contains("Updating Ashgrove Online failed: Error1"));
  QCOMPARE(testsupport::readWholeFile(Installation.executable()), OldExecutable);
  QVERIFY(QFileInfo(Installation.executable()).isExecutable());
  QCOMPARE(waitForClientRecords(Installation, 1).size(), 1);  // the run went on as if no update was due
}

void TestController::interruptedInstallationResumes()
{
  TServedGame Game;
  Game.publishGame("1.0", 1);
  TLauncherInstallation Installation;
  Game.configure(Installation);
  const QJsonObject Description =
      QJsonDocument::fromJson(testsupport::readWholeFile(Game.www() + "/game/package.json")).object();
  // The last chunk of the large file comes slowly: the launcher is killed
  // while it is still loading, after the other chunks were written.
  const QJsonArray Chunks = Description.value("chunks").toArray();
  QVERIFY(Chunks.size() >= 2);
  const QString SlowPath = "/game/" + Chunks.last().toObject().value("url").toString();
  Game.server.setFault(SlowPath, TTestHttpServer::TFault::trickle(4096, 100));

  auto Process = Installation.start({"--first-launch"});
  QVERIFY(QTest::qWaitFor([&] {
    return Installation.readLog().count(QRegularExpression("saveDownloadedData chunk \\S+ to ")) >= Chunks.size() - 1;
  }, 120000));
  Process->kill();
  QVERIFY(Process->waitForFinished(10000));
  QVERIFY(QFile::exists(gameDirectory(Installation) + "/partial-package.json"));
  QVERIFY(!QFile::exists(gameDirectory(Installation) + "/package.json"));

  // Which chunks were written before the kill.
  QSet<QString> Written;
  const QRegularExpression Save("saveDownloadedData chunk (\\S+) to ");
  auto Matches = Save.globalMatch(Installation.readLog());
  while (Matches.hasNext())
    Written.insert(QUrl(Matches.next().captured(1)).path());
  QVERIFY(!Written.isEmpty());
  QMap<QString, int> RequestsBefore;
  for (const QString& Path : Written)
    RequestsBefore.insert(Path, Game.server.requestCount(Path));

  Game.server.clearFaults();
  QVERIFY(firstLaunchStartsTheClient(Installation));
  QCOMPARE(testsupport::describeTree(gameDirectory(Installation), MarkerFiles),
           testsupport::describeTree(Game.build("game-1.0")));
  for (const QString& Path : Written)
    QVERIFY2(Game.server.requestCount(Path) == RequestsBefore.value(Path), qPrintable(Path + " fetched again"));
}

void TestController::unusableDescriptionsAreNotActedOn()
{
  TServedGame Game;
  Game.publishGame("1.0", 1);
  TLauncherInstallation Installation;
  Game.configure(Installation);
  QVERIFY(firstLaunchStartsTheClient(Installation));
  const QByteArray Executable = testsupport::readWholeFile(Installation.executable());

  // The launcher's own description is a captive portal's page: no
  // self-update, the run goes on as without that description.
  Game.publishNextLauncher();
  const QByteArray Page = "<!DOCTYPE html><html><body>Sign in to continue</body></html>";
  Game.server.setBody("/launcher/package.json", Page, "text/html");
  QCOMPARE(Installation.run({}, 60000), 0);
  QCOMPARE(waitForClientRecords(Installation, 2).size(), 2);
  QVERIFY(!Installation.readLog().contains("startSelfUpdate"));
  QCOMPARE(testsupport::readWholeFile(Installation.executable()), Executable);

  // The game's description is that page, or cut off in the middle: the
  // first launch, which would install it, leaves files and markers alone.
  const auto Installed = testsupport::describeTree(gameDirectory(Installation));
  const QByteArray Description = testsupport::readWholeFile(Game.www() + "/game/package.json");
  for (const QByteArray& Reply : {Page, Description.left(Description.size() / 2)}) {
    Game.server.setBody("/game/package.json", Reply, "text/html");
    QVERIFY(runUntilLogged(Installation, {"--first-launch"}, "onLauncherReadyForAction"));
    QCOMPARE(testsupport::describeTree(gameDirectory(Installation)), Installed);
  }
  // The launcher's page in all three runs, the game's in the last two.
  QCOMPARE(Installation.readLog().count("not a usable description"), 5);
}

void TestController::fileLargerThanTheDiskGetsTheDiskSpaceBox()
{
  TServedGame Game;
  testsupport::writeWholeFile(Game.www() + "/game/package.json",
                              QJsonDocument(QJsonObject{{"version", "1"},
                                                        {"files", QJsonArray{QJsonObject{
                                                                      {"localfile", "data/huge.pak"},
                                                                      {"unpackedsize", 1e15},
                                                                      {"unpackedhash", QString(64, 'a')},
                                                                      {"url", "huge.pak"},
                                                                      {"packedsize", 1e15},
                                                                      {"unpack", false}}}}})
                                  .toJson());
  TLauncherInstallation Installation;
  Game.configure(Installation);
  QVERIFY(runUntilLogged(Installation, {"--first-launch"}, "Dialog: "));
  const QString Log = Installation.readLog();
  QVERIFY2(Log.contains(QRegularExpression("Dialog: Not enough disk space: Ashgrove cannot be installed: it needs "
                                           "\\S+ \\w+ of disk space, but only \\S+ \\w+ are free\\.")),
           qPrintable(Log.right(2000)));
  QVERIFY(!Log.contains("Dialog: Download failed"));
  QCOMPARE(Game.server.requestCount("/game/huge.pak"), 0);
  QVERIFY(QFile::exists(gameDirectory(Installation) + "/partial-package.json"));
}

void TestController::killedSelfUpdateLeavesAWorkingLauncher()
{
  if (!orvale::launcher::SelfUpdateBuiltIn)
    QSKIP("this launcher is built without its self-update");
  const QString Strace = QStandardPaths::findExecutable("strace");
  if (Strace.isEmpty())
    QSKIP("strace is not installed (scripts/install-deps installs it)");
  TServedGame Game;
  Game.publishGame("1.0", 1);
  Game.publishNextLauncher();
  const QByteArray Next = testsupport::readWholeFile(Game.nextLauncherExecutable());
  const QByteArray Old = testsupport::readWholeFile(testsupport::builtLauncherExecutable());
  // Each killed launcher must start again, and end up updated.
  const auto StartsAgainUpdated = [&](const TLauncherInstallation& Installation) {
    QVERIFY(firstLaunchStartsTheClient(Installation));
    QCOMPARE(testsupport::readWholeFile(Installation.executable()), Next);
    QVERIFY(QFile::exists(Installation.binDirectory() + "/launcher-notes.txt"));
    QVERIFY(!QFile::exists(Installation.binDirectory() + "/launcher-update.json"));
    QVERIFY(!QFile::exists(Installation.binDirectory() + "/.ashgrove-update"));
  };

  // Killed while the update downloads: the running launcher was not touched.
  {
    // The last piece of the executable comes slowly (a small executable, as
    // a Release build makes, is one piece of its own).
    const QJsonObject Description =
        QJsonDocument::fromJson(testsupport::readWholeFile(Game.www() + "/launcher/package.json")).object();
    QString Slow;
    for (const QJsonValue& Value : Description.value("files").toArray()) {
      const QJsonObject File = Value.toObject();
      const QJsonArray Indices = File.value("chunks").toArray();
      if (File.value("localfile").toString() == "ashgrove-launcher")
        Slow = "/launcher/" + (Indices.isEmpty() ? File : Description.value("chunks").toArray().at(Indices.last().toInt()).toObject())
                                  .value("url")
                                  .toString();
    }
    QVERIFY(Slow != "/launcher/");
    Game.server.setFault(Slow, TTestHttpServer::TFault::trickle(4096, 100));
    TLauncherInstallation Installation;
    Game.configure(Installation);
    auto Process = Installation.start({"--first-launch"});
    QVERIFY(QTest::qWaitFor([&] { return Installation.readLog().contains(QRegularExpression("saveDownloadedData chunk \\S+/launcher/")); },
                            120000));
    Process->kill();
    QVERIFY(Process->waitForFinished(10000));
    QCOMPARE(testsupport::readWholeFile(Installation.executable()), Old);
    Game.server.clearFaults();
    StartsAgainUpdated(Installation);
  }

  // Killed while its files are replaced, at the launcher itself (the last
  // one): the next start puts the old files back first, then updates again.
  {
    TLauncherInstallation Installation;
    Game.configure(Installation);
    // Traced by its source: strace's path filter sees only the first path
    // of a rename.
    QVERIFY(Installation.run({"--first-launch"}, 180000, nullptr,
                             {Strace, "-f", "-qq", "-o", "/dev/null", "-P",
                              Installation.binDirectory() + "/.ashgrove-update/ashgrove-launcher", "-e",
                              "trace=rename,renameat,renameat2", "-e", "inject=rename,renameat,renameat2:signal=KILL"}) != 0);
    QVERIFY(QFile::exists(Installation.binDirectory() + "/launcher-update.json"));
    QVERIFY(QFile::exists(Installation.binDirectory() + "/launcher-notes.txt"));
    QCOMPARE(testsupport::readWholeFile(Installation.executable()), Old);
    const int RunStart = Installation.readLog().size();
    StartsAgainUpdated(Installation);
    const QString Log = Installation.readLog().mid(RunStart);
    const int PutBack = Log.indexOf("The launcher's update was interrupted: putting its files back");
    QVERIFY(PutBack >= 0 && PutBack < Log.indexOf("load configuration"));
  }

  // Killed after its last file, as the journal is removed: the next start
  // finishes the update instead of undoing it.
  {
    TLauncherInstallation Installation;
    Game.configure(Installation);
    QVERIFY(Installation.run({"--first-launch"}, 180000, nullptr,
                             {Strace, "-f", "-qq", "-o", "/dev/null", "-P", Installation.binDirectory() + "/launcher-update.json",
                              "-e", "trace=unlink,unlinkat", "-e", "inject=unlink,unlinkat:signal=KILL"}) != 0);
    QCOMPARE(testsupport::readWholeFile(Installation.executable()), Next);
    StartsAgainUpdated(Installation);
    QVERIFY(Installation.readLog().contains("interrupted after its last file: finishing it"));
    QCOMPARE(Installation.readLog().count("startSelfUpdate"), 1);
  }
}

// The system calls of a traced run (strace -f -y) that write, make data
// durable or rename files, in the order they happened.
class TFlushTrace
{
public:
  explicit TFlushTrace(const QString& Path)
  {
    const QStringList Lines = QString::fromUtf8(testsupport::readWholeFile(Path)).split('\n');
    const QRegularExpression Call("^(\\d+) +(fdatasync|fsync|syncfs)\\(\\d+<([^>]*)>");
    const QRegularExpression Resumed("^(\\d+) +<\\.\\.\\. (fdatasync|fsync|syncfs) resumed>.*= 0$");
    const QRegularExpression Write("^\\d+ +(write|pwrite64|pwritev2?|writev)\\(\\d+<([^>]*)>");
    const QRegularExpression Rename("^\\d+ +rename\\w*\\(.*\"([^\"]*)\"");
    QMap<QString, std::pair<QString, QString>> Unfinished;  // by thread: call, path
    const auto Finish = [&](const QString& Name, const QString& Flushed, int Index) {
      if (Name == "syncfs")
        fileSystemFlushes.append(Index);
      else
        flushed.insert(Flushed, Index);
    };
    for (int Index = 0; Index < Lines.size(); ++Index) {
      const QString& Line = Lines[Index];
      const auto FlushCall = Call.match(Line);
      if (FlushCall.hasMatch()) {
        if (Line.contains("<unfinished ...>"))
          Unfinished.insert(FlushCall.captured(1), {FlushCall.captured(2), FlushCall.captured(3)});
        else if (Line.endsWith("= 0"))
          Finish(FlushCall.captured(2), FlushCall.captured(3), Index);
        continue;
      }
      const auto FlushEnd = Resumed.match(Line);
      if (FlushEnd.hasMatch()) {
        const auto [Name, Flushed] = Unfinished.take(FlushEnd.captured(1));
        Finish(Name, Flushed, Index);
        continue;
      }
      const auto Written = Write.match(Line);
      if (Written.hasMatch()) {
        lastWrite.insert(Written.captured(2), Index);
        continue;
      }
      const auto Renamed = Rename.match(Line);
      if (Renamed.hasMatch() && !renamed.contains(Renamed.captured(1)))
        renamed.insert(Renamed.captured(1), Index);
    }
  }

  // Whether the data of Path written before line Before was made durable
  // before it: by a flush of the file after its last write, or by a flush of
  // the whole file system (all of them are one here) after it.
  bool durableBefore(const QString& Path, int Before) const
  {
    const int Written = lastWrite.value(Path, -1);
    if (flushed.contains(Path) && flushed.value(Path) > Written && flushed.value(Path) < Before)
      return true;
    return std::any_of(fileSystemFlushes.begin(), fileSystemFlushes.end(),
                       [&](int Line) { return Line > Written && Line < Before; });
  }

  // Per path: the line of its last completed flush, of its last write, of
  // its first rename; the lines of the completed flushes of a file system.
  QMap<QString, int> flushed;
  QMap<QString, int> lastWrite;
  QMap<QString, int> renamed;
  QList<int> fileSystemFlushes;
};

void TestController::fullMarkerFollowsTheFlush()
{
  const QString Strace = QStandardPaths::findExecutable("strace");
  if (Strace.isEmpty())
    QSKIP("strace is not installed (scripts/install-deps installs it)");
  TServedGame Game;
  Game.publishGame("1.0", 1);
  TLauncherInstallation Installation;
  Game.configure(Installation);
  const QString TracePath = Installation.root() + "/trace.txt";
  QCOMPARE(Installation.run({"--first-launch"}, 300000, nullptr,
                            {Strace, "-f", "-y", "-qq", "-o", TracePath, "-e",
                             "trace=fdatasync,fsync,syncfs,rename,renameat,renameat2,write,pwrite64,pwritev,pwritev2,writev"}),
           0);
  const TFlushTrace Trace(TracePath);
  const QString Directory = gameDirectory(Installation);
  const QString Marker = Directory + "/package.json";
  QVERIFY2(Trace.renamed.contains(Marker), "the full marker was not renamed into place");
  const int MarkerLine = Trace.renamed.value(Marker);
  // Every installed file, and the marker's own content, were on the disk
  // before the marker was.
  for (const QString& File : testsupport::describeTree(Game.build("game-1.0")).keys()) {
    const QString Path = Directory + "/" + File;
    QVERIFY2(Trace.lastWrite.contains(Path) || QFileInfo(Path).size() == 0, qPrintable(Path));
    QVERIFY2(Trace.durableBefore(Path, MarkerLine), qPrintable(Path));
  }
  bool MarkerContentFlushed = false;
  for (auto Flush = Trace.flushed.begin(); Flush != Trace.flushed.end(); ++Flush)
    MarkerContentFlushed |= Flush.key().startsWith(Marker + ".tmp") && Flush.value() < MarkerLine;
  QVERIFY(MarkerContentFlushed);
  // The rename itself is made durable by a flush of the folder.
  QVERIFY(Trace.flushed.value(Directory, -1) > MarkerLine);
}

void TestController::signedUpdates_data()
{
  QTest::addColumn<ESignatureVariant>("Variant");
  QTest::addColumn<QString>("Reason");  // why the new descriptions are refused; empty: accepted
  QTest::newRow("second key") << ESignatureVariant::SecondKey << "";
  QTest::newRow("unsigned") << ESignatureVariant::Unsigned << "no signature";
  QTest::newRow("unknown key") << ESignatureVariant::UnknownKey << "unknown key";
  QTest::newRow("expired") << ESignatureVariant::Expired << "expired";
  QTest::newRow("malformed") << ESignatureVariant::Malformed << "malformed";
  QTest::newRow("replaced") << ESignatureVariant::Replaced << "bad signature";
}

// With release keys, a new game version signed by the other accepted key
// installs and starts. A new game version and a new launcher whose
// descriptions are not properly signed are not acted on: no self-update, no
// update of the installed game (files and markers as they were), no client
// started; both refusals are logged with their reason.
void TestController::signedUpdates()
{
  QFETCH(ESignatureVariant, Variant);
  QFETCH(QString, Reason);
  TServedGame Game;
  Game.publishGame("1.0", 1);
  Game.sign();
  TLauncherInstallation Installation;
  Game.configure(Installation, 10000, testsupport::acceptedReleaseKeys());
  QVERIFY(firstLaunchStartsTheClient(Installation));
  const auto Installed = testsupport::describeTree(gameDirectory(Installation));
  const QByteArray Executable = testsupport::readWholeFile(Installation.executable());

  Game.publishGame("2.0", 2);
  if (Reason.isEmpty()) {
    Game.sign(Variant);
    QCOMPARE(Installation.run({"--first-launch"}, 180000), 0);
    const QStringList Records = waitForClientRecords(Installation, 2);
    QCOMPARE(Records.size(), 2);
    QVERIFY2(Records[1].endsWith("version=2.0"), qPrintable(Records[1]));
    QCOMPARE(testsupport::describeTree(gameDirectory(Installation), MarkerFiles),
             testsupport::describeTree(Game.build("game-2.0")));
    return;
  }
  Game.publishNextLauncher();
  Game.sign(Variant);
  QVERIFY(runUntilLogged(Installation, {"--first-launch"}, "onLauncherReadyForAction"));
  const QString Log = Installation.readLog();
  QCOMPARE(Log.count(QRegularExpression("Download of package configuration/asset from configuration \\S+/(game|launcher)/"
                                        "package.json failed: Signature refused: " + Reason)),
           2);
  QVERIFY(!Log.contains("startSelfUpdate"));
  QCOMPARE(testsupport::readWholeFile(Installation.executable()), Executable);
  QCOMPARE(testsupport::describeTree(gameDirectory(Installation)), Installed);
  QCOMPARE(clientRecords(Installation).size(), 1);
}

namespace {

// What a server does with real documents of the maker.
enum class EMisplacement
{
  ConfigurationAsGame,       // the configuration at the game's description URL
  ConfigurationAsLauncher,   // the configuration at the launcher's description URL
  GameAsLauncher,            // the game's description at the launcher's URL
  OlderGame,                 // the game's description of the release before the installed one
  OlderConfiguration,        // the configuration as it was signed before
  OlderLauncher,             // a newer launcher, signed before the launcher description accepted last
  LowerLauncherVersion,      // a launcher description of a lower version
  OversizedGame,             // a game description larger than a description may be
};

} // namespace

Q_DECLARE_METATYPE(EMisplacement)

void TestController::documentsOutOfPlaceOrOlder_data()
{
  QTest::addColumn<EMisplacement>("Misplacement");
  QTest::addColumn<bool>("Signed");
  QTest::addColumn<QString>("Told");  // the box the player sees; empty: none
  const QString Other = "The update of %1 was refused because the server sent another file of its publisher in its place.";
  const QString NoUpdate = "The update of %1 was refused because the server did not send an update of it.";
  const QString Older = "The update of %1 was refused because it is older than the version already installed.";
  QTest::newRow("configuration at the game's URL") << EMisplacement::ConfigurationAsGame << false << NoUpdate.arg("Ashgrove");
  QTest::newRow("configuration at the game's URL, signed") << EMisplacement::ConfigurationAsGame << true << Other.arg("Ashgrove");
  QTest::newRow("configuration at the launcher's URL") << EMisplacement::ConfigurationAsLauncher << false << NoUpdate.arg("Launcher");
  QTest::newRow("game at the launcher's URL") << EMisplacement::GameAsLauncher << false << NoUpdate.arg("Launcher");
  QTest::newRow("game at the launcher's URL, signed") << EMisplacement::GameAsLauncher << true << Other.arg("Launcher");
  QTest::newRow("older game description, signed") << EMisplacement::OlderGame << true << Older.arg("Ashgrove");
  QTest::newRow("older configuration, signed") << EMisplacement::OlderConfiguration << true << Older.arg("Ashgrove Online");
  QTest::newRow("newer launcher signed before, signed") << EMisplacement::OlderLauncher << true << Older.arg("Launcher");
  QTest::newRow("lower launcher version") << EMisplacement::LowerLauncherVersion << false << QString();
  QTest::newRow("oversized game description")
      << EMisplacement::OversizedGame << false
      << "The update of Ashgrove was refused because it lists more files than this launcher can take; a newer "
         "launcher may be needed.";
}

// Real documents of the maker served in the wrong place, or older than what
// the player has: nothing in the installation or the launcher's folder
// changes, and the player is told (once) why.
void TestController::documentsOutOfPlaceOrOlder()
{
  QFETCH(EMisplacement, Misplacement);
  QFETCH(bool, Signed);
  QFETCH(QString, Told);
  const QDateTime Now = QDateTime::currentDateTimeUtc();
  TServedGame Game;
  Game.publishGame("1.0", 1);
  Game.publishRunningLauncher();
  if (Signed)
    Game.sign(ESignatureVariant::FirstKey, Now.addSecs(-3600));
  TLauncherInstallation Installation;
  Game.configure(Installation, 10000, Signed ? testsupport::acceptedReleaseKeys() : QString());
  QVERIFY(firstLaunchStartsTheClient(Installation));
  if (Misplacement == EMisplacement::OlderGame || Misplacement == EMisplacement::OlderConfiguration) {
    // The player updates to 2.0; the server then sends the documents signed for 1.0.
    const QString Kept = Game.build("kept");
    QVERIFY(QDir().mkpath(Kept));
    for (const QString& Document : {"/game/package.json", "/game/package.json.sig", "/velmetadata.json.sig"})
      QVERIFY(QFile::copy(Game.www() + Document, Kept + QFileInfo(Document).fileName()));
    Game.publishGame("2.0", 2);
    Game.sign(ESignatureVariant::FirstKey, Now);
    QCOMPARE(Installation.run({"--first-launch"}, 180000), 0);
    QVERIFY(waitForClientRecords(Installation, 2).last().endsWith("version=2.0"));
    const QStringList Replayed = Misplacement == EMisplacement::OlderGame
                                     ? QStringList{"/game/package.json", "/game/package.json.sig"}
                                     : QStringList{"/velmetadata.json.sig"};
    for (const QString& Document : Replayed) {
      QFile::remove(Game.www() + Document);
      QVERIFY(QFile::copy(Kept + QFileInfo(Document).fileName(), Game.www() + Document));
    }
  }
  // The client may start again after a refused launcher update: its record is no change.
  const QSet<QString> ClientRecord{"client-record.txt"};
  const auto Installed = testsupport::describeTree(gameDirectory(Installation), ClientRecord);
  const auto LauncherFolder = testsupport::describeTree(Installation.binDirectory());
  switch (Misplacement) {
  case EMisplacement::ConfigurationAsGame:
    Game.serveInPlaceOf("/velmetadata.json", "/game/package.json");
    break;
  case EMisplacement::ConfigurationAsLauncher:
    Game.serveInPlaceOf("/velmetadata.json", "/launcher/package.json");
    break;
  case EMisplacement::GameAsLauncher:
    Game.serveInPlaceOf("/game/package.json", "/launcher/package.json");
    break;
  case EMisplacement::OlderLauncher:
    Game.publishNextLauncher();
    testsupport::signPublished(Game.www(), "launcher/package.json", shared::EDocumentRole::Launcher,
                               ESignatureVariant::FirstKey, Now.addSecs(-7200));
    break;
  case EMisplacement::LowerLauncherVersion:
    Game.publishRunningLauncher("0.0.11");
    break;
  case EMisplacement::OversizedGame:
    Game.server.setFault("/game/package.json", TTestHttpServer::TFault::generatedBody(shared::MaxDescriptionBytes + 1));
    break;
  case EMisplacement::OlderGame:
  case EMisplacement::OlderConfiguration:
    break;
  }
  // Where the game's description is refused, the run is asked to install
  // it; otherwise a plain start (a first launch would check the installed
  // game again, and this run is ended while it may do so).
  const bool GameRefused = Misplacement == EMisplacement::ConfigurationAsGame || Misplacement == EMisplacement::OlderGame ||
                           Misplacement == EMisplacement::OversizedGame;
  const QString Awaited = Told.isEmpty() ? QString("is older than this launcher") : "Dialog: Update refused: " + Told;
  QVERIFY2(runUntilLogged(Installation, GameRefused ? QStringList{"--first-launch"} : QStringList(), Awaited),
           qPrintable(Installation.readLog().right(3000)));
  QCOMPARE(testsupport::describeTree(gameDirectory(Installation), ClientRecord), Installed);
  QCOMPARE(testsupport::describeTree(Installation.binDirectory()), LauncherFolder);
  const QString Log = Installation.readLog();
  QVERIFY(!Log.contains("startSelfUpdate"));
  QCOMPARE(Log.count("Dialog: Update refused"), Told.isEmpty() ? 0 : 1);
}

// With the time rules at a few seconds: a description, its signature or a
// chunk that the server trickles below the speed limit, and a description
// that does not arrive within its deadline, fail like a failed download
// with the rule's reason; the installation stays as it was, and the run
// goes on (a failed chunk ends in the "Download failed" box).
void TestController::stalledTransfersEnd_data()
{
  QTest::addColumn<QString>("Trickled");      // the path the server trickles
  QTest::addColumn<int>("BytesPerStep");      // every 250 ms
  QTest::addColumn<int>("DocumentSeconds");   // the deadline of a document without bytes
  QTest::addColumn<bool>("Signed");
  QTest::addColumn<QString>("Reason");
  const QString Slow = "Transfer slower than 1024 bytes/s for 2 s";
  QTest::newRow("description") << "/game/package.json" << 1 << 60 << false << Slow;
  QTest::newRow("signature") << "/game/package.json.sig" << 1 << 60 << true << Slow;
  // 2 KiB/s pass the low-speed rule but not a deadline of 1 s plus a second
  // per 64 KiB.
  QTest::newRow("description past its deadline") << "/game/package.json" << 512 << 1 << false
                                                 << "Document not received in time";
  QTest::newRow("chunk") << "chunk" << 50 << 60 << false << Slow;
}

void TestController::stalledTransfersEnd()
{
  QFETCH(QString, Trickled);
  QFETCH(int, BytesPerStep);
  QFETCH(int, DocumentSeconds);
  QFETCH(bool, Signed);
  QFETCH(QString, Reason);
  TServedGame Game;
  Game.publishGame("1.0", 1);
  if (Signed)
    Game.sign();
  TLauncherInstallation Installation;
  Game.configure(Installation, 10000, Signed ? testsupport::acceptedReleaseKeys() : QString(),
                 QString("lowSpeedBytesPerSecond=1024\nlowSpeedSeconds=2\ndocumentSeconds=%1\n").arg(DocumentSeconds));
  QVERIFY(firstLaunchStartsTheClient(Installation));
  Game.publishGame("2.0", 2);
  if (Signed)
    Game.sign();
  if (Trickled == "chunk") {
    const QJsonArray Chunks =
        QJsonDocument::fromJson(testsupport::readWholeFile(Game.www() + "/game/package.json")).object().value("chunks").toArray();
    Trickled = "/game/" + Chunks.last().toObject().value("url").toString();
  }
  Game.server.setFault(Trickled, TTestHttpServer::TFault::trickle(BytesPerStep, 250));
  const auto Installed = testsupport::describeTree(gameDirectory(Installation), MarkerFiles);
  const QString Ended = Trickled.contains("/chunks/") ? "Dialog: Download failed" : "onLauncherReadyForAction";
  QVERIFY2(runUntilLogged(Installation, {"--first-launch"}, Ended, 120000), qPrintable(Installation.readLog().right(3000)));
  QVERIFY2(Installation.readLog().contains(Reason), qPrintable(Installation.readLog().right(3000)));
  if (!Trickled.contains("/chunks/"))
    QCOMPARE(testsupport::describeTree(gameDirectory(Installation), MarkerFiles), Installed);
}

QTEST_GUILESS_MAIN(TestController)
#include "test_controller.moc"
