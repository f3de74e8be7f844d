#include "descriptionsource.h"

#include "shared/packageconfigurationreader.h"
#include "shared/sha256.h"

#include <QDir>

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QTimer>

namespace orvale::publisher {

namespace {

constexpr int kStallTimeoutMs = 60000;

TFetchedFile failure(const QString& Error)
{
  TFetchedFile Result;
  Result.error = Error;
  return Result;
}

TFetchedFile withState(TFetchedFile::EState State)
{
  TFetchedFile Result;
  Result.state = State;
  return Result;
}

// Receives one reply's body within the limit.
class TBoundedReceiver
{
public:
  TBoundedReceiver(QNetworkReply& Reply, qint64 MaxBytes) : m_Reply(Reply), m_MaxBytes(MaxBytes) {}

  void onMetaData()
  {
    const QVariant Length = m_Reply.header(QNetworkRequest::ContentLengthHeader);
    if (Length.isValid() && Length.toLongLong() > m_MaxBytes)
      stop(TFetchedFile::EState::TooLarge);
  }
  void onData()
  {
    m_Body += m_Reply.read(m_MaxBytes + 1 - m_Body.size());
    if (m_Body.size() > m_MaxBytes)
      stop(TFetchedFile::EState::TooLarge);
  }
  void onStall()
  {
    m_Stalled = true;
    m_Reply.abort();
  }

  TFetchedFile result()
  {
    if (m_Stopped)
      return withState(*m_Stopped);
    if (m_Stalled)
      return failure(QString("no data for %1 s").arg(kStallTimeoutMs / 1000));
    const int Status = m_Reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (Status == 404 || Status == 410)
      return withState(TFetchedFile::EState::Missing);
    if (Status != 0 && Status != 200)
      return failure(QString("HTTP status %1").arg(Status));
    if (m_Reply.error() != QNetworkReply::NoError)
      return failure(m_Reply.errorString());
    if (Status != 200)
      return failure("no HTTP answer");
    onData();
    if (m_Stopped)
      return withState(*m_Stopped);
    TFetchedFile Result = withState(TFetchedFile::EState::Read);
    Result.data = std::move(m_Body);
    return Result;
  }

private:
  void stop(TFetchedFile::EState State)
  {
    if (!m_Stopped)
      m_Stopped = State;
    m_Reply.abort();
  }

  QNetworkReply& m_Reply;
  qint64 m_MaxBytes;
  QByteArray m_Body;
  std::optional<TFetchedFile::EState> m_Stopped;
  bool m_Stalled = false;
};

std::optional<QByteArray> readDescriptionData(const QString& Location, QString& Path, QString& Error)
{
  const bool Web = isWebUrl(Location);
  TFetchedFile Fetched;
  if (Web) {
    Fetched = fetchUrl(QUrl(Location), kMaxDescriptionBytes);
  } else {
    Path = QFileInfo(Location).isDir() ? QFileInfo(Location + "/package.json").absoluteFilePath()
                                       : QFileInfo(Location).absoluteFilePath();
    Fetched = readLocalFile(Path, kMaxDescriptionBytes);
  }
  const QString Name = Web ? Location : Path;
  switch (Fetched.state) {
  case TFetchedFile::EState::Read:
    return Fetched.data;
  case TFetchedFile::EState::Missing:
    Error = QString("%1: no such description").arg(Name);
    break;
  case TFetchedFile::EState::TooLarge:
    Error = QString("%1: larger than %2 bytes, too large for a description").arg(Name).arg(kMaxDescriptionBytes);
    break;
  case TFetchedFile::EState::Failed:
    Error = QString("%1: cannot be read: %2").arg(Name, Fetched.error);
    break;
  }
  return std::nullopt;
}

} // namespace

bool isWebUrl(const QString& Location)
{
  return Location.startsWith("http://", Qt::CaseInsensitive) || Location.startsWith("https://", Qt::CaseInsensitive);
}

std::optional<TLoadedDescription> loadDescription(const QString& Location, QString& Error)
{
  QString Path;
  const auto Data = readDescriptionData(Location, Path, Error);
  if (!Data)
    return std::nullopt;
  const QString Name = Path.isEmpty() ? Location : Path;
  QJsonParseError ParseError;
  const QJsonDocument Document = QJsonDocument::fromJson(*Data, &ParseError);
  if (ParseError.error != QJsonParseError::NoError) {
    Error = QString("%1: not JSON (%2 at byte %3)").arg(Name, ParseError.errorString()).arg(ParseError.offset);
    return std::nullopt;
  }
  if (!Document.isObject() || !Document.object().value("files").isArray()) {
    Error = QString("%1: not a package description (it has no \"files\" list)").arg(Name);
    return std::nullopt;
  }
  TLoadedDescription Loaded;
  Loaded.location = Name;
  QUrl Base;
  if (Path.isEmpty()) {
    Base = shared::urlWithoutFileName(QUrl(Location));
  } else {
    Loaded.folder = QFileInfo(Path).absolutePath();
    Base = QUrl::fromLocalFile(Loaded.folder + "/");
  }
  Loaded.reader = shared::TPackageConfigurationReader(*Data, QByteArray(), Base, QUrl());
  Loaded.data = *Data;
  return Loaded;
}

std::vector<shared::TChunkInPackage> distinctDownloadRecords(const shared::TPackageConfigurationReader& Description)
{
  std::vector<shared::TChunkInPackage> Records;
  QSet<QString> Urls;
  const auto Add = [&](const shared::TChunkInPackage& Record) {
    const QString Url = Record.url.toString();
    if (Url.isEmpty() || Urls.contains(Url))
      return;
    Urls.insert(Url);
    Records.push_back(Record);
  };
  for (const shared::TChunkInPackage& Chunk : Description.chunks())
    Add(Chunk);
  for (const shared::TFileInPackage& File : Description.files())
    Add(File.ownDownload);
  return Records;
}

TChunkSource::TChunkSource(const TLoadedDescription& Loaded) : TChunkSource(Loaded.folder)
{
}

TChunkSource::TChunkSource(const QString& Folder)
  : m_Folder(Folder.isEmpty() ? QString() : QFileInfo(Folder).canonicalFilePath())
{
}

namespace {

QUrl folderUrl(const QString& Folder)
{
  return QUrl::fromLocalFile(QFileInfo(Folder).absoluteFilePath() + "/");
}

// The folder a location names: itself when it is a folder (or a URL ending
// in "/"), else the folder of the description it names.
QUrl placeBase(const QString& Location)
{
  if (isWebUrl(Location))
    return Location.endsWith('/') ? QUrl(Location) : shared::urlWithoutFileName(QUrl(Location));
  return QFileInfo(Location).isDir() ? folderUrl(Location) : folderUrl(QFileInfo(Location).absolutePath());
}

} // namespace

TChunkPlace::TChunkPlace(const TLoadedDescription& Loaded)
  : m_Base(Loaded.folder.isEmpty() ? shared::urlWithoutFileName(QUrl(Loaded.location)) : folderUrl(Loaded.folder))
  , m_Source(Loaded)
{
}

TChunkPlace::TChunkPlace(const QString& Location)
  : m_Base(placeBase(Location)), m_Source(m_Base.isLocalFile() ? m_Base.toLocalFile() : QString())
{
}

std::optional<QString> TChunkPlace::relativeName(const QUrl& Url) const
{
  const QString Base = m_Base.toString();
  const QString Full = Url.isLocalFile() ? QUrl::fromLocalFile(QDir::cleanPath(Url.toLocalFile())).toString() : Url.toString();
  if (!Full.startsWith(Base) || Full.size() == Base.size())
    return std::nullopt;
  return Full.mid(Base.size());
}

QUrl TChunkPlace::url(const QString& RelativeName) const
{
  return m_Base.resolved(QUrl(RelativeName));
}

QString TChunkSource::name(const QUrl& Url) const
{
  if (web() || !Url.isLocalFile())
    return Url.toString();
  return QDir(m_Folder).relativeFilePath(QDir::cleanPath(Url.toLocalFile()));
}

std::optional<QString> TChunkSource::refusal(const QUrl& Url) const
{
  if (web()) {
    if (Url.scheme() != "http" && Url.scheme() != "https")
      return QString("is not an http or https URL");
    return std::nullopt;
  }
  if (!Url.isLocalFile())
    return QString("is not a file of the published folder");
  const QString Path = QDir::cleanPath(Url.toLocalFile());
  const QFileInfo Info(Path);
  const QString Resolved = Info.exists() ? Info.canonicalFilePath() : Path;
  if (!Resolved.startsWith(m_Folder + "/"))
    return QString("lies outside the published folder");
  return std::nullopt;
}

TFetchedFile TChunkSource::read(const QUrl& Url, qint64 MaxBytes) const
{
  return web() ? fetchUrl(Url, MaxBytes) : readLocalFile(QDir::cleanPath(Url.toLocalFile()), MaxBytes);
}

std::optional<QString> TChunkSource::readNamedFile(const QUrl& Url, std::uint64_t Size, const QByteArray& Hash,
                                                   const QString& Qualifier, QByteArray& Data) const
{
  if (auto Refusal = refusal(Url))
    return Refusal;
  TFetchedFile File = read(Url, qint64(Size));
  switch (File.state) {
  case TFetchedFile::EState::Missing:
    return QString("is missing");
  case TFetchedFile::EState::TooLarge:
    return QString("is larger than its %1size of %2 bytes").arg(Qualifier).arg(Size);
  case TFetchedFile::EState::Failed:
    return QString("cannot be read: %1").arg(File.error);
  case TFetchedFile::EState::Read:
    break;
  }
  if (std::uint64_t(File.data.size()) < Size)
    return QString("is truncated: %1 of %2 bytes").arg(File.data.size()).arg(Size);
  if (shared::TSha256::hash(File.data) != Hash)
    return QString("differs from its %1hash (damaged or replaced)").arg(Qualifier);
  Data = std::move(File.data);
  return std::nullopt;
}

TBlockIndexFile readBlockIndex(const TChunkSource& Source, const shared::TChunkInPackage& Record)
{
  TBlockIndexFile Result;
  QByteArray Data;
  if (const auto Problem = Source.readNamedFile(Record.blockIndexUrl, Record.blockIndexSize, Record.blockIndexHash,
                                                QString(), Data)) {
    Result.problem = *Problem;
    return Result;
  }
  Result.index = shared::parseBlockIndex(Data, Record.packedSize, Record.unpackedSize);
  if (!Result.index)
    Result.problem = QString("is not a block index of its chunk file (%1, %2 bytes unpacked): unknown format, "
                             "or its blocks do not add up to the chunk")
                         .arg(Source.name(Record.url))
                         .arg(Record.unpackedSize);
  return Result;
}

TFetchedFile fetchUrl(const QUrl& Url, qint64 MaxBytes)
{
  QNetworkAccessManager Manager;
  QNetworkRequest Request(Url);
  Request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  // The bytes as stored: a compressed transfer would hide the file's size.
  Request.setRawHeader("Accept-Encoding", "identity");
  QNetworkReply* Reply = Manager.get(Request);
  TBoundedReceiver Receiver(*Reply, MaxBytes);
  QEventLoop Loop;
  QTimer Stall;
  Stall.setSingleShot(true);
  Stall.setInterval(kStallTimeoutMs);
  QObject::connect(Reply, &QNetworkReply::metaDataChanged, [&] { Receiver.onMetaData(); });
  QObject::connect(Reply, &QNetworkReply::readyRead, [&] {
    Stall.start();
    Receiver.onData();
  });
  QObject::connect(&Stall, &QTimer::timeout, [&] { Receiver.onStall(); });
  QObject::connect(Reply, &QNetworkReply::finished, &Loop, &QEventLoop::quit);
  Stall.start();
  if (!Reply->isFinished())
    Loop.exec();
  TFetchedFile Result = Receiver.result();
  delete Reply;
  return Result;
}

TFetchedFile readLocalFile(const QString& Path, qint64 MaxBytes)
{
  const QFileInfo Info(Path);
  if (!Info.exists())
    return withState(TFetchedFile::EState::Missing);
  if (!Info.isFile())
    return failure("not a file");
  if (Info.size() > MaxBytes)
    return withState(TFetchedFile::EState::TooLarge);
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly))
    return failure(File.errorString());
  TFetchedFile Result = withState(TFetchedFile::EState::Read);
  Result.data = File.read(MaxBytes + 1);
  if (File.error() != QFileDevice::NoError)
    return failure(File.errorString());
  if (Result.data.size() > MaxBytes)
    return withState(TFetchedFile::EState::TooLarge);
  return Result;
}

} // namespace orvale::publisher
