#pragma once

#include <QList>
#include <QString>
#include <QUrl>

#include <memory>

class QProcess;
class QTemporaryDir;

namespace testsupport {

// Runs the system's nginx (/usr/sbin/nginx) in the foreground as a child
// process, serving RootDirectory read-only on 127.0.0.1 and a free port as
// deploy/nginx/ashgrove-release.conf says, with a
// generated configuration, pid file, logs and temporary folders in a private
// temporary folder. Stops nginx on destruction (and nginx goes when the test
// process dies). Works for any user; as root the workers stay root, so that
// they can read the root folder.
//
//   TNginxServer Nginx(Folder);
//   download(Nginx.url("/chunks/a.pak"));
//   QCOMPARE(Nginx.bodyBytesServed("/chunks/"), qint64(Size));
class TNginxServer
{
public:
  struct TAccessLogEntry
  {
    QString method;
    QString path;  // as requested, without the query
    int status = 0;
    qint64 bodyBytes = 0;  // $body_bytes_sent
  };

  static QString executable();  // "/usr/sbin/nginx"
  // The rules of deploy/ for serving a release folder, which the server
  // follows (unless it has a RangeRootDirectory).
  static QString deploymentConfiguration();
  static bool isAvailable();

  // Starts nginx and waits until it accepts connections; throws
  // std::runtime_error (with nginx's error log) when it does not. With a
  // RangeRootDirectory, requests with a Range header are answered from
  // there instead (a server whose ranges differ from its whole files).
  explicit TNginxServer(const QString& RootDirectory, const QString& RangeRootDirectory = QString());
  ~TNginxServer();
  TNginxServer(const TNginxServer&) = delete;
  TNginxServer& operator=(const TNginxServer&) = delete;

  quint16 port() const { return m_Port; }
  // "http://127.0.0.1:<port>" followed by Path.
  QUrl url(const QString& Path) const;

  // The access log so far, one entry per answered request. nginx writes a
  // line once the response is sent, which may be a moment after the client
  // saw it: wait for the figures (QTRY_COMPARE) rather than read them once.
  QList<TAccessLogEntry> accessLog() const;
  // Sum of the body bytes sent, over all requests or those whose path starts
  // with PathPrefix.
  qint64 bodyBytesServed(const QString& PathPrefix = QString()) const;
  int requestCount(const QString& PathPrefix = QString()) const;

  // Stops nginx; called by the destructor.
  void stop();

private:
  bool tryStart(const QString& RootDirectory, const QString& RangeRootDirectory, QString& Error);

  std::unique_ptr<QTemporaryDir> m_pDirectory;
  std::unique_ptr<QProcess> m_pProcess;
  quint16 m_Port = 0;
};

} // namespace testsupport
