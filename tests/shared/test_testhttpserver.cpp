#include "shared/downloadpool.h"

#include "testhttpserver.h"
#include "testsupport.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace shared;
using testsupport::TTestHttpServer;
using TFault = TTestHttpServer::TFault;

// The parts of the test HTTP server that other tests rely on and that the
// download pool tests do not already show: files, uploads, request records
// and faults limited to the first requests.
class TestTestHttpServer : public QObject
{
  Q_OBJECT

private slots:
  void servesFilesBelowRootOnly();
  void recordsPostRequests();
  void readsChunkedRequestBodies();
  void faultForFirstRequestsOnly();
  void defaultFaultAndQueries();
};

namespace {

// Sends raw bytes and returns everything the server sent until it closed.
QByteArray exchange(quint16 Port, const QByteArray& Request)
{
  QTcpSocket Socket;
  Socket.connectToHost(QHostAddress::LocalHost, Port);
  if (!Socket.waitForConnected(5000))
    return QByteArray();
  Socket.write(Request);
  QByteArray Answer;
  while (Socket.state() == QAbstractSocket::ConnectedState && Socket.waitForReadyRead(5000))
    Answer += Socket.readAll();
  return Answer + Socket.readAll();
}

} // namespace

void TestTestHttpServer::servesFilesBelowRootOnly()
{
  QTemporaryDir Root;
  testsupport::writeWholeFile(Root.filePath("www/sub/file.bin"), "file content");
  testsupport::writeWholeFile(Root.filePath("secret.txt"), "secret");
  TTestHttpServer Server;
  Server.setRootDirectory(Root.filePath("www"));
  Server.setBody("/sub/file.bin", "memory wins");
  Server.setBody("/memory", "from memory");
  Server.removeBody("/sub/file.bin");

  TDownloadPool Pool(4, makeNetworkAccessManagerWrapper(), true);
  QSignalSpy Successes(&Pool, &TDownloadPool::success);
  QSignalSpy Failures(&Pool, &TDownloadPool::failed);
  Pool.download(Server.url("/sub/file.bin"));
  Pool.download(Server.url("/memory"));
  Pool.download(Server.url("/sub"));
  QTRY_COMPARE(Successes.size() + Failures.size(), 3);
  QCOMPARE(Successes.size(), 2);
  QCOMPARE(Failures.at(0).value(1).value<QNetworkReply::NetworkError>(), QNetworkReply::ContentNotFoundError);

  // QUrl would resolve "..", so the raw request goes over a plain socket.
  const QByteArray Answer = exchange(Server.port(), "GET /../secret.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  QVERIFY2(Answer.startsWith("HTTP/1.1 403"), Answer.constData());
  QVERIFY(!Answer.contains("secret"));
}

void TestTestHttpServer::recordsPostRequests()
{
  TTestHttpServer Server;
  Server.setBody("/survey", "{\"ok\":true}", "application/json");
  QNetworkAccessManager Manager;
  QNetworkRequest Request(Server.url("/survey?v=2"));
  Request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
  Request.setRawHeader("X-Client", "launcher");
  const QByteArray Document = "{\"cpu\":\"x86-64\",\"cores\":2}";
  QNetworkReply* pReply = Manager.post(Request, Document);
  QSignalSpy Finished(pReply, &QNetworkReply::finished);
  QVERIFY(Finished.wait(5000));
  QCOMPARE(pReply->error(), QNetworkReply::NoError);
  QCOMPARE(pReply->readAll(), QByteArray("{\"ok\":true}"));
  pReply->deleteLater();

  const QList<TTestHttpServer::TRecordedRequest> Recorded = Server.requests("/survey");
  QCOMPARE(Recorded.size(), 1);
  QCOMPARE(Recorded[0].method, QByteArray("POST"));
  QCOMPARE(Recorded[0].target, QByteArray("/survey?v=2"));
  QCOMPARE(Recorded[0].body, Document);
  QCOMPARE(Recorded[0].headers.value("content-type"), QByteArray("application/json"));
  QCOMPARE(Recorded[0].headers.value("x-client"), QByteArray("launcher"));
  QCOMPARE(Server.requestCount("survey"), 1);
  QCOMPARE(Server.requests().size(), 1);
}

void TestTestHttpServer::readsChunkedRequestBodies()
{
  TTestHttpServer Server;
  const QByteArray Answer = exchange(Server.port(), "POST /events HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n"
                                                    "Connection: close\r\n\r\n"
                                                    "5\r\nhello\r\n7;ext=1\r\n, world\r\n0\r\n\r\n");
  QVERIFY2(Answer.startsWith("HTTP/1.1 404"), Answer.constData());
  const QList<TTestHttpServer::TRecordedRequest> Recorded = Server.requests("/events");
  QCOMPARE(Recorded.size(), 1);
  QCOMPARE(Recorded[0].body, QByteArray("hello, world"));
}

void TestTestHttpServer::faultForFirstRequestsOnly()
{
  TTestHttpServer Server;
  Server.setBody("/chunk", "payload");
  Server.setFault("/chunk", TFault::resetAfter(3).firstRequests(2));
  TDownloadPool Pool(1, makeNetworkAccessManagerWrapper(), true);
  QSignalSpy Successes(&Pool, &TDownloadPool::success);
  QSignalSpy Failures(&Pool, &TDownloadPool::failed);
  for (int Attempt = 1; Attempt <= 3; ++Attempt) {
    Pool.download(Server.url("/chunk"));
    QTRY_COMPARE(Successes.size() + Failures.size(), Attempt);
  }
  QCOMPARE(Failures.size(), 2);
  QCOMPARE(Successes.size(), 1);
  QCOMPARE(Successes.at(0).value(1).toByteArray(), QByteArray("payload"));
  QCOMPARE(Server.requestCount("/chunk"), 3);
  QCOMPARE(Server.bodyBytesSent("/chunk"), qint64(3 + 3 + 7));
}

void TestTestHttpServer::defaultFaultAndQueries()
{
  TTestHttpServer Server;
  Server.setBody("/a", "a");
  Server.setBody("/b", "b");
  Server.setFault("*", TFault::status(500));
  Server.setFault("/b", TFault());
  TDownloadPool Pool(2, makeNetworkAccessManagerWrapper(), true);
  QSignalSpy Successes(&Pool, &TDownloadPool::success);
  QSignalSpy Failures(&Pool, &TDownloadPool::failed);
  Pool.download(Server.url("/a?nocache=1"));
  Pool.download(Server.url("/b?nocache=2"));
  QTRY_COMPARE(Successes.size() + Failures.size(), 2);
  QCOMPARE(Failures.size(), 1);
  QCOMPARE(Failures.at(0).value(0).toUrl(), Server.url("/a?nocache=1"));
  QCOMPARE(Successes.at(0).value(1).toByteArray(), QByteArray("b"));
  QCOMPARE(Server.requestCount("/a"), 1);
  QCOMPARE(Server.requestCount("/b"), 1);

  Server.clearFaults();
  Server.resetStatistics();
  Pool.download(Server.url("/a"));
  QTRY_COMPARE(Successes.size(), 2);
  QCOMPARE(Server.requestOrder(), QStringList({"/a"}));
}

QTEST_GUILESS_MAIN(TestTestHttpServer)
#include "test_testhttpserver.moc"
