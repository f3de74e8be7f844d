// The configuration handler against real requests to the test server.

#include "launcher/launcherconfigurationhandler.h"
#include "shared/descriptiondocument.h"
#include "shared/downloadpool.h"

#include "releasesigning.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

using namespace orvale::launcher;
using testsupport::ESignatureVariant;
using testsupport::TTestHttpServer;

Q_DECLARE_METATYPE(TTestHttpServer::TFault)

namespace {

QByteArray configurationDocument(const QString& DescriptionPath, const QString& AssetPath = QString(),
                                 const QString& SecondDescriptionPath = QString(), const QString& FolderName = "game")
{
  QJsonObject Build{{"os", "linux"}, {"architecture", "x86_64"}, {"url", DescriptionPath}};
  if (!AssetPath.isEmpty())
    Build.insert("assetsurl", AssetPath);
  QJsonArray Packages{QJsonObject{{"name", "Game"}, {"directoryname", FolderName}, {"builds", QJsonArray{Build}}}};
  if (!SecondDescriptionPath.isEmpty()) {
    Packages.append(QJsonObject{{"name", "Test"},
                                {"directoryname", "test"},
                                {"builds", QJsonArray{QJsonObject{{"os", "linux"}, {"architecture", "x86_64"},
                                                                  {"url", SecondDescriptionPath}}}}});
  }
  return QJsonDocument(QJsonObject{{"packages", Packages}, {"hints", "hints.json"}}).toJson();
}

// A description of one file: usable wherever a package or asset
// description is asked for.
QByteArray descriptionOf(const QJsonValue& Version, const QString& File)
{
  const QJsonObject Entry{{"localfile", File}, {"unpackedsize", 0}, {"unpackedhash", QString(64, '0')}};
  return QJsonDocument(QJsonObject{{"version", Version}, {"files", QJsonArray{Entry}}}).toJson();
}

struct THandlerFixture
{
  QTemporaryDir home;
  std::shared_ptr<TLauncherSettings> settings = std::make_shared<TLauncherSettings>();
  std::shared_ptr<TLauncherFilesystemHelper> helper;
  std::shared_ptr<shared::TDownloadPool> pool;
  std::unique_ptr<TLauncherConfigurationHandler> handler;

  THandlerFixture(const QUrl& ConfigurationUrl, int TimeoutMs = 10000, bool Nocache = false,
                  const QStringList& ReleaseKeys = {})
  {
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    settings->launcherConfiguration = ConfigurationUrl;
    settings->downloadErrorTimeout = TimeoutMs;
    settings->appendNocacheToPackageUrls = Nocache;
    settings->packages = "packages";
    settings->packageFile = "package.json";
    settings->assetFile = "assets.json";
    settings->releaseKeys = ReleaseKeys;
    helper = std::make_shared<TLauncherFilesystemHelper>(settings);
    pool = std::make_shared<shared::TDownloadPool>(6, shared::makeNetworkAccessManagerWrapper(), true);
    handler = std::make_unique<TLauncherConfigurationHandler>(pool, helper);
  }
};

} // namespace

class TestConfigurationHandler : public QObject
{
  Q_OBJECT

private slots:
  void loadsAndCachesTheConfiguration();
  void notFoundIsMaintenanceEvenWithCache();
  void refusedConnectionUsesTheCacheAndInstalledDescriptions();
  void folderNamesStayInThePackagesFolder_data();
  void folderNamesStayInThePackagesFolder();
  void timeoutUsesTheCacheAndLateReplyChangesNothing();
  void emptyAndInvalidReplies();
  void unusableConfigurationUrlTakesTheCacheAtOnce_data();
  void unusableConfigurationUrlTakesTheCacheAtOnce();
  void unusableBuildUrlsAreFailedDescriptions();
  void oversizedDocumentsFail_data();
  void oversizedDocumentsFail();
  void nocacheOnlyOnDescriptions();
  void sharedDescriptionUrlServesBothBuilds();
  void failedDescriptionDropsItsEntries();
  void unusableDescriptionCountsAsFailed_data();
  void unusableDescriptionCountsAsFailed();
  void hintsArePublished();
  void noPackagesFinishesAtOnce();
  void signedDocuments_data();
  void signedDocuments();
  void cachedConfigurationNeedsItsSignature_data();
  void cachedConfigurationNeedsItsSignature();
  void unsignedReplyOfASignedUrlIsDropped();
  void compressedDescriptions_data();
  void compressedDescriptions();
};

void TestConfigurationHandler::loadsAndCachesTheConfiguration()
{
  TTestHttpServer Server;
  const QByteArray Document = configurationDocument("builds/linux/package.json", "builds/linux/assets.json");
  Server.setBody("/launcher/velmetadata.json", Document, "application/json");
  Server.setBody("/launcher/builds/linux/package.json", descriptionOf("5", "a"));
  Server.setBody("/launcher/builds/linux/assets.json", descriptionOf(2, "b"));
  THandlerFixture Fixture(Server.url("/launcher/velmetadata.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  QSignalSpy Failed(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QCOMPARE(Failed.count(), 0);
  QVERIFY(!Fixture.handler->isOffline());
  QCOMPARE(testsupport::readWholeFile(TLauncherConfigurationHandler::cacheFilePath()), Document);
  const auto Configuration = Fixture.handler->configuration();
  QCOMPARE(Configuration->baseUrl(), Server.url("/launcher/"));
  QCOMPARE(Configuration->packages()[0]->currentBuild()->url, Server.url("/launcher/builds/linux/package.json"));

  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(10000));
  const TPackageConfigurationReader* Description = Configuration->packages()[0]->currentDescription();
  QVERIFY(Description);
  QCOMPARE(Description->versionText(), QString("P5 A2"));
  QCOMPARE(Description->files().size(), std::size_t(2));
  QCOMPARE(Finished.count(), 1);
  // Without release keys nothing else is asked for and no signature is kept.
  QCOMPARE(Server.totalRequestCount(), 3);
  QVERIFY(!QFile::exists(TLauncherConfigurationHandler::cacheSignatureFilePath()));
}

void TestConfigurationHandler::notFoundIsMaintenanceEvenWithCache()
{
  TTestHttpServer Server;
  THandlerFixture Fixture(Server.url("/launcher/velmetadata.json"));
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), configurationDocument("p.json"));
  for (int Status : {404, 403}) {
    Server.setFault("/launcher/velmetadata.json", TTestHttpServer::TFault::status(Status));
    QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy Failed(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    Fixture.handler->startConfigurationDownload();
    QVERIFY(Failed.wait(10000));
    QCOMPARE(Loaded.count(), 0);
  }
}

void TestConfigurationHandler::refusedConnectionUsesTheCacheAndInstalledDescriptions()
{
  quint16 ClosedPort = 0;
  {
    QTcpServer Probe;
    QVERIFY(Probe.listen(QHostAddress::LocalHost));
    ClosedPort = Probe.serverPort();
  }
  THandlerFixture Fixture(QUrl(QString("http://127.0.0.1:%1/launcher/velmetadata.json").arg(ClosedPort)));
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(),
                              configurationDocument("game.json", "assets.json", "test.json"));
  // "game" is installed, "test" never was.
  const QString Game = Fixture.helper->packagesBaseDirectory().filePath("game");
  testsupport::writeWholeFile(Game + "/package.json", descriptionOf("9", "x"));
  testsupport::writeWholeFile(Game + "/assets.json", descriptionOf(3, "y"));

  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QVERIFY(Fixture.handler->isOffline());
  QCOMPARE(Fixture.handler->configuration()->baseUrl().scheme(), QString("file"));

  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.count() == 1 || Finished.wait(10000));
  const auto& Packages = Fixture.handler->configuration()->packages();
  QVERIFY(Packages[0]->currentDescription());
  QCOMPARE(Packages[0]->currentDescription()->versionText(), QString("P9 A3"));
  QVERIFY(!Packages[1]->currentDescription());
}

void TestConfigurationHandler::folderNamesStayInThePackagesFolder_data()
{
  QTest::addColumn<QString>("FolderName");
  QTest::addColumn<bool>("Kept");
  QTest::newRow("plain") << "game" << true;
  QTest::newRow("spaces and umlauts") << "Ashgrove Online ä" << true;
  QTest::newRow("dots inside") << "game..1" << true;
  QTest::newRow("empty") << "" << false;
  QTest::newRow("dot") << "." << false;
  QTest::newRow("parent") << ".." << false;
  QTest::newRow("climbing") << "../x" << false;
  QTest::newRow("climbing deeper") << "a/../../x" << false;
  QTest::newRow("absolute") << "/tmp/x" << false;
  QTest::newRow("subfolder") << "games/ashgrove" << false;
  QTest::newRow("backslashes") << "..\\x" << false;
  QTest::newRow("nul") << QString("game") + QChar(0) + "/../x" << false;
}

// A configuration, fresh or cached, cannot place a package outside the
// packages folder: a folder name that is not one plain name leaves the
// package out.
void TestConfigurationHandler::folderNamesStayInThePackagesFolder()
{
  QFETCH(QString, FolderName);
  QFETCH(bool, Kept);
  TTestHttpServer Server;
  const QByteArray Document = configurationDocument("p.json", QString(), "q.json", FolderName);
  Server.setBody("/velmetadata.json", Document);
  for (const bool FromCache : {false, true}) {
    THandlerFixture Fixture(Server.url(FromCache ? "/unreachable.json" : "/velmetadata.json"));
    Server.setFault("/unreachable.json", TTestHttpServer::TFault::status(500));
    testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), Document);
    QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    if (!Kept)
      QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Package 0 \\(\"Game\"\\) left out: its directoryname "));
    Fixture.handler->startConfigurationDownload();
    QVERIFY(Loaded.wait(10000));
    QCOMPARE(Fixture.handler->isOffline(), FromCache);
    const auto& Packages = Fixture.handler->configuration()->packages();
    QCOMPARE(Packages.size(), std::size_t(Kept ? 2 : 1));
    QCOMPARE(Packages.back()->directoryName(), QString("test"));
    QCOMPARE(Packages.back()->index(), 1);
    if (Kept) {
      QCOMPARE(QFileInfo(Packages[0]->installationDirectory(*Fixture.helper).absolutePath()).dir(),
               Fixture.helper->packagesBaseDirectory());
    }
  }
}

void TestConfigurationHandler::timeoutUsesTheCacheAndLateReplyChangesNothing()
{
  TTestHttpServer Server;
  Server.setBody("/velmetadata.json", configurationDocument("fresh.json"));
  Server.setFault("/velmetadata.json", TTestHttpServer::TFault::trickle(16, 200));
  THandlerFixture Fixture(Server.url("/velmetadata.json"), 300);
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), configurationDocument("cached.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  QSignalSpy Failed(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QVERIFY(Fixture.handler->isOffline());
  const auto Cached = Fixture.handler->configuration();
  QVERIFY(Cached->packages()[0]->builds()[0]->url.toString().endsWith("cached.json"));
  // The late reply arrives and is ignored.
  QTRY_VERIFY_WITH_TIMEOUT(Fixture.pool->activeDownloadCount() == 0, 60000);
  QTest::qWait(100);
  QCOMPARE(Loaded.count(), 1);
  QCOMPARE(Failed.count(), 0);
  QCOMPARE(Fixture.handler->configuration(), Cached);
}

void TestConfigurationHandler::emptyAndInvalidReplies()
{
  TTestHttpServer Server;
  Server.setBody("/empty.json", QByteArray());
  Server.setFault("/empty.json", TTestHttpServer::TFault::emptyBody());
  Server.setBody("/invalid.json", "{\"packages\": [");
  for (const QString& Path : {QString("/empty.json"), QString("/invalid.json")}) {
    THandlerFixture Fixture(Server.url(Path));
    testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), configurationDocument("x.json"));
    QSignalSpy Failed(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    Fixture.handler->startConfigurationDownload();
    QVERIFY2(Failed.wait(10000), qPrintable(Path));
    QCOMPARE(Loaded.count(), 0);
  }
  // A corrupt cache file is a disk failure; a missing one is maintenance.
  THandlerFixture Offline(QUrl("http://127.0.0.1:1/x.json"), 0);
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), "{broken");
  QSignalSpy Disk(Offline.handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);
  Offline.handler->loadCachedConfiguration();
  QCOMPARE(Disk.count(), 1);
  QFile::remove(TLauncherConfigurationHandler::cacheFilePath());
  QSignalSpy Failed(Offline.handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
  Offline.handler->loadCachedConfiguration();
  QCOMPARE(Failed.count(), 1);
}

void TestConfigurationHandler::unusableConfigurationUrlTakesTheCacheAtOnce_data()
{
  QTest::addColumn<QUrl>("Url");
  QTest::newRow("empty") << QUrl();
  QTest::newRow("bad host") << QUrl("http://ho st/velmetadata.json");
  QTest::newRow("relative") << QUrl("launcher/velmetadata.json");
}

// Without waiting for the error timer (a minute here).
void TestConfigurationHandler::unusableConfigurationUrlTakesTheCacheAtOnce()
{
  QFETCH(QUrl, Url);
  THandlerFixture Fixture(Url, 60000);
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), configurationDocument("x.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  QTest::ignoreMessage(QtCriticalMsg, "Download of configuration failed: Invalid URL");
  Fixture.handler->startConfigurationDownload();
  QCOMPARE(Loaded.count(), 0);
  QVERIFY(Loaded.wait(10000));
  QVERIFY(Fixture.handler->isOffline());
  QCOMPARE(Fixture.pool->outstandingDownloadCount(), std::size_t(0));
}

// A build whose description URL does not parse cannot be answered: it is a
// failed description at once, and the phase still completes.
void TestConfigurationHandler::unusableBuildUrlsAreFailedDescriptions()
{
  TTestHttpServer Server;
  Server.setBody("/good.json", descriptionOf("4", "a"));
  for (const QString& Broken : {QString("http://[::1/package.json"), QString("http://h:99999/package.json")}) {
    for (const bool AsAssets : {false, true}) {
      QJsonObject Document = QJsonDocument::fromJson(configurationDocument(AsAssets ? Server.url("/good.json").toString() : Broken,
                                                                           AsAssets ? Broken : QString(),
                                                                           Server.url("/good.json").toString()))
                                 .object();
      Server.setBody("/velmetadata.json", QJsonDocument(Document).toJson());
      THandlerFixture Fixture(Server.url("/velmetadata.json"));
      QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
      Fixture.handler->startConfigurationDownload();
      QVERIFY(Loaded.wait(10000));
      QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
      QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Download of package configuration/asset from "
                                                             "configuration .* failed: Invalid URL$"));
      Fixture.handler->requestPackageConfigurations();
      QVERIFY(Finished.count() == 1 || Finished.wait(10000));
      const auto& Packages = Fixture.handler->configuration()->packages();
      QVERIFY(!Packages[0]->currentDescription());
      QVERIFY(Packages[1]->currentDescription());
      QCOMPARE(Packages[1]->currentDescription()->version(), QString("4"));
    }
  }
}

void TestConfigurationHandler::oversizedDocumentsFail_data()
{
  QTest::addColumn<TTestHttpServer::TFault>("Fault");
  QTest::addColumn<QByteArray>("ContentEncoding");
  QTest::addColumn<bool>("TooLarge");  // the player is told that the description is too large
  QTest::newRow("500 MB") << TTestHttpServer::TFault::generatedBody(500 * 1000 * 1000) << QByteArray() << true;
  QTest::newRow("a byte more than a description may have")
      << TTestHttpServer::TFault::generatedBody(shared::MaxDescriptionBytes + 1) << QByteArray() << true;
  QTest::newRow("endless") << TTestHttpServer::TFault::endlessBody() << QByteArray() << true;
  QTest::newRow("gzip") << TTestHttpServer::TFault() << QByteArray("gzip") << false;
}

// A configuration or description larger than the document limit (or
// compressed) is a failed download: the cached configuration is used and
// stays as it was, the description is missing.
void TestConfigurationHandler::oversizedDocumentsFail()
{
  QFETCH(TTestHttpServer::TFault, Fault);
  QFETCH(QByteArray, ContentEncoding);
  QFETCH(bool, TooLarge);
  TTestHttpServer Server;
  Server.setBody("/velmetadata.json", testsupport::gzipOfZeros(1000), "application/json", ContentEncoding);
  Server.setFault("/velmetadata.json", Fault);
  THandlerFixture Fixture(Server.url("/velmetadata.json"));
  const QByteArray Cached = configurationDocument(Server.url("/big.json").toString());
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), Cached);
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  QSignalSpy Failed(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(30000));
  QCOMPARE(Failed.count(), 0);
  QVERIFY(Fixture.handler->isOffline());
  QCOMPARE(testsupport::readWholeFile(TLauncherConfigurationHandler::cacheFilePath()), Cached);

  // The same for a description, online.
  Server.clearFault("/velmetadata.json");
  Server.setBody("/velmetadata.json", Cached);
  Server.setBody("/big.json", testsupport::gzipOfZeros(1000), "application/json", ContentEncoding);
  Server.setFault("/big.json", Fault);
  THandlerFixture Online(Server.url("/velmetadata.json"));
  QSignalSpy OnlineLoaded(Online.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Online.handler->startConfigurationDownload();
  QVERIFY(OnlineLoaded.wait(10000));
  QVERIFY(!Online.handler->isOffline());
  QSignalSpy Finished(Online.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Online.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(30000));
  QVERIFY(!Online.handler->configuration()->packages()[0]->currentDescription());
  const auto& Refused = Online.handler->refusedDocuments();
  QCOMPARE(Refused.size(), std::size_t(TooLarge ? 1 : 0));
  if (TooLarge) {
    QCOMPARE(Refused[0].package, QString("Game"));
    QCOMPARE(Refused[0].reason, EDocumentRefusal::TooLarge);
  }
}

void TestConfigurationHandler::nocacheOnlyOnDescriptions()
{
  TTestHttpServer Server;
  Server.setBody("/c/velmetadata.json", configurationDocument("d/package.json?x=1", "d/assets.json"));
  Server.setBody("/c/d/package.json", descriptionOf("1", "a"));
  Server.setBody("/c/d/assets.json", descriptionOf("1", "b"));
  THandlerFixture Fixture(Server.url("/c/velmetadata.json"), 10000, true);
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(10000));
  QVERIFY(Fixture.handler->configuration()->packages()[0]->currentDescription());

  const auto Configuration = Server.requests("/c/velmetadata.json");
  QCOMPARE(Configuration.size(), 1);
  QVERIFY(!Configuration[0].target.contains("nocache"));
  const auto Descriptions = Server.requests("/c/d/package.json") + Server.requests("/c/d/assets.json");
  QCOMPARE(Descriptions.size(), 2);
  QStringList Values;
  for (const auto& Request : Descriptions) {
    const QUrlQuery Query(QUrl(QString::fromUtf8(Request.target)).query());
    const QString Value = Query.queryItemValue("nocache");
    QVERIFY(QRegularExpression("^[A-Za-z0-9]{32}$").match(Value).hasMatch());
    Values << Value;
  }
  QVERIFY(Values[0] != Values[1]);
  // The relative reference's own query is dropped by the resolution; the
  // nocache item is the only one.
  QVERIFY(!Descriptions[0].target.contains("x=1"));
  // An existing query is kept and the item comes last.
  const QUrl WithQuery = Fixture.handler->buildPackageDescriptionUrl(QUrl("http://h/p.json?x=1"));
  QVERIFY(WithQuery.query().startsWith("x=1&nocache="));
  Fixture.settings->appendNocacheToPackageUrls = false;
  QCOMPARE(Fixture.handler->buildPackageDescriptionUrl(QUrl("http://h/p.json?x=1")), QUrl("http://h/p.json?x=1"));
}

void TestConfigurationHandler::sharedDescriptionUrlServesBothBuilds()
{
  TTestHttpServer Server;
  Server.setBody("/velmetadata.json", configurationDocument("same.json", QString(), "same.json"));
  Server.setBody("/same.json", descriptionOf("7", "a"));
  THandlerFixture Fixture(Server.url("/velmetadata.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(10000));
  for (const auto& Package : Fixture.handler->configuration()->packages()) {
    QVERIFY(Package->currentDescription());
    QCOMPARE(Package->currentDescription()->version(), QString("7"));
  }
  QCOMPARE(Finished.count(), 1);
}

void TestConfigurationHandler::failedDescriptionDropsItsEntries()
{
  TTestHttpServer Server;
  Server.setBody("/velmetadata.json", configurationDocument("same.json", "assets.json", "same.json"));
  Server.setBody("/same.json", descriptionOf("7", "a"));
  Server.setFault("/same.json", TTestHttpServer::TFault::status(500));
  Server.setBody("/assets.json", descriptionOf("1", "b"));
  THandlerFixture Fixture(Server.url("/velmetadata.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(10000));
  QTest::qWait(200);
  QCOMPARE(Finished.count(), 1);
  for (const auto& Package : Fixture.handler->configuration()->packages())
    QVERIFY(!Package->currentDescription());
  QVERIFY(Fixture.handler->pendingRequests().empty());
}

void TestConfigurationHandler::unusableDescriptionCountsAsFailed_data()
{
  QTest::addColumn<QString>("Path");
  QTest::addColumn<QByteArray>("Reply");
  QTest::addColumn<QString>("Reason");  // a pattern; "unparsable" for one of the parse errors
  const QByteArray Page = "<html><body>Please accept the terms of use of this network</body></html>";
  QTest::newRow("portal page for the package description") << "/p.json" << Page << "unparsable";
  QTest::newRow("cut-off package description") << "/p.json" << QByteArray(R"({"version": "8", "files": [{"loc)")
                                               << "unparsable";
  QTest::newRow("portal page for the asset description") << "/a.json" << Page << "unparsable";
  // Game files under the names of the launcher's own files would be taken
  // for its markers, moved, emptied or deleted by it.
  const auto Naming = [](const QString& LocalFile) {
    const auto Entry = [](const QString& Name) {
      return QJsonObject{{"localfile", Name}, {"unpackedsize", 0}, {"unpackedhash", QString(64, '0')}};
    };
    return QJsonDocument(QJsonObject{{"version", "8"}, {"files", QJsonArray{Entry("bin/game"), Entry(LocalFile)}}}).toJson();
  };
  QTest::newRow("the package description's marker name") << "/p.json" << Naming("package.json")
                                                          << "the file 'package.json' is reserved";
  QTest::newRow("the asset file's name, reached by a detour") << "/a.json" << Naming("bin/../assets.json")
                                                              << "the file 'bin/../assets.json' is reserved";
  QTest::newRow("a folder named like the default marker") << "/p.json" << Naming("default/readme.txt")
                                                           << "the file 'default/readme.txt' is reserved";
  QTest::newRow("a launcher file's prefix") << "/a.json" << Naming(".ashgrove-blocks-x")
                                            << "the file '.ashgrove-blocks-x' is reserved";
  // A piece must lie wholly in a pack the description lists.
  const auto InPack = [](int Pack, int Offset, int PackSize) {
    const QJsonObject Piece{{"localfile", "bin/game"}, {"unpackedsize", 10},   {"unpackedhash", QString(64, '0')},
                            {"pack", Pack},           {"packoffset", Offset}, {"packedsize", 10}};
    return QJsonDocument(QJsonObject{{"version", "8"},
                                     {"packs", QJsonArray{QJsonObject{{"url", "packs/a.pack"}, {"size", PackSize}}}},
                                     {"files", QJsonArray{Piece}}})
        .toJson();
  };
  QTest::newRow("a piece running past its pack's end") << "/p.json" << InPack(0, 95, 100)
                                                       << "in the package description, a piece lies outside its pack .*packs/a.pack";
  QTest::newRow("a piece in a pack not listed") << "/p.json" << InPack(1, 0, 100)
                                                << "in the package description, a piece names pack 1, which the description does not list";
  QTest::newRow("a pack above the largest size") << "/a.json" << InPack(0, 0, 17 * 1024 * 1024)
                                                 << "in the asset description, pack 0 has no URL or a size outside 1 to 16777216 bytes";
  // A piece's dictionary must be one the description lists, each of them
  // within the bounds.
  const auto WithDictionary = [](int Dictionary, int Size, int Count) {
    const QJsonObject Piece{{"localfile", "bin/game"}, {"unpackedsize", 10}, {"unpackedhash", QString(64, '0')},
                            {"url", "c/a.zst"}, {"packedsize", 10}, {"dictionary", Dictionary}};
    QJsonArray Dictionaries;
    for (int Index = 0; Index < Count; ++Index)
      Dictionaries.append(QJsonObject{{"url", QString("d/%1.dict").arg(Index)}, {"size", Size}, {"hash", QString(64, 'a')}});
    return QJsonDocument(QJsonObject{{"version", "8"}, {"dictionaries", Dictionaries}, {"files", QJsonArray{Piece}}})
        .toJson();
  };
  QTest::newRow("a piece's dictionary not listed") << "/p.json" << WithDictionary(1, 100, 1)
                                                   << "in the package description, a piece names dictionary 1, which the description does not list";
  QTest::newRow("a dictionary above the largest size") << "/p.json" << WithDictionary(0, 1024 * 1024 + 1, 1)
                                                       << "in the package description, dictionary 0 has no URL, no SHA-256 or a size outside 1 to 1048576 bytes";
  QTest::newRow("more dictionaries than a description may list") << "/a.json" << WithDictionary(0, 100, 17)
                                                                 << "in the asset description, \"dictionaries\" is not an array of at most 16";
}

void TestConfigurationHandler::unusableDescriptionCountsAsFailed()
{
  QFETCH(QString, Path);
  QFETCH(QByteArray, Reply);
  QFETCH(QString, Reason);
  TTestHttpServer Server;
  Server.setBody("/velmetadata.json", configurationDocument("p.json", "a.json"));
  Server.setBody("/p.json", descriptionOf("7", "a"));
  Server.setBody("/a.json", descriptionOf(1, "b"));
  THandlerFixture Fixture(Server.url("/velmetadata.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(10000));
  const auto Package = Fixture.handler->configuration()->packages()[0];
  const TPackageConfigurationReader* Before = Package->currentDescription();
  QVERIFY(Before);

  // The next reply is no description: like a failed download, it leaves the
  // build with what it had, and says why.
  Server.setBody(Path, Reply, "text/html");
  if (Reason == "unparsable") {
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("JSON (package|asset) configuration file could not be parsed"));
    Reason = "(package|asset) description: ";
  }
  QTest::ignoreMessage(QtCriticalMsg,
                       QRegularExpression("^Download of package configuration/asset from configuration .*/p.json failed: "
                                          "not a usable description: " + Reason));
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(10000));
  QCOMPARE(Package->currentDescription(), Before);
  QCOMPARE(Package->currentDescription()->versionText(), QString("P7 A1"));
  QVERIFY(Fixture.handler->pendingRequests().empty());
}

void TestConfigurationHandler::hintsArePublished()
{
  TTestHttpServer Server;
  QJsonObject Document = QJsonDocument::fromJson(configurationDocument("p.json")).object();
  Document.insert("hints", Server.url("/hints.json").toString());
  Server.setBody("/velmetadata.json", QJsonDocument(Document).toJson());
  Server.setBody("/hints.json", R"([{"title": "News", "richText": "<b>Hi</b>", "category": "cat1"},
                                     {"title": "Old", "richText": "x", "displayUntil": "2001-01-01T00:00:00Z"},
                                     {"title": "Empty", "richText": ""}])");
  THandlerFixture Fixture(Server.url("/velmetadata.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QSignalSpy Hint(Fixture.handler.get(), &TLauncherConfigurationHandler::hintAreaDataReceived);
  QSignalSpy Hints(Fixture.handler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived);
  Fixture.pool->download(Fixture.handler->configuration()->hintsUrl());
  QVERIFY(Hints.wait(10000));
  QCOMPARE(Hint.count(), 1);
  QCOMPARE(Fixture.handler->currentHint().title, QString("News"));
  QCOMPARE(Fixture.handler->hints().size(), std::size_t(2));
  QCOMPARE(Fixture.handler->hints()[0].richText, QString("<style>a { color: #c0c0c0; }</style><b>Hi</b>"));
}

void TestConfigurationHandler::noPackagesFinishesAtOnce()
{
  TTestHttpServer Server;
  Server.setBody("/velmetadata.json", "{}");
  THandlerFixture Fixture(Server.url("/velmetadata.json"));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QCOMPARE(Finished.count(), 1);
}

void TestConfigurationHandler::signedDocuments_data()
{
  QTest::addColumn<QString>("Document");
  QTest::addColumn<ESignatureVariant>("Variant");
  QTest::addColumn<QString>("Reason");  // why it is refused; empty: accepted
  for (const QString& Document : QStringList{"velmetadata.json", "d/package.json", "d/assets.json"}) {
    const auto Row = [&](const char* Name, ESignatureVariant Variant, const QString& Reason) {
      QTest::addRow("%s %s", qPrintable(Document), Name) << Document << Variant << Reason;
    };
    Row("first key", ESignatureVariant::FirstKey, "");
    Row("second key", ESignatureVariant::SecondKey, "");
    Row("unsigned", ESignatureVariant::Unsigned, "no signature \\(.*/c/" + Document + ".sig.*\\)");
    Row("unknown key", ESignatureVariant::UnknownKey, "unknown key");
    Row("expired", ESignatureVariant::Expired, "expired");
    Row("malformed", ESignatureVariant::Malformed, "malformed");
    Row("replaced", ESignatureVariant::Replaced, "bad signature");
    Row("other name", ESignatureVariant::OtherName,
        QString("signed for the %1 other/%2, not for the %1 %2")
            .arg(Document == "velmetadata.json" ? "configuration"
                                                : Document.contains("asset") ? "asset description" : "package description",
                 QRegularExpression::escape(Document)));
  }
}

namespace {

shared::EDocumentRole roleOf(const QString& Document)
{
  if (Document.endsWith("velmetadata.json"))
    return shared::EDocumentRole::Configuration;
  return Document.endsWith("assets.json") ? shared::EDocumentRole::Asset : shared::EDocumentRole::Package;
}

} // namespace

// With release keys, the configuration and the descriptions count only with
// a valid signature from one of the keys; anything else is a failed
// download with the reason logged: a refused configuration makes the
// launcher use its cached one, a refused description leaves the build
// without one. The signature of a description is asked for with the
// description's own "nocache" item.
void TestConfigurationHandler::signedDocuments()
{
  QFETCH(QString, Document);
  QFETCH(ESignatureVariant, Variant);
  QFETCH(QString, Reason);
  QTemporaryDir Www;
  testsupport::writeWholeFile(Www.filePath("c/velmetadata.json"), configurationDocument("d/package.json", "d/assets.json"));
  testsupport::writeWholeFile(Www.filePath("c/d/package.json"), descriptionOf("5", "a"));
  testsupport::writeWholeFile(Www.filePath("c/d/assets.json"), descriptionOf(2, "b"));
  for (const QString& Each : QStringList{"velmetadata.json", "d/package.json", "d/assets.json"})
    testsupport::signPublished(Www.filePath("c"), Each, roleOf(Each), Each == Document ? Variant : ESignatureVariant::FirstKey);
  TTestHttpServer Server;
  Server.setRootDirectory(Www.path());
  THandlerFixture Fixture(Server.url("/c/velmetadata.json"), 10000, true, testsupport::acceptedReleaseKeys().split(", "));
  const QByteArray Cached = configurationDocument("cached.json");
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), Cached);
  testsupport::signDocument(TLauncherConfigurationHandler::cacheFilePath(), {shared::EDocumentRole::Configuration, "velmetadata.json"});
  const bool ConfigurationRefused = Document == "velmetadata.json" && !Reason.isEmpty();
  if (ConfigurationRefused)
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Download of configuration failed: Signature refused: " + Reason + "$"));

  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QCOMPARE(Fixture.handler->isOffline(), ConfigurationRefused);
  const QString Signature = TLauncherConfigurationHandler::cacheSignatureFilePath();
  if (ConfigurationRefused) {
    QCOMPARE(testsupport::readWholeFile(TLauncherConfigurationHandler::cacheFilePath()), Cached);
    return;
  }
  // The cache and the signature it was accepted with, side by side.
  QCOMPARE(testsupport::readWholeFile(TLauncherConfigurationHandler::cacheFilePath()),
           testsupport::readWholeFile(Www.filePath("c/velmetadata.json")));
  QCOMPARE(testsupport::readWholeFile(Signature), testsupport::readWholeFile(Www.filePath("c/velmetadata.json.sig")));

  const bool DescriptionRefused = !Reason.isEmpty();
  if (DescriptionRefused)
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Download of package configuration/asset from configuration "
                                                           ".*/c/" + Document + "\\?nocache=\\w+ failed: Signature refused: " +
                                                           Reason + "$"));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(10000));
  const TPackageConfigurationReader* Description = Fixture.handler->configuration()->packages()[0]->currentDescription();
  QCOMPARE(!Description, DescriptionRefused);
  if (Description)
    QCOMPARE(Description->versionText(), QString("P5 A2"));
  // A refused package description ends its build's wait before the asset
  // description's requests have ended.
  QTRY_COMPARE_WITH_TIMEOUT(Fixture.pool->outstandingDownloadCount(), std::size_t(0), 10000);
  for (const QString& Each : QStringList{"/c/d/package.json", "/c/d/assets.json"}) {
    const auto Requests = Server.requests(Each);
    const auto SignatureRequests = Server.requests(Each + ".sig");
    QCOMPARE(Requests.size(), 1);
    QCOMPARE(SignatureRequests.size(), 1);
    QCOMPARE(QUrlQuery(QUrl(QString::fromUtf8(SignatureRequests[0].target)).query()).queryItemValue("nocache"),
             QUrlQuery(QUrl(QString::fromUtf8(Requests[0].target)).query()).queryItemValue("nocache"));
  }
  QCOMPARE(Server.requests("/c/velmetadata.json.sig")[0].target, QByteArray("/c/velmetadata.json.sig"));
}

void TestConfigurationHandler::cachedConfigurationNeedsItsSignature_data()
{
  QTest::addColumn<ESignatureVariant>("Variant");
  QTest::addColumn<QString>("Reason");  // why it is not used; empty: used
  QTest::newRow("first key") << ESignatureVariant::FirstKey << "";
  QTest::newRow("second key") << ESignatureVariant::SecondKey << "";
  QTest::newRow("expired") << ESignatureVariant::Expired << "";
  QTest::newRow("unsigned") << ESignatureVariant::Unsigned << "no signature";
  QTest::newRow("unknown key") << ESignatureVariant::UnknownKey << "unknown key";
  QTest::newRow("malformed") << ESignatureVariant::Malformed << "malformed";
  QTest::newRow("replaced") << ESignatureVariant::Replaced << "bad signature";
  QTest::newRow("other name") << ESignatureVariant::OtherName
                              << "signed for the configuration other/velmetadata.json, not for the configuration "
                                 "velmetadata.json";
}

// Offline, the cached configuration is used only with a signature of one of
// the keys beside it; its expiry was checked when it was fetched and does
// not count any more. Without a usable cache the launcher has no
// configuration.
void TestConfigurationHandler::cachedConfigurationNeedsItsSignature()
{
  QFETCH(ESignatureVariant, Variant);
  QFETCH(QString, Reason);
  THandlerFixture Fixture(QUrl("http://127.0.0.1:1/velmetadata.json"), 10000, false,
                          testsupport::acceptedReleaseKeys().split(", "));
  testsupport::writeWholeFile(TLauncherConfigurationHandler::cacheFilePath(), configurationDocument("cached.json"));
  testsupport::signDocument(TLauncherConfigurationHandler::cacheFilePath(), {shared::EDocumentRole::Configuration, "velmetadata.json"},
                            Variant);
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  QSignalSpy Failed(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
  QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Download of configuration failed: "));
  if (!Reason.isEmpty())
    QTest::ignoreMessage(QtCriticalMsg, qPrintable("Cached configuration not used: signature refused: " + Reason));
  Fixture.handler->startConfigurationDownload();
  QVERIFY(QTest::qWaitFor([&] { return Loaded.count() + Failed.count() > 0; }, 10000));
  QCOMPARE(Loaded.count(), Reason.isEmpty() ? 1 : 0);
  QCOMPARE(Failed.count(), Reason.isEmpty() ? 0 : 1);
  QCOMPARE(bool(Fixture.handler->configuration()), Reason.isEmpty());
}

// The pool is shared: a reply for a description's URL that someone else
// asked for, while the build still waits for its asset description, does
// not replace the signed description the build holds.
void TestConfigurationHandler::unsignedReplyOfASignedUrlIsDropped()
{
  QTemporaryDir Www;
  testsupport::writeWholeFile(Www.filePath("velmetadata.json"), configurationDocument("package.json", "assets.json"));
  testsupport::writeWholeFile(Www.filePath("package.json"), descriptionOf("5", "a"));
  testsupport::writeWholeFile(Www.filePath("assets.json"), descriptionOf(2, "b"));
  for (const QString& Each : QStringList{"velmetadata.json", "package.json", "assets.json"})
    testsupport::signPublished(Www.path(), Each, roleOf(Each));
  TTestHttpServer Server;
  Server.setRootDirectory(Www.path());
  Server.setFault("/assets.json", TTestHttpServer::TFault::trickle(8, 500));
  THandlerFixture Fixture(Server.url("/velmetadata.json"), 10000, false, testsupport::acceptedReleaseKeys().split(", "));
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QTRY_VERIFY_WITH_TIMEOUT(!Fixture.handler->pendingRequests().at(0).packageDescriptionData.isEmpty(), 10000);
  Server.setBody("/package.json", descriptionOf("6", "a"));
  Fixture.pool->download(Server.url("/package.json"));
  QTRY_COMPARE_WITH_TIMEOUT(Server.requestCount("/package.json"), 2, 10000);
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Fixture.handler->configuration()->packages()[0]->currentDescription()->versionText(), QString("P5 A2"));
}

namespace {

// What the server publishes as the compressed copy of a description.
enum class ECompressedCopy
{
  Good,
  CutOff,           // its last bytes missing
  FlippedByte,      // one byte of its payload changed
  DeclaresTooMuch,  // a header declaring more than a description may have
  Missing,          // not found
  OfAnother,        // the copy of another description
  NamedAsItself,    // the configuration names the description as its own copy
  // With a description installed: the delta copy against it,
  Delta,
  DeltaDamaged,         // one byte of it changed
  DeltaMissing,         // none on the server
};

} // namespace

Q_DECLARE_METATYPE(ECompressedCopy)

void TestConfigurationHandler::compressedDescriptions_data()
{
  QTest::addColumn<ECompressedCopy>("Copy");
  QTest::addColumn<bool>("Signed");
  QTest::addColumn<QString>("Fallback");  // why the description itself is fetched; empty: it is not
  QTest::newRow("good") << ECompressedCopy::Good << false << "";
  QTest::newRow("good, signed") << ECompressedCopy::Good << true << "";
  QTest::newRow("cut off") << ECompressedCopy::CutOff << false << "Compressed copy not usable: not a payload container";
  QTest::newRow("cut off, signed") << ECompressedCopy::CutOff << true
                                   << "Compressed copy not usable: not a payload container";
  QTest::newRow("flipped byte") << ECompressedCopy::FlippedByte << false << "Compressed copy not usable: does not decode";
  QTest::newRow("declares too much") << ECompressedCopy::DeclaresTooMuch << false
                                     << QString("Compressed copy not usable: declares %1 bytes")
                                            .arg(shared::MaxDescriptionBytes + 1);
  QTest::newRow("missing") << ECompressedCopy::Missing << false << "Error transferring";
  QTest::newRow("another description's, signed") << ECompressedCopy::OfAnother << true
                                                 << "Signature refused: bad signature";
  QTest::newRow("named as itself") << ECompressedCopy::NamedAsItself << false << "";
  // An installation fetches the delta copy against its description first,
  // and the compressed copy when the delta cannot be had.
  QTest::newRow("delta, signed") << ECompressedCopy::Delta << true << "";
  QTest::newRow("damaged delta")
      << ECompressedCopy::DeltaDamaged << false << "Compressed copy not usable: does not decode against the installed description";
  QTest::newRow("delta missing") << ECompressedCopy::DeltaMissing << false << "Error transferring";
}

// A description larger than the documents of old (16 MiB) is fetched
// through its compressed copy where the configuration names one: decoded,
// the copy is the description its signature vouches for. A copy that cannot
// be fetched, decoded or accepted is passed over for the description
// itself; nothing is refused.
void TestConfigurationHandler::compressedDescriptions()
{
  QFETCH(ECompressedCopy, Copy);
  QFETCH(bool, Signed);
  QFETCH(QString, Fallback);
  QTemporaryDir Www;
  QJsonObject Configuration = QJsonDocument::fromJson(configurationDocument("d/package.json")).object();
  QJsonArray Packages = Configuration.value("packages").toArray();
  QJsonObject Game = Packages[0].toObject();
  QJsonArray Builds = Game.value("builds").toArray();
  QJsonObject Build = Builds[0].toObject();
  Build.insert("compressedurl", Copy == ECompressedCopy::NamedAsItself ? "d/package.json" : "d/package.json.zst");
  Builds[0] = Build;
  Game.insert("builds", Builds);
  Packages[0] = Game;
  Configuration.insert("packages", Packages);
  testsupport::writeWholeFile(Www.filePath("c/velmetadata.json"), QJsonDocument(Configuration).toJson());
  const auto Padded = [](const QByteArray& Description) {
    return Description + QByteArray(17 * 1024 * 1024, ' ');
  };
  const QByteArray Description = Padded(descriptionOf("5", "a"));
  testsupport::writeWholeFile(Www.filePath("c/d/package.json"), Description);
  QByteArray Compressed = shared::packDescription(Copy == ECompressedCopy::OfAnother ? Padded(descriptionOf("6", "a"))
                                                                                     : Description);
  QVERIFY(!Compressed.isEmpty());
  if (Copy == ECompressedCopy::CutOff)
    Compressed.chop(16);
  if (Copy == ECompressedCopy::FlippedByte)
    Compressed[Compressed.size() / 2] = char(Compressed[Compressed.size() / 2] ^ 0x01);
  if (Copy == ECompressedCopy::DeclaresTooMuch)
    Compressed = shared::containerAround(shared::EPayloadFormat::Zstd, shared::MaxDescriptionBytes + 1,
                                         Compressed.mid(Compressed.size() - 64));
  if (Copy != ECompressedCopy::Missing)
    testsupport::writeWholeFile(Www.filePath("c/d/package.json.zst"), Compressed);
  const bool WithDelta =
      Copy == ECompressedCopy::Delta || Copy == ECompressedCopy::DeltaDamaged || Copy == ECompressedCopy::DeltaMissing;
  const QByteArray Installed = descriptionOf("4", "a");
  const QString DeltaPath = "c/d/" + shared::deltaDescriptionName("package.json", Installed);
  if (Copy == ECompressedCopy::Delta || Copy == ECompressedCopy::DeltaDamaged) {
    QByteArray Delta = shared::packDescriptionDelta(Description, Installed);
    QVERIFY(!Delta.isEmpty());
    if (Copy == ECompressedCopy::DeltaDamaged)
      Delta[Delta.size() / 2] = char(Delta[Delta.size() / 2] ^ 0x01);
    testsupport::writeWholeFile(Www.filePath(DeltaPath), Delta);
  }
  if (Signed) {
    testsupport::signPublished(Www.filePath("c"), "velmetadata.json", shared::EDocumentRole::Configuration);
    testsupport::signPublished(Www.filePath("c"), "d/package.json", shared::EDocumentRole::Package);
  }
  TTestHttpServer Server;
  Server.setRootDirectory(Www.path());
  THandlerFixture Fixture(Server.url("/c/velmetadata.json"), 10000, false,
                          Signed ? testsupport::acceptedReleaseKeys().split(", ") : QStringList());
  QSignalSpy Loaded(Fixture.handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
  Fixture.handler->startConfigurationDownload();
  QVERIFY(Loaded.wait(10000));
  if (WithDelta) {
    const QDir Installation =
        Fixture.handler->configuration()->packages()[0]->installationDirectory(*Fixture.helper);
    testsupport::writeWholeFile(Installation.filePath("package.json"), Installed);
  }
  if (!Fallback.isEmpty())
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("^Compressed description .*/c/d/package.json" +
                                            QString(WithDelta ? "\\.from-[0-9a-f]{16}" : "") + ".zst not used: " +
                                            QRegularExpression::escape(Fallback) + ".*; fetching .*/c/d/package.json" +
                                            QString(WithDelta ? ".zst" : "") + "$"));
  QSignalSpy Finished(Fixture.handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
  Fixture.handler->requestPackageConfigurations();
  QVERIFY(Finished.wait(20000));
  const TPackageConfigurationReader* Got = Fixture.handler->configuration()->packages()[0]->currentDescription();
  QVERIFY(Got);
  QCOMPARE(Got->versionText(), QString("P5 A?"));
  QCOMPARE(Got->packageData(), Description);
  QVERIFY(Fixture.handler->refusedDocuments().empty());
  const bool CopyAskedFor = Copy != ECompressedCopy::NamedAsItself && Copy != ECompressedCopy::Delta;
  QCOMPARE(Server.requestCount("/" + DeltaPath), WithDelta ? 1 : 0);
  QCOMPARE(Server.requestCount("/c/d/package.json.zst"), CopyAskedFor ? 1 : 0);
  QCOMPARE(Server.requestCount("/c/d/package.json"),
           (Fallback.isEmpty() || WithDelta) && Copy != ECompressedCopy::NamedAsItself ? 0 : 1);
  // The copy has no signature of its own: the description's vouches for it.
  QCOMPARE(Server.requestCount("/c/d/package.json.zst.sig"), 0);
  QCOMPARE(Server.requestCount("/c/d/package.json.sig") > 0, Signed);
}

QTEST_GUILESS_MAIN(TestConfigurationHandler)
#include "test_configurationhandler.moc"
