#include "launcherrunner.h"

#include "testsupport.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <stdexcept>

namespace testsupport {

QString builtLauncherExecutable()
{
  return binaryDirectory() + "/bin/ashgrove-launcher";
}

TLauncherInstallation::TLauncherInstallation() : m_pDirectory(std::make_shared<QTemporaryDir>())
{
  if (!m_pDirectory->isValid())
    throw std::runtime_error("no temporary directory");
  m_Root = m_pDirectory->path();
  QDir().mkpath(binDirectory());
  QDir().mkpath(dataHome());
  QDir().mkpath(configHome());
  QDir().mkpath(m_Root + "/tmp");
  if (!QFile::copy(builtLauncherExecutable(), executable()))
    throw std::runtime_error(("cannot copy the launcher from " + builtLauncherExecutable()).toStdString());
  QFile::setPermissions(executable(), QFile::permissions(builtLauncherExecutable()));
  // The translation lies beside the executable when it was built.
  const QString Translation = binaryDirectory() + "/bin/launcher.en.qm";
  if (QFile::exists(Translation))
    QFile::copy(Translation, binDirectory() + "/launcher.en.qm");
}

QString TLauncherInstallation::readLog() const
{
  QFile File(logFile());
  if (!File.open(QIODevice::ReadOnly))
    return QString();
  return QString::fromUtf8(File.readAll());
}

void TLauncherInstallation::writeSettings(const QString& Content)
{
  writeWholeFile(binDirectory() + "/launchersettings.ini", Content.toUtf8());
}

QProcessEnvironment TLauncherInstallation::environment() const
{
  QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
  Environment.insert("XDG_DATA_HOME", dataHome());
  Environment.insert("XDG_CONFIG_HOME", configHome());
  Environment.insert("XDG_CACHE_HOME", m_Root + "/cache");
  Environment.insert("QT_QPA_PLATFORM", "offscreen");
  Environment.insert("ASHGROVE_AUTO_ANSWER_DIALOGS", "1");
  // The single-instance guard is keyed below the temporary folder: each
  // installation has a guard of its own, so tests running side by side do
  // not see each other's launchers.
  Environment.insert("TMPDIR", m_Root + "/tmp");
  return Environment;
}

std::unique_ptr<QProcess> TLauncherInstallation::start(const QStringList& Arguments, const QStringList& Wrapper) const
{
  auto Process = std::make_unique<QProcess>();
  Process->setProcessEnvironment(environment());
  Process->setProcessChannelMode(QProcess::MergedChannels);
  Process->setWorkingDirectory(m_Root);
  if (Wrapper.isEmpty())
    Process->start(executable(), Arguments);
  else
    Process->start(Wrapper.first(), Wrapper.mid(1) + QStringList{executable()} + Arguments);
  return Process;
}

int TLauncherInstallation::run(const QStringList& Arguments, int TimeoutMs, QByteArray* Output,
                               const QStringList& Wrapper) const
{
  auto Process = start(Arguments, Wrapper);
  // Wait in an event loop, so that servers living in this thread keep
  // answering the launcher.
  QEventLoop Loop;
  QTimer Timer;
  Timer.setSingleShot(true);
  QObject::connect(&Timer, &QTimer::timeout, &Loop, &QEventLoop::quit);
  QObject::connect(Process.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &Loop,
                   &QEventLoop::quit);
  bool FailedToStart = false;
  QObject::connect(Process.get(), &QProcess::errorOccurred, &Loop, [&](QProcess::ProcessError Error) {
    if (Error == QProcess::FailedToStart) {
      FailedToStart = true;
      Loop.quit();
    }
  });
  Timer.start(TimeoutMs);
  if (Process->state() != QProcess::NotRunning)
    Loop.exec();
  const bool Finished = Process->state() == QProcess::NotRunning;
  if (!Finished) {
    Process->kill();
    Process->waitForFinished(5000);
  }
  if (Output)
    *Output = Process->readAll();
  if (FailedToStart || !Finished || Process->exitStatus() != QProcess::NormalExit)
    return -1;
  return Process->exitCode();
}

} // namespace testsupport
