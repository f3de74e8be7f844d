#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace shared {
class TDownloadPool;
}

namespace orvale::launcher {

// The four values of a CDN trace page that the download-failure dialog shows.
struct TCdnTraceValues
{
  QString fl;
  QString ts;
  QString colo;
  QString ip;
};

// Reads "key=value" lines (separated by line feeds) up to the first NUL byte.
// Keys are matched without regard to case, values are trimmed, the last
// occurrence of a key wins; lines that do not split into exactly one key and
// one value at "=" are ignored, as are all other keys. Missing keys stay
// empty.
TCdnTraceValues parseCdnTrace(const QByteArray& Data);

// Fetches the CDN's plain-text trace page on demand through the download pool
// and keeps its values for the download-failure dialog. An empty or invalid
// trace URL fails at once, without network traffic.
class TCloudflareCdnTrace : public QObject
{
  Q_OBJECT

public:
  // Connects itself to the pool's success and failed signals.
  TCloudflareCdnTrace(const QUrl& TraceUrl, std::shared_ptr<shared::TDownloadPool> pDownloadPool,
                      QObject* pParent = nullptr);

  // Starts an attempt; diagnosticsTraceReceived reports its end.
  void requestTrace();

  const QUrl& traceUrl() const { return m_TraceUrl; }
  const QString& fl() const { return m_Fl; }
  const QString& ts() const { return m_Ts; }
  const QString& colo() const { return m_Colo; }
  const QString& ip() const { return m_Ip; }
  bool received() const { return m_Received; }
  bool failed() const { return m_Failed; }
  bool inProgress() const { return m_InProgress; }

signals:
  void diagnosticsTraceReceived(bool Failed);

public slots:
  void onDownloadSuccess(QUrl Url, QByteArray Data);
  void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);

private:
  QUrl m_TraceUrl;
  std::shared_ptr<shared::TDownloadPool> m_pDownloadPool;
  QString m_Fl;
  QString m_Ts;
  QString m_Colo;
  QString m_Ip;
  bool m_Received = false;
  bool m_Failed = false;
  bool m_InProgress = false;
};

} // namespace orvale::launcher
