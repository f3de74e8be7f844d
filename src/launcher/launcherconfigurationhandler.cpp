#include "launcher/launcherconfigurationhandler.h"

#include "shared/downloadpool.h"
#include "shared/randomnumbergenerator.h"

#include <QDebug>
#include <QDir>
#include <QUrlQuery>

#include <limits>
#include <stdexcept>

namespace orvale::launcher {

namespace {

const char* const kCacheFileName = "launchermetadata.json";
const char* const kNocacheAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

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
{
  m_ErrorTimer.setSingleShot(true);
  m_ErrorTimer.setInterval(int(qBound<qint64>(0, m_pLauncherFilesystemHelper->launcherSettings()->downloadErrorTimeout,
                                              std::numeric_limits<int>::max())));
  connect(&m_SignedDocuments, &TSignedDocumentDownloads::success, this,
          &TLauncherConfigurationHandler::onConfigurationDownloadFinished);
  connect(&m_SignedDocuments, &TSignedDocumentDownloads::failed, this,
          &TLauncherConfigurationHandler::onConfigurationDownloadFailed);
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
  m_SignedDocuments.download(m_ConfigurationUrl);
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
          addPublishedDescriptionRequest(Build);
      }
    }
    const auto Settings = m_pLauncherFilesystemHelper->launcherSettings();
    for (const auto& Package : m_pConfiguration->packages()) {
      TPackageBuild* Build = Package->currentBuild();
      if (!Build)
        continue;
      if (!m_Offline) {
        addPublishedDescriptionRequest(Build);
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
                                     {}, {}});
      }
    }
    if (m_PendingRequests.empty()) {
      emit packageConfigurationDownloadsFinished();
      return;
    }
    // Copy: a download may fail synchronously and shrink the pending list.
    const std::vector<TPackageBuildRequest> Requests = m_PendingRequests;
    for (const TPackageBuildRequest& Request : Requests) {
      for (const QUrl& Url : {Request.packageDescriptionUrl, Request.assetDescriptionUrl}) {
        if (!Url.isValid())
          continue;
        // Online, descriptions come from web servers only: a configuration
        // must not make the launcher read local files or devices. Offline
        // they are the installations' own markers, which were accepted when
        // they were installed.
        if (m_Offline)
          m_pDownloadPool->download(Url);
        else if (Url.scheme() != "http" && Url.scheme() != "https")
          onConfigurationDownloadFailed(Url, QNetworkReply::ProtocolUnknownError, "Not an http or https URL");
        else
          m_SignedDocuments.download(Url);
      }
    }
  } catch (const std::runtime_error& Error) {
    emit diskAccessFailed(QString::fromUtf8(Error.what()));
  }
}

void TLauncherConfigurationHandler::addPublishedDescriptionRequest(TPackageBuild* Build)
{
  // A URL that cannot be requested would never be answered: the build's
  // description has failed at once.
  if (!shared::isRequestableUrl(Build->url) || (!Build->assetsUrl.isEmpty() && !shared::isRequestableUrl(Build->assetsUrl))) {
    logDescriptionFailure(Build->url, "Invalid URL");
    return;
  }
  m_PendingRequests.push_back(
      {Build, buildPackageDescriptionUrl(Build->url), buildPackageDescriptionUrl(Build->assetsUrl), {}, {}});
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
    const bool IsPackage = Entry->packageDescriptionUrl == Url;
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
    if (Entry->build) {
      auto Description = std::make_unique<TPackageConfigurationReader>(
          Entry->packageDescriptionData, Entry->assetDescriptionData,
          urlWithoutFileName(Entry->packageDescriptionUrl), urlWithoutFileName(Entry->assetDescriptionUrl));
      // A reply that is no usable description (a captive portal's page, a
      // cut-off document, one that would overwrite the launcher's own files)
      // counts as a failed download: the build keeps what it had, and
      // nothing is installed, updated or deleted because of it.
      Description->refuseReservedRootNames(m_pLauncherFilesystemHelper->ownFileNames());
      if (Description->isValid()) {
        Entry->build->description = std::move(Description);
      } else {
        qCritical().noquote() << QString("Download of package configuration/asset from configuration %1 failed: "
                                         "not a usable description: %2")
                                     .arg(Entry->packageDescriptionUrl.toString(), Description->invalidReason());
      }
    }
    Entry = m_PendingRequests.erase(Entry);
    if (m_PendingRequests.empty())
      emit packageConfigurationDownloadsFinished();
  }
  Q_UNUSED(Matched);
}

void TLauncherConfigurationHandler::onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code,
                                                                  QString ErrorString)
{
  if (Url == m_ConfigurationUrl) {
    // Once the configuration phase is over (loaded, or the cache was used
    // after the error timer fired), a late failure report changes nothing:
    // it must not undo a configuration that is already in use.
    if (!m_ErrorTimer.isActive())
      return;
    qCritical().noquote() << QString("Download of configuration failed: %1").arg(ErrorString);
    m_ErrorTimer.stop();
    if (Code == QNetworkReply::ContentAccessDenied || Code == QNetworkReply::ContentNotFoundError)
      emit mainConfigurationDownloadFailed();
    else
      loadCachedConfiguration();
    return;
  }
  bool Found = false;
  for (auto Entry = m_PendingRequests.begin(); Entry != m_PendingRequests.end();) {
    if (Entry->packageDescriptionUrl == Url || Entry->assetDescriptionUrl == Url) {
      if (!Found)
        logDescriptionFailure(Url, ErrorString);
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

bool TLauncherConfigurationHandler::isCacheUsable(const QByteArray& Data) const
{
  if (!m_SignedDocuments.isChecking())
    return true;
  const auto Check =
      m_SignedDocuments.checkKept(Data, m_pLauncherFilesystemHelper->readFileIfExists(cacheSignatureFilePath()));
  if (Check == shared::ESignatureCheck::Valid)
    return true;
  qCritical().noquote() << QString("Cached configuration not used: signature refused: %1")
                               .arg(shared::signatureCheckText(Check));
  return false;
}

} // namespace orvale::launcher
