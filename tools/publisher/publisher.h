#pragma once

#include "codecchoice.h"

#include "shared/descriptiondocument.h"
#include "shared/releasesignature.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <QDateTime>

#include <cstdint>
#include <functional>
#include <optional>

namespace orvale::publisher {

struct TPublishOptions
{
  QString inputDirectory;
  QString outputDirectory;
  QString version;
  QString executable;       // relative to the build folder; may be empty
  QStringList parameters;   // command-line arguments of the game client
  QString generation;       // "first", "second" or empty
  QString variant;          // "regular", "preview", "beta", "test" or empty
  TPackingOptions packing;
  // Files up to this size are published whole through their own download
  // record; larger ones are cut by content-defined chunking.
  std::uint64_t wholeFileLimit = 4194304;
  // Pieces of fewer unpacked bytes than packBelow go into pack files
  // (packs.h) rather than chunk files of their own: one request fetches
  // many of them. 0 writes no packs, as for launchers that do not know
  // them (a launcher's own package). A pack is closed before it would pass
  // packSize bytes (at most shared::kMaxPackBytes).
  std::uint64_t packBelow = 65536;
  std::uint64_t packSize = 1048576;
  // The most bytes of the Zstandard dictionary that pieces in packs are
  // packed with where they would be packed with zstd (dictionary.h); 0
  // for none. Used only where packs are written and zstd may be (codec
  // auto or zstd). A dictionary the folder's earlier publication used is
  // kept; else one is trained on the build's small files.
  std::uint64_t dictionarySize = 32768;
  // With a key the description is signed on these terms (its role and
  // name, the signing time and the expiry); its signature file is written
  // before the description is replaced.
  std::optional<shared::TSigningKey> signingKey;
  shared::TSignatureTerms signatureTerms;
  // A build without files is refused unless allowed: its description would
  // empty every player's installation.
  bool allowEmpty = false;
  // The Zstandard level of the description's compressed copy
  // (package.json.zst, shared/descriptiondocument.h); 0 writes none and
  // removes one an earlier publication left.
  int descriptionZstdLevel = shared::DefaultDescriptionZstdLevel;
};

struct TPublishReport
{
  int files = 0;
  int chunkFilesWritten = 0;     // new chunk files in the output folder (pieces in packs are none)
  int chunkFilesReused = 0;      // already present from an earlier publication
  int duplicatePieces = 0;       // pieces whose content was published once already
  std::uint64_t inputBytes = 0;
  std::uint64_t packedBytes = 0; // packed size of all distinct chunks
  // Distinct chunks by how they are packed (written and reused).
  int storedChunks = 0;
  int deflateChunks = 0;
  int lzmaChunks = 0;
  int lzipChunks = 0;
  int zstdChunks = 0;  // launchers from before zstd cannot decode these
  // Distinct chunks that offer blocks, and the bytes of their index files.
  int blockIndexFiles = 0;
  std::uint64_t blockIndexBytes = 0;
  // Pack files: new ones written, and ones already there that the
  // description names; distinct pieces in packs (not in chunk files).
  int packsWritten = 0;
  int packsReused = 0;
  int piecesInPacks = 0;
  // Distinct pieces packed with the dictionary, and its size (0: none
  // used); whether its file was written now (else it was there).
  int piecesWithDictionary = 0;
  std::uint64_t dictionaryBytes = 0;
  bool dictionaryWritten = false;
  // The description and its compressed copy (0: none written).
  std::uint64_t descriptionBytes = 0;
  std::uint64_t compressedDescriptionBytes = 0;
};

// Where a publication stands; bytes count the build's bytes whose pieces
// are packed and written (or found to be there already).
struct TPublishProgress
{
  int filesRead = 0;
  int files = 0;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytes = 0;
};

// Publishes the build. Same input, same output, byte for byte, whatever the
// timing of the threads. Chunk files are named by their content, so
// publishing several versions into the same folder stores every piece once.
// Pieces are packed on all cores; at most a few are held at once. Returns
// false with Error set on failure. Progress is called on the calling thread.
bool publishBuild(const TPublishOptions& Options, TPublishReport& Report, QString& Error,
                  const std::function<void(const TPublishProgress&)>& Progress = {});

// The summary of a publication that took Seconds at Rate, for people and
// for build pipelines.
QString publishText(const TPublishReport& Report, double Seconds, const QString& Rate);
QJsonObject publishJson(const TPublishReport& Report, double Seconds);

} // namespace orvale::publisher
