#pragma once

#include <QMap>
#include <QNetworkReply>
#include <QTextBrowser>
#include <QUrl>
#include <QVariant>

#include <memory>

namespace shared {

class TDownloadPool;

// A rich-text browser whose remote resources (http, https, ftp) are fetched
// through a download pool instead of blocking: until a resource arrives the
// document shows a placeholder (a transparent 32 x 32 image for images),
// then it is laid out again with the data. Other resources (the resource
// tree, local files) load at once, the QTextBrowser way. Every resource is
// kept for the browser's lifetime.
class QTextBrowserWithNetwork : public QTextBrowser
{
  Q_OBJECT
public:
  QTextBrowserWithNetwork(QWidget* parent, std::shared_ptr<TDownloadPool> DownloadPool);
  ~QTextBrowserWithNetwork() override;

  QSize sizeHint() const override;
  int heightForWidth(int Width) const override;
  QVariant loadResource(int type, const QUrl& name) override;

  // Whether the browser holds something (data or a placeholder) for Url.
  bool hasCachedResource(const QUrl& Url) const { return m_ResourceCache.contains(Url); }
  QVariant cachedResource(const QUrl& Url) const { return m_ResourceCache.value(Url); }

public slots:
  void onDownloadFinished(const QUrl& Url, const QByteArray& Data);
  void onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);

private:
  std::shared_ptr<TDownloadPool> m_pDownloadPool;
  QMap<QUrl, QVariant> m_ResourceCache;
};

} // namespace shared
