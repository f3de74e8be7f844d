#include "launcher/app/commandline.h"
#include "launcher/app/launcherapplication.h"
#include "engine/logging.h"

#include "launcherrunner.h"
#include "testsupport.h"

#include <QFile>
#include <QJsonObject>
#include <QTcpServer>
#include <QtTest>

#include <sys/resource.h>

#include <csignal>

#include <algorithm>

using namespace orvale::launcher;

namespace {

// A server that accepts connections and never answers: the configuration
// download of a launcher pointed at it stays pending.
QString stallingSettings(const QTcpServer& Server)
{
  return QString("[URLS]\nlauncherConfiguration=http://127.0.0.1:%1/launcher/velmetadata.json\n"
                 "[TIMING]\nwaitNotificationTimeout=100000\ndownloadErrorTimeout=100000\n")
      .arg(Server.serverPort());
}

bool waitForLog(const testsupport::TLauncherInstallation& Installation, const QString& Text, int TimeoutMs)
{
  return QTest::qWaitFor([&] { return Installation.readLog().contains(Text); }, TimeoutMs);
}

} // namespace

class TestStartup : public QObject
{
  Q_OBJECT

private slots:
  void logLineFormat();
  void loggingSetUpFailures();
  void logReachesTheFile_data();
  void logReachesTheFile();
  void accountGroupKey();
  void accountGroupFile();
  void firstRunCreatesLogAndSecondRunAppends();
  void secondInstanceEndsAtOnce();
  void unknownOptionsAreIgnored();
  void helpAndVersionNeedNoDisplay();
  void displayProblems_data();
  void displayProblems();
};

void TestStartup::logLineFormat()
{
  const QDateTime Now(QDate(2026, 12, 8), QTime(9, 5, 7));
  QMessageLogContext Context("src/x.cpp", 42, "f", "default");
  QCOMPARE(formatLogLine(QtInfoMsg, Context, "hello", Now), QString("2026-12-08 09:05:07 (src/x.cpp:42) Info: hello"));
  QMessageLogContext Empty;
  QCOMPARE(formatLogLine(QtWarningMsg, Empty, "a\nb", Now), QString("2026-12-08 09:05:07 (:0) Warning: a\nb"));
  QCOMPARE(formatLogLine(QtDebugMsg, Empty, "d", Now), QString("2026-12-08 09:05:07 (:0) Debug: d"));
  QCOMPARE(formatLogLine(QtCriticalMsg, Empty, "c", Now), QString("2026-12-08 09:05:07 (:0) Critical: c"));
  QCOMPARE(formatLogLine(QtFatalMsg, Empty, "f", Now), QString("2026-12-08 09:05:07 (:0) Fatal: f"));
  QCOMPARE(formatLogLine(QtMsgType(77), Empty, "x", Now), QString("2026-12-08 09:05:07 (:0) "));
}

void TestStartup::loggingSetUpFailures()
{
  QTemporaryDir Dir;
  // The data directory cannot be created: a file is in the way.
  testsupport::writeWholeFile(Dir.filePath("blocked"), "x");
  QTest::ignoreMessage(QtWarningMsg, "couldn't setup logging. exception: Failed to create subdirectory.");
  setupLogging(Dir.filePath("blocked/data"), "launcher.log");
  QVERIFY(!logFile() || !logFile()->isOpen());
  // The log file cannot be opened (a folder has its name): messages keep
  // going to the default output, which the next ignoreMessage proves.
  QDir(Dir.path()).mkdir("launcher.log");
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^couldn't setup logging. exception: I/O error on file "));
  setupLogging(Dir.path(), "launcher.log");
  QVERIFY(!logFile()->isOpen());
  QTest::ignoreMessage(QtWarningMsg, "still on the default output");
  qWarning("still on the default output");
}

void TestStartup::logReachesTheFile_data()
{
  QTest::addColumn<QString>("level");
  QTest::addColumn<QString>("ending");
  QTest::addColumn<bool>("atOnce");  // in the file when the call has returned
  QTest::addColumn<QProcess::ExitStatus>("exitStatus");
  QTest::newRow("a warning is written at once, with the lines before it")
      << "warning" << "wait" << true << QProcess::CrashExit;
  QTest::newRow("a critical message is written at once") << "critical" << "wait" << true << QProcess::CrashExit;
  QTest::newRow("an info line is written within a second") << "info" << "wait" << false << QProcess::CrashExit;
  QTest::newRow("an info line is written at exit") << "info" << "exit" << false << QProcess::NormalExit;
  QTest::newRow("an info line is written when SIGTERM ends the process")
      << "info" << "terminate" << false << QProcess::CrashExit;
  QTest::newRow("an info line is written when the process crashes")
      << "info" << "crash" << false << QProcess::CrashExit;
}

void TestStartup::logReachesTheFile()
{
  QFETCH(QString, level);
  QFETCH(QString, ending);
  QFETCH(bool, atOnce);
  QFETCH(QProcess::ExitStatus, exitStatus);
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("writer.log");
  const auto Logged = [&] {
    const QString Log = QString::fromUtf8(testsupport::readWholeFile(Path));
    return Log.contains("Info: earlier line\n") && Log.contains(": the line\n");
  };
  QProcess Writer;
  Writer.start(LOGWRITER_PATH, {Dir.path(), "writer.log", level, ending});
  QVERIFY(Writer.waitForStarted());
  QVERIFY(Writer.waitForReadyRead(20000));
  QCOMPARE(Writer.readLine().trimmed(), QByteArray("logged"));
  if (atOnce)
    QVERIFY(Logged());
  if (ending == "wait") {
    QVERIFY(QTest::qWaitFor(Logged, 5000));
    Writer.kill();  // nothing is written at a SIGKILL: the line was before
  }
  QVERIFY(Writer.waitForFinished(20000));
  QCOMPARE(Writer.exitStatus(), exitStatus);
  if (exitStatus == QProcess::CrashExit && ending != "wait")
    QCOMPARE(Writer.exitCode(), ending == "terminate" ? SIGTERM : SIGSEGV);  // ended as it would have
  QVERIFY2(Logged(), testsupport::readWholeFile(Path).constData());
}

void TestStartup::accountGroupKey()
{
  QCOMPARE(accountGroupKeyFromObject(QJsonObject{{"Key", "abc"}}), QString("abc"));
  QTest::ignoreMessage(QtWarningMsg, "AccountGroupSetting Error: KeyNoString");
  QVERIFY(accountGroupKeyFromObject(QJsonObject{{"Key", 5}}).isEmpty());
  QTest::ignoreMessage(QtWarningMsg, "AccountGroupSetting Error: Empty");
  QVERIFY(accountGroupKeyFromObject(QJsonObject{}).isEmpty());
  QTest::ignoreMessage(QtWarningMsg, "AccountGroupSetting Error: KeyNotExists");
  QVERIFY(accountGroupKeyFromObject(readAccountGroupObject("/nonexistent", false)).isEmpty());
}

void TestStartup::accountGroupFile()
{
  QTemporaryDir Dir;
  const QString Path = Dir.filePath("accountgroup.json");
  testsupport::writeWholeFile(Path, "not json");
  QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^JSON parse error: "));
  QTest::ignoreMessage(QtWarningMsg, "AccountGroupSetting Error: Empty");
  QVERIFY(accountGroupKeyFromObject(readAccountGroupObject(Path, true)).isEmpty());

  testsupport::writeWholeFile(Path, "[1]");
  QTest::ignoreMessage(QtWarningMsg, "JSON file does not contain a valid JSON object.");
  QTest::ignoreMessage(QtWarningMsg, "AccountGroupSetting Error: Empty");
  QVERIFY(accountGroupKeyFromObject(readAccountGroupObject(Path, true)).isEmpty());

  testsupport::writeWholeFile(Path, R"({"Key": "group-7", "Other": 1})");
  QCOMPARE(accountGroupKeyFromObject(readAccountGroupObject(Path, true)), QString("group-7"));

  // A directory in place of the file cannot be read as text.
  QDir(Dir.path()).mkdir("asdir");
  const QJsonObject Failed = readAccountGroupObject(Dir.filePath("asdir"), true);
  QCOMPARE(Failed.value("error").toString(), Dir.filePath("asdir"));
}

void TestStartup::firstRunCreatesLogAndSecondRunAppends()
{
  QTcpServer Server;
  QVERIFY(Server.listen(QHostAddress::LocalHost));
  testsupport::TLauncherInstallation Installation;
  Installation.writeSettings(stallingSettings(Server));
  QVERIFY(!QFileInfo::exists(Installation.dataDirectory()));
  // Started with the soft limit of open files low, the launcher raises it to
  // the hard limit.
  struct rlimit OpenFiles = {};
  QCOMPARE(::getrlimit(RLIMIT_NOFILE, &OpenFiles), 0);
  struct rlimit Lowered = OpenFiles;
  Lowered.rlim_cur = std::min<rlim_t>(OpenFiles.rlim_max, 256);
  QCOMPARE(::setrlimit(RLIMIT_NOFILE, &Lowered), 0);

  for (int Run = 1; Run <= 2; ++Run) {
    auto Process = Installation.start({});
    QVERIFY(Process->waitForStarted());
    QVERIFY2(QTest::qWaitFor([&] { return Installation.readLog().count("load configuration") == Run; }, 20000),
             qPrintable(Installation.readLog()));
    Process->terminate();
    QVERIFY(Process->waitForFinished(10000));
  }
  ::setrlimit(RLIMIT_NOFILE, &OpenFiles);
  const QString Log = Installation.readLog();
  QCOMPARE(Log.count("Info: Version: 0.0.12 Thread: "), 2);
  QCOMPARE(Log.count(QString("Info: open files limit: %1\n").arg(quint64(OpenFiles.rlim_max))), 2);
  QVERIFY(Log.contains("AccountGroupSetting Error: KeyNotExists") == false);  // logged before the file is set up
  const QStringList Lines = Log.split('\n', Qt::SkipEmptyParts);
  QRegularExpression Format(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(.*:\d+\) (Debug|Info|Warning|Critical|Fatal): )");
  for (const QString& Line : Lines)
    QVERIFY2(Format.match(Line).hasMatch(), qPrintable(Line));
  // The first line of the second run follows the last line of the first.
  const int FirstLoad = Lines.indexOf(QRegularExpression(".*load configuration.*"));
  const int SecondVersion = Lines.lastIndexOf(QRegularExpression(".*Info: Version: 0.0.12 Thread: .*"));
  QVERIFY(FirstLoad >= 0 && SecondVersion > FirstLoad);
}

void TestStartup::secondInstanceEndsAtOnce()
{
  QTcpServer Server;
  QVERIFY(Server.listen(QHostAddress::LocalHost));
  testsupport::TLauncherInstallation Installation;
  Installation.writeSettings(stallingSettings(Server));
  auto First = Installation.start({});
  QVERIFY(First->waitForStarted());
  QVERIFY(waitForLog(Installation, "load configuration", 20000));
  // The first instance has asked for its configuration.
  QVERIFY(QTest::qWaitFor([&] { return Server.hasPendingConnections(); }, 10000));
  while (Server.hasPendingConnections())
    Server.nextPendingConnection();
  const QString LogBefore = Installation.readLog();

  QByteArray Output;
  QElapsedTimer Clock;
  Clock.start();
  QCOMPARE(Installation.run({"--show-ui"}, 20000, &Output), 0);
  QVERIFY(Clock.elapsed() < 15000);
  QVERIFY2(Output.contains("already running"), Output.constData());
  QCOMPARE(Installation.readLog(), LogBefore);
  QTest::qWait(300);
  QVERIFY(!Server.hasPendingConnections());  // no network activity
  QCOMPARE(First->state(), QProcess::Running);
  First->terminate();
  QVERIFY(First->waitForFinished(10000));

  // After the first instance has ended, a new one starts normally.
  auto Third = Installation.start({});
  QVERIFY(Third->waitForStarted());
  QVERIFY(QTest::qWaitFor([&] { return Installation.readLog().count("load configuration") == 2; }, 20000));
  Third->terminate();
  QVERIFY(Third->waitForFinished(10000));
}

void TestStartup::unknownOptionsAreIgnored()
{
  QTcpServer Server;
  QVERIFY(Server.listen(QHostAddress::LocalHost));
  testsupport::TLauncherInstallation Installation;
  Installation.writeSettings(stallingSettings(Server));
  auto Process = Installation.start({"--patch", "--no-such-option", "-x"});
  QVERIFY(Process->waitForStarted());
  QVERIFY(waitForLog(Installation, "load configuration", 20000));
  QCOMPARE(Process->state(), QProcess::Running);
  // The settings read, and the sections of the shipped ones the file beside
  // lacks (it has URLS and TIMING only).
  const QString Settings = Installation.binDirectory() + "/launchersettings.ini";
  QVERIFY(Installation.readLog().contains(QString("settings: %1 over the compiled-in ones").arg(Settings)));
  QVERIFY(Installation.readLog().contains(
      QString("settings: %1 lacks the sections DIRECTORIES, FILES, SECURITY of the shipped settings").arg(Settings)));
  Process->terminate();
  QVERIFY(Process->waitForFinished(10000));
}

void TestStartup::helpAndVersionNeedNoDisplay()
{
  // Without a display the application object could not be made: the
  // answers come before it, and nothing else starts.
  testsupport::TLauncherInstallation Installation;
  QProcessEnvironment Environment = Installation.environment();
  Environment.remove("DISPLAY");
  Environment.remove("WAYLAND_DISPLAY");
  Environment.insert("QT_QPA_PLATFORM", "xcb");
  const auto Run = [&](const QStringList& Arguments) {
    QProcess Process;
    Process.setProcessEnvironment(Environment);
    Process.start(Installation.executable(), Arguments);
    const bool Finished = Process.waitForFinished(30000);
    return std::make_pair(Finished && Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1,
                          QString::fromUtf8(Process.readAllStandardOutput()));
  };
  const auto Help = Run({"--first-launch", "--help"});
  QCOMPARE(Help.first, 0);
  for (const QString& Option : {"-l, --first-launch", "-s, --skip-selfupdate", "-u, --show-ui",
                                "-p, --patch <patchexecutable>", "-h, --help", "-v, --version"})
    QVERIFY2(Help.second.contains(Option), qPrintable(Help.second));
  QCOMPARE(Run({"-v"}), std::make_pair(0, QString("ashgrove-launcher %1\n").arg(LauncherVersion)));

  // Without any display the launcher says so in one line and ends with 1.
  Environment.remove("QT_QPA_PLATFORM");
  QProcess Process;
  Process.setProcessEnvironment(Environment);
  Process.start(Installation.executable(), {"--first-launch"});
  QVERIFY(Process.waitForFinished(30000));
  QCOMPARE(Process.exitStatus(), QProcess::NormalExit);
  QCOMPARE(Process.exitCode(), 1);
  const QString Error = QString::fromUtf8(Process.readAllStandardError());
  QVERIFY2(Error.startsWith("ashgrove-launcher: no display") && Error.count('\n') == 1, qPrintable(Error));
  QVERIFY(!QFile::exists(Installation.logFile()));
}

void TestStartup::displayProblems_data()
{
  QTest::addColumn<QString>("platform");
  QTest::addColumn<QString>("display");
  QTest::addColumn<QString>("wayland");
  QTest::addColumn<bool>("problem");
  QTest::newRow("nothing set") << "" << "" << "" << true;
  QTest::newRow("X11") << "" << ":0" << "" << false;
  QTest::newRow("Wayland") << "" << "" << "wayland-0" << false;
  QTest::newRow("xcb without DISPLAY") << "xcb" << "" << "wayland-0" << true;
  QTest::newRow("wayland without WAYLAND_DISPLAY") << "wayland" << ":0" << "" << true;
  QTest::newRow("offscreen") << "offscreen" << "" << "" << false;
  QTest::newRow("list, second works") << "wayland;xcb" << ":0" << "" << false;
}

void TestStartup::displayProblems()
{
  QFETCH(QString, platform);
  QFETCH(QString, display);
  QFETCH(QString, wayland);
  QFETCH(bool, problem);
  QCOMPARE(displayProblem(platform, display, wayland).has_value(), problem);
}

QTEST_MAIN(TestStartup)
#include "test_startup.moc"
