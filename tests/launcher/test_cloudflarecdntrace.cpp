#include "launcher/cloudflarecdntrace.h"
#include "shared/downloadpool.h"

#include "testhttpserver.h"

#include <QSignalSpy>
#include <QtTest>

using namespace orvale::launcher;
using testsupport::TTestHttpServer;

namespace {

const QByteArray kTrace = "fl=29f123\n"
                          "h=cdn.example.test\n"
                          "ip= 203.0.113.7 \n"
                          "ts=1700000000.123\n"
                          "visit_scheme=https\n"
                          "uag=Mozilla/5.0\n"
                          "colo=FRA\n"
                          "http=http/1.1\n"
                          "loc=DE\n";

struct TTraceUnderTest
{
  explicit TTraceUnderTest(const QUrl& Url)
    : pool(std::make_shared<shared::TDownloadPool>(6, shared::makeNetworkAccessManagerWrapper(), true)),
      trace(Url, pool), received(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived),
      poolFailures(pool.get(), &shared::TDownloadPool::failed)
  {
  }

  std::shared_ptr<shared::TDownloadPool> pool;
  TCloudflareCdnTrace trace;
  QSignalSpy received;
  QSignalSpy poolFailures;
};

} // namespace

class TestCloudflareCdnTrace : public QObject
{
  Q_OBJECT

private slots:
  void parsing_data();
  void parsing();
  void traceFromServer();
  void emptyUrlFailsWithoutTraffic();
  void relativeUrlFailsThroughPool();
  void serverErrorFails();
  void otherUrlsAreIgnored();
  void secondTraceReplacesAllValues();
};

void TestCloudflareCdnTrace::parsing_data()
{
  QTest::addColumn<QByteArray>("Data");
  QTest::addColumn<QStringList>("Expected");  // fl, ts, colo, ip

  QTest::newRow("typical page") << kTrace
                                << QStringList{"29f123", "1700000000.123", "FRA", "203.0.113.7"};
  QTest::newRow("keys in capitals, values keep case")
    << QByteArray("FL=Ab\nTs=1.5\nCOLO=fRa\nIp=::1\n") << QStringList{"Ab", "1.5", "fRa", "::1"};
  QTest::newRow("carriage returns") << QByteArray("fl=1\r\nts=2\r\ncolo=AMS\r\nip=10.0.0.1\r\n")
                                    << QStringList{"1", "2", "AMS", "10.0.0.1"};
  QTest::newRow("blanks and tabs around values") << QByteArray("fl=\t x \ncolo=  LHR\t\n")
                                                 << QStringList{"x", "", "LHR", ""};
  QTest::newRow("value containing equals sign is dropped") << QByteArray("fl=a=b\nts=7\n")
                                                          << QStringList{"", "7", "", ""};
  QTest::newRow("empty value is dropped") << QByteArray("fl=\nts=\ncolo=X\n") << QStringList{"", "", "X", ""};
  QTest::newRow("doubled separator counts as one") << QByteArray("fl==9\n") << QStringList{"9", "", "", ""};
  QTest::newRow("last occurrence wins") << QByteArray("ip=1.1.1.1\nip=2.2.2.2\n")
                                        << QStringList{"", "", "", "2.2.2.2"};
  QTest::newRow("empty lines and no final line feed") << QByteArray("\n\nfl=3\n\n\nts=4")
                                                      << QStringList{"3", "4", "", ""};
  QTest::newRow("text ends at NUL") << QByteArray("fl=1\nts=2\0colo=XX\nip=3\n", 26)
                                    << QStringList{"1", "2", "", ""};
  QTest::newRow("key with blanks is not a key") << QByteArray(" fl=1\nts =2\n") << QStringList{"", "", "", ""};
  QTest::newRow("nothing") << QByteArray() << QStringList{"", "", "", ""};
  QTest::newRow("binary noise") << QByteArray("\xff\xfe=\x80\n==\n=\n\xc3") << QStringList{"", "", "", ""};
  QTest::newRow("utf-8 value") << QByteArray("colo=M\xc3\xbcnchen\n") << QStringList{"", "", "München", ""};
}

void TestCloudflareCdnTrace::parsing()
{
  QFETCH(QByteArray, Data);
  QFETCH(QStringList, Expected);
  const TCdnTraceValues Values = parseCdnTrace(Data);
  QCOMPARE(QStringList({Values.fl, Values.ts, Values.colo, Values.ip}), Expected);
}

void TestCloudflareCdnTrace::traceFromServer()
{
  TTestHttpServer Server;
  Server.setBody("/cdn-cgi/trace", kTrace, "text/plain");
  TTraceUnderTest Test(Server.url("/cdn-cgi/trace"));
  QVERIFY(!Test.trace.received() && !Test.trace.failed() && !Test.trace.inProgress());
  Test.trace.requestTrace();
  QVERIFY(Test.trace.inProgress());
  QVERIFY(!Test.trace.failed());
  QCOMPARE(Test.received.size(), 0);
  QTRY_COMPARE(Test.received.size(), 1);
  QCOMPARE(Test.received.at(0).value(0).toBool(), false);
  QVERIFY(Test.trace.received());
  QVERIFY(!Test.trace.failed());
  QVERIFY(!Test.trace.inProgress());
  QCOMPARE(Test.trace.fl(), QStringLiteral("29f123"));
  QCOMPARE(Test.trace.ts(), QStringLiteral("1700000000.123"));
  QCOMPARE(Test.trace.colo(), QStringLiteral("FRA"));
  QCOMPARE(Test.trace.ip(), QStringLiteral("203.0.113.7"));
  QCOMPARE(Server.requestCount("/cdn-cgi/trace"), 1);
}

void TestCloudflareCdnTrace::emptyUrlFailsWithoutTraffic()
{
  TTraceUnderTest Test{QUrl()};
  Test.trace.requestTrace();
  // Reported at once, from inside requestTrace.
  QCOMPARE(Test.received.size(), 1);
  QCOMPARE(Test.received.at(0).value(0).toBool(), true);
  QVERIFY(Test.trace.failed());
  QVERIFY(!Test.trace.inProgress());
  QVERIFY(!Test.trace.received());
  QCOMPARE(Test.poolFailures.size(), 0);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(0));
}

void TestCloudflareCdnTrace::relativeUrlFailsThroughPool()
{
  // Valid but relative: the pool refuses it while requestTrace still runs.
  TTraceUnderTest Test{QUrl("/cdn-cgi/trace")};
  Test.trace.requestTrace();
  QCOMPARE(Test.poolFailures.size(), 1);
  QCOMPARE(Test.received.size(), 1);
  QCOMPARE(Test.received.at(0).value(0).toBool(), true);
  QVERIFY(Test.trace.failed());
  QVERIFY(!Test.trace.inProgress());
}

void TestCloudflareCdnTrace::serverErrorFails()
{
  TTestHttpServer Server;
  Server.setFault("/cdn-cgi/trace", TTestHttpServer::TFault::status(500));
  TTraceUnderTest Test(Server.url("/cdn-cgi/trace"));
  Test.trace.requestTrace();
  QTRY_COMPARE(Test.received.size(), 1);
  QCOMPARE(Test.received.at(0).value(0).toBool(), true);
  QVERIFY(Test.trace.failed());
  QVERIFY(!Test.trace.received());
  QVERIFY(!Test.trace.inProgress());
  QVERIFY(Test.trace.fl().isEmpty());
  QCOMPARE(Server.requestCount("/cdn-cgi/trace"), 1);
}

void TestCloudflareCdnTrace::otherUrlsAreIgnored()
{
  TTestHttpServer Server;
  Server.setBody("/cdn-cgi/trace", kTrace);
  Server.setBody("/hints.json", "fl=not-a-trace\n");
  TTraceUnderTest Test(Server.url("/cdn-cgi/trace"));
  QSignalSpy Successes(Test.pool.get(), &shared::TDownloadPool::success);
  Test.pool->download(Server.url("/hints.json"));
  Test.pool->download(Server.url("/missing.json"));
  QTRY_COMPARE(Successes.size() + Test.poolFailures.size(), 2);
  QCOMPARE(Test.received.size(), 0);
  QVERIFY(!Test.trace.received() && !Test.trace.failed() && !Test.trace.inProgress());
  QVERIFY(Test.trace.fl().isEmpty());

  // Also while the trace's own request is outstanding.
  Server.setFault("/cdn-cgi/trace", TTestHttpServer::TFault::trickle(16, 50));
  Test.trace.requestTrace();
  Test.pool->download(Server.url("/missing.json"));
  QTRY_COMPARE(Test.poolFailures.size(), 2);
  QVERIFY(Test.trace.inProgress());
  QCOMPARE(Test.received.size(), 0);
  QTRY_COMPARE(Test.received.size(), 1);
  QCOMPARE(Test.trace.fl(), QStringLiteral("29f123"));
}

void TestCloudflareCdnTrace::secondTraceReplacesAllValues()
{
  TTestHttpServer Server;
  Server.setBody("/trace", kTrace);
  TTraceUnderTest Test(Server.url("/trace"));
  Test.trace.requestTrace();
  QTRY_COMPARE(Test.received.size(), 1);
  QCOMPARE(Test.trace.colo(), QStringLiteral("FRA"));

  // A reply without any of the keys still counts as received, with every
  // value emptied.
  Server.setBody("/trace", "h=somewhere\nwarp=off\n");
  Test.trace.requestTrace();
  QTRY_COMPARE(Test.received.size(), 2);
  QCOMPARE(Test.received.at(1).value(0).toBool(), false);
  QVERIFY(Test.trace.received());
  QVERIFY(Test.trace.fl().isEmpty() && Test.trace.ts().isEmpty() && Test.trace.colo().isEmpty() &&
          Test.trace.ip().isEmpty());
}

QTEST_GUILESS_MAIN(TestCloudflareCdnTrace)
#include "test_cloudflarecdntrace.moc"
