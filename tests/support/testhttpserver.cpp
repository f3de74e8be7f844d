#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QProcess>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

namespace testsupport {

namespace {

QString normalisedPath(const QString& Path)
{
  if (Path == QLatin1String("*") || Path.startsWith('/'))
    return Path;
  return '/' + Path;
}

QByteArray reasonPhrase(int Status)
{
  switch (Status) {
  case 200: return "OK";
  case 301: return "Moved Permanently";
  case 302: return "Found";
  case 303: return "See Other";
  case 307: return "Temporary Redirect";
  case 308: return "Permanent Redirect";
  case 400: return "Bad Request";
  case 401: return "Unauthorized";
  case 403: return "Forbidden";
  case 404: return "Not Found";
  case 405: return "Method Not Allowed";
  case 500: return "Internal Server Error";
  case 502: return "Bad Gateway";
  case 503: return "Service Unavailable";
  default: return "Status";
  }
}

} // namespace

// Everything the test thread and the server thread share, behind one mutex.
class TTestHttpServer::TState
{
public:
  struct TBody
  {
    QByteArray data;
    QByteArray contentType;
    QByteArray contentEncoding;
  };

  struct TPathStatistics
  {
    int requests = 0;
    qint64 bodyBytes = 0;
  };

  mutable QMutex mutex;
  QString rootDirectory;
  QMap<QString, TBody> bodies;
  QMap<QString, TFault> faults;
  QMap<QString, TPathStatistics> statistics;
  QList<TRecordedRequest> recorded;
  int activeRequests = 0;
  int maximumActiveRequests = 0;

  // Registers a request and hands out the fault that applies to it.
  TFault beginRequest(const TRecordedRequest& Request)
  {
    QMutexLocker Lock(&mutex);
    recorded.append(Request);
    ++statistics[Request.path].requests;
    ++activeRequests;
    maximumActiveRequests = std::max(maximumActiveRequests, activeRequests);
    auto Found = faults.find(Request.path);
    if (Found == faults.end())
      Found = faults.find(QStringLiteral("*"));
    if (Found == faults.end() || Found->remaining == 0)
      return TFault();
    if (Found->remaining > 0)
      --Found->remaining;
    return *Found;
  }

  void endRequest()
  {
    QMutexLocker Lock(&mutex);
    --activeRequests;
  }

  void addBodyBytes(const QString& Path, qint64 Bytes)
  {
    QMutexLocker Lock(&mutex);
    statistics[Path].bodyBytes += Bytes;
  }

  // Status, content type, encoding and body for a request without a fault.
  void content(const QString& Path, int& Status, QByteArray& ContentType, QByteArray& ContentEncoding,
               QByteArray& Body) const
  {
    QString Root;
    {
      QMutexLocker Lock(&mutex);
      const auto Found = bodies.constFind(Path);
      if (Found != bodies.constEnd()) {
        Status = 200;
        ContentType = Found->contentType;
        ContentEncoding = Found->contentEncoding;
        Body = Found->data;
        return;
      }
      Root = rootDirectory;
    }
    ContentType = "text/plain";
    if (Root.isEmpty()) {
      Status = 404;
      Body = "404 Not Found\n";
      return;
    }
    if (Path.split('/').contains(QStringLiteral(".."))) {
      Status = 403;
      Body = "403 Forbidden\n";
      return;
    }
    QFile File(Root + Path);
    if (!QFileInfo(File.fileName()).isFile() || !File.open(QIODevice::ReadOnly)) {
      Status = 404;
      Body = "404 Not Found\n";
      return;
    }
    Status = 200;
    ContentType = "application/octet-stream";
    Body = File.readAll();
  }
};

namespace {

using TState = TTestHttpServer::TState;
using TFault = TTestHttpServer::TFault;
using EFaultKind = TTestHttpServer::EFaultKind;

// One client connection: reads requests one after the other and answers them.
class TConnection : public QObject
{
public:
  TConnection(QTcpSocket* pSocket, std::shared_ptr<TState> pState, QObject* pParent)
    : QObject(pParent), m_pSocket(pSocket), m_pState(std::move(pState))
  {
    m_pSocket->setParent(this);
    connect(m_pSocket, &QTcpSocket::readyRead, this, &TConnection::onReadyRead);
    connect(m_pSocket, &QTcpSocket::disconnected, this, &TConnection::onDisconnected);
    connect(m_pSocket, &QTcpSocket::bytesWritten, this, &TConnection::onBytesWritten);
    connect(&m_Timer, &QTimer::timeout, this, &TConnection::onTrickleStep);
  }

  ~TConnection() override
  {
    if (m_Busy)
      m_pState->endRequest();
  }

private:
  void onReadyRead()
  {
    m_Input += m_pSocket->readAll();
    processInput();
  }

  void onDisconnected()
  {
    m_Timer.stop();
    m_GeneratedRemaining = 0;
    m_WhenFlushed = nullptr;
    if (m_Busy) {
      m_Busy = false;
      m_pState->endRequest();
    }
    m_Closed = true;
    deleteLater();
  }

  void onBytesWritten(qint64)
  {
    if (m_GeneratedRemaining != 0) {
      writeGeneratedBody();
      return;
    }
    if (m_WhenFlushed && m_pSocket->bytesToWrite() == 0) {
      auto Action = std::move(m_WhenFlushed);
      m_WhenFlushed = nullptr;
      Action();
    }
  }

  void whenFlushed(std::function<void()> Action)
  {
    m_pSocket->flush();
    if (m_pSocket->bytesToWrite() == 0) {
      Action();
      return;
    }
    m_WhenFlushed = std::move(Action);
  }

  // Parses one complete request from the input; false while it is incomplete.
  bool takeRequest(TTestHttpServer::TRecordedRequest& Request, bool& KeepAlive, bool& Malformed)
  {
    Malformed = false;
    const int HeaderEnd = m_Input.indexOf("\r\n\r\n");
    if (HeaderEnd < 0) {
      Malformed = m_Input.size() > 64 * 1024;
      return false;
    }
    const QList<QByteArray> Lines = m_Input.left(HeaderEnd).split('\n');
    const QList<QByteArray> RequestLine = Lines.value(0).trimmed().split(' ');
    if (RequestLine.size() != 3) {
      Malformed = true;
      return false;
    }
    Request = TTestHttpServer::TRecordedRequest();
    Request.method = RequestLine[0];
    Request.target = RequestLine[1];
    const QByteArray Version = RequestLine[2];
    for (int Index = 1; Index < Lines.size(); ++Index) {
      const QByteArray Line = Lines[Index].trimmed();
      const int Colon = Line.indexOf(':');
      if (Colon <= 0)
        continue;
      Request.headers.insert(Line.left(Colon).trimmed().toLower(), Line.mid(Colon + 1).trimmed());
    }
    int Consumed = HeaderEnd + 4;
    if (Request.headers.value("transfer-encoding").toLower().contains("chunked")) {
      int Position = Consumed;
      for (;;) {
        const int LineEnd = m_Input.indexOf("\r\n", Position);
        if (LineEnd < 0)
          return false;
        bool Ok = false;
        const int Size = m_Input.mid(Position, LineEnd - Position).split(';').value(0).trimmed().toInt(&Ok, 16);
        if (!Ok || Size < 0) {
          Malformed = true;
          return false;
        }
        Position = LineEnd + 2;
        if (Size == 0) {
          // Trailer lines up to an empty line.
          const int TrailerEnd = m_Input.indexOf("\r\n", Position);
          if (TrailerEnd < 0)
            return false;
          if (TrailerEnd == Position) {
            Position += 2;
            break;
          }
          const int AllEnd = m_Input.indexOf("\r\n\r\n", Position);
          if (AllEnd < 0)
            return false;
          Position = AllEnd + 4;
          break;
        }
        if (m_Input.size() < Position + Size + 2)
          return false;
        Request.body += m_Input.mid(Position, Size);
        Position += Size + 2;
      }
      Consumed = Position;
    } else if (Request.headers.contains("content-length")) {
      bool Ok = false;
      const qint64 Length = Request.headers.value("content-length").toLongLong(&Ok);
      if (!Ok || Length < 0) {
        Malformed = true;
        return false;
      }
      if (m_Input.size() < Consumed + Length)
        return false;
      Request.body = m_Input.mid(Consumed, int(Length));
      Consumed += int(Length);
    }
    m_Input.remove(0, Consumed);
    const QByteArray Connection = Request.headers.value("connection").toLower();
    KeepAlive = Version == "HTTP/1.1" ? !Connection.contains("close") : Connection.contains("keep-alive");
    const int Query = Request.target.indexOf('?');
    Request.path = normalisedPath(
      QUrl::fromPercentEncoding(Query < 0 ? Request.target : Request.target.left(Query)));
    return true;
  }

  void processInput()
  {
    if (m_Busy || m_Closed)
      return;
    TTestHttpServer::TRecordedRequest Request;
    bool Malformed = false;
    if (!takeRequest(Request, m_KeepAlive, Malformed)) {
      if (Malformed) {
        m_pSocket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        m_Closed = true;
        whenFlushed([this] { m_pSocket->disconnectFromHost(); });
      }
      return;
    }
    m_Busy = true;
    m_Path = Request.path;
    const TFault Fault = m_pState->beginRequest(Request);
    answer(Fault);
  }

  // A negative ContentLength sends none: the body ends when the connection
  // closes.
  QByteArray header(int Status, const QByteArray& ContentType, qint64 ContentLength,
                    const QByteArray& Extra = QByteArray()) const
  {
    QByteArray Header = "HTTP/1.1 " + QByteArray::number(Status) + ' ' + reasonPhrase(Status) + "\r\n";
    if (!ContentType.isEmpty())
      Header += "Content-Type: " + ContentType + "\r\n";
    if (ContentLength >= 0)
      Header += "Content-Length: " + QByteArray::number(ContentLength) + "\r\n";
    Header += Extra;
    Header += m_KeepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    Header += "\r\n";
    return Header;
  }

  void writeBody(const QByteArray& Bytes)
  {
    if (Bytes.isEmpty())
      return;
    m_pSocket->write(Bytes);
    m_pState->addBodyBytes(m_Path, Bytes.size());
  }

  void answer(const TFault& Fault)
  {
    int Status = 200;
    QByteArray ContentType;
    QByteArray Body;
    switch (Fault.kind) {
    case EFaultKind::Stall:
      return;  // stays busy until the client goes away
    case EFaultKind::Status:
      Status = Fault.statusCode;
      Body = QByteArray::number(Status) + ' ' + reasonPhrase(Status) + '\n';
      m_pSocket->write(header(Status, "text/plain", Body.size(),
                              Status == 401 ? "WWW-Authenticate: Basic realm=\"test\"\r\n" : ""));
      writeBody(Body);
      finishResponse();
      return;
    case EFaultKind::Redirect:
      m_pSocket->write(header(Fault.statusCode > 0 ? Fault.statusCode : 302, QByteArray(), 0,
                              "Location: " + Fault.target.toEncoded() + "\r\n"));
      finishResponse();
      return;
    case EFaultKind::EmptyBody:
      m_pSocket->write(header(200, "application/octet-stream", 0));
      finishResponse();
      return;
    case EFaultKind::GeneratedBody:
      if (Fault.bytes < 0)
        m_KeepAlive = false;
      m_pSocket->write(header(200, "application/octet-stream", Fault.bytes));
      m_GeneratedRemaining = Fault.bytes;
      writeGeneratedBody();
      return;
    default:
      break;
    }

    QByteArray ContentEncoding;
    m_pState->content(m_Path, Status, ContentType, ContentEncoding, Body);
    const QByteArray EncodingHeader =
      ContentEncoding.isEmpty() ? QByteArray() : "Content-Encoding: " + ContentEncoding + "\r\n";
    if (Status != 200) {
      m_pSocket->write(header(Status, ContentType, Body.size()));
      writeBody(Body);
      finishResponse();
      return;
    }

    switch (Fault.kind) {
    case EFaultKind::ResetAfter:
    case EFaultKind::TruncatedBody: {
      m_pSocket->write(header(200, ContentType, Body.size(), EncodingHeader));
      writeBody(Body.left(int(std::clamp<qint64>(Fault.bytes, 0, Body.size()))));
      const bool Reset = Fault.kind == EFaultKind::ResetAfter;
      m_Closed = true;
      whenFlushed([this, Reset] {
        if (Reset) {
          // Zero linger time: close() sends RST instead of FIN.
          const struct linger Linger = {1, 0};
          ::setsockopt(int(m_pSocket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &Linger, sizeof Linger);
          m_pSocket->abort();
        } else {
          m_pSocket->disconnectFromHost();
        }
        if (m_Busy) {
          m_Busy = false;
          m_pState->endRequest();
        }
      });
      return;
    }
    case EFaultKind::Trickle:
      m_pSocket->write(header(200, ContentType, Body.size(), EncodingHeader));
      m_Pending = Body;
      m_StepBytes = std::max<qint64>(1, Fault.bytes);
      if (m_Pending.isEmpty()) {
        finishResponse();
        return;
      }
      m_Timer.start(std::max(0, Fault.intervalMs));
      return;
    default:
      m_pSocket->write(header(200, ContentType, Body.size(), EncodingHeader));
      writeBody(Body);
      finishResponse();
      return;
    }
  }

  // Keeps a few blocks of the generated body queued on the socket, so that
  // the body moves as fast as the client reads it and no faster.
  void writeGeneratedBody()
  {
    static const QByteArray Block = QByteArray("generated body ").repeated(4096);
    while (m_GeneratedRemaining != 0 && m_pSocket->bytesToWrite() < 4 * Block.size()) {
      const qint64 Size = m_GeneratedRemaining < 0 ? Block.size() : std::min<qint64>(Block.size(), m_GeneratedRemaining);
      writeBody(Block.left(int(Size)));
      if (m_GeneratedRemaining > 0)
        m_GeneratedRemaining -= Size;
      if (m_GeneratedRemaining == 0)
        finishResponse();
    }
  }

  void onTrickleStep()
  {
    writeBody(m_Pending.left(int(m_StepBytes)));
    m_Pending.remove(0, int(m_StepBytes));
    if (m_Pending.isEmpty()) {
      m_Timer.stop();
      finishResponse();
    }
  }

  void finishResponse()
  {
    m_pSocket->flush();
    m_Busy = false;
    m_pState->endRequest();
    if (!m_KeepAlive) {
      m_Closed = true;
      whenFlushed([this] { m_pSocket->disconnectFromHost(); });
      return;
    }
    processInput();
  }

  QTcpSocket* m_pSocket;
  std::shared_ptr<TState> m_pState;
  QTimer m_Timer;
  QByteArray m_Input;
  QByteArray m_Pending;
  qint64 m_StepBytes = 1;
  qint64 m_GeneratedRemaining = 0;  // body bytes still to generate; < 0: endless
  QString m_Path;
  std::function<void()> m_WhenFlushed;
  bool m_Busy = false;
  bool m_KeepAlive = true;
  bool m_Closed = false;
};

} // namespace

class TTestHttpServer::TListener : public QTcpServer
{
public:
  TListener(std::shared_ptr<TState> pState, QSslCertificate Certificate, QSslKey Key)
    : m_pState(std::move(pState)), m_Certificate(std::move(Certificate)), m_Key(std::move(Key))
  {
  }

protected:
  void incomingConnection(qintptr Descriptor) override
  {
    QTcpSocket* pSocket = nullptr;
    if (!m_Certificate.isNull()) {
      auto* pSslSocket = new QSslSocket;
      if (!pSslSocket->setSocketDescriptor(Descriptor)) {
        delete pSslSocket;
        return;
      }
      pSslSocket->setLocalCertificate(m_Certificate);
      pSslSocket->setPrivateKey(m_Key);
      pSslSocket->setPeerVerifyMode(QSslSocket::VerifyNone);
      pSslSocket->startServerEncryption();
      pSocket = pSslSocket;
    } else {
      pSocket = new QTcpSocket;
      if (!pSocket->setSocketDescriptor(Descriptor)) {
        delete pSocket;
        return;
      }
    }
    new TConnection(pSocket, m_pState, this);
  }

private:
  std::shared_ptr<TState> m_pState;
  QSslCertificate m_Certificate;
  QSslKey m_Key;
};

TTestHttpServer::TTestHttpServer() : m_pState(std::make_shared<TState>())
{
  m_pListener = new TListener(m_pState, QSslCertificate(), QSslKey());
  start();
}

TTestHttpServer::TTestHttpServer(const QSslCertificate& Certificate, const QSslKey& Key)
  : m_pState(std::make_shared<TState>()), m_Tls(true)
{
  if (Certificate.isNull() || Key.isNull())
    throw std::runtime_error("TTestHttpServer: TLS needs a certificate and a key");
  m_pListener = new TListener(m_pState, Certificate, Key);
  start();
}

void TTestHttpServer::start()
{
  m_pThread = std::make_unique<QThread>();
  m_pThread->setObjectName(QStringLiteral("TTestHttpServer"));
  m_pListener->moveToThread(m_pThread.get());
  QObject::connect(m_pListener, &QObject::destroyed, m_pThread.get(), &QThread::quit,
                   Qt::DirectConnection);
  m_pThread->start();
  bool Listening = false;
  QMetaObject::invokeMethod(
    m_pListener,
    [this, &Listening] {
      Listening = m_pListener->listen(QHostAddress::LocalHost, 0);
      m_Port = m_pListener->serverPort();
    },
    Qt::BlockingQueuedConnection);
  if (!Listening) {
    m_pListener->deleteLater();
    m_pThread->wait();
    throw std::runtime_error("TTestHttpServer: cannot listen on 127.0.0.1");
  }
}

TTestHttpServer::~TTestHttpServer()
{
  // The listener, its connections and their sockets are deleted on the
  // server thread, which then ends.
  m_pListener->deleteLater();
  m_pThread->wait();
}

quint16 TTestHttpServer::port() const
{
  return m_Port;
}

QUrl TTestHttpServer::url(const QString& Path) const
{
  const QString Scheme = m_Tls ? QStringLiteral("https") : QStringLiteral("http");
  return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(Scheme).arg(m_Port).arg(normalisedPath(Path)));
}

void TTestHttpServer::setRootDirectory(const QString& Directory)
{
  QMutexLocker Lock(&m_pState->mutex);
  m_pState->rootDirectory = QDir(Directory).absolutePath();
}

void TTestHttpServer::setBody(const QString& Path, const QByteArray& Body, const QByteArray& ContentType,
                              const QByteArray& ContentEncoding)
{
  QMutexLocker Lock(&m_pState->mutex);
  m_pState->bodies.insert(normalisedPath(Path), {Body, ContentType, ContentEncoding});
}

void TTestHttpServer::removeBody(const QString& Path)
{
  QMutexLocker Lock(&m_pState->mutex);
  m_pState->bodies.remove(normalisedPath(Path));
}

void TTestHttpServer::setFault(const QString& Path, const TFault& Fault)
{
  QMutexLocker Lock(&m_pState->mutex);
  m_pState->faults.insert(normalisedPath(Path), Fault);
}

void TTestHttpServer::clearFault(const QString& Path)
{
  QMutexLocker Lock(&m_pState->mutex);
  m_pState->faults.remove(normalisedPath(Path));
}

void TTestHttpServer::clearFaults()
{
  QMutexLocker Lock(&m_pState->mutex);
  m_pState->faults.clear();
}

int TTestHttpServer::requestCount(const QString& Path) const
{
  QMutexLocker Lock(&m_pState->mutex);
  return m_pState->statistics.value(normalisedPath(Path)).requests;
}

int TTestHttpServer::totalRequestCount() const
{
  QMutexLocker Lock(&m_pState->mutex);
  return m_pState->recorded.size();
}

qint64 TTestHttpServer::bodyBytesSent(const QString& Path) const
{
  QMutexLocker Lock(&m_pState->mutex);
  return m_pState->statistics.value(normalisedPath(Path)).bodyBytes;
}

qint64 TTestHttpServer::totalBodyBytesSent() const
{
  QMutexLocker Lock(&m_pState->mutex);
  qint64 Total = 0;
  for (const auto& Statistics : qAsConst(m_pState->statistics))
    Total += Statistics.bodyBytes;
  return Total;
}

int TTestHttpServer::activeRequestCount() const
{
  QMutexLocker Lock(&m_pState->mutex);
  return m_pState->activeRequests;
}

int TTestHttpServer::maximumConcurrentRequests() const
{
  QMutexLocker Lock(&m_pState->mutex);
  return m_pState->maximumActiveRequests;
}

QStringList TTestHttpServer::requestOrder() const
{
  QMutexLocker Lock(&m_pState->mutex);
  QStringList Paths;
  for (const auto& Request : qAsConst(m_pState->recorded))
    Paths.append(Request.path);
  return Paths;
}

QList<TTestHttpServer::TRecordedRequest> TTestHttpServer::requests(const QString& Path) const
{
  QMutexLocker Lock(&m_pState->mutex);
  if (Path.isEmpty())
    return m_pState->recorded;
  const QString Wanted = normalisedPath(Path);
  QList<TRecordedRequest> Result;
  for (const auto& Request : qAsConst(m_pState->recorded))
    if (Request.path == Wanted)
      Result.append(Request);
  return Result;
}

void TTestHttpServer::resetStatistics()
{
  QMutexLocker Lock(&m_pState->mutex);
  m_pState->statistics.clear();
  m_pState->recorded.clear();
  m_pState->maximumActiveRequests = m_pState->activeRequests;
}

bool TTestHttpServer::makeSelfSignedCertificate(QSslCertificate& Certificate, QSslKey& Key)
{
  const QString OpenSsl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
  if (OpenSsl.isEmpty())
    return false;
  QTemporaryDir Directory;
  if (!Directory.isValid())
    return false;
  const QString KeyPath = Directory.filePath(QStringLiteral("key.pem"));
  const QString CertificatePath = Directory.filePath(QStringLiteral("certificate.pem"));
  QProcess Process;
  Process.setProcessChannelMode(QProcess::MergedChannels);
  Process.start(OpenSsl, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                          QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                          QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                          QStringLiteral("-keyout"), KeyPath, QStringLiteral("-out"), CertificatePath,
                          QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                          QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                          QStringLiteral("subjectAltName=IP:127.0.0.1")});
  if (!Process.waitForFinished(60000) || Process.exitStatus() != QProcess::NormalExit ||
      Process.exitCode() != 0)
    return false;
  QFile CertificateFile(CertificatePath);
  QFile KeyFile(KeyPath);
  if (!CertificateFile.open(QIODevice::ReadOnly) || !KeyFile.open(QIODevice::ReadOnly))
    return false;
  Certificate = QSslCertificate(&CertificateFile, QSsl::Pem);
  Key = QSslKey(&KeyFile, QSsl::Ec, QSsl::Pem);
  return !Certificate.isNull() && !Key.isNull();
}

} // namespace testsupport
