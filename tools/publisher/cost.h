#pragma once

#include "descriptionsource.h"
#include "shared/packageconfigurationreader.h"
#include "shared/blocks.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// What an update costs players: the downloads the launcher makes to bring
// an installation from one published description to another.
namespace orvale::publisher {

struct TTransfer
{
  std::uint64_t bytes = 0;
  int requests = 0;
};

struct TFileTransfer
{
  QString localFile;
  TTransfer transfer;
};

// The block index of a download record, read and checked; nothing when the
// record offers none or it cannot be had.
using TBlockIndexLoader = std::function<std::optional<shared::TBlockIndex>(const shared::TChunkInPackage&)>;

// Where the block indexes of the two descriptions come from; without
// loaders, chunks are counted whole.
struct TBlockIndexSources
{
  TBlockIndexLoader oldIndexes;
  TBlockIndexLoader newIndexes;
};

struct TCostReport
{
  QString oldVersion;
  QString newVersion;
  std::uint64_t newUnpackedBytes = 0;
  TTransfer update;        // from a complete installation of the old description
  TTransfer freshInstall;  // into an empty folder
  // Missing chunks of the update fetched in parts (index and ranges), and
  // the blocks of discarded old data counted as found.
  int chunksByBlocks = 0;
  int blocksAtHand = 0;
  // Block indexes that could not be had: of discarded old chunks (their
  // blocks are not counted as at hand) and of missing new chunks (fetched
  // whole). And where they were looked for (set by the caller, for the text).
  int oldIndexesMissing = 0;
  int newIndexesMissing = 0;
  QStringList indexPlaces;
  // The files whose downloads make up the update, largest first; a chunk
  // file that several files need counts for the first (in path order).
  std::vector<TFileTransfer> updateByFile;
};

// Counts as the launcher does with its default settings (fast scan of a
// complete installation): per file, the pieces the installed file holds by
// the old description are reused wherever they moved within the file; a
// file whose content has nothing to reuse is fetched whole; a small file is
// kept when its size and hash are unchanged. The missing pieces are fetched
// once per distinct chunk URL, each in one request of its packed size; the
// missing pieces in a pack by ranges of the pack, touching ones merged, up
// to 64 ranges in one request (the requests count for the first file that
// needs the pack).
//
// With blocks (both descriptions offer them and the loaders are given), the
// launcher is assumed to find every block of the old data that the update
// discards: per file, the old version's pieces that the new version of that
// file does not reuse, as their block indexes list them. A missing chunk
// that offers blocks then costs its index file (one request) and the ranges
// of the blocks not found, as shared::planBlockFetch plans them (default
// options; bytes of the ranges, without multipart headers), or its index
// and the whole chunk file when the ranges are not worth it
// (shared::worthFetchingByBlocks).
//
// Empty with Error when the new description is one the launcher refuses.
std::optional<TCostReport> computeCost(const shared::TPackageConfigurationReader& Old,
                                       const shared::TPackageConfigurationReader& New, QString& Error,
                                       const TBlockIndexSources& Blocks = {});

// Loads the block indexes a description names from where it was read; one
// that is not there is looked for under the same relative name in each of
// OtherPlaces in turn (published folders, or URLs of such folders): a
// description kept outside its published folder has no chunk files beside
// it. Block index files are named by their chunk file's hash and checked
// against their own, so any place that holds one holds the right one.
TBlockIndexLoader blockIndexLoader(const TLoadedDescription& Description, const QStringList& OtherPlaces = {});

// For people (sizes in bytes and MB, the Largest contributors with their
// share) and for build pipelines.
QString costText(const TCostReport& Report, int Largest);
QJsonObject costJson(const TCostReport& Report, int Largest);

} // namespace orvale::publisher
