#include "launcher/signeddocuments.h"

#include "shared/downloadpool.h"

#include <QDebug>

namespace orvale::launcher {

QUrl signatureUrl(const QUrl& DocumentUrl)
{
  QUrl Result = DocumentUrl;
  Result.setPath(DocumentUrl.path(QUrl::FullyEncoded) + ::shared::SignatureFileSuffix, QUrl::TolerantMode);
  return Result;
}

TSignedDocumentDownloads::TSignedDocumentDownloads(std::shared_ptr<::shared::TDownloadPool> Pool,
                                                   const QStringList& KeyTexts)
  : m_pPool(std::move(Pool)), m_Checking(!KeyTexts.isEmpty())
{
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

void TSignedDocumentDownloads::download(const QUrl& Url)
{
  if (!m_Checking) {
    m_pPool->download(Url);
    return;
  }
  if (m_Pending.contains(Url))
    return;
  m_Documents.insert(Url);
  m_Pending.insert(Url, TPending());
  m_pPool->download(Url);
  // The document may have failed at once (a URL that cannot be requested).
  if (!m_Pending.contains(Url))
    return;
  const QUrl Signature = signatureUrl(Url);
  m_DocumentOfSignature.insert(Signature, Url);
  m_pPool->download(Signature, ::shared::MaxSignatureFileBytes);
}

::shared::ESignatureCheck TSignedDocumentDownloads::checkKept(const QByteArray& Document,
                                                              const QByteArray& SignatureFile) const
{
  return ::shared::checkReleaseSignature(Document, SignatureFile, m_Keys, ::shared::EExpiry::Ignored);
}

void TSignedDocumentDownloads::onPoolSuccess(const QUrl& Url, const QByteArray& Data)
{
  if (m_DocumentOfSignature.contains(Url)) {
    onSignatureReply(Url, Data, QString());
    return;
  }
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
  const auto Check = ::shared::checkReleaseSignature(*Complete.document, *Complete.signature, m_Keys,
                                                     ::shared::EExpiry::Enforced);
  if (Check == ::shared::ESignatureCheck::Valid) {
    m_Accepted.insert(DocumentUrl, *Complete.signature);
    emit success(DocumentUrl, *Complete.document);
    return;
  }
  QString Reason = QString("Signature refused: %1").arg(::shared::signatureCheckText(Check));
  if (!Complete.signatureError.isEmpty())
    Reason += QString(" (%1)").arg(Complete.signatureError);
  emit failed(DocumentUrl, QNetworkReply::UnknownContentError, Reason);
}

} // namespace orvale::launcher
