// The package file downloader on its own, against the test server.

#include "engine/packagefiledownloader.h"
#include "engine/dictionaryfetch.h"
#include "shared/downloadpool.h"
#include "shared/payload.h"
#include "shared/zstdframes.h"

#include "gamebuild.h"
#include "nginxserver.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <cstring>

using namespace orvale::launcher;
using testsupport::TTestHttpServer;

namespace {

struct TDownloaderFixture
{
  TTestHttpServer server;
  QTemporaryDir target;
  std::shared_ptr<TEngineSettings> settings = std::make_shared<TEngineSettings>();
  std::shared_ptr<TEngineFilesystemHelper> helper = std::make_shared<TEngineFilesystemHelper>(settings);
  std::shared_ptr<shared::TDownloadPool> pool;
  std::unique_ptr<TPackageFileDownloader> downloader;

  explicit TDownloaderFixture(int Limit = 4)
  {
    pool = std::make_shared<shared::TDownloadPool>(Limit, shared::makeNetworkAccessManagerWrapper(), false);
    downloader = std::make_unique<TPackageFileDownloader>(pool, helper);
  }

  // A chunk served at Path (packed when Pack is set).
  TChunkInPackage chunk(const QString& Path, const QByteArray& Content, bool Pack = false)
  {
    TChunkInPackage Chunk;
    Chunk.url = server.url(Path);
    Chunk.unpackedSize = quint64(Content.size());
    Chunk.unpackedHash = QCryptographicHash::hash(Content, QCryptographicHash::Sha256);
    Chunk.unpack = Pack;
    const QByteArray Body = Pack ? shared::packPayload(shared::EPayloadFormat::Lzma20, Content.constData(),
                                                       std::size_t(Content.size()))
                                 : Content;
    Chunk.packedSize = quint64(Body.size());
    server.setBody(Path, Body);
    return Chunk;
  }

  // The pieces of one pack file (every other one packed: with zstd and
  // the dictionary when one is given, else LZMA), in pack order; the caller
  // serves Pack at PackUrl.
  static std::vector<TChunkInPackage> piecesInPack(
      const QUrl& PackUrl, const std::vector<QByteArray>& Contents, QByteArray& Pack,
      const std::shared_ptr<const TDictionaryInDescription>& Described = {},
      const std::shared_ptr<const shared::TZstdDictionary>& Dictionary = {})
  {
    std::vector<TChunkInPackage> Pieces;
    for (std::size_t Index = 0; Index < Contents.size(); ++Index) {
      const QByteArray& Content = Contents[Index];
      TChunkInPackage Piece;
      Piece.unpack = Index % 2 == 1;
      if (Piece.unpack)
        Piece.dictionary = Described;
      const QByteArray Body =
          !Piece.unpack ? Content
          : Dictionary  ? shared::packZstdPayload(Content.constData(), std::size_t(Content.size()), 3, Dictionary)
                        : shared::packPayload(shared::EPayloadFormat::Lzma20, Content.constData(),
                                              std::size_t(Content.size()));
      Piece.unpackedSize = quint64(Content.size());
      Piece.unpackedHash = QCryptographicHash::hash(Content, QCryptographicHash::Sha256);
      Piece.packedSize = quint64(Body.size());
      Piece.packedHash = QCryptographicHash::hash(Body, QCryptographicHash::Sha256);
      Piece.packOffset = quint64(Pack.size());
      Pack += Body;
      Pieces.push_back(Piece);
    }
    for (TChunkInPackage& Piece : Pieces) {
      Piece.packUrl = PackUrl;
      Piece.packSize = quint64(Pack.size());
      Piece.url = shared::pieceInPackUrl(PackUrl, Piece.packOffset);
    }
    return Pieces;
  }

  // Runs one download; returns the number of final signals and the reason.
  std::pair<int, EPackageDownloaderError> run(const std::vector<TFileToDownload>& Files)
  {
    QSignalSpy Completed(downloader.get(), &TPackageFileDownloader::downloadCompleted);
    QSignalSpy Failed(downloader.get(), &TPackageFileDownloader::downloadFailed);
    downloader->downloadFiles(QDir(target.path()), EReplacementMode::ReplaceFiles, Files);
    (void)QTest::qWaitFor([&] { return Completed.count() + Failed.count() > 0; }, 60000);
    QTest::qWait(300);
    const int Signals = Completed.count() + Failed.count();
    return {Signals, Failed.isEmpty() ? NoDownloaderError : Failed.first().first().value<EPackageDownloaderError>()};
  }
};

TFileToDownload file(const QString& Name, const std::vector<TChunkInPackage>& Chunks, std::vector<std::int32_t> ToDownload)
{
  TFileToDownload File;
  File.localFile = Name;
  File.chunks = Chunks;
  File.chunksToDownload = std::move(ToDownload);
  for (const TChunkInPackage& Chunk : Chunks)
    File.unpackedSize += Chunk.unpackedSize;
  return File;
}

// A run for a child process (runChild): the files to download whole with
// their chunks, the settings, and the open files limit to run under.
QJsonObject childRun(const std::vector<TFileToDownload>& Files, int MaxCachedChunks, int OpenFilesLimit)
{
  QJsonArray FileArray;
  for (const TFileToDownload& File : Files) {
    QJsonArray Chunks;
    for (const TChunkInPackage& Chunk : File.chunks)
      Chunks.append(QJsonObject{{"url", Chunk.url.toString()},
                                {"packedSize", double(Chunk.packedSize)},
                                {"unpackedSize", double(Chunk.unpackedSize)},
                                {"unpackedHash", QString::fromLatin1(Chunk.unpackedHash.toHex())},
                                {"unpack", Chunk.unpack}});
    FileArray.append(QJsonObject{{"name", File.localFile}, {"chunks", Chunks}});
  }
  return QJsonObject{{"files", FileArray}, {"maxCachedChunks", MaxCachedChunks}, {"openFilesLimit", OpenFilesLimit}};
}

// Runs the downloader in a child process (this test program, started with
// "--child RUNFILE TARGET"), so that its peak memory and its descriptors are
// its own; the parent serves the chunks meanwhile. Returns the child's exit
// code (0: downloadCompleted) and its peak resident memory in KiB.
std::pair<int, qint64> runChild(const QJsonObject& Run, const QString& Target)
{
  QTemporaryDir Folder;
  const QString RunFile = Folder.filePath("run.json");
  QFile File(RunFile);
  if (!File.open(QIODevice::WriteOnly) || File.write(QJsonDocument(Run).toJson()) <= 0)
    return {-1, 0};
  File.close();
  QProcess Child;
  Child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  Child.start(QCoreApplication::applicationFilePath(), {"--child", RunFile, Target});
  // The parent's event loop must go on: it serves the chunks.
  if (!QTest::qWaitFor([&] { return Child.state() == QProcess::NotRunning; }, 300000))
    Child.kill();
  Child.waitForFinished(10000);
  const QByteArray Output = Child.readAllStandardOutput();
  const qint64 PeakKiB = Output.mid(Output.lastIndexOf("peak_rss_kb ") + 12).trimmed().toLongLong();
  return {Child.exitStatus() == QProcess::NormalExit ? Child.exitCode() : -1, PeakKiB};
}

// The child's side of runChild.
int childMain(int Argc, char** Argv)
{
  QCoreApplication Application(Argc, Argv);
  QFile File(QString::fromLocal8Bit(Argv[2]));
  if (!File.open(QIODevice::ReadOnly))
    return 2;
  const QJsonObject Run = QJsonDocument::fromJson(File.readAll()).object();
  if (Run.value("openFilesLimit").toInt() > 0) {
    rlimit Limit{};
    ::getrlimit(RLIMIT_NOFILE, &Limit);
    Limit.rlim_cur = rlim_t(Run.value("openFilesLimit").toInt());
    if (::setrlimit(RLIMIT_NOFILE, &Limit) != 0)
      return 3;
  }
  std::vector<TFileToDownload> Files;
  for (const QJsonValue& FileValue : Run.value("files").toArray()) {
    std::vector<TChunkInPackage> Chunks;
    std::vector<std::int32_t> ToDownload;
    for (const QJsonValue& Value : FileValue.toObject().value("chunks").toArray()) {
      const QJsonObject Object = Value.toObject();
      TChunkInPackage Chunk;
      Chunk.url = QUrl(Object.value("url").toString());
      Chunk.packedSize = quint64(Object.value("packedSize").toDouble());
      Chunk.unpackedSize = quint64(Object.value("unpackedSize").toDouble());
      Chunk.unpackedHash = QByteArray::fromHex(Object.value("unpackedHash").toString().toLatin1());
      Chunk.unpack = Object.value("unpack").toBool();
      ToDownload.push_back(std::int32_t(Chunks.size()));
      Chunks.push_back(Chunk);
    }
    Files.push_back(file(FileValue.toObject().value("name").toString(), Chunks, ToDownload));
  }
  auto Settings = std::make_shared<TEngineSettings>();
  Settings->maxCachedChunks = Run.value("maxCachedChunks").toInt();
  auto Pool = std::make_shared<shared::TDownloadPool>(Settings->maxConcurrentDownloads,
                                                      shared::makeNetworkAccessManagerWrapper(), false);
  TPackageFileDownloader Downloader(Pool, std::make_shared<TEngineFilesystemHelper>(Settings));
  int Result = 1;
  QObject::connect(&Downloader, &TPackageFileDownloader::downloadCompleted, [&] { Result = 0; Application.quit(); });
  QObject::connect(&Downloader, &TPackageFileDownloader::downloadFailed, [&] { Result = 1; Application.quit(); });
  Downloader.downloadFiles(QDir(QString::fromLocal8Bit(Argv[3])), EReplacementMode::ReplaceFiles, Files);
  Application.exec();
  rusage Usage{};
  ::getrusage(RUSAGE_SELF, &Usage);
  std::printf("peak_rss_kb %ld\n", Usage.ru_maxrss);
  return Result;
}

} // namespace

class TestDownloader : public QObject
{
  Q_OBJECT

private slots:
  void sharedContentIsDownloadedOnce();
  void outOfOrderChunksUseTheCacheAndSpillFiles();
  void partialRewriteKeepsTheRest();
  void executableBitsAndEmptyChunkLists();
  void progressTotalsAndRates();
  void urlsOtherThanHttpAreRefused();
  void writeErrorsAreSaveFailures();
  void inconsistentRunsFailCleanly_data();
  void inconsistentRunsFailCleanly();
  void largeChunksStayOutOfMemory();
  void manyFilesInstallWithFewDescriptors();
  void piecesOfPacks_data();
  void piecesOfPacks();
  void packsBeyondTheTransferLimit();
  void dictionariesAtOneUrl();
};

void TestDownloader::sharedContentIsDownloadedOnce()
{
  TDownloaderFixture Fixture;
  const QByteArray A = testsupport::pseudoRandomBytes(70000, 1), B = testsupport::textBytes(50000, 2);
  const TChunkInPackage ChunkA = Fixture.chunk("/a", A, true), ChunkB = Fixture.chunk("/b", B);
  // A twice in one file, and again in a second file.
  const auto Result = Fixture.run({file("one.bin", {ChunkA, ChunkB, ChunkA}, {0, 1, 2}), file("two.bin", {ChunkA}, {0})});
  QCOMPARE(Result.first, 1);
  QCOMPARE(Result.second, NoDownloaderError);
  QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath("one.bin")), A + B + A);
  QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath("two.bin")), A);
  QCOMPARE(Fixture.server.requestCount("/a"), 1);
  QCOMPARE(Fixture.server.requestCount("/b"), 1);
  QCOMPARE(Fixture.downloader->allChunks().size(), std::size_t(2));
  QCOMPARE(Fixture.downloader->cachedChunkCount(), 0);
}

void TestDownloader::outOfOrderChunksUseTheCacheAndSpillFiles()
{
  struct TCase
  {
    int maxCached;
    int maxCachedMegabytes;
    int peak;  // chunks held in memory at once
  };
  // With no room in memory only one chunk is held there, the rest spill;
  // a byte bound of 1 MiB holds two of 400 KiB.
  for (const TCase& Case : {TCase{0, 256, 1}, TCase{100, 256, 5}, TCase{100, 1, 2}}) {
    TDownloaderFixture Fixture(8);
    Fixture.settings->maxCachedChunks = Case.maxCached;
    Fixture.settings->maxCachedMegabytes = Case.maxCachedMegabytes;
    std::vector<TChunkInPackage> Chunks;
    QByteArray Expected;
    for (int Index = 0; Index < 6; ++Index) {
      const int Size = Index == 0 ? 30000 : 400 * 1024 + Index;
      const QByteArray Content = testsupport::pseudoRandomBytes(Size, quint64(10 + Index));
      Chunks.push_back(Fixture.chunk(QString("/c%1").arg(Index), Content));
      Expected += Content;
    }
    // The first chunk arrives last: all others wait for it.
    Fixture.server.setFault("/c0", TTestHttpServer::TFault::trickle(2000, 40));
    const auto Result = Fixture.run({file("f.bin", Chunks, {0, 1, 2, 3, 4, 5})});
    QCOMPARE(Result.first, 1);
    QCOMPARE(Result.second, NoDownloaderError);
    QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath("f.bin")), Expected);
    QCOMPARE(Fixture.downloader->peakCachedChunkCount(), Case.peak);
    QVERIFY(Fixture.downloader->peakCachedChunkBytes() <= std::uint64_t(Case.maxCachedMegabytes) * 1024 * 1024);
    QCOMPARE(Fixture.downloader->cachedChunkCount(), 0);
  }
}

void TestDownloader::partialRewriteKeepsTheRest()
{
  TDownloaderFixture Fixture;
  const QByteArray A = testsupport::pseudoRandomBytes(1000, 3), B = testsupport::pseudoRandomBytes(2000, 4);
  const TChunkInPackage ChunkA = Fixture.chunk("/a", A), ChunkB = Fixture.chunk("/b", B);
  // Only B is missing; the file already holds A and trailing bytes beyond B.
  testsupport::writeWholeFile(Fixture.target.filePath("f.bin"), A + QByteArray(2500, 'x'));
  const auto Result = Fixture.run({file("f.bin", {ChunkA, ChunkB}, {1})});
  QCOMPARE(Result.second, NoDownloaderError);
  QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath("f.bin")), A + B + QByteArray(500, 'x'));
  QCOMPARE(Fixture.server.requestCount("/a"), 0);

  // Written from scratch: the old file is replaced, nothing of it stays.
  testsupport::writeWholeFile(Fixture.target.filePath("g.bin"), QByteArray(9000, 'y'));
  const auto Again = Fixture.run({file("g.bin", {ChunkA, ChunkB}, {0, 1})});
  QCOMPARE(Again.second, NoDownloaderError);
  QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath("g.bin")), A + B);
}

void TestDownloader::executableBitsAndEmptyChunkLists()
{
  TDownloaderFixture Fixture;
  const QByteArray Script = "#!/bin/sh\necho hi\n";
  TFileToDownload Executable = file("bin/run.sh", {Fixture.chunk("/run", Script)}, {0});
  Executable.executable = true;
  TFileToDownload Untouched = file("untouched.bin", {Fixture.chunk("/u", "unused")}, {});
  const auto Result = Fixture.run({Executable, Untouched});
  QCOMPARE(Result.second, NoDownloaderError);
  const QFile::Permissions Permissions = QFile::permissions(Fixture.target.filePath("bin/run.sh"));
  QVERIFY(Permissions & QFileDevice::ExeOwner);
  QVERIFY(Permissions & QFileDevice::ExeGroup);
  QVERIFY(Permissions & QFileDevice::ExeOther);
  QVERIFY(!QFile::exists(Fixture.target.filePath("untouched.bin")));
  QCOMPARE(Fixture.server.requestCount("/u"), 0);
}

void TestDownloader::progressTotalsAndRates()
{
  TDownloaderFixture Fixture;
  const QByteArray A = testsupport::textBytes(200000, 5), B = testsupport::pseudoRandomBytes(150000, 6);
  const TChunkInPackage ChunkA = Fixture.chunk("/a", A, true), ChunkB = Fixture.chunk("/b", B);
  Fixture.server.setFault("/b", TTestHttpServer::TFault::trickle(15000, 50));
  QSignalSpy Progress(Fixture.downloader.get(), &TPackageFileDownloader::progress);
  Fixture.run({file("f.bin", {ChunkA, ChunkB}, {0, 1})});
  QVERIFY(Progress.count() >= 3);  // ticks while loading, and the final one
  const QList<QVariant> Last = Progress.last();
  QCOMPARE(Last.at(0).value<TFileSize>(), TFileSize(ChunkA.packedSize + ChunkB.packedSize));
  QCOMPARE(Last.at(1).value<TFileSize>(), TFileSize(ChunkA.packedSize + ChunkB.packedSize));
  QCOMPARE(Last.at(2).value<TFileSize>(), TFileSize(A.size() + B.size()));
  QCOMPARE(Last.at(3).value<TFileSize>(), TFileSize(A.size() + B.size()));
  for (const QList<QVariant>& Tick : Progress)
    QCOMPARE(Tick.at(1).value<TFileSize>(), Last.at(1).value<TFileSize>());
  QVERIFY(Fixture.downloader->downloadRateSampleCount() >= 1);
  QVERIFY(Fixture.downloader->downloadRateMean() > 0);

  TRateStatistic Rate;
  Rate.addTotal(100);
  QCOMPARE(Rate.sampleCount, quint64(1));
  QCOMPARE(Rate.mean, 100.0);
  Rate.addTotal(400);  // delta 300
  QCOMPARE(Rate.mean, 200.0);
  QCOMPARE(Rate.minimum, quint64(100));
  QCOMPARE(Rate.maximum, quint64(300));
  for (int Tick = 0; Tick < 29; ++Tick)
    Rate.addTotal(Rate.lastTotal + 200);
  // After more than 30 samples the statistic restarts from its mean.
  QCOMPARE(Rate.sampleCount, quint64(1));
  QCOMPARE(Rate.minimum, quint64(200));
  QCOMPARE(Rate.maximum, quint64(200));
}

void TestDownloader::urlsOtherThanHttpAreRefused()
{
  TDownloaderFixture Fixture;
  TChunkInPackage Local = Fixture.chunk("/x", "x");
  Local.url = QUrl("file:///dev/zero");
  const auto Result = Fixture.run({file("f.bin", {Local}, {0})});
  QCOMPARE(Result.first, 1);
  QCOMPARE(Result.second, DownloadFailed);
  QVERIFY(!QFile::exists(Fixture.target.filePath("f.bin")));
}

void TestDownloader::writeErrorsAreSaveFailures()
{
  // The disk fills up on the last, small piece of a file: half of it fits.
  TDownloaderFixture Fixture;
  const QByteArray A = testsupport::pseudoRandomBytes(60000, 7), B = testsupport::pseudoRandomBytes(100, 8);
  const TChunkInPackage ChunkA = Fixture.chunk("/a", A), ChunkB = Fixture.chunk("/b", B);
  std::pair<int, EPackageDownloaderError> Result;
  {
    testsupport::TFileSizeLimit Limit(60050);
    Result = Fixture.run({file("f.bin", {ChunkA, ChunkB}, {0, 1})});
  }
  QCOMPARE(Result.first, 1);
  QCOMPARE(Result.second, SaveFailed);
  QVERIFY(testsupport::readWholeFile(Fixture.target.filePath("f.bin")).size() < A.size() + B.size());
}

void TestDownloader::inconsistentRunsFailCleanly_data()
{
  QTest::addColumn<bool>("SameUrl");
  QTest::newRow("one URL, two contents") << true;
  QTest::newRow("one file named twice") << false;
}

void TestDownloader::inconsistentRunsFailCleanly()
{
  QFETCH(bool, SameUrl);
  TDownloaderFixture Fixture;
  const QByteArray A = testsupport::pseudoRandomBytes(3000, 9), B = testsupport::pseudoRandomBytes(5000, 10);
  const TChunkInPackage ChunkA = Fixture.chunk("/a", A);
  TChunkInPackage ChunkB = Fixture.chunk("/b", B);
  if (SameUrl)
    ChunkB.url = ChunkA.url;
  const QString Second = SameUrl ? "two.bin" : "sub/../one.bin";
  QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Download refused: the description "));
  const auto Result = Fixture.run({file("one.bin", {ChunkA}, {0}), file(Second, {ChunkB}, {0})});
  QCOMPARE(Result.first, 1);
  QCOMPARE(Result.second, DownloadFailed);
  // Refused before anything was fetched or written.
  QCOMPARE(Fixture.server.totalRequestCount(), 0);
  QVERIFY(!QFile::exists(Fixture.target.filePath("one.bin")));
  QVERIFY(!QFile::exists(Fixture.target.filePath("two.bin")));
}

// Chunks of 64 MiB each (compressed to almost nothing, so that the server
// holds little), all arriving early behind a slow first chunk, and one of
// 24 MiB sent as it is: none of them is ever whole in memory. Held there,
// the waiting chunks alone would take over 500 MiB.
void TestDownloader::largeChunksStayOutOfMemory()
{
  TDownloaderFixture Fixture;
  std::vector<TChunkInPackage> Chunks{Fixture.chunk("/first", testsupport::pseudoRandomBytes(64 * 1024, 1))};
  Fixture.server.setFault("/first", TTestHttpServer::TFault::trickle(1024, 80));
  for (int Index = 0; Index < 8; ++Index) {
    QByteArray Content = testsupport::pseudoRandomBytes(4096, quint64(100 + Index));
    Content.append(QByteArray(64 * 1024 * 1024 - Content.size(), '\0'));
    const auto Format = Index < 4   ? shared::EPayloadFormat::Deflate
                        : Index < 6 ? shared::EPayloadFormat::Zstd
                                    : shared::EPayloadFormat::Lzma20;
    const QByteArray Packed = shared::packPayload(Format, Content.constData(), std::size_t(Content.size()), 1);
    const QString Path = QString("/large%1").arg(Index);
    Fixture.server.setBody(Path, Packed);
    TChunkInPackage Chunk;
    Chunk.url = Fixture.server.url(Path);
    Chunk.packedSize = quint64(Packed.size());
    Chunk.unpackedSize = quint64(Content.size());
    Chunk.unpackedHash = QCryptographicHash::hash(Content, QCryptographicHash::Sha256);
    Chunks.push_back(Chunk);
  }
  Chunks.push_back(Fixture.chunk("/whole", testsupport::pseudoRandomBytes(24 * 1024 * 1024, 3)));
  const auto Result = runChild(childRun({file("large.bin", Chunks, {})}, 100, 0), Fixture.target.path());
  qInfo() << "peak resident memory of the child, KiB:" << Result.second;
  QCOMPARE(Result.first, 0);
  QVERIFY2(Result.second > 0 && Result.second < 200 * 1024, qPrintable(QString::number(Result.second)));
  TFileSize Expected = 0;
  for (const TChunkInPackage& Chunk : Chunks)
    Expected += Chunk.unpackedSize;
  QCOMPARE(TFileSize(QFileInfo(Fixture.target.filePath("large.bin")).size()), Expected);
  QCOMPARE(Fixture.server.requestCount("/whole"), 1);
}

// Hundreds of files of two chunks each (every first chunk comes before any
// second one, so each file waits half written) and spilled chunks install
// under an open files limit of 64.
void TestDownloader::manyFilesInstallWithFewDescriptors()
{
  TDownloaderFixture Fixture;
  std::vector<TFileToDownload> Files;
  QByteArray LastExpected;
  for (int Index = 0; Index < 300; ++Index) {
    const QByteArray Head = testsupport::pseudoRandomBytes(2000, quint64(1000 + Index));
    const QByteArray Tail = testsupport::pseudoRandomBytes(3000, quint64(5000 + Index));
    Files.push_back(file(QString("f%1.bin").arg(Index),
                         {Fixture.chunk(QString("/h%1").arg(Index), Head), Fixture.chunk(QString("/t%1").arg(Index), Tail)},
                         {}));
    LastExpected = Head + Tail;
  }
  QCOMPARE(runChild(childRun(Files, 0, 64), Fixture.target.path()).first, 0);
  QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath("f299.bin")), LastExpected);
}

void TestDownloader::piecesOfPacks_data()
{
  QTest::addColumn<bool>("ranges");   // nginx answers ranges, the test server sends whole files
  QTest::addColumn<int>("every");     // every n-th piece is wanted
  QTest::addColumn<int>("damaged");   // the piece whose bytes in the pack are wrong, or -1
  QTest::addColumn<int>("requests");  // for the pack
  QTest::addColumn<bool>("complete");
  QTest::addColumn<bool>("fewerBytes");  // fewer bytes than the pack served
  // The packed pieces' dictionary: "" none, "right" served as described,
  // "wrong" other bytes served in its place.
  QTest::addColumn<QString>("dictionary");
  // Every piece: the whole pack in one plain request.
  QTest::newRow("all pieces, nginx") << true << 1 << -1 << 1 << true << false << "";
  QTest::newRow("all pieces, server ignoring ranges") << false << 1 << -1 << 1 << true << false << "";
  // Some: one multipart request, or the whole pack from a server that
  // ignores ranges, the pieces cut out of it.
  QTest::newRow("every third piece, nginx") << true << 3 << -1 << 1 << true << true << "";
  QTest::newRow("every third piece, server ignoring ranges") << false << 3 << -1 << 1 << true << false << "";
  // A damaged piece is asked for again (three retries), alone, and fails.
  QTest::newRow("damaged piece, nginx") << true << 3 << 6 << 4 << false << true << "";
  QTest::newRow("damaged piece, server ignoring ranges") << false << 1 << 4 << 4 << false << false << "";
  // The dictionary comes first (once), then the pack in one request. Other
  // bytes in its place are tried three times and fail the pieces packed
  // with it; the others are still written.
  QTest::newRow("dictionary, nginx") << true << 3 << -1 << 1 << true << true << "right";
  QTest::newRow("dictionary, server ignoring ranges") << false << 1 << -1 << 1 << true << false << "right";
  QTest::newRow("not the dictionary named, nginx") << true << 1 << -1 << 1 << false << true << "wrong";
}

void TestDownloader::piecesOfPacks()
{
  QFETCH(bool, ranges);
  QFETCH(int, every);
  QFETCH(int, damaged);
  QFETCH(int, requests);
  QFETCH(bool, complete);
  QFETCH(bool, fewerBytes);
  QFETCH(QString, dictionary);
  TDownloaderFixture Fixture;
  QTemporaryDir Www;
  std::unique_ptr<testsupport::TNginxServer> Nginx;
  if (ranges)
    Nginx = std::make_unique<testsupport::TNginxServer>(Www.path());
  const auto Serve = [&](const QString& Path, const QByteArray& Body) {
    if (ranges)
      testsupport::writeWholeFile(Www.filePath(Path.mid(1)), Body);
    else
      Fixture.server.setBody(Path, Body);
  };
  const auto RequestCount = [&](const QString& Path) {
    return ranges ? Nginx->requestCount(Path) : Fixture.server.requestCount(Path);
  };
  const QUrl PackUrl = ranges ? Nginx->url("/p.pack") : Fixture.server.url("/p.pack");
  std::vector<QByteArray> Contents;
  for (int Index = 0; Index < 40; ++Index)
    Contents.push_back(testsupport::textBytes(500 + 97 * Index, quint64(Index)) +
                       testsupport::pseudoRandomBytes(1500, quint64(100 + Index)));
  std::shared_ptr<TDictionaryInDescription> Described;
  std::shared_ptr<const shared::TZstdDictionary> Dictionary;
  if (!dictionary.isEmpty()) {
    const QByteArray Content =
        testsupport::readWholeFile(testsupport::testDataDirectory() + "/payloads/text.dict");
    Dictionary = shared::TZstdDictionary::load(Content);
    Described = std::make_shared<TDictionaryInDescription>();
    Described->url = ranges ? Nginx->url("/d.dict") : Fixture.server.url("/d.dict");
    Described->size = std::uint64_t(Content.size());
    Described->hash = QCryptographicHash::hash(Content, QCryptographicHash::Sha256);
    Serve("/d.dict", dictionary == "right" ? Content : Content.left(Content.size() - 1) + 'x');
  }
  QByteArray Pack;
  const std::vector<TChunkInPackage> Pieces =
      TDownloaderFixture::piecesInPack(PackUrl, Contents, Pack, Described, Dictionary);
  if (damaged >= 0)
    Pack[int(Pieces[std::size_t(damaged)].packOffset + 7)] = char(Pack[int(Pieces[std::size_t(damaged)].packOffset + 7)] ^ 0x5a);
  Serve("/p.pack", Pack);

  std::vector<TFileToDownload> Files;
  for (std::size_t Index = 0; Index < Pieces.size(); Index += std::size_t(every))
    Files.push_back(file(QString("dir/f%1.txt").arg(Index), {Pieces[Index]}, {0}));
  const auto Result = Fixture.run(Files);
  QCOMPARE(Result.first, 1);
  QCOMPARE(Result.second, complete ? NoDownloaderError : DownloadFailed);
  for (std::size_t Index = 0; Index < Pieces.size(); Index += std::size_t(every)) {
    const bool Undecodable = dictionary == "wrong" && Pieces[Index].unpack;
    if (int(Index) != damaged && !Undecodable)
      QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath(QString("dir/f%1.txt").arg(Index))), Contents[Index]);
  }
  QTRY_COMPARE(RequestCount("/p.pack"), requests);
  if (ranges)
    QCOMPARE(Nginx->bodyBytesServed("/p.pack") < qint64(Pack.size()) * requests, fewerBytes);
  if (!dictionary.isEmpty())
    QTRY_COMPARE(RequestCount("/d.dict"), dictionary == "right" ? 1 : 3);
}

void TestDownloader::packsBeyondTheTransferLimit()
{
  // Three packs of more than 1 MiB: not all are asked for at once. The
  // first always fails (and is asked for again with every retry); the
  // others still come, and their pieces are written.
  TDownloaderFixture Fixture;
  std::vector<TFileToDownload> Files;
  std::vector<std::pair<QString, QByteArray>> Expected;
  for (int PackIndex = 1; PackIndex <= 3; ++PackIndex) {
    const QString Path = QString("/p%1.pack").arg(PackIndex);
    std::vector<QByteArray> Contents;
    for (int Index = 0; Index < 12; ++Index)
      Contents.push_back(testsupport::pseudoRandomBytes(100000, quint64(PackIndex * 100 + Index)));
    QByteArray Pack;
    const std::vector<TChunkInPackage> Pieces =
        TDownloaderFixture::piecesInPack(Fixture.server.url(Path), Contents, Pack);
    Fixture.server.setBody(Path, Pack);
    for (std::size_t Index = 0; Index < Pieces.size(); ++Index) {
      const QString Name = QString("p%1/f%2.bin").arg(PackIndex).arg(Index);
      Files.push_back(file(Name, {Pieces[Index]}, {0}));
      if (PackIndex != 1)
        Expected.emplace_back(Name, Contents[Index]);
    }
  }
  Fixture.server.setFault("/p1.pack", TTestHttpServer::TFault::status(500));
  const auto Result = Fixture.run(Files);
  QCOMPARE(Result.first, 1);
  QCOMPARE(Result.second, DownloadFailed);
  for (const auto& [Name, Content] : Expected)
    QCOMPARE(testsupport::readWholeFile(Fixture.target.filePath(Name)), Content);
  QVERIFY(Fixture.server.requestCount("/p1.pack") > 1);
  QCOMPARE(Fixture.server.requestCount("/p2.pack"), 1);
  QCOMPARE(Fixture.server.requestCount("/p3.pack"), 1);
}

void TestDownloader::dictionariesAtOneUrl()
{
  // Two dictionaries named at one URL (a package and an asset description
  // may do so): the second fails at once, the first comes; neither waits.
  TDownloaderFixture Fixture;
  const QByteArray Content = testsupport::readWholeFile(testsupport::testDataDirectory() + "/payloads/text.dict");
  Fixture.server.setBody("/d.dict", Content);
  const auto Described = [&](const QByteArray& Hash) {
    auto Dictionary = std::make_shared<TDictionaryInDescription>();
    Dictionary->url = Fixture.server.url("/d.dict");
    Dictionary->size = std::uint64_t(Content.size());
    Dictionary->hash = Hash;
    return Dictionary;
  };
  TDictionaryFetcher Fetcher(Fixture.pool);
  QSignalSpy Ready(&Fetcher, &TDictionaryFetcher::ready);
  QSignalSpy Failed(&Fetcher, &TDictionaryFetcher::failed);
  const QByteArray Right = QCryptographicHash::hash(Content, QCryptographicHash::Sha256);
  Fetcher.fetch(Described(Right));
  Fetcher.fetch(Described(QByteArray(32, 'x')));
  QCOMPARE(Failed.count(), 1);
  QCOMPARE(Failed.first().first().toByteArray(), QByteArray(32, 'x'));
  QVERIFY(Ready.wait(10000));
  QCOMPARE(Ready.first().first().toByteArray(), Right);
}

int main(int Argc, char** Argv)
{
  if (Argc == 4 && std::strcmp(Argv[1], "--child") == 0)
    return childMain(Argc, Argv);
  QCoreApplication Application(Argc, Argv);
  TestDownloader Test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&Test, Argc, Argv);
}
#include "test_downloader.moc"
