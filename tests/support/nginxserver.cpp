#include "nginxserver.h"

#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

namespace {

// nginx is ended with SIGTERM when the test process dies without stopping it.
class TChildProcess : public QProcess
{
protected:
  void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

quint16 freePort()
{
  QTcpServer Probe;
  if (!Probe.listen(QHostAddress::LocalHost, 0))
    return 0;
  return Probe.serverPort();
}

QString readText(const QString& Path)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly))
    return QString();
  return QString::fromUtf8(File.readAll());
}

bool accepts(quint16 Port)
{
  QTcpSocket Socket;
  Socket.connectToHost(QHostAddress::LocalHost, Port);
  return Socket.waitForConnected(200);
}

} // namespace

QString TNginxServer::executable()
{
  return QStringLiteral("/usr/sbin/nginx");
}

QString TNginxServer::deploymentConfiguration()
{
  return sourceDirectory() + QStringLiteral("/deploy/nginx/ashgrove-release.conf");
}

bool TNginxServer::isAvailable()
{
  return QFileInfo(executable()).isExecutable();
}

TNginxServer::TNginxServer(const QString& RootDirectory, const QString& RangeRootDirectory)
{
  if (!isAvailable())
    throw std::runtime_error("TNginxServer: /usr/sbin/nginx is not installed (package nginx-light)");
  QString Error;
  // The free port is only probed, so another process may take it before
  // nginx binds it; then the start is tried again.
  for (int Attempt = 0; Attempt < 5; ++Attempt) {
    if (tryStart(RootDirectory, RangeRootDirectory, Error))
      return;
    stop();
  }
  throw std::runtime_error(("TNginxServer: nginx did not start: " + Error).toStdString());
}

TNginxServer::~TNginxServer()
{
  stop();
}

bool TNginxServer::tryStart(const QString& RootDirectory, const QString& RangeRootDirectory, QString& Error)
{
  m_pDirectory = std::make_unique<QTemporaryDir>();
  if (!m_pDirectory->isValid()) {
    Error = QStringLiteral("no temporary folder");
    return false;
  }
  m_Port = freePort();
  if (m_Port == 0) {
    Error = QStringLiteral("no free port");
    return false;
  }
  const QDir Work(m_pDirectory->path());
  for (const char* Folder : {"body", "proxy", "fastcgi", "uwsgi", "scgi"})
    Work.mkpath(QString::fromLatin1(Folder));

  QString Config;
  Config += QStringLiteral("daemon off;\n");
  Config += QStringLiteral("worker_processes 1;\n");
  if (::geteuid() == 0)
    Config += QStringLiteral("user root;\n");
  Config += QStringLiteral("pid %1;\n").arg(Work.filePath("nginx.pid"));
  Config += QStringLiteral("error_log %1 warn;\n").arg(Work.filePath("error.log"));
  Config += QStringLiteral("events { worker_connections 512; }\n");
  Config += QStringLiteral("http {\n");
  Config += QStringLiteral("  default_type application/octet-stream;\n");
  Config += QStringLiteral("  log_format transfer '$status $body_bytes_sent $request_method $request_uri';\n");
  Config += QStringLiteral("  access_log %1 transfer;\n").arg(Work.filePath("access.log"));
  Config += QStringLiteral("  client_body_temp_path %1;\n").arg(Work.filePath("body"));
  Config += QStringLiteral("  proxy_temp_path %1;\n").arg(Work.filePath("proxy"));
  Config += QStringLiteral("  fastcgi_temp_path %1;\n").arg(Work.filePath("fastcgi"));
  Config += QStringLiteral("  uwsgi_temp_path %1;\n").arg(Work.filePath("uwsgi"));
  Config += QStringLiteral("  scgi_temp_path %1;\n").arg(Work.filePath("scgi"));
  Config += QStringLiteral("  keepalive_requests 100000;\n");
  Config += QStringLiteral("  server {\n");
  Config += QStringLiteral("    listen 127.0.0.1:%1;\n").arg(m_Port);
  Config += QStringLiteral("    root %1;\n").arg(QDir(RootDirectory).absolutePath());
  // Served as deploy/ tells game makers to serve a release folder; a server
  // whose ranges differ from its whole files is a fault of its own.
  if (RangeRootDirectory.isEmpty())
    Config += QStringLiteral("    include %1;\n").arg(deploymentConfiguration());
  else
    Config += QStringLiteral("    location / { if ($http_range) { root %1; } }\n").arg(QDir(RangeRootDirectory).absolutePath());
  Config += QStringLiteral("  }\n}\n");
  const QString ConfigPath = Work.filePath("nginx.conf");
  {
    QFile File(ConfigPath);
    if (!File.open(QIODevice::WriteOnly) || File.write(Config.toUtf8()) < 0) {
      Error = QStringLiteral("cannot write ") + ConfigPath;
      return false;
    }
  }

  m_pProcess = std::make_unique<TChildProcess>();
  m_pProcess->setProcessChannelMode(QProcess::MergedChannels);
  m_pProcess->start(executable(), {QStringLiteral("-p"), Work.path(), QStringLiteral("-e"),
                                   Work.filePath("error.log"), QStringLiteral("-c"), ConfigPath});
  if (!m_pProcess->waitForStarted(10000)) {
    Error = m_pProcess->errorString();
    return false;
  }
  QElapsedTimer Clock;
  Clock.start();
  while (Clock.elapsed() < 10000) {
    if (m_pProcess->state() != QProcess::Running) {
      Error = QString::fromUtf8(m_pProcess->readAll()) + readText(Work.filePath("error.log"));
      return false;
    }
    if (accepts(m_Port))
      return true;
    m_pProcess->waitForFinished(20);
  }
  Error = QStringLiteral("no connection within 10 s; ") + readText(Work.filePath("error.log"));
  return false;
}

void TNginxServer::stop()
{
  if (!m_pProcess)
    return;
  if (m_pProcess->state() != QProcess::NotRunning) {
    // SIGTERM: the master ends its workers and exits.
    m_pProcess->terminate();
    if (!m_pProcess->waitForFinished(10000)) {
      m_pProcess->kill();
      m_pProcess->waitForFinished(5000);
    }
  }
  m_pProcess.reset();
}

QUrl TNginxServer::url(const QString& Path) const
{
  return QUrl(QStringLiteral("http://127.0.0.1:%1%2")
                .arg(m_Port)
                .arg(Path.startsWith('/') ? Path : '/' + Path));
}

QList<TNginxServer::TAccessLogEntry> TNginxServer::accessLog() const
{
  QList<TAccessLogEntry> Entries;
  if (!m_pDirectory)
    return Entries;
  const QString Text = readText(QDir(m_pDirectory->path()).filePath("access.log"));
  for (const QString& Line : Text.split('\n', Qt::SkipEmptyParts)) {
    const QStringList Fields = Line.split(' ');
    if (Fields.size() < 4)
      continue;
    TAccessLogEntry Entry;
    Entry.status = Fields[0].toInt();
    Entry.bodyBytes = Fields[1].toLongLong();
    Entry.method = Fields[2];
    const QString Target = Fields.mid(3).join(' ');
    Entry.path = Target.left(Target.indexOf('?') < 0 ? Target.size() : Target.indexOf('?'));
    Entries.append(Entry);
  }
  return Entries;
}

qint64 TNginxServer::bodyBytesServed(const QString& PathPrefix) const
{
  qint64 Total = 0;
  for (const TAccessLogEntry& Entry : accessLog())
    if (Entry.path.startsWith(PathPrefix))
      Total += Entry.bodyBytes;
  return Total;
}

int TNginxServer::requestCount(const QString& PathPrefix) const
{
  int Count = 0;
  for (const TAccessLogEntry& Entry : accessLog())
    if (Entry.path.startsWith(PathPrefix))
      ++Count;
  return Count;
}

} // namespace testsupport
