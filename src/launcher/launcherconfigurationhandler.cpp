#include "launcher/launcherconfigurationhandler.h"

#include "shared/descriptiondocument.h"
#include "shared/downloadpool.h"
#include "shared/randomnumbergenerator.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QUrlQuery>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace orvale::launcher {

namespace {

const char* const kCacheFileName = "launchermetadata.json";
const char* const kNocacheAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool isWebUrl(const QUrl& Url)
{
  return Url.scheme() == "http" || Url.scheme() == "https";
}

} // namespace

bool TPackageBuildRequest::isComplete() const
{
  if (packageDescriptionUrl.isValid() && packageDescriptionData.isEmpty())
    return false;
  if (assetDescriptionUrl.isValid() && assetDescriptionData.isEmpty())
    return false;
  return true;
}

TLauncherConfigurationHandler::TLauncherConfigurationHandler(
    std::shared_ptr<shared::TDownloadPool> DownloadPool, std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
  : m_pDownloadPool(std::move(DownloadPool))
  , m_pLauncherFilesystemHelper(std::move(FilesystemHelper))
  , m_SignedDocuments(m_pDownloadPool, m_pLauncherFilesystemHelper->launcherSettings()->releaseKeys)
  , m_ConfigurationUrl(m_pLauncherFilesystemHelper->launcherSettings()->launcherConfiguration)
  , m_LauncherExecutable(QFileInfo(QCoreApplication::applicationFilePath()).fileName())
{
  m_ErrorTimer.setSingleShot(true);
  m_ErrorTimer.setInterval(int(qBound<qint64>(0, m_pLauncherFilesystemHelper->launcherSettings()->downloadErrorTimeout,
                                              std::numeric_limits<int>::max())));
  connect(&m_SignedDocuments, &TSignedDocumentDownloads::success, this,
          &TLauncherConfigurationHandler::onConfigurationDownloadFinished);
  connect(&m_SignedDocuments, &TSignedDocumentDownloads::failed, this,
          &TLauncherConfigurationHandler::onConfigurationDownloadFailed);
  connect(&m_SignedDocuments, &TSignedDocumentDownloads::refused, this,
          [this](const QUrl& Url, EDocumentRefusal Reason) { m_SignatureRefusals.insert(Url, Reason); });
  connect(&m_SignedDocuments, &TSignedDocumentDownloads::diskAccessFailed, this,
          &TLauncherConfigurationHandler::diskAccessFailed);
  connect(&m_ErrorTimer, &QTimer::timeout, this, &TLauncherConfigurationHandler::onErrorTimerExpired);
}

TLauncherConfigurationHandler::~TLauncherConfigurationHandler() = default;

QString TLauncherConfigurationHandler::cacheFilePath()
{
  return QDir(TLauncherFilesystemHelper::dataDirectory()).filePath(kCacheFileName);
}

QString TLauncherConfigurationHandler::cacheSignatureFilePath()
{
  return cacheFilePath() + shared::SignatureFileSuffix;
}

void TLauncherConfigurationHandler::startConfigurationDownload()
{
  m_Offline = false;
  m_ErrorTimer.start();
  if (!shared::isRequestableUrl(m_ConfigurationUrl)) {
    // Reported from the event loop, as a failed request is.
    QMetaObject::invokeMethod(
        this,
        [this] { onConfigurationDownloadFailed(m_ConfigurationUrl, QNetworkReply::ProtocolInvalidOperationError, "Invalid URL"); },
        Qt::QueuedConnection);
    return;
  }
  m_SignedDocuments.download(m_ConfigurationUrl, configurationDocument());
}

shared::TSignedDocument TLauncherConfigurationHandler::configurationDocument() const
{
  return {shared::EDocumentRole::Configuration, signedDocumentName(m_ConfigurationUrl, m_ConfigurationUrl)};
}

shared::TSignedDocument TLauncherConfigurationHandler::descriptionDocument(const TPackageBuildRequest& Request,
                                                                           bool Asset) const
{
  // Named by the build's URL as the configuration gives it, without the
  // "nocache" item.
  const QUrl Url = Asset ? Request.build->assetsUrl : Request.build->url;
  const auto Role = Asset ? shared::EDocumentRole::Asset
                          : (Request.launcher ? shared::EDocumentRole::Launcher : shared::EDocumentRole::Package);
  return {Role, signedDocumentName(m_ConfigurationUrl, Url)};
}

void TLauncherConfigurationHandler::refuse(const QString& Package, EDocumentRefusal Reason)
{
  m_Refused.push_back({Package, Reason});
}

QUrl TLauncherConfigurationHandler::buildPackageDescriptionUrl(const QUrl& Url) const
{
  if (!m_pLauncherFilesystemHelper->launcherSettings()->appendNocacheToPackageUrls)
    return Url;
  if (!Url.isValid())
    return Url;
  auto Generator = shared::TRandomNumberGenerator::instance();
  QString Value;
  for (int Index = 0; Index < 32; ++Index)
    Value.append(QChar(kNocacheAlphabet[Generator->generateUnsigned(0, 61)]));
  QUrl Result = Url;
  QUrlQuery Query(Result);
  Query.addQueryItem("nocache", Value);
  Result.setQuery(Query);
  return Result;
}

void TLauncherConfigurationHandler::requestPackageConfigurations()
{
  if (!m_pConfiguration)
    return;
  try {
    if (!m_Offline) {
      const auto& Launcher = m_pConfiguration->launcherPackage();
      if (Launcher) {
        if (TPackageBuild* Build = Launcher->currentBuild())
          addPublishedDescriptionRequest(Build, *Launcher);
      }
    }
    const auto Settings = m_pLauncherFilesystemHelper->launcherSettings();
    for (const auto& Package : m_pConfiguration->packages()) {
      TPackageBuild* Build = Package->currentBuild();
      if (!Build)
        continue;
      if (!m_Offline) {
        addPublishedDescriptionRequest(Build, *Package);
      } else {
        const QDir Directory = Package->installationDirectory(*m_pLauncherFilesystemHelper);
        // An installation keeps an asset description only when one was
        // published: without the file the package description alone is
        // the installed state (requesting the missing file would drop the
        // package as if it were not installed).
        const QString AssetPath = Directory.absoluteFilePath(Settings->assetFile);
        m_PendingRequests.push_back({Build, QUrl::fromLocalFile(Directory.absoluteFilePath(Settings->packageFile)),
                                     m_pLauncherFilesystemHelper->fileExists(AssetPath) ? QUrl::fromLocalFile(AssetPath)
                                                                                        : QUrl(),
                                     {}, {}, Package->name(), false});
      }
    }
    if (m_PendingRequests.empty()) {
      emit packageConfigurationDownloadsFinished();
      return;
    }
    // Copy: a download may fail synchronously and shrink the pending list.
    const std::vector<TPackageBuildRequest> Requests = m_PendingRequests;
    for (const TPackageBuildRequest& Request : Requests) {
      for (const bool Asset : {false, true}) {
        const QUrl Url = Asset ? Request.assetDescriptionUrl : Request.packageDescriptionUrl;
        if (!Url.isValid())
          continue;
        // Online, descriptions come from web servers only: a configuration
        // must not make the launcher read local files or devices. Offline
        // they are the installations' own markers, which were accepted when
        // they were installed.
        TDocumentFetch Fetch;
        Fetch.maxBytes = shared::MaxDescriptionBytes;
        if (m_Offline) {
          m_pDownloadPool->download(Url, Fetch.maxBytes);
        } else if (!isWebUrl(Url)) {
          onConfigurationDownloadFailed(Url, QNetworkReply::ProtocolUnknownError, "Not an http or https URL");
        } else if (!Asset) {
          requestPackageDescription(Request);
        } else {
          m_SignedDocuments.download(Url, descriptionDocument(Request, Asset), Fetch);
        }
      }
    }
  } catch (const std::runtime_error& Error) {
    emit diskAccessFailed(QString::fromUtf8(Error.what()));
  }
}

void TLauncherConfigurationHandler::addPublishedDescriptionRequest(TPackageBuild* Build, const TPackage& Package)
{
  // A URL that cannot be requested would never be answered: the build's
  // description has failed at once.
  if (!shared::isRequestableUrl(Build->url) || (!Build->assetsUrl.isEmpty() && !shared::isRequestableUrl(Build->assetsUrl))) {
    logDescriptionFailure(Build->url, "Invalid URL");
    return;
  }
  // A compressed copy that could not be fetched is only a lost chance: the
  // description itself is fetched.
  const bool Compressed = shared::isRequestableUrl(Build->compressedUrl) && isWebUrl(Build->compressedUrl) &&
                          Build->compressedUrl != Build->url;
  TPackageBuildRequest Request{Build, buildPackageDescriptionUrl(Build->url), buildPackageDescriptionUrl(Build->assetsUrl),
                               {}, {}, Package.name(), Package.isLauncher(),
                               Compressed ? buildPackageDescriptionUrl(Build->compressedUrl) : QUrl()};
  // A publication that writes compressed copies writes delta copies too.
  if (Compressed)
    offerDeltaCopy(Request, Package);
  m_PendingRequests.push_back(Request);
}

void TLauncherConfigurationHandler::offerDeltaCopy(TPackageBuildRequest& Request, const TPackage& Package)
{
  const QString Marker = Package.installationDirectory(*m_pLauncherFilesystemHelper)
                             .absoluteFilePath(m_pLauncherFilesystemHelper->launcherSettings()->packageFile);
  if (QFileInfo(Marker).size() > shared::MaxDescriptionBytes)
    return;
  const QByteArray Base = m_pLauncherFilesystemHelper->readFileIfExists(Marker);
  if (Base.isEmpty())
    return;
  QUrl Delta = Request.build->url;
  const QString Path = Delta.path();
  const QString Name = Path.mid(Path.lastIndexOf('/') + 1);
  Delta.setPath(Path.left(Path.size() - Name.size()) + shared::deltaDescriptionName(Name, Base));
  if (Name.isEmpty() || !shared::isRequestableUrl(Delta))
    return;
  Request.deltaDescriptionUrl = buildPackageDescriptionUrl(Delta);
  Request.deltaBase = Base;
}

void TLauncherConfigurationHandler::requestPackageDescription(const TPackageBuildRequest& Request)
{
  TDocumentFetch Fetch;
  Fetch.maxBytes = shared::MaxDescriptionBytes;
  const shared::TSignedDocument Document = descriptionDocument(Request, false);
  if (!Request.deltaDescriptionUrl.isEmpty()) {
    Fetch.compressedCopyOf = Request.packageDescriptionUrl;
    Fetch.deltaBase = Request.deltaBase;
    m_SignedDocuments.download(Request.deltaDescriptionUrl, Document, Fetch);
  } else if (!Request.compressedDescriptionUrl.isEmpty()) {
    Fetch.compressedCopyOf = Request.packageDescriptionUrl;
    m_SignedDocuments.download(Request.compressedDescriptionUrl, Document, Fetch);
  } else {
    m_SignedDocuments.download(Request.packageDescriptionUrl, Document, Fetch);
  }
}

bool TLauncherConfigurationHandler::fallBackToPlainDescription(const QUrl& Url, const QString& ErrorString)
{
  std::vector<TPackageBuildRequest> Fallbacks;
  for (TPackageBuildRequest& Entry : m_PendingRequests) {
    if (!Entry.deltaDescriptionUrl.isEmpty() && Entry.deltaDescriptionUrl == Url) {
      Entry.deltaDescriptionUrl.clear();
      Entry.deltaBase.clear();
    } else if (!Entry.compressedDescriptionUrl.isEmpty() && Entry.compressedDescriptionUrl == Url) {
      Entry.compressedDescriptionUrl.clear();
    } else {
      continue;
    }
    const bool Asked = std::any_of(Fallbacks.begin(), Fallbacks.end(), [&](const TPackageBuildRequest& Other) {
      return Other.packageDescriptionUrl == Entry.packageDescriptionUrl;
    });
    if (!Asked)
      Fallbacks.push_back(Entry);
  }
  if (Fallbacks.empty())
    return false;
  const TPackageBuildRequest& Next = Fallbacks.front();
  qWarning().noquote() << QString("Compressed description %1 not used: %2; fetching %3")
                              .arg(Url.toString(), ErrorString,
                                   (Next.compressedDescriptionUrl.isEmpty() ? Next.packageDescriptionUrl
                                                                            : Next.compressedDescriptionUrl)
                                       .toString());
  for (const TPackageBuildRequest& Request : Fallbacks)
    requestPackageDescription(Request);
  return true;
}

void TLauncherConfigurationHandler::logDescriptionFailure(const QUrl& Url, const QString& ErrorString)
{
  qCritical().noquote() << QString("Download of package configuration/asset from configuration %1 failed: %2")
                               .arg(Url.toString(), ErrorString);
}

void TLauncherConfigurationHandler::onConfigurationDownloadFinished(QUrl Url, QByteArray Data)
{
  if (Data.isEmpty()) {
    onConfigurationDownloadFailed(Url, QNetworkReply::ContentNotFoundError, "Data stream is empty");
    return;
  }
  if (Url == m_ConfigurationUrl && m_ErrorTimer.isActive()) {
    m_ErrorTimer.stop();
    try {
      m_pConfiguration = std::make_shared<TLauncherConfigurationReader>(Data, urlWithoutFileName(m_ConfigurationUrl));
    } catch (const TLauncherConfigurationException&) {
      emit mainConfigurationDownloadFailed();
      return;
    }
    try {
      writeCachedConfiguration(Url, Data);
    } catch (const std::runtime_error& Error) {
      emit diskAccessFailed(QString::fromUtf8(Error.what()));
      return;
    }
    emit mainConfigurationLoaded();
    return;
  }
  if (m_pConfiguration && Url == m_pConfiguration->hintsUrl()) {
    std::vector<shared::THint> Hints = shared::parseHints(Data);
    const auto Featured = shared::selectFeaturedHint(Hints, QDateTime::currentDateTimeUtc());
    if (Featured) {
      m_CurrentHint = *Featured;
      m_Hints = std::move(Hints);
      emit hintAreaDataReceived(m_CurrentHint);
      emit hintsAreaDataReceived(m_Hints);
    }
    return;
  }
  handleDescriptionReply(Url, Data);
}

void TLauncherConfigurationHandler::writeCachedConfiguration(const QUrl& Url, const QByteArray& Data)
{
  m_pLauncherFilesystemHelper->ensureDirectory(TLauncherFilesystemHelper::dataDirectory());
  // The signature goes first: a crash between the two renames leaves a pair
  // that does not verify, and such a cache is not used.
  if (m_SignedDocuments.isChecking())
    m_pLauncherFilesystemHelper->writeFileAtomically(cacheSignatureFilePath(), m_SignedDocuments.signatureOf(Url));
  m_pLauncherFilesystemHelper->writeFileAtomically(cacheFilePath(), Data);
}

void TLauncherConfigurationHandler::handleDescriptionReply(const QUrl& Url, const QByteArray& Data)
{
  bool Matched = false;
  for (auto Entry = m_PendingRequests.begin(); Entry != m_PendingRequests.end();) {
    const bool IsPackage = Entry->packageDescriptionUrl == Url ||
                           (!Entry->compressedDescriptionUrl.isEmpty() && Entry->compressedDescriptionUrl == Url) ||
                           (!Entry->deltaDescriptionUrl.isEmpty() && Entry->deltaDescriptionUrl == Url);
    const bool IsAsset = Entry->assetDescriptionUrl == Url;
    if (!IsPackage && !IsAsset) {
      ++Entry;
      continue;
    }
    Matched = true;
    if (IsPackage)
      Entry->packageDescriptionData = Data;
    else
      Entry->assetDescriptionData = Data;
    if (!Entry->isComplete()) {
      ++Entry;
      continue;
    }
    if (Entry->build)
      attachDescription(*Entry);
    Entry = m_PendingRequests.erase(Entry);
    if (m_PendingRequests.empty())
      emit packageConfigurationDownloadsFinished();
  }
  Q_UNUSED(Matched);
}

void TLauncherConfigurationHandler::attachDescription(TPackageBuildRequest& Request)
{
  auto Description = std::make_unique<TPackageConfigurationReader>(
      Request.packageDescriptionData, Request.assetDescriptionData, urlWithoutFileName(Request.packageDescriptionUrl),
      urlWithoutFileName(Request.assetDescriptionUrl));
  Description->refuseReservedRootNames(m_pLauncherFilesystemHelper->ownFileNames());
  QString Problem = Description->invalidReason();
  if (Problem.isEmpty() && Request.launcher)
    Problem = shared::launcherDescriptionProblem(*Description, m_LauncherExecutable);
  // A reply that is no usable description (a captive portal's page, a
  // cut-off document, another document in its place, one that would
  // overwrite the launcher's own files) counts as a failed
  // download: the build keeps what it had, and nothing is installed,
  // updated or deleted because of it.
  if (Problem.isEmpty()) {
    Request.build->description = std::move(Description);
    return;
  }
  qCritical().noquote() << QString("Download of package configuration/asset from configuration %1 failed: "
                                   "not a usable description: %2")
                               .arg(Request.packageDescriptionUrl.toString(), Problem);
  if (!m_Offline)
    refuse(Request.packageName, Description->isTooLarge() ? EDocumentRefusal::TooLarge : EDocumentRefusal::NotADescription);
}

void TLauncherConfigurationHandler::onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                                                  QString ErrorString)
{
  const auto SignatureRefusal = m_SignatureRefusals.find(Url);
  std::optional<EDocumentRefusal> Refusal;
  if (SignatureRefusal != m_SignatureRefusals.end()) {
    Refusal = *SignatureRefusal;
    m_SignatureRefusals.erase(SignatureRefusal);
  }
  if (Url == m_ConfigurationUrl) {
    // Once the configuration phase is over (loaded, or the cache was used
    // after the error timer fired), a late failure report changes nothing:
    // it must not undo a configuration that is already in use.
    if (!m_ErrorTimer.isActive())
      return;
    qCritical().noquote() << QString("Download of configuration failed: %1").arg(ErrorString);
    m_ErrorTimer.stop();
    if (Refusal)
      refuse(QString(), *Refusal);
    if (Code == QNetworkReply::ContentAccessDenied || Code == QNetworkReply::ContentNotFoundError)
      emit mainConfigurationDownloadFailed();
    else
      loadCachedConfiguration();
    return;
  }
  if (fallBackToPlainDescription(Url, ErrorString))
    return;
  // The player is told why a description too large for this launcher is
  // not used: nothing else would explain the package's failure.
  if (!Refusal && !m_Offline && shared::isBodyTooLargeError(ErrorString))
    Refusal = EDocumentRefusal::TooLarge;
  bool Found = false;
  for (auto Entry = m_PendingRequests.begin(); Entry != m_PendingRequests.end();) {
    if (Entry->packageDescriptionUrl == Url || Entry->assetDescriptionUrl == Url) {
      if (!Found)
        logDescriptionFailure(Url, ErrorString);
      if (Refusal)
        refuse(Entry->packageName, *Refusal);
      Found = true;
      Entry = m_PendingRequests.erase(Entry);
    } else {
      ++Entry;
    }
  }
  if (Found && m_PendingRequests.empty())
    emit packageConfigurationDownloadsFinished();
}

void TLauncherConfigurationHandler::onErrorTimerExpired()
{
  m_ErrorTimer.stop();
  loadCachedConfiguration();
}

void TLauncherConfigurationHandler::loadCachedConfiguration()
{
  try {
    const QString Path = cacheFilePath();
    const QByteArray Data = m_pLauncherFilesystemHelper->readFileIfExists(Path);
    if (Data.isEmpty()) {
      emit mainConfigurationDownloadFailed();
      return;
    }
    if (!isCacheUsable(Data)) {
      emit mainConfigurationDownloadFailed();
      return;
    }
    m_pConfiguration =
        std::make_shared<TLauncherConfigurationReader>(Data, urlWithoutFileName(QUrl::fromLocalFile(Path)));
    m_Offline = true;
    emit mainConfigurationLoaded();
  } catch (const std::runtime_error& Error) {
    emit diskAccessFailed(QString::fromUtf8(Error.what()));
  }
}

bool TLauncherConfigurationHandler::isCacheUsable(const QByteArray& Data)
{
  if (!m_SignedDocuments.isChecking())
    return true;
  const TSignatureVerdict Verdict = m_SignedDocuments.judgeKept(
      Data, m_pLauncherFilesystemHelper->readFileIfExists(cacheSignatureFilePath()), configurationDocument());
  if (!Verdict.accepted()) {
    qCritical().noquote() << QString("Cached configuration not used: signature refused: %1").arg(Verdict.refusal);
    return false;
  }
  // It was checked when it was fetched; an offline player keeps playing.
  const QDateTime Now = QDateTime::currentDateTimeUtc();
  if (Verdict.expires < Now)
    qWarning().noquote() << QString("Cached configuration used although its signature expired %1 days ago (%2)")
                                .arg(Verdict.expires.daysTo(Now))
                                .arg(Verdict.expires.toString(Qt::ISODate));
  return true;
}

} // namespace orvale::launcher
