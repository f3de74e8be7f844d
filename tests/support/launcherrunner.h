#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

// A launcher installation for end-to-end tests: a copy of the built
// launcher executable in a temporary folder, an optional settings file
// beside it, and an isolated data directory (XDG_DATA_HOME). Processes run
// with the offscreen platform and answer every modal box automatically.
class TLauncherInstallation
{
public:
  TLauncherInstallation();

  const QString& root() const { return m_Root; }
  QString binDirectory() const { return m_Root + "/bin"; }
  QString executable() const { return binDirectory() + "/ashgrove-launcher"; }
  QString dataHome() const { return m_Root + "/data"; }
  QString configHome() const { return m_Root + "/config"; }
  // The launcher's own data directory (log, cache, packages).
  QString dataDirectory() const { return dataHome() + "/Veldan GmbH/Ashgrove Online"; }
  QString logFile() const { return dataDirectory() + "/ashgrove-launcher.log"; }
  QString readLog() const;

  // Writes launchersettings.ini beside the executable.
  void writeSettings(const QString& Content);

  QProcessEnvironment environment() const;
  // Starts the launcher, or Wrapper (a program and its arguments, such as
  // strace) with the launcher and Arguments after it; the caller owns the
  // process.
  std::unique_ptr<QProcess> start(const QStringList& Arguments, const QStringList& Wrapper = {}) const;
  // Runs the launcher (or Wrapper, as above) to its end (killed after
  // TimeoutMs); returns the exit code, or -1 when it had to be killed or
  // crashed.
  int run(const QStringList& Arguments, int TimeoutMs = 60000, QByteArray* Output = nullptr,
          const QStringList& Wrapper = {}) const;

private:
  std::shared_ptr<QTemporaryDir> m_pDirectory;
  QString m_Root;
};

// The built launcher executable.
QString builtLauncherExecutable();

} // namespace testsupport
