// Reading launchersettings.ini: the compiled-in copy overlaid key by key by
// the file beside the executable.

#include "launcher/launchersettings.h"

#include <QFile>
#include <QFileInfo>
#include <QDebug>
#include <QSettings>

#include <algorithm>
#include <iterator>
#include <vector>

namespace orvale::launcher {

namespace {

const char* const kSettingsFileName = "launchersettings.ini";

// The files to read, the one that wins first.
using TSettingsFiles = std::vector<std::unique_ptr<QSettings>>;

QString readText(const TSettingsFiles& Files, const char* Section, const char* Key, const QString& Default)
{
  const QString Name = QString("%1/%2").arg(Section, Key);
  for (const auto& File : Files) {
    if (!File->contains(Name))
      continue;
    const QVariant Value = File->value(Name);
    // A value with a comma is returned as a list by the INI reader.
    if (Value.type() == QVariant::StringList)
      return Value.toStringList().join(',');
    return Value.toString();
  }
  return Default;
}

// The INI reader turns a value that begins with "@Variant(" or "@DateTime("
// into an object through QDataStream, for every registered type (pixmaps and
// other GUI types included); forged data there crashes it or makes it
// allocate without bound. No setting is such a value, so a file with one
// counts as malformed. The file is cut into lines and values exactly as the
// reader does (QSettings' INI format in Qt 5), so that only values it would
// decode are found: comments, keys, section names and other values, with
// "@" or backslashes as they come, are no reason to refuse a file.

bool isIniSpace(char Character)
{
  return Character == ' ' || Character == '\t' || Character == '\n' || Character == '\r';
}

bool isHexDigit(char Character)
{
  return (Character >= '0' && Character <= '9') || (Character >= 'a' && Character <= 'f') ||
         (Character >= 'A' && Character <= 'F');
}

quint32 hexDigitValue(char Character)
{
  return Character <= '9' ? quint32(Character - '0') : quint32((Character | 0x20) - 'a' + 10);
}

// One logical line of an INI file: [start, end) in the data, and the
// position of its first "=" outside double quotes (-1 when there is none).
struct TIniLine
{
  int start = 0;
  int end = 0;
  int equals = -1;
};

// Cuts the next logical line from Position on: leading white space is
// skipped; a line that begins with ";" is a comment and skipped whole; a
// line ends at a line break or a ";" outside double quotes; a backslash
// takes the next character (a line break too) along; double quotes go on
// across line breaks. False when nothing is left.
bool nextIniLine(const QByteArray& Data, int& Position, TIniLine& Line)
{
  const int Size = Data.size();
  bool InQuotes = false;
  Line.equals = -1;
  int Start = Position;
  while (Start < Size && isIniSpace(Data.at(Start)))
    ++Start;
  int Index = Start;
  while (Index < Size) {
    const char Character = Data.at(Index++);
    if (Character == '=') {
      if (!InQuotes && Line.equals < 0)
        Line.equals = Index - 1;
    } else if (Character == '\n' || Character == '\r') {
      if (Index == Start + 1) {
        ++Start;
      } else if (!InQuotes) {
        --Index;
        break;
      }
    } else if (Character == '\\') {
      if (Index < Size) {
        const char Next = Data.at(Index++);
        if (Index < Size) {
          const char After = Data.at(Index);
          if ((Next == '\n' && After == '\r') || (Next == '\r' && After == '\n'))
            ++Index;
        }
      }
    } else if (Character == '"') {
      InQuotes = !InQuotes;
    } else if (Character == ';') {
      if (Index == Start + 1) {
        while (Index < Size && Data.at(Index) != '\n' && Data.at(Index) != '\r')
          ++Index;
        while (Index < Size && isIniSpace(Data.at(Index)))
          ++Index;
        Start = Index;
      } else if (!InQuotes) {
        --Index;
        break;
      }
    }
  }
  Position = Index;
  Line.start = Start;
  Line.end = Index;
  return Index > Start;
}

// The elements of the value in [From, To) as the reader unescapes them: one
// for a plain value, several for a list (commas outside double quotes).
// Characters are kept as bytes; an escaped character beyond ASCII becomes
// 0x80, which is all that matters for comparing with ASCII text.
QList<QByteArray> unescapedIniValue(const QByteArray& Data, int From, int To)
{
  QList<QByteArray> Elements;
  QByteArray Current;
  bool InQuotes = false;
  const auto SkipSpaces = [&](int& Index) {
    while (Index < To && (Data.at(Index) == ' ' || Data.at(Index) == '\t'))
      ++Index;
  };
  const auto AppendCode = [&](quint32 Code) { Current.append(char((Code & 0xFFFF) < 0x80 ? Code & 0xFFFF : 0x80)); };
  int Index = From;
  SkipSpaces(Index);
  while (Index < To) {
    const char Character = Data.at(Index);
    if (Character == '\\') {
      if (++Index >= To)
        break;
      const char Escaped = Data.at(Index++);
      static const char Codes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'},
                                      {'v', '\v'}, {'"', '"'},   {'?', '?'},   {'\'', '\''}, {'\\', '\\'}};
      const auto Code = std::find_if(std::begin(Codes), std::end(Codes), [Escaped](const char* Pair) { return Pair[0] == Escaped; });
      if (Code != std::end(Codes)) {
        Current.append((*Code)[1]);
      } else if (Escaped == 'x' && Index < To && isHexDigit(Data.at(Index))) {
        quint32 Value = 0;
        while (Index < To && isHexDigit(Data.at(Index)))
          Value = (Value << 4) + hexDigitValue(Data.at(Index++));
        AppendCode(Value);
      } else if (Escaped >= '0' && Escaped <= '7') {
        quint32 Value = quint32(Escaped - '0');
        while (Index < To && Data.at(Index) >= '0' && Data.at(Index) <= '7')
          Value = (Value << 3) + quint32(Data.at(Index++) - '0');
        AppendCode(Value);
      } else if (Escaped == '\n' || Escaped == '\r') {
        if (Index < To && (Data.at(Index) == '\n' || Data.at(Index) == '\r') && Data.at(Index) != Escaped)
          ++Index;
      }
      // Any other escaped character is dropped, "x" without a digit too.
    } else if (Character == '"') {
      ++Index;
      InQuotes = !InQuotes;
      if (!InQuotes)
        SkipSpaces(Index);
    } else if (Character == ',' && !InQuotes) {
      Elements.append(Current);
      Current.clear();
      ++Index;
      SkipSpaces(Index);
    } else {
      Current.append(Character);
      ++Index;
    }
  }
  Elements.append(Current);
  return Elements;
}

bool holdsSerialisedValue(const QByteArray& Content)
{
  int Position = Content.startsWith("\xEF\xBB\xBF") ? 3 : 0;
  TIniLine Line;
  while (nextIniLine(Content, Position, Line)) {
    if (Content.at(Line.start) == '[' || Line.equals < 0)
      continue;  // a section name, or no key
    for (const QByteArray& Element : unescapedIniValue(Content, Line.equals + 1, Line.end)) {
      if (Element.startsWith("@Variant(") || Element.startsWith("@DateTime("))
        return true;
    }
  }
  return false;
}

bool mayHoldSerialisedValues(const QString& Path)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly))
    return false;  // unreadable: the INI reader finds no keys either
  // Every byte, NUL bytes included: the INI reader reads past them.
  return holdsSerialisedValue(File.readAll());
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

QString TLauncherSettings::compiledInFilePath()
{
  return QString(":/settings/") + kSettingsFileName;
}

QString TLauncherSettings::settingsFilePath(const QString& ApplicationDirectory)
{
  const QString Candidate = ApplicationDirectory + "/" + kSettingsFileName;
  if (QFileInfo::exists(Candidate))
    return Candidate;
  return compiledInFilePath();
}

QStringList TLauncherSettings::settingsFilePaths(const QString& ApplicationDirectory)
{
  QStringList Paths{compiledInFilePath()};
  if (settingsFilePath(ApplicationDirectory) != compiledInFilePath())
    Paths << settingsFilePath(ApplicationDirectory);
  return Paths;
}

QStringList TLauncherSettings::sectionsMissing(const QString& Local, const QString& Shipped)
{
  // Read by lines, as the groups a reader sorts would lose the file's order.
  QFile ShippedFile(Shipped);
  QStringList Sections;
  if (ShippedFile.open(QIODevice::ReadOnly)) {
    for (const QByteArray& Line : ShippedFile.readAll().split('\n')) {
      const QByteArray Text = Line.trimmed();
      if (Text.startsWith('[') && Text.endsWith(']'))
        Sections << QString::fromUtf8(Text.mid(1, Text.size() - 2));
    }
  }
  const QStringList Present =
      mayHoldSerialisedValues(Local) ? QStringList() : QSettings(Local, QSettings::IniFormat).childGroups();
  QStringList Missing;
  for (const QString& Section : Sections) {
    if (!Present.contains(Section))
      Missing << Section;
  }
  return Missing;
}

void TLauncherSettings::logSources(const QString& ApplicationDirectory)
{
  const QStringList Paths = settingsFilePaths(ApplicationDirectory);
  if (Paths.size() == 1) {
    qInfo().noquote() << "settings: the compiled-in ones";
    return;
  }
  const QString& Local = Paths.last();
  if (mayHoldSerialisedValues(Local)) {
    qWarning().noquote() << QString("settings: %1 is ignored: a value in it holds serialised data").arg(Local);
    return;
  }
  qInfo().noquote() << QString("settings: %1 over the compiled-in ones").arg(Local);
  const QStringList Missing = sectionsMissing(Local, compiledInFilePath());
  if (!Missing.isEmpty())
    qWarning().noquote() << QString("settings: %1 lacks the %2 %3 of the shipped settings; the compiled-in values hold")
                                .arg(Local, Missing.size() == 1 ? "section" : "sections", Missing.join(", "));
}

std::shared_ptr<TLauncherSettings> TLauncherSettings::loadFromFile(const QString& Path)
{
  return loadFromFiles({Path});
}

std::shared_ptr<TLauncherSettings> TLauncherSettings::loadFromFiles(const QStringList& Paths)
{
  auto Result = std::make_shared<TLauncherSettings>();
  TSettingsFiles Settings;
  for (auto Path = Paths.rbegin(); Path != Paths.rend(); ++Path) {
    // A malformed file reads as a file without keys.
    if (!mayHoldSerialisedValues(*Path))
      Settings.push_back(std::make_unique<QSettings>(*Path, QSettings::IniFormat));
  }

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
  Result->lowSpeedBytesPerSecond = Int("TIMING", "lowSpeedBytesPerSecond", 1024);
  Result->lowSpeedSeconds = Int("TIMING", "lowSpeedSeconds", 30);
  Result->documentSeconds = Int("TIMING", "documentSeconds", 60);
  Result->documentBytesPerSecond = Int("TIMING", "documentBytesPerSecond", 65536);
  Result->maxCachedChunks = Int("OPTIONS", "maxCachedChunks", 100);
  Result->maxConcurrentDownloads = Int("OPTIONS", "maxConcurrentDownloads", 10);
  Result->skipVerification = Bool("OPTIONS", "skipVerification", true);
  Result->fastScan = Bool("OPTIONS", "fastScan", true);
  Result->maxCachedMegabytes = Int("OPTIONS", "maxCachedMegabytes", 256);
  Result->chunkVerification = Bool("DEBUG", "chunkVerification", false);
  for (const QString& Key : Text("SECURITY", "releaseKeys").split(',', Qt::SkipEmptyParts)) {
    if (!Key.trimmed().isEmpty())
      Result->releaseKeys << Key.trimmed();
  }
  return Result;
}

} // namespace orvale::launcher
