#include "shared/downloadpool.h"

#include "nginxserver.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace shared;
using testsupport::TNginxServer;

// The nginx runner that the larger download tests use: it must start, serve
// files, and account for every body byte in its access log.
class TestNginxServer : public QObject
{
  Q_OBJECT

private slots:
  void servesFilesAndCountsBytes();
};

void TestNginxServer::servesFilesAndCountsBytes()
{
  if (!TNginxServer::isAvailable())
    QSKIP("nginx is not installed (scripts/install-deps installs nginx-light)");
  QTemporaryDir Root;
  QVERIFY(Root.isValid());
  const QByteArray First = testsupport::pseudoRandomBytes(100000, 1);
  const QByteArray Second = testsupport::pseudoRandomBytes(1234, 2);
  testsupport::writeWholeFile(Root.filePath("chunks/first.pak"), First);
  testsupport::writeWholeFile(Root.filePath("chunks/second.pak"), Second);
  testsupport::writeWholeFile(Root.filePath("package.json"), "{}");

  std::unique_ptr<TNginxServer> pNginx = std::make_unique<TNginxServer>(Root.path());
  QVERIFY(pNginx->port() != 0);
  TDownloadPool Pool(2, makeNetworkAccessManagerWrapper(), true);
  QSignalSpy Successes(&Pool, &TDownloadPool::success);
  QSignalSpy Failures(&Pool, &TDownloadPool::failed);
  Pool.download(pNginx->url("/chunks/first.pak"));
  Pool.download(pNginx->url("/chunks/second.pak?nocache=1"));
  Pool.download(pNginx->url("/package.json"));
  Pool.download(pNginx->url("/chunks/missing.pak"));
  QTRY_COMPARE(Successes.size() + Failures.size(), 4);
  QCOMPARE(Successes.size(), 3);
  QCOMPARE(Failures.size(), 1);
  QCOMPARE(Failures.at(0).value(1).value<QNetworkReply::NetworkError>(), QNetworkReply::ContentNotFoundError);
  for (const QList<QVariant>& Arguments : qAsConst(Successes)) {
    const QString Path = Arguments.value(0).toUrl().path();
    const QByteArray Expected = Path == "/chunks/first.pak" ? First : Path == "/chunks/second.pak" ? Second : QByteArray("{}");
    QCOMPARE(Arguments.value(1).toByteArray(), Expected);
  }

  QTRY_COMPARE(pNginx->requestCount(), 4);
  const qint64 NotFoundBytes = pNginx->bodyBytesServed("/chunks/missing.pak");
  QCOMPARE(pNginx->bodyBytesServed("/chunks/first.pak"), qint64(First.size()));
  QCOMPARE(pNginx->bodyBytesServed("/chunks/second.pak"), qint64(Second.size()));
  QCOMPARE(pNginx->bodyBytesServed("/chunks/"), qint64(First.size() + Second.size()) + NotFoundBytes);
  QCOMPARE(pNginx->bodyBytesServed(), qint64(First.size() + Second.size() + 2) + NotFoundBytes);
  int NotFound = 0;
  for (const TNginxServer::TAccessLogEntry& Entry : pNginx->accessLog()) {
    QCOMPARE(Entry.method, QStringLiteral("GET"));
    if (Entry.status == 404) {
      ++NotFound;
      QCOMPARE(Entry.path, QStringLiteral("/chunks/missing.pak"));
    }
  }
  QCOMPARE(NotFound, 1);

  // Stopping ends the server: its port no longer answers.
  const QUrl Url = pNginx->url("/package.json");
  pNginx.reset();
  Pool.download(Url);
  QTRY_COMPARE(Failures.size(), 2);
  const auto Code = Failures.at(1).value(1).value<QNetworkReply::NetworkError>();
  QVERIFY2(Code == QNetworkReply::ConnectionRefusedError || Code == QNetworkReply::RemoteHostClosedError,
           qPrintable(Failures.at(1).value(2).toString()));
}

QTEST_GUILESS_MAIN(TestNginxServer)
#include "test_nginxserver.moc"
