#include "shared/downloadpool.h"

#include "shared/heap.h"

#include <QAbstractNetworkCache>
#include <QAuthenticator>
#include <QMetaType>
#include <QDir>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTemporaryFile>

#include <algorithm>
#include <utility>

namespace shared {

namespace {

void registerNetworkMetaTypes()
{
  qRegisterMetaType<QNetworkReply::NetworkError>();
  qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
  qRegisterMetaType<TReplyBody>("shared::TReplyBody");
}

// The end of the refusal of a body that is larger than its request allows.
QString tooLargeText(qint64 MaxBodyBytes)
{
  return QStringLiteral("is larger than the %1 bytes allowed").arg(MaxBodyBytes);
}

// Bytes a reply may hold before the network layer stops reading from the
// connection until they are taken out.
constexpr qint64 ReplyReadBufferBytes = 4 * 1024 * 1024;
// The most a body held in one QByteArray can have.
constexpr qint64 MaxInMemoryBodyBytes = (qint64(1) << 31) - 4096;

const char* const BodyCollectorName = "ashgroveBodyCollector";

// Takes a reply's body out as it arrives, so that the network layer, which
// holds at most ReplyReadBufferBytes, goes on reading, and refuses the reply
// as soon as it comes compressed or its body turns out larger than allowed.
// A body above the file threshold goes to a temporary file instead of
// memory. A child of the reply, found by its object name.
class TBodyCollector : public QObject
{
public:
  TBodyCollector(QNetworkReply* pReply, const TRequestOptions& Options)
    : QObject(pReply), m_pReply(pReply),
      m_MaxBodyBytes(std::max<qint64>(Options.maxBodyBytes, 0)),
      m_FileThreshold(Options.bodyFileThreshold < 0 ? MaxInMemoryBodyBytes
                                                    : std::min(Options.bodyFileThreshold, MaxInMemoryBodyBytes))
  {
    if (m_FileThreshold >= MaxInMemoryBodyBytes)
      m_MaxBodyBytes = std::min(m_MaxBodyBytes, MaxInMemoryBodyBytes);
    setObjectName(BodyCollectorName);
    pReply->setReadBufferSize(std::min(m_MaxBodyBytes + 1, ReplyReadBufferBytes));
    connect(pReply, &QNetworkReply::metaDataChanged, this, &TBodyCollector::checkHeaders);
    connect(pReply, &QNetworkReply::readyRead, this, &TBodyCollector::collect);
  }

  static TBodyCollector* of(const QNetworkReply* pReply)
  {
    return pReply ? static_cast<TBodyCollector*>(
                      pReply->findChild<QObject*>(BodyCollectorName, Qt::FindDirectChildrenOnly))
                  : nullptr;
  }

  QByteArray take()
  {
    collect();
    return std::move(m_Body);
  }

  TReplyBody takeContent()
  {
    collect();
    TReplyBody Body;
    Body.statusCode = m_pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    Body.contentType = m_pReply->rawHeader("Content-Type");
    Body.contentRange = m_pReply->rawHeader("Content-Range");
    Body.size = m_Received;
    if (m_pFile) {
      m_pFile->close();
      if (m_pFile->error() != QFileDevice::NoError)
        return Body;
      Body.file = std::move(m_pFile);
    } else {
      Body.data = std::move(m_Body);
    }
    return Body;
  }

  qint64 received() const { return m_Received; }
  const QString& refusal() const { return m_Refusal; }
  QNetworkReply::NetworkError refusalCode() const { return m_RefusalCode; }

  // Ends the reply as failed with Code and Reason (a time rule's verdict).
  void fail(QNetworkReply::NetworkError Code, const QString& Reason) { refuse(Reason, Code); }

private:
  void checkHeaders()
  {
    const QByteArray Encoding = m_pReply->rawHeader("Content-Encoding").trimmed().toLower();
    if (!Encoding.isEmpty() && Encoding != "identity") {
      refuse(QStringLiteral("Content-Encoding %1 was not asked for").arg(QString::fromLatin1(Encoding)));
      return;
    }
    bool Ok = false;
    const qint64 Declared = m_pReply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&Ok);
    if (Ok && Declared > m_MaxBodyBytes)
      refuse(QStringLiteral("Body of %1 bytes %2").arg(Declared).arg(tooLargeText(m_MaxBodyBytes)));
    else if (Ok && Declared > m_FileThreshold)
      openFile();
    else if (Ok && !m_pFile && Declared > m_Body.capacity()) {
      m_Body.reserve(int(Declared));
      adviseHugePages(m_Body.data(), std::size_t(m_Body.capacity()));
    }
  }

  void collect()
  {
    if (!m_Refusal.isEmpty())
      return;
    const qint64 Available = m_pReply->bytesAvailable();
    if (Available <= 0)
      return;
    if (m_Received + Available > m_MaxBodyBytes) {
      refuse(QStringLiteral("Body %1").arg(tooLargeText(m_MaxBodyBytes)));
      return;
    }
    if (!m_pFile && m_Received + Available > m_FileThreshold && !openFile())
      return;
    if (m_pFile) {
      appendToFile(Available);
    } else {
      // Read straight into the body (reserved by its Content-Length), not
      // through a block of its own that is then appended.
      const int Held = m_Body.size();
      m_Body.resize(Held + int(Available));
      const qint64 Read = m_pReply->read(m_Body.data() + Held, Available);
      m_Body.resize(Held + int(std::max<qint64>(Read, 0)));
    }
    m_Received += Available;
  }

  // Moves what is held so far into a new temporary file, where the rest
  // follows. Returns false when the reply was refused instead.
  bool openFile()
  {
    if (m_pFile)
      return true;
    auto pFile = std::make_shared<QTemporaryFile>(temporaryFileTemplate());
    if (!pFile->open() || pFile->write(m_Body) != m_Body.size()) {
      refuse(QStringLiteral("Body could not be written to a temporary file: %1").arg(pFile->errorString()));
      return false;
    }
    m_pFile = std::move(pFile);
    m_Body = QByteArray();
    return true;
  }

  void appendToFile(qint64 Available)
  {
    char Buffer[64 * 1024];
    for (qint64 Left = Available; Left > 0;) {
      const qint64 Read = m_pReply->read(Buffer, std::min<qint64>(Left, sizeof(Buffer)));
      if (Read <= 0 || m_pFile->write(Buffer, Read) != Read) {
        refuse(QStringLiteral("Body could not be written to a temporary file: %1").arg(m_pFile->errorString()));
        return;
      }
      Left -= Read;
    }
  }

  void refuse(const QString& Reason, QNetworkReply::NetworkError Code = QNetworkReply::UnknownContentError)
  {
    if (!m_pReply->isRunning())
      return;
    m_Refusal = Reason;
    m_RefusalCode = Code;
    m_Body = QByteArray();
    m_pFile.reset();
    m_pReply->abort();
  }

  QNetworkReply* m_pReply;
  qint64 m_MaxBodyBytes;
  qint64 m_FileThreshold;
  qint64 m_Received = 0;
  QByteArray m_Body;
  std::shared_ptr<QTemporaryFile> m_pFile;
  QString m_Refusal;
  QNetworkReply::NetworkError m_RefusalCode = QNetworkReply::UnknownContentError;
};

// The connection the network layer uses for Url: scheme, host and port.
QString serverOf(const QUrl& Url)
{
  return QStringLiteral("%1://%2:%3").arg(Url.scheme(), Url.host()).arg(Url.port(-1));
}

// Qt 5 sometimes finishes an HTTP reply without an error when the server
// resets the connection in the middle of the body, handing over only what
// arrived. A body shorter than its declared length is a failure (replies
// with a content encoding are refused before they get here, so the header
// describes the bytes received). Returns the error text, or an empty string.
QString cutOffBodyError(const QNetworkReply* pReply, qint64 Received)
{
  if (!pReply)
    return QString();
  const QString Scheme = pReply->url().scheme();
  if (Scheme != QLatin1String("http") && Scheme != QLatin1String("https"))
    return QString();
  const QVariant Length = pReply->header(QNetworkRequest::ContentLengthHeader);
  if (!Length.isValid())
    return QString();
  bool Ok = false;
  const qint64 Declared = Length.toLongLong(&Ok);
  if (!Ok || Received >= Declared)
    return QString();
  return QStringLiteral("Connection closed after %1 of %2 bytes of the body").arg(Received).arg(Declared);
}

} // namespace

bool isBodyTooLargeError(const QString& ErrorString)
{
  static const QRegularExpression Refusal("^Body (of \\d+ bytes )?is larger than the \\d+ bytes allowed$");
  return Refusal.match(ErrorString).hasMatch();
}

bool isRequestableUrl(const QUrl& Url)
{
  // Fully encoded, so that percent-encoded characters (a space as %20) stay
  // encoded for the strict parse.
  const QUrl Checked(Url.toString(QUrl::FullyEncoded), QUrl::StrictMode);
  return Checked.isValid() && !Checked.isRelative();
}

QNetworkRequest makeRequest(const QUrl& Url)
{
  QNetworkRequest Request(Url);
  Request.setRawHeader("Accept-Encoding", "identity");
  return Request;
}

QString temporaryFileTemplate()
{
  return QDir::temp().filePath(QStringLiteral("ashgrove-XXXXXX.tmp"));
}

void limitReplyBody(QNetworkReply* pReply, qint64 MaxBodyBytes)
{
  TRequestOptions Options;
  Options.maxBodyBytes = MaxBodyBytes;
  limitReplyBody(pReply, Options);
}

void limitReplyBody(QNetworkReply* pReply, const TRequestOptions& Options)
{
  if (pReply && !TBodyCollector::of(pReply))
    new TBodyCollector(pReply, Options);
}

QByteArray takeReplyBody(QNetworkReply* pReply)
{
  if (TBodyCollector* pCollector = TBodyCollector::of(pReply))
    return pCollector->take();
  return pReply ? pReply->readAll() : QByteArray();
}

TReplyBody takeReplyContent(QNetworkReply* pReply)
{
  if (TBodyCollector* pCollector = TBodyCollector::of(pReply))
    return pCollector->takeContent();
  TReplyBody Body;
  Body.data = takeReplyBody(pReply);
  Body.size = Body.data.size();
  return Body;
}

QNetworkReply::NetworkError replyError(const QNetworkReply* pReply)
{
  if (!pReply)
    return QNetworkReply::UnknownNetworkError;
  const TBodyCollector* pCollector = TBodyCollector::of(pReply);
  return pCollector && !pCollector->refusal().isEmpty() ? pCollector->refusalCode() : pReply->error();
}

QString replyErrorString(const QNetworkReply* pReply)
{
  if (!pReply)
    return QString();
  const TBodyCollector* pCollector = TBodyCollector::of(pReply);
  return pCollector && !pCollector->refusal().isEmpty() ? pCollector->refusal() : pReply->errorString();
}

// ---------------------------------------------------------------------------
// QNetworkAccessManagerWrapper

QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper(
  std::shared_ptr<QNetworkAccessManager> pManager, QObject* pParent)
  : QObject(pParent), m_pManager(std::move(pManager))
{
  registerNetworkMetaTypes();
}

QNetworkAccessManagerWrapper::~QNetworkAccessManagerWrapper() = default;

QNetworkReplyWrapper* QNetworkAccessManagerWrapper::get(const QNetworkRequest& Request)
{
  if (!m_pManager)
    return nullptr;
  return new QNetworkReplyWrapper(m_pManager->get(Request));
}

void QNetworkAccessManagerWrapper::setCache(QAbstractNetworkCache* pCache)
{
  if (m_pManager)
    m_pManager->setCache(pCache);
}

void QNetworkAccessManagerWrapper::setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy)
{
  if (m_pManager)
    m_pManager->setRedirectPolicy(Policy);
}

std::shared_ptr<QNetworkAccessManagerWrapper> makeNetworkAccessManagerWrapper()
{
  std::shared_ptr<QNetworkAccessManager> pManager(new QNetworkAccessManager,
                                                  [](QNetworkAccessManager* p) { p->deleteLater(); });
  auto pWrapper = std::make_shared<QNetworkAccessManagerWrapper>(pManager);
  QObject::connect(pManager.get(), &QNetworkAccessManager::authenticationRequired, pWrapper.get(),
                   &QNetworkAccessManagerWrapper::authenticationRequired);
  return pWrapper;
}

// ---------------------------------------------------------------------------
// QNetworkReplyWrapper

QNetworkReplyWrapper::QNetworkReplyWrapper(QNetworkReply* pReply)
  : QObject(pReply), m_pReply(pReply)
{
  registerNetworkMetaTypes();
  if (!pReply)
    return;
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
  connect(pReply, &QNetworkReply::errorOccurred, this, &QNetworkReplyWrapper::error);
#else
  connect(pReply, QOverload<QNetworkReply::NetworkError>::of(&QNetworkReply::error), this,
          &QNetworkReplyWrapper::error);
#endif
  connect(pReply, &QNetworkReply::finished, this, &QNetworkReplyWrapper::finished);
  connect(pReply, &QNetworkReply::downloadProgress, this,
          [this](qint64 BytesReceived, qint64) { emit progress(BytesReceived); });
}

QNetworkReplyWrapper::~QNetworkReplyWrapper()
{
  // While the reply itself is being destroyed (it deletes its children) the
  // guarded pointer is already null. Otherwise the wrapper goes first and
  // takes its reply along.
  if (m_pReply) {
    QObject::disconnect(m_pReply, nullptr, this, nullptr);
    m_pReply->deleteLater();
  }
}

QNetworkReply::NetworkError QNetworkReplyWrapper::networkError() const
{
  return replyError(m_pReply);
}

QString QNetworkReplyWrapper::errorString() const
{
  return replyErrorString(m_pReply);
}

QByteArray QNetworkReplyWrapper::readAll()
{
  return m_pReply ? takeReplyBody(m_pReply) : QByteArray();
}

QUrl QNetworkReplyWrapper::url() const
{
  return m_pReply ? m_pReply->request().url() : QUrl();
}

// ---------------------------------------------------------------------------
// TDownloadPool

TDownloadPool::TDownloadPool(int concurrencyLimit,
                             std::shared_ptr<QNetworkAccessManagerWrapper> manager,
                             bool releaseOnFinish)
  : m_pManager(std::move(manager)), m_ConcurrencyLimit(concurrencyLimit),
    m_ReleaseOnFinish(releaseOnFinish)
{
  registerNetworkMetaTypes();
  if (m_pManager)
    m_pManager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
  connect(&m_ClockTimer, &QTimer::timeout, this, &TDownloadPool::checkTransferClocks);
}

TDownloadPool::~TDownloadPool()
{
  for (QNetworkReplyWrapper* pReply : qAsConst(m_ActiveDownloads)) {
    if (!pReply)
      continue;
    QObject::disconnect(pReply, nullptr, this, nullptr);
    // Not deleted at once: this destructor may run inside one of the reply's
    // own signals.
    pReply->deleteLater();
  }
  const bool HeldSlots = !m_ActiveDownloads.isEmpty();
  m_ActiveDownloads.clear();
  if (HeldSlots)
    wakeSharingPools();
}

void TDownloadPool::download(const QUrl& url, qint64 MaxBodyBytes)
{
  TRequestOptions Options;
  Options.maxBodyBytes = MaxBodyBytes;
  download(url, Options);
}

void TDownloadPool::download(const QUrl& url, const TRequestOptions& Options)
{
  if (!isRequestableUrl(url)) {
    emit failed(url, QNetworkReply::ProtocolInvalidOperationError, QStringLiteral("Invalid URL"));
    return;
  }
  removeFromQueue(url);
  if (m_ActiveDownloads.contains(url))
    return;
  enqueue(url, Options, false);
  startQueuedDownloads();
}

void TDownloadPool::prioritize(const QUrl& url, qint64 MaxBodyBytes)
{
  TRequestOptions Options;
  Options.maxBodyBytes = MaxBodyBytes;
  prioritize(url, Options);
}

void TDownloadPool::prioritize(const QUrl& url, const TRequestOptions& Options)
{
  removeFromQueue(url);
  if (m_ActiveDownloads.contains(url))
    return;
  enqueue(url, Options, true);
  startQueuedDownloads();
}

void TDownloadPool::setConcurrencyLimit(int limit)
{
  m_ConcurrencyLimit = limit;
  if (limit > 0)
    startQueuedDownloads();
}

int TDownloadPool::concurrencyLimit() const
{
  return m_ConcurrencyLimit;
}

int TDownloadPool::activeDownloadCount() const
{
  return m_ActiveDownloads.size();
}

std::size_t TDownloadPool::outstandingDownloadCount() const
{
  return m_Queue.size() + std::size_t(m_ActiveDownloads.size());
}

void TDownloadPool::setCache(QAbstractNetworkCache* pCache)
{
  if (m_pManager)
    m_pManager->setCache(pCache);
}

void TDownloadPool::releaseUrl(const QUrl& url)
{
  if (m_ActiveDownloads.remove(url) > 0)
    onSlotFreed();
}

void TDownloadPool::shareLimitWith(TDownloadPool& Other)
{
  if (!m_pLimitGroup)
    m_pLimitGroup = std::make_shared<TLimitGroup>(TLimitGroup{{this}});
  if (Other.m_pLimitGroup == m_pLimitGroup)
    return;
  std::vector<QPointer<TDownloadPool>> Joining{&Other};
  if (Other.m_pLimitGroup)
    Joining = Other.m_pLimitGroup->pools;
  auto& Pools = m_pLimitGroup->pools;
  Pools.erase(std::remove(Pools.begin(), Pools.end(), nullptr), Pools.end());
  for (const QPointer<TDownloadPool>& Pool : Joining) {
    if (!Pool)
      continue;
    Pool->m_pLimitGroup = m_pLimitGroup;
    Pools.push_back(Pool);
  }
}

int TDownloadPool::sharedActiveCount() const
{
  if (!m_pLimitGroup)
    return activeDownloadCount();
  int Count = 0;
  for (const QPointer<TDownloadPool>& Pool : m_pLimitGroup->pools) {
    if (Pool)
      Count += Pool->activeDownloadCount();
  }
  return Count;
}

void TDownloadPool::onSlotFreed()
{
  wakeSharingPools();
  startQueuedDownloads();
}

void TDownloadPool::wakeSharingPools()
{
  if (!m_pLimitGroup)
    return;
  for (const QPointer<TDownloadPool>& Pool : m_pLimitGroup->pools) {
    if (Pool && Pool != this) {
      QMetaObject::invokeMethod(
          Pool.data(), [Pool] {
            if (Pool)
              Pool->startQueuedDownloads();
          },
          Qt::QueuedConnection);
    }
  }
}

void TDownloadPool::enqueue(const QUrl& Url, const TRequestOptions& Options, bool First)
{
  TQueuedRequest Request{Url, Options, serverOf(Url)};
  m_QueuedUrls.insert(Url);
  ++m_QueuedPerServer[Request.server];
  if (First)
    m_Queue.push_front(std::move(Request));
  else
    m_Queue.push_back(std::move(Request));
}

void TDownloadPool::eraseQueued(std::deque<TQueuedRequest>::iterator Queued)
{
  m_QueuedUrls.remove(Queued->url);
  auto Count = m_QueuedPerServer.find(Queued->server);
  if (Count != m_QueuedPerServer.end() && --Count.value() <= 0)
    m_QueuedPerServer.erase(Count);
  m_Queue.erase(Queued);
}

void TDownloadPool::removeFromQueue(const QUrl& Url)
{
  if (!m_QueuedUrls.contains(Url))
    return;
  const auto Found =
    std::find_if(m_Queue.begin(), m_Queue.end(), [&Url](const TQueuedRequest& Queued) { return Queued.url == Url; });
  if (Found != m_Queue.end())
    eraseQueued(Found);
}

bool TDownloadPool::isCurrentReply(const QUrl& Url, const QNetworkReplyWrapper* pReply) const
{
  const auto Found = m_ActiveDownloads.constFind(Url);
  return Found != m_ActiveDownloads.constEnd() && Found.value() == pReply;
}

std::deque<TDownloadPool::TQueuedRequest>::iterator TDownloadPool::nextStartableRequest()
{
  QHash<QString, int> Running;
  for (auto Active = m_ActiveDownloads.constBegin(); Active != m_ActiveDownloads.constEnd(); ++Active) {
    if (Active.value())
      ++Running[serverOf(Active.key())];
  }
  const auto Free = [&Running](const QString& Server) { return Running.value(Server) < MaxRequestsPerServer; };
  const QList<QString> Servers = m_QueuedPerServer.keys();
  if (std::none_of(Servers.begin(), Servers.end(), Free))
    return m_Queue.end();
  return std::find_if(m_Queue.begin(), m_Queue.end(),
                      [&Free](const TQueuedRequest& Queued) { return Free(Queued.server); });
}

void TDownloadPool::startQueuedDownloads()
{
  const QPointer<TDownloadPool> Self(this);
  while (!m_Queue.empty() && sharedActiveCount() < concurrencyLimit()) {
    const auto Startable = nextStartableRequest();
    if (Startable == m_Queue.end())
      break;
    const TQueuedRequest Next = *Startable;
    const QUrl Url = Next.url;
    eraseQueued(Startable);
    QNetworkRequest Request = makeRequest(Url);
    for (const auto& Header : Next.options.headers)
      Request.setRawHeader(Header.first, Header.second);
    if (m_TransferTimeoutMs > 0)
      Request.setTransferTimeout(m_TransferTimeoutMs);
    QNetworkReplyWrapper* pReply = m_pManager ? m_pManager->get(Request) : nullptr;
    if (!Self)
      return;
    if (!pReply) {
      emit failed(Url, QNetworkReply::UnknownNetworkError,
                  QStringLiteral("The request could not be started"));
      if (!Self)
        return;
      continue;
    }
    limitReplyBody(pReply->reply(), Next.options);
    connect(pReply, &QNetworkReplyWrapper::finished, this,
            [this, Url, pReply] { onReplyFinished(Url, pReply); }, Qt::DirectConnection);
    connect(pReply, &QNetworkReplyWrapper::error, this,
            [this, Url, pReply](QNetworkReply::NetworkError) { onReplyError(Url, pReply); },
            Qt::DirectConnection);
    connect(pReply, &QNetworkReplyWrapper::progress, this,
            [this, Url, pReply](qlonglong Bytes) { onReplyProgress(Url, pReply, Bytes); },
            Qt::DirectConnection);
    connect(pReply, &QObject::destroyed, this, [this, Url, pReply] { onReplyDestroyed(Url, pReply); },
            Qt::DirectConnection);
    m_ActiveDownloads.insert(Url, pReply);
    TTransferClock Clock;
    Clock.started.start();
    Clock.document = Next.options.document;
    Clock.samples.emplace_back(0, 0);
    m_Clocks.insert(pReply, Clock);
  }
  if (!m_Clocks.isEmpty() && !m_ClockTimer.isActive()) {
    // A quarter of the low-speed window, at most a second apart.
    m_ClockTimer.start(std::clamp(m_Limits.lowSpeedSeconds * 250, 100, 1000));
  }
}

QString TDownloadPool::transferTimeExceeded(TTransferClock& Clock) const
{
  const qint64 Now = Clock.started.elapsed();
  Clock.samples.emplace_back(Now, Clock.received);
  const qint64 Window = qint64(m_Limits.lowSpeedSeconds) * 1000;
  // The front sample is the last one taken at least a window ago.
  while (Clock.samples.size() >= 2 && Clock.samples[1].first <= Now - Window)
    Clock.samples.pop_front();
  if (Window > 0 && m_Limits.lowSpeedBytesPerSecond > 0 && Now >= Window &&
      Clock.received - Clock.samples.front().second < m_Limits.lowSpeedBytesPerSecond * m_Limits.lowSpeedSeconds)
    return QStringLiteral("Transfer slower than %1 bytes/s for %2 s")
        .arg(m_Limits.lowSpeedBytesPerSecond)
        .arg(m_Limits.lowSpeedSeconds);
  if (Clock.document && m_Limits.documentSeconds > 0 && m_Limits.documentBytesPerSecond > 0 &&
      Now > qint64(m_Limits.documentSeconds) * 1000 + Clock.received * 1000 / m_Limits.documentBytesPerSecond)
    return QStringLiteral("Document not received in time: %1 bytes in %2 s (allowed: %3 s, and a second more for "
                          "every %4 bytes received)")
        .arg(Clock.received)
        .arg(Now / 1000)
        .arg(m_Limits.documentSeconds)
        .arg(m_Limits.documentBytesPerSecond);
  return QString();
}

void TDownloadPool::checkTransferClocks()
{
  // Clocks of replies that are no longer running go; the others are judged.
  QList<std::pair<QNetworkReplyWrapper*, QString>> Exceeded;
  QHash<const QNetworkReplyWrapper*, TTransferClock> Running;
  for (QNetworkReplyWrapper* pReply : qAsConst(m_ActiveDownloads)) {
    const auto Clock = m_Clocks.find(pReply);
    if (!pReply || Clock == m_Clocks.end())
      continue;
    const QString Reason = transferTimeExceeded(*Clock);
    if (!Reason.isEmpty())
      Exceeded.append({pReply, Reason});
    Running.insert(pReply, *Clock);
  }
  m_Clocks = std::move(Running);
  if (m_Clocks.isEmpty())
    m_ClockTimer.stop();
  // Failing a reply reports it at once, which may change the active set.
  const QPointer<TDownloadPool> Self(this);
  for (const auto& [pReply, Reason] : Exceeded) {
    if (!Self)
      return;
    if (m_Clocks.remove(pReply) == 0)
      continue;  // ended meanwhile
    if (TBodyCollector* pCollector = TBodyCollector::of(pReply->reply()))
      pCollector->fail(QNetworkReply::TimeoutError, Reason);
  }
}

void TDownloadPool::onReplyProgress(const QUrl& Url, QNetworkReplyWrapper* pReply, qlonglong Bytes)
{
  if (!isCurrentReply(Url, pReply))
    return;
  const auto Clock = m_Clocks.find(pReply);
  if (Clock != m_Clocks.end())
    Clock->received = std::max<qint64>(Clock->received, Bytes);
  emit progress(Url, Bytes);
}

void TDownloadPool::onReplyError(const QUrl& Url, QNetworkReplyWrapper* pReply)
{
  if (!isCurrentReply(Url, pReply))
    return;
  // The reply goes on to emit finished; clearing or removing the entry here
  // makes that second signal find nothing, so the failure is reported once.
  if (m_ReleaseOnFinish)
    m_ActiveDownloads.remove(Url);
  else
    m_ActiveDownloads[Url] = nullptr;
  const QPointer<TDownloadPool> Self(this);
  emit failed(Url, pReply->networkError(), pReply->errorString());
  if (Self && m_ReleaseOnFinish)
    onSlotFreed();
}

void TDownloadPool::onReplyFinished(const QUrl& Url, QNetworkReplyWrapper* pReply)
{
  // Every finished reply goes, reported here or not.
  pReply->deleteLater();
  if (!isCurrentReply(Url, pReply))
    return;
  if (m_ReleaseOnFinish)
    m_ActiveDownloads.remove(Url);
  else
    m_ActiveDownloads[Url] = nullptr;
  const QPointer<TDownloadPool> Self(this);
  if (pReply->networkError() != QNetworkReply::NoError) {
    emit failed(Url, pReply->networkError(), pReply->errorString());
  } else {
    reportBody(Url, pReply);
  }
  if (Self && m_ReleaseOnFinish)
    onSlotFreed();
}

void TDownloadPool::reportBody(const QUrl& Url, QNetworkReplyWrapper* pReply)
{
  const TReplyBody Body = takeReplyContent(pReply->reply());
  const QString CutOff = cutOffBodyError(pReply->reply(), Body.size);
  if (!CutOff.isEmpty()) {
    emit failed(Url, QNetworkReply::RemoteHostClosedError, CutOff);
    return;
  }
  if (Body.size > 0 && Body.data.isEmpty() && !Body.inFile()) {
    emit failed(Url, QNetworkReply::UnknownContentError, QStringLiteral("Body could not be written to a temporary file"));
    return;
  }
  const QPointer<TDownloadPool> Self(this);
  emit delivered(Url, Body);
  if (Self && !Body.inFile())
    emit success(Url, Body.data);
}

void TDownloadPool::onReplyDestroyed(const QUrl& Url, QNetworkReplyWrapper* pReply)
{
  // Only a reply deleted by someone else before it finished is still the
  // current request of its URL. Its slot must not stay taken for ever, and its
  // user must hear about it; the report is posted, since this runs inside the
  // deletion (possibly of the whole network access manager).
  if (!isCurrentReply(Url, pReply))
    return;
  if (m_ReleaseOnFinish)
    m_ActiveDownloads.remove(Url);
  else
    m_ActiveDownloads[Url] = nullptr;
  QMetaObject::invokeMethod(
    this,
    [this, Url] {
      const QPointer<TDownloadPool> Self(this);
      emit failed(Url, QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
      if (Self && m_ReleaseOnFinish)
        onSlotFreed();
    },
    Qt::QueuedConnection);
}

} // namespace shared
