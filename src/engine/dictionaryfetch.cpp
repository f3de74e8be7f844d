#include "engine/dictionaryfetch.h"

#include "engine/logging.h"
#include "shared/sha256.h"

#include <QDebug>

#include <utility>

namespace orvale::launcher {

namespace {

constexpr int kAttempts = 3;

} // namespace

TDictionaryFetcher::TDictionaryFetcher(std::shared_ptr<shared::TDownloadPool> Pool, QObject* pParent)
  : QObject(pParent), m_pPool(std::move(Pool))
{
  connect(m_pPool.get(), &shared::TDownloadPool::delivered, this, &TDictionaryFetcher::onDelivered);
  connect(m_pPool.get(), &shared::TDownloadPool::failed, this, &TDictionaryFetcher::onFailed);
}

TDictionaryFetcher::~TDictionaryFetcher() = default;

void TDictionaryFetcher::fetch(const std::shared_ptr<const TDictionaryInDescription>& Dictionary)
{
  if (!Dictionary || m_Asked.contains(Dictionary->hash))
    return;
  m_Asked.insert(Dictionary->hash, true);
  const QString Scheme = Dictionary->url.scheme();
  if (Scheme != "http" && Scheme != "https") {
    // Like package data, dictionaries come only from web servers.
    emit failed(Dictionary->hash, QString("%1 is not an http or https URL").arg(Dictionary->url.toString()));
    return;
  }
  if (m_Fetches.contains(Dictionary->url)) {
    // One URL cannot serve two contents; the one asked for first keeps it
    // (taking its place would leave the first waiting forever).
    emit failed(Dictionary->hash, QString("%1 is named for another dictionary too").arg(Dictionary->url.toString()));
    return;
  }
  TFetch& Fetch = m_Fetches[Dictionary->url];
  Fetch.dictionary = Dictionary;
  request(Fetch);
}

void TDictionaryFetcher::clear()
{
  for (auto Fetch = m_Fetches.cbegin(); Fetch != m_Fetches.cend(); ++Fetch)
    m_pPool->releaseUrl(Fetch.key());
  m_Fetches.clear();
  m_Asked.clear();
}

void TDictionaryFetcher::request(TFetch& Fetch)
{
  ++Fetch.attempts;
  qInfo().noquote() << QString("start download of dictionary %1%2").arg(Fetch.dictionary->url.toString(), threadTag());
  shared::TRequestOptions Options;
  Options.maxBodyBytes = qint64(Fetch.dictionary->size);
  Options.document = false;
  m_pPool->download(Fetch.dictionary->url, Options);
}

void TDictionaryFetcher::onDelivered(const QUrl& Url, const shared::TReplyBody& Body)
{
  const auto Found = m_Fetches.find(Url);
  if (Found == m_Fetches.end())
    return;
  const std::shared_ptr<const TDictionaryInDescription> Described = Found->dictionary;
  if (Body.inFile() || std::uint64_t(Body.data.size()) != Described->size ||
      shared::TSha256::hash(Body.data) != Described->hash) {
    retryOrFail(Url, QString("%1 is not the dictionary the description names").arg(Url.toString()));
    return;
  }
  std::shared_ptr<const shared::TZstdDictionary> Dictionary = shared::TZstdDictionary::load(Body.data);
  m_Fetches.erase(Found);
  if (!Dictionary) {
    emit failed(Described->hash, QString("%1 is not a dictionary").arg(Url.toString()));
    return;
  }
  emit ready(Described->hash, std::move(Dictionary));
}

void TDictionaryFetcher::onFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString)
{
  Q_UNUSED(Code);
  if (m_Fetches.contains(Url))
    retryOrFail(Url, ErrorString);
}

void TDictionaryFetcher::retryOrFail(const QUrl& Url, const QString& Reason)
{
  const auto Found = m_Fetches.find(Url);
  if (Found->attempts < kAttempts) {
    qInfo().noquote() << QString("Retry dictionary %1: %2%3").arg(Url.toString(), Reason, threadTag());
    request(*Found);
    return;
  }
  const QByteArray Hash = Found->dictionary->hash;
  m_Fetches.erase(Found);
  emit failed(Hash, Reason);
}

} // namespace orvale::launcher
