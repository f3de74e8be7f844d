#include "shared/downloadpool.h"

#include "nginxserver.h"
#include "testsupport.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
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
  void servesAReleaseAsDeployed_data();
  void servesAReleaseAsDeployed();
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

// What deploy/nginx/ashgrove-release.conf promises game makers, on a
// release folder: immutable chunk files, block indexes and dictionaries,
// short caching of descriptions, signatures and the configuration, several
// ranges in one answer, the bytes as stored whatever the client accepts, no
// hidden files.
void TestNginxServer::servesAReleaseAsDeployed_data()
{
  QTest::addColumn<QString>("path");
  QTest::addColumn<QByteArray>("range");
  QTest::addColumn<int>("status");
  QTest::addColumn<QByteArray>("cacheControl");
  QTest::addColumn<QByteArray>("contentType");  // its start
  const QString Chunk = "/game/chunks/3f/" + QString(64, 'a') + ".deflate";
  QTest::newRow("chunk file") << Chunk << QByteArray() << 200 << QByteArray("public, max-age=31536000, immutable")
                              << QByteArray("application/octet-stream");
  QTest::newRow("block index") << "/game/chunks/a0/" + QString(64, 'b') + ".blocks" << QByteArray() << 200
                               << QByteArray("public, max-age=31536000, immutable") << QByteArray("application/octet-stream");
  QTest::newRow("ranges of a chunk file") << Chunk << QByteArray("bytes=0-9,100-109") << 206
                                          << QByteArray("public, max-age=31536000, immutable")
                                          << QByteArray("multipart/byteranges");
  QTest::newRow("dictionary") << "/game/dictionaries/" + QString(64, 'c') + ".dict" << QByteArray() << 200
                              << QByteArray("public, max-age=31536000, immutable") << QByteArray("application/octet-stream");
  QTest::newRow("description") << "/game/package.json" << QByteArray() << 200 << QByteArray("public, max-age=60")
                               << QByteArray("application/json");
  QTest::newRow("signature") << "/game/package.json.sig" << QByteArray() << 200 << QByteArray("public, max-age=60")
                             << QByteArray("text/plain");
  QTest::newRow("configuration") << "/velmetadata.json" << QByteArray() << 200 << QByteArray("public, max-age=60")
                                 << QByteArray("application/json");
  QTest::newRow("hidden file") << "/game/.rsync-partial" << QByteArray() << 404 << QByteArray() << QByteArray();
}

void TestNginxServer::servesAReleaseAsDeployed()
{
  QFETCH(QString, path);
  QFETCH(QByteArray, range);
  QFETCH(int, status);
  QFETCH(QByteArray, cacheControl);
  QFETCH(QByteArray, contentType);
  if (!TNginxServer::isAvailable())
    QSKIP("nginx is not installed (scripts/install-deps installs nginx-light)");
  QTemporaryDir Root;
  // Text compresses well: a server that compressed anything would do it here.
  const QByteArray Text = QByteArray("{\"files\": []} ").repeated(2000);
  testsupport::writeWholeFile(Root.filePath(path.mid(1)), Text);
  TNginxServer Nginx(Root.path());
  QNetworkAccessManager Manager;
  QNetworkRequest Request(Nginx.url(path));
  Request.setRawHeader("Accept-Encoding", "gzip, deflate");
  if (!range.isEmpty())
    Request.setRawHeader("Range", range);
  std::unique_ptr<QNetworkReply> Reply(Manager.get(Request));
  QSignalSpy Finished(Reply.get(), &QNetworkReply::finished);
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
  QCOMPARE(Reply->rawHeader("Cache-Control"), cacheControl);
  QVERIFY2(Reply->rawHeader("Content-Type").startsWith(contentType), Reply->rawHeader("Content-Type").constData());
  QVERIFY(!Reply->hasRawHeader("Content-Encoding"));
  if (status == 200)
    QCOMPARE(Reply->readAll(), Text);
}

QTEST_GUILESS_MAIN(TestNginxServer)
#include "test_nginxserver.moc"
