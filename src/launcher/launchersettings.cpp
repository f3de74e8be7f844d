#include "launcher/launchersettings.h"

#include <QFileInfo>
#include <QSettings>

#include <new>

namespace orvale::launcher {

namespace {

const char* const kSettingsFileName = "launchersettings.ini";

QString readText(QSettings& Settings, const char* Section, const char* Key, const QString& Default)
{
  Settings.beginGroup(Section);
  QVariant Value = Default;
  try {
    Value = Settings.value(Key, Default);
  } catch (const std::bad_alloc&) {
    // The INI reader decodes "@Variant(...)" values of the whole section
    // through QDataStream; a forged element count there makes it allocate
    // without bound and throw. Such a section reads as if it had no keys.
  }
  Settings.endGroup();
  // A value with a comma is returned as a list by the INI reader.
  if (Value.type() == QVariant::StringList)
    return Value.toStringList().join(',');
  return Value.toString();
}

} // namespace

bool settingsTextToBool(const QString& Text)
{
  return !(Text.isEmpty() || Text == "0" || Text.compare("false", Qt::CaseInsensitive) == 0);
}

std::int32_t settingsTextToInt(const QString& Text)
{
  bool Ok = false;
  const int Value = Text.trimmed().toInt(&Ok, 10);
  return Ok ? Value : 0;
}

QString TLauncherSettings::settingsFilePath(const QString& ApplicationDirectory)
{
  const QString Candidate = ApplicationDirectory + "/" + kSettingsFileName;
  if (QFileInfo::exists(Candidate))
    return Candidate;
  return QString(":/settings/") + kSettingsFileName;
}

std::shared_ptr<TLauncherSettings> TLauncherSettings::loadFromFile(const QString& Path)
{
  auto Result = std::make_shared<TLauncherSettings>();
  QSettings Settings(Path, QSettings::IniFormat);

  const auto Url = [&](const char* Section, const char* Key) {
    return QUrl(readText(Settings, Section, Key, QString()), QUrl::TolerantMode);
  };
  const auto Text = [&](const char* Section, const char* Key) {
    return readText(Settings, Section, Key, QString());
  };
  const auto Bool = [&](const char* Section, const char* Key, bool Default) {
    return settingsTextToBool(readText(Settings, Section, Key, Default ? "true" : "false"));
  };
  const auto Int = [&](const char* Section, const char* Key, int Default) {
    return settingsTextToInt(readText(Settings, Section, Key, QString::number(Default)));
  };

  Result->launcherConfiguration = Url("URLS", "launcherConfiguration");
  Result->cdnDiagnosticsTrace = Url("URLS", "cdnDiagnosticsTrace");
  Result->appendNocacheToPackageUrls = Bool("URLS", "appendNocacheToPackageUrls", false);
  Result->packages = Text("DIRECTORIES", "packages");
  Result->settingsTarget = Text("DIRECTORIES", "settingsTarget");
  Result->packageFile = Text("FILES", "packageFile");
  Result->partialPackageFile = Text("FILES", "partialPackageFile");
  Result->assetFile = Text("FILES", "assetFile");
  Result->accountGroupFile = Text("FILES", "accountGroupFile");
  Result->waitNotificationTimeout = Int("TIMING", "waitNotificationTimeout", 0);
  Result->downloadErrorTimeout = Int("TIMING", "downloadErrorTimeout", 0);
  Result->clientStartTimeout = Int("TIMING", "clientStartTimeout", 0);
  Result->maxCachedChunks = Int("OPTIONS", "maxCachedChunks", 100);
  Result->maxConcurrentDownloads = Int("OPTIONS", "maxConcurrentDownloads", 10);
  Result->skipVerification = Bool("OPTIONS", "skipVerification", true);
  Result->fastScan = Bool("OPTIONS", "fastScan", true);
  Result->chunkVerification = Bool("DEBUG", "chunkVerification", false);
  return Result;
}

} // namespace orvale::launcher
