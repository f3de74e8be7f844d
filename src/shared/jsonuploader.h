#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace shared {

// Posts JSON documents through a network access manager. The owner connects
// the manager's finished(QNetworkReply*) to onFinished(); every completed
// reply is reported through finished().
class TJsonDocumentHttpPostSender : public QObject
{
  Q_OBJECT

public:
  explicit TJsonDocumentHttpPostSender(std::shared_ptr<QNetworkAccessManager> pNetworkAccessManager,
                                       QObject* pParent = nullptr);
  ~TJsonDocumentHttpPostSender() override;

  // POST of the compact document with the headers Content-Type
  // "application/json" and Content-Disposition form-data; name="metadata".
  // The reply's body is held to MaxDocumentBytes (limitReplyBody).
  virtual void postDocument(const QUrl& Url, const QJsonDocument& Document);

  // Longest time a transfer may stall before it is aborted.
  static constexpr int TransferTimeoutMs = 60000;

signals:
  void finished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                QByteArray ReplyFromServer);

public slots:
  virtual void onFinished(QNetworkReply* Reply);

private:
  std::shared_ptr<QNetworkAccessManager> m_pNetworkAccessManager;
};

// Uploads JSON documents through a sender and evaluates the server's reply
// object: "errorCode" 0 (or missing) is success, anything else a failure
// described by "errorMessage".
class TJsonDocumentUploaderBase : public QObject
{
  Q_OBJECT

public:
  // Code of a reply that is not a JSON object.
  static constexpr int InvalidReplyErrorCode = -100;

  explicit TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> pSender,
                                     QObject* pParent = nullptr);
  ~TJsonDocumentUploaderBase() override;

  virtual void uploadDocument(const QUrl& Url, const QJsonDocument& Document);

  // Outcome of the last completed upload: empty and 0 after success; the
  // network error text and 0 after a network failure; the parser's text and
  // InvalidReplyErrorCode for a reply that is not a JSON object; the server's
  // "errorMessage" and "errorCode" otherwise.
  const QString& lastErrorMessage() const { return m_LastErrorMessage; }
  int lastErrorCode() const { return m_LastErrorCode; }

signals:
  void finished(bool UploadSuccessful, QJsonDocument ReplyFromServer);

public slots:
  virtual void onFinished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString,
                          QByteArray ReplyFromServer);

protected:
  const std::shared_ptr<TJsonDocumentHttpPostSender>& sender() const { return m_pSender; }

private:
  std::shared_ptr<TJsonDocumentHttpPostSender> m_pSender;
  QString m_LastErrorMessage;
  int m_LastErrorCode = 0;
};

} // namespace shared
