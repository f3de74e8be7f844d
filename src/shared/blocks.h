#pragma once

#include "shared/byteranges.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

// Blocks inside a chunk file: each piece is cut into blocks by content
// (shared/blockchunker.h), and its chunk file is laid out so that each
// block's byte range decodes on its own. A block index file beside the
// chunk file lists the blocks; with it an update fetches only the byte
// ranges of the blocks it does not have, and takes the others from old data.
//
// Layouts: a stored chunk file is the piece, so a block's range is the block
// itself. A Deflate chunk file is a container whose payload is one raw
// Deflate stream with a full flush (empty stored block, fresh dictionary)
// before every block but the first: the whole payload inflates as one
// stream as always, and each block's range inflates alone (a range ends
// with the flush, the last one with the final block). A Zstandard chunk
// file is a container whose payload is one frame per block: the frames
// decode one after another to the piece, and each range is one frame.
//
// Block index file, version 1 (little-endian):
//
//   offset  size  field
//        0     4  magic "AGBI"
//        4     1  version, 1
//        5     1  encoding of the ranges: 0 stored, 3 Deflate, 9
//                 Zstandard (the container format ids); readers refuse
//                 an index of an encoding they do not know, and fetch
//                 the whole chunk file
//        6     2  zero
//        8     4  block count N, 1 to kMaxBlocksPerIndex
//       12     8  unpacked size of the chunk
//       20     8  size of the chunk file
//       28     8  offset of the first block's range in the chunk file
//       36  N*40  per block: unpacked size (4), packed size (4), SHA-256 of
//                 the block's content (32)
//
// Blocks follow each other without gaps on both sides: the first block's
// content starts at 0 and its range at the given offset; the last range ends
// at the end of the chunk file and the last block at the chunk's end.
namespace shared {

enum class EBlockEncoding : std::uint8_t
{
  Stored = 0,   // the range is the block
  Deflate = 3,  // the range is raw Deflate that inflates to the block
  Zstd = 9,     // the range is one Zstandard frame of the block
};

struct TBlock
{
  std::uint64_t unpackedOffset = 0;  // in the chunk's content
  std::uint32_t unpackedSize = 0;
  std::uint64_t packedOffset = 0;    // in the chunk file
  std::uint32_t packedSize = 0;
  QByteArray hash;                   // SHA-256 of the block's content

  TByteRange packedRange() const { return {packedOffset, packedSize}; }
};

struct TBlockIndex
{
  EBlockEncoding encoding = EBlockEncoding::Stored;
  std::uint64_t unpackedSize = 0;
  std::uint64_t chunkFileSize = 0;
  std::vector<TBlock> blocks;
};

constexpr int kBlockIndexVersion = 1;
constexpr std::size_t kBlockIndexHeaderSize = 36;
constexpr std::size_t kBlockIndexEntrySize = 40;
// Enough for the largest chunk a container may hold cut into blocks of the
// minimum size; a block holds at most kMaxBlockSize bytes.
constexpr std::uint32_t kMaxBlocksPerIndex = 16384;
constexpr std::uint32_t kMaxBlockSize = 1048576;
constexpr std::size_t kMaxBlockIndexBytes = kBlockIndexHeaderSize + kMaxBlocksPerIndex * kBlockIndexEntrySize;

// The bytes of the index file.
QByteArray serializeBlockIndex(const TBlockIndex& Index);

// Reads an index file from untrusted bytes, for a chunk file of
// ChunkFileSize bytes holding UnpackedSize bytes. Nothing (the caller falls
// back to the whole chunk file) unless every field is sound: the header is
// ours and of this version, the count is sane, the file has exactly the
// entries the count names, every block and range is non-empty and no
// larger than a block may be (a stored range as large as its block, a
// Deflate or Zstandard range at most a little larger), the ranges lie in the chunk file
// and end at its end, and the blocks add up to UnpackedSize.
std::optional<TBlockIndex> parseBlockIndex(const QByteArray& Data, std::uint64_t ChunkFileSize,
                                           std::uint64_t UnpackedSize);

// A piece packed for block-wise reuse: its chunk file and the index of it.
struct TBlockedPiece
{
  QByteArray chunkFile;
  TBlockIndex index;
};

// Cuts the piece into blocks and writes it as a Deflate container laid out
// as above (zlib Level, 1 to 9). Same piece, same bytes. An empty chunk file
// when the piece is empty, larger than a container may hold, or zlib fails.
TBlockedPiece packDeflateBlocks(const char* Data, std::size_t Size, int Level);
// Cuts the piece into blocks and writes it as a Zstandard container of one
// frame per block (Level, 1 to 19). Same piece, same bytes. An empty chunk
// file when the piece is empty, larger than a container may hold, or
// libzstd fails.
TBlockedPiece packZstdBlocks(const char* Data, std::size_t Size, int Level);
// The index of a piece published stored: its chunk file is the piece.
TBlockIndex storedBlockIndex(const char* Data, std::size_t Size);
// The blocks of Data cut from its first byte, with their offsets, sizes and
// hashes; their ranges are those of Data stored (the blocks themselves).
// What the launcher finds in old data.
std::vector<TBlock> cutAndHashBlocks(const char* Data, std::size_t Size);

// Decodes one block from its range of the chunk file (Range, RangeSize
// bytes: exactly its packed size). The block's content when the range
// decodes to exactly its unpacked size and its hash matches; a Deflate
// range must end at the end of a Deflate block or of the stream, a
// Zstandard range must be whole frames.
std::optional<QByteArray> decodeBlock(EBlockEncoding Encoding, const TBlock& Block, const char* Range,
                                      std::size_t RangeSize);

// The number of the first block whose range in ChunkFile does not decode to
// it (0 when ChunkFile is not of the index's size); nothing when all do.
std::optional<std::size_t> firstUndecodableBlock(const TBlockIndex& Index, const QByteArray& ChunkFile);

struct TFetchPlanOptions
{
  // Two ranges whose gap is at most this many bytes are fetched as one: a
  // part of a multipart answer costs about a hundred bytes of headers and a
  // request far more, while a block's range is tens of KiB.
  std::uint64_t bridgeGapBytes = 1024;
  // Ranges asked for in one request (one multipart answer). Servers accept
  // many; some CDNs limit them.
  std::size_t maxRangesPerRequest = 16;
};

// What to fetch of one chunk file given its index and the blocks at hand.
struct TBlockFetchPlan
{
  // Indices of the blocks not at hand, ascending; every block when nothing
  // is at hand, none when everything is.
  std::vector<std::size_t> missingBlocks;
  // The merged ranges, ascending, grouped into requests of at most
  // maxRangesPerRequest ranges. When nothing is at hand (wholeFile) it is
  // one request for the whole chunk file, a plain GET.
  std::vector<std::vector<TByteRange>> requests;
  bool wholeFile = false;
  std::uint64_t bytes = 0;  // the ranges' bytes: what the answers carry, without multipart headers
};

// Plans the fetch of the blocks for which IsAtHand(hash) is false: their
// ranges, neighbours merged and gaps of at most bridgeGapBytes bridged.
TBlockFetchPlan planBlockFetch(const TBlockIndex& Index, const std::function<bool(const QByteArray&)>& IsAtHand,
                               const TFetchPlanOptions& Options = {});

// Whether a chunk file is worth fetching by Plan rather than whole: the
// plan is not the whole file and its ranges come to at most 80 % of it
// (multipart answers, the decoding of single blocks and reading the blocks
// at hand cost more than the last few bytes saved).
bool worthFetchingByBlocks(const TBlockFetchPlan& Plan, std::uint64_t ChunkFileSize);

// Assembles the chunk's content from a plan's answers: each missing block
// decoded from the fetched bytes of its range (Fetched: the bytes of the
// plan's ranges, request by request, in order), each other block from
// BlockAtHand (its content, nothing when it cannot be had). Nothing when a
// block cannot be had, a fetched range is not of its planned size, or a
// block does not decode to its hash; the caller then fetches the whole
// chunk file. The caller checks the chunk's SHA-256 as for any chunk (a
// block at hand is checked for its size only).
std::optional<QByteArray> assembleChunk(const TBlockIndex& Index, const TBlockFetchPlan& Plan,
                                        const std::vector<QByteArray>& Fetched,
                                        const std::function<std::optional<QByteArray>(const TBlock&)>& BlockAtHand);

} // namespace shared
