#include "launcher/launchersettings.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace orvale::launcher {

namespace {

const char* const kSettingsFileName = "launchersettings.ini";

QString readText(QSettings& Settings, const char* Section, const char* Key, const QString& Default)
{
  Settings.beginGroup(Section);
  const QVariant Value = Settings.value(Key, Default);
  Settings.endGroup();
  // A value with a comma is returned as a list by the INI reader.
  if (Value.type() == QVariant::StringList)
    return Value.toStringList().join(',');
  return Value.toString();
}

// The INI reader turns values that begin with "@Variant(" or "@DateTime("
// into objects through QDataStream, for every registered type (pixmaps and
// other GUI types included); forged data there crashes it or makes it
// allocate without bound. No setting is such a value, so a file that could
// produce one counts as malformed. After unescaping, such a value needs an
// "@" and the type word: a file is refused when it has a hex or octal escape
// (which could spell any of them), or an "@" together with "Variant(",
// "DateTime(" or any backslash (other escapes, continued lines).
bool mayHoldSerialisedValues(const QString& Path)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly))
    return false;  // unreadable: the INI reader finds no keys either
  // Every byte, NUL bytes included: the INI reader reads past them.
  const QByteArray Content = File.readAll();
  for (int Index = 0; Index + 1 < Content.size(); ++Index) {
    const char Next = Content.at(Index + 1);
    if (Content.at(Index) == '\\' && (Next == 'x' || Next == 'X' || (Next >= '0' && Next <= '7')))
      return true;
  }
  return Content.contains('@') &&
         (Content.contains("Variant(") || Content.contains("DateTime(") || Content.contains('\\'));
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
  if (mayHoldSerialisedValues(Path))
    return Result;  // a malformed file reads as a file without keys
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
