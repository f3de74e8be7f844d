#include "shared/downloadpool.h"
#include "shared/jsonuploader.h"
#include "systemsurvey/clientidentifier.h"
#include "systemsurvey/systemsurveydocument.h"
#include "systemsurvey/systemsurveyuploader.h"

#include "testhttpserver.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using namespace systemsurvey;

namespace {

// Records the documents instead of posting them.
class TRecordingSender : public shared::TJsonDocumentHttpPostSender
{
public:
  TRecordingSender() : shared::TJsonDocumentHttpPostSender(nullptr) {}

  void postDocument(const QUrl& Url, const QJsonDocument& Document) override
  {
    m_Posts.append({Url, Document});
  }

  QList<QPair<QUrl, QJsonDocument>> m_Posts;
};

// Hands out a fixed document.
class TFixedDocumentCreator : public TSystemSurveyAsJsonDocumentCreator
{
public:
  explicit TFixedDocumentCreator(QJsonDocument Document)
    : TSystemSurveyAsJsonDocumentCreator(nullptr, nullptr), m_Document(std::move(Document))
  {
  }

  QJsonDocument createDocument() override
  {
    ++m_Calls;
    return m_Document;
  }

  QJsonDocument m_Document;
  int m_Calls = 0;
};

// A sender with its own network access manager, wired as in production.
std::shared_ptr<shared::TJsonDocumentHttpPostSender> networkSender()
{
  auto pNetworkAccessManager = std::make_shared<QNetworkAccessManager>();
  auto pSender = std::make_shared<shared::TJsonDocumentHttpPostSender>(pNetworkAccessManager);
  QObject::connect(pNetworkAccessManager.get(), &QNetworkAccessManager::finished, pSender.get(),
                   &shared::TJsonDocumentHttpPostSender::onFinished);
  return pSender;
}

// An address on 127.0.0.1 where nothing listens.
QUrl closedPortUrl(const QString& Path)
{
  QTcpServer Server;
  if (!Server.listen(QHostAddress::LocalHost, 0))
    return QUrl();
  const quint16 Port = Server.serverPort();
  Server.close();
  return QUrl(QString("http://127.0.0.1:%1%2").arg(Port).arg(Path));
}

QJsonDocument sampleDocument()
{
  return QJsonDocument(QJsonObject{{"dataType", 0}, {"clientID", "abc"}, {"note", "ümlaut"}});
}

} // namespace

class TestSystemSurveyUpload : public QObject
{
  Q_OBJECT

private slots:
  void replyEvaluation_data();
  void replyEvaluation();
  void evaluationStartsAfreshForEveryReply();
  void uploaderListensToItsSender();
  void uploadSurveyPostsCreatedDocumentToSurveyUrl();
  void networkErrorFromRealConnection();
  void startSystemSurveyRefusesInvalidUrl();
  void startSystemSurveyRunsWholeChain();
  void postToServer();
  void serverRepliesWithFailure();
  void startSystemSurveyPostsSurveyOfThisMachine();
};

void TestSystemSurveyUpload::replyEvaluation_data()
{
  QTest::addColumn<int>("NetworkError");
  QTest::addColumn<QString>("NetworkErrorString");
  QTest::addColumn<QByteArray>("Body");
  QTest::addColumn<bool>("Success");
  QTest::addColumn<int>("ErrorCode");
  QTest::addColumn<QString>("ErrorMessage"); // "*": any non-empty text
  QTest::addColumn<bool>("ReplyDocumentEmpty");

  const int NoError = QNetworkReply::NoError;
  QTest::newRow("errorCode 0") << NoError << "" << QByteArray(R"({"errorCode": 0})") << true << 0 << "" << false;
  QTest::newRow("errorCode missing") << NoError << "" << QByteArray(R"({"status": "fine"})") << true << 0 << ""
                                     << false;
  QTest::newRow("errorCode 7 with message") << NoError << "" << QByteArray(R"({"errorCode": 7, "errorMessage": "x"})")
                                            << false << 7 << "x" << false;
  QTest::newRow("negative errorCode without message")
    << NoError << "" << QByteArray(R"({"errorCode": -3})") << false << -3 << "" << false;
  QTest::newRow("body not JSON") << NoError << "" << QByteArray("<html>Bad gateway</html>") << false << -100 << "*"
                                 << true;
  QTest::newRow("empty body") << NoError << "" << QByteArray() << false << -100 << "*" << true;
  QTest::newRow("JSON array") << NoError << "" << QByteArray(R"([{"errorCode": 0}])") << false << -100 << "*"
                              << true;
  QTest::newRow("network error ignores body")
    << int(QNetworkReply::ContentNotFoundError) << "Error transferring - server replied: Not Found"
    << QByteArray(R"({"errorCode": 0})") << false << 0 << "Error transferring - server replied: Not Found" << true;
  QTest::newRow("connection refused") << int(QNetworkReply::ConnectionRefusedError) << "Connection refused"
                                      << QByteArray() << false << 0 << "Connection refused" << true;
}

void TestSystemSurveyUpload::replyEvaluation()
{
  QFETCH(int, NetworkError);
  QFETCH(QString, NetworkErrorString);
  QFETCH(QByteArray, Body);
  QFETCH(bool, Success);
  QFETCH(int, ErrorCode);
  QFETCH(QString, ErrorMessage);
  QFETCH(bool, ReplyDocumentEmpty);

  shared::TJsonDocumentUploaderBase Uploader(std::make_shared<TRecordingSender>());
  QSignalSpy Finished(&Uploader, &shared::TJsonDocumentUploaderBase::finished);
  Uploader.onFinished(QNetworkReply::NetworkError(NetworkError), NetworkErrorString, Body);

  QCOMPARE(Finished.count(), 1);
  QCOMPARE(Finished.at(0).at(0).toBool(), Success);
  const QJsonDocument Reply = Finished.at(0).at(1).value<QJsonDocument>();
  QCOMPARE(Reply.isNull() || Reply.isEmpty(), ReplyDocumentEmpty);
  if (!ReplyDocumentEmpty)
    QCOMPARE(Reply, QJsonDocument::fromJson(Body));
  QCOMPARE(Uploader.lastErrorCode(), ErrorCode);
  if (ErrorMessage == "*")
    QVERIFY(!Uploader.lastErrorMessage().isEmpty());
  else
    QCOMPARE(Uploader.lastErrorMessage(), ErrorMessage);
}

void TestSystemSurveyUpload::evaluationStartsAfreshForEveryReply()
{
  shared::TJsonDocumentUploaderBase Uploader(std::make_shared<TRecordingSender>());
  Uploader.onFinished(QNetworkReply::NoError, QString(), R"({"errorCode": 12, "errorMessage": "quota"})");
  QCOMPARE(Uploader.lastErrorCode(), 12);
  QCOMPARE(Uploader.lastErrorMessage(), QString("quota"));

  Uploader.onFinished(QNetworkReply::TimeoutError, "Operation canceled", QByteArray());
  QCOMPARE(Uploader.lastErrorCode(), 0);
  QCOMPARE(Uploader.lastErrorMessage(), QString("Operation canceled"));

  Uploader.onFinished(QNetworkReply::NoError, QString(), R"({"errorCode": 0})");
  QCOMPARE(Uploader.lastErrorCode(), 0);
  QCOMPARE(Uploader.lastErrorMessage(), QString());
}

void TestSystemSurveyUpload::uploaderListensToItsSender()
{
  auto pSender = std::make_shared<TRecordingSender>();
  shared::TJsonDocumentUploaderBase Uploader(pSender);
  QSignalSpy Finished(&Uploader, &shared::TJsonDocumentUploaderBase::finished);

  emit pSender->finished(QNetworkReply::NoError, QString(), R"({"errorCode": 5, "errorMessage": "busy"})");
  QCOMPARE(Finished.count(), 1);
  QCOMPARE(Finished.at(0).at(0).toBool(), false);
  QCOMPARE(Uploader.lastErrorCode(), 5);
  QCOMPARE(Uploader.lastErrorMessage(), QString("busy"));

  Uploader.uploadDocument(QUrl("http://127.0.0.1:1/x"), sampleDocument());
  QCOMPARE(pSender->m_Posts.size(), 1);
  QCOMPARE(pSender->m_Posts.at(0).first, QUrl("http://127.0.0.1:1/x"));
  QCOMPARE(pSender->m_Posts.at(0).second, sampleDocument());
}

void TestSystemSurveyUpload::uploadSurveyPostsCreatedDocumentToSurveyUrl()
{
  auto pSender = std::make_shared<TRecordingSender>();
  auto pCreator = std::make_shared<TFixedDocumentCreator>(sampleDocument());
  const QUrl SurveyUrl("https://survey.example.invalid/api/hardwaresurvey?v=2");
  TSystemSurveyUploader Uploader(pSender, SurveyUrl, pCreator);

  Uploader.uploadSurvey();
  QCOMPARE(pCreator->m_Calls, 1);
  QCOMPARE(pSender->m_Posts.size(), 1);
  QCOMPARE(pSender->m_Posts.at(0).first, SurveyUrl);
  QCOMPARE(pSender->m_Posts.at(0).second, sampleDocument());

  // Each call gathers and posts a new document.
  Uploader.uploadSurvey();
  QCOMPARE(pCreator->m_Calls, 2);
  QCOMPARE(pSender->m_Posts.size(), 2);
}

void TestSystemSurveyUpload::networkErrorFromRealConnection()
{
  const QUrl Url = closedPortUrl("/survey");
  QVERIFY(Url.isValid());
  auto pSender = networkSender();
  shared::TJsonDocumentUploaderBase Uploader(pSender);
  QSignalSpy SenderFinished(pSender.get(), &shared::TJsonDocumentHttpPostSender::finished);
  QSignalSpy Finished(&Uploader, &shared::TJsonDocumentUploaderBase::finished);

  Uploader.uploadDocument(Url, sampleDocument());
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.count(), 1);
  QCOMPARE(Finished.at(0).at(0).toBool(), false);
  QCOMPARE(SenderFinished.count(), 1);
  QCOMPARE(SenderFinished.at(0).at(0).value<QNetworkReply::NetworkError>(), QNetworkReply::ConnectionRefusedError);
  const QString NetworkText = SenderFinished.at(0).at(1).toString();
  QVERIFY(!NetworkText.isEmpty());
  QCOMPARE(Uploader.lastErrorMessage(), NetworkText);
  QCOMPARE(Uploader.lastErrorCode(), 0);
}

void TestSystemSurveyUpload::startSystemSurveyRefusesInvalidUrl()
{
  QVERIFY(!startSystemSurvey(QUrl()));
  QVERIFY(!startSystemSurvey(QUrl("http://exa mple.com:port/")));
}

void TestSystemSurveyUpload::startSystemSurveyRunsWholeChain()
{
  const QUrl Url = closedPortUrl("/hardwaresurvey");
  QVERIFY(Url.isValid());
  std::unique_ptr<TSystemSurveyUploader> pUploader = startSystemSurvey(Url);
  QVERIFY(pUploader);
  QCOMPARE(pUploader->surveyUrl(), Url);
  QVERIFY(!pUploader->parent());
  QSignalSpy Finished(pUploader.get(), &shared::TJsonDocumentUploaderBase::finished);
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.at(0).at(0).toBool(), false);
  QVERIFY(!pUploader->lastErrorMessage().isEmpty());
  QCOMPARE(pUploader->lastErrorCode(), 0);
}

void TestSystemSurveyUpload::postToServer()
{
  testsupport::TTestHttpServer Server;
  Server.setBody("/api/survey", R"({"errorCode": 0, "stored": true})", "application/json");
  auto pSender = networkSender();
  shared::TJsonDocumentUploaderBase Uploader(pSender);
  QSignalSpy Finished(&Uploader, &shared::TJsonDocumentUploaderBase::finished);

  const QJsonDocument Document = sampleDocument();
  Uploader.uploadDocument(Server.url("/api/survey"), Document);
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.at(0).at(0).toBool(), true);
  QCOMPARE(Finished.at(0).at(1).value<QJsonDocument>().object().value("stored").toBool(), true);
  QCOMPARE(Uploader.lastErrorCode(), 0);
  QCOMPARE(Uploader.lastErrorMessage(), QString());

  const QList<testsupport::TTestHttpServer::TRecordedRequest> Requests = Server.requests("/api/survey");
  QCOMPARE(Requests.size(), 1);
  const testsupport::TTestHttpServer::TRecordedRequest& Request = Requests.at(0);
  QCOMPARE(Request.method, QByteArray("POST"));
  QCOMPARE(Request.headers.value("content-type"), QByteArray("application/json"));
  QCOMPARE(Request.headers.value("content-disposition"), QByteArray("form-data; name=\"metadata\""));
  // The bare compact document, no multipart envelope.
  const QByteArray Expected = QByteArray("{\"clientID\":\"abc\",\"dataType\":0,\"note\":\"") + "\xc3\xbc" + "mlaut\"}";
  QCOMPARE(Request.body, Expected);
}

void TestSystemSurveyUpload::serverRepliesWithFailure()
{
  testsupport::TTestHttpServer Server;
  Server.setBody("/refused", R"({"errorCode": 7, "errorMessage": "x"})", "application/json");
  Server.setBody("/broken", "{\"errorCode\": 0", "application/json");
  Server.setBody("/down", R"({"errorCode": 0})", "application/json");
  Server.setFault("/down", testsupport::TTestHttpServer::TFault::status(503));
  auto pSender = networkSender();
  shared::TJsonDocumentUploaderBase Uploader(pSender);
  QSignalSpy Finished(&Uploader, &shared::TJsonDocumentUploaderBase::finished);

  Uploader.uploadDocument(Server.url("/refused"), sampleDocument());
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.at(0).at(0).toBool(), false);
  QCOMPARE(Uploader.lastErrorCode(), 7);
  QCOMPARE(Uploader.lastErrorMessage(), QString("x"));

  Uploader.uploadDocument(Server.url("/broken"), sampleDocument());
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.at(1).at(0).toBool(), false);
  QCOMPARE(Uploader.lastErrorCode(), -100);
  QVERIFY(!Uploader.lastErrorMessage().isEmpty());

  Uploader.uploadDocument(Server.url("/down"), sampleDocument());
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.at(2).at(0).toBool(), false);
  QCOMPARE(Uploader.lastErrorCode(), 0);
  QVERIFY(!Uploader.lastErrorMessage().isEmpty());

  // A reply without end is cut off at the document limit.
  Server.setFault("/endless", testsupport::TTestHttpServer::TFault::endlessBody());
  Uploader.uploadDocument(Server.url("/endless"), sampleDocument());
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.at(3).at(0).toBool(), false);
  QCOMPARE(Uploader.lastErrorMessage(),
           QString("Body is larger than the %1 bytes allowed").arg(shared::MaxDocumentBytes));
  QCOMPARE(Server.requests().size(), 4);
}

void TestSystemSurveyUpload::startSystemSurveyPostsSurveyOfThisMachine()
{
  testsupport::TTestHttpServer Server;
  Server.setBody("/hardwaresurvey", R"({"errorCode": 0})", "application/json");
  std::unique_ptr<TSystemSurveyUploader> pUploader = startSystemSurvey(Server.url("/hardwaresurvey"));
  QVERIFY(pUploader);
  QSignalSpy Finished(pUploader.get(), &shared::TJsonDocumentUploaderBase::finished);
  QVERIFY(Finished.wait(20000));
  QCOMPARE(Finished.at(0).at(0).toBool(), true);

  const QList<testsupport::TTestHttpServer::TRecordedRequest> Requests = Server.requests("/hardwaresurvey");
  QCOMPARE(Requests.size(), 1);
  QCOMPARE(Requests.at(0).method, QByteArray("POST"));
  QJsonParseError Error;
  const QJsonDocument Posted = QJsonDocument::fromJson(Requests.at(0).body, &Error);
  QCOMPARE(Error.error, QJsonParseError::NoError);
  QCOMPARE(Requests.at(0).body, Posted.toJson(QJsonDocument::Compact));
  const QJsonObject Survey = Posted.object();
  QCOMPARE(Survey.value("dataType").toInt(-1), 0);
  QCOMPARE(Survey.value("clientID").toString(), clientIdentifier());
  QCOMPARE(Survey.value("operatingSystem").toObject().value("baseSystem").toString(), QString("Linux"));
  QCOMPARE(Survey.value("gpu").toArray().size(), 1);
  QVERIFY(Survey.value("cpu").toObject().value("logicalCoreNumber").toInt() >= 1);
}

QTEST_MAIN(TestSystemSurveyUpload)
#include "test_systemsurveyupload.moc"
