// The replacement of the launcher's files by a staged update: done whole,
// undone after a failure, and finished or undone after a kill at any step.

#include "launcher/launcherfileswap.h"
#include "shared/filesystemhelper.h"

#include "gamebuild.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace orvale::launcher;

namespace {

// Stands for the process being killed: not a runtime error, so nothing in
// the swap catches it.
struct TKilled
{
};

// A file system helper whose process "dies" at a chosen moment: before the
// Nth folder is made ready for a staged file (so after that file's old
// content was linked aside), before the Nth file is removed, or when the
// journal is removed.
class TDyingHelper : public shared::TFileSystemHelper
{
public:
  int foldersBeforeDeath = -1;
  int removalsBeforeDeath = -1;
  bool dieAtJournalRemoval = false;

  QDir ensureDirectory(const QString& Path) override
  {
    if (foldersBeforeDeath == 0)
      throw TKilled();
    --foldersBeforeDeath;
    return shared::TFileSystemHelper::ensureDirectory(Path);
  }
  void deleteFile(const QString& Path) override
  {
    const bool Journal = Path.endsWith("/launcher-update.json");
    if ((dieAtJournalRemoval && Journal) || (!Journal && removalsBeforeDeath == 0))
      throw TKilled();
    if (!Journal)
      --removalsBeforeDeath;
    shared::TFileSystemHelper::deleteFile(Path);
  }
};

// A launcher's folder with its running version, and a staged update that
// changes two files, adds two (one in a new folder) and drops one.
struct TSwapFixture
{
  QTemporaryDir root;
  QString live = root.filePath("bin");
  QString staging = root.filePath("bin/.ashgrove-update");
  const QStringList replaced{"launcher", "lib/core.so", "notes.txt", "plugins/extra.so"};
  const QStringList removed{"retired.dat"};

  TSwapFixture()
  {
    testsupport::writeWholeFile(live + "/launcher", "launcher 1");
    testsupport::writeWholeFile(live + "/lib/core.so", "core 1");
    testsupport::writeWholeFile(live + "/retired.dat", "retired");
    testsupport::writeWholeFile(live + "/unrelated.txt", "not ours");
    testsupport::writeWholeFile(staging + "/launcher", "launcher 2");
    testsupport::writeWholeFile(staging + "/lib/core.so", "core 2");
    testsupport::writeWholeFile(staging + "/notes.txt", "notes 2");
    testsupport::writeWholeFile(staging + "/plugins/extra.so", "extra 2");
  }

  QMap<QString, QString> liveFiles() const { return testsupport::describeTree(live, staged()); }
  QSet<QString> staged() const
  {
    QSet<QString> Staged;
    for (const QString& Path : replaced)
      Staged << ".ashgrove-update/" + Path;
    return Staged;
  }
};

} // namespace

class TestLauncherFileSwap : public QObject
{
  Q_OBJECT

private slots:
  void replacesTheFilesAndKeepsTheOldOnes();
  void failureInTheMiddlePutsEverythingBack();
  void killAtAnyStepIsFinishedOrUndone();
  void craftedJournalTouchesNothing_data();
  void craftedJournalTouchesNothing();
};

void TestLauncherFileSwap::replacesTheFilesAndKeepsTheOldOnes()
{
  TSwapFixture Fixture;
  shared::TFileSystemHelper Helper;
  TLauncherFileSwap(Helper, QDir(Fixture.live)).run(QDir(Fixture.staging), Fixture.replaced, Fixture.removed, "launcher");
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/launcher"), QByteArray("launcher 2"));
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/lib/core.so"), QByteArray("core 2"));
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/plugins/extra.so"), QByteArray("extra 2"));
  QVERIFY(!QFile::exists(Fixture.live + "/retired.dat"));
  // The old contents wait beside them for the next start's clean-up.
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/launcher.old"), QByteArray("launcher 1"));
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/lib/core.so.old"), QByteArray("core 1"));
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/retired.dat.old"), QByteArray("retired"));
  QVERIFY(!QFile::exists(TLauncherFileSwap::journalPath(QDir(Fixture.live))));
  QVERIFY(!TLauncherFileSwap(Helper, QDir(Fixture.live)).recover(QDir(Fixture.staging)));

  // A journal naming the launcher's folder itself is not ours: none of its
  // paths is acted on.
  const auto After = Fixture.liveFiles();
  testsupport::writeWholeFile(TLauncherFileSwap::journalPath(QDir(Fixture.live)),
                              R"({"files": [{"path": "notes.txt", "existed": true}, {"path": "."}]})");
  QVERIFY(!TLauncherFileSwap(Helper, QDir(Fixture.live)).recover(QDir(Fixture.staging)));
  QCOMPARE(Fixture.liveFiles(), After);
  QVERIFY(!QFile::exists(TLauncherFileSwap::journalPath(QDir(Fixture.live))));
}

void TestLauncherFileSwap::failureInTheMiddlePutsEverythingBack()
{
  TSwapFixture Fixture;
  const auto Before = Fixture.liveFiles();
  QFile::remove(Fixture.staging + "/notes.txt");  // the third file cannot be moved
  shared::TFileSystemHelper Helper;
  QVERIFY_EXCEPTION_THROWN(TLauncherFileSwap(Helper, QDir(Fixture.live))
                               .run(QDir(Fixture.staging), Fixture.replaced, Fixture.removed, "launcher"),
                           std::runtime_error);
  QCOMPARE(Fixture.liveFiles(), Before);
  QVERIFY(!QFile::exists(TLauncherFileSwap::journalPath(QDir(Fixture.live))));
}

void TestLauncherFileSwap::killAtAnyStepIsFinishedOrUndone()
{
  // Killed before each file in turn: the next start puts the old ones back.
  // The launcher itself goes last, so it is never newer than its files.
  for (int Step = 0; Step < 4; ++Step) {
    TSwapFixture Fixture;
    const auto Before = Fixture.liveFiles();
    TDyingHelper Dying;
    Dying.foldersBeforeDeath = Step;
    try {
      TLauncherFileSwap(Dying, QDir(Fixture.live)).run(QDir(Fixture.staging), Fixture.replaced, Fixture.removed, "launcher");
      QFAIL("the run was not interrupted");
    } catch (const TKilled&) {
    }
    QCOMPARE(testsupport::readWholeFile(Fixture.live + "/launcher"), QByteArray("launcher 1"));
    shared::TFileSystemHelper Helper;
    QVERIFY(TLauncherFileSwap(Helper, QDir(Fixture.live)).recover(QDir(Fixture.staging)));
    QVERIFY2(Fixture.liveFiles() == Before, qPrintable(QString("killed before file %1").arg(Step)));
    QVERIFY(!QFile::exists(Fixture.staging));
  }

  // The launcher itself cannot be put in place, so every other file goes
  // back; killed while they go back (before the Nth removal; the first one
  // drops retired.dat while the files are put in place), the next start goes
  // on putting them back, although every staged file is gone as if the
  // update had been finished.
  for (int Removals = 1; Removals < 4; ++Removals) {
    TSwapFixture Fixture;
    const auto Before = Fixture.liveFiles();
    QVERIFY(QFile::remove(Fixture.staging + "/launcher"));
    TDyingHelper Dying;
    Dying.removalsBeforeDeath = Removals;
    QVERIFY_EXCEPTION_THROWN(
        TLauncherFileSwap(Dying, QDir(Fixture.live)).run(QDir(Fixture.staging), Fixture.replaced, Fixture.removed, "launcher"),
        TKilled);
    shared::TFileSystemHelper Helper;
    QVERIFY(TLauncherFileSwap(Helper, QDir(Fixture.live)).recover(QDir(Fixture.staging)));
    QVERIFY2(Fixture.liveFiles() == Before, qPrintable(QString("killed before removal %1 while undoing").arg(Removals)));
  }

  // Killed after the last file, while the journal is removed: the update is
  // finished, not undone.
  TSwapFixture Fixture;
  TDyingHelper Dying;
  Dying.dieAtJournalRemoval = true;
  QVERIFY_EXCEPTION_THROWN(
      TLauncherFileSwap(Dying, QDir(Fixture.live)).run(QDir(Fixture.staging), Fixture.replaced, Fixture.removed, "launcher"),
      TKilled);
  shared::TFileSystemHelper Helper;
  QVERIFY(TLauncherFileSwap(Helper, QDir(Fixture.live)).recover(QDir(Fixture.staging)));
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/launcher"), QByteArray("launcher 2"));
  QCOMPARE(testsupport::readWholeFile(Fixture.live + "/notes.txt"), QByteArray("notes 2"));
  QVERIFY(!QFile::exists(Fixture.live + "/retired.dat"));
  QVERIFY(!QFile::exists(TLauncherFileSwap::journalPath(QDir(Fixture.live))));
}

void TestLauncherFileSwap::craftedJournalTouchesNothing_data()
{
  QTest::addColumn<QByteArray>("Journal");
  // Each journal also names a file it could act on: the whole journal is
  // refused, not just the entry.
  const QByteArray Notes = R"({"path": "notes.txt", "existed": true}, )";
  QTest::newRow("a folder to remove") << QByteArray(R"({"files": [)" + Notes + R"({"path": "lib", "remove": true}]})");
  QTest::newRow("a folder to put back") << QByteArray(R"({"files": [)" + Notes + R"({"path": "lib", "existed": true}]})");
  QTest::newRow("an added file behind a linked folder")
      << QByteArray(R"({"files": [)" + Notes + R"({"path": "linked/secret.txt"}]})");
  QTest::newRow("a file put back behind a linked folder")
      << QByteArray(R"({"files": [)" + Notes + R"({"path": "linked/secret.txt", "existed": true}]})");
  QTest::newRow("climbing out") << QByteArray(R"({"files": [)" + Notes + R"({"path": "../outside/secret.txt"}]})");
  QTest::newRow("an absolute path") << QByteArray(R"({"files": [)" + Notes + R"({"path": "/tmp/secret.txt"}]})");
  QTest::newRow("a path to clean") << QByteArray(R"({"files": [)" + Notes + R"({"path": "lib/./core.so"}]})");
  QTest::newRow("an unknown direction")
      << QByteArray(R"({"direction": "sideways", "files": [{"path": "notes.txt", "existed": true}]})");
}

// A journal that was not written by a swap (crafted, or from anywhere but
// us) acts on nothing: no folder is removed, nothing behind a linked folder
// or outside the launcher's folder is touched, and it is dropped.
void TestLauncherFileSwap::craftedJournalTouchesNothing()
{
  QFETCH(QByteArray, Journal);
  TSwapFixture Fixture;
  testsupport::writeWholeFile(Fixture.live + "/notes.txt", "notes 1");
  testsupport::writeWholeFile(Fixture.live + "/notes.txt.old", "notes 0");
  testsupport::writeWholeFile(Fixture.live + "/lib.old", "not a folder");
  testsupport::writeWholeFile(Fixture.root.filePath("outside/secret.txt"), "secret");
  testsupport::writeWholeFile(Fixture.root.filePath("outside/secret.txt.old"), "older secret");
  QVERIFY(QFile::link(Fixture.root.filePath("outside"), Fixture.live + "/linked"));
  QVERIFY(QDir().mkpath(Fixture.staging));
  const auto Before = testsupport::describeTree(Fixture.root.path());
  testsupport::writeWholeFile(TLauncherFileSwap::journalPath(QDir(Fixture.live)), Journal);
  shared::TFileSystemHelper Helper;
  QVERIFY(!TLauncherFileSwap(Helper, QDir(Fixture.live)).recover(QDir(Fixture.staging)));
  QCOMPARE(testsupport::describeTree(Fixture.root.path()), Before);
  QVERIFY(!QFile::exists(TLauncherFileSwap::journalPath(QDir(Fixture.live))));
}

QTEST_GUILESS_MAIN(TestLauncherFileSwap)
#include "test_launcherfileswap.moc"
