// The update engine end to end: builds published with the publisher, served
// by nginx or by the fault-injecting test server, installed and updated
// through the real scanner, downloader and verification.

#include "engine/installationmanager.h"
#include "publisher.h"

#include "enginefixture.h"
#include "shared/payload.h"
#include "releasesigning.h"
#include "gamebuild.h"
#include "nginxserver.h"
#include "shared/byteranges.h"
#include "testhttpserver.h"
#include "testsupport.h"
#include "logcapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvale::launcher;

Q_DECLARE_METATYPE(testsupport::TTestHttpServer::TFault)

namespace {

using testsupport::TEngineFixture;
const QSet<QString>& MarkerFiles = testsupport::InstallationMarkerFiles;

bool publish(const QString& Input, const QString& Output, const QString& Version)
{
  return testsupport::publishFolder(Input, Output, Version);
}

// The URL path of one chunk file of a published description, chosen from
// the chunk list.
QString chunkPath(const QByteArray& Description, int Index)
{
  return QJsonDocument::fromJson(Description).object().value("chunks").toArray().at(Index).toObject().value("url").toString();
}

} // namespace

class TestEngine : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void installAndUpdateThroughNginx();
  void updateFallsBackToWholeChunks_data();
  void updateFallsBackToWholeChunks();
  void publisherIsDeterministic();
  void chunkFailingThreeTimesThenSucceeding();
  void chunkAlwaysFailing();
  void chunkLargerThanItsPackedSize_data();
  void chunkLargerThanItsPackedSize();
  void chunkWithWrongContent();
  void undecodableContainer_data();
  void undecodableContainer();
  void targetThatCannotBeWritten();
  void outOfOrderChunksWithoutMemoryCache();
  void abandonedUpdateLeavesNoStrayFiles();

private:
  QTemporaryDir m_Work;
  QString m_BuildV1;
  QString m_PublishedV1;
  QByteArray m_DescriptionV1;
  QString m_BuildV2;
  QByteArray m_DescriptionV2;
};

void TestEngine::initTestCase()
{
  m_BuildV1 = m_Work.filePath("build-v1");
  testsupport::writeGameBuildV1(m_BuildV1, 20);
  m_PublishedV1 = m_Work.filePath("www/v1");
  QVERIFY(publish(m_BuildV1, m_PublishedV1, "1.0"));
  m_DescriptionV1 = testsupport::readWholeFile(m_PublishedV1 + "/package.json");
  m_BuildV2 = m_Work.filePath("build-v2");
  QVERIFY(QProcess::execute("cp", {"-a", m_BuildV1, m_BuildV2}) == 0);
  testsupport::changeGameBuildToV2(m_BuildV2);
  QVERIFY(publish(m_BuildV2, m_Work.filePath("www/v2"), "2.0"));
  m_DescriptionV2 = testsupport::readWholeFile(m_Work.filePath("www/v2/package.json"));
}

void TestEngine::installAndUpdateThroughNginx()
{
  QVERIFY(testsupport::TNginxServer::isAvailable());
  const QString& BuildV2 = m_BuildV2;
  const QByteArray& DescriptionV2 = m_DescriptionV2;

  testsupport::TNginxServer Nginx(m_Work.filePath("www"));
  TEngineFixture Fixture;

  // Fresh installation into an empty folder.
  // The publisher's default choice packs the text-like pieces with zstd,
  // in blocks: installed whole here, and by blocks in the update.
  QVERIFY(m_DescriptionV1.contains(".zst\""));
  QVERIFY(m_DescriptionV2.contains(".zst\""));
  const auto V1 = Fixture.configuration(Nginx.url("/v1/package.json"), m_DescriptionV1);
  const auto First = Fixture.install(V1);
  QCOMPARE(First.finishedSignals, 1);
  QCOMPARE(First.allFinishedSignals, 1);
  QCOMPARE(First.downloadedSignals, 1);
  QCOMPARE(First.verifiedSignals, 1);
  QCOMPARE(First.errorReason, NoDownloaderError);
  QCOMPARE(First.status, ELocalPackageStatus::UpToDate);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), MarkerFiles),
           testsupport::describeTree(m_BuildV1));
  QVERIFY(QFile::exists(Fixture.installationDirectory() + "/package.json"));
  QVERIFY(!QFile::exists(Fixture.installationDirectory() + "/partial-package.json"));
  // Every pack is wanted whole: exactly the pieces' bytes.
  QTRY_COMPARE(Nginx.bodyBytesServed("/v1/chunks/") + Nginx.bodyBytesServed("/v1/packs/"),
               testsupport::fullDownloadSize(m_DescriptionV1));

  // Update to version 2: only what the old installation lacks is fetched.
  // Two downloads at a time: the chunks fetched whole while the blocks at
  // hand are taken wait to be written in one place and leave the other to
  // the indexes and ranges.
  Fixture.settings().maxConcurrentDownloads = 2;
  const auto V2 = Fixture.configuration(Nginx.url("/v2/package.json"), DescriptionV2);
  {
    TInstallationManager Manager(V2, Fixture.helper);
    QCOMPARE(V2->packages()[0]->localStatus(), ELocalPackageStatus::UpdateAvailable);
  }
  testsupport::TLogCapture Log;
  const auto Second = Fixture.install(V2);
  // The blocks at hand were read off the GUI thread, shown as scanning.
  const QStringList Reads = Log.lines().filter("blocks at hand of");
  QVERIFY(!Reads.isEmpty());
  const QString GuiThread = QString(" Thread: 0x%1").arg(quintptr(QThread::currentThreadId()), 0, 16);
  QVERIFY(std::none_of(Reads.begin(), Reads.end(), [&](const QString& Line) { return Line.endsWith(GuiThread); }));
  QVERIFY(Second.oldBlockScanReports >= Reads.size());
  QCOMPARE(Second.finishedSignals, 1);
  QCOMPARE(Second.errorReason, NoDownloaderError);
  QCOMPARE(Second.status, ELocalPackageStatus::UpToDate);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), MarkerFiles), testsupport::describeTree(BuildV2));
  const qint64 Floor = testsupport::updateDownloadFloor(m_DescriptionV1, DescriptionV2);
  qInfo() << "update floor" << Floor << "of" << testsupport::fullDownloadSize(DescriptionV2);
  QVERIFY(Floor > 0);
  QVERIFY(Floor < testsupport::fullDownloadSize(DescriptionV2) * 2 / 3);
  // Most of the changed chunks are made of blocks of the old data (what
  // exactly is fetched is compared with the publisher's cost elsewhere).
  QTRY_VERIFY(Nginx.requestCount("/v2/") > 0);
  QVERIFY2(Nginx.bodyBytesServed("/v2/") < Floor / 2, qPrintable(QString::number(Nginx.bodyBytesServed("/v2/"))));

  // Running it again changes nothing and downloads nothing.
  const qint64 Before = Nginx.bodyBytesServed();
  const auto Third = Fixture.install(V2);
  QCOMPARE(Third.errorReason, NoDownloaderError);
  QCOMPARE(Third.status, ELocalPackageStatus::UpToDate);
  QTest::qWait(300);
  QCOMPARE(Nginx.bodyBytesServed(), Before);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), MarkerFiles), testsupport::describeTree(BuildV2));
}

void TestEngine::updateFallsBackToWholeChunks_data()
{
  QTest::addColumn<QString>("Variant");
  QTest::newRow("description without block keys") << "plain";
  QTest::newRow("damaged block indexes") << "damaged";
  QTest::newRow("corrupt bytes in the ranges") << "corrupt";
  QTest::newRow("server that ignores ranges") << "ignored";
  QTest::newRow("release keys") << "signed";
}

// Whatever keeps a missing chunk from being made of blocks, it is fetched
// whole and the update ends with the new build.
void TestEngine::updateFallsBackToWholeChunks()
{
  QFETCH(QString, Variant);
  const QString Www = m_Work.filePath("fallback-" + Variant);
  QDir().mkpath(Www);
  QCOMPARE(QProcess::execute("cp", {"-a", m_PublishedV1, m_Work.filePath("www/v2"), Www}), 0);
  QByteArray Description = m_DescriptionV2;
  if (Variant == "signed") {
    // A text region changed as well: a Deflate chunk that offers blocks is missing.
    const QString Build = m_Work.filePath("build-v2-text");
    QCOMPARE(QProcess::execute("cp", {"-a", m_BuildV2, Build}), 0);
    QByteArray Dialogue = testsupport::readWholeFile(Build + "/data/dialogue.txt");
    Dialogue.replace(Dialogue.size() / 2, 65536, testsupport::textBytes(65536, 205));
    testsupport::writeWholeFile(Build + "/data/dialogue.txt", Dialogue);
    QVERIFY(publish(Build, Www + "/v2", "2.1"));
    Description = testsupport::readWholeFile(Www + "/v2/package.json");
  }
  QJsonObject Root = QJsonDocument::fromJson(Description).object();
  QJsonArray Chunks = Root.value("chunks").toArray();
  if (Variant == "plain") {
    for (int Index = 0; Index < Chunks.size(); ++Index) {
      QJsonObject Chunk = Chunks.at(Index).toObject();
      for (const char* Key : {"blockindex", "blockindexsize", "blockindexhash"})
        Chunk.remove(Key);
      Chunks.replace(Index, Chunk);
    }
    Root.insert("chunks", Chunks);
    Description = QJsonDocument(Root).toJson();
    testsupport::writeWholeFile(Www + "/v2/package.json", Description);
  }
  // Index files damaged, or chunk files whose ranges (only) are corrupt.
  const QString RangeRoot = Variant == "corrupt" ? Www + "-ranges" : QString();
  if (!RangeRoot.isEmpty())
    QCOMPARE(QProcess::execute("cp", {"-a", Www, RangeRoot}), 0);
  for (const QJsonValue& Value : Chunks) {
    const QJsonObject Chunk = Value.toObject();
    QString Path;
    if (Variant == "damaged" && Chunk.contains("blockindex"))
      Path = Www + "/v2/" + Chunk.value("blockindex").toString();
    else if (Variant == "corrupt" && Chunk.contains("blockindex"))
      Path = RangeRoot + "/v2/" + Chunk.value("url").toString();
    if (Path.isEmpty())
      continue;
    QByteArray Content = testsupport::readWholeFile(Path);
    for (int Offset = 0; Offset < Content.size(); Offset += 4096)
      Content[Offset] = char(Content[Offset] ^ 0x20);
    testsupport::writeWholeFile(Path, Content);
  }

  std::unique_ptr<testsupport::TNginxServer> Nginx;
  testsupport::TTestHttpServer Plain;  // knows nothing of ranges
  Plain.setRootDirectory(Www);
  if (Variant != "ignored")
    Nginx = std::make_unique<testsupport::TNginxServer>(Www, RangeRoot);
  const auto Url = [&](const QString& Path) { return Nginx ? Nginx->url(Path) : Plain.url(Path); };
  TEngineFixture Fixture;
  if (Variant == "signed")
    Fixture.settings().releaseKeys = testsupport::acceptedReleaseKeys().split(", ");
  QCOMPARE(Fixture.install(Fixture.configuration(Url("/v1/package.json"), m_DescriptionV1)).status,
           ELocalPackageStatus::UpToDate);
  const auto Run = Fixture.install(Fixture.configuration(Url("/v2/package.json"), Description));
  QCOMPARE(Run.errorReason, NoDownloaderError);
  QCOMPARE(Run.status, ELocalPackageStatus::UpToDate);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), MarkerFiles),
           testsupport::describeTree(Variant == "signed" ? m_Work.filePath("build-v2-text") : m_BuildV2));

  // Each missing chunk file came whole once: from the plain server in
  // answer to its range request, else by an ordinary request.
  const qint64 Floor = testsupport::updateDownloadFloor(m_DescriptionV1, Description);
  if (!Nginx) {
    QStringList Asked;
    for (const auto& Request : Plain.requests())
      if (Request.headers.contains("range"))
        Asked << Request.path;
    QVERIFY(!Asked.isEmpty());
    for (const QString& Path : Asked)
      QCOMPARE(Plain.requestCount(Path), 1);
    return;
  }
  // Whole chunk files, index files and range answers as nginx logs them
  // (a line may come a moment after the answer).
  // Pieces of packs come by their ranges: the pack answers are counted
  // with them, up to the gaps bridged and the parts' headers.
  int PackRequests = 0;
  const auto Count = [&] {
    std::array<qint64, 3> Counts{0, 0, 0};
    PackRequests = 0;
    for (const auto& Entry : Nginx->accessLog()) {
      if (Entry.path.startsWith("/v2/packs/")) {
        Counts[0] += Entry.bodyBytes;
        PackRequests += 1;
      }
      if (!Entry.path.startsWith("/v2/chunks/"))
        continue;
      if (Entry.path.endsWith(".blocks"))
        Counts[1] += 1;
      else if (Entry.status == 206)
        Counts[2] += 1;
      else if (Entry.status == 200)
        Counts[0] += Entry.bodyBytes;
    }
    return Counts;
  };
  if (Variant == "signed") {
    // With keys no decoder sees a range: packed (zstd or Deflate) chunk
    // files come whole, stored ones may still come by their ranges (checked
    // as they are).
    QTRY_VERIFY(Count()[0] > 0);
    const auto Packed = [](const QString& Path) { return Path.endsWith(".zst") || Path.endsWith(".deflate"); };
    int WholePacked = 0;
    for (const auto& Entry : Nginx->accessLog()) {
      QVERIFY2(!(Entry.status == 206 && Packed(Entry.path)), qPrintable(Entry.path));
      WholePacked += Entry.status == 200 && Entry.path.startsWith("/v2/chunks/") && Packed(Entry.path);
    }
    QVERIFY(WholePacked > 0);
    return;
  }
  QTRY_VERIFY(Count()[0] >= Floor);
  const qint64 Slack = qint64(PackRequests) * qint64(shared::kMaxPackRangesPerRequest) *
                       qint64(shared::kPackBridgeGapBytes + 256);
  QVERIFY2(Count()[0] <= Floor + Slack, qPrintable(QString("%1 > %2 + %3").arg(Count()[0]).arg(Floor).arg(Slack)));
  QCOMPARE(Count()[1] > 0, Variant != "plain");
  QCOMPARE(Count()[2] > 0, Variant == "corrupt");
}

void TestEngine::publisherIsDeterministic()
{
  const QString Again = m_Work.filePath("again");
  QVERIFY(publish(m_BuildV1, Again, "1.0"));
  QCOMPARE(testsupport::describeTree(Again), testsupport::describeTree(m_PublishedV1));
  // Publishing into the same folder again writes nothing new.
  orvale::publisher::TPublishOptions Options;
  Options.inputDirectory = m_BuildV1;
  Options.outputDirectory = Again;
  Options.version = "1.0";
  Options.executable = "bin/client";
  orvale::publisher::TPublishReport Report;
  QString Error;
  QVERIFY(orvale::publisher::publishBuild(Options, Report, Error));
  QCOMPARE(Report.chunkFilesWritten, 0);
  QVERIFY(Report.chunkFilesReused > 0);
  // Chunk files already there are kept as they are, not compressed again:
  // another level gives the same description (it would change the packed
  // hashes otherwise).
  const auto Reused = Report.chunkFilesReused;
  Options.packing.lzmaPreset = 7;
  Options.packing.deflateLevel = 1;
  Options.packing.zstdLevel = 3;
  Report = {};
  QVERIFY(orvale::publisher::publishBuild(Options, Report, Error));
  QCOMPARE(Report.chunkFilesWritten, 0);
  QCOMPARE(Report.chunkFilesReused, Reused);
  QCOMPARE(testsupport::describeTree(Again), testsupport::describeTree(m_PublishedV1));
  // A damaged chunk file is not reused: it is written again.
  const QString Damaged = Again + "/" + chunkPath(m_DescriptionV1, 0);
  QByteArray Content = testsupport::readWholeFile(Damaged);
  Content[Content.size() / 2] = char(Content[Content.size() / 2] ^ 0x40);
  testsupport::writeWholeFile(Damaged, Content);
  Options.packing = {};
  Report = {};
  QVERIFY(orvale::publisher::publishBuild(Options, Report, Error));
  QCOMPARE(Report.chunkFilesWritten, 1);
  QCOMPARE(testsupport::describeTree(Again), testsupport::describeTree(m_PublishedV1));
  // Bad input is refused with a message.
  Options.executable = "bin/missing";
  QVERIFY(!orvale::publisher::publishBuild(Options, Report, Error));
  QVERIFY(Error.contains("bin/missing"));
  Options.executable = "bin/client";
  Options.packing.codec = orvale::publisher::ECodec::Zstd;
  Options.packing.codecs = orvale::publisher::TCodecSet::compatible();
  QVERIFY(!orvale::publisher::publishBuild(Options, Report, Error));
  QVERIFY(Error.contains("zstd"));
  Options.packing = {};
  Options.executable.clear();
  Options.outputDirectory = m_BuildV1 + "/out";
  QVERIFY(!orvale::publisher::publishBuild(Options, Report, Error));
  // So is a build with a name at its root that the launcher keeps for its
  // own files (a web front end's package.json), also as a folder; deeper
  // down such names are game files like any other.
  Options.outputDirectory = m_Work.filePath("reserved-out");
  for (const QString Name : {"package.json", "FORCE_PATCH/readme.txt", ".ashgrove-update"}) {
    const QString Build = m_Work.filePath("reserved-" + QString(Name).replace('/', '-'));
    testsupport::writeWholeFile(Build + "/web/package.json", "{}");
    testsupport::writeWholeFile(Build + "/" + Name, "{}");
    Options.inputDirectory = Build;
    Error.clear();
    QVERIFY(!orvale::publisher::publishBuild(Options, Report, Error));
    QVERIFY2(Error.contains(QString("'%1' at its root").arg(Name.section('/', 0, 0))), qPrintable(Error));
    QFile::remove(Build + "/" + Name);
    Error.clear();
    QVERIFY2(orvale::publisher::publishBuild(Options, Report, Error), qPrintable(Error));
  }
}

void TestEngine::chunkFailingThreeTimesThenSucceeding()
{
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_PublishedV1);
  const QString Path = "/" + chunkPath(m_DescriptionV1, 0);
  Server.setFault(Path, testsupport::TTestHttpServer::TFault::status(500).firstRequests(3));
  TEngineFixture Fixture;
  const auto Run = Fixture.install(Fixture.configuration(Server.url("/package.json"), m_DescriptionV1));
  QCOMPARE(Run.finishedSignals, 1);
  QCOMPARE(Run.errorReason, NoDownloaderError);
  QCOMPARE(Run.status, ELocalPackageStatus::UpToDate);
  QCOMPARE(Server.requestCount(Path), 4);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), MarkerFiles), testsupport::describeTree(m_BuildV1));
}

void TestEngine::chunkAlwaysFailing()
{
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_PublishedV1);
  const QString Path = "/" + chunkPath(m_DescriptionV1, 1);
  Server.setFault(Path, testsupport::TTestHttpServer::TFault::status(503));
  // Another chunk is cut off in the middle of its body every time.
  const QString ResetPath = "/" + chunkPath(m_DescriptionV1, 0);
  Server.setFault(ResetPath, testsupport::TTestHttpServer::TFault::resetAfter(1000));
  TEngineFixture Fixture;
  const auto Run = Fixture.install(Fixture.configuration(Server.url("/package.json"), m_DescriptionV1));
  QCOMPARE(Run.finishedSignals, 1);
  QCOMPARE(Run.allFinishedSignals, 1);
  QCOMPARE(Run.errorReason, DownloadFailed);
  QCOMPARE(Run.status, ELocalPackageStatus::PartiallyInstalled);
  QCOMPARE(Run.downloadedSignals, 0);
  QCOMPARE(Run.verifiedSignals, 0);
  QCOMPARE(Server.requestCount(Path), 4);
  // The network layer itself may send a request again on a connection that
  // was reset; the launcher asks four times.
  QVERIFY(Server.requestCount(ResetPath) >= 4);
  QVERIFY(!QFile::exists(Fixture.installationDirectory() + "/package.json"));
  QVERIFY(QFile::exists(Fixture.installationDirectory() + "/partial-package.json"));
}

void TestEngine::chunkLargerThanItsPackedSize_data()
{
  using TFault = testsupport::TTestHttpServer::TFault;
  QTest::addColumn<TFault>("Fault");
  QTest::addColumn<bool>("TrailingByte");
  QTest::addColumn<QString>("Reason");
  QTest::newRow("endless") << TFault::endlessBody() << false << "Body is larger than the %1 bytes allowed";
  QTest::newRow("3 GB announced") << TFault::generatedBody(3000000000) << false
                                  << "Body of 3000000000 bytes is larger than the %1 bytes allowed";
  QTest::newRow("one byte more") << TFault() << true << "Body of %2 bytes is larger than the %1 bytes allowed";
}

// A reply that announces or brings more than the chunk's packed size is cut
// off at once and never decoded; every attempt fails that way.
void TestEngine::chunkLargerThanItsPackedSize()
{
  QFETCH(testsupport::TTestHttpServer::TFault, Fault);
  QFETCH(bool, TrailingByte);
  QFETCH(QString, Reason);
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_PublishedV1);
  const QString Path = "/" + chunkPath(m_DescriptionV1, 2);
  const QByteArray Packed = testsupport::readWholeFile(m_PublishedV1 + Path);
  Server.setFault(Path, Fault);
  if (TrailingByte)
    Server.setBody(Path, Packed + "x");
  testsupport::TLogCapture Log;
  TEngineFixture Fixture;
  const auto Run = Fixture.install(Fixture.configuration(Server.url("/package.json"), m_DescriptionV1));
  QCOMPARE(Run.errorReason, DownloadFailed);
  QCOMPARE(Run.status, ELocalPackageStatus::PartiallyInstalled);
  const QString Url = Server.url(Path).toString();
  QCOMPARE(Log.count(QString("Download of %1 failed: ").arg(Url) + Reason.arg(Packed.size()).arg(Packed.size() + 1)), 1);
  QCOMPARE(Log.lines().filter("processDownloadedData").filter(Url).size(), 0);
  QVERIFY(Server.requestCount(Path) <= 4);
  // At most the packed size and what the connection buffered, per attempt.
  QVERIFY2(Server.bodyBytesSent(Path) < 4 * (Packed.size() + 32 * 1024 * 1024),
           qPrintable(QString::number(Server.bodyBytesSent(Path))));
}

void TestEngine::chunkWithWrongContent()
{
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_PublishedV1);
  const QString Path = "/" + chunkPath(m_DescriptionV1, 0);
  Server.setBody(Path, testsupport::pseudoRandomBytes(5000, 1));
  TEngineFixture Fixture;
  const auto Run = Fixture.install(Fixture.configuration(Server.url("/package.json"), m_DescriptionV1));
  QCOMPARE(Run.finishedSignals, 1);
  QCOMPARE(Run.errorReason, DownloadFailed);
  QCOMPARE(Run.status, ELocalPackageStatus::PartiallyInstalled);
  QCOMPARE(Run.downloadedSignals, 0);
  QCOMPARE(Run.verifiedSignals, 0);
  QCOMPARE(Server.requestCount(Path), 4);
}

void TestEngine::undecodableContainer_data()
{
  QTest::addColumn<bool>("Repacked");  // the right content, packed otherwise; else not decodable
  QTest::addColumn<bool>("Signed");    // release keys set
  QTest::addColumn<int>("Requests");   // 0: the installation succeeds
  QTest::newRow("undecodable") << false << false << 1;  // no retry for undecodable data
  QTest::newRow("undecodable, with keys") << false << true << 4;
  QTest::newRow("repacked") << true << false << 0;
  QTest::newRow("repacked, with keys") << true << true << 4;
}

// A chunk that the publisher compressed, served as another container: with
// release keys its bytes are checked against the packed hash before any
// decoder sees them, and a mismatch is retried like damaged data; without
// keys it is decoded and only its content is checked.
void TestEngine::undecodableContainer()
{
  QFETCH(bool, Repacked);
  QFETCH(bool, Signed);
  QFETCH(int, Requests);
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_PublishedV1);
  const QJsonArray Chunks = QJsonDocument::fromJson(m_DescriptionV1).object().value("chunks").toArray();
  QString Path;
  for (const QJsonValue& Chunk : Chunks) {
    if (Chunk.toObject().value("unpack").toBool())
      Path = "/" + Chunk.toObject().value("url").toString();
  }
  QVERIFY(!Path.isEmpty());
  const QByteArray Published = testsupport::readWholeFile(m_PublishedV1 + Path);
  QByteArray Body = Repacked ? QByteArray() : QByteArray("\x70\x07\x05\x05" "abcde", 9);
  QByteArray Content;
  QVERIFY(shared::unpackPayload(Published, Content));
  // Packed at another level: other bytes, within the packed size.
  for (int Level = 9; Level >= 1 && (Body.isEmpty() || Body.size() > Published.size() || Body == Published); --Level)
    Body = shared::packPayload(shared::EPayloadFormat::Deflate, Content.constData(), std::size_t(Content.size()), Level);
  QVERIFY(Body.size() <= Published.size() && Body != Published);
  Server.setBody(Path, Body);
  TEngineFixture Fixture;
  if (Signed)
    Fixture.settings().releaseKeys = testsupport::acceptedReleaseKeys().split(", ");
  const auto Run = Fixture.install(Fixture.configuration(Server.url("/package.json"), m_DescriptionV1));
  QCOMPARE(Run.finishedSignals, 1);
  QCOMPARE(Run.errorReason, Requests == 0 ? NoDownloaderError : DownloadFailed);
  QCOMPARE(Run.status, Requests == 0 ? ELocalPackageStatus::UpToDate : ELocalPackageStatus::PartiallyInstalled);
  if (Requests > 0)
    QCOMPARE(Server.requestCount(Path), Requests);
}

void TestEngine::targetThatCannotBeWritten()
{
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_PublishedV1);
  TEngineFixture Fixture;
  // A plain file where the installation needs a folder.
  testsupport::writeWholeFile(Fixture.installationDirectory() + "/data", "in the way");
  const auto Run = Fixture.install(Fixture.configuration(Server.url("/package.json"), m_DescriptionV1));
  QCOMPARE(Run.finishedSignals, 1);
  QCOMPARE(Run.allFinishedSignals, 1);
  QCOMPARE(Run.errorReason, SaveFailed);
  QCOMPARE(Run.status, ELocalPackageStatus::PartiallyInstalled);
  QVERIFY(!QFile::exists(Fixture.installationDirectory() + "/package.json"));
}

void TestEngine::outOfOrderChunksWithoutMemoryCache()
{
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_PublishedV1);
  // The first chunk of every large file arrives last.
  const QJsonObject Root = QJsonDocument::fromJson(m_DescriptionV1).object();
  for (const QJsonValue& File : Root.value("files").toArray()) {
    const QJsonArray Indices = File.toObject().value("chunks").toArray();
    if (Indices.size() >= 2)
      Server.setFault("/" + chunkPath(m_DescriptionV1, Indices.at(0).toInt()),
                      testsupport::TTestHttpServer::TFault::trickle(1024 * 1024, 150));
  }
  TEngineFixture Fixture;
  Fixture.settings().maxCachedChunks = 0;
  Fixture.settings().maxConcurrentDownloads = 10;
  const auto Run = Fixture.install(Fixture.configuration(Server.url("/package.json"), m_DescriptionV1));
  QCOMPARE(Run.errorReason, NoDownloaderError);
  QCOMPARE(Run.status, ELocalPackageStatus::UpToDate);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), MarkerFiles), testsupport::describeTree(m_BuildV1));
}

void TestEngine::abandonedUpdateLeavesNoStrayFiles()
{
  const QString BuildV2 = m_Work.filePath("build-v2-abandoned");
  testsupport::writeGameBuildV1(BuildV2, 20);
  testsupport::changeGameBuildToV2(BuildV2);
  // A name that JSON has to escape, in the list of files being installed.
  const QString OddName = QString::fromUtf8("data/odd \"name\" \\ \u00e9.txt");
  testsupport::writeWholeFile(BuildV2 + "/" + OddName, "only in version 2");
  QVERIFY(publish(BuildV2, m_Work.filePath("www/v2-abandoned"), "2.0"));
  const QByteArray DescriptionV2 = testsupport::readWholeFile(m_Work.filePath("www/v2-abandoned/package.json"));
  testsupport::TTestHttpServer Server;
  Server.setRootDirectory(m_Work.filePath("www"));
  TEngineFixture Fixture;
  QCOMPARE(Fixture.install(Fixture.configuration(Server.url("/v1/package.json"), m_DescriptionV1)).status,
           ELocalPackageStatus::UpToDate);

  // The update to version 2 fails (its new pieces of large files cannot be
  // fetched) after it wrote a file that only version 2 has; the partial
  // marker holds version 1 again.
  const QJsonArray ChunksV2 = QJsonDocument::fromJson(DescriptionV2).object().value("chunks").toArray();
  for (int Index = 0; Index < ChunksV2.size(); ++Index) {
    if (!m_DescriptionV1.contains(chunkPath(DescriptionV2, Index).toUtf8()))
      Server.setFault("/v2-abandoned/" + chunkPath(DescriptionV2, Index), testsupport::TTestHttpServer::TFault::status(500));
  }
  const auto Failed = Fixture.install(Fixture.configuration(Server.url("/v2-abandoned/package.json"), DescriptionV2));
  QCOMPARE(Failed.errorReason, DownloadFailed);
  const QString Added = Fixture.installationDirectory() + "/data/patch-notes.txt";
  QVERIFY(QFile::exists(Added));
  QVERIFY(QFile::exists(Fixture.installationDirectory() + "/" + OddName));

  // Going back to version 1 removes it with the rest of version 2.
  const auto Back = Fixture.install(Fixture.configuration(Server.url("/v1/package.json"), m_DescriptionV1));
  QCOMPARE(Back.status, ELocalPackageStatus::UpToDate);
  // Exactly the files of version 1, with their content (an execute bit that
  // version 2 added stays: installations only ever add them).
  const auto Installed = testsupport::describeTree(Fixture.installationDirectory(), MarkerFiles);
  const auto Expected = testsupport::describeTree(m_BuildV1);
  QCOMPARE(Installed.keys(), Expected.keys());
  for (const QString& File : Expected.keys())
    QCOMPARE(Installed.value(File).left(64), Expected.value(File).left(64));
}

QTEST_GUILESS_MAIN(TestEngine)
#include "test_engine.moc"
