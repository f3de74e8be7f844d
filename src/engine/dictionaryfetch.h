#pragma once

// Fetches the Zstandard dictionaries that pieces of a description were
// packed with, before any of those pieces is decoded.

#include "engine/package.h"
#include "shared/downloadpool.h"
#include "shared/zstdframes.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <memory>

namespace orvale::launcher {

// A dictionary is fetched once per run, checked against the size and the
// SHA-256 the (vouched for) description gives, and digested once; then
// ready() hands it on. A fetch that fails, or brings other bytes, is tried
// again twice before failed() gives up on the dictionary.
class TDictionaryFetcher : public QObject
{
  Q_OBJECT

public:
  explicit TDictionaryFetcher(std::shared_ptr<shared::TDownloadPool> Pool, QObject* pParent = nullptr);
  ~TDictionaryFetcher() override;

  // Asks for the dictionary unless it was asked for already in this run.
  void fetch(const std::shared_ptr<const TDictionaryInDescription>& Dictionary);
  // Drops every request; answers still on their way are ignored.
  void clear();

signals:
  void ready(const QByteArray& Hash, std::shared_ptr<const shared::TZstdDictionary> Dictionary);
  void failed(const QByteArray& Hash, const QString& Reason);

private:
  struct TFetch
  {
    std::shared_ptr<const TDictionaryInDescription> dictionary;
    int attempts = 0;
  };

  void request(TFetch& Fetch);
  void onDelivered(const QUrl& Url, const shared::TReplyBody& Body);
  void onFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
  // Tries again, or gives up with Reason after the last attempt.
  void retryOrFail(const QUrl& Url, const QString& Reason);

  std::shared_ptr<shared::TDownloadPool> m_pPool;
  QHash<QUrl, TFetch> m_Fetches;  // by URL, while they run
  QHash<QByteArray, bool> m_Asked;  // by hash, in this run
};

} // namespace orvale::launcher
