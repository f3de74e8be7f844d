#pragma once

#include "shared/packageconfigurationreader.h"
#include "shared/blocks.h"
#include "shared/descriptiondocument.h"
#include "shared/payload.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <optional>
#include <vector>

// Where the commands that inspect a publication get their data: package
// descriptions and chunk files, from a local folder or from a web server.
namespace orvale::publisher {

// A description is at most as large as launchers accept; a chunk file at
// most its declared packed size, which is bounded by kMaxChunkFileBytes: the
// largest content a container may declare plus room for a header and a
// codec's overhead.
constexpr qint64 kMaxDescriptionBytes = shared::MaxDescriptionBytes;
constexpr qint64 kMaxChunkFileBytes = qint64(shared::kMaxUnpackedPayloadSize) + 1024 * 1024;

struct TLoadedDescription
{
  QString location;   // as given: a path or a URL
  QString folder;     // the local folder it lies in (empty when fetched over HTTP)
  shared::TPackageConfigurationReader reader;  // relative URLs resolved against its folder
  QByteArray data;    // the document's bytes, as a signature covers them
};

// True for http and https URLs.
bool isWebUrl(const QString& Location);

// Reads a package description from a file, from a folder holding
// "package.json", or from an http(s) URL. Refuses (empty, Error naming the
// location and what is wrong) anything that is not a JSON object with a
// "files" list: no command acts on a document that did not parse.
std::optional<TLoadedDescription> loadDescription(const QString& Location, QString& Error);

// The download records of a description, each URL once: the chunk list,
// then the files' own records. A record names its block index file too.
std::vector<shared::TChunkInPackage> distinctDownloadRecords(const shared::TPackageConfigurationReader& Description);

// The result of reading one file: its bytes when it could be read whole
// within the limit.
struct TFetchedFile
{
  enum class EState
  {
    Read,
    Missing,
    TooLarge,  // more bytes than the limit; data holds nothing
    Failed,
  };
  EState state = EState::Failed;
  QByteArray data;
  QString error;  // for Failed
};

// The files of one publication: chunk files and block index files, from
// the folder of a local description (and nowhere else), or from the web
// server a description was fetched from.
class TChunkSource
{
public:
  explicit TChunkSource(const TLoadedDescription& Loaded);
  // The files of the local folder Folder, or of a web server when empty.
  explicit TChunkSource(const QString& Folder);

  bool web() const { return m_Folder.isEmpty(); }
  // The file as people know it: its path in the folder, or its URL.
  QString name(const QUrl& Url) const;
  // Why the file cannot be read here, when it cannot.
  std::optional<QString> refusal(const QUrl& Url) const;
  TFetchedFile read(const QUrl& Url, qint64 MaxBytes) const;
  // Reads a file that a description names with its Size and SHA-256 Hash
  // into Data; what is wrong when it is not exactly that. Qualifier names
  // the kind of size and hash ("packed " for chunk files).
  std::optional<QString> readNamedFile(const QUrl& Url, std::uint64_t Size, const QByteArray& Hash,
                                       const QString& Qualifier, QByteArray& Data) const;

private:
  QString m_Folder;  // canonical; empty for a description fetched over HTTP
};

// A place that holds chunk files under the names a description gives them
// relative to itself: the folder or web folder of a description, or one
// given by its path or URL (of the folder, or of a description in it).
class TChunkPlace
{
public:
  explicit TChunkPlace(const TLoadedDescription& Loaded);
  explicit TChunkPlace(const QString& Location);

  const TChunkSource& source() const { return m_Source; }
  // The folder's URL, ending with "/".
  const QUrl& base() const { return m_Base; }
  // Url relative to this place ("chunks/ab/....blocks"); nothing when it
  // does not lie below it.
  std::optional<QString> relativeName(const QUrl& Url) const;
  QUrl url(const QString& RelativeName) const;

private:
  QUrl m_Base;  // ends with "/"
  TChunkSource m_Source;
};

// The block index file a record names, read and checked: its size, its
// hash, and a sound index of the record's chunk file (shared/blocks.h).
// Either the index or what is wrong with the file.
struct TBlockIndexFile
{
  std::optional<shared::TBlockIndex> index;
  QString problem;
};
TBlockIndexFile readBlockIndex(const TChunkSource& Source, const shared::TChunkInPackage& Record);

// GET of an http(s) URL without content coding, cancelled as soon as the
// body would exceed MaxBytes or no byte arrives for 60 s. Blocks; runs on
// any thread (it brings its own network access manager and event loop).
TFetchedFile fetchUrl(const QUrl& Url, qint64 MaxBytes);
// The same for a local file: its size is checked before it is read.
TFetchedFile readLocalFile(const QString& Path, qint64 MaxBytes);

} // namespace orvale::publisher
