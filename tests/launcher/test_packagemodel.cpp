#include "launcher/launcherconfigurationreader.h"
#include "launcher/launcherfilesystemhelper.h"
#include "engine/package.h"
#include "shared/descriptiondocument.h"
#include "shared/packageconfigurationreader.h"

#include "testsupport.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

using namespace orvale::launcher;

namespace {

QByteArray hex(char Fill)
{
  return QByteArray(32, Fill).toHex();
}

} // namespace

class TestPackageModel : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void configurationDefaults();
  void configurationPackagesAndBuilds();
  void configurationRejectsCutOffDocuments();
  void baseUrlResolution();
  void currentBuildChoice();
  void statusSignalOnlyOnChange();
  void descriptionParsing();
  void descriptionMergesAndSortsFiles();
  void descriptionVersions();
  void descriptionInvalidJson_data();
  void descriptionInvalidJson();
  void descriptionConversions();
  void executablePathAndLookup();
};

void TestPackageModel::initTestCase()
{
  QCoreApplication::setOrganizationName("Veldan GmbH");
  QCoreApplication::setApplicationName("Ashgrove Online Tests");
}

void TestPackageModel::configurationDefaults()
{
  for (const QByteArray& Document : {QByteArray("{}"), QByteArray("[]"), QByteArray("[1,2]")}) {
    TLauncherConfigurationReader Reader(Document, QUrl("https://h/launcher/"));
    QVERIFY(!Reader.launcherPackage());
    QVERIFY(Reader.packages().empty());
    QVERIFY(Reader.hintsUrl().isEmpty());
    QVERIFY(Reader.funnelUrl().isEmpty());
    QVERIFY(Reader.hardwareSurveyUrl().isEmpty());
    QVERIFY(!Reader.preventDefaultAutostart());
    QVERIFY(!Reader.showPackageNames());
    QCOMPARE(Reader.documentData(), Document);
  }
  // Wrong types take the defaults.
  TLauncherConfigurationReader Reader(
      R"({"launcher": [1], "packages": {"a": 1}, "hints": 5, "funnel": ["x"], "preventdefaultautostart": "true",
          "showpackagenames": 1})",
      QUrl("https://h/"));
  QVERIFY(!Reader.launcherPackage());
  QVERIFY(Reader.packages().empty());
  QVERIFY(Reader.hintsUrl().isEmpty());
  QVERIFY(Reader.funnelUrl().isEmpty());
  QVERIFY(!Reader.preventDefaultAutostart());
  QVERIFY(!Reader.showPackageNames());
}

void TestPackageModel::configurationPackagesAndBuilds()
{
  const QByteArray Document = R"({
    "launcher": {"name": "Launcher", "builds": [{"os": "linux", "architecture": "x86_64", "url": "launcher/package.json"}]},
    "packages": [
      {"name": "Client", "directoryname": "client", "installautomatically": true, "logolinktarget": "https://example.org/x",
       "builds": [{"os": "LINUX", "architecture": "X86_64", "url": "builds/linux/package.json", "assetsurl": "builds/linux/assets.json",
                   "compressedurl": "builds/linux/package.json.zst"}]},
      7,
      {"name": "NoBuilds", "directoryname": "nobuilds", "builds": {"os": "linux"}}
    ],
    "hints": "https://h/hints.json", "hardwaresurvey": "https://h/survey", "funnel": "https://h/funnel",
    "preventdefaultautostart": true, "showpackagenames": true
  })";
  TLauncherConfigurationReader Reader(Document, urlWithoutFileName(QUrl("https://h:8443/launcher/velmetadata.json?x=1")));
  QCOMPARE(Reader.baseUrl(), QUrl("https://h:8443/launcher/"));
  QVERIFY(Reader.launcherPackage());
  QCOMPARE(Reader.launcherPackage()->index(), LauncherPackageIndex);
  QVERIFY(Reader.launcherPackage()->isLauncher());
  QCOMPARE(Reader.packages().size(), std::size_t(2));
  const auto& Client = Reader.packages()[0];
  QCOMPARE(Client->index(), 0);
  QCOMPARE(Client->name(), QString("Client"));
  QCOMPARE(Client->directoryName(), QString("client"));
  QVERIFY(Client->installAutomatically());
  QCOMPARE(Client->logoLinkTarget(), QUrl("https://example.org/x"));
  QCOMPARE(Client->builds().size(), std::size_t(1));
  QCOMPARE(Client->builds()[0]->os, EOperatingSystem::Linux);
  QCOMPARE(Client->builds()[0]->architecture, EArchitecture::X86_64);
  QCOMPARE(Client->builds()[0]->url, QUrl("https://h:8443/launcher/builds/linux/package.json"));
  QCOMPARE(Client->builds()[0]->assetsUrl, QUrl("https://h:8443/launcher/builds/linux/assets.json"));
  QCOMPARE(Client->builds()[0]->compressedUrl, QUrl("https://h:8443/launcher/builds/linux/package.json.zst"));
  QVERIFY(Client->currentBuild() != nullptr);
  QCOMPARE(Client->localStatus(), ELocalPackageStatus::Unknown);
  // A non-object element has no folder name: it is left out, and the next
  // package keeps its position as its index.
  QCOMPARE(Reader.packages()[1]->index(), 2);
  QCOMPARE(Reader.packages()[1]->name(), QString("NoBuilds"));
  QVERIFY(Reader.packages()[1]->builds().empty());
  QVERIFY(!Reader.packages()[1]->currentBuild());
  QVERIFY(Reader.packages()[1]->logoLinkTarget().isEmpty());
  QCOMPARE(Reader.hintsUrl(), QUrl("https://h/hints.json"));
  QVERIFY(Reader.preventDefaultAutostart());
  QVERIFY(Reader.showPackageNames());
}

void TestPackageModel::configurationRejectsCutOffDocuments()
{
  const QByteArray Document = R"({"packages": [{"name": "Client"}], "hints": "https://h/x"})";
  for (int Length = 0; Length < Document.size(); ++Length) {
    bool Thrown = false;
    try {
      TLauncherConfigurationReader Reader(Document.left(Length), QUrl("https://h/"));
    } catch (const TLauncherConfigurationException& Error) {
      Thrown = true;
      QVERIFY(!QString(Error.what()).isEmpty());
    }
    QVERIFY2(Thrown, qPrintable(QString("length %1").arg(Length)));
  }
}

void TestPackageModel::baseUrlResolution()
{
  const QString Reference = "packages/client/package.json";
  QCOMPARE(resolveAgainstBaseUrl(QUrl("http://h:81/dir/"), Reference), QUrl("http://h:81/dir/packages/client/package.json"));
  QCOMPARE(resolveAgainstBaseUrl(QUrl("http://h:81/dir"), Reference), QUrl("http://h:81/dir/packages/client/package.json"));
  QCOMPARE(resolveAgainstBaseUrl(QUrl("http://h:81/dir/file.json"), Reference),
           QUrl("http://h:81/dir/file.json/packages/client/package.json"));
  // No separator is added when either side has one; the reference path is appended as it is.
  QCOMPARE(resolveAgainstBaseUrl(QUrl("http://h/dir"), "/abs/x"), QUrl("http://h/dir/abs/x"));
  QCOMPARE(resolveAgainstBaseUrl(QUrl("http://h/dir/"), "https://other/x.json?a=b"), QUrl("https://other/x.json?a=b"));
  // The query of the base is dropped.
  QCOMPARE(resolveAgainstBaseUrl(QUrl("http://h/dir/?q=1"), "x"), QUrl("http://h/dir/x"));
}

void TestPackageModel::currentBuildChoice()
{
  const QJsonObject Entry = QJsonDocument::fromJson(R"({"builds": [
      {"os": "windows", "architecture": "x86_64", "url": "w"},
      {"os": "Linux", "architecture": "x86_64", "url": "first"},
      {"os": "linux", "architecture": "x86_64", "url": "second"},
      {"os": "macos", "architecture": "x86_64", "url": "m"}]})").object();
  TPackage Package(0, Entry, QUrl("http://h/"));
  QVERIFY(Package.currentBuild());
  QCOMPARE(Package.currentBuild()->url, QUrl("http://h/first"));
  QCOMPARE(Package.builds()[3]->os, EOperatingSystem::MacOs);
  QVERIFY(!Package.currentDescription());
}

void TestPackageModel::statusSignalOnlyOnChange()
{
  TPackage Package(0, QJsonObject(), QUrl());
  QSignalSpy Spy(&Package, &TPackage::localPackageStatusChanged);
  Package.setLocalStatus(ELocalPackageStatus::Unknown);
  QCOMPARE(Spy.count(), 0);
  Package.setLocalStatus(ELocalPackageStatus::UpToDate);
  Package.setLocalStatus(ELocalPackageStatus::UpToDate);
  QCOMPARE(Spy.count(), 1);
}

void TestPackageModel::descriptionParsing()
{
  const QByteArray PackageData = R"({
    "version": "12", "executable": "bin/client", "generation": "first", "variant": "beta",
    "parameters": ["-a", "b"],
    "chunks": [
      {"url": "chunks/c0", "packedsize": 10, "packedhash": ")" + hex('\x01') + R"(", "unpackedsize": "20",
       "unpackedhash": ")" + hex('\x02') + R"(", "blockindex": "chunks/c0.blocks", "blockindexsize": 76,
       "blockindexhash": ")" + hex('\x04') + R"("},
      {"url": "", "packedsize": -5, "unpackedsize": 1e30, "unpack": false, "blockindex": "chunks/c1.blocks",
       "blockindexsize": 76, "blockindexhash": "0404"}
    ],
    "files": [
      {"localfile": "b.dat", "unpackedsize": 40, "unpackedhash": ")" + hex('\x03') + R"(", "chunks": [0, 1, 5, -1, 1e12, "x"],
       "executable": true, "patches": [{"url": "p", "fromversion": 3, "toversion": 4, "size": 77}]},
      {"localfile": "small.txt", "unpackedsize": 3, "unpackedhash": ")" + hex('\x05') + R"(", "url": "files/small.txt",
       "unpack": false}
    ]})";
  TPackageConfigurationReader Reader(PackageData, QByteArray(), QUrl("http://h/pkg/"), QUrl());
  QVERIFY(Reader.isValid());
  QCOMPARE(Reader.version(), QString("12"));
  QCOMPARE(Reader.executable(), QString("bin/client"));
  QCOMPARE(Reader.generation(), EPackageGeneration::First);
  QCOMPARE(Reader.variant(), EPackageVariant::Beta);
  QCOMPARE(Reader.parameters(), QStringList({"-a", "b"}));
  QCOMPARE(Reader.chunks().size(), std::size_t(2));
  const TChunkInPackage& Chunk = Reader.chunks()[0];
  QCOMPARE(Chunk.url, QUrl("http://h/pkg/chunks/c0"));
  QCOMPARE(Chunk.packedSize, quint64(10));
  QCOMPARE(Chunk.unpackedSize, quint64(20));
  QCOMPARE(Chunk.packedHash, QByteArray(32, '\x01'));
  QCOMPARE(Chunk.unpackedHash, QByteArray(32, '\x02'));
  QVERIFY(Chunk.unpack);
  QVERIFY(Reader.chunks()[1].url.isEmpty());
  QCOMPARE(Reader.chunks()[1].packedSize, quint64(0));
  QCOMPARE(Reader.chunks()[1].unpackedSize, quint64(0));
  QVERIFY(!Reader.chunks()[1].unpack);
  // A block index is offered only with its URL, size and hash.
  QCOMPARE(Chunk.blockIndexUrl, QUrl("http://h/pkg/chunks/c0.blocks"));
  QCOMPARE(Chunk.blockIndexSize, quint64(76));
  QCOMPARE(Chunk.blockIndexHash, QByteArray(32, '\x04'));
  QVERIFY(!Reader.chunks()[1].offersBlocks());
  QCOMPARE(Reader.chunks()[1].blockIndexSize, quint64(0));

  const auto File = Reader.findFile("b.dat");
  QVERIFY(File != Reader.files().end());
  QVERIFY(File->executable);
  // Indices are kept as written; unrepresentable ones become -1, non-numbers 0.
  QCOMPARE(File->chunkIndices, (std::vector<std::int32_t>{0, 1, 5, -1, -1, 0}));
  QVERIFY(File->ownDownload.url.isEmpty());
  QCOMPARE(File->patches.size(), std::size_t(1));
  QCOMPARE(File->patches[0].fromVersion, QString("3"));
  QCOMPARE(File->patches[0].toVersion, QString("4"));
  QCOMPARE(File->patches[0].size, 77);
  const auto Small = Reader.findFile("small.txt");
  QVERIFY(Small != Reader.files().end());
  QCOMPARE(Small->ownDownload.url, QUrl("http://h/pkg/files/small.txt"));
  QCOMPARE(Small->ownDownload.unpackedSize, quint64(3));
  QVERIFY(!Small->ownDownload.unpack);
  QVERIFY(!Small->ownDownload.offersBlocks());
  QVERIFY(Reader.findFile("missing") == Reader.files().end());
  QVERIFY(Reader.findFile("b.da") == Reader.files().end());
}

namespace {

// A file entry with the fields every entry needs, and Extra.
QByteArray fileEntry(const QByteArray& Name, const QByteArray& Extra = QByteArray())
{
  return R"({"localfile": ")" + Name + R"(", "unpackedsize": 0, "unpackedhash": ")" + QByteArray(64, 'e') + "\"" + Extra + "}";
}

} // namespace

void TestPackageModel::descriptionMergesAndSortsFiles()
{
  const QByteArray PackageData = R"({"version": "1", "chunks": [{"url": "p0"}], "files": [)" + fileEntry("b.dat") + ", " +
                                 fileEntry("Z.dat") + "]}";
  const QByteArray AssetData = R"({"version": 7, "chunks": [{"url": "a0"}], "files": [)" +
                               fileEntry("a.dat", R"(, "chunks": [1])") + "]}";
  TPackageConfigurationReader Reader(PackageData, AssetData, QUrl("http://h/p/"), QUrl("http://h/a/"));
  QVERIFY(Reader.isValid());
  QCOMPARE(Reader.files().size(), std::size_t(3));
  QCOMPARE(Reader.files()[0].localFile, QString("Z.dat"));  // code unit order: capitals first
  QCOMPARE(Reader.files()[1].localFile, QString("a.dat"));
  QCOMPARE(Reader.files()[2].localFile, QString("b.dat"));
  QCOMPARE(Reader.chunks().size(), std::size_t(2));
  QCOMPARE(Reader.chunks()[0].url, QUrl("http://h/p/p0"));
  QCOMPARE(Reader.chunks()[1].url, QUrl("http://h/a/a0"));
  QCOMPARE(Reader.assetVersion(), QString("7"));
  QCOMPARE(Reader.packageData(), PackageData);
  QCOMPARE(Reader.assetData(), AssetData);
}

void TestPackageModel::descriptionVersions()
{
  const QByteArray Files = R"(, "files": [)" + fileEntry("a") + "]}";
  const QByteArray AssetFiles = R"(, "files": [)" + fileEntry("b") + "]}";
  TPackageConfigurationReader NoAsset(R"({"version": "3")" + Files, QByteArray(), QUrl(), QUrl());
  QCOMPARE(NoAsset.versionText(), QString("P3 A?"));
  TPackageConfigurationReader StringAsset(R"({"version": "")" + Files, R"({"version": "7")" + AssetFiles, QUrl(), QUrl());
  QCOMPARE(StringAsset.versionText(), QString("P? A7"));
  TPackageConfigurationReader NumberAsset(R"({"version": "1")" + Files, R"({"version": 7)" + AssetFiles, QUrl(), QUrl());
  QCOMPARE(NumberAsset.assetVersion(), QString("7"));
}

void TestPackageModel::descriptionInvalidJson_data()
{
  QTest::addColumn<QByteArray>("Package");
  QTest::addColumn<QByteArray>("Asset");
  QTest::addColumn<QString>("Reason");  // start of the reason

  const QByteArray Good = R"({"version": "1", "files": [)" + fileEntry("a", R"(, "url": "a")") + "]}";
  const QByteArray GoodAsset = R"({"version": 1, "files": [)" + fileEntry("b") + "]}";
  const QByteArray Page = "<!DOCTYPE html><html><body>Sign in to the hotel network</body></html>";
  QTest::newRow("cut off") << QByteArray("{\"version\": ") << QByteArray(R"({"version": 1})")
                           << "package description: ";
  QTest::newRow("html page") << Page << QByteArray() << "package description: ";
  QTest::newRow("html asset page") << Good << Page << "asset description: ";
  QTest::newRow("cut-off asset") << Good << QByteArray("{") << "asset description: ";
  QTest::newRow("nested too deeply") << QByteArray(5000, '[') + QByteArray(5000, ']') << QByteArray()
                                     << "package description: ";
  QTest::newRow("array") << QByteArray("[]") << QByteArray() << "package description: the document is not a JSON object";
  QTest::newRow("array asset") << Good << QByteArray("[1]") << "asset description: the document is not a JSON object";
  QTest::newRow("empty") << QByteArray() << QByteArray() << "package description: ";
  QTest::newRow("one file twice") << QByteArray(R"({"version": "1", "files": [)" + fileEntry("x/a") + ", " +
                                                fileEntry("x//b/../a") + "]}")
                                  << QByteArray() << "the file 'x";
  QTest::newRow("in both documents") << Good << QByteArray(R"({"version": 2, "files": [)" + fileEntry("./a") + "]}")
                                     << "the file '";
  // Documents that parse but are not descriptions: another document in the
  // place of one must not read as a description without files.
  const auto Package = [](const QByteArray& Members) { return "{" + Members + "}"; };
  const QByteArray Files = R"("files": [)" + fileEntry("a") + "]";
  QTest::newRow("the configuration") << QByteArray(R"({"packages": [{"name": "Game", "builds": []}]})") << QByteArray()
                                     << "the package description has no text \"version\"";
  QTest::newRow("empty object") << QByteArray("{}") << QByteArray() << "the package description has no text";
  QTest::newRow("number version") << Package(R"("version": 2, )" + Files) << QByteArray()
                                  << "the package description has no text \"version\"";
  QTest::newRow("no files") << Package(R"("version": "1")") << QByteArray() << "the package description lists no \"files\"";
  QTest::newRow("empty files") << Package(R"("version": "1", "files": [])") << QByteArray()
                               << "the package description lists no \"files\"";
  QTest::newRow("files not a list") << Package(R"("version": "1", "files": {"a": 1})") << QByteArray()
                                    << "the package description lists no";
  QTest::newRow("entry not an object") << Package(R"("version": "1", "files": ["a"])") << QByteArray()
                                       << "file entry 0 of the package description is not an object";
  QTest::newRow("entry without name") << Package(R"("version": "1", "files": [{"localfile": "", "unpackedsize": 1}])")
                                      << QByteArray() << "file entry 0 of the package description has no \"localfile\"";
  QTest::newRow("entry without size") << Package(R"("version": "1", "files": [)" + fileEntry("a") + R"(, {"localfile": "b",
                                                 "unpackedhash": ")" + QByteArray(64, 'a') + R"("}])")
                                      << QByteArray() << "file entry 1 of the package description has no \"unpackedsize\"";
  QTest::newRow("entry with a negative size")
      << Package(R"("version": "1", "files": [{"localfile": "a", "unpackedsize": -1, "unpackedhash": ")" + QByteArray(64, 'a') + R"("}])")
      << QByteArray() << "file entry 0 of the package description has no \"unpackedsize\"";
  QTest::newRow("entry with a short hash")
      << Package(R"("version": "1", "files": [{"localfile": "a", "unpackedsize": "5", "unpackedhash": "abcd"}])")
      << QByteArray() << "file entry 0 of the package description has no \"unpackedhash\"";
  QTest::newRow("asset without files") << Good << QByteArray(R"({"version": 3})")
                                       << "the asset description lists no \"files\"";
  QTest::newRow("asset without version") << Good << Package(R"("files": [)" + fileEntry("b") + "]")
                                         << "the asset description has no \"version\"";
  QTest::newRow("the configuration as asset") << Good << QByteArray(R"({"packages": []})")
                                              << "the asset description has no \"version\"";
  // Beyond the bound of a description's size (its memory): refused before
  // it is parsed, or before its entries are read.
  QByteArray ManyEntries = R"({"version": "1", "chunks": [{}], "files": [{})";
  for (qint64 Entry = 1; Entry < shared::MaxDescriptionEntries; ++Entry)
    ManyEntries += ",{}";
  QTest::newRow("more entries than a description may have")
      << ManyEntries + "]}" << QByteArray()
      << QString("it lists %1 files and chunks, more than the %2 a description may have").arg(shared::MaxDescriptionEntries + 1).arg(shared::MaxDescriptionEntries);
  QTest::newRow("more bytes than a description may have")
      << Good << Good + QByteArray(int(shared::MaxDescriptionBytes) - Good.size() + 1, ' ')
      << "a document of more than the 134217728 bytes a description may have";
  QTest::newRow("good pair") << Good << GoodAsset << "";
}

void TestPackageModel::descriptionInvalidJson()
{
  QFETCH(QByteArray, Package);
  QFETCH(QByteArray, Asset);
  QFETCH(QString, Reason);
  if (Reason.startsWith("package description"))
    QTest::ignoreMessage(QtCriticalMsg, "JSON package configuration file could not be parsed, using default package.");
  if (Reason.startsWith("asset description"))
    QTest::ignoreMessage(QtCriticalMsg, "JSON asset configuration file could not be parsed, using default package.");
  const TPackageConfigurationReader Reader(Package, Asset, QUrl("http://h/"), QUrl("http://h/"));
  QCOMPARE(Reader.isValid(), Reason.isEmpty());
  if (Reason.isEmpty())
    return;
  QVERIFY2(Reader.invalidReason().startsWith(Reason), qPrintable(Reader.invalidReason()));
  QCOMPARE(Reader.isTooLarge(), Reason.contains("a description may have"));
  QVERIFY(Reader.version().isEmpty());
  QVERIFY(Reader.assetVersion().isEmpty());
  QVERIFY(Reader.files().empty());
  QVERIFY(Reader.chunks().empty());
  QCOMPARE(Reader.packageData(), Package);
}

void TestPackageModel::descriptionConversions()
{
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue(42.0)), quint64(42));
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue("42")), quint64(42));
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue("18446744073709551615")), quint64(18446744073709551615ull));
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue("18446744073709551616")), quint64(0));
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue(-1.0)), quint64(0));
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue(1e300)), quint64(0));
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue("12abc")), quint64(0));
  QCOMPARE(shared::jsonToUnsigned64(QJsonValue()), quint64(0));
  QCOMPARE(shared::jsonToHash(QJsonValue("0a0B")), QByteArray("\x0a\x0b", 2));
  QCOMPARE(shared::jsonToHash(QJsonValue("zz0a")), QByteArray("\x0a", 1));  // invalid characters skipped
  QCOMPARE(shared::jsonToHash(QJsonValue(5)), QByteArray());
}

void TestPackageModel::executablePathAndLookup()
{
  QStandardPaths::setTestModeEnabled(true);
  auto Settings = std::make_shared<TLauncherSettings>();
  Settings->packages = "packages";
  TLauncherFilesystemHelper Helper(Settings);
  const QByteArray Document = R"({"packages": [
      {"name": "A", "directoryname": "a", "builds": [{"os": "linux", "architecture": "x86_64", "url": "a.json"}]},
      {"name": "B", "directoryname": "b", "builds": [{"os": "linux", "architecture": "x86_64", "url": "b.json"}]}]})";
  TLauncherConfigurationReader Reader(Document, QUrl("http://h/"));
  const auto& A = Reader.packages()[0];
  const auto& B = Reader.packages()[1];
  QVERIFY(A->executablePath(Helper).isEmpty());  // no description yet
  const QByteArray Files = R"(, "version": "1", "files": [)" + fileEntry("bin/game") + "]}";
  A->currentBuild()->description = std::make_unique<TPackageConfigurationReader>(
      R"({"executable": "bin/game")" + Files, QByteArray(), QUrl(), QUrl());
  B->currentBuild()->description = std::make_unique<TPackageConfigurationReader>(
      R"({"executable": "../../../../bin/sh")" + Files, QByteArray(), QUrl(), QUrl());
  const QString Base = Helper.packagesBaseDirectory().absolutePath();
  QCOMPARE(A->executablePath(Helper), Base + "/a/bin/game");
  QCOMPARE(A->installationDirectory(Helper).absolutePath(), Base + "/a");
  // An executable that climbs out of the installation stays inside it.
  QCOMPARE(B->executablePath(Helper), Base + "/b/sh");
  QCOMPARE(findPackageByExecutablePath(Reader.packages(), Base + "/a/./bin//game", Helper), A);
  QVERIFY(!findPackageByExecutablePath(Reader.packages(), Base + "/a/bin/gam", Helper));
  QVERIFY(!findPackageByExecutablePath(Reader.packages(), QString(), Helper));
}

QTEST_GUILESS_MAIN(TestPackageModel)
#include "test_packagemodel.moc"
