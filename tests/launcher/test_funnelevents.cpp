// The progress events posted to the maker's web service: their bodies, the
// device identifier, the first-time keys, and the milestones of
// installations that send them.

#include "launcher/funnelevents.h"
#include "engine/installationmanager.h"
#include "shared/downloadpool.h"

#include "logcapture.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvale::launcher;

class TestFunnelEvents : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void postedEvents();
  void installationMilestones();
};

void TestFunnelEvents::initTestCase()
{
  QCoreApplication::setOrganizationName("Veldan GmbH");
  QCoreApplication::setApplicationName("Ashgrove Online");
}

void TestFunnelEvents::postedEvents()
{
  QTemporaryDir Home;
  qputenv("XDG_DATA_HOME", Home.filePath("data").toUtf8());
  qputenv("XDG_CONFIG_HOME", Home.filePath("config").toUtf8());
  QDir().mkpath(Home.filePath("data/Ashgrove Online"));
  testsupport::TTestHttpServer Server;
  Server.setBody("/funnel", "ok\0ignored", "text/plain");
  QObject Parent;

  postFunnelEvent(&Parent, Server.url("/funnel"), "launcher_started", "FunnelStartedFirst", "");
  postFunnelEvent(&Parent, Server.url("/funnel"), "launcher_started", "FunnelStartedFirst", "group-1");
  postFunnelEvent(&Parent, Server.url("/funnel"), "launcher_downloaded", "FunnelFinishedDownloadingFirst", "group-1");
  QTRY_COMPARE(Server.requests("/funnel").size(), 3);
  const auto Requests = Server.requests("/funnel");
  // Each event has its own connection: they may arrive in any order.
  QList<QJsonObject> Bodies({{}, {}, {}});
  for (const auto& Request : Requests) {
    QCOMPARE(Request.method, QByteArray("POST"));
    QCOMPARE(Request.headers.value("content-type"), QByteArray("application/json"));
    const QJsonObject Body = QJsonDocument::fromJson(Request.body).object();
    const int Slot = Body.value("step").toString() == "launcher_downloaded" ? 2
                     : Body.value("accountgroupkey").toString().isEmpty() ? 0
                                                                          : 1;
    Bodies[Slot] = Body;
  }
  QCOMPARE(Bodies[0].keys(), QStringList({"accountgroupkey", "first", "id", "step"}));
  QCOMPARE(Bodies[0].value("step").toString(), QString("launcher_started"));
  QCOMPARE(Bodies[0].value("first").toBool(), true);
  QCOMPARE(Bodies[0].value("accountgroupkey").toString(), QString(""));
  QCOMPARE(Bodies[1].value("first").toBool(), false);
  QCOMPARE(Bodies[1].value("accountgroupkey").toString(), QString("group-1"));
  QCOMPARE(Bodies[2].value("first").toBool(), true);  // the first-time keys are independent
  const QString Identifier = Bodies[0].value("id").toString();
  QVERIFY(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$").match(Identifier).hasMatch());
  QCOMPARE(Bodies[1].value("id").toString(), Identifier);
  QCOMPARE(QSettings().value("FunnelUuid").toString(), Identifier);
  const QJsonObject Shared = QJsonDocument::fromJson(testsupport::readWholeFile(sharedDeviceIdentifierFilePath())).object();
  QCOMPARE(Shared.value("DeviceIdentifier").toString(), Identifier);

  // Deleting the key makes the next event a first one again.
  QSettings().remove("FunnelStartedFirst");
  QVERIFY(takeFunnelFirstTime("FunnelStartedFirst"));
  QVERIFY(!takeFunnelFirstTime("FunnelStartedFirst"));
  // A reply without end is cut off at the document limit, with an error.
  Server.setFault("/endless", testsupport::TTestHttpServer::TFault::endlessBody());
  testsupport::TLogCapture Log;
  postFunnelEvent(&Parent, Server.url("/endless"), "launcher_started", "FunnelStartedFirst", "");
  QTRY_COMPARE_WITH_TIMEOUT(
    Log.count(QString("Error funnel sending (Step: launcher_started):Body is larger than the %1 bytes allowed")
                .arg(shared::MaxDocumentBytes)),
    1, 20000);
}

void TestFunnelEvents::installationMilestones()
{
  QList<QPair<QString, QString>> Sent;
  setFunnelEventSink([&](const QString& Step, const QString& Key) { Sent << qMakePair(Step, Key); });
  TInstallationManager Manager(nullptr, std::make_shared<TEngineFilesystemHelper>(std::make_shared<TEngineSettings>()));
  sendFunnelEventsOfInstallations(Manager);
  emit Manager.packageDownloaded();
  emit Manager.packageVerified();
  setFunnelEventSink({});
  const QList<QPair<QString, QString>> Expected{{"launcher_downloaded", "FunnelFinishedDownloadingFirst"},
                                                {"launcher_verified", "FunnelFinished_VerifyingFirst"}};
  QCOMPARE(Sent, Expected);
}

QTEST_GUILESS_MAIN(TestFunnelEvents)
#include "test_funnelevents.moc"
