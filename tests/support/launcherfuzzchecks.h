#pragma once

// Entry points of the launcher's document readers, shared by the libFuzzer
// targets (fuzz/) and the replay of their regression inputs in the launcher
// tests. See fuzzchecks.h for the outcome they report.

#include "fuzzchecks.h"

#include "launcher/launcherconfigurationreader.h"
#include "launcher/launchersettings.h"
#include "engine/package.h"
#include "shared/packageconfigurationreader.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <exception>
#include <limits>

namespace fuzzchecks {

// A package description and an asset description travel in one input,
// separated by this line; without it the whole input is the package
// description and there is no asset description.
inline const QByteArray& documentSeparator()
{
  static const QByteArray Separator("\n--asset--\n");
  return Separator;
}

inline QByteArray joinDocuments(const QByteArray& Package, const QByteArray& Asset)
{
  return Package + documentSeparator() + Asset;
}

// The reader is valid only when both documents are JSON objects (an empty
// asset description counts as none) that can be descriptions, and then
// invalid only for a file named twice; an invalid reader is empty and says
// why; files are sorted and every file is found by its name; the raw
// documents are kept unchanged.
inline TOutcome checkPackageConfiguration(const QByteArray& Input)
{
  using namespace orvale::launcher;
  const int Split = Input.indexOf(documentSeparator());
  const QByteArray PackageData = Split < 0 ? Input : Input.left(Split);
  const QByteArray AssetData = Split < 0 ? QByteArray() : Input.mid(Split + documentSeparator().size());

  QJsonParseError Error;
  const QJsonDocument Package = QJsonDocument::fromJson(PackageData, &Error);
  bool Parses = Package.isObject() && Error.error == QJsonParseError::NoError;
  QString NoDescription;
  if (Parses)
    NoDescription = shared::descriptionDocumentProblem(Package.object(), "package description", true);
  if (Parses && !AssetData.isEmpty()) {
    const QJsonDocument Asset = QJsonDocument::fromJson(AssetData, &Error);
    Parses = Asset.isObject() && Error.error == QJsonParseError::NoError;
    if (Parses && NoDescription.isEmpty())
      NoDescription = shared::descriptionDocumentProblem(Asset.object(), "asset description", false);
  }

  // A published pair and the installed copy (local-file base URLs).
  const QUrl Bases[2][2] = {{QUrl("https://cdn.example.org/client/linux/package.json"),
                             QUrl("https://cdn.example.org/client/linux/assets.json")},
                            {QUrl::fromLocalFile("/opt/ashgrove/packages/client"),
                             QUrl::fromLocalFile("/opt/ashgrove/packages/client")}};
  TOutcome Outcome;
  for (const auto& Base : Bases) {
    const TPackageConfigurationReader Reader(PackageData, AssetData, Base[0], Base[1]);
    Outcome.accepted = Reader.isValid();
    if (Reader.isValid() && !Parses)
      return {"a document that is no JSON object gave a valid description", Outcome.accepted};
    if (Parses && !NoDescription.isEmpty() && Reader.invalidReason() != NoDescription)
      return {"a document that is no description gave " + (Reader.isValid() ? QString("a valid description")
                                                                               : Reader.invalidReason()),
              Outcome.accepted};
    if (!Reader.isValid() && Parses && NoDescription.isEmpty() && !Reader.invalidReason().endsWith("is named twice"))
      return {"valid JSON objects gave an invalid description: " + Reader.invalidReason(), Outcome.accepted};
    if (Reader.isValid() != Reader.invalidReason().isEmpty())
      return {"the reason does not match the validity", Outcome.accepted};
    if (Reader.packageData() != PackageData || Reader.assetData() != AssetData)
      return {"the raw documents were not kept unchanged", Outcome.accepted};
    if (!Reader.isValid() &&
        (!Reader.files().empty() || !Reader.chunks().empty() || !Reader.version().isEmpty() ||
         !Reader.parameters().isEmpty()))
      return {"an invalid description is not empty", false};
    const QString Expected = QString("P%1 A%2")
                                 .arg(Reader.version().isEmpty() ? QString("?") : Reader.version(),
                                      Reader.assetVersion().isEmpty() ? QString("?") : Reader.assetVersion());
    if (Reader.versionText() != Expected)
      return {"version text " + Reader.versionText() + " instead of " + Expected, Outcome.accepted};
    const auto& Files = Reader.files();
    for (std::size_t Index = 1; Index < Files.size(); ++Index) {
      if (Files[Index].localFile < Files[Index - 1].localFile)
        return {"the files are not sorted", Outcome.accepted};
    }
    for (const TFileInPackage& File : Files) {
      const auto Found = Reader.findFile(File.localFile);
      if (Found == Files.end() || Found->localFile != File.localFile)
        return {"findFile does not find " + File.localFile, Outcome.accepted};
    }
  }
  return Outcome;
}

// Construction throws TLauncherConfigurationException exactly for input that
// is not JSON (anything else thrown escapes and is a finding); packages
// carry their position, in order, the launcher its own index; every package
// kept is installed in a folder directly inside the packages folder; the
// build chosen for this system really is one for this system.
inline TOutcome checkLauncherConfiguration(const QByteArray& Data)
{
  using namespace orvale::launcher;
  QJsonParseError Error;
  const QJsonDocument Json = QJsonDocument::fromJson(Data, &Error);
  const bool Parses = Error.error == QJsonParseError::NoError;
  const QUrl BaseUrl("https://www.example.org/launcher/");

  std::unique_ptr<TLauncherConfigurationReader> pReader;
  try {
    pReader = std::make_unique<TLauncherConfigurationReader>(Data, BaseUrl);
  } catch (const TLauncherConfigurationException& Exception) {
    if (Parses)
      return {QString("valid JSON raised: ") + Exception.what(), false};
    if (QString(Exception.what()).isEmpty())
      return {"the exception carries no parser error text", false};
    return {QString(), false};
  }
  if (!Parses)
    return {"invalid JSON did not raise TLauncherConfigurationException", true};

  const TLauncherConfigurationReader& Reader = *pReader;
  if (Reader.documentData() != Data || Reader.baseUrl() != BaseUrl)
    return {"the document bytes or the base URL were not kept", true};
  const QJsonObject Root = Json.object();
  if (bool(Reader.launcherPackage()) != Root.value("launcher").isObject())
    return {"launcher package present without a \"launcher\" object, or missing with one", true};
  const std::size_t Entries = Root.value("packages").isArray() ? std::size_t(Root.value("packages").toArray().size()) : 0;
  if (Reader.packages().size() > Entries)
    return {QString("%1 packages from %2 entries").arg(Reader.packages().size()).arg(Entries), true};

  const auto CheckPackage = [](const TPackage& Package, std::int32_t Index) -> QString {
    if (Package.index() != Index)
      return QString("package index %1 instead of %2").arg(Package.index()).arg(Index);
    if (Package.isLauncher() != (Index == LauncherPackageIndex))
      return "isLauncher does not follow the index";
    if (Package.currentDescription() != nullptr)
      return "a description is attached before any was downloaded";
    const TPackageBuild* Build = Package.currentBuild();
    if (Build) {
      if (Build->os != TPackage::runningOperatingSystem() || Build->architecture != TPackage::runningArchitecture())
        return "the current build is not one for this system";
      const auto& Builds = Package.builds();
      const auto First = std::find_if(Builds.begin(), Builds.end(), [](const auto& pBuild) {
        return pBuild->os == TPackage::runningOperatingSystem() &&
               pBuild->architecture == TPackage::runningArchitecture();
      });
      if (First == Builds.end() || First->get() != Build)
        return "the current build is not the first one for this system";
    }
    // The remaining accessors must work on whatever the entry held.
    const QString Probe = Package.name() + Package.directoryName() + Package.logoLinkTarget().toString();
    Q_UNUSED(Probe)
    for (const auto& pBuild : Package.builds()) {
      const QString Urls = pBuild->url.toString() + pBuild->assetsUrl.toString();
      Q_UNUSED(Urls)
    }
    return QString();
  };

  if (Reader.launcherPackage()) {
    const QString Violation = CheckPackage(*Reader.launcherPackage(), LauncherPackageIndex);
    if (!Violation.isEmpty())
      return {"launcher: " + Violation, true};
  }
  const QString PackagesFolder("/opt/ashgrove/packages");
  std::int32_t Previous = -1;
  for (const auto& pPackage : Reader.packages()) {
    const std::int32_t Position = pPackage->index();
    if (Position <= Previous || std::size_t(Position) >= Entries)
      return {QString("package index %1 after %2 of %3 entries").arg(Position).arg(Previous).arg(Entries), true};
    Previous = Position;
    const QString Violation = CheckPackage(*pPackage, Position);
    if (!Violation.isEmpty())
      return {QString("package %1: ").arg(Position) + Violation, true};
    const QString Folder = QDir::cleanPath(PackagesFolder + '/' + pPackage->directoryName());
    if (QFileInfo(Folder).path() != PackagesFolder || pPackage->directoryName().contains('\\'))
      return {QString("package %1 is installed in %2").arg(Position).arg(Folder), true};
  }
  const QString Urls =
      Reader.hardwareSurveyUrl().toString() + Reader.hintsUrl().toString() + Reader.funnelUrl().toString();
  Q_UNUSED(Urls)
  if (Reader.preventDefaultAutostart() != Root.value("preventdefaultautostart").toBool(false) ||
      Reader.showPackageNames() != Root.value("showpackagenames").toBool(false))
    return {"a flag does not follow its boolean member", true};
  return {QString(), true};
}

// Reading never fails and is repeatable: the same file gives the same
// settings twice; time-outs stay in the 32-bit range they are parsed in.
inline TOutcome checkSettingsFile(const QString& Path)
{
  using namespace orvale::launcher;
  const auto pFirst = TLauncherSettings::loadFromFile(Path);
  const auto pSecond = TLauncherSettings::loadFromFile(Path);
  if (!pFirst || !pSecond)
    return {"loadFromFile returned no settings", false};
  const TLauncherSettings& A = *pFirst;
  const TLauncherSettings& B = *pSecond;
  const bool Same =
      A.launcherConfiguration == B.launcherConfiguration && A.cdnDiagnosticsTrace == B.cdnDiagnosticsTrace &&
      A.appendNocacheToPackageUrls == B.appendNocacheToPackageUrls && A.packages == B.packages &&
      A.settingsTarget == B.settingsTarget && A.packageFile == B.packageFile &&
      A.partialPackageFile == B.partialPackageFile && A.assetFile == B.assetFile &&
      A.accountGroupFile == B.accountGroupFile && A.waitNotificationTimeout == B.waitNotificationTimeout &&
      A.downloadErrorTimeout == B.downloadErrorTimeout && A.clientStartTimeout == B.clientStartTimeout &&
      A.fastScan == B.fastScan && A.skipVerification == B.skipVerification &&
      A.chunkVerification == B.chunkVerification && A.maxCachedChunks == B.maxCachedChunks &&
      A.maxConcurrentDownloads == B.maxConcurrentDownloads;
  if (!Same)
    return {"the same file read twice gave different settings", true};
  for (const std::int64_t Timeout : {A.waitNotificationTimeout, A.downloadErrorTimeout, A.clientStartTimeout}) {
    if (Timeout < std::numeric_limits<std::int32_t>::min() || Timeout > std::numeric_limits<std::int32_t>::max())
      return {"a time-out outside the 32-bit range it is parsed in", true};
  }
  return {QString(), true};
}

} // namespace fuzzchecks
