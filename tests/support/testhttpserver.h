#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <memory>

class QThread;

namespace testsupport {

// A small HTTP/1.1 server for the tests, listening on 127.0.0.1 and a free
// port. It runs on its own thread, so it answers while the test blocks in
// QSignalSpy::wait, QTest::qWaitFor or anything else. Every method may be
// called from the test's thread at any time.
//
// Content: an in-memory body registered for a path wins over a file of the
// same path below the root directory; anything else is 404. Paths are matched
// without the query ("/a.pak?nocache=1" is "/a.pak"); "/" is prepended when
// missing. GET and POST (and any other method) are answered alike; every
// request is recorded with its headers and body, POST bodies included (sent
// with Content-Length or chunked). Connections are kept alive.
//
// Faults are set per path and apply to every method:
//
//   server.setFault("/a.pak", TTestHttpServer::TFault::status(500));
//   server.setFault("/b.pak", TTestHttpServer::TFault::resetAfter(1000).firstRequests(3));
//   server.setFault("*", TTestHttpServer::TFault::trickle(64, 10));  // every path without its own
//   server.setFault("/c.pak", TTestHttpServer::TFault());  // exempt from the "*" fault
//
// Statistics count per path: requests received and body bytes written to the
// socket, and over all paths the most requests that were being answered at the
// same time (from the end of the request to the last byte written, a stalled
// one until the client goes away).
class TTestHttpServer
{
public:
  enum class EFaultKind
  {
    None,
    Status,         // answer with `statusCode` and a short text body
    ResetAfter,     // send the headers and `bytes` of the body, then reset the connection (RST)
    Stall,          // accept the request and never answer
    Trickle,        // send the body in pieces of `bytes` every `intervalMs` milliseconds
    EmptyBody,      // 200 with Content-Length 0
    TruncatedBody,  // announce the full length, send `bytes` of the body, then close
    Redirect,       // `statusCode` (302 by default) with Location: `target`
    GeneratedBody,  // 200 with a body of `bytes` made up as it is sent (never held in memory);
                    // `bytes` < 0: no Content-Length and no end, until the client goes away
  };

  struct TFault
  {
    EFaultKind kind = EFaultKind::None;
    int statusCode = 0;
    qint64 bytes = 0;
    int intervalMs = 0;
    QUrl target;
    // The fault applies to this many requests of the path, counted from when
    // it is set; afterwards the path is served normally. -1: always.
    int remaining = -1;

    static TFault status(int Code) { return make(EFaultKind::Status, Code, 0, 0); }
    static TFault resetAfter(qint64 BodyBytes) { return make(EFaultKind::ResetAfter, 0, BodyBytes, 0); }
    static TFault stall() { return make(EFaultKind::Stall, 0, 0, 0); }
    static TFault trickle(qint64 BytesPerStep, int IntervalMs)
    {
      return make(EFaultKind::Trickle, 0, BytesPerStep, IntervalMs);
    }
    static TFault emptyBody() { return make(EFaultKind::EmptyBody, 0, 0, 0); }
    static TFault truncatedAfter(qint64 BodyBytes) { return make(EFaultKind::TruncatedBody, 0, BodyBytes, 0); }
    static TFault generatedBody(qint64 BodyBytes) { return make(EFaultKind::GeneratedBody, 0, BodyBytes, 0); }
    static TFault endlessBody() { return generatedBody(-1); }
    static TFault redirect(const QUrl& Target, int Code = 302)
    {
      TFault Fault = make(EFaultKind::Redirect, Code, 0, 0);
      Fault.target = Target;
      return Fault;
    }
    TFault firstRequests(int Count) const
    {
      TFault Copy = *this;
      Copy.remaining = Count;
      return Copy;
    }

  private:
    static TFault make(EFaultKind Kind, int StatusCode, qint64 Bytes, int IntervalMs)
    {
      TFault Fault;
      Fault.kind = Kind;
      Fault.statusCode = StatusCode;
      Fault.bytes = Bytes;
      Fault.intervalMs = IntervalMs;
      return Fault;
    }
  };

  struct TRecordedRequest
  {
    QByteArray method;                    // "GET", "POST", ...
    QByteArray target;                    // as sent: path and query
    QString path;                         // decoded path without the query
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
  };

  // Starts listening; with a certificate and key it speaks HTTPS only.
  // Throws std::runtime_error when it cannot listen.
  TTestHttpServer();
  TTestHttpServer(const QSslCertificate& Certificate, const QSslKey& Key);
  ~TTestHttpServer();
  TTestHttpServer(const TTestHttpServer&) = delete;
  TTestHttpServer& operator=(const TTestHttpServer&) = delete;

  quint16 port() const;
  // "http://127.0.0.1:<port>" (https with TLS) followed by Path.
  QUrl url(const QString& Path) const;

  void setRootDirectory(const QString& Directory);
  // A ContentEncoding is sent as the Content-Encoding header, whatever the
  // request asked for (the body is sent as it is given).
  void setBody(const QString& Path, const QByteArray& Body,
               const QByteArray& ContentType = "application/octet-stream",
               const QByteArray& ContentEncoding = QByteArray());
  void removeBody(const QString& Path);
  // Path "*" sets the fault of every path that has none of its own.
  void setFault(const QString& Path, const TFault& Fault);
  void clearFault(const QString& Path);
  void clearFaults();

  int requestCount(const QString& Path) const;
  int totalRequestCount() const;
  qint64 bodyBytesSent(const QString& Path) const;
  qint64 totalBodyBytesSent() const;
  int activeRequestCount() const;
  int maximumConcurrentRequests() const;
  // Paths of all requests, in the order they were received.
  QStringList requestOrder() const;
  // Recorded requests, all or those of one path, in the order received.
  QList<TRecordedRequest> requests(const QString& Path = QString()) const;
  // Forgets the statistics and recorded requests (not content or faults).
  void resetStatistics();

  // Makes a self-signed certificate for 127.0.0.1 with the openssl command
  // line tool; false when the tool is missing or fails.
  static bool makeSelfSignedCertificate(QSslCertificate& Certificate, QSslKey& Key);

  class TState;

private:
  void start();

  std::shared_ptr<TState> m_pState;
  std::unique_ptr<QThread> m_pThread;
  class TListener;
  TListener* m_pListener = nullptr;
  quint16 m_Port = 0;
  bool m_Tls = false;
};

} // namespace testsupport
