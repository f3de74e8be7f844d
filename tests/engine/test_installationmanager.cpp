// Marker files, status computation, default package and verification jobs
// of the installation manager.

#include "engine/installationmanager.h"

#include "enginesettings.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvale::launcher;

namespace {

QString hexHash(const QByteArray& Data)
{
  return QString::fromLatin1(QCryptographicHash::hash(Data, QCryptographicHash::Sha256).toHex());
}

QByteArray description(const QString& Version, const QMap<QString, QByteArray>& Files)
{
  QJsonArray Entries;
  for (auto File = Files.begin(); File != Files.end(); ++File) {
    Entries.append(QJsonObject{{"localfile", File.key()},
                               {"unpackedsize", File.value().size()},
                               {"unpackedhash", hexHash(File.value())},
                               {"url", "files/" + File.key()},
                               {"unpack", false}});
  }
  return QJsonDocument(QJsonObject{{"version", Version}, {"files", Entries}}).toJson();
}

class TManagerFixture
{
public:
  TManagerFixture()
  {
    qputenv("XDG_DATA_HOME", m_Home.filePath("data").toUtf8());
    auto Settings = testsupport::engineSettings("Client/Settings");
    settings = Settings;
    helper = std::make_shared<TEngineFilesystemHelper>(Settings);
    std::vector<std::shared_ptr<TPackage>> Packages;
    for (const QString& Name : QStringList{"alpha", "beta", "gamma"}) {
      const QJsonObject Entry{{"name", Name},
                              {"directoryname", Name},
                              {"builds", QJsonArray{QJsonObject{{"os", "linux"}, {"architecture", "x86_64"},
                                                                {"url", Name + ".json"}}}}};
      Packages.push_back(std::make_shared<TPackage>(int(Packages.size()), Entry, QUrl("http://127.0.0.1:1/")));
    }
    configuration = std::make_shared<TPackageList>(Packages);
  }

  std::shared_ptr<TPackage> package(int Index) const { return configuration->packages()[std::size_t(Index)]; }
  void writeFiles(int Index, const QMap<QString, QByteArray>& Files) const
  {
    for (auto File = Files.begin(); File != Files.end(); ++File)
      testsupport::writeWholeFile(directory(Index) + "/" + File.key(), File.value());
  }
  QString directory(int Index) const { return helper->packagesBaseDirectory().filePath(package(Index)->directoryName()); }
  void publish(int Index, const QByteArray& Package, const QByteArray& Asset = QByteArray())
  {
    package(Index)->currentBuild()->description =
        std::make_unique<TPackageConfigurationReader>(Package, Asset, QUrl("http://127.0.0.1:1/"), QUrl("http://127.0.0.1:1/"));
  }

  std::shared_ptr<TEngineSettings> settings;
  std::shared_ptr<TEngineFilesystemHelper> helper;
  std::shared_ptr<TPackageList> configuration;

private:
  QTemporaryDir m_Home;
};

} // namespace

class TestInstallationManager : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void statusFromMarkers();
  void defaultPackage();
  void markersDuringAVerification();
  void verificationFailureLeavesThePartialMarker();
  void secondStartOfTheSameJobDoesNothing();
  void documentWithoutFilesIsNoDescription();
  void fastScanReadsFilesChangedAfterTheMarker_data();
  void fastScanReadsFilesChangedAfterTheMarker();
  void assetFileFollowsThePublishedAssets_data();
  void assetFileFollowsThePublishedAssets();
  void verificationWritesWhatItVerified_data();
  void verificationWritesWhatItVerified();
};

void TestInstallationManager::initTestCase()
{
  QCoreApplication::setOrganizationName("Veldan GmbH");
  QCoreApplication::setApplicationName("Ashgrove Online");
}

void TestInstallationManager::statusFromMarkers()
{
  TManagerFixture Fixture;
  const QByteArray V1 = description("1", {{"a.txt", "a"}});
  const QByteArray V2 = description("2", {{"a.txt", "b"}});
  const QByteArray Asset1 = description("1", {{"asset.txt", "c"}});
  Fixture.publish(0, V2);
  Fixture.publish(1, V2, Asset1);
  Fixture.publish(2, V2);
  // alpha: older full marker; beta: same version but asset version "1";
  // gamma: both markers, same version.
  testsupport::writeWholeFile(Fixture.directory(0) + "/package.json", V1);
  testsupport::writeWholeFile(Fixture.directory(1) + "/package.json", V2);
  testsupport::writeWholeFile(Fixture.directory(1) + "/assets.json", Asset1);
  testsupport::writeWholeFile(Fixture.directory(2) + "/package.json", V2);
  testsupport::writeWholeFile(Fixture.directory(2) + "/partial-package.json", V1);
  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  QCOMPARE(Fixture.package(0)->localStatus(), ELocalPackageStatus::UpdateAvailable);
  QCOMPARE(Fixture.package(1)->localStatus(), ELocalPackageStatus::UpdateAvailable);
  QCOMPARE(Fixture.package(2)->localStatus(), ELocalPackageStatus::UpToDate);

  QFile::remove(Fixture.directory(2) + "/package.json");
  QCOMPARE(Manager.computeLocalPackageStatus(*Fixture.package(2)), ELocalPackageStatus::PartiallyInstalled);
  QFile::remove(Fixture.directory(2) + "/partial-package.json");
  QCOMPARE(Manager.computeLocalPackageStatus(*Fixture.package(2)), ELocalPackageStatus::NotInstalled);
  // A damaged full marker vouches for nothing. (A description without a
  // version, whose version text an unreadable marker would share, is no
  // description at all.)
  Fixture.publish(2, R"({"files": []})");
  QVERIFY(!Fixture.package(2)->currentDescription());
  Fixture.publish(2, V2);
  testsupport::writeWholeFile(Fixture.directory(2) + "/package.json", "<html>");
  QCOMPARE(Manager.computeLocalPackageStatus(*Fixture.package(2)), ELocalPackageStatus::UpdateAvailable);
  Fixture.package(2)->currentBuild()->description.reset();
  testsupport::writeWholeFile(Fixture.directory(2) + "/package.json", V2);
  QCOMPARE(Manager.computeLocalPackageStatus(*Fixture.package(2)), ELocalPackageStatus::NotInstalled);
}

void TestInstallationManager::defaultPackage()
{
  TManagerFixture Fixture;
  const QByteArray V1 = description("1", {{"a.txt", "a"}});
  for (int Index = 0; Index < 3; ++Index) {
    Fixture.publish(Index, V1);
    testsupport::writeWholeFile(Fixture.directory(Index) + "/package.json", V1);
  }
  // Two packages with default files: the first in list order wins.
  testsupport::writeWholeFile(Fixture.directory(1) + "/default", "");
  testsupport::writeWholeFile(Fixture.directory(2) + "/default", "");
  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  QCOMPARE(Manager.defaultPackage(), Fixture.package(1));
  QVERIFY(!Fixture.package(2)->isDefault());

  Manager.setDefaultPackage(Fixture.package(0));
  QCOMPARE(Manager.defaultPackage(), Fixture.package(0));
  QVERIFY(QFile::exists(Fixture.directory(0) + "/default"));
  QVERIFY(!QFile::exists(Fixture.directory(1) + "/default"));
  QVERIFY(!QFile::exists(Fixture.directory(2) + "/default"));
  Manager.setDefaultPackage(nullptr);
  QVERIFY(!Manager.defaultPackage());
  QVERIFY(!QFile::exists(Fixture.directory(0) + "/default"));
}

void TestInstallationManager::markersDuringAVerification()
{
  TManagerFixture Fixture;
  const QByteArray Content = "the content";
  const QByteArray V1 = description("1", {{"a.txt", Content}});
  const QByteArray Asset3 = description("3", {{"b.txt", "asset"}});
  Fixture.publish(0, V1, Asset3);
  testsupport::writeWholeFile(Fixture.directory(0) + "/package.json", V1);
  testsupport::writeWholeFile(Fixture.directory(0) + "/assets.json", Asset3);
  testsupport::writeWholeFile(Fixture.directory(0) + "/a.txt", Content);
  testsupport::writeWholeFile(Fixture.directory(0) + "/b.txt", "asset");
  QDir().mkpath(Fixture.directory(0) + "/Client/Settings");
  testsupport::writeWholeFile(Fixture.helper->accountGroupFilePath(), R"({"Key": "k"})");
  testsupport::writeWholeFile(Fixture.directory(0) + "/Client/Settings/accountgroup.json", "kept");

  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  QCOMPARE(Fixture.package(0)->localStatus(), ELocalPackageStatus::UpToDate);
  QSignalSpy Started(&Manager, &TInstallationManager::installationOrUpdateStarted);
  QSignalSpy Finished(&Manager, &TInstallationManager::installationOrUpdateFinished);
  QSignalSpy All(&Manager, &TInstallationManager::allStartedUpdatesFinished);
  Manager.verifyPackage(Fixture.package(0));
  QCOMPARE(Started.count(), 1);
  // While the verification runs the package counts as partially installed.
  QVERIFY(!QFile::exists(Fixture.directory(0) + "/package.json"));
  QVERIFY(QFile::exists(Fixture.directory(0) + "/partial-package.json"));
  QCOMPARE(Fixture.package(0)->localStatus(), ELocalPackageStatus::PartiallyInstalled);
  QVERIFY(All.wait(20000));
  QCOMPARE(Finished.count(), 1);
  QCOMPARE(All.count(), 1);
  QVERIFY(QFile::exists(Fixture.directory(0) + "/package.json"));
  QVERIFY(!QFile::exists(Fixture.directory(0) + "/partial-package.json"));
  QCOMPARE(Fixture.package(0)->localStatus(), ELocalPackageStatus::UpToDate);
  QVERIFY(Fixture.package(0)->checkedInThisRun());
  // An existing copy of the account group file is left as it is.
  QCOMPARE(testsupport::readWholeFile(Fixture.directory(0) + "/Client/Settings/accountgroup.json"), QByteArray("kept"));
  QFile::remove(Fixture.directory(0) + "/Client/Settings/accountgroup.json");
  Manager.verifyPackage(Fixture.package(0));
  QVERIFY(All.wait(20000));
  QCOMPARE(testsupport::readWholeFile(Fixture.directory(0) + "/Client/Settings/accountgroup.json"),
           QByteArray(R"({"Key": "k"})"));
}

void TestInstallationManager::verificationFailureLeavesThePartialMarker()
{
  TManagerFixture Fixture;
  const QByteArray V1 = description("1", {{"a.txt", "right"}, {"b.txt", "also right"}});
  // alpha: a file with trailing bytes; beta: a damaged marker, against
  // which nothing can be checked.
  Fixture.publish(0, V1);
  testsupport::writeWholeFile(Fixture.directory(0) + "/package.json", V1);
  testsupport::writeWholeFile(Fixture.directory(0) + "/a.txt", "right plus trailing bytes");
  testsupport::writeWholeFile(Fixture.directory(0) + "/b.txt", "also right");
  Fixture.publish(1, V1);
  testsupport::writeWholeFile(Fixture.directory(1) + "/package.json", V1.left(V1.size() / 2));
  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  for (int Index : {0, 1}) {
    EPackageDownloaderError Reason = NoDownloaderError;
    auto Connection = connect(&Manager, &TInstallationManager::installationOrUpdateFinished,
                              [&](const TPackageInstallation& Job) { Reason = Job.errorReason(); });
    QSignalSpy All(&Manager, &TInstallationManager::allStartedUpdatesFinished);
    Manager.verifyPackage(Fixture.package(Index));
    QVERIFY(All.count() == 1 || All.wait(20000));
    disconnect(Connection);
    QCOMPARE(Reason, VerificationFailed);
    QCOMPARE(Fixture.package(Index)->localStatus(), ELocalPackageStatus::PartiallyInstalled);
    QVERIFY(Fixture.package(Index)->checkedInThisRun());
    QVERIFY(!QFile::exists(Fixture.directory(Index) + "/package.json"));
    QVERIFY(QFile::exists(Fixture.directory(Index) + "/partial-package.json"));
  }
}

void TestInstallationManager::secondStartOfTheSameJobDoesNothing()
{
  TManagerFixture Fixture;
  const QByteArray V1 = description("1", {{"a.txt", "a"}});
  Fixture.publish(0, V1);
  testsupport::writeWholeFile(Fixture.directory(0) + "/package.json", V1);
  testsupport::writeWholeFile(Fixture.directory(0) + "/a.txt", "a");
  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  QSignalSpy Started(&Manager, &TInstallationManager::installationOrUpdateStarted);
  QSignalSpy All(&Manager, &TInstallationManager::allStartedUpdatesFinished);
  Manager.installOrUpdatePackage(Fixture.package(0));
  Manager.installOrUpdatePackage(Fixture.package(0));
  Manager.verifyPackage(Fixture.package(0));
  QCOMPARE(Started.count(), 1);
  QCOMPARE(Manager.installationsInProgress().size(), std::size_t(1));
  QVERIFY(All.wait(20000));
  QTest::qWait(100);
  QCOMPARE(All.count(), 1);
  // A package without a build description is ignored.
  Fixture.package(1)->currentBuild()->description.reset();
  Manager.installOrUpdatePackage(Fixture.package(1));
  QCOMPARE(Started.count(), 1);
}

// A document without files (the configuration, an empty object, a JSON
// document from another URL) is no description of an empty package: the
// installation it would have emptied is left alone, and nothing starts.
void TestInstallationManager::documentWithoutFilesIsNoDescription()
{
  TManagerFixture Fixture;
  const QByteArray Installed = description("1", {{"a.txt", "a"}});
  testsupport::writeWholeFile(Fixture.directory(0) + "/package.json", Installed);
  testsupport::writeWholeFile(Fixture.directory(0) + "/a.txt", "a");
  for (const QByteArray& Published : {QByteArray(R"({"version": "2"})"), QByteArray(R"({"version": "2", "files": []})"),
                                      QByteArray(R"({"packages": [], "version": "2", "files": [{"localfile": "x"}]})")}) {
    Fixture.publish(0, Published);
    QVERIFY(!Fixture.package(0)->currentDescription());
    TInstallationManager Manager(Fixture.configuration, Fixture.helper);
    QSignalSpy Started(&Manager, &TInstallationManager::installationOrUpdateStarted);
    Manager.installOrUpdatePackage(Fixture.package(0));
    QCOMPARE(Started.count(), 0);
    QCOMPARE(testsupport::readWholeFile(Fixture.directory(0) + "/a.txt"), QByteArray("a"));
    QCOMPARE(testsupport::readWholeFile(Fixture.directory(0) + "/package.json"), Installed);
  }
}

void TestInstallationManager::fastScanReadsFilesChangedAfterTheMarker_data()
{
  // Seconds from now to the full marker's time, and from the marker's time
  // to the file's modification time.
  QTest::addColumn<int>("markerTime");
  QTest::addColumn<int>("fileTime");
  QTest::newRow("changed after the marker") << -60 << 10;
  // A backup put back with its times (cp -a, rsync -a, tar): only the
  // status-change time is after the marker.
  QTest::newRow("changed, its time put back") << -60 << -10;
  // The clock was put back since the marker was written: every time on the
  // disk looks older than the marker.
  QTest::newRow("marker from the future") << 24 * 3600 << -24 * 3600 - 10;
}

void TestInstallationManager::fastScanReadsFilesChangedAfterTheMarker()
{
  // Installed: X then A; published: A then X; on disk A then X already,
  // written after the full marker. Trusting the installed layout would swap
  // the pieces into garbage; read by content, both are where they belong
  // and the update needs no download.
  QFETCH(int, markerTime);
  QFETCH(int, fileTime);
  TManagerFixture Fixture;
  const QByteArray X = testsupport::pseudoRandomBytes(3000, 1), A = testsupport::pseudoRandomBytes(5000, 2);
  const auto Chunk = [](const QByteArray& Data, const QString& Url) {
    return QJsonObject{{"url", Url}, {"packedsize", Data.size()}, {"unpackedsize", Data.size()},
                       {"unpackedhash", hexHash(Data)}, {"unpack", false}};
  };
  const auto Description = [&](const QString& Version, const QByteArray& First, const QByteArray& Second) {
    const QJsonObject File{{"localfile", "f.bin"}, {"unpackedsize", First.size() + Second.size()},
                           {"unpackedhash", hexHash(First + Second)}, {"chunks", QJsonArray{0, 1}}};
    return QJsonDocument(QJsonObject{{"version", Version},
                                     {"chunks", QJsonArray{Chunk(First, "c/first"), Chunk(Second, "c/second")}},
                                     {"files", QJsonArray{File}}})
        .toJson();
  };
  const QDir Directory(Fixture.directory(0));
  QVERIFY(Directory.mkpath("."));
  testsupport::writeWholeFile(Directory.filePath("package.json"), Description("1", X, A));
  testsupport::writeWholeFile(Directory.filePath("f.bin"), A + X);
  const QDateTime MarkerTime = QDateTime::currentDateTime().addSecs(markerTime);
  for (const auto& [Name, Time] : {std::pair{"package.json", MarkerTime}, std::pair{"f.bin", MarkerTime.addSecs(fileTime)}}) {
    QFile File(Directory.filePath(Name));
    QVERIFY(File.open(QIODevice::ReadWrite) && File.setFileTime(Time, QFileDevice::FileModificationTime));
  }
  Fixture.publish(0, Description("2", A, X));

  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  QCOMPARE(Fixture.package(0)->localStatus(), ELocalPackageStatus::UpdateAvailable);
  QSignalSpy All(&Manager, &TInstallationManager::allStartedUpdatesFinished);
  Manager.installOrUpdatePackage(Fixture.package(0));
  QVERIFY(All.wait(20000));
  QCOMPARE(Fixture.package(0)->localStatus(), ELocalPackageStatus::UpToDate);
  QCOMPARE(testsupport::readWholeFile(Directory.filePath("f.bin")), A + X);
}

void TestInstallationManager::assetFileFollowsThePublishedAssets_data()
{
  // Version 1 has assets/tex.dat in its asset description; version 2 lists
  // it in its package description, in its asset description or not at all.
  QTest::addColumn<bool>("inPackage");
  QTest::addColumn<bool>("inAssets");
  QTest::newRow("asset description dropped") << false << false;
  QTest::newRow("asset description merged into the package description") << true << false;
  QTest::newRow("asset description kept") << false << true;
}

void TestInstallationManager::assetFileFollowsThePublishedAssets()
{
  QFETCH(bool, inPackage);
  QFETCH(bool, inAssets);
  TManagerFixture Fixture;
  const QByteArray Texture = "texture", Text = "text";
  const QByteArray AssetsV1 = description("3", {{"assets/tex.dat", Texture}});
  QMap<QString, QByteArray> Package{{"a.txt", Text}};
  if (inPackage)
    Package.insert("assets/tex.dat", Texture);
  const QByteArray AssetsV2 = inAssets ? description("4", {{"assets/tex.dat", Texture}}) : QByteArray();
  const QDir Directory(Fixture.directory(0));
  Fixture.writeFiles(0, {{"package.json", description("1", {{"a.txt", Text}})}, {"assets.json", AssetsV1},
                         {"a.txt", Text}, {"assets/tex.dat", Texture}});
  Fixture.publish(0, description("2", Package), AssetsV2);

  // Every file of version 2 is there already: nothing is downloaded.
  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  QSignalSpy All(&Manager, &TInstallationManager::allStartedUpdatesFinished);
  Manager.installOrUpdatePackage(Fixture.package(0));
  QVERIFY(All.wait(20000));
  QCOMPARE(Fixture.package(0)->localStatus(), ELocalPackageStatus::UpToDate);
  QCOMPARE(QFile::exists(Directory.filePath("assets.json")), inAssets);
  if (inAssets)
    QCOMPARE(testsupport::readWholeFile(Directory.filePath("assets.json")), AssetsV2);
  QCOMPARE(QFile::exists(Directory.filePath("assets/tex.dat")), inPackage || inAssets);
}

void TestInstallationManager::verificationWritesWhatItVerified_data()
{
  // Installed: version 1 with its asset description; the published package
  // and asset versions, and the status after the verification.
  QTest::addColumn<QString>("version");
  QTest::addColumn<QString>("assetVersion");
  QTest::addColumn<bool>("upToDate");
  QTest::newRow("republished under the same versions") << "1" << "3" << true;
  QTest::newRow("another version published") << "2" << "3" << false;
  QTest::newRow("another asset version published") << "1" << "5" << false;
}

// The full marker written after a successful verification vouches for the
// files that were checked, never for a description they were not checked
// against.
void TestInstallationManager::verificationWritesWhatItVerified()
{
  QFETCH(QString, version);
  QFETCH(QString, assetVersion);
  QFETCH(bool, upToDate);
  TManagerFixture Fixture;
  const QByteArray Installed = description("1", {{"a.txt", "old"}});
  const QByteArray InstalledAssets = description("3", {{"b.txt", "asset"}});
  const QDir Directory(Fixture.directory(0));
  Fixture.writeFiles(0, {{"package.json", Installed}, {"assets.json", InstalledAssets}, {"a.txt", "old"},
                         {"b.txt", "asset"}});
  Fixture.publish(0, description(version, {{"a.txt", "new"}}), description(assetVersion, {{"b.txt", "new asset"}}));

  TInstallationManager Manager(Fixture.configuration, Fixture.helper);
  QSignalSpy All(&Manager, &TInstallationManager::allStartedUpdatesFinished);
  Manager.verifyPackage(Fixture.package(0));
  QVERIFY(All.wait(20000));
  QCOMPARE(testsupport::readWholeFile(Directory.filePath("package.json")), Installed);
  QCOMPARE(testsupport::readWholeFile(Directory.filePath("assets.json")), InstalledAssets);
  QVERIFY(!QFile::exists(Directory.filePath("partial-package.json")));
  QCOMPARE(Fixture.package(0)->localStatus(),
           upToDate ? ELocalPackageStatus::UpToDate : ELocalPackageStatus::UpdateAvailable);
}

QTEST_GUILESS_MAIN(TestInstallationManager)
#include "test_installationmanager.moc"
