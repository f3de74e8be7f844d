#pragma once

// Signed documents: where their signatures are published, which name and
// role a signature must give them, and downloads that require them.

#include "launcher/signingtimes.h"
#include "shared/downloadpool.h"
#include "shared/filesystemhelper.h"
#include "shared/releasesignature.h"

#include <QByteArray>
#include <QDateTime>
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

// The name a signature gives the document at DocumentUrl when the
// configuration is published at ConfigurationUrl: the path of one relative
// to the folder of the other, whatever their hosts (shared::TSignedDocument).
QString signedDocumentName(const QUrl& ConfigurationUrl, const QUrl& DocumentUrl);

// Why a document was not acted on, in the terms the player is told.
enum class EDocumentRefusal
{
  NotSigned,         // no signature
  SignedByOther,     // a key that is not accepted
  BadSignature,      // malformed, of the old format, or not matching the document
  Expired,
  OtherDocument,     // a real signature, made for another document or role
  Older,             // signed before the one accepted last
  NotADescription,   // not a usable description (checked by the configuration handler)
  TooLarge,          // larger than a description may be (shared/descriptiondocument.h)
};

// What a document's signature came to.
struct TSignatureVerdict
{
  QString refusal;  // the reason as logged; empty when accepted
  EDocumentRefusal reason = EDocumentRefusal::NotSigned;
  QDateTime signedAt;  // of a valid signature
  QDateTime expires;

  bool accepted() const { return refusal.isEmpty(); }
};

// How a document is fetched.
struct TDocumentFetch
{
  // The most bytes its body may have, and, for a compressed copy, the
  // document decoded from it.
  qint64 maxBytes = ::shared::MaxDocumentBytes;
  // Set when the URL fetched is a compressed copy (shared::unpackDescription)
  // of the document published at this URL: the copy is decoded as soon as it
  // arrives, and what it decodes to is the document, checked against the
  // signature of the document at this URL. A copy that does not decode
  // fails with UnknownContentError.
  QUrl compressedCopyOf;
  // With compressedCopyOf: the copy is a delta against this earlier
  // description (shared::unpackDescriptionDelta); empty for a compressed copy.
  QByteArray deltaBase;
};

// Stands between the download pool and the code that acts on documents.
//
// Without release keys it passes the pool's reports on and download() is
// the pool's: requests and reports are exactly those of the pool, except
// that a compressed copy is reported decoded (TDocumentFetch).
//
// With keys, a document asked for with download() is fetched together with
// its signature (signatureUrl), through the same pool; the signature is held
// to MaxSignatureFileBytes. The document is reported as a success only once
// both have arrived and the signature is valid, unexpired, made by one of
// the keys for the document the caller named (role and name) and not older
// than the newest signature of that document accepted before
// (TAcceptedSigningTimes, which then keeps its time); otherwise refused()
// and then failed with UnknownContentError and "Signature refused: <reason>"
// (a signature that could not be fetched is "no signature", with the pool's
// error). A document that itself fails is
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
  // SigningTimesPath: where the newest accepted signing times are kept.
  TSignedDocumentDownloads(std::shared_ptr<::shared::TDownloadPool> Pool, const QStringList& KeyTexts,
                           const QString& SigningTimesPath = TAcceptedSigningTimes::defaultPath());
  ~TSignedDocumentDownloads() override;

  bool isChecking() const { return m_Checking; }
  // Fetches Url, which must be Document (its signature must say so).
  void download(const QUrl& Url, const ::shared::TSignedDocument& Document, const TDocumentFetch& Fetch = {});
  // The signature file that let the last reply for Url through; empty
  // without keys.
  QByteArray signatureOf(const QUrl& Url) const { return m_Accepted.value(Url); }
  // Checks a document kept on disk against its signature file: the keys,
  // the signature and the document it names count, and it must not be older
  // than the newest accepted; the expiry does not count (it was checked when
  // the document was fetched).
  TSignatureVerdict judgeKept(const QByteArray& Document, const QByteArray& SignatureFile,
                              const ::shared::TSignedDocument& Expected);

signals:
  // Just before failed() for a document whose signature was refused.
  void refused(const QUrl& Url, orvale::launcher::EDocumentRefusal Reason);
  void success(const QUrl& Url, const QByteArray& Data);
  void failed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
  // The signing time of an accepted document could not be kept.
  void diskAccessFailed(QString ErrorMessage);

private:
  // A document whose reply or signature is still awaited.
  struct TPending
  {
    ::shared::TSignedDocument expected;
    std::optional<QByteArray> document;
    std::optional<QByteArray> signature;  // empty when it could not be fetched
    QString signatureError;               // the pool's error then
  };

  void onPoolSuccess(const QUrl& Url, const QByteArray& Data);
  void onDocument(const QUrl& Url, const QByteArray& Data);
  void onPoolFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
  void onSignatureReply(const QUrl& SignatureUrl, const QByteArray& Data, const QString& ErrorString);
  void finishWhenComplete(const QUrl& DocumentUrl);
  TSignatureVerdict judge(const QByteArray& Document, const QByteArray& SignatureFile,
                          const ::shared::TSignedDocument& Expected, ::shared::EExpiry Expiry);

  std::shared_ptr<::shared::TDownloadPool> m_pPool;
  std::vector<::shared::TReleaseKey> m_Keys;
  bool m_Checking = false;
  ::shared::TFileSystemHelper m_Helper;
  TAcceptedSigningTimes m_SigningTimes;
  QHash<QUrl, TPending> m_Pending;          // by document URL
  QSet<QUrl> m_Documents;                   // every document URL asked for
  QHash<QUrl, QUrl> m_DocumentOfSignature;  // signature URL -> document URL
  QHash<QUrl, QByteArray> m_Accepted;       // document URL -> its signature file
  struct TCompressedCopy
  {
    qint64 maxBytes = 0;  // the most bytes it decodes to
    QByteArray deltaBase;
  };
  QHash<QUrl, TCompressedCopy> m_CompressedCopies;  // by the URL of a compressed or delta copy
};

} // namespace orvale::launcher

Q_DECLARE_METATYPE(orvale::launcher::EDocumentRefusal)
