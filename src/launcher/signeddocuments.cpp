// Downloads that let a document through only with a valid signature made
// for that document, in its place, not older than the last one accepted.

#include "launcher/signeddocuments.h"

#include "shared/descriptiondocument.h"
#include "shared/downloadpool.h"
#include "shared/packageconfigurationreader.h"

#include <QDebug>
#include <QPointer>

namespace orvale::launcher {

QUrl signatureUrl(const QUrl& DocumentUrl)
{
  QUrl Result = DocumentUrl;
  Result.setPath(DocumentUrl.path(QUrl::FullyEncoded) + ::shared::SignatureFileSuffix, QUrl::TolerantMode);
  return Result;
}

QString signedDocumentName(const QUrl& ConfigurationUrl, const QUrl& DocumentUrl)
{
  return ::shared::documentNameBelow(::shared::urlWithoutFileName(ConfigurationUrl).path(QUrl::FullyDecoded),
                                     DocumentUrl.path(QUrl::FullyDecoded));
}

namespace {

EDocumentRefusal refusalOfCheck(::shared::ESignatureCheck Check)
{
  switch (Check) {
  case ::shared::ESignatureCheck::Missing:
    return EDocumentRefusal::NotSigned;
  case ::shared::ESignatureCheck::UnknownKey:
    return EDocumentRefusal::SignedByOther;
  case ::shared::ESignatureCheck::Expired:
    return EDocumentRefusal::Expired;
  case ::shared::ESignatureCheck::OtherDocument:
    return EDocumentRefusal::OtherDocument;
  case ::shared::ESignatureCheck::Valid:
  case ::shared::ESignatureCheck::Malformed:
  case ::shared::ESignatureCheck::OldFormat:
  case ::shared::ESignatureCheck::BadSignature:
    break;
  }
  return EDocumentRefusal::BadSignature;
}

QString timeText(const QDateTime& Time)
{
  return Time.toUTC().toString(Qt::ISODate);
}

} // namespace

TSignedDocumentDownloads::TSignedDocumentDownloads(std::shared_ptr<::shared::TDownloadPool> Pool,
                                                   const QStringList& KeyTexts, const QString& SigningTimesPath)
  : m_pPool(std::move(Pool)), m_Checking(!KeyTexts.isEmpty()), m_SigningTimes(m_Helper, SigningTimesPath)
{
  qRegisterMetaType<EDocumentRefusal>();
  for (const QString& Text : KeyTexts) {
    if (const auto Key = ::shared::TReleaseKey::fromText(Text))
      m_Keys.push_back(*Key);
    else
      qCritical().noquote() << QString("Release key \"%1\" in the settings is not a key: left out").arg(Text);
  }
  connect(m_pPool.get(), &::shared::TDownloadPool::success, this, &TSignedDocumentDownloads::onPoolSuccess);
  connect(m_pPool.get(), &::shared::TDownloadPool::failed, this, &TSignedDocumentDownloads::onPoolFailed);
}

TSignedDocumentDownloads::~TSignedDocumentDownloads() = default;

void TSignedDocumentDownloads::download(const QUrl& Url, const ::shared::TSignedDocument& Document,
                                        const TDocumentFetch& Fetch)
{
  if (Fetch.compressedCopyOf.isEmpty())
    m_CompressedCopies.remove(Url);
  else
    m_CompressedCopies.insert(Url, {Fetch.maxBytes, Fetch.deltaBase});
  if (!m_Checking) {
    m_pPool->download(Url, Fetch.maxBytes);
    return;
  }
  if (m_Pending.contains(Url))
    return;
  m_Documents.insert(Url);
  TPending Pending;
  Pending.expected = Document;
  m_Pending.insert(Url, Pending);
  m_pPool->download(Url, Fetch.maxBytes);
  // The document may have failed at once (a URL that cannot be requested).
  if (!m_Pending.contains(Url))
    return;
  const QUrl Signature = signatureUrl(Fetch.compressedCopyOf.isEmpty() ? Url : Fetch.compressedCopyOf);
  m_DocumentOfSignature.insert(Signature, Url);
  m_pPool->download(Signature, ::shared::MaxSignatureFileBytes);
}

TSignatureVerdict TSignedDocumentDownloads::judgeKept(const QByteArray& Document, const QByteArray& SignatureFile,
                                                     const ::shared::TSignedDocument& Expected)
{
  return judge(Document, SignatureFile, Expected, ::shared::EExpiry::Ignored);
}

TSignatureVerdict TSignedDocumentDownloads::judge(const QByteArray& Document, const QByteArray& SignatureFile,
                                                  const ::shared::TSignedDocument& Expected, ::shared::EExpiry Expiry)
{
  TSignatureVerdict Verdict;
  const auto Check = ::shared::checkReleaseSignature(Document, SignatureFile, m_Keys, Expected, Expiry);
  if (!Check.valid()) {
    Verdict.reason = refusalOfCheck(Check.result);
    Verdict.refusal = ::shared::signatureRefusalText(Check, Expected);
    return Verdict;
  }
  Verdict.signedAt = Check.signature->signedAt;
  Verdict.expires = Check.signature->expires;
  const auto Newest = m_SigningTimes.newest(Expected);
  if (Newest && Verdict.signedAt < *Newest) {
    Verdict.reason = EDocumentRefusal::Older;
    Verdict.refusal = QString("older than the release already installed (signed %1, one signed %2 was accepted before)")
                          .arg(timeText(Verdict.signedAt), timeText(*Newest));
  }
  return Verdict;
}

void TSignedDocumentDownloads::onPoolSuccess(const QUrl& Url, const QByteArray& Data)
{
  if (m_DocumentOfSignature.contains(Url)) {
    onSignatureReply(Url, Data, QString());
    return;
  }
  const auto Compressed = m_CompressedCopies.constFind(Url);
  if (Compressed == m_CompressedCopies.constEnd()) {
    onDocument(Url, Data);
    return;
  }
  QString Problem;
  const auto Document = Compressed->deltaBase.isEmpty()
                            ? ::shared::unpackDescription(Data, Compressed->maxBytes, Problem)
                            : ::shared::unpackDescriptionDelta(Data, Compressed->deltaBase, Compressed->maxBytes, Problem);
  if (Document)
    onDocument(Url, *Document);
  else
    onPoolFailed(Url, QNetworkReply::UnknownContentError, QString("Compressed copy not usable: %1").arg(Problem));
}

void TSignedDocumentDownloads::onDocument(const QUrl& Url, const QByteArray& Data)
{
  const auto Pending = m_Pending.find(Url);
  if (Pending == m_Pending.end()) {
    if (!m_Documents.contains(Url))
      emit success(Url, Data);
    return;
  }
  Pending->document = Data;
  finishWhenComplete(Url);
}

void TSignedDocumentDownloads::onPoolFailed(const QUrl& Url, QNetworkReply::NetworkError Code,
                                            const QString& ErrorString)
{
  if (m_DocumentOfSignature.contains(Url)) {
    onSignatureReply(Url, QByteArray(), ErrorString);
    return;
  }
  // A document that failed is reported as it failed; its signature's reply
  // is dropped when it comes.
  if (m_Pending.remove(Url) > 0 || !m_Documents.contains(Url))
    emit failed(Url, Code, ErrorString);
}

void TSignedDocumentDownloads::onSignatureReply(const QUrl& SignatureUrl, const QByteArray& Data,
                                                const QString& ErrorString)
{
  const QUrl Document = m_DocumentOfSignature.value(SignatureUrl);
  const auto Pending = m_Pending.find(Document);
  if (Pending == m_Pending.end() || Pending->signature)
    return;
  Pending->signature = Data;
  Pending->signatureError = ErrorString;
  finishWhenComplete(Document);
}

void TSignedDocumentDownloads::finishWhenComplete(const QUrl& DocumentUrl)
{
  const auto Pending = m_Pending.find(DocumentUrl);
  if (Pending == m_Pending.end() || !Pending->document || !Pending->signature)
    return;
  const TPending Complete = *Pending;
  m_Pending.erase(Pending);
  const TSignatureVerdict Verdict =
      judge(*Complete.document, *Complete.signature, Complete.expected, ::shared::EExpiry::Enforced);
  if (Verdict.accepted()) {
    try {
      m_SigningTimes.accept(Complete.expected, Verdict.signedAt);
    } catch (const std::runtime_error& Error) {
      // Taken without its time kept, a replay of an older release would
      // pass in the next run.
      emit diskAccessFailed(QString::fromUtf8(Error.what()));
      return;
    }
    m_Accepted.insert(DocumentUrl, *Complete.signature);
    emit success(DocumentUrl, *Complete.document);
    return;
  }
  QString Reason = QString("Signature refused: %1").arg(Verdict.refusal);
  if (!Complete.signatureError.isEmpty())
    Reason += QString(" (%1)").arg(Complete.signatureError);
  const QPointer<TSignedDocumentDownloads> Self(this);
  emit refused(DocumentUrl, Verdict.reason);
  if (Self)
    emit failed(DocumentUrl, QNetworkReply::UnknownContentError, Reason);
}

} // namespace orvale::launcher
