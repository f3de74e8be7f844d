#pragma once

// What the scan hands to the downloader: the files it must finish, their
// chunks and where each goes.

#include "engine/package.h"

#include <QMetaType>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace orvale::launcher {

class TOldBlocks;

// One file that the download step must finish.
struct TFileToDownload
{
  QString localFile;
  std::uint64_t unpackedSize = 0;
  QByteArray unpackedHash;
  bool executable = false;
  std::vector<TFilePatch> patches;
  // The pieces the file consists of, in file order. The target offset of
  // chunk k is the sum of the unpacked sizes of chunks 0 to k-1.
  std::vector<TChunkInPackage> chunks;
  // Positions in chunks (ascending) still to be downloaded and written;
  // empty when the file is already complete.
  std::vector<std::int32_t> chunksToDownload;
  // The scan left the file longer than unpackedSize (its old tail holds
  // blocks that missing chunks may take): cut it once it is written.
  bool cutWhenWritten = false;
};

// Why the difference of an installation could not be computed.
enum class EDifferenceFailure : std::int32_t
{
  None = 0,
  Description = 1,  // the published description cannot be acted on
  Disk = 2,         // a file of the installation could not be read, written or removed
};

// What an installation must download and delete.
struct TPackageDifference
{
  std::vector<TFileToDownload> filesToDownload;
  std::vector<TFileInPackage> filesToDelete;
  // The blocks of the old data the update discards, for the missing chunks
  // that offer blocks; null when there are none.
  std::shared_ptr<TOldBlocks> oldBlocks;
  // Set when the difference cannot be computed (a description that names
  // chunks it does not have, a disk that fails); the installation then fails
  // with this text.
  QString failure;
  EDifferenceFailure failureKind = EDifferenceFailure::None;
};

enum class EChunkReuseState : std::int32_t
{
  Missing = 0,
  InPlace = 1,
  Moved = 2,
};

// Where a chunk of a file being scanned can be taken from.
struct TChunkReuseState
{
  EChunkReuseState state = EChunkReuseState::Missing;
  std::uint64_t sourceOffset = 0;  // where the data lies in the file now
  std::uint64_t targetOffset = 0;
  std::uint64_t size = 0;
};

} // namespace orvale::launcher

Q_DECLARE_METATYPE(orvale::launcher::TPackageDifference)
