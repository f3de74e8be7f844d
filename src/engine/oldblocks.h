#pragma once

#include "shared/blocks.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QTemporaryFile>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace orvale::launcher {

// The blocks of the old data an update discards (the pieces of installed
// files that no published chunk reuses), by their hash: the missing chunks
// that offer blocks take what they can from here instead of fetching it.
// A block lies where it is in its installed file, or, when the rebuild of
// that file overwrites or cuts off its place before the download starts, in
// a temporary file of secured copies in the installation folder (removed
// with this object). Filled by the scan tasks at once, read afterwards.
class TOldBlocks
{
public:
  // Secured copies go to a temporary file in Folder (those a killed update
  // left there are removed at the start of the next one,
  // shared::removeInterruptedWriteLeftovers).
  explicit TOldBlocks(QString Folder);
  ~TOldBlocks();
  TOldBlocks(const TOldBlocks&) = delete;
  TOldBlocks& operator=(const TOldBlocks&) = delete;

  // Records the block at Offset of the installed file Path. A hash already
  // known keeps its first place.
  void addInPlace(const QByteArray& Hash, const QString& Path, std::uint64_t Offset, std::uint32_t Size);
  // Copies the block into the file of secured copies; false when it could
  // not be written (the block is then not at hand).
  bool secure(const QByteArray& Hash, const char* Data, std::uint32_t Size);

  bool contains(const QByteArray& Hash) const;
  bool empty() const;
  std::size_t count() const;
  std::uint64_t securedBytes() const;
  // The block's content read from its place; nothing when it cannot be read
  // or no longer has the block's size and hash.
  std::optional<QByteArray> read(const shared::TBlock& Block) const;

private:
  struct TPlace
  {
    QString path;  // empty: in the file of secured copies
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
  };

  const QString m_Folder;
  mutable QMutex m_Mutex;
  QHash<QByteArray, TPlace> m_Places;
  std::unique_ptr<QTemporaryFile> m_pSecured;
  QString m_SecuredPath;
  std::uint64_t m_SecuredBytes = 0;
};

// Cuts the discarded pieces of the installed file Path (each from its first
// byte, as the publisher cuts a piece) into blocks and records them in
// Blocks: in place, or secured when they overlap a range in Overwritten
// (what the rebuild writes over or cuts off), as long as the secured bytes
// of this file stay within SecureBudget (beyond it they are left out).
// Pieces that cannot be read are left out.
void indexDiscardedPieces(TOldBlocks& Blocks, const QString& Path, const std::vector<shared::TByteRange>& Discarded,
                          const std::vector<shared::TByteRange>& Overwritten, std::uint64_t SecureBudget);

} // namespace orvale::launcher
