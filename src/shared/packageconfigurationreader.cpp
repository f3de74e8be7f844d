#include "shared/packageconfigurationreader.h"
#include "shared/zstdframes.h"

#include "shared/filesystemhelper.h"
#include "shared/blocks.h"
#include "shared/descriptiondocument.h"
#include "shared/reservednames.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <optional>

namespace shared {

namespace {

QString integerText(const QJsonValue& Value)
{
  const double Number = Value.toDouble();
  if (!std::isfinite(Number) || std::fabs(Number) >= 9.0e15)
    return QString::number(0);
  return QString::number(qint64(Number));
}

std::int32_t jsonToInt32(const QJsonValue& Value)
{
  if (!Value.isDouble())
    return 0;
  const double Number = Value.toDouble();
  if (!std::isfinite(Number) || Number < double(std::numeric_limits<std::int32_t>::min()) ||
      Number > double(std::numeric_limits<std::int32_t>::max()))
    return 0;
  return std::int32_t(Number);
}

// Chunk indices: an index that cannot be represented is stored as -1, which
// lies outside every chunk vector and is rejected where indices are used.
std::int32_t jsonToChunkIndex(const QJsonValue& Value)
{
  if (!Value.isDouble())
    return 0;
  const double Number = Value.toDouble();
  if (!std::isfinite(Number) || Number < double(std::numeric_limits<std::int32_t>::min()) ||
      Number > double(std::numeric_limits<std::int32_t>::max()))
    return -1;
  return std::int32_t(Number);
}

// The document's top-level object; nothing (and the reason in Reason) when
// Data is not a whole JSON object.
std::optional<QJsonObject> parseObject(const QByteArray& Data, QString& Reason)
{
  QJsonParseError Error;
  const QJsonDocument Document = QJsonDocument::fromJson(Data, &Error);
  if (Error.error != QJsonParseError::NoError) {
    Reason = QString("%1 at offset %2").arg(Error.errorString()).arg(Error.offset);
    return std::nullopt;
  }
  if (!Document.isObject()) {
    Reason = "the document is not a JSON object";
    return std::nullopt;
  }
  return Document.object();
}

// The files and chunks a document lists.
qint64 entryCount(const QJsonObject& Document)
{
  return qint64(Document.value(QLatin1String("files")).toArray().size()) + Document.value(QLatin1String("chunks")).toArray().size();
}

// The first local file that two entries name (after the folder's path
// rules: "a", "./a" and "b/../a" are one file); empty when there is none.
QString fileNamedTwice(const TFileInPackageVector& Files)
{
  const QDir Base("/installation");
  TFileSystemHelper Paths;
  QSet<QString> Seen;
  for (const TFileInPackage& File : Files) {
    const QString Path = Paths.joinPathInside(Base, File.localFile);
    if (Seen.contains(Path))
      return File.localFile;
    Seen.insert(Path);
  }
  return QString();
}

bool isWholeNumber(const QJsonValue& Value)
{
  if (Value.isString()) {
    bool Ok = false;
    Value.toString().trimmed().toULongLong(&Ok, 10);
    return Ok;
  }
  const double Number = Value.toDouble(-1);
  return Value.isDouble() && std::isfinite(Number) && Number >= 0 && Number == std::floor(Number);
}

// The value of a hex digit; -1 for any other character.
int hexDigitValue(QChar Character)
{
  const ushort Code = Character.unicode();
  if (Code >= '0' && Code <= '9')
    return int(Code - '0');
  if (Code >= 'a' && Code <= 'f')
    return int(Code - 'a' + 10);
  if (Code >= 'A' && Code <= 'F')
    return int(Code - 'A' + 10);
  return -1;
}

bool isHashText(const QJsonValue& Value)
{
  const QString Text = Value.toString();
  return Text.size() == 64 &&
         std::all_of(Text.cbegin(), Text.cend(), [](QChar Character) { return hexDigitValue(Character) >= 0; });
}

// What keeps Entry from being a file entry; empty when it is one.
QString fileEntryProblem(const QJsonValue& Entry)
{
  const QJsonObject Object = Entry.toObject();
  if (!Entry.isObject())
    return "is not an object";
  if (Object.value(QLatin1String("localfile")).toString().isEmpty())
    return "has no \"localfile\"";
  if (!isWholeNumber(Object.value(QLatin1String("unpackedsize"))))
    return "has no \"unpackedsize\"";
  if (!isHashText(Object.value(QLatin1String("unpackedhash"))))
    return "has no \"unpackedhash\" of 64 hex digits";
  return QString();
}

QUrl jsonToUrl(const QJsonValue& Value, const QUrl& BaseUrl)
{
  const QString Text = Value.toString();
  if (Text.isEmpty())
    return QUrl();
  return resolveAgainstBaseUrl(BaseUrl, Text);
}

// Defined with the pack placement below.
QString pieceReferencesProblem(const QJsonObject& Document);

} // namespace

QString descriptionDocumentProblem(const QJsonObject& Document, const QString& Which, bool TextVersionOnly)
{
  const QJsonValue Version = Document.value(QLatin1String("version"));
  if (!Version.isString() && (TextVersionOnly || !Version.isDouble()))
    return QString("the %1 has no %2\"version\"").arg(Which, TextVersionOnly ? "text " : "");
  const QJsonValue Files = Document.value(QLatin1String("files"));
  if (!Files.isArray() || Files.toArray().isEmpty())
    return QString("the %1 lists no \"files\"").arg(Which);
  const QJsonArray Entries = Files.toArray();
  for (int Index = 0; Index < Entries.size(); ++Index) {
    const QString Problem = fileEntryProblem(Entries[Index]);
    if (!Problem.isEmpty())
      return QString("file entry %1 of the %2 %3").arg(Index).arg(Which, Problem);
  }
  const QString References = pieceReferencesProblem(Document);
  if (!References.isEmpty())
    return QString("in the %1, %2").arg(Which, References);
  return QString();
}

QString launcherDescriptionProblem(const TPackageConfigurationReader& Description, const QString& OwnExecutable)
{
  if (Description.executable() != OwnExecutable)
    return QString("the launcher description names \"%1\" as its executable, not the launcher's own \"%2\"")
        .arg(Description.executable(), OwnExecutable);
  if (Description.findFile(OwnExecutable) == Description.files().end())
    return QString("the launcher description does not list the launcher's own \"%1\"").arg(OwnExecutable);
  return QString();
}

qint64 TChunkInPackage::maxDownloadBytes() const
{
  return qint64(std::min<std::uint64_t>(packedSize, std::numeric_limits<qint64>::max()));
}

bool TChunkInPackage::operator==(const TChunkInPackage& Other) const
{
  return url == Other.url && packedSize == Other.packedSize && packedHash == Other.packedHash &&
         unpackedSize == Other.unpackedSize && unpackedHash == Other.unpackedHash && unpack == Other.unpack &&
         packUrl == Other.packUrl && packSize == Other.packSize && packOffset == Other.packOffset &&
         (dictionary ? dictionary->hash : QByteArray()) == (Other.dictionary ? Other.dictionary->hash : QByteArray());
}

std::uint64_t jsonToUnsigned64(const QJsonValue& Value)
{
  if (Value.isDouble()) {
    const double Number = Value.toDouble();
    if (!std::isfinite(Number) || Number < 0 || Number >= 18446744073709551616.0)
      return 0;
    return std::uint64_t(Number);
  }
  if (Value.isString()) {
    bool Ok = false;
    const qulonglong Number = Value.toString().trimmed().toULongLong(&Ok, 10);
    return Ok ? Number : 0;
  }
  if (Value.isBool())
    return Value.toBool() ? 1 : 0;
  return 0;
}

QByteArray jsonToHash(const QJsonValue& Value)
{
  const QString Text = Value.toString();
  // A hash as the publisher writes it: two hex digits a byte.
  QByteArray Bytes(Text.size() / 2, Qt::Uninitialized);
  bool Plain = Text.size() % 2 == 0;
  const QChar* Digits = Text.constData();
  char* Out = Bytes.data();
  for (int Index = 0; Plain && Index < Bytes.size(); ++Index) {
    const int High = hexDigitValue(Digits[2 * Index]);
    const int Low = hexDigitValue(Digits[2 * Index + 1]);
    Plain = High >= 0 && Low >= 0;
    Out[Index] = char(High * 16 + Low);
  }
  // Anything else is read leniently, as it always was.
  return Plain ? Bytes : QByteArray::fromHex(Text.toLocal8Bit());
}

QUrl resolveAgainstBaseUrl(const QUrl& Base, const QString& Reference)
{
  const QUrl ReferenceUrl(Reference, QUrl::TolerantMode);
  if (!ReferenceUrl.isRelative())
    return ReferenceUrl;
  QUrl Result = Base;
  const QString BasePath = Base.path();
  const QString ReferencePath = ReferenceUrl.path();
  const QString Separator = (BasePath.endsWith('/') || ReferencePath.startsWith('/')) ? QString() : QString("/");
  Result.setPath(BasePath + Separator + ReferencePath);
  Result.setQuery(QString());
  return Result;
}

QUrl urlWithoutFileName(const QUrl& Url)
{
  return Url.adjusted(QUrl::RemoveFilename | QUrl::RemoveQuery | QUrl::RemoveFragment);
}

QUrl pieceInPackUrl(const QUrl& PackUrl, std::uint64_t Offset)
{
  QUrl Url = PackUrl;
  Url.setFragment(QString::number(Offset));
  return Url;
}

std::optional<TPackTable> parsePacks(const QJsonValue& Value, const QUrl& BaseUrl, QString& Problem)
{
  TPackTable Packs;
  if (Value.isUndefined())
    return Packs;
  if (!Value.isArray()) {
    Problem = "\"packs\" is not an array";
    return std::nullopt;
  }
  for (const QJsonValue& Element : Value.toArray()) {
    const QJsonObject Object = Element.toObject();
    TPackInDescription Pack;
    Pack.url = jsonToUrl(Object.value(QLatin1String("url")), BaseUrl);
    Pack.size = jsonToUnsigned64(Object.value(QLatin1String("size")));
    if (Pack.url.isEmpty() || Pack.size == 0 || Pack.size > kMaxPackBytes) {
      Problem = QString("pack %1 has no URL or a size outside 1 to %2 bytes").arg(Packs.size()).arg(kMaxPackBytes);
      return std::nullopt;
    }
    Packs.push_back(std::move(Pack));
  }
  return Packs;
}

QString piecePlacementProblem(const QJsonObject& Object, const TPackTable& Packs)
{
  const QJsonValue Pack = Object.value(QLatin1String("pack"));
  if (Pack.isUndefined())
    return QString();
  const std::int32_t Index = jsonToChunkIndex(Pack);
  if (!Pack.isDouble() || Index < 0 || std::size_t(Index) >= Packs.size())
    return QString("a piece names pack %1, which the description does not list").arg(Pack.toVariant().toString());
  const TPackInDescription& Where = Packs[std::size_t(Index)];
  const std::uint64_t Offset = jsonToUnsigned64(Object.value(QLatin1String("packoffset")));
  const std::uint64_t Size = jsonToUnsigned64(Object.value(QLatin1String("packedsize")));
  if (Size == 0 || Offset >= Where.size || Size > Where.size - Offset)
    return QString("a piece lies outside its pack %1").arg(Where.url.toString());
  return QString();
}

std::optional<TDictionaryTable> parseDictionaries(const QJsonValue& Value, const QUrl& BaseUrl, QString& Problem)
{
  TDictionaryTable Dictionaries;
  if (Value.isUndefined())
    return Dictionaries;
  if (!Value.isArray() || std::size_t(Value.toArray().size()) > kMaxDictionaries) {
    Problem = QString("\"dictionaries\" is not an array of at most %1").arg(kMaxDictionaries);
    return std::nullopt;
  }
  for (const QJsonValue& Element : Value.toArray()) {
    const QJsonObject Object = Element.toObject();
    auto Dictionary = std::make_shared<TDictionaryInDescription>();
    Dictionary->url = jsonToUrl(Object.value(QLatin1String("url")), BaseUrl);
    Dictionary->size = jsonToUnsigned64(Object.value(QLatin1String("size")));
    Dictionary->hash = jsonToHash(Object.value(QLatin1String("hash")));
    if (Dictionary->url.isEmpty() || Dictionary->size == 0 || Dictionary->size > TZstdDictionary::kMaxBytes ||
        Dictionary->hash.size() != 32) {
      Problem = QString("dictionary %1 has no URL, no SHA-256 or a size outside 1 to %2 bytes")
                    .arg(Dictionaries.size())
                    .arg(TZstdDictionary::kMaxBytes);
      return std::nullopt;
    }
    Dictionaries.push_back(std::move(Dictionary));
  }
  return Dictionaries;
}

QString pieceDictionaryProblem(const QJsonObject& Object, std::size_t Count)
{
  const QJsonValue Dictionary = Object.value(QLatin1String("dictionary"));
  if (Dictionary.isUndefined())
    return QString();
  const std::int32_t Index = jsonToChunkIndex(Dictionary);
  if (!Dictionary.isDouble() || Index < 0 || std::size_t(Index) >= Count)
    return QString("a piece names dictionary %1, which the description does not list")
        .arg(Dictionary.toVariant().toString());
  return QString();
}

namespace {

// What keeps the pieces of a document from lying in its packs and naming
// its dictionaries; empty when they do (or it has none).
QString pieceReferencesProblem(const QJsonObject& Document)
{
  QString Problem;
  const std::optional<TPackTable> Packs = parsePacks(Document.value(QLatin1String("packs")), QUrl(), Problem);
  if (!Packs)
    return Problem;
  const std::optional<TDictionaryTable> Dictionaries =
      parseDictionaries(Document.value(QLatin1String("dictionaries")), QUrl(), Problem);
  if (!Dictionaries)
    return Problem;
  for (const char* Key : {"chunks", "files"}) {
    for (const QJsonValue& Element : Document.value(QLatin1String(Key)).toArray()) {
      const QJsonObject Object = Element.toObject();
      Problem = piecePlacementProblem(Object, *Packs);
      if (Problem.isEmpty())
        Problem = pieceDictionaryProblem(Object, Dictionaries->size());
      if (!Problem.isEmpty())
        return Problem;
    }
  }
  return QString();
}

// The dictionary the entry names, when it names a listed one.
std::shared_ptr<const TDictionaryInDescription> namedDictionary(const QJsonObject& Object,
                                                                const TDictionaryTable& Dictionaries)
{
  const QJsonValue Dictionary = Object.value(QLatin1String("dictionary"));
  if (Dictionary.isUndefined() || !Dictionary.isDouble())
    return nullptr;
  const std::int32_t Index = jsonToChunkIndex(Dictionary);
  if (Index < 0 || std::size_t(Index) >= Dictionaries.size())
    return nullptr;
  return Dictionaries[std::size_t(Index)];
}

// Places the piece in its pack when the entry names one (and it lies there).
void placeInPack(const QJsonObject& Object, const TPackTable& Packs, TChunkInPackage& Chunk)
{
  const QJsonValue Pack = Object.value(QLatin1String("pack"));
  if (Pack.isUndefined() || !Pack.isDouble())
    return;
  const std::int32_t Index = jsonToChunkIndex(Pack);
  if (Index < 0 || std::size_t(Index) >= Packs.size())
    return;
  const TPackInDescription& Where = Packs[std::size_t(Index)];
  const std::uint64_t Offset = jsonToUnsigned64(Object.value(QLatin1String("packoffset")));
  // As piecePlacementProblem checks it.
  if (Chunk.packedSize == 0 || Offset >= Where.size || Chunk.packedSize > Where.size - Offset)
    return;
  Chunk.packUrl = Where.url;
  Chunk.packSize = Where.size;
  Chunk.packOffset = Offset;
  Chunk.url = pieceInPackUrl(Where.url, Chunk.packOffset);
}

} // namespace

TChunkInPackage parseChunk(const QJsonObject& Object, const QUrl& BaseUrl, const TPieceTables& Tables)
{
  TChunkInPackage Chunk;
  Chunk.url = jsonToUrl(Object.value(QLatin1String("url")), BaseUrl);
  Chunk.packedSize = jsonToUnsigned64(Object.value(QLatin1String("packedsize")));
  Chunk.packedHash = jsonToHash(Object.value(QLatin1String("packedhash")));
  Chunk.unpackedSize = jsonToUnsigned64(Object.value(QLatin1String("unpackedsize")));
  Chunk.unpackedHash = jsonToHash(Object.value(QLatin1String("unpackedhash")));
  Chunk.unpack = Object.value(QLatin1String("unpack")).toBool(true);
  if (Chunk.unpack)
    Chunk.dictionary = namedDictionary(Object, Tables.dictionaries);
  placeInPack(Object, Tables.packs, Chunk);
  // Blocks decode on their own, without a dictionary.
  if (Chunk.inPack() || Chunk.dictionary)
    return Chunk;
  const QUrl BlockIndexUrl = jsonToUrl(Object.value(QLatin1String("blockindex")), BaseUrl);
  const std::uint64_t BlockIndexSize = jsonToUnsigned64(Object.value(QLatin1String("blockindexsize")));
  const QByteArray BlockIndexHash = jsonToHash(Object.value(QLatin1String("blockindexhash")));
  if (!BlockIndexUrl.isEmpty() && BlockIndexSize > 0 && BlockIndexSize <= kMaxBlockIndexBytes &&
      BlockIndexHash.size() == 32) {
    Chunk.blockIndexUrl = BlockIndexUrl;
    Chunk.blockIndexSize = BlockIndexSize;
    Chunk.blockIndexHash = BlockIndexHash;
  }
  return Chunk;
}

TFileInPackage parseFile(const QJsonObject& Object, const QUrl& BaseUrl, const TPieceTables& Tables)
{
  TFileInPackage File;
  File.localFile = Object.value(QLatin1String("localfile")).toString();
  File.executable = Object.value(QLatin1String("executable")).toBool(false);
  File.ownDownload = parseChunk(Object, BaseUrl, Tables);
  // The same keys of the same entry.
  File.unpackedHash = File.ownDownload.unpackedHash;
  File.unpackedSize = File.ownDownload.unpackedSize;
  const QJsonValue Chunks = Object.value(QLatin1String("chunks"));
  if (Chunks.isArray()) {
    const QJsonArray Array = Chunks.toArray();
    File.chunkIndices.reserve(std::size_t(Array.size()));
    for (const QJsonValue& Index : Array)
      File.chunkIndices.push_back(jsonToChunkIndex(Index));
  }
  const QJsonValue Patches = Object.value(QLatin1String("patches"));
  if (Patches.isArray()) {
    for (const QJsonValue& Element : Patches.toArray()) {
      const QJsonObject PatchObject = Element.toObject();
      TFilePatch Patch;
      Patch.url = jsonToUrl(PatchObject.value(QLatin1String("url")), BaseUrl);
      Patch.fromVersion = integerText(PatchObject.value(QLatin1String("fromversion")));
      Patch.toVersion = integerText(PatchObject.value(QLatin1String("toversion")));
      Patch.size = jsonToInt32(PatchObject.value(QLatin1String("size")));
      File.patches.push_back(std::move(Patch));
    }
  }
  return File;
}

TPackageConfigurationReader::TPackageConfigurationReader(QByteArray PackageData, QByteArray AssetData,
                                                         QUrl PackageUrl, QUrl AssetUrl)
  : m_PackageUrl(std::move(PackageUrl))
  , m_AssetUrl(std::move(AssetUrl))
  , m_PackageData(std::move(PackageData))
  , m_AssetData(std::move(AssetData))
{
  if (m_PackageData.size() > MaxDescriptionBytes || m_AssetData.size() > MaxDescriptionBytes) {
    m_TooLarge = true;
    m_InvalidReason = QString("a document of more than the %1 bytes a description may have").arg(MaxDescriptionBytes);
    return;
  }
  QString Reason;
  const std::optional<QJsonObject> PackageObject = parseObject(m_PackageData, Reason);
  if (!PackageObject) {
    qCritical().noquote() << "JSON package configuration file could not be parsed, using default package.";
    m_InvalidReason = "package description: " + Reason;
    return;
  }
  std::optional<QJsonObject> AssetObject;
  if (!m_AssetData.isEmpty()) {
    AssetObject = parseObject(m_AssetData, Reason);
    if (!AssetObject) {
      qCritical().noquote() << "JSON asset configuration file could not be parsed, using default package.";
      m_InvalidReason = "asset description: " + Reason;
      return;
    }
  }

  const qint64 Entries = entryCount(*PackageObject) + (AssetObject ? entryCount(*AssetObject) : 0);
  if (Entries > MaxDescriptionEntries) {
    m_TooLarge = true;
    m_InvalidReason = QString("it lists %1 files and chunks, more than the %2 a description may have")
                          .arg(Entries)
                          .arg(MaxDescriptionEntries);
    return;
  }
  const QString Problem = documentsProblem(*PackageObject, AssetObject);
  if (!Problem.isEmpty()) {
    m_InvalidReason = Problem;
    return;
  }

  const QJsonObject& Package = *PackageObject;
  m_Version = Package.value(QLatin1String("version")).toString();
  m_Executable = Package.value(QLatin1String("executable")).toString();
  const QString Generation = Package.value(QLatin1String("generation")).toString();
  if (Generation == "first")
    m_Generation = EPackageGeneration::First;
  else if (Generation == "second")
    m_Generation = EPackageGeneration::Second;
  const QString Variant = Package.value(QLatin1String("variant")).toString();
  if (Variant == "regular")
    m_Variant = EPackageVariant::Regular;
  else if (Variant == "preview")
    m_Variant = EPackageVariant::Preview;
  else if (Variant == "beta")
    m_Variant = EPackageVariant::Beta;
  else if (Variant == "test")
    m_Variant = EPackageVariant::Test;

  // The documents are descriptions (documentsProblem): their pieces lie in
  // their packs.
  const auto AppendEntries = [this](const QJsonObject& Document, const QUrl& BaseUrl) {
    QString Unused;
    TPieceTables Tables;
    Tables.packs = parsePacks(Document.value(QLatin1String("packs")), BaseUrl, Unused).value_or(TPackTable());
    Tables.dictionaries = parseDictionaries(Document.value(QLatin1String("dictionaries")), BaseUrl, Unused)
                              .value_or(TDictionaryTable());
    for (const QJsonValue& Element : Document.value(QLatin1String("chunks")).toArray())
      m_Chunks.push_back(parseChunk(Element.toObject(), BaseUrl, Tables));
    for (const QJsonValue& Element : Document.value(QLatin1String("files")).toArray())
      m_Files.push_back(parseFile(Element.toObject(), BaseUrl, Tables));
  };

  AppendEntries(Package, m_PackageUrl);
  const QJsonValue Parameters = Package.value(QLatin1String("parameters"));
  if (Parameters.isArray()) {
    for (const QJsonValue& Parameter : Parameters.toArray())
      m_Parameters << Parameter.toString();
  }

  if (AssetObject) {
    const QJsonObject& Asset = *AssetObject;
    const QJsonValue AssetVersion = Asset.value(QLatin1String("version"));
    m_AssetVersion = AssetVersion.isDouble() ? integerText(AssetVersion) : AssetVersion.toString();
    AppendEntries(Asset, m_AssetUrl);
  }
  std::sort(m_Files.begin(), m_Files.end(),
            [](const TFileInPackage& Left, const TFileInPackage& Right) { return Left.localFile < Right.localFile; });
  const QString Twice = fileNamedTwice(m_Files);
  if (!Twice.isEmpty()) {
    // Two entries would write one file, and one of them would be wrong.
    clearContent();
    m_InvalidReason = QString("the file '%1' is named twice").arg(Twice);
    return;
  }
  m_Valid = true;
  m_InvalidReason.clear();
}

void TPackageConfigurationReader::refuseReservedRootNames(const TLauncherOwnFileNames& Names)
{
  if (!m_Valid)
    return;
  const QString Reserved = firstReservedRootFile(m_Files, Names);
  if (Reserved.isEmpty())
    return;
  clearContent();
  m_Valid = false;
  m_InvalidReason = QString("the file '%1' is reserved").arg(Reserved);
}

QString TPackageConfigurationReader::documentsProblem(const QJsonObject& Package, const std::optional<QJsonObject>& Asset)
{
  const QString Problem = descriptionDocumentProblem(Package, "package description", true);
  if (!Problem.isEmpty() || !Asset)
    return Problem;
  return descriptionDocumentProblem(*Asset, "asset description", false);
}

void TPackageConfigurationReader::clearContent()
{
  const TPackageConfigurationReader Empty;
  m_Version = Empty.m_Version;
  m_AssetVersion = Empty.m_AssetVersion;
  m_Generation = Empty.m_Generation;
  m_Variant = Empty.m_Variant;
  m_Executable = Empty.m_Executable;
  m_Parameters = Empty.m_Parameters;
  m_Chunks = Empty.m_Chunks;
  m_Files = Empty.m_Files;
}

QString TPackageConfigurationReader::versionText() const
{
  return QString("P%1 A%2")
      .arg(m_Version.isEmpty() ? QString("?") : m_Version, m_AssetVersion.isEmpty() ? QString("?") : m_AssetVersion);
}

TFileInPackageVector::const_iterator TPackageConfigurationReader::findFile(const QString& LocalFile) const
{
  const auto Found = std::lower_bound(
      m_Files.begin(), m_Files.end(), LocalFile,
      [](const TFileInPackage& Entry, const QString& Key) { return Entry.localFile < Key; });
  if (Found != m_Files.end() && Found->localFile == LocalFile)
    return Found;
  return m_Files.end();
}

} // namespace shared
