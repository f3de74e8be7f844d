#pragma once

#include "shared/releasesignature.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace orvale::launcher {

// Where a document's signature is published: the document's URL with
// ".sig" appended to its path; the query (a "nocache" item, say) is kept.
QUrl signatureUrl(const QUrl& DocumentUrl);

// Stands between the download pool and the code that acts on documents.
//
// Without release keys it passes the pool's reports on and download() is
// the pool's: requests and reports are exactly those of the pool.
//
// With keys, a document asked for with download() is fetched together with
// its signature (signatureUrl), through the same pool; the signature is held
// to MaxSignatureFileBytes. The document is reported as a success only once
// both have arrived and the signature is valid, unexpired and made by one of
// the keys; otherwise it is reported as failed with UnknownContentError and
// "Signature refused: <reason>" (a signature that could not be fetched is
// "no signature", with the pool's error). A document that itself fails is
// reported as the pool reported it. Replies to signature requests are never
// passed on, nor are replies for a document URL that come while no request
// of it made here is waiting (another user of the pool asked for it);
// reports for URLs never asked for here (hints, files read back from the
// installations) pass unchanged.
class TSignedDocumentDownloads : public QObject
{
  Q_OBJECT
public:
  // KeyTexts: the accepted keys as the settings hold them. A text that is
  // not a key is logged and left out; signatures are checked whenever
  // KeyTexts is not empty, so with none usable nothing is accepted.
  TSignedDocumentDownloads(std::shared_ptr<::shared::TDownloadPool> Pool, const QStringList& KeyTexts);
  ~TSignedDocumentDownloads() override;

  bool isChecking() const { return m_Checking; }
  void download(const QUrl& Url);
  // The signature file that let the last reply for Url through; empty
  // without keys.
  QByteArray signatureOf(const QUrl& Url) const { return m_Accepted.value(Url); }
  // Checks a document kept on disk against its signature file: the keys
  // and the signature count, the expiry does not (it was checked when the
  // document was fetched).
  ::shared::ESignatureCheck checkKept(const QByteArray& Document, const QByteArray& SignatureFile) const;

signals:
  void success(const QUrl& Url, const QByteArray& Data);
  void failed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);

private:
  // A document whose reply or signature is still awaited.
  struct TPending
  {
    std::optional<QByteArray> document;
    std::optional<QByteArray> signature;  // empty when it could not be fetched
    QString signatureError;               // the pool's error then
  };

  void onPoolSuccess(const QUrl& Url, const QByteArray& Data);
  void onPoolFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
  void onSignatureReply(const QUrl& SignatureUrl, const QByteArray& Data, const QString& ErrorString);
  void finishWhenComplete(const QUrl& DocumentUrl);

  std::shared_ptr<::shared::TDownloadPool> m_pPool;
  std::vector<::shared::TReleaseKey> m_Keys;
  bool m_Checking = false;
  QHash<QUrl, TPending> m_Pending;          // by document URL
  QSet<QUrl> m_Documents;                   // every document URL asked for
  QHash<QUrl, QUrl> m_DocumentOfSignature;  // signature URL -> document URL
  QHash<QUrl, QByteArray> m_Accepted;       // document URL -> its signature file
};

} // namespace orvale::launcher
