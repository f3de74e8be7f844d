#include "launcher/launcherfilesystemhelper.h"
#include "launcher/launchersettings.h"

#include "testsupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvale::launcher;

class TestSettings : public QObject
{
  Q_OBJECT

private slots:
  void compiledInDefaults();
  void compiledInFileIsCrLfAndComplete();
  void replacementFileTakesCodeDefaults();
  void conversions();
  void optionsDebugAndSecuritySections();
  void fileBesideExecutableWins();
  void sectionsTheFileBesideLacks_data();
  void sectionsTheFileBesideLacks();
  void malformedFileBehavesLikeEmpty();
  void onlySerialisedValuesAreRefused_data();
  void onlySerialisedValuesAreRefused();
  void accountGroupPaths();
};

void TestSettings::compiledInDefaults()
{
  initLauncherResources();
  const auto Settings = TLauncherSettings::loadFromFile(":/settings/launchersettings.ini");
  // The maker's values given to the build (ASHGROVE_CONFIGURATION_URL and
  // the like; by default the shipped ones).
  QCOMPARE(Settings->launcherConfiguration, QUrl(ASHGROVE_CONFIGURATION_URL));
  QCOMPARE(Settings->cdnDiagnosticsTrace, QUrl(ASHGROVE_CDN_TRACE_URL));
  QCOMPARE(Settings->releaseKeys.join(','), QString(ASHGROVE_RELEASE_KEYS).remove(' '));
  QVERIFY(!Settings->appendNocacheToPackageUrls);
  QCOMPARE(Settings->packages, QString("packages"));
  QCOMPARE(Settings->settingsTarget, QString("AshgroveOnlineClient_Data/Data/Settings"));
  QCOMPARE(Settings->packageFile, QString("package.json"));
  QCOMPARE(Settings->partialPackageFile, QString("partial-package.json"));
  QCOMPARE(Settings->assetFile, QString("assets.json"));
  QCOMPARE(Settings->accountGroupFile, QString("accountgroup.json"));
  QCOMPARE(Settings->waitNotificationTimeout, qint64(500));
  QCOMPARE(Settings->downloadErrorTimeout, qint64(10000));
  QCOMPARE(Settings->clientStartTimeout, qint64(30000));
  QVERIFY(Settings->fastScan);
  QVERIFY(Settings->skipVerification);
  QVERIFY(!Settings->chunkVerification);
  QCOMPARE(Settings->maxCachedChunks, 100);
  QCOMPARE(Settings->maxConcurrentDownloads, 10);
}

void TestSettings::compiledInFileIsCrLfAndComplete()
{
  initLauncherResources();
  QFile File(":/settings/launchersettings.ini");
  QVERIFY(File.open(QIODevice::ReadOnly));
  const QByteArray Content = File.readAll();
  const QList<QByteArray> Lines = Content.split('\n');
  QVERIFY(Content.endsWith("\r\n"));
  QStringList Keys;
  for (const QByteArray& Line : Lines) {
    if (Line.isEmpty())
      continue;
    QVERIFY2(Line.endsWith('\r'), Line.constData());
    const QByteArray Text = Line.chopped(1);
    if (!Text.isEmpty())
      Keys << QString::fromUtf8(Text.split('=').first());
  }
  QCOMPARE(Keys, QStringList({"[URLS]", "launcherConfiguration", "cdnDiagnosticsTrace", "appendNocacheToPackageUrls",
                              "[DIRECTORIES]", "packages", "settingsTarget", "[FILES]", "packageFile",
                              "partialPackageFile", "assetFile", "accountGroupFile", "[TIMING]",
                              "waitNotificationTimeout", "downloadErrorTimeout", "clientStartTimeout",
                              "[SECURITY]", "releaseKeys"}));
}

void TestSettings::replacementFileTakesCodeDefaults()
{
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("launchersettings.ini");
  testsupport::writeWholeFile(Path, "[URLS]\nlauncherConfiguration=http://127.0.0.1:8080/x/velmetadata.json\n");
  const auto Settings = TLauncherSettings::loadFromFile(Path);
  QCOMPARE(Settings->launcherConfiguration, QUrl("http://127.0.0.1:8080/x/velmetadata.json"));
  QVERIFY(Settings->packageFile.isEmpty());
  QCOMPARE(Settings->waitNotificationTimeout, qint64(0));
  QCOMPARE(Settings->downloadErrorTimeout, qint64(0));
  QCOMPARE(Settings->clientStartTimeout, qint64(0));
  QCOMPARE(Settings->maxCachedChunks, 100);
  QCOMPARE(Settings->maxConcurrentDownloads, 10);
  QVERIFY(Settings->fastScan);
  QVERIFY(Settings->skipVerification);
  QVERIFY(!Settings->chunkVerification);
}

void TestSettings::conversions()
{
  QVERIFY(!settingsTextToBool(""));
  QVERIFY(!settingsTextToBool("0"));
  QVERIFY(!settingsTextToBool("false"));
  QVERIFY(!settingsTextToBool("FaLsE"));
  QVERIFY(settingsTextToBool("yes"));
  QVERIFY(settingsTextToBool("1"));
  QVERIFY(settingsTextToBool("no"));  // anything else is true
  QCOMPARE(settingsTextToInt("42"), 42);
  QCOMPARE(settingsTextToInt("-7"), -7);
  QCOMPARE(settingsTextToInt("ten"), 0);
  QCOMPARE(settingsTextToInt("0x10"), 0);
  QCOMPARE(settingsTextToInt("99999999999"), 0);

  QTemporaryDir Dir;
  const QString Path = Dir.filePath("s.ini");
  testsupport::writeWholeFile(Path, "[URLS]\nappendNocacheToPackageUrls=yes\ncdnDiagnosticsTrace=http://h/trace, x\n"
                                    "launcherConfiguration=not a url %%\n"
                                    "[OPTIONS]\nmaxConcurrentDownloads=many\n");
  const auto Settings = TLauncherSettings::loadFromFile(Path);
  QVERIFY(Settings->appendNocacheToPackageUrls);
  QCOMPARE(Settings->maxConcurrentDownloads, 0);
  QCOMPARE(Settings->cdnDiagnosticsTrace.host(), QString("h"));
  testsupport::writeWholeFile(Path, "[URLS]\nappendNocacheToPackageUrls=false\n");
  QVERIFY(!TLauncherSettings::loadFromFile(Path)->appendNocacheToPackageUrls);
}

void TestSettings::optionsDebugAndSecuritySections()
{
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("s.ini");
  testsupport::writeWholeFile(Path, "[OPTIONS]\r\nmaxCachedChunks=0\r\nmaxConcurrentDownloads=3\r\nfastScan=false\r\n"
                                    "skipVerification=0\r\n[DEBUG]\r\nchunkVerification=true\r\n"
                                    "[SECURITY]\r\nreleaseKeys= ashgrove-ed25519:a+/= , ,ashgrove-ed25519:b\r\n");
  const auto Settings = TLauncherSettings::loadFromFile(Path);
  QCOMPARE(Settings->maxCachedChunks, 0);
  QCOMPARE(Settings->maxConcurrentDownloads, 3);
  QVERIFY(!Settings->fastScan);
  QVERIFY(!Settings->skipVerification);
  QVERIFY(Settings->chunkVerification);
  // Release keys: comma separated, white space around each ignored.
  QCOMPARE(Settings->releaseKeys, QStringList({"ashgrove-ed25519:a+/=", "ashgrove-ed25519:b"}));
}

void TestSettings::fileBesideExecutableWins()
{
  initLauncherResources();
  const QString CompiledIn = TLauncherSettings::compiledInFilePath();
  QTemporaryDir Dir;
  QCOMPARE(TLauncherSettings::settingsFilePaths(Dir.path()), QStringList{CompiledIn});
  testsupport::writeWholeFile(Dir.filePath("launchersettings.ini"), "[FILES]\npackageFile=p.json\n[TIMING]\ndownloadErrorTimeout=7\n");
  QCOMPARE(TLauncherSettings::settingsFilePaths(Dir.path()), QStringList({CompiledIn, Dir.filePath("launchersettings.ini")}));
  // Key by key: what the file has wins, what it lacks keeps the compiled-in
  // value (not the code default), in a section it has or not.
  const auto Settings = TLauncherSettings::loadFromFiles(TLauncherSettings::settingsFilePaths(Dir.path()));
  QCOMPARE(Settings->packageFile, QString("p.json"));
  QCOMPARE(Settings->downloadErrorTimeout, qint64(7));
  QCOMPARE(Settings->partialPackageFile, QString("partial-package.json"));
  QCOMPARE(Settings->waitNotificationTimeout, qint64(500));
  QCOMPARE(Settings->launcherConfiguration, QUrl(ASHGROVE_CONFIGURATION_URL));
  // A malformed file beside the executable leaves the compiled-in values.
  testsupport::writeWholeFile(Dir.filePath("launchersettings.ini"), "[FILES]\npackageFile=@Variant(\\0\\0\\0\\x7f)\n");
  QCOMPARE(TLauncherSettings::loadFromFiles(TLauncherSettings::settingsFilePaths(Dir.path()))->packageFile,
           QString("package.json"));
}

void TestSettings::sectionsTheFileBesideLacks_data()
{
  QTest::addColumn<QByteArray>("content");
  QTest::addColumn<QStringList>("missing");
  QTest::newRow("only security") << QByteArray("[SECURITY]\nreleaseKeys=k\n")
                                 << QStringList({"URLS", "DIRECTORIES", "FILES", "TIMING"});
  QTest::newRow("sections without keys are lacking")
      << QByteArray("[URLS]\n[DIRECTORIES]\r\npackages=p\r\n[FILES]\n[TIMING]\n[SECURITY]\n")
      << QStringList({"URLS", "FILES", "TIMING", "SECURITY"});
  QTest::newRow("all there") << QByteArray("[URLS]\na=1\n[DIRECTORIES]\nb=\n[FILES]\nc=\n[TIMING]\nd=\n[SECURITY]\ne=\n")
                             << QStringList();
  QTest::newRow("other sections only") << QByteArray("[OPTIONS]\nfastScan=false\n")
                                       << QStringList({"URLS", "DIRECTORIES", "FILES", "TIMING", "SECURITY"});
  QTest::newRow("malformed") << QByteArray("[URLS]\nlauncherConfiguration=@DateTime(x)\n")
                             << QStringList({"URLS", "DIRECTORIES", "FILES", "TIMING", "SECURITY"});
}

void TestSettings::sectionsTheFileBesideLacks()
{
  QFETCH(QByteArray, content);
  QFETCH(QStringList, missing);
  initLauncherResources();
  QTemporaryDir Dir;
  testsupport::writeWholeFile(Dir.filePath("launchersettings.ini"), content);
  QCOMPARE(TLauncherSettings::sectionsMissing(Dir.filePath("launchersettings.ini"), TLauncherSettings::compiledInFilePath()),
           missing);
}

void TestSettings::malformedFileBehavesLikeEmpty()
{
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("s.ini");
  testsupport::writeWholeFile(Path, testsupport::pseudoRandomBytes(4096, 99));
  const auto Settings = TLauncherSettings::loadFromFile(Path);
  QCOMPARE(Settings->maxCachedChunks, 100);
  QVERIFY(Settings->packageFile.isEmpty());
  const auto Missing = TLauncherSettings::loadFromFile(Dir.filePath("missing.ini"));
  QCOMPARE(Missing->maxConcurrentDownloads, 10);
}

void TestSettings::onlySerialisedValuesAreRefused_data()
{
  QTest::addColumn<QByteArray>("Line");
  QTest::addColumn<bool>("Refused");
  QTest::newRow("comment with @ and Variant(") << QByteArray("; by admin@example.org, not @Variant(x)") << false;
  QTest::newRow("comment with a Windows path") << QByteArray("; C:\\Games\\Ashgrove\\x.ini @") << false;
  QTest::newRow("indented comment with escapes") << QByteArray("  ;\\x40Variant(\\0)") << false;
  QTest::newRow("comment after a value") << QByteArray("x=1 ;@Variant(\\0)") << false;
  QTest::newRow("line without key") << QByteArray("# @Variant(\\0) C:\\x") << false;
  QTest::newRow("e-mail value") << QByteArray("contact=admin@example.org") << false;
  QTest::newRow("@ inside a value") << QByteArray("x=a@Variant(\\0)") << false;
  QTest::newRow("escaped @ inside a value") << QByteArray("x=a\\x40Variant(\\0)") << false;
  QTest::newRow("escapes in a value") << QByteArray("x=caf\\xe9 \\101\\t") << false;
  QTest::newRow("doubled @") << QByteArray("x=@@Variant(\\0)") << false;
  QTest::newRow("key with @") << QByteArray("@Variant(\\0)=1") << false;
  QTest::newRow("section with @") << QByteArray("[@Variant(x)=1]") << false;
  QTest::newRow("variant") << QByteArray("x=@Variant(\\0\\0\\0\\x7f)") << true;
  QTest::newRow("date and time") << QByteArray("x=@DateTime(\\0)") << true;
  QTest::newRow("empty key") << QByteArray("=@Variant(\\0)") << true;
  QTest::newRow("spaces before") << QByteArray("x =  \t@Variant(\\0)") << true;
  QTest::newRow("quoted") << QByteArray("x=\"@Variant(\\0)\"") << true;
  QTest::newRow("hex escape") << QByteArray("x=\\x40Variant(\\0)") << true;
  QTest::newRow("long hex escape") << QByteArray("x=\\x10040Variant(\\0)") << true;
  QTest::newRow("octal escape") << QByteArray("x=\\100Variant(\\0)") << true;
  QTest::newRow("dropped escape") << QByteArray("x=@Var\\qiant(\\0)") << true;
  QTest::newRow("spliced quotes") << QByteArray("x=\"@Var\"  \"iant(\\0)\"") << true;
  QTest::newRow("continued line") << QByteArray("x=@Vari\\\nant(\\0)") << true;
  QTest::newRow("list element") << QByteArray("x=a, @Variant(\\0)") << true;
  QTest::newRow("after a byte order mark") << QByteArray("\xEF\xBB\xBFx=@Variant(\\0)") << true;
  QTest::newRow("after a NUL byte") << QByteArray("y=1\0\nx=@Variant(\\0)", 19) << true;
}

// Qt's INI reader decodes values that begin with "@Variant(" or "@DateTime("
// through QDataStream, which forged data crashes: a file with such a value
// is refused whole (read as a file without keys). Everything else, "@" and
// backslashes in comments, keys and other values included, is read.
void TestSettings::onlySerialisedValuesAreRefused()
{
  QFETCH(QByteArray, Line);
  QFETCH(bool, Refused);
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("s.ini");
  testsupport::writeWholeFile(Path, Line + "\n[FILES]\npackageFile=p.json\n[OTHER]\n" + Line + "\n");
  QCOMPARE(TLauncherSettings::loadFromFile(Path)->packageFile, Refused ? QString() : QString("p.json"));
}

void TestSettings::accountGroupPaths()
{
  auto Settings = std::make_shared<TLauncherSettings>();
  Settings->settingsTarget = "Client_Data/Settings";
  Settings->accountGroupFile = "accountgroup.json";
  TLauncherFilesystemHelper Helper(Settings);
  QCOMPARE(Helper.accountGroupCopyTarget(), QString("Client_Data/Settings/accountgroup.json"));
  QCOMPARE(Helper.accountGroupFileName(), QString("accountgroup.json"));
  QVERIFY(Helper.accountGroupFilePath().endsWith("/accountgroup.json"));
  QVERIFY(QFileInfo(Helper.accountGroupFilePath()).isAbsolute());
}

QTEST_GUILESS_MAIN(TestSettings)
#include "test_settings.moc"
