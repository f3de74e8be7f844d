#pragma once

#include "launcher/packageconfigurationreader.h"
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

// A description is at most this large; a chunk file at most its declared
// packed size, which is bounded by kMaxChunkFileBytes: the largest content a
// container may declare plus room for a header and a codec's overhead.
constexpr qint64 kMaxDescriptionBytes = 64ll * 1024 * 1024;
constexpr qint64 kMaxChunkFileBytes = qint64(shared::kMaxUnpackedPayloadSize) + 1024 * 1024;

struct TLoadedDescription
{
  QString location;   // as given: a path or a URL
  QString folder;     // the local folder it lies in (empty when fetched over HTTP)
  launcher::TPackageConfigurationReader reader;  // relative URLs resolved against its folder
};

// True for http and https URLs.
bool isWebUrl(const QString& Location);

// Reads a package description from a file, from a folder holding
// "package.json", or from an http(s) URL. Refuses (empty, Error naming the
// location and what is wrong) anything that is not a JSON object with a
// "files" list: no command acts on a document that did not parse.
std::optional<TLoadedDescription> loadDescription(const QString& Location, QString& Error);

// The download records of a description, each URL once: the chunk list,
// then the files' own records. (Files that a record names beside its chunk
// file would be listed with it.)
std::vector<launcher::TChunkInPackage> distinctDownloadRecords(const launcher::TPackageConfigurationReader& Description);

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

// GET of an http(s) URL without content coding, cancelled as soon as the
// body would exceed MaxBytes or no byte arrives for 60 s. Blocks; runs on
// any thread (it brings its own network access manager and event loop).
TFetchedFile fetchUrl(const QUrl& Url, qint64 MaxBytes);
// The same for a local file: its size is checked before it is read.
TFetchedFile readLocalFile(const QString& Path, qint64 MaxBytes);

} // namespace orvale::publisher
