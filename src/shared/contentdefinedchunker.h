#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class QIODevice;

namespace shared {

// Content-defined chunking of large files. The cut points depend only on
// the content, so a region that is unchanged but shifted yields the same
// pieces at its new position. The launcher's scanner and the publisher cut
// with this one implementation.
//
// Cutting a piece at the start of the unconsumed data with A bytes
// available: with A at most ChunkingMinimumPiece the piece is all A bytes;
// otherwise a 32-bit rolling value g starts at 0 and, for every position p
// from ChunkingMinimumPiece up to (excluding) min(A, ChunkingMaximumPiece),
// g = (g >> 1) + ChunkingTable[byte at p]; the first p where
// (g & ChunkingMask) == 0 ends the piece (length p + 1); without such a
// position the piece is min(A, ChunkingMaximumPiece) bytes long. The reader
// keeps at least ChunkingMaximumPiece bytes available while data remains,
// so every piece except possibly the last is longer than
// ChunkingMinimumPiece and at most ChunkingMaximumPiece bytes.
constexpr std::size_t ChunkingMinimumPiece = 4194304;
constexpr std::size_t ChunkingMaximumPiece = 16777216;
constexpr std::uint32_t ChunkingMask = 0x3FFFFF;
extern const std::uint32_t ChunkingTable[256];

// Length of the piece that starts at Data when Available bytes are there.
std::size_t nextPieceLength(const std::uint8_t* Data, std::size_t Available);

class TContentDefinedChunker
{
public:
  // The device is read into a ring of ChunkingMaximumPiece + ReadSize bytes
  // (less for a smaller file): the kept maximum piece plus what may be read
  // ahead of it while pieces before it are still in use. The ring is kept
  // for the next device (it is made larger when one needs more), so that a
  // chunker cutting many files one after the other does not pay for fresh
  // pages of memory for each.
  explicit TContentDefinedChunker(std::size_t ReadSize = 32u * 1024 * 1024);
  ~TContentDefinedChunker();

  using TPieceVisitor = std::function<void(const std::uint8_t* Data, std::size_t Length)>;
  using THashVisitor = std::function<void(const QByteArray& Sha256, std::uint64_t Length)>;

  // Reads Device from its current position to its end and calls Visit for
  // each piece, in order. Returns false when reading failed (the pieces
  // visited so far stay visited).
  bool forEachPiece(QIODevice& Device, const TPieceVisitor& Visit);

  // As forEachPiece, but hands each piece's SHA-256 and length to Visit, on
  // the calling thread. A second thread reads and cuts while the calling
  // one hashes the pieces already cut (as many as the ring holds), so
  // scanning runs at about the speed of SHA-256 alone. The device is read
  // on the second thread meanwhile.
  bool forEachPieceHash(QIODevice& Device, const THashVisitor& Visit);

private:
  class TRing;
  TRing& ringFor(const QIODevice& Device);

  std::size_t m_ReadSize;
  std::unique_ptr<TRing> m_pRing;
};

} // namespace shared
