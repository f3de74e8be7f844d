#pragma once

#include "launcher/launcherconfigurationreader.h"
#include "launcher/launcherfilesystemhelper.h"
#include "launcher/signeddocuments.h"
#include "shared/randomhints.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkReply>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace orvale::launcher {

// One package build whose descriptions are awaited.
struct TPackageBuildRequest
{
  TPackageBuild* build = nullptr;  // not owned
  QUrl packageDescriptionUrl;
  QUrl assetDescriptionUrl;        // may be empty: no asset description
  QByteArray packageDescriptionData;
  QByteArray assetDescriptionData;
  QString packageName;
  bool launcher = false;           // the build of the launcher's own package
  // The compressed copy of the package description, asked for instead of
  // it; emptied when it failed and the description itself is asked for.
  QUrl compressedDescriptionUrl;
  // The delta copy against the installed description (deltaBase), asked for
  // before the compressed copy; emptied when it failed.
  QUrl deltaDescriptionUrl;
  QByteArray deltaBase;

  bool isComplete() const;
};

// A document the launcher did not act on although it arrived: its signature
// was refused, or it was no usable description. Package is the name of the
// package it was for, empty for the configuration document.
struct TRefusedDocument
{
  QString package;
  EDocumentRefusal reason = EDocumentRefusal::NotSigned;
};

// Obtains what the launcher learns from the network before it can show
// packages: the configuration document (with a fallback to the copy cached
// by the last successful run), the package and asset descriptions of every
// package, and the hints document. With release keys in the settings, the
// configuration document and the descriptions it fetches count only with a
// valid signature made for them in their place (TSignedDocumentDownloads),
// and the cached configuration is used only together with the signature it
// was accepted with, and only when no newer one was accepted since. A
// description that arrives but cannot be the description its place expects
// (descriptionDocumentProblem; the launcher's must name the launcher's own
// executable) counts as a failed download. Such refusals are kept for the
// player (refusedDocuments). Descriptions may be as large as
// shared::MaxDescriptionBytes; a larger one is refused as TooLarge. A
// build's compressed description ("compressedurl") is preferred to the
// package description: decoded, it must be the package description its
// signature vouches for; when it cannot be fetched, decoded or accepted, the
// package description itself is fetched.
class TLauncherConfigurationHandler : public QObject
{
  Q_OBJECT
public:
  TLauncherConfigurationHandler(std::shared_ptr<::shared::TDownloadPool> DownloadPool,
                                std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper);
  ~TLauncherConfigurationHandler() override;

  // Clears the offline flag, requests the configuration document and starts
  // the error timer. A configuration URL that cannot be requested fails at
  // once (from the event loop): the cached copy is used.
  void startConfigurationDownload();
  void requestPackageConfigurations();
  void loadCachedConfiguration();
  QUrl buildPackageDescriptionUrl(const QUrl& Url) const;

  const QUrl& configurationUrl() const { return m_ConfigurationUrl; }
  std::shared_ptr<TLauncherConfigurationReader> configuration() const { return m_pConfiguration; }
  bool isOffline() const { return m_Offline; }
  void setOffline(bool Offline) { m_Offline = Offline; }
  const ::shared::THint& currentHint() const { return m_CurrentHint; }
  const std::vector<::shared::THint>& hints() const { return m_Hints; }
  const std::vector<TPackageBuildRequest>& pendingRequests() const { return m_PendingRequests; }
  QTimer& errorTimer() { return m_ErrorTimer; }
  // The documents refused in this run, in the order they were refused.
  const std::vector<TRefusedDocument>& refusedDocuments() const { return m_Refused; }
  // The running launcher's executable relative to its folder, which the
  // launcher's description must name (the file name of the running program
  // unless set).
  void setLauncherExecutable(const QString& RelativePath) { m_LauncherExecutable = RelativePath; }

  // Path of the cached configuration document, and of the signature it was
  // accepted with (kept only when signatures are checked).
  static QString cacheFilePath();
  static QString cacheSignatureFilePath();

signals:
  void mainConfigurationLoaded();
  void mainConfigurationDownloadFailed();
  void diskAccessFailed(QString ErrorMessage);
  void packageConfigurationDownloadsFinished();
  void hintAreaDataReceived(const ::shared::THint& Hint);
  void hintsAreaDataReceived(std::vector<::shared::THint> Hints);

public slots:
  void onConfigurationDownloadFinished(QUrl Url, QByteArray Data);
  void onConfigurationDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
  void onErrorTimerExpired();

private:
  // Asks for the build's published descriptions; a build whose URLs cannot
  // be requested is logged as a failed description instead.
  void addPublishedDescriptionRequest(TPackageBuild* Build, const TPackage& Package);
  // What a signature must name for each document.
  ::shared::TSignedDocument configurationDocument() const;
  ::shared::TSignedDocument descriptionDocument(const TPackageBuildRequest& Request, bool Asset) const;
  // Makes the request's description and attaches it to its build, unless it
  // cannot be the description its place expects.
  void attachDescription(TPackageBuildRequest& Request);
  void refuse(const QString& Package, EDocumentRefusal Reason);
  static void logDescriptionFailure(const QUrl& Url, const QString& ErrorString);
  void handleDescriptionReply(const QUrl& Url, const QByteArray& Data);
  // Asks for the package descriptions whose compressed copy at Url failed;
  // false when Url is no compressed copy awaited.
  bool fallBackToPlainDescription(const QUrl& Url, const QString& ErrorString);
  // Offers the delta copy of the published description against the one the
  // package has installed, when it has one.
  void offerDeltaCopy(TPackageBuildRequest& Request, const TPackage& Package);
  // Asks for the first form of the package description still offered:
  // delta copy, compressed copy, or the description.
  void requestPackageDescription(const TPackageBuildRequest& Request);
  void writeCachedConfiguration(const QUrl& Url, const QByteArray& Data);
  // Whether the cached document may be used: always without release keys,
  // else only with a signature of one of the keys for it beside it that is
  // not older than the newest accepted.
  bool isCacheUsable(const QByteArray& Data);

  std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
  std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
  TSignedDocumentDownloads m_SignedDocuments;
  QUrl m_ConfigurationUrl;
  QTimer m_ErrorTimer;
  std::shared_ptr<TLauncherConfigurationReader> m_pConfiguration;
  bool m_Offline = false;
  ::shared::THint m_CurrentHint;
  std::vector<::shared::THint> m_Hints;
  std::vector<TPackageBuildRequest> m_PendingRequests;
  QString m_LauncherExecutable;
  QHash<QUrl, EDocumentRefusal> m_SignatureRefusals;  // by document URL, until its failure is handled
  std::vector<TRefusedDocument> m_Refused;
};

} // namespace orvale::launcher
