#include "shared/filesystemhelper.h"
#include "shared/firstinstancetester.h"
#include "shared/randomnumbergenerator.h"
#include "shared/sha256.h"

#include "testsupport.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/stat.h>

using namespace shared;

namespace {

class TCountingGenerator : public TRandomNumberGenerator
{
public:
  std::uint64_t generateUnsigned(std::uint64_t, std::uint64_t) override { return 4242; }
};

} // namespace

class TestFileSystemHelper : public QObject
{
  Q_OBJECT

private slots:
  void confinedJoin();
  void readAndWrite();
  void atomicWrites();
  void backgroundWritebackEveryThreshold();
  void removeAndMove();
  void listingAndSubdirectories();
  void jsonReading();
  void randomNumbers();
  void sha256MatchesQt();
  void singleInstanceGuard();
  void singleInstanceGuardDropsStaleSegments();
  void openFileLimitIsRaisedToTheHardLimit();
};

void TestFileSystemHelper::confinedJoin()
{
  TFileSystemHelper Helper;
  const QDir Base("/data/pkg");
  QCOMPARE(Helper.joinPathInside(Base, "sub/file.bin"), QString("/data/pkg/sub/file.bin"));
  QCOMPARE(Helper.joinPathInside(Base, "../../etc/passwd"), QString("/data/pkg/passwd"));
  // A sibling whose name starts with the base name is outside the base.
  QCOMPARE(Helper.joinPathInside(Base, "../pkg2/x"), QString("/data/pkg/x"));
  QCOMPARE(Helper.joinPathInside(Base, "../pkg"), QString("/data/pkg"));
  QCOMPARE(Helper.joinPathInside(Base, "/etc/passwd"), QString("/data/pkg/etc/passwd"));
  QCOMPARE(Helper.joinPathInside(Base, "a/../../b/"), QString("/data/pkg/b"));
  QCOMPARE(Helper.joinPathInside(Base, ".."), QString("/data/pkg"));
  QCOMPARE(Helper.joinPathInside(Base, "../.."), QString("/data/pkg"));
  QCOMPARE(Helper.joinPathInside(Base, "./x/./y"), QString("/data/pkg/x/y"));
  QCOMPARE(Helper.joinPathInside(Base, ""), QString("/data/pkg"));
  QCOMPARE(Helper.joinPathInside(QDir("/"), "../x"), QString("/x"));
  QCOMPARE(Helper.joinPathInside(QDir("/"), "x/y"), QString("/x/y"));
  QCOMPARE(Helper.joinPathInside(QDir("/data/pkg/"), "x"), QString("/data/pkg/x"));
  QCOMPARE(Helper.joinPathInside(Base, "a//b/"), QString("/data/pkg/a/b"));
  QCOMPARE(Helper.joinPathInside(Base, ".hidden/..x/x.."), QString("/data/pkg/.hidden/..x/x.."));
  QCOMPARE(Helper.joinPathInside(Base, "a/."), QString("/data/pkg/a"));
  // Whatever the input, the result stays inside the base.
  const QStringList Hostile{"../../../", "..//..//x", "a/b/../../../c", "....//x", "..\\..\\x", "x/../../pkg2"};
  for (const QString& Relative : Hostile) {
    const QString Result = Helper.joinPathInside(Base, Relative);
    QVERIFY2(Result == "/data/pkg" || Result.startsWith("/data/pkg/"), qPrintable(Relative + " -> " + Result));
  }
}

void TestFileSystemHelper::readAndWrite()
{
  QTemporaryDir Dir;
  TFileSystemHelper Helper;
  const QString Path = Dir.filePath("a.bin");
  Helper.writeFile(Path, "content");
  QCOMPARE(Helper.readFile(Path), QByteArray("content"));
  QCOMPARE(Helper.readFileIfExists(Dir.filePath("missing")), QByteArray());
  try {
    Helper.readFile(Dir.filePath("missing"));
    QFAIL("no exception");
  } catch (const std::runtime_error& Error) {
    QVERIFY(QString(Error.what()).startsWith("I/O error on file '"));
  }
  try {
    Helper.writeFile(Dir.filePath("no/such/dir/file"), "x");
    QFAIL("no exception");
  } catch (const std::runtime_error& Error) {
    QVERIFY(QString(Error.what()).endsWith("': Could not open file."));
  }
  Helper.writeTextFile(Dir.filePath("t.txt"), "one");
  Helper.appendTextFile(Dir.filePath("t.txt"), "two");
  QCOMPARE(Helper.readFile(Dir.filePath("t.txt")), QByteArray("onetwo"));
  QVERIFY_EXCEPTION_THROWN(Helper.writeTextFile(Dir.filePath("no/such/dir/t.txt"), "x"), std::runtime_error);
  QVERIFY_EXCEPTION_THROWN(Helper.appendTextFile(Dir.filePath("no/such/dir/t.txt"), "x"), std::runtime_error);
  Helper.copyFile(Path, Dir.filePath("t.txt"));  // no overwrite
  QCOMPARE(Helper.readFile(Dir.filePath("t.txt")), QByteArray("onetwo"));
  try {
    Helper.deleteFile(Dir.filePath("missing"));
    QFAIL("no exception");
  } catch (const std::runtime_error& Error) {
    QCOMPARE(QString(Error.what()), "Failed to delete file " + Dir.filePath("missing"));
  }
  QCOMPARE(Helper.joinPaths({}), QString());
  QCOMPARE(Helper.joinPaths({"a", "b", "c"}), QString("a/b/c"));
}

void TestFileSystemHelper::atomicWrites()
{
  QTemporaryDir Dir;
  TFileSystemHelper Helper;
  const QString Path = Dir.filePath("marker.json");
  Helper.writeFileAtomically(Path, "old");
  // A reader of the old file keeps it whole: the new content is a new file
  // renamed into place, never the old one truncated and written again.
  QFile Reader(Path);
  QVERIFY(Reader.open(QIODevice::ReadOnly));
  Helper.writeFileAtomically(Path, "new content");
  QCOMPARE(Reader.readAll(), QByteArray("old"));
  QCOMPARE(Helper.readFile(Path), QByteArray("new content"));

  // A write that fails (as on a full disk) leaves the old content and no
  // temporary file; so do a folder in the way and a missing folder.
  {
    testsupport::TFileSizeLimit Limit(4096);
    QVERIFY_EXCEPTION_THROWN(Helper.writeFileAtomically(Path, QByteArray(100000, 'x')), std::runtime_error);
  }
  QCOMPARE(Helper.readFile(Path), QByteArray("new content"));
  QDir(Dir.path()).mkpath("taken/sub");
  QVERIFY_EXCEPTION_THROWN(Helper.writeFileAtomically(Dir.filePath("taken"), "x"), std::runtime_error);
  QVERIFY_EXCEPTION_THROWN(Helper.writeFileAtomically(Dir.filePath("missing/x.json"), "x"), std::runtime_error);
  QCOMPARE(QDir(Dir.path()).entryList(QDir::Files), QStringList{"marker.json"});
}

void TestFileSystemHelper::backgroundWritebackEveryThreshold()
{
  QTemporaryDir Dir;
  TBackgroundWriteback Writeback(Dir.path(), 1000);
  Writeback.written(999);
  QCOMPARE(Writeback.started(), 0);
  Writeback.written(1);
  QCOMPARE(Writeback.started(), 1);
  // A file system that cannot be opened is never written back.
  TBackgroundWriteback Nowhere(Dir.filePath("missing"), 1);
  Nowhere.written(10);
  QCOMPARE(Nowhere.started(), 0);
}

void TestFileSystemHelper::removeAndMove()
{
  QTemporaryDir Dir;
  TFileSystemHelper Helper;
  testsupport::writeWholeFile(Dir.filePath("tree/sub/f"), "x");
  Helper.removePath(Dir.filePath("tree"));
  QVERIFY(!QFileInfo::exists(Dir.filePath("tree")));
  Helper.removePath(Dir.filePath("nothing"));  // absent: nothing happens

  // A symbolic link to a directory is removed as a link; its target stays.
  testsupport::writeWholeFile(Dir.filePath("target/keep"), "k");
  QVERIFY(QFile::link(Dir.filePath("target"), Dir.filePath("link")));
  Helper.removePath(Dir.filePath("link"));
  QVERIFY(!QFileInfo(Dir.filePath("link")).isSymLink());
  QVERIFY(QFileInfo::exists(Dir.filePath("target/keep")));

  testsupport::writeWholeFile(Dir.filePath("from"), "new");
  testsupport::writeWholeFile(Dir.filePath("to"), "old");
  Helper.movePath(Dir.filePath("from"), Dir.filePath("to"));
  QCOMPARE(Helper.readFile(Dir.filePath("to")), QByteArray("new"));
  Helper.movePath(Dir.filePath("from"), Dir.filePath("to"));  // source gone: target kept
  QCOMPARE(Helper.readFile(Dir.filePath("to")), QByteArray("new"));
  // A move that cannot be done is an error, not silence: callers rely on it.
  QVERIFY_EXCEPTION_THROWN(Helper.movePath(Dir.filePath("to"), Dir.filePath("missing/to")), std::runtime_error);
  QVERIFY(QFileInfo::exists(Dir.filePath("to")));
}

void TestFileSystemHelper::listingAndSubdirectories()
{
  QTemporaryDir Dir;
  TFileSystemHelper Helper;
  testsupport::writeWholeFile(Dir.filePath("a.old"), "12");
  testsupport::writeWholeFile(Dir.filePath(".hidden"), "1");
  testsupport::writeWholeFile(Dir.filePath("sub/b"), "1");
  const auto Files = Helper.listFilesInDirectory(Dir.path());
  QCOMPARE(Files.size(), std::size_t(1));
  QCOMPARE(Files[0].path, Dir.filePath("a.old"));
  QCOMPARE(Files[0].size, qint64(2));
  int Visited = 0;
  Helper.forEachFileInDirectory(Dir.path(), [&](const TLocalFileInfo&) { ++Visited; });
  QCOMPARE(Visited, 1);
  QVERIFY_EXCEPTION_THROWN(Helper.forEachFileInDirectory(Dir.path(), {}), std::bad_function_call);

  const QDir Sub = Helper.openSubdirectory(Dir.path(), "new");
  QVERIFY(Sub.exists());
  QCOMPARE(Sub.absolutePath(), Dir.filePath("new"));
  try {
    Helper.openSubdirectory(Dir.filePath("absent"), "x");
    QFAIL("no exception");
  } catch (const std::runtime_error& Error) {
    QCOMPARE(QString(Error.what()), QString("Directory doesn't exist"));
  }
  QVERIFY(Helper.ensureDirectory(Dir.filePath("d/e/f")).exists());
  testsupport::writeWholeFile(Dir.filePath("file"), "x");
  try {
    Helper.ensureDirectory(Dir.filePath("file/below"));
    QFAIL("no exception");
  } catch (const std::runtime_error& Error) {
    QVERIFY(QString(Error.what()).startsWith("Failed to create folder: '"));
  }
}

void TestFileSystemHelper::jsonReading()
{
  QTemporaryDir Dir;
  TFileSystemHelper Helper;
  bool ParseFailed = true;
  testsupport::writeWholeFile(Dir.filePath("empty.json"), "");
  QVERIFY(Helper.readJsonFileAsQJsonDocument(Dir.filePath("empty.json"), ParseFailed).isNull());
  QVERIFY(!ParseFailed);
  QVERIFY(Helper.readJsonFileAsQJsonDocument(Dir.filePath("missing.json"), ParseFailed).isNull());
  QVERIFY(!ParseFailed);
  testsupport::writeWholeFile(Dir.filePath("brace.json"), "{");
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Json parse error in file .*brace.json : .* at offset 1$"));
  QVERIFY(Helper.readJsonFileAsQJsonDocument(Dir.filePath("brace.json"), ParseFailed).isNull());
  QVERIFY(ParseFailed);
  testsupport::writeWholeFile(Dir.filePath("ok.json"), R"({"a": 1})");
  QCOMPARE(Helper.readJsonFileAsQJsonDocument(Dir.filePath("ok.json"), ParseFailed).object().value("a").toInt(), 1);
  QVERIFY(!ParseFailed);
}

void TestFileSystemHelper::randomNumbers()
{
  TRandomNumberGenerator Generator;
  for (int Index = 0; Index < 100; ++Index)
    QCOMPARE(Generator.generateUnsigned(5, 5), quint64(5));
  QVector<int> Seen(62, 0);
  for (int Index = 0; Index < 20000; ++Index) {
    const auto Value = Generator.generateUnsigned(0, 61);
    QVERIFY(Value <= 61);
    ++Seen[int(Value)];
  }
  QVERIFY(!Seen.contains(0));
  const auto Signed = Generator.randomSigned(-3, -1);
  QVERIFY(Signed >= -3 && Signed <= -1);
  // randomUnsigned goes through the virtual generateUnsigned.
  TCountingGenerator Overridden;
  QCOMPARE(Overridden.randomUnsigned(0, 10), quint64(4242));
  QVERIFY(TRandomNumberGenerator::instance() == TRandomNumberGenerator::instance());
}

void TestFileSystemHelper::sha256MatchesQt()
{
  for (int Size : {0, 1, 55, 56, 64, 1000, 1 << 20}) {
    const QByteArray Data = testsupport::pseudoRandomBytes(Size, quint64(Size));
    QCOMPARE(TSha256::hash(Data), QCryptographicHash::hash(Data, QCryptographicHash::Sha256));
    TSha256 Incremental;
    for (int Offset = 0; Offset < Size; Offset += 777)
      Incremental.addData(Data.mid(Offset, 777));
    QCOMPARE(Incremental.result(), QCryptographicHash::hash(Data, QCryptographicHash::Sha256));
  }
}

void TestFileSystemHelper::singleInstanceGuard()
{
  const QString Key = QString("ashgrove-test-%1").arg(QCoreApplication::applicationPid());
  {
    FirstInstanceTester First(Key);
    QVERIFY(First.isFirstInstance());
    FirstInstanceTester Second(Key);
    QVERIFY(!Second.isFirstInstance());
  }
  FirstInstanceTester Again(Key);
  QVERIFY(Again.isFirstInstance());
}

void TestFileSystemHelper::singleInstanceGuardDropsStaleSegments()
{
  // A segment's key derives from the inode of its key file, and a killed
  // launcher leaves both behind. On tmpfs inode numbers only grow, so the
  // key file made anew after dropping one stale segment gets one of the
  // next numbers: leave segments under all of them.
  QTemporaryDir Temporary("/dev/shm/ashgrove-test-XXXXXX");
  if (!Temporary.isValid())
    QSKIP("no tmpfs at /dev/shm");
  const QByteArray OldTemporaryPath = qgetenv("TMPDIR");
  qputenv("TMPDIR", Temporary.path().toLocal8Bit());
  const QString Key = QString("ashgrove-stale-%1").arg(QCoreApplication::applicationPid());
  const QString KeyFile = QSharedMemory(Key).nativeKey();
  testsupport::writeWholeFile(KeyFile, "");
  struct stat Info = {};
  QCOMPARE(::stat(QFile::encodeName(KeyFile).constData(), &Info), 0);
  QCOMPARE(::ftok(QFile::encodeName(KeyFile).constData(), 'Q'),
           key_t(('Q' << 24) | ((Info.st_dev & 0xff) << 16) | (Info.st_ino & 0xffff)));
  std::vector<int> Stale;
  for (ino_t Inode = Info.st_ino; Inode < Info.st_ino + 200; ++Inode) {
    const key_t StaleKey = key_t(('Q' << 24) | ((Info.st_dev & 0xff) << 16) | (Inode & 0xffff));
    const int Id = ::shmget(StaleKey, 1, IPC_CREAT | IPC_EXCL | 0600);
    if (Id >= 0)
      Stale.push_back(Id);
  }
  const bool First = FirstInstanceTester(Key).isFirstInstance();
  for (int Id : Stale)
    ::shmctl(Id, IPC_RMID, nullptr);
  qputenv("TMPDIR", OldTemporaryPath);
  QVERIFY(First);
}

void TestFileSystemHelper::openFileLimitIsRaisedToTheHardLimit()
{
  struct rlimit Original = {};
  QCOMPARE(::getrlimit(RLIMIT_NOFILE, &Original), 0);
  if (Original.rlim_max <= 64)
    QSKIP("hard limit of open files too low to lower the soft one");
  struct rlimit Lowered = Original;
  Lowered.rlim_cur = 64;
  QCOMPARE(::setrlimit(RLIMIT_NOFILE, &Lowered), 0);
  const qint64 Raised = raiseOpenFileLimit();
  struct rlimit Now = {};
  QCOMPARE(::getrlimit(RLIMIT_NOFILE, &Now), 0);
  QCOMPARE(Now.rlim_cur, Original.rlim_max);
  QCOMPARE(Now.rlim_max, Original.rlim_max);
  QCOMPARE(quint64(Raised), quint64(Original.rlim_max));
  QCOMPARE(raiseOpenFileLimit(), Raised);
  ::setrlimit(RLIMIT_NOFILE, &Original);
}

QTEST_GUILESS_MAIN(TestFileSystemHelper)
#include "test_filesystemhelper.moc"
