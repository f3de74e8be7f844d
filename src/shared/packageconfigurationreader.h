#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace shared {

struct TLauncherOwnFileNames;

enum class EPackageGeneration : std::int32_t
{
  Unknown = 0,
  First = 1,
  Second = 2,
};

enum class EPackageVariant : std::int32_t
{
  Unknown = 0,
  Regular = 1,
  Preview = 2,
  Beta = 3,
  Test = 4,
};

struct TDictionaryInDescription;

// One downloadable piece: a chunk of a large file, or a whole file.
struct TChunkInPackage
{
  QUrl url;                      // where the data is downloaded from (empty: none)
  std::uint64_t packedSize = 0;  // size as downloaded
  QByteArray packedHash;         // SHA-256 as downloaded
  std::uint64_t unpackedSize = 0;
  QByteArray unpackedHash;       // SHA-256 after decompression
  bool unpack = true;            // whether the data is a container to decode
  // The block index file beside the chunk file (shared/blocks.h), offered
  // when all three keys were given and sound; otherwise empty, and the
  // chunk file is fetched whole.
  QUrl blockIndexUrl;
  std::uint64_t blockIndexSize = 0;
  QByteArray blockIndexHash;     // SHA-256 of the index file
  // A small piece may lie in a pack file with other small pieces: its
  // packed bytes are [packOffset, packOffset + packedSize) of the pack at
  // packUrl, a file of packSize bytes. url is then the pack's URL with the
  // offset as its fragment: it tells the piece apart and is never requested.
  QUrl packUrl;
  std::uint64_t packSize = 0;
  std::uint64_t packOffset = 0;
  // The dictionary its Zstandard frames were written with, when the entry
  // names one ("dictionary", an index into the description's table): the
  // piece decodes only with it.
  std::shared_ptr<const TDictionaryInDescription> dictionary;

  bool offersBlocks() const { return !blockIndexUrl.isEmpty(); }
  bool inPack() const { return !packUrl.isEmpty(); }
  // The most body bytes its download may bring: the packed size.
  qint64 maxDownloadBytes() const;
  // Equal downloads: the block index is not compared.
  bool operator==(const TChunkInPackage& Other) const;
};

struct TFilePatch
{
  QUrl url;
  QString fromVersion;
  QString toVersion;
  std::int32_t size = 0;
};

// One file of an installation.
struct TFileInPackage
{
  QString localFile;             // relative path with "/" separators
  std::uint64_t unpackedSize = 0;
  QByteArray unpackedHash;
  bool executable = false;
  std::vector<TFilePatch> patches;
  std::vector<std::int32_t> chunkIndices;  // into the description's chunk vector
  TChunkInPackage ownDownload;             // the whole file as one piece
};

using TChunkInPackageVector = std::vector<TChunkInPackage>;

// The most bytes a pack file may have: a pack comes into memory whole from a
// server that ignores ranges.
constexpr std::uint64_t kMaxPackBytes = 16ull * 1024 * 1024;

// A pack file as a description lists it ("packs": [{"url", "size"}]).
struct TPackInDescription
{
  QUrl url;
  std::uint64_t size = 0;
};
using TPackTable = std::vector<TPackInDescription>;

// A Zstandard dictionary as a description lists it ("dictionaries":
// [{"url", "size", "hash"}]): 1 byte to TZstdDictionary::kMaxBytes
// (shared/zstdframes.h), checked by its SHA-256 before it is used.
struct TDictionaryInDescription
{
  QUrl url;
  std::uint64_t size = 0;
  QByteArray hash;
};
using TDictionaryTable = std::vector<std::shared_ptr<const TDictionaryInDescription>>;
// The most dictionaries a description may list: each may come into memory.
constexpr std::size_t kMaxDictionaries = 16;

// The tables of a description that its pieces refer to by index.
struct TPieceTables
{
  TPackTable packs;
  TDictionaryTable dictionaries;
};

// The identity URL of a piece at Offset of the pack at PackUrl.
QUrl pieceInPackUrl(const QUrl& PackUrl, std::uint64_t Offset);
using TFileInPackageVector = std::vector<TFileInPackage>;

// A parsed pair of package description and asset description: every file
// of an installation with its size and hash, and every chunk from which
// large files are assembled. Parsing never throws. A description is valid
// only when both documents are whole JSON objects (not cut off, not nested
// too deeply, not an HTML page) that can be descriptions at all
// (descriptionDocumentProblem: another JSON document in their place, such as
// the configuration, must not read as "no files") and no two file entries
// name the same path; an invalid one is empty, says why, and must not be
// acted on. Missing or ill-typed optional members of a valid one take their
// defaults.
class TPackageConfigurationReader
{
public:
  TPackageConfigurationReader() = default;
  TPackageConfigurationReader(QByteArray PackageData, QByteArray AssetData, QUrl PackageUrl, QUrl AssetUrl);

  const QUrl& packageUrl() const { return m_PackageUrl; }
  const QUrl& assetUrl() const { return m_AssetUrl; }
  const QString& version() const { return m_Version; }
  const QString& assetVersion() const { return m_AssetVersion; }
  EPackageGeneration generation() const { return m_Generation; }
  EPackageVariant variant() const { return m_Variant; }
  const QString& executable() const { return m_Executable; }
  const QStringList& parameters() const { return m_Parameters; }
  const TChunkInPackageVector& chunks() const { return m_Chunks; }
  const TFileInPackageVector& files() const { return m_Files; }
  const QByteArray& packageData() const { return m_PackageData; }
  const QByteArray& assetData() const { return m_AssetData; }
  bool isValid() const { return m_Valid; }
  // Why the description is not valid; empty when it is.
  const QString& invalidReason() const { return m_InvalidReason; }
  // Whether it is invalid for being larger than a description may be
  // (shared/descriptiondocument.h).
  bool isTooLarge() const { return m_TooLarge; }

  // "P<version> A<asset version>", each "?" when empty. Two descriptions
  // describe the same installation state exactly when these are equal.
  QString versionText() const;

  // The file entry with this local file, or files().end().
  TFileInPackageVector::const_iterator findFile(const QString& LocalFile) const;

  // Makes the description invalid ("the file 'package.json' is reserved")
  // when it names a file at the installation's root under a name the
  // launcher keeps for its own files (shared/reservednames.h): installing
  // it would overwrite, move or delete the launcher's files, or theirs.
  void refuseReservedRootNames(const TLauncherOwnFileNames& Names);

private:
  // What keeps the two documents from being a description (each checked by
  // descriptionDocumentProblem); empty when they can be one.
  static QString documentsProblem(const QJsonObject& Package, const std::optional<QJsonObject>& Asset);
  // Empties everything read from the documents (not the documents).
  void clearContent();

  QUrl m_PackageUrl;
  QUrl m_AssetUrl;
  QString m_Version;
  QString m_AssetVersion;
  EPackageGeneration m_Generation = EPackageGeneration::Unknown;
  EPackageVariant m_Variant = EPackageVariant::Unknown;
  QString m_Executable;
  QStringList m_Parameters;
  TChunkInPackageVector m_Chunks;
  TFileInPackageVector m_Files;
  QByteArray m_PackageData;
  QByteArray m_AssetData;
  bool m_Valid = false;
  bool m_TooLarge = false;
  QString m_InvalidReason = QStringLiteral("no description");
};

// What keeps a document from being a description; empty when it can be
// one. A package description needs a text "version" (which may be empty)
// and an asset description a text or number "version"; both need a non-empty "files"
// array whose every element is a file entry: an object with a non-empty
// text "localfile", an "unpackedsize" (a whole number, or its text) and an
// "unpackedhash" of 64 hex digits; its pieces in packs must lie in packs
// it lists ("packs", parsePacks, piecePlacementProblem), and the
// dictionaries its pieces name must be ones it lists ("dictionaries",
// parseDictionaries, pieceDictionaryProblem). Which (names
// "package description" or "asset description") is in the reason.
QString descriptionDocumentProblem(const QJsonObject& Document, const QString& Which, bool TextVersionOnly);

// What keeps a valid description from being the launcher's own: its
// "executable" must be OwnExecutable (the running launcher's path relative
// to its folder) and one of its files. Empty when it is the launcher's.
QString launcherDescriptionProblem(const TPackageConfigurationReader& Description, const QString& OwnExecutable);

// Conversions of untrusted JSON values, shared by the description readers.
// A number or a numeric string gives its unsigned value; anything else, a
// negative or fractional-overflowing number gives 0.
std::uint64_t jsonToUnsigned64(const QJsonValue& Value);
// Hex text decoded leniently (invalid characters are skipped).
QByteArray jsonToHash(const QJsonValue& Value);
// The packs a document lists; nothing (and why in Problem) when one of
// them is not a pack: no URL, or a size of 0 or above kMaxPackBytes.
std::optional<TPackTable> parsePacks(const QJsonValue& Value, const QUrl& BaseUrl, QString& Problem);
// What keeps a piece's entry with "pack" (an index into Packs),
// "packoffset" and "packedsize" from lying wholly in that pack; empty when
// it does or names no pack.
QString piecePlacementProblem(const QJsonObject& Object, const TPackTable& Packs);
// The dictionaries a document lists; nothing (and why in Problem) when it
// lists more than kMaxDictionaries or one of them has no URL, a size of 0
// or above TZstdDictionary::kMaxBytes, or no SHA-256.
std::optional<TDictionaryTable> parseDictionaries(const QJsonValue& Value, const QUrl& BaseUrl, QString& Problem);
// What keeps a piece's "dictionary" from naming one of Count listed
// dictionaries; empty when it does or names none.
QString pieceDictionaryProblem(const QJsonObject& Object, std::size_t Count);
// A piece: at its "url", or in its pack (a piece in a pack offers no
// blocks). A description's pieces were checked to lie in their packs and
// to name listed dictionaries (descriptionDocumentProblem); one that does
// not is read without its pack or dictionary.
TChunkInPackage parseChunk(const QJsonObject& Object, const QUrl& BaseUrl, const TPieceTables& Tables);
TFileInPackage parseFile(const QJsonObject& Object, const QUrl& BaseUrl, const TPieceTables& Tables);

// Resolves a URL reference of a configuration or description document
// against the document's base URL: an absolute reference is used as it is;
// a relative one is appended to the whole base path with exactly one "/"
// between them, and the query is cleared.
QUrl resolveAgainstBaseUrl(const QUrl& Base, const QString& Reference);

// The URL with its file name removed: the directory URL, ending in "/" (the
// base against which a description's relative URLs are resolved).
QUrl urlWithoutFileName(const QUrl& Url);

} // namespace shared
