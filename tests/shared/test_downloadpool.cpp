#include "shared/downloadpool.h"

#include "testhttpserver.h"
#include "testsupport.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>

#include <cstdlib>
#include <functional>
#include <memory>

using namespace shared;
using testsupport::TTestHttpServer;
using TFault = TTestHttpServer::TFault;

Q_DECLARE_METATYPE(QAuthenticator*)
Q_DECLARE_METATYPE(TTestHttpServer::TFault)

namespace {

// A real manager wrapper that remembers what the pool asked of it.
class TRecordingManager : public QNetworkAccessManagerWrapper
{
public:
  TRecordingManager() : QNetworkAccessManagerWrapper(std::make_shared<QNetworkAccessManager>()) {}

  QNetworkReplyWrapper* get(const QNetworkRequest& Request) override
  {
    requested.append(Request.url());
    QNetworkReplyWrapper* pReply = QNetworkAccessManagerWrapper::get(Request);
    replies.append(pReply);
    return pReply;
  }

  void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy) override
  {
    policies.append(Policy);
    QNetworkAccessManagerWrapper::setRedirectPolicy(Policy);
  }

  int liveReplyCount() const { return manager()->findChildren<QNetworkReply*>().size(); }

  QList<QUrl> requested;
  QList<QPointer<QNetworkReplyWrapper>> replies;
  QList<QNetworkRequest::RedirectPolicy> policies;
};

struct TPoolUnderTest
{
  TPoolUnderTest(int Limit, bool ReleaseOnFinish)
    : manager(std::make_shared<TRecordingManager>()),
      pool(std::make_unique<TDownloadPool>(Limit, manager, ReleaseOnFinish)),
      successes(pool.get(), &TDownloadPool::success), failures(pool.get(), &TDownloadPool::failed),
      progress(pool.get(), &TDownloadPool::progress)
  {
  }

  std::shared_ptr<TRecordingManager> manager;
  std::unique_ptr<TDownloadPool> pool;
  QSignalSpy successes;
  QSignalSpy failures;
  QSignalSpy progress;
};

QList<QUrl> urlsOf(const QSignalSpy& Spy)
{
  QList<QUrl> Urls;
  for (const QList<QVariant>& Arguments : Spy)
    Urls.append(Arguments.value(0).toUrl());
  return Urls;
}

} // namespace

class TestDownloadPool : public QObject
{
  Q_OBJECT

private slots:
  void init();
  void cleanup();

  void limitTwoStartsTwoOfFive();
  void poolsSharingALimitStayWithinIt();
  void releasingStartsNextInQueueOrder();
  void requeuePrioritizeAndActiveUrl();
  void refusedUrls_data();
  void refusedUrls();
  void percentEncodedUrlIsAccepted();
  void nonReleasingPoolHoldsSlotUntilRelease();
  void zeroLimitHoldsQueueUntilRaised();
  void progressIsCumulative();
  void failingRequestIsReportedOnce();
  void retryFromFailedHandlerIsReportedPerRequest();
  void httpErrorsMapToReplyCodes_data();
  void httpErrorsMapToReplyCodes();
  void authenticationIsNotAnswered();
  void redirectIsFollowed_data();
  void redirectIsFollowed();
  void redirectPolicyIsSetThroughWrapper();
  void httpsToHttpRedirectIsRefused();
  void serverFaults();
  void cutOffBodiesNeverSucceed();
  void bodiesAreHeldToTheirLimit_data();
  void bodiesAreHeldToTheirLimit();
  void largeBodiesGoToFiles_data();
  void largeBodiesGoToFiles();
  void stallKeepsSlotWithoutReport();
  void stalledTransferTimesOut();
  void timeRulesEndSlowTransfers_data();
  void timeRulesEndSlowTransfers();
  void atMostSixRequestsPerServer();
  void finishedRepliesAreDeleted();
  void replyDeletedWhileRunning();
  void poolDestroyedWhileRequestsRun();
  void poolReleasedFromItsOwnSignal();
  void failedWorksOverQueuedConnections();
  void threeHundredUrlsThroughLimitSix();

private:
  // Serves Count paths Prefix0, Prefix1, ... with Body(Index) and queues
  // them in Pool in that order; their URLs.
  QList<QUrl> serveAndQueue(TDownloadPool& Pool, const QString& Prefix, int Count,
                            const std::function<QByteArray(int)>& Body);

  std::unique_ptr<TTestHttpServer> m_pServer;
};

QList<QUrl> TestDownloadPool::serveAndQueue(TDownloadPool& Pool, const QString& Prefix, int Count,
                                            const std::function<QByteArray(int)>& Body)
{
  QList<QUrl> Urls;
  for (int Index = 0; Index < Count; ++Index) {
    const QString Path = Prefix + QString::number(Index);
    m_pServer->setBody(Path, Body(Index));
    Urls.append(m_pServer->url(Path));
    Pool.download(Urls.last());
  }
  return Urls;
}

void TestDownloadPool::init()
{
  m_pServer = std::make_unique<TTestHttpServer>();
}

void TestDownloadPool::cleanup()
{
  m_pServer.reset();
}

void TestDownloadPool::limitTwoStartsTwoOfFive()
{
  m_pServer->setFault("*", TFault::trickle(8, 40));
  TPoolUnderTest Test(2, true);
  const QList<QUrl> Urls =
      serveAndQueue(*Test.pool, "/file", 5, [](int Index) { return QByteArray(16, char('a' + Index)); });
  QCOMPARE(Test.pool->activeDownloadCount(), 2);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(5));
  QCOMPARE(Test.manager->requested, Urls.mid(0, 2));

  QTRY_COMPARE(Test.successes.size(), 5);
  QCOMPARE(Test.manager->requested, Urls);
  QCOMPARE(Test.failures.size(), 0);
  QCOMPARE(m_pServer->maximumConcurrentRequests(), 2);
  QCOMPARE(Test.pool->activeDownloadCount(), 0);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(0));
  for (const QList<QVariant>& Arguments : qAsConst(Test.successes)) {
    const int Index = Urls.indexOf(Arguments.value(0).toUrl());
    QVERIFY(Index >= 0);
    QCOMPARE(Arguments.value(1).toByteArray(), QByteArray(16, char('a' + Index)));
  }
}

void TestDownloadPool::poolsSharingALimitStayWithinIt()
{
  // One pool holds its slots until released, the other frees them as its
  // requests end; together they never run more than the limit.
  m_pServer->setFault("*", TFault::trickle(8, 40));
  TPoolUnderTest Held(2, false);
  TPoolUnderTest Freed(2, true);
  Freed.pool->shareLimitWith(*Held.pool);
  const QList<QUrl> HeldUrls =
      serveAndQueue(*Held.pool, "/held", 2, [](int Index) { return QByteArray(16, char('a' + Index)); });
  serveAndQueue(*Freed.pool, "/freed", 4, [](int Index) { return QByteArray(16, char('k' + Index)); });
  QCOMPARE(Freed.pool->activeDownloadCount(), 0);
  QTRY_COMPARE(Held.successes.size(), 2);
  QTest::qWait(200);
  QVERIFY(Freed.manager->requested.isEmpty());

  // Each release lets the other pool start one more.
  Held.pool->releaseUrl(HeldUrls[0]);
  QTRY_VERIFY(!Freed.manager->requested.isEmpty());
  QVERIFY(Freed.pool->activeDownloadCount() <= 1);
  Held.pool->releaseUrl(HeldUrls[1]);
  QTRY_COMPARE(Freed.successes.size(), 4);
  QCOMPARE(Freed.failures.size(), 0);
  QCOMPARE(m_pServer->maximumConcurrentRequests(), 2);
}

void TestDownloadPool::releasingStartsNextInQueueOrder()
{
  // Without automatic release every slot is freed by hand, so the order in
  // which the queue is drained can be followed step by step.
  TPoolUnderTest Test(2, false);
  const QList<QUrl> Urls = serveAndQueue(*Test.pool, "/step", 5, [](int Index) { return QByteArray::number(Index); });
  QTRY_COMPARE(Test.successes.size(), 2);
  QCOMPARE(Test.manager->requested, Urls.mid(0, 2));
  for (int Next = 2; Next < 5; ++Next) {
    const QUrl Finished = Test.successes.at(Next - 2).value(0).toUrl();
    Test.pool->releaseUrl(Finished);
    QCOMPARE(Test.manager->requested, Urls.mid(0, Next + 1));
    QTRY_COMPARE(Test.successes.size(), Next + 1);
  }
  QCOMPARE(Test.pool->activeDownloadCount(), 2);
  Test.pool->releaseUrl(Urls[3]);
  Test.pool->releaseUrl(Urls[4]);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(0));
}

void TestDownloadPool::requeuePrioritizeAndActiveUrl()
{
  m_pServer->setFault("/a", TFault::trickle(1, 100));
  TPoolUnderTest Test(1, false);
  QMap<QString, QUrl> Url;
  for (const QString& Name : QStringList{"a", "b", "c", "d"}) {
    m_pServer->setBody(Name, Name.toUtf8());
    Url[Name] = m_pServer->url(Name);
  }
  Test.pool->download(Url["a"]);  // active
  Test.pool->download(Url["b"]);
  Test.pool->download(Url["c"]);
  Test.pool->download(Url["d"]);  // queue: b c d
  Test.pool->download(Url["b"]);  // queue: c d b
  Test.pool->prioritize(Url["d"]);  // queue: d c b
  Test.pool->download(Url["a"]);  // active: no change
  Test.pool->prioritize(Url["a"]);  // active: no change
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(4));
  QCOMPARE(Test.pool->activeDownloadCount(), 1);

  QList<QUrl> Expected = {Url["a"]};
  for (const QString& Name : QStringList{"a", "d", "c", "b"}) {
    QTRY_COMPARE(Test.successes.size(), Expected.size());
    QCOMPARE(Test.successes.last().value(0).toUrl(), Url[Name]);
    QCOMPARE(Test.successes.last().value(1).toByteArray(), Name.toUtf8());
    Test.pool->releaseUrl(Url[Name]);
    if (Name == "a")
      Expected = {Url["a"], Url["d"]};
    else if (Name == "d")
      Expected.append(Url["c"]);
    else if (Name == "c")
      Expected.append(Url["b"]);
  }
  QCOMPARE(Test.manager->requested, Expected);
  QCOMPARE(m_pServer->requestCount("/a"), 1);
  QCOMPARE(Test.failures.size(), 0);
}

void TestDownloadPool::refusedUrls_data()
{
  QTest::addColumn<QUrl>("Url");
  QTest::newRow("bare path") << QUrl("/chunks/0001.pak");
  QTest::newRow("relative path") << QUrl("chunks/0001.pak");
  QTest::newRow("empty") << QUrl();
  QTest::newRow("bad host") << QUrl("http://ho st/file");
  QTest::newRow("bad port") << QUrl("http://127.0.0.1:99999/file");
}

void TestDownloadPool::refusedUrls()
{
  QFETCH(QUrl, Url);
  TPoolUnderTest Test(4, true);
  Test.pool->download(Url);
  QCOMPARE(Test.failures.size(), 1);
  QCOMPARE(Test.failures.at(0).value(0).toUrl(), Url);
  QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(),
           QNetworkReply::ProtocolInvalidOperationError);
  QCOMPARE(int(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>()), 302);
  QCOMPARE(Test.failures.at(0).value(2).toString(), QStringLiteral("Invalid URL"));
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(0));
  QVERIFY(Test.manager->requested.isEmpty());
  QTest::qWait(50);
  QCOMPARE(Test.failures.size(), 1);
  QCOMPARE(m_pServer->totalRequestCount(), 0);
}

void TestDownloadPool::percentEncodedUrlIsAccepted()
{
  m_pServer->setBody("/game data/ä 1.pak", "spaced");
  TPoolUnderTest Test(1, true);
  const QUrl Url = m_pServer->url("/game%20data/%C3%A4%201.pak");
  QVERIFY(Url.isValid());
  Test.pool->download(Url);
  QTRY_COMPARE(Test.successes.size(), 1);
  QCOMPARE(Test.successes.at(0).value(0).toUrl(), Url);
  QCOMPARE(Test.successes.at(0).value(1).toByteArray(), QByteArray("spaced"));
}

void TestDownloadPool::nonReleasingPoolHoldsSlotUntilRelease()
{
  m_pServer->setBody("/first", "1");
  m_pServer->setBody("/second", "2");
  TPoolUnderTest Test(1, false);
  const QUrl First = m_pServer->url("/first");
  const QUrl Second = m_pServer->url("/second");
  Test.pool->download(First);
  Test.pool->download(Second);
  QTRY_COMPARE(Test.successes.size(), 1);
  QTest::qWait(100);
  QCOMPARE(Test.pool->activeDownloadCount(), 1);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(2));
  QCOMPARE(m_pServer->requestCount("/second"), 0);

  // Releasing what is not active starts nothing and keeps a queued URL queued.
  Test.pool->releaseUrl(Second);
  Test.pool->releaseUrl(m_pServer->url("/never-asked"));
  QCOMPARE(Test.manager->requested.size(), 1);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(2));

  // A finished URL that is still held cannot be asked for again.
  Test.pool->download(First);
  QCOMPARE(Test.manager->requested.size(), 1);

  Test.pool->releaseUrl(First);
  QCOMPARE(Test.manager->requested, QList<QUrl>({First, Second}));
  QTRY_COMPARE(Test.successes.size(), 2);
  Test.pool->releaseUrl(Second);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(0));
  QCOMPARE(m_pServer->requestCount("/first"), 1);
}

void TestDownloadPool::zeroLimitHoldsQueueUntilRaised()
{
  m_pServer->setFault("*", TFault::trickle(4, 50));
  TPoolUnderTest Test(0, true);
  QList<QUrl> Urls;
  for (int Index = 0; Index < 4; ++Index) {
    m_pServer->setBody(QStringLiteral("/z%1").arg(Index), "12345678");
    Urls.append(m_pServer->url(QStringLiteral("/z%1").arg(Index)));
    Test.pool->download(Urls.last());
  }
  QTest::qWait(100);
  QCOMPARE(Test.pool->activeDownloadCount(), 0);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(4));
  QCOMPARE(m_pServer->totalRequestCount(), 0);

  Test.pool->setConcurrencyLimit(3);
  QCOMPARE(Test.pool->concurrencyLimit(), 3);
  QCOMPARE(Test.pool->activeDownloadCount(), 3);
  QCOMPARE(Test.manager->requested, Urls.mid(0, 3));

  // Lowered while three run: they go on, and nothing new starts until the
  // active count is below the new limit.
  Test.pool->setConcurrencyLimit(1);
  QCOMPARE(Test.pool->activeDownloadCount(), 3);
  QTRY_COMPARE(Test.successes.size(), 4);
  QCOMPARE(Test.manager->requested, Urls);
  QCOMPARE(m_pServer->maximumConcurrentRequests(), 3);
}

void TestDownloadPool::progressIsCumulative()
{
  const QByteArray Body = testsupport::pseudoRandomBytes(32 * 1024, 7);
  m_pServer->setBody("/big", Body);
  // The network layer reports progress at most every 100 ms or so.
  m_pServer->setFault("/big", TFault::trickle(4096, 60));
  TPoolUnderTest Test(1, true);
  const QUrl Url = m_pServer->url("/big");
  Test.pool->download(Url);
  QTRY_COMPARE(Test.successes.size(), 1);
  QCOMPARE(Test.successes.at(0).value(1).toByteArray(), Body);
  QVERIFY2(Test.progress.size() >= 3, qPrintable(QString::number(Test.progress.size())));
  qlonglong Previous = -1;
  for (const QList<QVariant>& Arguments : qAsConst(Test.progress)) {
    QCOMPARE(Arguments.value(0).toUrl(), Url);
    const qlonglong Bytes = Arguments.value(1).toLongLong();
    QVERIFY(Bytes >= Previous);
    Previous = Bytes;
  }
  QCOMPARE(Previous, qlonglong(Body.size()));
  QCOMPARE(m_pServer->bodyBytesSent("/big"), qint64(Body.size()));
}

void TestDownloadPool::failingRequestIsReportedOnce()
{
  for (const bool ReleaseOnFinish : {true, false}) {
    m_pServer->setFault("/broken", TFault::status(500));
    m_pServer->setBody("/next", "next");
    TPoolUnderTest Test(1, ReleaseOnFinish);
    const QUrl Broken = m_pServer->url("/broken");
    Test.pool->download(Broken);
    Test.pool->download(m_pServer->url("/next"));
    QTRY_COMPARE(Test.failures.size(), 1);
    QCOMPARE(Test.failures.at(0).value(0).toUrl(), Broken);
    QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(),
             QNetworkReply::InternalServerError);
    if (ReleaseOnFinish) {
      QTRY_COMPARE(Test.successes.size(), 1);
    } else {
      // The user did not release: the URL keeps its slot, and the reply's
      // finished signal does not report the failure a second time.
      QTest::qWait(150);
      QCOMPARE(Test.successes.size(), 0);
      QCOMPARE(Test.pool->activeDownloadCount(), 1);
      Test.pool->releaseUrl(Broken);
      QTRY_COMPARE(Test.successes.size(), 1);
    }
    QTest::qWait(50);
    QCOMPARE(Test.failures.size(), 1);
    QCOMPARE(m_pServer->requestCount("/broken"), 1);
    m_pServer->resetStatistics();
  }
}

void TestDownloadPool::retryFromFailedHandlerIsReportedPerRequest()
{
  // The package downloader's pattern: release the URL in the failed handler
  // and ask for it again at once, while the failed reply has yet to emit its
  // finished signal. That late signal must not be taken for the new request.
  const QByteArray Body = testsupport::pseudoRandomBytes(5000, 3);
  m_pServer->setBody("/flaky", Body);
  m_pServer->setFault("/flaky", TFault::status(503).firstRequests(3));
  for (const bool ReleaseOnFinish : {false, true}) {
    m_pServer->setFault("/flaky", TFault::status(503).firstRequests(3));
    m_pServer->resetStatistics();
    TPoolUnderTest Test(2, ReleaseOnFinish);
    const QUrl Url = m_pServer->url("/flaky");
    int Retries = 0;
    connect(Test.pool.get(), &TDownloadPool::failed, this,
            [&](const QUrl& FailedUrl, QNetworkReply::NetworkError, const QString&) {
              Test.pool->releaseUrl(FailedUrl);
              if (Retries++ < 3)
                Test.pool->download(FailedUrl);
            });
    Test.pool->download(Url);
    QTRY_COMPARE(Test.successes.size(), 1);
    QTest::qWait(100);
    QCOMPARE(Test.failures.size(), 3);
    QCOMPARE(Test.successes.size(), 1);
    QCOMPARE(Test.successes.at(0).value(1).toByteArray(), Body);
    QCOMPARE(m_pServer->requestCount("/flaky"), 4);
    if (!ReleaseOnFinish)
      QCOMPARE(Test.pool->activeDownloadCount(), 1);
    else
      QCOMPARE(Test.pool->activeDownloadCount(), 0);
  }
}

void TestDownloadPool::httpErrorsMapToReplyCodes_data()
{
  QTest::addColumn<int>("Status");
  QTest::addColumn<QNetworkReply::NetworkError>("Code");
  QTest::newRow("403") << 403 << QNetworkReply::ContentAccessDenied;
  QTest::newRow("404") << 404 << QNetworkReply::ContentNotFoundError;
  QTest::newRow("500") << 500 << QNetworkReply::InternalServerError;
  QTest::newRow("503") << 503 << QNetworkReply::ServiceUnavailableError;
}

void TestDownloadPool::httpErrorsMapToReplyCodes()
{
  QFETCH(int, Status);
  QFETCH(QNetworkReply::NetworkError, Code);
  m_pServer->setBody("/file", "content");
  m_pServer->setFault("/file", TFault::status(Status));
  TPoolUnderTest Test(2, true);
  Test.pool->download(m_pServer->url("/file"));
  QTRY_COMPARE(Test.failures.size(), 1);
  QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(), Code);
  QVERIFY(!Test.failures.at(0).value(2).toString().isEmpty());
  QCOMPARE(Test.successes.size(), 0);
  QCOMPARE(Test.pool->activeDownloadCount(), 0);
}

void TestDownloadPool::authenticationIsNotAnswered()
{
  m_pServer->setFault("/private", TFault::status(401));
  qRegisterMetaType<QAuthenticator*>("QAuthenticator*");
  auto pManager = makeNetworkAccessManagerWrapper();
  QSignalSpy Asked(pManager.get(), &QNetworkAccessManagerWrapper::authenticationRequired);
  TDownloadPool Pool(2, pManager, true);
  QSignalSpy Failures(&Pool, &TDownloadPool::failed);
  Pool.download(m_pServer->url("/private"));
  QTRY_COMPARE(Failures.size(), 1);
  QCOMPARE(Failures.at(0).value(1).value<QNetworkReply::NetworkError>(),
           QNetworkReply::AuthenticationRequiredError);
  QVERIFY(Asked.size() >= 1);
}

void TestDownloadPool::redirectIsFollowed_data()
{
  QTest::addColumn<int>("Status");
  QTest::newRow("301") << 301;
  QTest::newRow("302") << 302;
  QTest::newRow("307") << 307;
}

void TestDownloadPool::redirectIsFollowed()
{
  QFETCH(int, Status);
  m_pServer->setBody("/new", "moved here");
  m_pServer->setFault("/old", TFault::redirect(m_pServer->url("/new"), Status));
  TPoolUnderTest Test(2, true);
  const QUrl Old = m_pServer->url("/old");
  Test.pool->download(Old);
  QTRY_COMPARE(Test.successes.size(), 1);
  QCOMPARE(Test.successes.at(0).value(0).toUrl(), Old);
  QCOMPARE(Test.successes.at(0).value(1).toByteArray(), QByteArray("moved here"));
  QCOMPARE(m_pServer->requestCount("/old"), 1);
  QCOMPARE(m_pServer->requestCount("/new"), 1);
}

void TestDownloadPool::redirectPolicyIsSetThroughWrapper()
{
  auto pManager = std::make_shared<TRecordingManager>();
  TDownloadPool Pool(3, pManager, true);
  QCOMPARE(pManager->policies, QList<QNetworkRequest::RedirectPolicy>({QNetworkRequest::NoLessSafeRedirectPolicy}));
  QCOMPARE(pManager->manager()->redirectPolicy(), QNetworkRequest::NoLessSafeRedirectPolicy);
  QCOMPARE(int(QNetworkRequest::NoLessSafeRedirectPolicy), 1);
}

void TestDownloadPool::httpsToHttpRedirectIsRefused()
{
  QSslCertificate Certificate;
  QSslKey Key;
  if (!QSslSocket::supportsSsl() || !TTestHttpServer::makeSelfSignedCertificate(Certificate, Key))
    QSKIP("no TLS support or no openssl command line tool");
  TTestHttpServer Secure(Certificate, Key);
  QSslConfiguration Configuration = QSslConfiguration::defaultConfiguration();
  const QSslConfiguration Original = Configuration;
  Configuration.setCaCertificates(Configuration.caCertificates() << Certificate);
  QSslConfiguration::setDefaultConfiguration(Configuration);

  m_pServer->setBody("/target", "plain");
  Secure.setBody("/secure-target", "secret");
  Secure.setFault("/down", TFault::redirect(m_pServer->url("/target")));
  Secure.setFault("/across", TFault::redirect(Secure.url("/secure-target")));
  m_pServer->setFault("/up", TFault::redirect(Secure.url("/secure-target")));
  {
    TPoolUnderTest Test(4, true);
    Test.pool->download(Secure.url("/down"));
    Test.pool->download(Secure.url("/across"));
    Test.pool->download(m_pServer->url("/up"));
    QTRY_COMPARE(Test.successes.size() + Test.failures.size(), 3);
    QCOMPARE(Test.failures.size(), 1);
    QCOMPARE(Test.failures.at(0).value(0).toUrl(), Secure.url("/down"));
    QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(),
             QNetworkReply::InsecureRedirectError);
    QCOMPARE(m_pServer->requestCount("/target"), 0);
    QCOMPARE(Secure.requestCount("/secure-target"), 2);
    for (const QList<QVariant>& Arguments : qAsConst(Test.successes))
      QCOMPARE(Arguments.value(1).toByteArray(), QByteArray("secret"));
  }
  QSslConfiguration::setDefaultConfiguration(Original);
}

void TestDownloadPool::serverFaults()
{
  const QByteArray Body = testsupport::pseudoRandomBytes(20000, 11);
  for (const QString& Path : QStringList{"/reset", "/truncated", "/empty", "/trickle", "/plain"})
    m_pServer->setBody(Path, Body);
  m_pServer->setFault("/reset", TFault::resetAfter(1000));
  m_pServer->setFault("/truncated", TFault::truncatedAfter(3000));
  m_pServer->setFault("/empty", TFault::emptyBody());
  m_pServer->setFault("/trickle", TFault::trickle(5000, 10));
  TPoolUnderTest Test(8, true);
  for (const QString& Path : QStringList{"/reset", "/truncated", "/empty", "/trickle", "/plain"})
    Test.pool->download(m_pServer->url(Path));
  QTRY_COMPARE(Test.successes.size() + Test.failures.size(), 5);

  QMap<QString, QByteArray> Received;
  for (const QList<QVariant>& Arguments : qAsConst(Test.successes))
    Received.insert(Arguments.value(0).toUrl().path(), Arguments.value(1).toByteArray());
  QCOMPARE(Received.keys(), QStringList({"/empty", "/plain", "/trickle"}));
  QCOMPARE(Received.value("/empty"), QByteArray());
  QCOMPARE(Received.value("/trickle"), Body);
  QCOMPARE(Received.value("/plain"), Body);

  const QList<QUrl> Failed = urlsOf(Test.failures);
  QVERIFY(Failed.contains(m_pServer->url("/reset")));
  QVERIFY(Failed.contains(m_pServer->url("/truncated")));
  for (const QList<QVariant>& Arguments : qAsConst(Test.failures))
    QVERIFY(Arguments.value(1).value<QNetworkReply::NetworkError>() != QNetworkReply::NoError);

  QCOMPARE(m_pServer->bodyBytesSent("/reset"), qint64(1000));
  QCOMPARE(m_pServer->bodyBytesSent("/truncated"), qint64(3000));
  QCOMPARE(m_pServer->bodyBytesSent("/empty"), qint64(0));
  QCOMPARE(m_pServer->bodyBytesSent("/trickle"), qint64(Body.size()));
  QCOMPARE(m_pServer->totalBodyBytesSent(), qint64(1000 + 3000 + 2 * Body.size()));
  QTRY_COMPARE(m_pServer->activeRequestCount(), 0);
}

// A body cut off by a reset or a close, on fresh and on reused connections,
// must never be reported as a success: the network layer does not always
// notice on its own, so a body shorter than its Content-Length is a failure.
void TestDownloadPool::cutOffBodiesNeverSucceed()
{
  const QByteArray Body = testsupport::pseudoRandomBytes(1500000, 12);
  m_pServer->setBody("/plain", Body);
  QStringList Paths;
  for (int Index = 0; Index < 30; ++Index) {
    const QString Reset = QString("/reset-%1").arg(Index);
    const QString Truncated = QString("/truncated-%1").arg(Index);
    m_pServer->setBody(Reset, Body);
    m_pServer->setBody(Truncated, Body);
    m_pServer->setFault(Reset, TFault::resetAfter(1000 + Index));
    m_pServer->setFault(Truncated, TFault::truncatedAfter(3000 + Index));
    Paths << Reset << "/plain" << Truncated;
  }
  TPoolUnderTest Test(4, true);
  int Expected = 0;
  for (const QString& Path : qAsConst(Paths)) {
    Test.pool->download(m_pServer->url(Path));
    ++Expected;
    // "/plain" repeats: wait for it, so that every request of it is made.
    if (Path == "/plain")
      QTRY_COMPARE(Test.successes.size() + Test.failures.size(), Expected);
  }
  QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size() + Test.failures.size(), Expected, 30000);
  for (const QList<QVariant>& Arguments : qAsConst(Test.successes)) {
    QCOMPARE(Arguments.value(0).toUrl().path(), QString("/plain"));
    QCOMPARE(Arguments.value(1).toByteArray(), Body);
  }
  // Every cut-off body failed. A request of "/plain" may meet a connection
  // that the server is just closing, and then fails as well: a network
  // error, never a short body.
  int CutOffFailures = 0;
  for (const QList<QVariant>& Arguments : qAsConst(Test.failures)) {
    QVERIFY(Arguments.value(1).value<QNetworkReply::NetworkError>() != QNetworkReply::NoError);
    CutOffFailures += Arguments.value(0).toUrl().path() != "/plain" ? 1 : 0;
  }
  QCOMPARE(CutOffFailures, 60);
  QVERIFY(Test.successes.size() >= 20);
}

void TestDownloadPool::bodiesAreHeldToTheirLimit_data()
{
  const qint64 MiB = 1024 * 1024;
  QTest::addColumn<TFault>("Fault");
  QTest::addColumn<QByteArray>("ContentEncoding");
  QTest::addColumn<qint64>("Limit");  // 0: the pool's default for documents
  QTest::addColumn<QString>("Refusal");  // empty: the body arrives whole
  QTest::newRow("declared larger") << TFault::generatedBody(500 * 1000 * 1000) << QByteArray() << 4 * MiB
                                   << "Body of 500000000 bytes is larger than the 4194304 bytes allowed";
  QTest::newRow("endless") << TFault::endlessBody() << QByteArray() << 4 * MiB
                           << "Body is larger than the 4194304 bytes allowed";
  QTest::newRow("endless document") << TFault::endlessBody() << QByteArray() << qint64(0)
                                    << QString("Body is larger than the %1 bytes allowed").arg(MaxDocumentBytes);
  QTest::newRow("exactly the limit") << TFault::generatedBody(4 * MiB) << QByteArray() << 4 * MiB << QString();
  QTest::newRow("gzip bomb") << TFault() << QByteArray("gzip") << qint64(0)
                             << "Content-Encoding gzip was not asked for";
  QTest::newRow("identity") << TFault() << QByteArray("identity") << qint64(0) << QString();
}

// Whatever a server sends, a reply holds at most its limit in memory: a
// body that declares or brings more is cut off and fails, and nothing is
// inflated, since every request asks for the body as it is stored.
void TestDownloadPool::bodiesAreHeldToTheirLimit()
{
  QFETCH(TFault, Fault);
  QFETCH(QByteArray, ContentEncoding);
  QFETCH(qint64, Limit);
  QFETCH(QString, Refusal);
  const QByteArray Bomb = testsupport::gzipOfZeros(64 * 1024 * 1024);
  m_pServer->setBody("/body", Bomb, "application/json", ContentEncoding);
  m_pServer->setFault("/body", Fault);
  TPoolUnderTest Test(2, true);
  if (Limit > 0)
    Test.pool->download(m_pServer->url("/body"), Limit);
  else
    Test.pool->download(m_pServer->url("/body"));
  QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size() + Test.failures.size(), 1, 30000);
  QCOMPARE(m_pServer->requests("/body").value(0).headers.value("accept-encoding"), QByteArray("identity"));
  if (Refusal.isEmpty()) {
    QCOMPARE(Test.successes.size(), 1);
    const QByteArray Data = Test.successes.at(0).value(1).toByteArray();
    QCOMPARE(Data.size(), Fault.kind == TTestHttpServer::EFaultKind::GeneratedBody ? int(Limit) : Bomb.size());
    return;
  }
  QCOMPARE(Test.failures.size(), 1);
  QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(), QNetworkReply::UnknownContentError);
  QCOMPARE(Test.failures.at(0).value(2).toString(), Refusal);
  // Cut off at once: what the server got rid of is the limit and what the
  // connection buffers.
  QTRY_COMPARE(m_pServer->activeRequestCount(), 0);
  QVERIFY2(m_pServer->bodyBytesSent("/body") < std::max(Limit, MaxDocumentBytes) + 64 * 1024 * 1024,
           qPrintable(QString::number(m_pServer->bodyBytesSent("/body"))));
}

void TestDownloadPool::largeBodiesGoToFiles_data()
{
  QTest::addColumn<TFault>("Fault");
  QTest::addColumn<qint64>("Threshold");
  QTest::addColumn<bool>("InFile");
  const TFault Declared;
  QTest::newRow("declared above") << Declared << qint64(1024 * 1024) << true;
  QTest::newRow("declared below") << Declared << qint64(4 * 1024 * 1024) << false;
  QTest::newRow("declared above, trickling") << TFault::trickle(256 * 1024, 10) << qint64(1024 * 1024) << true;
}

// A body above the request's threshold is written to a temporary file as it
// arrives; the delivery carries the status and the headers that describe
// the body, and the request carries its own headers.
void TestDownloadPool::largeBodiesGoToFiles()
{
  QFETCH(TFault, Fault);
  QFETCH(qint64, Threshold);
  QFETCH(bool, InFile);
  const QByteArray Body = testsupport::pseudoRandomBytes(3 * 1024 * 1024, 7);
  m_pServer->setBody("/big", Body, "application/octet-stream");
  m_pServer->setFault("/big", Fault);
  TPoolUnderTest Test(2, true);
  QSignalSpy Deliveries(Test.pool.get(), &TDownloadPool::delivered);
  TRequestOptions Options;
  Options.maxBodyBytes = Body.size();
  Options.bodyFileThreshold = Threshold;
  Options.headers.append(std::make_pair(QByteArray("Range"), QByteArray("bytes=0-")));
  Test.pool->download(m_pServer->url("/big"), Options);
  QTRY_COMPARE_WITH_TIMEOUT(Deliveries.size() + Test.failures.size(), 1, 30000);
  QCOMPARE(Deliveries.size(), 1);
  QCOMPARE(m_pServer->requests("/big").value(0).headers.value("range"), QByteArray("bytes=0-"));
  const TReplyBody Delivered = Deliveries.at(0).value(1).value<TReplyBody>();
  QCOMPARE(Delivered.statusCode, 200);
  QCOMPARE(Delivered.contentType, QByteArray("application/octet-stream"));
  QCOMPARE(Delivered.size, qint64(Body.size()));
  QCOMPARE(Delivered.inFile(), InFile);
  QCOMPARE(Test.successes.size(), InFile ? 0 : 1);
  if (!InFile) {
    QCOMPARE(Delivered.data, Body);
    return;
  }
  QVERIFY(Delivered.data.isEmpty());
  QCOMPARE(testsupport::readWholeFile(Delivered.file->fileName()), Body);
}

// A server that stops sending does not hold a slot for ever: after the
// transfer time-out without a byte the request fails and the queue moves on.
// A slow but steady transfer that takes far longer than the time-out is not
// cut.
void TestDownloadPool::stalledTransferTimesOut()
{
  const QByteArray Body = testsupport::pseudoRandomBytes(4000, 13);
  m_pServer->setBody("/stalled", Body);
  m_pServer->setBody("/steady", Body);
  m_pServer->setBody("/after", "after");
  m_pServer->setFault("/stalled", TFault::stall());
  m_pServer->setFault("/steady", TFault::trickle(200, 100));  // 2 s in all
  TPoolUnderTest Test(1, true);
  QCOMPARE(Test.pool->transferTimeout(), TDownloadPool::DefaultTransferTimeoutMs);
  Test.pool->setTransferTimeout(700);
  QElapsedTimer Clock;
  Clock.start();
  Test.pool->download(m_pServer->url("/stalled"));
  Test.pool->download(m_pServer->url("/steady"));
  Test.pool->download(m_pServer->url("/after"));
  QTRY_COMPARE_WITH_TIMEOUT(Test.failures.size(), 1, 10000);
  QVERIFY(Clock.elapsed() >= 600);
  QCOMPARE(Test.failures.at(0).value(0).toUrl(), m_pServer->url("/stalled"));
  QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(), QNetworkReply::OperationCanceledError);
  QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size(), 2, 15000);
  QCOMPARE(Test.successes.at(0).value(0).toUrl(), m_pServer->url("/steady"));
  QCOMPARE(Test.successes.at(0).value(1).toByteArray(), Body);
  QCOMPARE(Test.successes.at(1).value(1).toByteArray(), QByteArray("after"));
  QCOMPARE(Test.failures.size(), 1);
}

void TestDownloadPool::timeRulesEndSlowTransfers_data()
{
  QTest::addColumn<TFault>("Fault");
  QTest::addColumn<int>("BodyBytes");
  QTest::addColumn<bool>("Document");
  QTest::addColumn<QString>("Reason");  // of the failure; empty: it arrives
  const QString Slow = "Transfer slower than 1024 bytes/s for 1 s";
  QTest::newRow("no answer") << TFault::stall() << 100 << true << Slow;
  QTest::newRow("no answer, data") << TFault::stall() << 100 << false << Slow;
  QTest::newRow("500 bytes/s") << TFault::trickle(100, 200) << 4000 << true << Slow;
  QTest::newRow("500 bytes/s, data") << TFault::trickle(100, 200) << 4000 << false << Slow;
  QTest::newRow("4 KB/s document") << TFault::trickle(1000, 250) << 16000 << true << "Document not received in time";
  QTest::newRow("4 KB/s data") << TFault::trickle(1000, 250) << 16000 << false << "";
  QTest::newRow("32 KB/s document") << TFault::trickle(8000, 250) << 64000 << true << "";
}

// With a low-speed rule of 1024 bytes/s over 1 s and a document deadline of
// 1 s plus a second per 16384 bytes received: a transfer below the speed
// fails, a document slower than its deadline fails, whatever arrives faster
// (for data: at any speed above the limit) arrives.
void TestDownloadPool::timeRulesEndSlowTransfers()
{
  QFETCH(TFault, Fault);
  QFETCH(int, BodyBytes);
  QFETCH(bool, Document);
  QFETCH(QString, Reason);
  const QByteArray Body = testsupport::pseudoRandomBytes(BodyBytes, 3);
  m_pServer->setBody("/slow", Body);
  m_pServer->setFault("/slow", Fault);
  TPoolUnderTest Test(1, true);
  TTransferLimits Limits;
  Limits.lowSpeedSeconds = 1;
  Limits.documentSeconds = 1;
  Limits.documentBytesPerSecond = 16384;
  Test.pool->setTransferLimits(Limits);
  TRequestOptions Options;
  Options.document = Document;
  Test.pool->download(m_pServer->url("/slow"), Options);
  QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size() + Test.failures.size(), 1, 15000);
  if (Reason.isEmpty()) {
    QCOMPARE(Test.successes.size(), 1);
    QCOMPARE(Test.successes.at(0).value(1).toByteArray(), Body);
    return;
  }
  QCOMPARE(Test.failures.size(), 1);
  QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(), QNetworkReply::TimeoutError);
  QVERIFY2(Test.failures.at(0).value(2).toString().startsWith(Reason), qPrintable(Test.failures.at(0).value(2).toString()));
}

// The network layer runs at most six requests to one server and queues the
// others where the time rules would count their waiting against them: the
// pool starts no more, and fills its other slots with other servers. The
// six stalled ones fail by the low-speed rule; the three that waited in the
// pool's queue for them then arrive.
void TestDownloadPool::atMostSixRequestsPerServer()
{
  m_pServer->setFault("*", TFault::stall().firstRequests(6));
  TTestHttpServer Other;
  Other.setBody("/other", "other");
  TPoolUnderTest Test(10, true);
  TTransferLimits Limits;
  Limits.lowSpeedSeconds = 2;
  Test.pool->setTransferLimits(Limits);
  const QList<QUrl> Urls = serveAndQueue(*Test.pool, "/file", 9, [](int) { return QByteArray("x"); });
  Test.pool->download(Other.url("/other"));
  QCOMPARE(Test.pool->activeDownloadCount(), TDownloadPool::MaxRequestsPerServer + 1);
  QTRY_COMPARE(Test.successes.size(), 1);
  QCOMPARE(Test.pool->activeDownloadCount(), TDownloadPool::MaxRequestsPerServer);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(9));
  QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size() + Test.failures.size(), 10, 20000);
  QCOMPARE(urlsOf(Test.failures), Urls.mid(0, 6));
  // The three queued ones run side by side once slots are free: they may
  // finish in any order.
  QList<QUrl> Succeeded = urlsOf(Test.successes).mid(1);
  std::sort(Succeeded.begin(), Succeeded.end());
  QList<QUrl> Queued = Urls.mid(6);
  std::sort(Queued.begin(), Queued.end());
  QCOMPARE(Succeeded, Queued);
}

void TestDownloadPool::stallKeepsSlotWithoutReport()
{
  m_pServer->setBody("/slow", "slow");
  m_pServer->setBody("/after", "after");
  m_pServer->setFault("/slow", TFault::stall().firstRequests(1));
  TPoolUnderTest Test(1, true);
  Test.pool->download(m_pServer->url("/slow"));
  Test.pool->download(m_pServer->url("/after"));
  QTRY_COMPARE(m_pServer->activeRequestCount(), 1);
  QTest::qWait(300);
  QCOMPARE(Test.successes.size() + Test.failures.size(), 0);
  QCOMPARE(Test.pool->activeDownloadCount(), 1);
  QCOMPARE(m_pServer->requestCount("/after"), 0);
  QCOMPARE(m_pServer->requestCount("/slow"), 1);
}

void TestDownloadPool::finishedRepliesAreDeleted()
{
  m_pServer->setBody("/good", "good");
  m_pServer->setFault("/bad", TFault::status(404));
  for (const bool ReleaseOnFinish : {true, false}) {
    TPoolUnderTest Test(2, ReleaseOnFinish);
    Test.pool->download(m_pServer->url("/good"));
    Test.pool->download(m_pServer->url("/bad"));
    QTRY_COMPARE(Test.successes.size() + Test.failures.size(), 2);
    QTRY_COMPARE(Test.manager->liveReplyCount(), 0);
    for (const QPointer<QNetworkReplyWrapper>& pReply : qAsConst(Test.manager->replies))
      QVERIFY(pReply.isNull());
  }
}

void TestDownloadPool::replyDeletedWhileRunning()
{
  m_pServer->setFault("/hang", TFault::stall());
  m_pServer->setBody("/queued", "queued");
  for (const bool ReleaseOnFinish : {true, false}) {
    TPoolUnderTest Test(1, ReleaseOnFinish);
    const QUrl Hang = m_pServer->url("/hang");
    Test.pool->download(Hang);
    Test.pool->download(m_pServer->url("/queued"));
    QTRY_COMPARE(m_pServer->activeRequestCount(), 1);
    QCOMPARE(Test.manager->replies.size(), 1);
    QVERIFY(Test.manager->replies[0]);
    delete Test.manager->replies[0]->reply();
    QVERIFY(Test.manager->replies[0].isNull());

    QTRY_COMPARE(Test.failures.size(), 1);
    QCOMPARE(Test.failures.at(0).value(0).toUrl(), Hang);
    QCOMPARE(Test.failures.at(0).value(1).value<QNetworkReply::NetworkError>(),
             QNetworkReply::OperationCanceledError);
    if (!ReleaseOnFinish) {
      QCOMPARE(Test.pool->activeDownloadCount(), 1);
      Test.pool->releaseUrl(Hang);
    }
    QTRY_COMPARE(Test.successes.size(), 1);
    QCOMPARE(Test.successes.at(0).value(1).toByteArray(), QByteArray("queued"));
    QTRY_COMPARE(m_pServer->activeRequestCount(), 0);
    m_pServer->resetStatistics();
  }
}

void TestDownloadPool::poolDestroyedWhileRequestsRun()
{
  m_pServer->setFault("/hang", TFault::stall());
  m_pServer->setBody("/drip", QByteArray(4000, 'd'));
  m_pServer->setFault("/drip", TFault::trickle(100, 20));
  auto pManager = std::make_shared<TRecordingManager>();
  auto pPool = std::make_unique<TDownloadPool>(2, pManager, false);
  QSignalSpy Successes(pPool.get(), &TDownloadPool::success);
  pPool->download(m_pServer->url("/hang"));
  pPool->download(m_pServer->url("/drip"));
  pPool->download(m_pServer->url("/queued"));
  QTRY_COMPARE(m_pServer->activeRequestCount(), 2);
  pPool.reset();
  // The abandoned replies go away, and with them their connections.
  QTRY_COMPARE(pManager->liveReplyCount(), 0);
  QTRY_COMPARE(m_pServer->activeRequestCount(), 0);
  QTest::qWait(100);
  QCOMPARE(m_pServer->requestCount("/queued"), 0);
  QCOMPARE(pManager->requested.size(), 2);
}

void TestDownloadPool::poolReleasedFromItsOwnSignal()
{
  // The last owner drops pool and manager while the pool is reporting from
  // inside the reply's finished signal.
  m_pServer->setBody("/one", "1");
  m_pServer->setBody("/two", "2");
  auto pManager = makeNetworkAccessManagerWrapper();
  QPointer<QNetworkAccessManager> pQtManager = pManager->manager().get();
  auto pPool = std::make_shared<TDownloadPool>(1, pManager, true);
  pManager.reset();
  QPointer<TDownloadPool> Watched = pPool.get();
  int Reports = 0;
  connect(pPool.get(), &TDownloadPool::success, this, [&](const QUrl&, const QByteArray&) {
    ++Reports;
    pPool.reset();
  });
  pPool->download(m_pServer->url("/one"));
  pPool->download(m_pServer->url("/two"));
  QTRY_VERIFY(Watched.isNull());
  QTRY_VERIFY(pQtManager.isNull());
  QTest::qWait(100);
  QCOMPARE(Reports, 1);
  QCOMPARE(m_pServer->requestCount("/two"), 0);
}

void TestDownloadPool::failedWorksOverQueuedConnections()
{
  m_pServer->setFault("/gone", TFault::status(404));
  TPoolUnderTest Test(1, true);
  QList<QNetworkReply::NetworkError> Codes;
  QObject Receiver;
  connect(Test.pool.get(), &TDownloadPool::failed, &Receiver,
          [&](const QUrl&, QNetworkReply::NetworkError Code, const QString&) { Codes.append(Code); },
          Qt::QueuedConnection);
  Test.pool->download(m_pServer->url("/gone"));
  Test.pool->download(QUrl("/relative"));
  QTRY_COMPARE(Codes.size(), 2);
  QCOMPARE(Codes[0], QNetworkReply::ProtocolInvalidOperationError);
  QCOMPARE(Codes[1], QNetworkReply::ContentNotFoundError);
}

void TestDownloadPool::threeHundredUrlsThroughLimitSix()
{
  const int Count = 300;
  const int Limit = 6;
  // Every answer takes a few milliseconds, so that six requests really are
  // under way at the same time.
  m_pServer->setFault("*", TFault::trickle(1024, 4));
  QList<QUrl> Urls;
  QStringList Paths;
  for (int Index = 0; Index < Count; ++Index) {
    const QString Path = QStringLiteral("/load/%1.pak").arg(Index, 4, 10, QChar('0'));
    m_pServer->setBody(Path, testsupport::pseudoRandomBytes(2048, quint64(Index)));
    Paths.append(Path);
    Urls.append(m_pServer->url(Path));
  }
  TPoolUnderTest Test(Limit, true);
  int MostActive = 0;
  connect(Test.pool.get(), &TDownloadPool::progress, this, [&](const QUrl&, qlonglong) {
    MostActive = std::max(MostActive, Test.pool->activeDownloadCount());
  });
  for (const QUrl& Url : qAsConst(Urls))
    Test.pool->download(Url);
  QCOMPARE(Test.pool->activeDownloadCount(), Limit);
  QTRY_COMPARE_WITH_TIMEOUT(Test.successes.size(), Count, 60000);

  QCOMPARE(Test.failures.size(), 0);
  QCOMPARE(Test.manager->requested, Urls);
  QVERIFY(MostActive <= Limit);
  QCOMPARE(MostActive, Limit);
  QVERIFY2(m_pServer->maximumConcurrentRequests() <= Limit,
           qPrintable(QString::number(m_pServer->maximumConcurrentRequests())));
  QCOMPARE(m_pServer->maximumConcurrentRequests(), Limit);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(0));

  // Each URL arrived once, and no later than the requests that the limit let
  // start before it.
  const QStringList Arrived = m_pServer->requestOrder();
  QCOMPARE(Arrived.size(), Count);
  for (int Index = 0; Index < Count; ++Index) {
    QCOMPARE(Arrived.count(Paths[Index]), 1);
    QVERIFY2(std::abs(Arrived.indexOf(Paths[Index]) - Index) < Limit, qPrintable(Paths[Index]));
  }
  for (const QList<QVariant>& Arguments : qAsConst(Test.successes)) {
    const int Index = Urls.indexOf(Arguments.value(0).toUrl());
    QCOMPARE(Arguments.value(1).toByteArray(), testsupport::pseudoRandomBytes(2048, quint64(Index)));
  }
}

QTEST_GUILESS_MAIN(TestDownloadPool)
#include "test_downloadpool.moc"
