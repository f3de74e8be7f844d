#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <cstddef>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

class QAbstractNetworkCache;
class QTemporaryFile;
class QAuthenticator;
class QNetworkAccessManager;

namespace shared {

class QNetworkReplyWrapper;

// The most bytes the body of a document may have: the configuration, package
// and asset descriptions, the hints, the CDN trace, the hint browser's
// resources and the replies of the survey and funnel uploads. Real ones are
// far smaller; a larger reply is a failed download.
constexpr qint64 MaxDocumentBytes = 16 * 1024 * 1024;

// How one request is made and where its body is held.
struct TRequestOptions
{
  // The most body bytes the reply may bring.
  qint64 maxBodyBytes = MaxDocumentBytes;
  // A body larger than this goes to a temporary file as it arrives instead
  // of memory (decided by its Content-Length, or once the bytes received pass
  // it); below 0 every body stays in memory.
  qint64 bodyFileThreshold = -1;
  // Request headers beyond those every request has (a Range, for example).
  QList<std::pair<QByteArray, QByteArray>> headers;
  // A document (configuration, description, signature, index, hints) has an
  // overall deadline besides the low-speed rule (TTransferLimits); package
  // data (chunk files and their ranges) only the low-speed rule.
  bool document = true;
};

// When a transfer has taken too long; 0 turns a rule off. The low-speed
// rule (as curl's --speed-limit and --speed-time): a request that has run
// for lowSpeedSeconds and received fewer than lowSpeedBytesPerSecond x
// lowSpeedSeconds bytes in the last lowSpeedSeconds fails, from its start
// on (a server that accepts and never answers included). The document
// deadline: a document fails once it has taken longer than
// documentSeconds plus the bytes it has received at documentBytesPerSecond,
// so that it must arrive at that rate on average after its first
// documentSeconds, whatever its size. Both count as failed downloads
// (TimeoutError) with the reason.
struct TTransferLimits
{
  qint64 lowSpeedBytesPerSecond = 1024;
  int lowSpeedSeconds = 30;
  int documentSeconds = 60;
  qint64 documentBytesPerSecond = 65536;
};

// A reply's body with what its user needs to interpret it: the HTTP status
// (200, or 206 for ranges; 0 for other schemes) and the headers that
// describe the body. The body is either in memory (data) or in a closed
// temporary file, removed when the last copy of this value goes.
struct TReplyBody
{
  int statusCode = 0;
  QByteArray contentType;
  QByteArray contentRange;
  QByteArray data;
  std::shared_ptr<QTemporaryFile> file;
  qint64 size = 0;

  bool inFile() const { return bool(file); }
};

// Whether a request can be made for Url: it parses strictly (in its fully
// encoded form) and is absolute. The download pool refuses every other URL.
bool isRequestableUrl(const QUrl& Url);
// Whether a failure's text is the pool's refusal of a body larger than its
// request allowed.
bool isBodyTooLargeError(const QString& ErrorString);

// A request for Url as this program makes every request: it asks for the
// body as it is stored ("Accept-Encoding: identity"), so that the network
// layer never inflates a body behind our back.
QNetworkRequest makeRequest(const QUrl& Url);

// The prefix of the temporary files that hold bodies and chunk data.
QString temporaryFileTemplate();

// Holds the reply to at most MaxBodyBytes of body. The body is taken out of
// the reply as it arrives (the network layer holds only a few MiB of it at
// a time and waits until they are taken), and the reply is aborted as soon
// as its headers or its bytes show that it comes compressed (a
// Content-Encoding other than identity) or that its body is larger (by its
// Content-Length, or by the bytes received so far); it then fails with
// UnknownContentError and the reason (replyError, replyErrorString). Read
// the body with takeReplyBody, not from the reply.
void limitReplyBody(QNetworkReply* pReply, qint64 MaxBodyBytes);
// The same with a body file threshold (TRequestOptions): a body above it is
// written to a temporary file as it arrives; one that cannot be written
// fails the reply like a refusal.
void limitReplyBody(QNetworkReply* pReply, const TRequestOptions& Options);
// The body received so far, taken out: all of it once the reply finished
// (empty when it went to a file).
QByteArray takeReplyBody(QNetworkReply* pReply);
// The finished reply's body, in memory or in its file, with its status and
// headers.
TReplyBody takeReplyContent(QNetworkReply* pReply);
// The reply's error and its text, a refusal of limitReplyBody included.
QNetworkReply::NetworkError replyError(const QNetworkReply* pReply);
QString replyErrorString(const QNetworkReply* pReply);

// Thin, overridable front of a QNetworkAccessManager. Whoever creates one
// connects the manager's authenticationRequired signal to the wrapper's signal
// of the same name (makeNetworkAccessManagerWrapper does all of that).
class QNetworkAccessManagerWrapper : public QObject
{
  Q_OBJECT

public:
  explicit QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> pManager,
                                        QObject* pParent = nullptr);
  ~QNetworkAccessManagerWrapper() override;

  // Starts a GET and wraps its reply in a new QNetworkReplyWrapper whose Qt
  // parent is the reply.
  virtual QNetworkReplyWrapper* get(const QNetworkRequest& Request);
  virtual void setCache(QAbstractNetworkCache* pCache);
  virtual void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy);

  const std::shared_ptr<QNetworkAccessManager>& manager() const { return m_pManager; }

signals:
  void authenticationRequired(QNetworkReply* pReply, QAuthenticator* pAuthenticator);

private:
  std::shared_ptr<QNetworkAccessManager> m_pManager;
};

// A new QNetworkAccessManager with its wrapper, the authenticationRequired
// signal forwarded. The manager is deleted with deleteLater() when its last
// owner lets go, so that dropping the last owner from inside one of its
// replies' signals does not delete the reply that is emitting.
std::shared_ptr<QNetworkAccessManagerWrapper> makeNetworkAccessManagerWrapper();

// Thin, overridable front of one QNetworkReply. The wrapper is a child of the
// reply, so deleting the reply deletes the wrapper; deleting the wrapper
// schedules the deletion of its reply (a reply still running is aborted
// then), so that finished replies do not pile up under the manager.
class QNetworkReplyWrapper : public QObject
{
  Q_OBJECT

public:
  // With a non-null reply: becomes its child and forwards its error, finished
  // and downloadProgress (bytes received only) signals.
  explicit QNetworkReplyWrapper(QNetworkReply* pReply);
  ~QNetworkReplyWrapper() override;

  virtual QNetworkReply::NetworkError networkError() const;
  virtual QString errorString() const;
  // The whole body received so far (takeReplyBody).
  virtual QByteArray readAll();
  // The URL of the request as it was sent, not the one reached by redirects.
  virtual QUrl url() const;

  // The wrapped reply; null once it is gone.
  QNetworkReply* reply() const { return m_pReply.data(); }

signals:
  void error(QNetworkReply::NetworkError code);
  void finished();
  void progress(qlonglong BytesReceivedFromRequest);

private:
  QPointer<QNetworkReply> m_pReply;
};

// Answers authentication requests from a table of credentials. Nothing fills
// or connects it at the moment, so requests that need authentication fail with
// the error the network layer reports for them.
class TNetworkAccessManagerAuthenticationHandler : public QObject
{
  Q_OBJECT

public:
  TNetworkAccessManagerAuthenticationHandler() = default;

private:
  QMap<QString, QString> m_Credentials;
};

// Runs HTTP(S) GET requests, at most concurrencyLimit() at a time, for URLs
// taken first-in-first-out from a queue, and reports each URL's outcome through
// success, failed and progress. No retries: those belong to the users. Lives
// on one thread; replies report through its event loop.
//
// Every request is made with makeRequest and held to its body limit by
// limitReplyBody: a reply that comes compressed or brings more than the
// limit fails with UnknownContentError and the reason.
//
// A URL is idle, queued (at most once) or active. With releaseOnFinish a URL
// leaves the active set by itself when its request ends; without it, it stays
// active (and keeps its place in the limit) until releaseUrl(url).
//
// Every request is reported exactly once (one success or one failed), also
// when the same URL is asked for again while an earlier reply of it is still
// winding down: reports of replies that are no longer the URL's current
// request are dropped.
class TDownloadPool : public QObject
{
  Q_OBJECT

public:
  TDownloadPool(int concurrencyLimit, std::shared_ptr<QNetworkAccessManagerWrapper> manager,
                bool releaseOnFinish);
  // Requests still running are abandoned: their replies are deleted (and so
  // aborted) and nothing is reported for them.
  ~TDownloadPool() override;

  // Queues the URL at the back (moving it there, with the new limit, when it
  // is queued already); an active URL is left alone. MaxBodyBytes is the most
  // body bytes its reply may bring. URLs that are not requestable
  // (isRequestableUrl) are refused at once with
  // failed(url, ProtocolInvalidOperationError, "Invalid URL").
  virtual void download(const QUrl& url, qint64 MaxBodyBytes = MaxDocumentBytes);
  // The same with every option of the request.
  void download(const QUrl& url, const TRequestOptions& Options);
  // Queues the URL at the front (moving it there when queued); an active URL
  // is left alone.
  virtual void prioritize(const QUrl& url, qint64 MaxBodyBytes = MaxDocumentBytes);
  void prioritize(const QUrl& url, const TRequestOptions& Options);
  // Values above 0 start queued downloads at once; 0 or less holds the queue.
  virtual void setConcurrencyLimit(int limit);
  virtual int concurrencyLimit() const;
  virtual int activeDownloadCount() const;
  // Queued plus active URLs.
  virtual std::size_t outstandingDownloadCount() const;
  virtual void setCache(QAbstractNetworkCache* pCache);
  // Removes the URL from the active set; when it was there, starts queued
  // downloads. A request that is still running goes on, but is not reported.
  virtual void releaseUrl(const QUrl& url);

  bool releaseOnFinish() const { return m_ReleaseOnFinish; }

  // From now on the active URLs of this pool, of Other and of the pools
  // either already shares with count together against each pool's limit:
  // pools that serve one job through network managers of their own stay
  // within one limit of connections. All of them live on one thread.
  void shareLimitWith(TDownloadPool& Other);

  // A request during which no byte moves for this long is aborted and
  // reported as failed(url, OperationCanceledError, ...), so that a stalled
  // server cannot hold a download (and its slot) for ever; a slow but
  // steady transfer is not affected. 0 turns the limit off.
  static constexpr int DefaultTransferTimeoutMs = 60000;
  void setTransferTimeout(int Milliseconds) { m_TransferTimeoutMs = Milliseconds; }
  int transferTimeout() const { return m_TransferTimeoutMs; }

  // The rules that end slow transfers; the defaults of TTransferLimits
  // until set. They apply to requests started afterwards.
  void setTransferLimits(const TTransferLimits& Limits) { m_Limits = Limits; }
  const TTransferLimits& transferLimits() const { return m_Limits; }

  // The network layer opens at most this many connections to one server
  // (HTTP/1.1) and queues further requests unseen. The pool starts no more
  // requests to one server at once, so that every request it has started is
  // on the wire and the time rules measure the server, not the queue.
  static constexpr int MaxRequestsPerServer = 6;

signals:
  // Every successful request: delivered with the whole reply, then success
  // with the body when it is held in memory.
  void delivered(const QUrl& url, const shared::TReplyBody& Body);
  void success(const QUrl& url, const QByteArray& data);
  void failed(const QUrl& url, QNetworkReply::NetworkError code, const QString& errorString);
  void progress(const QUrl& Url, qlonglong BytesReceivedFromRequest);

private:
  struct TQueuedRequest
  {
    QUrl url;
    TRequestOptions options;
    QString server;  // scheme, host and port
  };

  // What the time rules know of one running request.
  struct TTransferClock
  {
    QElapsedTimer started;
    bool document = true;
    qint64 received = 0;
    std::deque<std::pair<qint64, qint64>> samples;  // (milliseconds since the start, bytes received)
  };

  // The pools that share a limit, this one among them; destroyed ones are
  // null.
  struct TLimitGroup
  {
    std::vector<QPointer<TDownloadPool>> pools;
  };

  void startQueuedDownloads();
  // The first queued request whose server has a connection to spare, or
  // the end of the queue.
  std::deque<TQueuedRequest>::iterator nextStartableRequest();
  // Applies the time rules to every running request.
  void checkTransferClocks();
  // Why the request has taken too long; empty while it has not.
  QString transferTimeExceeded(TTransferClock& Clock) const;
  // Active URLs of this pool and of the pools it shares its limit with.
  int sharedActiveCount() const;
  // A slot became free: starts queued downloads here and in the pools
  // sharing the limit.
  void onSlotFreed();
  // Posts the start of queued downloads to the other pools sharing the
  // limit, so that no report of theirs runs inside one of ours.
  void wakeSharingPools();
  void enqueue(const QUrl& Url, const TRequestOptions& Options, bool First);
  void removeFromQueue(const QUrl& Url);
  void eraseQueued(std::deque<TQueuedRequest>::iterator Queued);
  // True when the reply is the URL's current request.
  bool isCurrentReply(const QUrl& Url, const QNetworkReplyWrapper* pReply) const;
  void onReplyProgress(const QUrl& Url, QNetworkReplyWrapper* pReply, qlonglong Bytes);
  void onReplyError(const QUrl& Url, QNetworkReplyWrapper* pReply);
  void onReplyFinished(const QUrl& Url, QNetworkReplyWrapper* pReply);
  // Reports a finished reply's body: delivered and success, or failed when
  // the connection cut it off.
  void reportBody(const QUrl& Url, QNetworkReplyWrapper* pReply);
  void onReplyDestroyed(const QUrl& Url, QNetworkReplyWrapper* pReply);

  std::shared_ptr<QNetworkAccessManagerWrapper> m_pManager;
  // Active URLs and their current request. The value is null for a request
  // that has been reported but whose URL is held until releaseUrl (pools
  // without releaseOnFinish); the wrapper itself is deleted by then.
  QMap<QUrl, QNetworkReplyWrapper*> m_ActiveDownloads;
  int m_ConcurrencyLimit = 0;
  std::deque<TQueuedRequest> m_Queue;
  // What the queue holds, by URL and by server: with tens of thousands of
  // requests queued, neither a new request nor a freed slot scans it.
  QSet<QUrl> m_QueuedUrls;
  QHash<QString, int> m_QueuedPerServer;
  std::shared_ptr<TLimitGroup> m_pLimitGroup;  // null while the limit is this pool's own
  TNetworkAccessManagerAuthenticationHandler m_AuthenticationHandler;
  bool m_ReleaseOnFinish = true;
  int m_TransferTimeoutMs = DefaultTransferTimeoutMs;
  TTransferLimits m_Limits;
  QHash<const QNetworkReplyWrapper*, TTransferClock> m_Clocks;
  QTimer m_ClockTimer;
};

} // namespace shared

Q_DECLARE_METATYPE(shared::TReplyBody)
