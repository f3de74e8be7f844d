#include "shared/jsonuploader.h"

#include "shared/downloadpool.h"

#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QThread>
#include <QtDebug>

namespace shared {

TJsonDocumentHttpPostSender::TJsonDocumentHttpPostSender(
  std::shared_ptr<QNetworkAccessManager> pNetworkAccessManager, QObject* pParent)
  : QObject(pParent), m_pNetworkAccessManager(std::move(pNetworkAccessManager))
{
  // finished() may cross threads through queued connections.
  qRegisterMetaType<QNetworkReply::NetworkError>();
}

TJsonDocumentHttpPostSender::~TJsonDocumentHttpPostSender() = default;

void TJsonDocumentHttpPostSender::postDocument(const QUrl& Url, const QJsonDocument& Document)
{
  if (!m_pNetworkAccessManager) {
    qWarning().noquote() << "postDocument: no network access manager for " + Url.toString()
                              + QString(" Thread: 0x%1").arg(quintptr(QThread::currentThreadId()), 0, 16);
    emit finished(QNetworkReply::UnknownNetworkError, tr("No network access manager"), QByteArray());
    return;
  }
  QNetworkRequest Request = makeRequest(Url);
  Request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
  Request.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArray("form-data; name=\"metadata\""));
  Request.setTransferTimeout(TransferTimeoutMs);
  limitReplyBody(m_pNetworkAccessManager->post(Request, Document.toJson(QJsonDocument::Compact)), MaxDocumentBytes);
}

void TJsonDocumentHttpPostSender::onFinished(QNetworkReply* Reply)
{
  if (!Reply)
    return;
  const QByteArray Body = takeReplyBody(Reply);
  const QNetworkReply::NetworkError Error = replyError(Reply);
  const QString ErrorString = replyErrorString(Reply);
  Reply->deleteLater();
  emit finished(Error, ErrorString, Body);
}

TJsonDocumentUploaderBase::TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> pSender,
                                                     QObject* pParent)
  : QObject(pParent), m_pSender(std::move(pSender))
{
  if (m_pSender)
    connect(m_pSender.get(), &TJsonDocumentHttpPostSender::finished, this, &TJsonDocumentUploaderBase::onFinished);
}

TJsonDocumentUploaderBase::~TJsonDocumentUploaderBase() = default;

void TJsonDocumentUploaderBase::uploadDocument(const QUrl& Url, const QJsonDocument& Document)
{
  if (m_pSender)
    m_pSender->postDocument(Url, Document);
}

void TJsonDocumentUploaderBase::onFinished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                                           QByteArray ReplyFromServer)
{
  m_LastErrorMessage.clear();
  m_LastErrorCode = 0;
  if (NetworkErrorCode != QNetworkReply::NoError) {
    m_LastErrorMessage = NetworkErrorString;
    emit finished(false, QJsonDocument());
    return;
  }
  QJsonParseError ParseError;
  const QJsonDocument Reply = QJsonDocument::fromJson(ReplyFromServer, &ParseError);
  if (ParseError.error != QJsonParseError::NoError) {
    m_LastErrorMessage = ParseError.errorString();
    m_LastErrorCode = InvalidReplyErrorCode;
    emit finished(false, QJsonDocument());
    return;
  }
  // Valid JSON that is not an object (an array, a bare value) is no answer
  // of the upload service and must not count as success.
  if (!Reply.isObject()) {
    m_LastErrorMessage = tr("reply is not a JSON object");
    m_LastErrorCode = InvalidReplyErrorCode;
    emit finished(false, QJsonDocument());
    return;
  }
  const QJsonObject Object = Reply.object();
  const int ErrorCode = Object.value(QStringLiteral("errorCode")).toInt(0);
  if (ErrorCode == 0) {
    emit finished(true, Reply);
    return;
  }
  m_LastErrorMessage = Object.value(QStringLiteral("errorMessage")).toString();
  m_LastErrorCode = ErrorCode;
  emit finished(false, Reply);
}

} // namespace shared
