// Replays the inputs that the fuzzers of the launcher's document readers
// found or kept (tests/launcher/regressions/<target>/) through the same
// checks the fuzzers run. A file named "bad-..." must take the failure path
// (invalid description, TLauncherConfigurationException), one named "ok-..."
// the success path; every file must keep all promises of the interface.
#include "cdntracefuzzchecks.h"
#include "launcherfuzzchecks.h"
#include "fuzzreplay.h"
#include "testsupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

// Under the address sanitizer a failed huge allocation must come back as
// null, as it does from the ordinary allocator, for the settings inputs whose
// forged element counts make Qt ask for one (the code under test handles
// that failure; the sanitizer would otherwise abort first).
#if defined(__SANITIZE_ADDRESS__)
#define ASHGROVE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ASHGROVE_ASAN 1
#endif
#endif
#ifdef ASHGROVE_ASAN
extern "C" const char* __asan_default_options()
{
  return "allocator_may_return_null=1";
}
#endif

using fuzzreplay::readInput;
using fuzzreplay::verifyOutcome;

namespace {

void addRows(const QString& Target)
{
  fuzzreplay::addRows("launcher", Target);
}

} // namespace

class TestFuzzRegressions : public QObject
{
  Q_OBJECT

private slots:
  void packageConfiguration_data() { addRows("packageconfiguration"); }
  void packageConfiguration()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkPackageConfiguration(readInput(path)));
  }

  void launcherConfiguration_data() { addRows("launcherconfiguration"); }
  void launcherConfiguration()
  {
    QFETCH(QString, path);
    try {
      verifyOutcome(path, fuzzchecks::checkLauncherConfiguration(readInput(path)));
    } catch (const std::exception& Error) {
      QFAIL(qPrintable(QString("unexpected exception: ") + Error.what()));
    }
  }

  void cdnTrace_data() { addRows("cdntrace"); }
  void cdnTrace()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkCdnTrace(readInput(path)));
  }

  void settings_data() { addRows("settings"); }
  void settings()
  {
    QFETCH(QString, path);
    // A copy under a fresh name, as the fuzzer reads it (the INI reader
    // caches files by name).
    QTemporaryDir Directory;
    QVERIFY(Directory.isValid());
    const QString Copy = Directory.filePath("launchersettings.ini");
    testsupport::writeWholeFile(Copy, readInput(path));
    verifyOutcome(path, fuzzchecks::checkSettingsFile(Copy));
  }

  // Values that the INI reader would decode through QDataStream (forged
  // ones crash it or make it allocate without bound) make the file malformed:
  // it reads as a file without keys. An "@" inside a value is plain text.
  void settingsWithSerialisedValues_data()
  {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("refused");
    QTest::newRow("variant") << QByteArray("x=@Variant(\\0\\0\\0G\\0\\0\\0\\x1)") << true;
    QTest::newRow("date-time") << QByteArray("x=@DateTime(\\0)") << true;
    QTest::newRow("quoted") << QByteArray("x= \"@Variant(\\0)\"") << true;
    QTest::newRow("list element") << QByteArray("x=a, @Variant(\\0)") << true;
    QTest::newRow("hex escape") << QByteArray("x=\"\\x40Variant(\\0)\"") << true;
    QTest::newRow("octal escape") << QByteArray("x=\"\\100Variant(\\0)\"") << true;
    QTest::newRow("after a NUL byte") << QByteArray("y=\0\nx=@Variant(\\0)", 18) << true;
    // An escaped character the reader does not know is dropped: this value
    // reads as "Variant(...)", the next one as "@Variant(...)".
    QTest::newRow("escaped at sign") << QByteArray("x=\\@Variant(\\0)") << false;
    QTest::newRow("escaped at sign before @") << QByteArray("x=\\@@Variant(\\0)") << true;
    QTest::newRow("continued line") << QByteArray("x=@Var\\\niant(\\0)") << true;
    QTest::newRow("carriage return") << QByteArray("a=1\rx=@Variant(\\0)") << true;
    QTest::newRow("user info") << QByteArray("x=https://user@h/") << false;
  }
  void settingsWithSerialisedValues()
  {
    QFETCH(QByteArray, line);
    QFETCH(bool, refused);
    QTemporaryDir Directory;
    QVERIFY(Directory.isValid());
    const QString Path = Directory.filePath("launchersettings.ini");
    testsupport::writeWholeFile(Path, "[URLS]\nlauncherConfiguration=https://h/launcher/velmetadata.json\n"
                                      "[OPTIONS]\nmaxConcurrentDownloads=3\n" + line + "\n"
                                      "[TIMING]\ndownloadErrorTimeout=77\n");
    const auto pSettings = orvale::launcher::TLauncherSettings::loadFromFile(Path);
    QVERIFY(pSettings);
    if (refused) {
      QVERIFY(pSettings->launcherConfiguration.isEmpty());
      QCOMPARE(pSettings->maxConcurrentDownloads, 10);
      QCOMPARE(pSettings->downloadErrorTimeout, std::int64_t(0));
    } else {
      QCOMPARE(pSettings->launcherConfiguration, QUrl("https://h/launcher/velmetadata.json"));
      QCOMPARE(pSettings->maxConcurrentDownloads, 3);
      QCOMPARE(pSettings->downloadErrorTimeout, std::int64_t(77));
    }
  }

  // The document separator splits exactly once: an asset description that
  // is not JSON makes the pair invalid, and the raw parts are kept.
  void packageConfigurationSplit()
  {
    const auto Entry = [](const char* Name) {
      return QJsonDocument(QJsonObject{{"localfile", Name}, {"unpackedsize", 1}, {"unpackedhash", QString(64, 'f')}})
          .toJson(QJsonDocument::Compact);
    };
    const QByteArray Package = "{\"version\": \"1\", \"files\": [" + Entry("b") + ", " + Entry("a") + "]}";
    const fuzzchecks::TOutcome Valid = fuzzchecks::checkPackageConfiguration(
        fuzzchecks::joinDocuments(Package, "{\"version\": 2, \"files\": [" + Entry("c") + "]}"));
    QVERIFY2(Valid.violation.isEmpty(), qPrintable(Valid.violation));
    QVERIFY(Valid.accepted);
    const fuzzchecks::TOutcome BrokenAsset =
        fuzzchecks::checkPackageConfiguration(fuzzchecks::joinDocuments(Package, "{"));
    QVERIFY2(BrokenAsset.violation.isEmpty(), qPrintable(BrokenAsset.violation));
    QVERIFY(!BrokenAsset.accepted);
  }
};

// The launcher reads its settings inside its GUI application: so do these
// tests (see fuzz/fuzz_settings.cpp).
QTEST_MAIN(TestFuzzRegressions)
#include "test_fuzzregressions.moc"
