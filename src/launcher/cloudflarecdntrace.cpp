// Fetching and reading the CDN trace page shown after download failures.

#include "launcher/cloudflarecdntrace.h"

#include "shared/downloadpool.h"

namespace orvale::launcher {

TCdnTraceValues parseCdnTrace(const QByteArray& Data)
{
  const int End = Data.indexOf('\0');
  const QString Text = QString::fromUtf8(End < 0 ? Data : Data.left(End));
  TCdnTraceValues Values;
  for (const QString& Line : Text.split('\n', Qt::SkipEmptyParts)) {
    const QStringList Pieces = Line.split('=', Qt::SkipEmptyParts);
    if (Pieces.size() != 2)
      continue;
    const QString& Key = Pieces[0];
    const QString Value = Pieces[1].trimmed();
    if (Key.compare(QLatin1String("fl"), Qt::CaseInsensitive) == 0)
      Values.fl = Value;
    else if (Key.compare(QLatin1String("ts"), Qt::CaseInsensitive) == 0)
      Values.ts = Value;
    else if (Key.compare(QLatin1String("colo"), Qt::CaseInsensitive) == 0)
      Values.colo = Value;
    else if (Key.compare(QLatin1String("ip"), Qt::CaseInsensitive) == 0)
      Values.ip = Value;
  }
  return Values;
}

TCloudflareCdnTrace::TCloudflareCdnTrace(const QUrl& TraceUrl,
                                         std::shared_ptr<shared::TDownloadPool> pDownloadPool,
                                         QObject* pParent)
  : QObject(pParent), m_TraceUrl(TraceUrl), m_pDownloadPool(std::move(pDownloadPool))
{
  if (m_pDownloadPool) {
    connect(m_pDownloadPool.get(), &shared::TDownloadPool::success, this,
            &TCloudflareCdnTrace::onDownloadSuccess);
    connect(m_pDownloadPool.get(), &shared::TDownloadPool::failed, this,
            &TCloudflareCdnTrace::onDownloadFailed);
  }
}

void TCloudflareCdnTrace::requestTrace()
{
  if (m_TraceUrl.isValid() && m_pDownloadPool) {
    // The flags are set first: the pool may report a refused URL at once.
    m_Failed = false;
    m_InProgress = true;
    m_pDownloadPool->download(m_TraceUrl);
    return;
  }
  m_Failed = true;
  m_InProgress = false;
  emit diagnosticsTraceReceived(true);
}

void TCloudflareCdnTrace::onDownloadSuccess(QUrl Url, QByteArray Data)
{
  if (Url != m_TraceUrl)
    return;
  const TCdnTraceValues Values = parseCdnTrace(Data);
  m_Fl = Values.fl;
  m_Ts = Values.ts;
  m_Colo = Values.colo;
  m_Ip = Values.ip;
  m_Received = true;
  m_Failed = false;
  m_InProgress = false;
  emit diagnosticsTraceReceived(false);
}

void TCloudflareCdnTrace::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                           QString ErrorString)
{
  Q_UNUSED(Code)
  Q_UNUSED(ErrorString)
  if (Url != m_TraceUrl)
    return;
  m_InProgress = false;
  m_Received = false;
  m_Failed = true;
  emit diagnosticsTraceReceived(true);
}

} // namespace orvale::launcher
