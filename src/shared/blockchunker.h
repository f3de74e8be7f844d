#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Content-defined cutting of data into blocks of about 64 KiB: the unit in
// which an update reuses data inside a chunk. The publisher cuts each piece
// into blocks from the piece's first byte; the launcher cuts old data the
// same way, so that a block that is unchanged (even if shifted) has the same
// bytes and hash on both sides.
//
// Cutting the block that starts at the unconsumed data with A bytes
// available: with A at most BlockMinimumSize the block is all A bytes.
// Otherwise a 64-bit gear value g starts at 0 and, for every position p from
// BlockMinimumSize up to (excluding) min(A, BlockMaximumSize),
// g = (g << 1) + Gear[byte at p] (modulo 2^64); the block ends after the
// first p where (g & M) == 0, M being BlockMaskBeforeNormal for
// p < BlockNormalSize and BlockMaskAfterNormal from there on (the block's
// length is p + 1). Without such a position the block is min(A,
// BlockMaximumSize) bytes long. Gear[i] is the i-th output (from 0) of the
// SplitMix64 generator seeded with 0x41534847524F5645 ("ASHGROVE").
//
// The masks test the top bits of g, which depend on the last 64 bytes. The
// stricter mask below the normal size and the looser one above it keep most
// blocks near the normal size: on random data the blocks average 66 KiB.
//
// A caller that cuts a stream keeps at least BlockMaximumSize bytes
// available while data remains, so every block except possibly the last is
// longer than BlockMinimumSize and at most BlockMaximumSize bytes.
namespace shared {

constexpr std::size_t BlockMinimumSize = 16384;
constexpr std::size_t BlockNormalSize = 65536;
constexpr std::size_t BlockMaximumSize = 262144;
constexpr std::uint64_t BlockMaskBeforeNormal = 0xFFFF000000000000ull;  // 16 bits
constexpr std::uint64_t BlockMaskAfterNormal = 0xFFFE000000000000ull;   // 15 bits

// Length of the block that starts at Data when Available bytes are there.
std::size_t nextBlockLength(const std::uint8_t* Data, std::size_t Available);

// Lengths of the blocks of Data, cut from its first byte to its end.
std::vector<std::uint32_t> cutBlocks(const std::uint8_t* Data, std::size_t Size);

} // namespace shared
