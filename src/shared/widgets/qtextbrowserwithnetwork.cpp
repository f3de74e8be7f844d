#include "shared/widgets/qtextbrowserwithnetwork.h"

#include "shared/downloadpool.h"

#include <QImage>
#include <QMessageLogger>
#include <QMetaEnum>
#include <QTextDocument>

#include <cmath>

namespace shared {

QTextBrowserWithNetwork::QTextBrowserWithNetwork(QWidget* parent, std::shared_ptr<TDownloadPool> DownloadPool)
  : QTextBrowser(parent), m_pDownloadPool(std::move(DownloadPool))
{
  if (m_pDownloadPool) {
    connect(m_pDownloadPool.get(), &TDownloadPool::success, this, &QTextBrowserWithNetwork::onDownloadFinished);
    connect(m_pDownloadPool.get(), &TDownloadPool::failed, this, &QTextBrowserWithNetwork::onDownloadFailed);
  }
}

QTextBrowserWithNetwork::~QTextBrowserWithNetwork() = default;

QSize QTextBrowserWithNetwork::sizeHint() const
{
  const QSizeF Size = document()->size();
  return QSize(int(std::lround(Size.width())), int(std::lround(Size.height())));
}

int QTextBrowserWithNetwork::heightForWidth(int) const
{
  return int(document()->size().height());
}

QVariant QTextBrowserWithNetwork::loadResource(int type, const QUrl& name)
{
  const auto Cached = m_ResourceCache.constFind(name);
  if (Cached != m_ResourceCache.constEnd())
    return Cached.value();

  const QString Scheme = name.scheme();
  if (Scheme == "http" || Scheme == "https" || Scheme == "ftp") {
    // A placeholder until the pool delivers; the document is laid out
    // again then.
    if (type == QTextDocument::ImageResource) {
      QImage Placeholder(32, 32, QImage::Format_ARGB32_Premultiplied);
      Placeholder.fill(Qt::transparent);
      m_ResourceCache.insert(name, Placeholder);
    } else {
      m_ResourceCache.insert(name, type);
    }
    if (m_pDownloadPool)
      m_pDownloadPool->download(name);
    return m_ResourceCache.value(name);
  }

  const QVariant Resource = QTextBrowser::loadResource(type, name);
  m_ResourceCache.insert(name, Resource);
  return Resource;
}

void QTextBrowserWithNetwork::onDownloadFinished(const QUrl& Url, const QByteArray& Data)
{
  // The pool is shared: only what this browser asked for is kept.
  if (!m_ResourceCache.contains(Url))
    return;
  m_ResourceCache.insert(Url, Data);
  // Setting the document's own HTML again makes it look up every resource
  // anew, now finding the data.
  setHtml(toHtml());
  updateGeometry();
}

void QTextBrowserWithNetwork::onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code,
                                               const QString& ErrorString)
{
  if (!m_ResourceCache.contains(Url))
    return;
  // The location is fixed so that the log line stays the same across
  // releases.
  QMessageLogger("src/shared/qtextbrowserwithnetwork", 76,
                 "void shared::QTextBrowserWithNetwork::onDownloadFailed(const QUrl&, QNetworkReply::NetworkError, "
                 "const QString&)")
          .warning()
      << "Download failed:" << Url << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(Code)
      << ErrorString;
}

} // namespace shared
