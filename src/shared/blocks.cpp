#include "shared/blocks.h"

#include "shared/blockchunker.h"
#include "shared/cputime.h"
#include "shared/payload.h"
#include "shared/sha256.h"
#include "shared/zstdframes.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace shared {

namespace {

constexpr char kMagic[4] = {'A', 'G', 'B', 'I'};
constexpr int kSha256Size = 32;

void appendLittleEndian(QByteArray& Out, std::uint64_t Value, int Bytes)
{
  for (int Index = 0; Index < Bytes; ++Index)
    Out.append(char((Value >> (8 * Index)) & 0xFF));
}

std::uint64_t readLittleEndian(const char* Data, int Bytes)
{
  std::uint64_t Value = 0;
  for (int Index = 0; Index < Bytes; ++Index)
    Value |= std::uint64_t(std::uint8_t(Data[Index])) << (8 * Index);
  return Value;
}

// The most bytes a Deflate range of a block of Size bytes takes: zlib falls
// back to stored Deflate blocks (5 bytes per 64 KiB), plus the flush.
std::uint64_t maxDeflateRange(std::uint64_t Size)
{
  return Size + Size / 256 + 64;
}

bool rangeSizeFits(EBlockEncoding Encoding, std::uint32_t Packed, std::uint32_t Unpacked)
{
  switch (Encoding) {
  case EBlockEncoding::Stored:
    return Packed == Unpacked;
  case EBlockEncoding::Deflate:
    return Packed > 0 && Packed <= maxDeflateRange(Unpacked);
  case EBlockEncoding::Zstd:
    return Packed > 0 && Packed <= zstdFrameBound(Unpacked);
  }
  return false;
}

bool knownEncoding(EBlockEncoding Encoding)
{
  return Encoding == EBlockEncoding::Stored || Encoding == EBlockEncoding::Deflate ||
         Encoding == EBlockEncoding::Zstd;
}

// The container header of a payload of PayloadSize bytes, and the blocks'
// ranges moved behind it.
TBlockedPiece blockedContainer(EPayloadFormat Format, EBlockEncoding Encoding, std::size_t Size,
                               const QByteArray& Payload, std::vector<TBlock> Blocks)
{
  TBlockedPiece Packed;
  Packed.chunkFile = containerAround(Format, Size, Payload);
  const std::uint64_t HeaderSize = std::uint64_t(Packed.chunkFile.size() - Payload.size());
  for (TBlock& Block : Blocks)
    Block.packedOffset += HeaderSize;
  Packed.index.encoding = Encoding;
  Packed.index.unpackedSize = Size;
  Packed.index.chunkFileSize = std::uint64_t(Packed.chunkFile.size());
  Packed.index.blocks = std::move(Blocks);
  return Packed;
}

// Runs deflate over the input with Flush until it has taken all input and
// has room left (zlib's condition for a flush to be complete), growing Out.
bool deflateAll(z_stream& Stream, QByteArray& Out, int Flush)
{
  for (;;) {
    if (Stream.avail_out == 0) {
      const std::size_t Used = Stream.total_out;
      Out.resize(Out.size() * 2);
      Stream.next_out = reinterpret_cast<Bytef*>(Out.data()) + Used;
      Stream.avail_out = uInt(std::size_t(Out.size()) - Used);
    }
    const int Result = deflate(&Stream, Flush);
    if (Result == Z_STREAM_END)
      return true;
    if (Result != Z_OK && Result != Z_BUF_ERROR)
      return false;
    if (Stream.avail_in == 0 && Stream.avail_out > 0 && Flush != Z_FINISH)
      return true;
  }
}

// One raw Deflate stream over the piece with a full flush at every block
// start; fills in each block's range within the payload.
std::optional<QByteArray> deflateWithFlushes(const char* Data, std::size_t Size, int Level,
                                             std::vector<TBlock>& Blocks)
{
  z_stream Stream{};
  if (deflateInit2(&Stream, std::clamp(Level, 1, 9), Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    return std::nullopt;
  QByteArray Payload;
  Payload.resize(int(deflateBound(&Stream, uLong(Size))) + 64);
  Stream.next_out = reinterpret_cast<Bytef*>(Payload.data());
  Stream.avail_out = uInt(Payload.size());
  bool Ok = true;
  for (std::size_t Index = 0; Ok && Index < Blocks.size(); ++Index) {
    TBlock& Block = Blocks[Index];
    const std::uint64_t Start = Stream.total_out;
    Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data + Block.unpackedOffset));
    Stream.avail_in = Block.unpackedSize;
    Ok = deflateAll(Stream, Payload, Index + 1 == Blocks.size() ? Z_FINISH : Z_FULL_FLUSH);
    Block.packedOffset = Start;
    Block.packedSize = std::uint32_t(Stream.total_out - Start);
  }
  const std::size_t Written = Stream.total_out;
  deflateEnd(&Stream);
  if (!Ok)
    return std::nullopt;
  Payload.resize(int(Written));
  return Payload;
}

std::optional<QByteArray> inflateBlock(const TBlock& Block, const char* Range, std::size_t RangeSize)
{
  z_stream Stream{};
  if (inflateInit2(&Stream, -MAX_WBITS) != Z_OK)
    return std::nullopt;
  // One byte more than the block: a range that decodes to more is caught.
  QByteArray Output(int(Block.unpackedSize) + 1, '\0');
  Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Range));
  Stream.avail_in = uInt(RangeSize);
  Stream.next_out = reinterpret_cast<Bytef*>(Output.data());
  Stream.avail_out = uInt(Output.size());
  // Z_BLOCK stops at every Deflate block boundary; bit 128 of data_type
  // then tells that the input ended at one.
  int Result = Z_OK;
  while (Result == Z_OK && Stream.avail_in > 0 && Stream.avail_out > 0)
    Result = inflate(&Stream, Z_BLOCK);
  const bool AtBoundary = Result == Z_STREAM_END || (Result == Z_OK && (Stream.data_type & 128) != 0);
  const bool Whole = AtBoundary && Stream.avail_in == 0 && Stream.total_out == Block.unpackedSize;
  inflateEnd(&Stream);
  if (!Whole)
    return std::nullopt;
  Output.resize(int(Block.unpackedSize));
  return Output;
}

} // namespace

QByteArray serializeBlockIndex(const TBlockIndex& Index)
{
  QByteArray Out;
  Out.reserve(int(kBlockIndexHeaderSize + Index.blocks.size() * kBlockIndexEntrySize));
  Out.append(kMagic, 4);
  Out.append(char(kBlockIndexVersion));
  Out.append(char(Index.encoding));
  appendLittleEndian(Out, 0, 2);
  appendLittleEndian(Out, Index.blocks.size(), 4);
  appendLittleEndian(Out, Index.unpackedSize, 8);
  appendLittleEndian(Out, Index.chunkFileSize, 8);
  appendLittleEndian(Out, Index.blocks.empty() ? 0 : Index.blocks.front().packedOffset, 8);
  for (const TBlock& Block : Index.blocks) {
    appendLittleEndian(Out, Block.unpackedSize, 4);
    appendLittleEndian(Out, Block.packedSize, 4);
    Out.append(Block.hash);
  }
  return Out;
}

std::optional<TBlockIndex> parseBlockIndex(const QByteArray& Data, std::uint64_t ChunkFileSize,
                                           std::uint64_t UnpackedSize)
{
  const std::size_t Size = std::size_t(Data.size());
  if (Size < kBlockIndexHeaderSize || Size > kMaxBlockIndexBytes)
    return std::nullopt;
  const char* Header = Data.constData();
  const auto Encoding = EBlockEncoding(std::uint8_t(Header[5]));
  const std::uint64_t Count = readLittleEndian(Header + 8, 4);
  if (std::memcmp(Header, kMagic, 4) != 0 || Header[4] != kBlockIndexVersion || !knownEncoding(Encoding) ||
      readLittleEndian(Header + 6, 2) != 0 || Count == 0 || Count > kMaxBlocksPerIndex ||
      Size != kBlockIndexHeaderSize + Count * kBlockIndexEntrySize ||
      readLittleEndian(Header + 12, 8) != UnpackedSize || readLittleEndian(Header + 20, 8) != ChunkFileSize)
    return std::nullopt;
  TBlockIndex Index;
  Index.encoding = Encoding;
  Index.unpackedSize = UnpackedSize;
  Index.chunkFileSize = ChunkFileSize;
  Index.blocks.reserve(std::size_t(Count));
  std::uint64_t Unpacked = 0;
  std::uint64_t Packed = readLittleEndian(Header + 28, 8);
  if (Packed >= ChunkFileSize)
    return std::nullopt;
  for (std::size_t Entry = kBlockIndexHeaderSize; Entry < Size; Entry += kBlockIndexEntrySize) {
    TBlock Block;
    Block.unpackedSize = std::uint32_t(readLittleEndian(Header + Entry, 4));
    Block.packedSize = std::uint32_t(readLittleEndian(Header + Entry + 4, 4));
    Block.hash = Data.mid(int(Entry + 8), kSha256Size);
    if (Block.unpackedSize == 0 || Block.unpackedSize > kMaxBlockSize ||
        !rangeSizeFits(Encoding, Block.packedSize, Block.unpackedSize))
      return std::nullopt;
    // At most 16384 entries of at most 2^32 bytes: the sums cannot overflow.
    Block.unpackedOffset = Unpacked;
    Block.packedOffset = Packed;
    Unpacked += Block.unpackedSize;
    Packed += Block.packedSize;
    if (Unpacked > UnpackedSize || Packed > ChunkFileSize)
      return std::nullopt;
    Index.blocks.push_back(std::move(Block));
  }
  if (Unpacked != UnpackedSize || Packed != ChunkFileSize)
    return std::nullopt;
  return Index;
}

TBlockedPiece packDeflateBlocks(const char* Data, std::size_t Size, int Level)
{
  TBlockedPiece Packed;
  if (Size == 0 || Size > kMaxUnpackedPayloadSize)
    return Packed;
  std::vector<TBlock> Blocks = cutAndHashBlocks(Data, Size);
  const auto Payload = deflateWithFlushes(Data, Size, Level, Blocks);
  if (!Payload)
    return Packed;
  return blockedContainer(EPayloadFormat::Deflate, EBlockEncoding::Deflate, Size, *Payload, std::move(Blocks));
}

TBlockedPiece packZstdBlocks(const char* Data, std::size_t Size, int Level)
{
  if (Size == 0 || Size > kMaxUnpackedPayloadSize)
    return {};
  std::vector<TBlock> Blocks = cutAndHashBlocks(Data, Size);
  TZstdEncoder Encoder(Level);
  QByteArray Payload;
  Payload.reserve(int(std::min<std::size_t>(zstdFrameBound(Size), std::size_t(INT32_MAX / 2))));
  for (TBlock& Block : Blocks) {
    Block.packedOffset = std::uint64_t(Payload.size());
    if (!Encoder.appendFrame(Data + Block.unpackedOffset, Block.unpackedSize, Payload))
      return {};
    Block.packedSize = std::uint32_t(std::uint64_t(Payload.size()) - Block.packedOffset);
  }
  return blockedContainer(EPayloadFormat::Zstd, EBlockEncoding::Zstd, Size, Payload, std::move(Blocks));
}

TBlockIndex storedBlockIndex(const char* Data, std::size_t Size)
{
  TBlockIndex Index;
  Index.encoding = EBlockEncoding::Stored;
  Index.unpackedSize = Size;
  Index.chunkFileSize = Size;
  Index.blocks = cutAndHashBlocks(Data, Size);
  return Index;
}

std::vector<TBlock> cutAndHashBlocks(const char* Data, std::size_t Size)
{
  const std::vector<std::uint32_t> Lengths = cutBlocks(reinterpret_cast<const std::uint8_t*>(Data), Size);
  std::vector<TBlock> Blocks;
  Blocks.reserve(Lengths.size());
  std::uint64_t Offset = 0;
  for (const std::uint32_t Length : Lengths) {
    TBlock Block;
    Block.unpackedOffset = Block.packedOffset = Offset;
    Block.unpackedSize = Block.packedSize = Length;
    Block.hash = TSha256::hash(Data + Offset, Length);
    Blocks.push_back(std::move(Block));
    Offset += Length;
  }
  return Blocks;
}

std::optional<QByteArray> decodeBlock(EBlockEncoding Encoding, const TBlock& Block, const char* Range,
                                      std::size_t RangeSize)
{
  if (RangeSize != Block.packedSize || Block.unpackedSize == 0 || Block.unpackedSize > kMaxBlockSize)
    return std::nullopt;
  std::optional<QByteArray> Content;
  std::optional<TCpuScope> Decoding(std::in_place, ECpuActivity::Decode);
  if (Encoding == EBlockEncoding::Deflate) {
    Content = inflateBlock(Block, Range, RangeSize);
  } else if (Encoding == EBlockEncoding::Zstd) {
    QByteArray Output(int(Block.unpackedSize), Qt::Uninitialized);
    if (decodeZstdFrames(reinterpret_cast<const std::uint8_t*>(Range), RangeSize,
                         reinterpret_cast<std::uint8_t*>(Output.data()), std::size_t(Output.size())))
      Content = std::move(Output);
  } else if (RangeSize == Block.unpackedSize) {
    Content = QByteArray(Range, int(RangeSize));
  }
  Decoding.reset();
  if (!Content || TSha256::hash(*Content) != Block.hash)
    return std::nullopt;
  return Content;
}

std::optional<std::size_t> firstUndecodableBlock(const TBlockIndex& Index, const QByteArray& ChunkFile)
{
  if (std::uint64_t(ChunkFile.size()) != Index.chunkFileSize)
    return 0;
  for (std::size_t Number = 0; Number < Index.blocks.size(); ++Number) {
    const TBlock& Block = Index.blocks[Number];
    if (Block.packedOffset + Block.packedSize > Index.chunkFileSize ||
        !decodeBlock(Index.encoding, Block, ChunkFile.constData() + Block.packedOffset, Block.packedSize))
      return Number;
  }
  return std::nullopt;
}

TBlockFetchPlan planBlockFetch(const TBlockIndex& Index, const std::function<bool(const QByteArray&)>& IsAtHand,
                               const TFetchPlanOptions& Options)
{
  TBlockFetchPlan Plan;
  std::vector<TByteRange> Ranges;
  for (std::size_t Number = 0; Number < Index.blocks.size(); ++Number) {
    const TBlock& Block = Index.blocks[Number];
    if (IsAtHand(Block.hash))
      continue;
    Plan.missingBlocks.push_back(Number);
    addMergedRange(Ranges, Block.packedRange(), Options.bridgeGapBytes);
  }
  if (Ranges.empty())
    return Plan;
  if (Plan.missingBlocks.size() == Index.blocks.size()) {
    Plan.wholeFile = true;
    Ranges = {{0, Index.chunkFileSize}};
  }
  Plan.requests = groupIntoRequests(Ranges, Options.maxRangesPerRequest);
  for (const TByteRange& Range : Ranges)
    Plan.bytes += Range.length;
  return Plan;
}

bool worthFetchingByBlocks(const TBlockFetchPlan& Plan, std::uint64_t ChunkFileSize)
{
  return !Plan.wholeFile && Plan.bytes <= ChunkFileSize / 5 * 4;
}

std::optional<QByteArray> assembleChunk(const TBlockIndex& Index, const TBlockFetchPlan& Plan,
                                        const std::vector<QByteArray>& Fetched,
                                        const std::function<std::optional<QByteArray>(const TBlock&)>& BlockAtHand)
{
  std::vector<TByteRange> Ranges;
  for (const std::vector<TByteRange>& Request : Plan.requests)
    Ranges.insert(Ranges.end(), Request.begin(), Request.end());
  if (Fetched.size() != Ranges.size())
    return std::nullopt;
  for (std::size_t Number = 0; Number < Ranges.size(); ++Number) {
    if (std::uint64_t(Fetched[Number].size()) != Ranges[Number].length)
      return std::nullopt;
  }
  std::vector<bool> Missing(Index.blocks.size(), false);
  for (const std::size_t Number : Plan.missingBlocks) {
    if (Number >= Missing.size())
      return std::nullopt;
    Missing[Number] = true;
  }
  QByteArray Chunk;
  Chunk.reserve(int(Index.unpackedSize));
  std::size_t Range = 0;
  for (std::size_t Number = 0; Number < Index.blocks.size(); ++Number) {
    const TBlock& Block = Index.blocks[Number];
    std::optional<QByteArray> Content;
    if (Missing[Number]) {
      // Ranges and blocks ascend together: the block's range lies in the
      // first range that ends after its start.
      while (Range < Ranges.size() && Ranges[Range].end() <= Block.packedOffset)
        ++Range;
      if (Range == Ranges.size() || Block.packedOffset < Ranges[Range].offset ||
          Block.packedOffset + Block.packedSize > Ranges[Range].end())
        return std::nullopt;
      const char* Start = Fetched[Range].constData() + (Block.packedOffset - Ranges[Range].offset);
      Content = decodeBlock(Index.encoding, Block, Start, Block.packedSize);
    } else {
      Content = BlockAtHand(Block);
    }
    if (!Content || std::uint64_t(Content->size()) != Block.unpackedSize)
      return std::nullopt;
    Chunk += *Content;
  }
  return Chunk;
}

} // namespace shared
