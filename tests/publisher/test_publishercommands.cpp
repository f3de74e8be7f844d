// The commands around a publication, on real published folders of two
// versions: what an update costs (against what nginx serves the launcher),
// whether an upload is whole, which chunk files old versions left behind;
// and the command line.

#include "chunkcollection.h"
#include "commands.h"
#include "cost.h"
#include "descriptionsource.h"
#include "verify.h"

#include "shared/releasesignature.h"

#include "enginefixture.h"
#include "gamebuild.h"
#include "nginxserver.h"
#include "releasesigning.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

using namespace orvale::publisher;
namespace cli = orvale::publisher::cli;

namespace {

// The file names of all download records of a description, chunk files and
// block index files, and of its packs.
QSet<QString> namedFileNames(const QByteArray& Description)
{
  QSet<QString> Names;
  const QJsonObject Root = QJsonDocument::fromJson(Description).object();
  for (const QJsonValue& Pack : Root.value("packs").toArray())
    Names.insert(QFileInfo(Pack.toObject().value("url").toString()).fileName());
  const auto Add = [&](const QJsonObject& Record) {
    for (const char* Key : {"url", "blockindex"}) {
      if (Record.contains(Key))
        Names.insert(QFileInfo(Record.value(Key).toString()).fileName());
    }
  };
  for (const QJsonValue& Chunk : Root.value("chunks").toArray())
    Add(Chunk.toObject());
  for (const QJsonValue& File : Root.value("files").toArray())
    Add(File.toObject());
  return Names;
}

// Names and sizes of the regular files below the Folders (links not
// followed).
QMap<QString, qint64> filesBelow(const QStringList& Folders)
{
  QMap<QString, qint64> Files;
  for (const QString& Folder : Folders) {
    QDirIterator Iterator(Folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (Iterator.hasNext()) {
      Iterator.next();
      Files.insert(Iterator.fileName(), Iterator.fileInfo().size());
    }
  }
  return Files;
}

QString chunkFilePath(const QString& Folder, const QByteArray& Description, int Index)
{
  const QJsonArray Chunks = QJsonDocument::fromJson(Description).object().value("chunks").toArray();
  return Folder + "/" + Chunks.at(Index).toObject().value("url").toString();
}

struct TProcessRun
{
  int exitCode = -1;
  QString out;
  QString err;
};

TProcessRun runProgram(const QString& Name, const QStringList& Arguments)
{
  QProcess Process;
  Process.start(testsupport::binaryDirectory() + "/bin/" + Name, Arguments);
  TProcessRun Run;
  if (!Process.waitForFinished(120000) || Process.exitStatus() != QProcess::NormalExit)
    return Run;
  Run.exitCode = Process.exitCode();
  Run.out = QString::fromUtf8(Process.readAllStandardOutput());
  Run.err = QString::fromUtf8(Process.readAllStandardError());
  return Run;
}

// What an update costs; with Blocks as the cost command counts it, with the
// publications' block indexes.
TCostReport costOf(const QString& Old, const QString& New, bool Blocks = false)
{
  QString Error;
  const auto OldDescription = loadDescription(Old, Error);
  const auto NewDescription = OldDescription ? loadDescription(New, Error) : std::nullopt;
  TBlockIndexSources Sources;
  if (Blocks && NewDescription)
    Sources = {blockIndexLoader(*OldDescription), blockIndexLoader(*NewDescription)};
  const auto Report = NewDescription ? computeCost(OldDescription->reader, NewDescription->reader, Error, Sources)
                                     : std::nullopt;
  if (!Report)
    qFatal("cost of %s to %s: %s", qPrintable(Old), qPrintable(New), qPrintable(Error));
  return *Report;
}

} // namespace

class TestPublisherCommands : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void costAgreesWithWhatNginxServes();
  void costCountsBlocksAsPlanned();
  void costOfPiecesInPacks_data();
  void costOfPiecesInPacks();
  void verifyNamesEachBrokenFile();
  void collectKeepsExactlyWhatIsNamed();
  void fetchingStaysWithinItsLimit();
  void commandLine();
  void commandLineParsing_data();
  void commandLineParsing();
  void signingCommands();

private:
  QString www() const { return m_Work.filePath("www"); }

  QTemporaryDir m_Work;
  QString m_BuildV1;
  QString m_BuildV2;
  QByteArray m_DescriptionV1;
  QByteArray m_DescriptionV2;
};

void TestPublisherCommands::initTestCase()
{
  QVERIFY(testsupport::TNginxServer::isAvailable());
  m_BuildV1 = m_Work.filePath("build-v1");
  testsupport::writeGameBuildV1(m_BuildV1, 12);
  m_BuildV2 = m_Work.filePath("build-v2");
  QCOMPARE(QProcess::execute("cp", {"-a", m_BuildV1, m_BuildV2}), 0);
  testsupport::changeGameBuildToV2(m_BuildV2);
  // Content the old version has, under new names: the launcher fetches it
  // again (it reuses pieces only within the same file).
  QVERIFY(QFile::copy(m_BuildV1 + "/data/music.ogg", m_BuildV2 + "/data/music-copy.ogg"));
  QVERIFY(QFile::copy(m_BuildV1 + "/config/settings.ini", m_BuildV2 + "/config/settings-copy.ini"));
  QVERIFY(testsupport::publishFolder(m_BuildV1, www() + "/v1", "1.0"));
  QVERIFY(testsupport::publishFolder(m_BuildV2, www() + "/v2", "2.0"));
  m_DescriptionV1 = testsupport::readWholeFile(www() + "/v1/package.json");
  m_DescriptionV2 = testsupport::readWholeFile(www() + "/v2/package.json");
}

void TestPublisherCommands::costAgreesWithWhatNginxServes()
{
  testsupport::TNginxServer Nginx(www());
  const TCostReport Cost = costOf(www() + "/v1", www() + "/v2/package.json");
  // Descriptions over HTTP count the same.
  const TCostReport ByUrl =
      costOf(Nginx.url("/v1/package.json").toString(), Nginx.url("/v2/package.json").toString());
  QCOMPARE(ByUrl.update.bytes, Cost.update.bytes);
  QCOMPARE(ByUrl.update.requests, Cost.update.requests);
  QCOMPARE(ByUrl.freshInstall.bytes, Cost.freshInstall.bytes);
  const TCostReport FreshV1 = costOf(www() + "/v2", www() + "/v1");

  testsupport::TEngineFixture Fixture;
  const auto First = Fixture.install(Fixture.configuration(Nginx.url("/v1/package.json"), m_DescriptionV1));
  QCOMPARE(First.status, orvale::launcher::ELocalPackageStatus::UpToDate);
  // Chunk files and pack files.
  const auto Served = [&](const QString& Version) {
    return Nginx.bodyBytesServed(Version + "/chunks/") + Nginx.bodyBytesServed(Version + "/packs/");
  };
  const auto Requests = [&](const QString& Version) {
    return Nginx.requestCount(Version + "/chunks/") + Nginx.requestCount(Version + "/packs/");
  };
  QTRY_COMPARE(Served("/v1"), qint64(FreshV1.freshInstall.bytes));
  QCOMPARE(Requests("/v1"), FreshV1.freshInstall.requests);

  // The update fetches what the cost with blocks counts: the index files of
  // the missing chunks that offer blocks and the ranges of the blocks not
  // among those of the old data it discards (each part of a multipart
  // answer adds its headers, at most a few hundred bytes).
  const TCostReport WithBlocks = costOf(www() + "/v1", www() + "/v2", true);
  const auto Second = Fixture.install(Fixture.configuration(Nginx.url("/v2/package.json"), m_DescriptionV2));
  QCOMPARE(Second.status, orvale::launcher::ELocalPackageStatus::UpToDate);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), testsupport::InstallationMarkerFiles),
           testsupport::describeTree(m_BuildV2));
  QTRY_COMPARE(Requests("/v2"), WithBlocks.update.requests);
  const qint64 Update = Served("/v2");
  const qint64 PartHeaders = qint64(WithBlocks.update.requests) * 64 * 256;
  QVERIFY2(Update >= qint64(WithBlocks.update.bytes) && Update <= qint64(WithBlocks.update.bytes) + PartHeaders,
           qPrintable(QString("%1 served, %2 counted").arg(Update).arg(WithBlocks.update.bytes)));
  QCOMPARE(qint64(Cost.freshInstall.bytes), testsupport::fullDownloadSize(m_DescriptionV2));
  // Counting content the old version has anywhere would miss the copies.
  QVERIFY(qint64(Cost.update.bytes) > testsupport::updateDownloadFloor(m_DescriptionV1, m_DescriptionV2));

  // The contributors add up to the update, largest first.
  std::uint64_t Sum = 0;
  QStringList Files;
  for (std::size_t Index = 0; Index < Cost.updateByFile.size(); ++Index) {
    Sum += Cost.updateByFile[Index].transfer.bytes;
    Files << Cost.updateByFile[Index].localFile;
    if (Index > 0)
      QVERIFY(Cost.updateByFile[Index - 1].transfer.bytes >= Cost.updateByFile[Index].transfer.bytes);
  }
  QCOMPARE(Sum, Cost.update.bytes);
  QVERIFY(Files.contains("data/music-copy.ogg") && Files.contains("config/settings-copy.ini"));
  QVERIFY(!Files.contains("data/dialogue.txt"));  // unchanged
  const QJsonObject Json = costJson(Cost, 3);
  QCOMPARE(Json.value("update").toObject().value("bytes").toDouble(), double(Cost.update.bytes));
  QCOMPARE(Json.value("largest").toArray().size(), 3);
  QCOMPARE(Json.value("largest").toArray().at(0).toObject().value("file").toString(), Files.first());

  // Counted with blocks from the folders and over HTTP alike: the update
  // takes most of the changed chunks from discarded old data.
  const TCostReport WithBlocksByUrl =
      costOf(Nginx.url("/v1/package.json").toString(), Nginx.url("/v2/package.json").toString(), true);
  QCOMPARE(WithBlocksByUrl.update.bytes, WithBlocks.update.bytes);
  QCOMPARE(WithBlocksByUrl.update.requests, WithBlocks.update.requests);
  QVERIFY(WithBlocks.chunksByBlocks > 0);
  QVERIFY(WithBlocks.update.bytes < Cost.update.bytes / 2);
  QCOMPARE(WithBlocks.freshInstall.bytes, Cost.freshInstall.bytes);
}

void TestPublisherCommands::costCountsBlocksAsPlanned()
{
  // Hand-made descriptions of stored chunks, and their block indexes: C is
  // cut into blocks of 2000 bytes, D into 4000, the small files into 3000;
  // a block's hash is its name.
  const auto Record = [&](const QString& Name, int Size, bool Blocks) {
    QJsonObject Object{{"url", "c/" + Name}, {"packedsize", Size}, {"unpackedsize", Size},
                       {"packedhash", QString(testsupport::sha256Hex(Name.toUtf8()))},
                       {"unpackedhash", QString(testsupport::sha256Hex(Name.toUtf8()))}, {"unpack", false}};
    if (Blocks) {
      Object.insert("blockindex", "c/" + Name + ".blocks");
      Object.insert("blockindexsize", 1000 + Size / 100);
      Object.insert("blockindexhash", QString(testsupport::sha256Hex("index of " + Name.toUtf8())));
    }
    return Object;
  };
  const auto Description = [](const QJsonArray& Chunks, const QJsonArray& Files) {
    return orvale::launcher::TPackageConfigurationReader(
        QJsonDocument(QJsonObject{{"version", "x"}, {"chunks", Chunks}, {"files", Files}}).toJson(), QByteArray(),
        QUrl("http://h/"), QUrl());
  };
  const auto File = [](const QString& Name, int Size, const QJsonObject& Own, const QJsonArray& Chunks = {}) {
    QJsonObject Object = Own;
    Object.insert("localfile", Name);
    Object.insert("unpackedsize", Size);
    if (!Object.contains("unpackedhash"))
      Object.insert("unpackedhash", QString(testsupport::sha256Hex(QString("%1 %2").arg(Name).arg(Size).toUtf8())));
    if (!Chunks.isEmpty())
      Object.insert("chunks", Chunks);
    return Object;
  };
  // Old: "big" of chunks A and B, "small" with its own record S.
  const auto Old = Description({Record("A", 6000, true), Record("B", 6000, true)},
                               {File("big", 12000, {}, {0, 1}), File("small", 6000, Record("S", 6000, true))});
  // New: "big" of A and C, "small" changed (S2), "other" new (D), "plain"
  // new without blocks.
  const auto New = Description(
      {Record("A", 6000, true), Record("C", 8000, true)},
      {File("big", 14000, {}, {0, 1}), File("small", 6000, Record("S2", 6000, true)),
       File("other", 8000, Record("D", 8000, true)), File("plain", 500, Record("P", 500, false))});
  const QMap<QString, QStringList> Blocks{{"A", {"a1", "a2", "a3"}}, {"B", {"b1", "b2", "b3"}},
                                          {"C", {"b1", "n1", "b3", "n2"}}, {"S", {"s1", "s2"}},
                                          {"S2", {"s1", "n4"}}, {"D", {"a1", "n3"}}};
  QStringList Loaded;
  const TBlockIndexLoader Loader = [&](const orvale::launcher::TChunkInPackage& Chunk) {
    const QString Name = Chunk.url.fileName();
    Loaded << Name;
    std::optional<shared::TBlockIndex> Index;
    if (!Blocks.contains(Name))
      return Index;
    Index = shared::TBlockIndex{shared::EBlockEncoding::Stored, Chunk.unpackedSize, Chunk.packedSize, {}};
    const std::uint32_t Size = std::uint32_t(Chunk.unpackedSize / std::uint64_t(Blocks[Name].size()));
    for (const QString& Block : Blocks[Name]) {
      const std::uint64_t Offset = Index->blocks.size() * Size;
      Index->blocks.push_back({Offset, Size, Offset, Size, Block.toUtf8()});
    }
    return Index;
  };

  QString Error;
  const auto Whole = computeCost(Old, New, Error);
  QVERIFY2(Whole, qPrintable(Error));
  QCOMPARE(Whole->update.bytes, std::uint64_t(8000 + 6000 + 8000 + 500));
  QCOMPARE(Whole->update.requests, 4);

  const auto Cost = computeCost(Old, New, Error, {Loader, Loader});
  QVERIFY2(Cost, qPrintable(Error));
  // At hand: the blocks of B and S, which the new version discards; not
  // those of A, which "big" keeps. C: index and n1, n2 in two ranges of
  // one request. S2: index and n4. D: nothing of it at hand, so index and
  // the whole file. P: whole.
  QCOMPARE(Cost->blocksAtHand, 5);
  QCOMPARE(Cost->chunksByBlocks, 3);
  const std::uint64_t C = 1080 + 4000, S2 = 1060 + 3000, D = 1080 + 8000, P = 500;
  QCOMPARE(Cost->update.bytes, C + S2 + D + P);
  QCOMPARE(Cost->update.requests, 2 + 2 + 2 + 1);
  QCOMPARE(Cost->freshInstall.bytes, Whole->freshInstall.bytes);
  QCOMPARE(Cost->freshInstall.requests, Whole->freshInstall.requests);
  // Old indexes of kept pieces are not even read.
  QVERIFY(!Loaded.contains("A"));

  // An old version without blocks leaves nothing at hand.
  const auto OldWithoutBlocks = Description({Record("A", 6000, false), Record("B", 6000, false)},
                                            {File("big", 12000, {}, {0, 1}), File("small", 6000, Record("S", 6000, false))});
  const auto Plain = computeCost(OldWithoutBlocks, New, Error, {Loader, Loader});
  QVERIFY2(Plain, qPrintable(Error));
  QCOMPARE(Plain->update.bytes, Whole->update.bytes);
  QCOMPARE(Plain->chunksByBlocks, 0);
}

void TestPublisherCommands::costOfPiecesInPacks_data()
{
  QTest::addColumn<int>("pieces");  // in one pack, one file each, 100 bytes each
  QTest::addColumn<int>("gap");     // bytes after each piece; the update changes every third file
  QTest::addColumn<qulonglong>("freshBytes");
  QTest::addColumn<int>("freshRequests");
  QTest::addColumn<qulonglong>("updateBytes");
  QTest::addColumn<int>("updateRequests");
  // Gaps up to 1 KiB are fetched with the pieces; ranges that come to 80 %
  // of the pack fetch it whole.
  QTest::newRow("touching pieces: the whole pack") << 70 << 0 << 7000ull << 1 << 7000ull << 1;
  QTest::newRow("small gaps bridged") << 10 << 500 << 6000ull << 1 << 400ull << 1;
  QTest::newRow("65 ranges in two requests") << 65 << 2000 << 6500ull << 2 << 2200ull << 1;
  QTest::newRow("200 ranges in four requests") << 200 << 2000 << 20000ull << 4 << 6700ull << 2;
}

// Pieces in a pack cost what the launcher's requests for them bring.
void TestPublisherCommands::costOfPiecesInPacks()
{
  QFETCH(int, pieces);
  QFETCH(int, gap);
  QFETCH(qulonglong, freshBytes);
  QFETCH(int, freshRequests);
  QFETCH(qulonglong, updateBytes);
  QFETCH(int, updateRequests);
  const auto Description = [&](bool Changed) {
    QJsonArray Files;
    for (int Index = 0; Index < pieces; ++Index) {
      const QByteArray Content = QString("f%1 %2").arg(Index).arg(Changed && Index % 3 == 0 ? "new" : "old").toUtf8();
      Files.append(QJsonObject{{"localfile", QString("f%1").arg(Index)}, {"unpackedsize", 100},
                               {"unpackedhash", QString(testsupport::sha256Hex(Content))},
                               {"packedhash", QString(testsupport::sha256Hex(Content))}, {"packedsize", 100},
                               {"pack", 0}, {"packoffset", Index * (100 + gap)}, {"unpack", false}});
    }
    const QJsonArray Packs{QJsonObject{{"url", Changed ? "packs/new.pack" : "packs/old.pack"},
                                       {"size", pieces * (100 + gap)}}};
    return orvale::launcher::TPackageConfigurationReader(
        QJsonDocument(QJsonObject{{"version", "x"}, {"packs", Packs}, {"files", Files}}).toJson(), QByteArray(),
        QUrl("http://h/"), QUrl());
  };
  const auto Old = Description(false);
  const auto New = Description(true);
  QVERIFY2(New.isValid(), qPrintable(New.invalidReason()));
  QString Error;
  const auto Cost = computeCost(Old, New, Error);
  QVERIFY2(Cost, qPrintable(Error));
  QCOMPARE(Cost->freshInstall.bytes, std::uint64_t(freshBytes));
  QCOMPARE(Cost->freshInstall.requests, freshRequests);
  QCOMPARE(Cost->update.bytes, std::uint64_t(updateBytes));
  QCOMPARE(Cost->update.requests, updateRequests);
  // The requests count for the first file that needs the pack.
  QCOMPARE(Cost->updateByFile.size(), std::size_t((pieces + 2) / 3));
  QCOMPARE(Cost->updateByFile.front().localFile, QString("f0"));
  QCOMPARE(Cost->updateByFile.front().transfer.requests, updateRequests);
}

void TestPublisherCommands::verifyNamesEachBrokenFile()
{
  QString Error;
  const auto Good = verifyPublication(www() + "/v1", {}, Error);
  QVERIFY2(Good, qPrintable(Error));
  QVERIFY2(Good->problems.empty(), qPrintable(verifyText(*Good)));
  QCOMPARE(qint64(Good->packedBytes), testsupport::fullDownloadSize(m_DescriptionV1));
  QVERIFY(Good->blockIndexFiles > 3);

  // A half-finished upload: one chunk file cut short, one missing, one
  // damaged, block index files likewise; and a description with a chunk
  // outside the folder and a file naming a chunk that does not exist.
  const QString Damaged = www() + "/damaged";
  QCOMPARE(QProcess::execute("cp", {"-a", www() + "/v1", Damaged}), 0);
  const QString Truncated = chunkFilePath(Damaged, m_DescriptionV1, 0);
  const QString Missing = chunkFilePath(Damaged, m_DescriptionV1, 1);
  const QString Corrupted = chunkFilePath(Damaged, m_DescriptionV1, 2);
  QVERIFY(QFile::resize(Truncated, QFileInfo(Truncated).size() / 2));
  QVERIFY(QFile::remove(Missing));
  QByteArray Content = testsupport::readWholeFile(Corrupted);
  Content[Content.size() / 2] = char(Content[Content.size() / 2] ^ 0x10);
  testsupport::writeWholeFile(Corrupted, Content);
  QJsonObject Root = QJsonDocument::fromJson(m_DescriptionV1).object();
  QJsonArray Chunks = Root.value("chunks").toArray();
  QJsonObject Outside = Chunks.at(3).toObject();
  Outside.insert("url", "../outside/secret.raw");
  Chunks.replace(3, Outside);
  // Block index files: one damaged, one whose first block does not decode
  // to its hash (the description vouching for the changed index), one
  // missing.
  QStringList Indexes;
  for (int Index = Chunks.size() - 1; Index > 3 && Indexes.size() < 3; --Index) {
    if (Chunks.at(Index).toObject().contains("blockindex"))
      Indexes.prepend(Damaged + "/" + Chunks.at(Index).toObject().value("blockindex").toString());
  }
  QCOMPARE(Indexes.size(), 3);
  Content = testsupport::readWholeFile(Indexes[0]);
  Content[Content.size() - 1] = char(Content[Content.size() - 1] ^ 0x01);
  testsupport::writeWholeFile(Indexes[0], Content);
  Content = testsupport::readWholeFile(Indexes[1]);
  const QByteArray FirstHash = Content.mid(36 + 8, 32);
  Content.replace(36 + 8, 32, Content.mid(36 + 40 + 8, 32));
  Content.replace(36 + 40 + 8, 32, FirstHash);
  testsupport::writeWholeFile(Indexes[1], Content);
  for (int Index = 0; Index < Chunks.size(); ++Index) {
    QJsonObject Chunk = Chunks.at(Index).toObject();
    if (Damaged + "/" + Chunk.value("blockindex").toString() == Indexes[1]) {
      Chunk.insert("blockindexhash", QString(testsupport::sha256Hex(Content)));
      Chunks.replace(Index, Chunk);
    }
  }
  QVERIFY(QFile::remove(Indexes[2]));
  // A pack with one piece damaged.
  QString Pack;
  QString PieceProblem;
  for (const QJsonValue& Value : Root.value("files").toArray()) {
    const QJsonObject Piece = Value.toObject();
    if (!Piece.contains("pack") || !Pack.isEmpty())
      continue;
    Pack = Damaged + "/" + Root.value("packs").toArray().at(Piece.value("pack").toInt()).toObject().value("url").toString();
    const qint64 Offset = qint64(Piece.value("packoffset").toDouble());
    const qint64 End = Offset + qint64(Piece.value("packedsize").toDouble());
    Content = testsupport::readWholeFile(Pack);
    Content[int(End - 1)] = char(Content[int(End - 1)] ^ 0x20);
    testsupport::writeWholeFile(Pack, Content);
    PieceProblem = QString("the piece at bytes %1 to %2 differs from its packed hash").arg(Offset).arg(End);
  }
  QVERIFY(!Pack.isEmpty());
  Root.insert("chunks", Chunks);
  QJsonArray Files = Root.value("files").toArray();
  for (int Index = 0; Index < Files.size(); ++Index) {
    QJsonObject File = Files.at(Index).toObject();
    if (File.value("localfile").toString() == "data/world.pak") {
      File.insert("chunks", QJsonArray{0, 999});
      Files.replace(Index, File);
    }
  }
  Root.insert("files", Files);
  testsupport::writeWholeFile(Damaged + "/package.json", QJsonDocument(Root).toJson());
  testsupport::writeWholeFile(www() + "/outside/secret.raw", "not to be read");

  const auto Relative = [&](const QString& Path) { return QDir(Damaged).relativeFilePath(Path); };
  const QMap<QString, QString> Expected{{Relative(Truncated), "is truncated: "},
                                        {Relative(Missing), "is missing"},
                                        {Relative(Corrupted), "differs from its packed hash"},
                                        {"../outside/secret.raw", "lies outside the published folder"},
                                        {Relative(Indexes[0]), "differs from its hash"},
                                        {Relative(Indexes[1]), "block 0 (bytes "},
                                        {Relative(Indexes[2]), "is missing"},
                                        {Relative(Pack), PieceProblem},
                                        {Damaged + "/package.json", "the file data/world.pak names chunk 999"},
                                        // v1's compressed copy beside the changed description.
                                        {Damaged + "/package.json.zst", "does not decode to the description beside it"}};
  const auto Local = verifyPublication(Damaged, {}, Error);
  QVERIFY2(Local, qPrintable(Error));
  QMap<QString, QString> Found;
  for (const TVerifyProblem& Problem : Local->problems)
    Found.insert(Problem.location, Problem.problem);
  QCOMPARE(Found.keys(), Expected.keys());
  for (auto Item = Expected.begin(); Item != Expected.end(); ++Item)
    QVERIFY2(Found.value(Item.key()).startsWith(Item.value()), qPrintable(Found.value(Item.key())));

  // The same upload checked on the web server.
  testsupport::TNginxServer Nginx(www());
  const auto Remote = verifyPublication(Nginx.url("/damaged/package.json").toString(), {}, Error);
  QVERIFY2(Remote, qPrintable(Error));
  QMap<QString, QString> FoundRemote;
  for (const TVerifyProblem& Problem : Remote->problems)
    FoundRemote.insert(QUrl(Problem.location).path(), Problem.problem);
  QCOMPARE(FoundRemote.size(), Expected.size());
  for (const QString& Path : QStringList{Truncated, Missing, Corrupted, Pack} + Indexes) {
    const QString UrlPath = "/damaged/" + Relative(Path);
    QCOMPARE(FoundRemote.value(UrlPath).left(12), Expected.value(Relative(Path)).left(12));
  }
}

void TestPublisherCommands::collectKeepsExactlyWhatIsNamed()
{
  // Two versions published into one folder; the old description kept
  // elsewhere.
  const QString Game = m_Work.filePath("collect/game");
  QVERIFY(testsupport::publishFolder(m_BuildV1, Game, "1.0"));
  const QString OldDescription = m_Work.filePath("collect/releases/1.0.json");
  testsupport::writeWholeFile(OldDescription, testsupport::readWholeFile(Game + "/package.json"));
  QVERIFY(testsupport::publishFolder(m_BuildV2, Game, "2.0"));
  // cost finds the block indexes of the kept old description beside the new
  // one, where both versions were published.
  const auto Cost = runProgram("ashgrove-publish", {"cost", OldDescription, Game, "--json"});
  QCOMPARE(Cost.exitCode, 0);
  const QJsonObject CostJson = QJsonDocument::fromJson(Cost.out.toUtf8()).object();
  QCOMPARE(CostJson.value("old_block_indexes_missing").toInt(), 0);
  QVERIFY(CostJson.value("chunks_fetched_by_blocks").toInt() > 0);
  const QSet<QString> OldNames = namedFileNames(testsupport::readWholeFile(OldDescription));
  const QSet<QString> NewNames = namedFileNames(testsupport::readWholeFile(Game + "/package.json"));
  // Beside the chunk files: a file of someone else, and a link that leads
  // out of the folder under a chunk file's name.
  testsupport::writeWholeFile(Game + "/chunks/README.txt", "notes");
  const QString Precious = m_Work.filePath("collect/precious.raw");
  testsupport::writeWholeFile(Precious, "outside");
  const QString Link = Game + "/chunks/ff/" + QString(64, 'f') + ".raw";
  QDir().mkpath(QFileInfo(Link).absolutePath());
  QVERIFY(QFile::link(Precious, Link));
  const QStringList Stores{Game + "/chunks", Game + "/packs"};
  const QMap<QString, qint64> Before = filesBelow(Stores);
  QCOMPARE(QSet<QString>(Before.keyBegin(), Before.keyEnd()), OldNames + NewNames + QSet<QString>{"README.txt"});

  QString Error;
  // Keeping the old version keeps everything (the folder's own
  // description is always kept).
  TCollectOptions Options{Game, {OldDescription}, true};
  auto Report = collectChunkFiles(Options, Error);
  QVERIFY2(Report, qPrintable(Error));
  QCOMPARE(Report->keptDescriptions.size(), 2);
  QVERIFY(Report->deleted.empty());

  // Keeping the new version only: first a dry run, then for real.
  const QSet<QString> Unneeded = OldNames - NewNames;
  QVERIFY(!Unneeded.isEmpty());
  qint64 UnneededBytes = 0;
  for (const QString& Name : Unneeded)
    UnneededBytes += Before.value(Name);
  for (const bool DryRun : {true, false}) {
    Options = TCollectOptions{Game, {Game + "/package.json"}, DryRun};
    Report = collectChunkFiles(Options, Error);
    QVERIFY2(Report, qPrintable(Error));
    QSet<QString> Deleted;
    for (const TCollectedFile& File : Report->deleted)
      Deleted.insert(QFileInfo(File.path).fileName());
    QCOMPARE(Deleted, Unneeded);
    QCOMPARE(qint64(Report->freedBytes), UnneededBytes);
    QCOMPARE(Report->keptFiles, NewNames.size());
    QCOMPARE(Report->skippedLinks.size(), 1);
    QVERIFY(Report->failures.isEmpty());
    const QMap<QString, qint64> After = filesBelow(Stores);
    QCOMPARE(QSet<QString>(After.keyBegin(), After.keyEnd()),
             DryRun ? OldNames + NewNames + QSet<QString>{"README.txt"} : NewNames + QSet<QString>{"README.txt"});
  }
  QVERIFY(QFileInfo(Link).isSymLink());
  QCOMPARE(testsupport::readWholeFile(Precious), QByteArray("outside"));

  // A description that does not parse stops the collection before anything
  // is deleted.
  testsupport::writeWholeFile(OldDescription, "{ \"files\": [");
  testsupport::writeWholeFile(Game + "/chunks/00/" + QString(64, '0') + ".raw", "stray");
  Options = TCollectOptions{Game, {OldDescription}, false};
  QVERIFY(!collectChunkFiles(Options, Error));
  QVERIFY2(Error.contains(OldDescription) && Error.contains("not JSON"), qPrintable(Error));
  QVERIFY(QFile::exists(Game + "/chunks/00/" + QString(64, '0') + ".raw"));

  // The collected folder still installs.
  testsupport::TNginxServer Nginx(m_Work.filePath("collect"));
  testsupport::TEngineFixture Fixture;
  const auto Run = Fixture.install(
      Fixture.configuration(Nginx.url("/game/package.json"), testsupport::readWholeFile(Game + "/package.json")));
  QCOMPARE(Run.errorReason, orvale::launcher::NoDownloaderError);
  QCOMPARE(Run.status, orvale::launcher::ELocalPackageStatus::UpToDate);
  QCOMPARE(testsupport::describeTree(Fixture.installationDirectory(), testsupport::InstallationMarkerFiles),
           testsupport::describeTree(m_BuildV2));
}

void TestPublisherCommands::fetchingStaysWithinItsLimit()
{
  testsupport::TTestHttpServer Server;
  const QByteArray Body = testsupport::pseudoRandomBytes(1000, 1);
  Server.setBody("/file", Body);
  Server.setBody("/broken", Body);
  Server.setFault("/broken", testsupport::TTestHttpServer::TFault::status(500));
  TFetchedFile Fetched = fetchUrl(Server.url("/file"), 1000);
  QCOMPARE(Fetched.state, TFetchedFile::EState::Read);
  QCOMPARE(Fetched.data, Body);
  QCOMPARE(fetchUrl(Server.url("/file"), 999).state, TFetchedFile::EState::TooLarge);
  QCOMPARE(fetchUrl(Server.url("/nothing"), 999).state, TFetchedFile::EState::Missing);
  Fetched = fetchUrl(Server.url("/broken"), 1000);
  QCOMPARE(Fetched.state, TFetchedFile::EState::Failed);
  QVERIFY(Fetched.error.contains("500"));
  // A body without Content-Length is cut off at the limit as it arrives.
  Server.setFault("/file", testsupport::TTestHttpServer::TFault::trickle(100, 10));
  QCOMPARE(fetchUrl(Server.url("/file"), 999).state, TFetchedFile::EState::TooLarge);
}

void TestPublisherCommands::commandLine()
{
  const auto Help = runProgram("ashgrove-publish", {"--help"});
  QCOMPARE(Help.exitCode, 0);
  for (const QString& Command : {"cost OLD_DESCRIPTION NEW_DESCRIPTION", "verify OUT_DIR", "gc OUT_DIR --keep"})
    QVERIFY2(Help.out.contains(Command), qPrintable(Command));
  const auto Version = runProgram("ashgrove-publish", {"--version"});
  QCOMPARE(Version.exitCode, 0);
  QVERIFY(Version.out.startsWith("ashgrove-publish 0."));

  // Off a terminal a publication prints its summary only; one that uses
  // zstd adds a note that launchers from before it cannot install it.
  const QString Build = m_Work.filePath("cli/build");
  testsupport::writeWholeFile(Build + "/data.txt", testsupport::textBytes(300000, 5));
  const auto Published = runProgram("ashgrove-publish", {"--input", Build, "--output", m_Work.filePath("cli/out"),
                                                         "--version", "1", "--codecs", "compatible"});
  QCOMPARE(Published.exitCode, 0);
  QCOMPARE(Published.err, QString());
  QCOMPARE(Published.out.count('\n'), 1);
  QVERIFY2(Published.out.startsWith("published 1 file, 300000 bytes"), qPrintable(Published.out));
  QVERIFY(Published.out.contains(" 0 zstd,"));
  const auto WithZstd =
      runProgram("ashgrove-publish", {"--input", Build, "--output", m_Work.filePath("cli/out-zstd"), "--version", "1"});
  QCOMPARE(WithZstd.exitCode, 0);
  QVERIFY(WithZstd.out.contains(" 1 zstd,"));
  QVERIFY(WithZstd.out.contains("--codecs compatible"));

  const auto Json = runProgram("ashgrove-publish", {"cost", www() + "/v1", www() + "/v2", "--json"});
  QCOMPARE(Json.exitCode, 0);
  const QJsonObject Cost = QJsonDocument::fromJson(Json.out.toUtf8()).object();
  QCOMPARE(Cost.value("update").toObject().value("bytes").toDouble(),
           double(costOf(www() + "/v1", www() + "/v2", true).update.bytes));

  // Errors name the file and what is wrong; wrong command lines end with 2.
  testsupport::writeWholeFile(m_Work.filePath("cli/broken.json"), "[1, 2");
  const auto NotJson = runProgram("ashgrove-publish", {"cost", m_Work.filePath("cli/broken.json"), www() + "/v2"});
  QCOMPARE(NotJson.exitCode, 1);
  QVERIFY2(NotJson.err.contains(m_Work.filePath("cli/broken.json") + ": not JSON"), qPrintable(NotJson.err));
  const QString Broken = m_Work.filePath("cli/v1");
  QCOMPARE(QProcess::execute("cp", {"-a", www() + "/v1", Broken}), 0);
  const QString Gone = chunkFilePath(Broken, m_DescriptionV1, 0);
  QVERIFY(QFile::remove(Gone));
  const auto Verify = runProgram("ashgrove-publish", {"verify", Broken});
  QCOMPARE(Verify.exitCode, 1);
  QVERIFY2(Verify.out.contains(QDir(Broken).relativeFilePath(Gone) + ": is missing"), qPrintable(Verify.out));
  QCOMPARE(runProgram("ashgrove-publish", {"gc", Broken}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"--input", Build, "--output", Broken}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"--input", Build, "--codec", "brotli"}).exitCode, 2);
  // A wrong command line is answered in a few lines, not the whole help.
  const auto Mistyped = runProgram("ashgrove-publish", {"verfy", Broken});
  QCOMPARE(Mistyped.exitCode, 2);
  QCOMPARE(Mistyped.err, QString("ashgrove-publish: unknown command verfy (did you mean verify?)\n"
                                 "see 'ashgrove-publish --help'\n"));
  const auto VerifyHelp = runProgram("ashgrove-publish", {"verify", "--help"});
  QCOMPARE(VerifyHelp.exitCode, 0);
  QVERIFY2(VerifyHelp.out.startsWith("usage: ashgrove-publish verify OUT_DIR|DESCRIPTION"), qPrintable(VerifyHelp.out));
  // verify: 1 for problems found (above), 2 when the description cannot be
  // read; --json and --quiet.
  QCOMPARE(runProgram("ashgrove-publish", {"verify", m_Work.filePath("cli/nothing-here")}).exitCode, 2);
  const auto VerifyJson = runProgram("ashgrove-publish", {"verify", "--json", Broken});
  QCOMPARE(VerifyJson.exitCode, 1);
  const QJsonArray Problems = QJsonDocument::fromJson(VerifyJson.out.toUtf8()).object().value("problems").toArray();
  QCOMPARE(Problems.size(), 1);
  QCOMPARE(Problems.at(0).toObject().value("location").toString(), QDir(Broken).relativeFilePath(Gone));
  QVERIFY2(Verify.out.startsWith("1 problem in "), qPrintable(Verify.out));
  const auto Quiet = runProgram("ashgrove-publish", {"verify", "-q", www() + "/v1"});
  QCOMPARE(Quiet.exitCode, 0);
  QCOMPARE(Quiet.out + Quiet.err, QString());
  const auto PublishJson = runProgram("ashgrove-publish", {"--input=" + Build, "--output=" + m_Work.filePath("cli/out"),
                                                           "--version=1", "--codecs=compatible", "--json"});
  QCOMPARE(PublishJson.exitCode, 0);
  QCOMPARE(QJsonDocument::fromJson(PublishJson.out.toUtf8()).object().value("files").toInt(), 1);
  QCOMPARE(QJsonDocument::fromJson(PublishJson.out.toUtf8()).object().value("chunk_files_reused").toInt(), 1);
  QCOMPARE(runProgram("ashgrove-publish", {"--input", Build, "--output", Broken, "--version", "1", "--codecs", "zstd,xz"})
               .exitCode,
           2);
  // Options that contradict each other are refused, not half followed.
  const auto Contradiction = runProgram("ashgrove-publish", {"--input", Build, "--output", m_Work.filePath("cli/out-no"),
                                                             "--version", "1", "--codec", "zstd", "--codecs", "deflate"});
  QCOMPARE(Contradiction.exitCode, 2);
  QVERIFY(Contradiction.err.contains("--codec zstd is not among --codecs"));
  QVERIFY(!QFile::exists(m_Work.filePath("cli/out-no")));

  // Small files go into packs, except in a publication for every launcher
  // (--codecs compatible), which refuses packs asked for.
  const QString Small = m_Work.filePath("cli/small");
  testsupport::writeWholeFile(Small + "/a.txt", testsupport::textBytes(3000, 6));
  testsupport::writeWholeFile(Small + "/b.txt", testsupport::textBytes(4000, 7));
  const auto PublishSmall = [&](const QString& Output, const QStringList& Options) {
    const auto Run = runProgram("ashgrove-publish", QStringList{"--input", Small, "--output", m_Work.filePath(Output),
                                                                "--version", "1", "--json"} + Options);
    return std::make_pair(Run, QJsonDocument::fromJson(Run.out.toUtf8()).object());
  };
  const auto [InPacks, InPacksJson] = PublishSmall("cli/small-packed", {});
  QCOMPARE(InPacks.exitCode, 0);
  QCOMPARE(InPacksJson.value("pieces_in_packs").toInt(), 2);
  QCOMPARE(InPacksJson.value("packs_written").toInt(), 1);
  QCOMPARE(InPacksJson.value("chunk_files_written").toInt(), 0);
  const auto [ForAll, ForAllJson] = PublishSmall("cli/small-compatible", {"--codecs", "compatible"});
  QCOMPARE(ForAll.exitCode, 0);
  QCOMPARE(ForAllJson.value("pieces_in_packs").toInt(), 0);
  QCOMPARE(ForAllJson.value("chunk_files_written").toInt(), 2);
  QVERIFY(!QFileInfo::exists(m_Work.filePath("cli/small-compatible/packs")));
  const auto [Refused, RefusedJson] = PublishSmall("cli/small-refused", {"--codecs", "compatible", "--pack-below", "1000"});
  QCOMPARE(Refused.exitCode, 2);
  QVERIFY2(Refused.err.contains("--codecs compatible writes no packs"), qPrintable(Refused.err));
  QVERIFY(!QFileInfo::exists(m_Work.filePath("cli/small-refused")));
  QCOMPARE(PublishSmall("cli/small-refused", {"--pack-size", "16777217"}).first.exitCode, 2);
  // Many similar small files are packed with a dictionary, which the
  // summary counts and verify checks; none with --dictionary-size 0 or for
  // every launcher.
  const QString Similar = m_Work.filePath("cli/similar");
  testsupport::writeSimilarTextFiles(Similar, "quests", 150);
  for (const auto& [Output, Options, Used] :
       {std::tuple<QString, QStringList, bool>{"cli/similar-packed", {}, true},
        {"cli/similar-none", {"--dictionary-size", "0"}, false},
        {"cli/similar-compatible", {"--codecs", "compatible"}, false}}) {
    const auto Run = runProgram("ashgrove-publish", QStringList{"--input", Similar, "--output", m_Work.filePath(Output),
                                                                "--version", "1"} + Options);
    QCOMPARE(Run.exitCode, 0);
    QVERIFY2(Run.out.contains(QRegularExpression("; 150 with a dictionary of \\d+ bytes \\(new\\);")) == Used,
             qPrintable(Run.out));
    QCOMPARE(QFileInfo::exists(m_Work.filePath(Output + "/dictionaries")), Used);
    const auto Verified = runProgram("ashgrove-publish", {"verify", m_Work.filePath(Output)});
    QCOMPARE(Verified.exitCode, 0);
    QCOMPARE(Verified.out.contains(", 1 dictionary ("), Used);
  }
  QCOMPARE(runProgram("ashgrove-publish", {"--input", Similar, "--output", m_Work.filePath("cli/similar-refused"),
                                           "--version", "1", "--dictionary-size", "1048577"})
               .exitCode,
           2);

  // cost with the old description kept outside its published folder: its
  // block indexes are found where --chunks says, and without it cost says
  // that it could not find them.
  const QString Kept = m_Work.filePath("cli/releases/1.0.json");
  testsupport::writeWholeFile(Kept, m_DescriptionV1);
  const TCostReport WithBlocks = costOf(www() + "/v1", www() + "/v2", true);
  const auto Elsewhere = runProgram("ashgrove-publish", {"cost", Kept, www() + "/v2", "--json", "--chunks", www() + "/v1"});
  QCOMPARE(Elsewhere.exitCode, 0);
  const QJsonObject Found = QJsonDocument::fromJson(Elsewhere.out.toUtf8()).object();
  QCOMPARE(Found.value("update").toObject().value("bytes").toDouble(), double(WithBlocks.update.bytes));
  QCOMPARE(Found.value("old_block_indexes_missing").toInt(), 0);
  // The same for the new description's block indexes.
  const QString KeptNew = m_Work.filePath("cli/releases/2.0.json");
  testsupport::writeWholeFile(KeptNew, m_DescriptionV2);
  const auto NewElsewhere = runProgram("ashgrove-publish", {"cost", www() + "/v1", KeptNew, "--json"});
  // (Some are found beside the old one: index files are named by content.)
  QVERIFY(QJsonDocument::fromJson(NewElsewhere.out.toUtf8()).object().value("new_block_indexes_missing").toInt() > 0);
  const auto NewFound = runProgram("ashgrove-publish", {"cost", www() + "/v1", KeptNew, "--json", "--chunks=" + www() + "/v2"});
  QCOMPARE(QJsonDocument::fromJson(NewFound.out.toUtf8()).object().value("update").toObject().value("bytes").toDouble(),
           double(WithBlocks.update.bytes));
  const auto NotFound = runProgram("ashgrove-publish", {"cost", Kept, www() + "/v2"});
  QCOMPARE(NotFound.exitCode, 0);
  QVERIFY2(NotFound.out.contains("could not be found (looked in " + QFileInfo(Kept).absolutePath()) &&
               NotFound.out.contains("--chunks DIR"),
           qPrintable(NotFound.out));

}

// The parser of the command line: both forms of options, the help of
// each command, mistakes named with what was probably meant.
void TestPublisherCommands::commandLineParsing_data()
{
  QTest::addColumn<QStringList>("arguments");
  QTest::addColumn<int>("kind");
  QTest::addColumn<QString>("expected");  // an option's values ("name=a,b"), the command helped, or the error
  using EKind = cli::TParseOutcome::EKind;
  const QStringList Publish{"--input", "b", "--output", "o", "--version", "1"};
  QTest::newRow("--option=value") << QStringList{"--input=b", "--output", "o", "--version=1.0"} << int(EKind::Run)
                                  << "version=1.0";
  QTest::newRow("values starting with -")
      << Publish + QStringList{"--parameter", "--windowed", "--parameter=-x"} << int(EKind::Run) << "parameter=--windowed,-x";
  QTest::newRow("a list up to the next option") << QStringList{"gc", "www", "--keep", "a", "b", "--dry-run"}
                                                << int(EKind::Run) << "keep=a,b";
  QTest::newRow("command help") << QStringList{"verify", "--help"} << int(EKind::Help) << "verify";
  QTest::newRow("help COMMAND") << QStringList{"help", "gc"} << int(EKind::Help) << "gc";
  QTest::newRow("version") << QStringList{"--version"} << int(EKind::Version) << "";
  QTest::newRow("mistyped command") << QStringList{"cots", "a", "b"} << int(EKind::Error)
                                    << "unknown command cots (did you mean cost?)";
  QTest::newRow("mistyped option") << QStringList{"--input", "b", "--ouput", "o", "--version", "1"} << int(EKind::Error)
                                   << "publishing takes no option --ouput (did you mean --output?)";
  QTest::newRow("unknown generation") << Publish + QStringList{"--generation", "third"} << int(EKind::Error)
                                      << "--generation cannot be third: it is one of first, second";
  QTest::newRow("mistyped variant") << Publish + QStringList{"--variant", "bta"} << int(EKind::Error)
                                    << "(did you mean beta?)";
  QTest::newRow("missing required option") << QStringList{"--input", "b", "--output", "o"} << int(EKind::Error)
                                           << "publishing needs --version";
  QTest::newRow("missing value") << QStringList{"cost", "a", "b", "--top"} << int(EKind::Error)
                                 << "--top needs a value (N)";
  QTest::newRow("value for a switch") << QStringList{"cost", "a", "b", "--json=yes"} << int(EKind::Error)
                                      << "--json takes no value";
  QTest::newRow("option given twice") << Publish + QStringList{"--input", "c"} << int(EKind::Error)
                                      << "--input is given twice";
  QTest::newRow("too many arguments") << QStringList{"verify", "a", "b"} << int(EKind::Error)
                                      << "verify needs one published folder, description or URL (given: a b)";
  QTest::newRow("an option of another command") << QStringList{"cost", "a", "b", "--dry-run"} << int(EKind::Error)
                                                << "cost takes no option --dry-run";
}

void TestPublisherCommands::commandLineParsing()
{
  QFETCH(QStringList, arguments);
  QFETCH(int, kind);
  QFETCH(QString, expected);
  const cli::TParseOutcome Outcome = cli::parseCommandLine(cli::publisherCommands(), arguments);
  QCOMPARE(int(Outcome.kind), kind);
  switch (Outcome.kind) {
  case cli::TParseOutcome::EKind::Run:
    QCOMPARE(expected.section('=', 1).split(','), Outcome.line.values(expected.section('=', 0, 0)));
    break;
  case cli::TParseOutcome::EKind::Help:
    QCOMPARE(Outcome.command->name, expected);
    break;
  case cli::TParseOutcome::EKind::Error:
    QVERIFY2(Outcome.error.contains(expected), qPrintable(Outcome.error));
    break;
  case cli::TParseOutcome::EKind::Version:
    break;
  }
}

// keygen, sign and publishing with --sign, through the command line.
void TestPublisherCommands::signingCommands()
{
  const QString Folder = m_Work.filePath("signing");
  QVERIFY(QDir().mkpath(Folder));
  const QString KeyFile = Folder + "/release.key";
  const auto Made = runProgram("ashgrove-publish", {"keygen", KeyFile});
  QCOMPARE(Made.exitCode, 0);
  QCOMPARE(Made.err, QString());
  // Standard output is the public key's line and nothing else.
  QCOMPARE(Made.out, QString::fromLatin1(testsupport::readWholeFile(KeyFile + ".pub")));
  const auto Key = shared::TReleaseKey::fromText(Made.out.chopped(1));
  QVERIFY(Key);
  struct stat Status = {};
  QCOMPARE(::stat(QFile::encodeName(KeyFile).constData(), &Status), 0);
  QCOMPARE(Status.st_mode & 07777, mode_t(0600));
  // A key is never replaced.
  const QByteArray Private = testsupport::readWholeFile(KeyFile);
  const auto Again = runProgram("ashgrove-publish", {"keygen", KeyFile});
  QCOMPARE(Again.exitCode, 1);
  QCOMPARE(Again.out, QString());
  QVERIFY2(Again.err.contains("exists already"), qPrintable(Again.err));
  QCOMPARE(testsupport::readWholeFile(KeyFile), Private);

  // sign: FILE.sig beside FILE, which stays as it is, valid for the days
  // given, for the role given; the configuration is named by its file name.
  const QString Document = Folder + "/velmetadata.json";
  testsupport::writeWholeFile(Document, R"({"packages": []})");
  const auto Signed = runProgram("ashgrove-publish", {"sign", KeyFile, Document, "--valid-days", "2", "--role", "configuration"});
  QCOMPARE(Signed.exitCode, 0);
  QCOMPARE(Signed.out, Document + ".sig: signed as the configuration velmetadata.json\n");
  QCOMPARE(testsupport::readWholeFile(Document), QByteArray(R"({"packages": []})"));
  const auto Signature = shared::TReleaseSignature::parse(testsupport::readWholeFile(Document + ".sig"));
  QVERIFY(Signature);
  QVERIFY(Signature->key == *Key);
  const qint64 Seconds = QDateTime::currentDateTimeUtc().secsTo(Signature->expires);
  QVERIFY2(Seconds > 2 * 86400 - 600 && Seconds <= 2 * 86400, qPrintable(QString::number(Seconds)));
  QVERIFY(qAbs(QDateTime::currentDateTimeUtc().secsTo(Signature->signedAt)) < 600);
  const shared::TSignedDocument Configuration{shared::EDocumentRole::Configuration, "velmetadata.json"};
  QVERIFY(shared::checkReleaseSignature(testsupport::readWholeFile(Document), testsupport::readWholeFile(Document + ".sig"),
                                        {*Key}, Configuration, shared::EExpiry::Enforced)
              .valid());
  // Other documents are named by their path from the folder above theirs,
  // from --root, or as --name gives it.
  testsupport::writeWholeFile(Folder + "/www/game/assets.json", "{}");
  for (const auto& [Options, Name] : {std::pair<QStringList, QString>{{}, "game/assets.json"},
                                      {{"--root", Folder}, "www/game/assets.json"},
                                      {{"--name", "extra/assets.json"}, "extra/assets.json"}}) {
    QCOMPARE(runProgram("ashgrove-publish", QStringList{"sign", KeyFile, Folder + "/www/game/assets.json", "--role", "asset"} + Options)
                 .exitCode,
             0);
    const auto Asset = shared::TReleaseSignature::parse(testsupport::readWholeFile(Folder + "/www/game/assets.json.sig"));
    QVERIFY(Asset && Asset->document == shared::TSignedDocument({shared::EDocumentRole::Asset, Name}));
  }

  // Publishing with --sign: package.json.sig vouches for package.json as the
  // package description named from the folder above the output, for 30 days.
  const QString Build = Folder + "/build";
  testsupport::writeWholeFile(Build + "/data.txt", testsupport::textBytes(10000, 6));
  const QString Output = Folder + "/out";
  QCOMPARE(runProgram("ashgrove-publish", {"--input", Build, "--output", Output, "--version", "1", "--sign", KeyFile}).exitCode, 0);
  const QByteArray Description = testsupport::readWholeFile(Output + "/package.json");
  const QByteArray DescriptionSignature = testsupport::readWholeFile(Output + "/package.json.sig");
  const shared::TSignedDocument Published{shared::EDocumentRole::Package, "out/package.json"};
  QCOMPARE(shared::checkReleaseSignature(Description, DescriptionSignature, {*Key}, Published, shared::EExpiry::Enforced,
                                         QDateTime::currentDateTimeUtc().addDays(29))
               .result,
           shared::ESignatureCheck::Valid);
  QCOMPARE(shared::checkReleaseSignature(Description, DescriptionSignature, {*Key}, Published, shared::EExpiry::Enforced,
                                         QDateTime::currentDateTimeUtc().addDays(31))
               .result,
           shared::ESignatureCheck::Expired);
  // verify checks the signature beside the description against the key it
  // names, or the keys given: one left from another document (as a folder
  // published again without --sign keeps), a malformed one, one of the old
  // format, one made for another role or place, or by another key is named.
  QCOMPARE(runProgram("ashgrove-publish", {"verify", Output}).exitCode, 0);
  QCOMPARE(runProgram("ashgrove-publish", {"verify", Output, "--key", QString::fromLatin1(Key->text())}).exitCode, 0);
  const QString Stale = Folder + "/stale";
  QCOMPARE(QProcess::execute("cp", {"-a", Output, Stale}), 0);
  const auto SignatureAs = [&](const shared::TSignedDocument& Signed) {
    return testsupport::firstReleaseKey().signatureFile(
        Description, {Signed, QDateTime::currentDateTimeUtc(), QDateTime::currentDateTimeUtc().addDays(1)});
  };
  const QString OtherKey = QString::fromLatin1(testsupport::secondReleaseKey().publicKey().text());
  struct TCase
  {
    QByteArray signature;  // none: no signature file
    QStringList options;
    QString problem;
  };
  const std::vector<TCase> Cases{
      {testsupport::readWholeFile(Document + ".sig"), {}, "does not vouch for the description: bad signature"},
      {QByteArray("ashgrove-signature 2\n"), {}, "does not vouch for the description: malformed"},
      {QByteArray("ashgrove-signature 1\nkey x\n"), {}, "does not vouch for the description: old format"},
      {DescriptionSignature, {"--key", OtherKey}, "does not vouch for the description: unknown key"},
      {QByteArray(), {"--key", OtherKey}, "is missing: the description is not signed"},
      {SignatureAs({shared::EDocumentRole::Configuration, "stale/package.json"}), {},
       "is made for the configuration stale/package.json, not for a package or launcher description"},
      {SignatureAs({shared::EDocumentRole::Package, "game/package.json"}), {},
       "is made for the package description game/package.json, which is not where the description lies"}};
  for (const TCase& Case : Cases) {
    QFile::remove(Stale + "/package.json.sig");
    if (!Case.signature.isEmpty())
      testsupport::writeWholeFile(Stale + "/package.json.sig", Case.signature);
    const auto Checked = runProgram("ashgrove-publish", QStringList{"verify", Stale} + Case.options);
    QCOMPARE(Checked.exitCode, 1);
    QVERIFY2(Checked.out.contains("package.json.sig: " + Case.problem), qPrintable(Checked.out));
  }
  // The launcher's own description, and a place beside the configuration's folder.
  for (const QString& Name : {QString("stale/package.json"), QString("../stale/package.json")}) {
    testsupport::writeWholeFile(Stale + "/package.json.sig", SignatureAs({shared::EDocumentRole::Launcher, Name}));
    const auto Checked = runProgram("ashgrove-publish", {"verify", Stale, "--key", OtherKey, "--key",
                                                         QString::fromLatin1(testsupport::firstReleaseKey().publicKey().text())});
    QVERIFY2(Checked.exitCode == 0, qPrintable(Checked.out));
  }

  // The signature is written before the description: when it cannot be,
  // the published description stays as it was.
  QVERIFY(QFile::remove(Output + "/package.json.sig"));
  QVERIFY(QDir().mkpath(Output + "/package.json.sig"));
  testsupport::writeWholeFile(Build + "/more.txt", "more");
  const auto Blocked =
      runProgram("ashgrove-publish", {"--input", Build, "--output", Output, "--version", "2", "--sign", KeyFile});
  QCOMPARE(Blocked.exitCode, 1);
  QVERIFY2(Blocked.err.contains("package.json.sig"), qPrintable(Blocked.err));
  QCOMPARE(testsupport::readWholeFile(Output + "/package.json"), Description);

  // Wrong command lines end with 2, a key that cannot be read with 1.
  QCOMPARE(runProgram("ashgrove-publish", {"--input", Build, "--output", Output, "--version", "2", "--valid-days", "3"})
               .exitCode,
           2);
  QCOMPARE(runProgram("ashgrove-publish", {"sign", KeyFile, Document, "--valid-days", "0", "--role", "package"}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"sign", KeyFile, Document}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"sign", KeyFile, Document, "--role", "manual"}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"sign", KeyFile, Document, "--role", "asset", "--root", Folder, "--name", "a"})
               .exitCode,
           2);
  QCOMPARE(runProgram("ashgrove-publish", {"--input", Build, "--output", Output, "--version", "2", "--sign", KeyFile,
                                           "--role", "configuration"})
               .exitCode,
           2);
  QCOMPARE(runProgram("ashgrove-publish", {"verify", Output, "--key", "not-a-key"}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"sign", KeyFile}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"keygen"}).exitCode, 2);
  QCOMPARE(runProgram("ashgrove-publish", {"sign", KeyFile + ".pub", Document, "--role", "configuration"}).exitCode, 1);
  // A name that a signature cannot carry is refused before anything is written.
  QCOMPARE(runProgram("ashgrove-publish", {"sign", KeyFile, Document, "--role", "package", "--name", "/abs.json"}).exitCode, 1);
}

QTEST_GUILESS_MAIN(TestPublisherCommands)
#include "test_publishercommands.moc"
