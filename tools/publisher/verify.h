#pragma once

#include "shared/releasesignature.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Checks a publication as players will receive it: every file the
// description names for download exists, has its packed size and hash and
// decodes to its unpacked hash (with the dictionary it names, whose file
// must have its listed size and hash); every pack exists with its listed
// size, and each piece in it likewise from its range; every block index
// file exists, has its size and hash, is a sound index of its chunk file,
// and each block's range decodes alone to the block; a signature file
// beside the description signs it as a package or launcher description
// whose name fits where it lies, and has not expired. It catches a
// half-finished upload before players do.
namespace orvale::publisher {

struct TVerifyProblem
{
  QString location;  // the chunk file (path in the folder, or URL), or the description
  QString problem;
};

struct TVerifyReport
{
  QString description;           // where the description was read from
  int chunkFiles = 0;            // distinct chunk files checked
  int packs = 0;                 // pack files checked
  int piecesInPacks = 0;         // distinct pieces in them
  std::uint64_t packedBytes = 0; // the declared packed sizes of the chunk files and pieces
  int blockIndexFiles = 0;       // block index files checked
  int dictionaries = 0;          // dictionary files checked (pieces in packs decode with them)
  std::vector<TVerifyProblem> problems;  // by location
};

struct TVerifyProgress
{
  int chunkFilesDone = 0;  // chunk files and pieces in packs
  int chunkFiles = 0;
  std::uint64_t bytesDone = 0;
  std::uint64_t bytes = 0;
};

// Location: a published folder, a description file, or the http(s) URL of
// a published description. Chunk files of a local description must lie in
// its folder; those of a URL are fetched from the server, each within its
// declared size. Files are checked in parallel. The signature is checked
// against Keys, or against the key it names when Keys is empty (then no
// signature is no problem). Empty with Error when the description itself
// cannot be read. Progress is called on any thread, one call at a time.
std::optional<TVerifyReport> verifyPublication(const QString& Location, const std::vector<shared::TReleaseKey>& Keys,
                                               QString& Error,
                                               const std::function<void(const TVerifyProgress&)>& Progress = {});

// One line per problem, or one line saying that all is well.
QString verifyText(const TVerifyReport& Report);
// {"description", "chunk_files", "packs", "pieces_in_packs", "packed_bytes", "block_index_files",
//  "dictionaries", "problems": [{"location", "problem"}]}
QJsonObject verifyJson(const TVerifyReport& Report);

} // namespace orvale::publisher
