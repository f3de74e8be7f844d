// The blocks of the old data an update discards: cut and hashed, kept in
// place or copied aside, and read back for chunks fetched by blocks.

#include "engine/oldblocks.h"

#include "engine/logging.h"
#include "shared/contentdefinedchunker.h"
#include "shared/filesystemhelper.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMutexLocker>

#include <algorithm>
#include <stdexcept>

namespace orvale::launcher {

namespace {

bool overlapsAny(const std::vector<shared::TByteRange>& Ranges, std::uint64_t Offset, std::uint64_t Size)
{
  return std::any_of(Ranges.begin(), Ranges.end(), [&](const shared::TByteRange& Range) {
    return Offset < Range.end() && Range.offset < Offset + Size;
  });
}

std::optional<QByteArray> readAt(const QString& Path, std::uint64_t Offset, std::uint32_t Size)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly) || !File.seek(qint64(Offset)))
    return std::nullopt;
  QByteArray Data(int(Size), Qt::Uninitialized);
  if (File.read(Data.data(), qint64(Size)) != qint64(Size))
    return std::nullopt;
  return Data;
}

} // namespace

TOldBlocks::TOldBlocks(QString Folder) : m_Folder(std::move(Folder)) {}

TOldBlocks::~TOldBlocks() = default;

void TOldBlocks::addInPlace(const QByteArray& Hash, const QString& Path, std::uint64_t Offset, std::uint32_t Size)
{
  QMutexLocker Lock(&m_Mutex);
  if (!m_Places.contains(Hash))
    m_Places.insert(Hash, {Path, Offset, Size});
}

bool TOldBlocks::secure(const QByteArray& Hash, const char* Data, std::uint32_t Size)
{
  QMutexLocker Lock(&m_Mutex);
  if (m_Places.contains(Hash))
    return true;
  if (!m_pSecured) {
    auto File = std::make_unique<QTemporaryFile>(QDir(m_Folder).filePath(shared::securedBlocksFileTemplate()));
    if (!File->open()) {
      qWarning().noquote() << QString("Cannot keep old blocks in %1: %2").arg(m_Folder, File->errorString());
      return false;
    }
    m_SecuredPath = File->fileName();
    m_pSecured = std::move(File);
  }
  const std::uint64_t Offset = m_SecuredBytes;
  if (!m_pSecured->seek(qint64(Offset)) || m_pSecured->write(Data, qint64(Size)) != qint64(Size) ||
      !m_pSecured->flush())
    return false;
  m_SecuredBytes += Size;
  m_Places.insert(Hash, {QString(), Offset, Size});
  return true;
}

bool TOldBlocks::contains(const QByteArray& Hash) const
{
  QMutexLocker Lock(&m_Mutex);
  return m_Places.contains(Hash);
}

bool TOldBlocks::empty() const
{
  QMutexLocker Lock(&m_Mutex);
  return m_Places.isEmpty();
}

std::size_t TOldBlocks::count() const
{
  QMutexLocker Lock(&m_Mutex);
  return std::size_t(m_Places.size());
}

std::uint64_t TOldBlocks::securedBytes() const
{
  QMutexLocker Lock(&m_Mutex);
  return m_SecuredBytes;
}

std::optional<QByteArray> TOldBlocks::read(const shared::TBlock& Block) const
{
  TPlace Place;
  QString SecuredPath;
  {
    QMutexLocker Lock(&m_Mutex);
    const auto Found = m_Places.constFind(Block.hash);
    if (Found == m_Places.constEnd() || Found->size != Block.unpackedSize)
      return std::nullopt;
    Place = *Found;
    SecuredPath = m_SecuredPath;
  }
  const auto Data = readAt(Place.path.isEmpty() ? SecuredPath : Place.path, Place.offset, Place.size);
  if (!Data || shared::TSha256::hash(*Data) != Block.hash)
    return std::nullopt;
  return Data;
}

void indexDiscardedPieces(TOldBlocks& Blocks, const QString& Path, const std::vector<shared::TByteRange>& Discarded,
                          const std::vector<shared::TByteRange>& Overwritten, std::uint64_t SecureBudget)
{
  QFile File(Path);
  if (Discarded.empty() || !File.open(QIODevice::ReadOnly))
    return;
  std::uint64_t Secured = 0;
  std::size_t Count = 0;
  QByteArray Piece;
  for (const shared::TByteRange& Range : Discarded) {
    // A piece of the cut is never larger; one the installed description
    // makes larger is left out rather than read whole.
    if (Range.length == 0 || Range.length > shared::ChunkingMaximumPiece || !File.seek(qint64(Range.offset)))
      continue;
    Piece.resize(int(Range.length));
    if (File.read(Piece.data(), qint64(Range.length)) != qint64(Range.length))
      continue;
    for (const shared::TBlock& Block : shared::cutAndHashBlocks(Piece.constData(), std::size_t(Piece.size()))) {
      const std::uint64_t Offset = Range.offset + Block.unpackedOffset;
      if (!overlapsAny(Overwritten, Offset, Block.unpackedSize)) {
        Blocks.addInPlace(Block.hash, Path, Offset, Block.unpackedSize);
      } else if (Secured + Block.unpackedSize <= SecureBudget &&
                 Blocks.secure(Block.hash, Piece.constData() + Block.unpackedOffset, Block.unpackedSize)) {
        Secured += Block.unpackedSize;
      } else {
        continue;
      }
      ++Count;
    }
  }
  qInfo().noquote() << QString("old blocks of %1: %2 from %3 discarded pieces, %4 bytes of them secured%5")
                           .arg(Path)
                           .arg(Count)
                           .arg(Discarded.size())
                           .arg(Secured)
                           .arg(threadTag());
}

} // namespace orvale::launcher
