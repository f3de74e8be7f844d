#include "cost.h"

#include "wording.h"

#include "shared/contentdefinedchunker.h"

#include "shared/byteranges.h"

#include <QHash>
#include <QJsonArray>
#include <QLocale>
#include <QSet>

#include <algorithm>

namespace orvale::publisher {

namespace {

using shared::TChunkInPackage;
using shared::TFileInPackage;
using shared::TPackageConfigurationReader;

// The chunks a file entry names, in file order; empty when an index lies
// outside the chunk list.
std::optional<std::vector<TChunkInPackage>> fileChunks(const TPackageConfigurationReader& Description,
                                                       const TFileInPackage& File)
{
  std::vector<TChunkInPackage> Chunks;
  for (std::int32_t Index : File.chunkIndices) {
    if (Index < 0 || std::size_t(Index) >= Description.chunks().size())
      return std::nullopt;
    Chunks.push_back(Description.chunks()[std::size_t(Index)]);
  }
  return Chunks;
}

// Hashes of the pieces the launcher finds in an installed file: the layout
// its description gives (fast scan), or, for a file that description
// publishes whole, the file itself as one piece when the content-defined
// cut leaves it whole. A large file published whole is cut on the player's
// disk in a way no description tells: nothing is counted as found there.
QSet<QByteArray> installedPieces(const TPackageConfigurationReader& Old, const TFileInPackage& File)
{
  QSet<QByteArray> Pieces;
  const auto Chunks = fileChunks(Old, File);
  if (Chunks && !Chunks->empty()) {
    for (const TChunkInPackage& Chunk : *Chunks)
      Pieces.insert(Chunk.unpackedHash);
  } else if (File.unpackedSize > 0 && File.unpackedSize <= shared::ChunkingMinimumPiece) {
    Pieces.insert(File.unpackedHash);
  }
  return Pieces;
}

// The download records that hold a file's data: its chunks, or its own
// record.
std::vector<TChunkInPackage> fileRecords(const TPackageConfigurationReader& Description, const TFileInPackage& File)
{
  const auto Chunks = fileChunks(Description, File);
  if (Chunks && !Chunks->empty())
    return *Chunks;
  if (!File.ownDownload.url.isEmpty())
    return {File.ownDownload};
  return {};
}

// The hashes of the blocks of the old data that the update discards: per
// file, the old pieces that the new version of the file does not reuse (all
// of them for a file it drops), as their block indexes list them.
QSet<QByteArray> discardedBlocks(const TPackageConfigurationReader& Old, const TPackageConfigurationReader& New,
                                 const TBlockIndexLoader& OldIndexes, int& Missing)
{
  QSet<QByteArray> Blocks;
  QSet<QString> Loaded;
  for (const TFileInPackage& File : Old.files()) {
    const auto NewFile = New.findFile(File.localFile);
    QSet<QByteArray> Reused;
    if (NewFile != New.files().end()) {
      for (const TChunkInPackage& Record : fileRecords(New, *NewFile))
        Reused.insert(Record.unpackedHash);
    }
    for (const TChunkInPackage& Record : fileRecords(Old, File)) {
      const QString Url = Record.url.toString();
      if (Reused.contains(Record.unpackedHash) || !Record.offersBlocks() || Loaded.contains(Url))
        continue;
      Loaded.insert(Url);
      const auto Index = OldIndexes(Record);
      if (!Index) {
        ++Missing;
        continue;
      }
      for (const shared::TBlock& Block : Index->blocks)
        Blocks.insert(Block.hash);
    }
  }
  return Blocks;
}

// What fetching missing chunks costs: a whole chunk file in one request, or,
// for a chunk that offers blocks while old blocks are at hand, its index
// file and the ranges of the blocks not at hand. A piece in a pack costs its
// packed bytes; the requests of a pack, and the bytes it brings beyond its
// pieces (bridged gaps, or the whole pack), are counted once all its pieces
// are known (packTransfer).
class TTransferCounter
{
public:
  TTransferCounter(QSet<QByteArray> AtHand, TBlockIndexLoader NewIndexes)
    : m_AtHand(std::move(AtHand)), m_NewIndexes(std::move(NewIndexes))
  {
  }

  TTransfer operator()(const TChunkInPackage& Chunk)
  {
    if (Chunk.inPack()) {
      m_PackRanges[Chunk.packUrl.toString()].push_back({Chunk.packOffset, Chunk.packedSize});
      m_PackSizes[Chunk.packUrl.toString()] = Chunk.packSize;
      return {Chunk.packedSize, 0};
    }
    if (m_AtHand.isEmpty() || !Chunk.offersBlocks() || !m_NewIndexes)
      return {Chunk.packedSize, 1};
    const auto Index = m_NewIndexes(Chunk);
    if (!Index) {
      ++m_IndexesMissing;
      return {Chunk.packedSize, 1};
    }
    const shared::TBlockFetchPlan Plan =
        shared::planBlockFetch(*Index, [this](const QByteArray& Hash) { return m_AtHand.contains(Hash); });
    ++m_ChunksByBlocks;
    if (!shared::worthFetchingByBlocks(Plan, Chunk.packedSize))
      return {Chunk.blockIndexSize + Chunk.packedSize, 2};
    return {Chunk.blockIndexSize + Plan.bytes, 1 + int(Plan.requests.size())};
  }

  int chunksByBlocks() const { return m_ChunksByBlocks; }
  int blocksAtHand() const { return m_AtHand.size(); }
  int indexesMissing() const { return m_IndexesMissing; }
  // What fetching the pieces of the pack at Url counted so far costs
  // beyond their own bytes: the requests, and the other bytes they bring.
  TTransfer packTransfer(const QString& Url) const
  {
    const std::vector<shared::TByteRange> Pieces = m_PackRanges.value(Url);
    std::uint64_t PieceBytes = 0;
    for (const shared::TByteRange& Piece : Pieces)
      PieceBytes += Piece.length;
    const shared::TPackFetchPlan Plan = shared::planPackFetch(Pieces, m_PackSizes.value(Url));
    return {Plan.bytes > PieceBytes ? Plan.bytes - PieceBytes : 0, int(Plan.requests.size())};
  }

private:
  QSet<QByteArray> m_AtHand;
  QHash<QString, std::vector<shared::TByteRange>> m_PackRanges;
  QHash<QString, std::uint64_t> m_PackSizes;
  TBlockIndexLoader m_NewIndexes;
  int m_ChunksByBlocks = 0;
  int m_IndexesMissing = 0;
};

// A file that is fetched whole: through its own download record when it
// has one, else through its chunks.
std::vector<TChunkInPackage> wholeFile(const TFileInPackage& File, std::vector<TChunkInPackage> Chunks)
{
  if (!File.ownDownload.url.isEmpty())
    return {File.ownDownload};
  return Chunks;
}

// The download records the launcher fetches for one file of New, in file
// order (a record may repeat); empty with Error when the launcher refuses
// the entry.
std::optional<std::vector<TChunkInPackage>> missingChunks(const TPackageConfigurationReader& Old,
                                                          const TPackageConfigurationReader& New,
                                                          const TFileInPackage& File, QString& Error)
{
  const auto Chunks = fileChunks(New, File);
  const bool OwnRecord = !File.ownDownload.url.isEmpty();
  if (!Chunks && !OwnRecord) {
    Error = QString("%1: names chunks the description does not contain").arg(File.localFile);
    return std::nullopt;
  }
  if (!Chunks)
    return wholeFile(File, {});
  std::uint64_t Sum = 0;
  for (const TChunkInPackage& Chunk : *Chunks)
    Sum += Chunk.unpackedSize;
  if (!OwnRecord && ((Chunks->empty() && File.unpackedSize != 0) || (!Chunks->empty() && Sum != File.unpackedSize))) {
    Error = QString("%1: its chunks do not add up to its size").arg(File.localFile);
    return std::nullopt;
  }

  const auto Installed = Old.findFile(File.localFile);
  const bool Present = Installed != Old.files().end();
  if (Chunks->size() < 2) {
    if (Present && Installed->unpackedSize == File.unpackedSize && Installed->unpackedHash == File.unpackedHash)
      return std::vector<TChunkInPackage>();
    return wholeFile(File, *Chunks);
  }
  const QSet<QByteArray> Pieces = Present ? installedPieces(Old, *Installed) : QSet<QByteArray>();
  std::vector<TChunkInPackage> Missing;
  for (const TChunkInPackage& Chunk : *Chunks) {
    if (!Pieces.contains(Chunk.unpackedHash))
      Missing.push_back(Chunk);
  }
  if (Missing.size() == Chunks->size())
    return wholeFile(File, *Chunks);
  return Missing;
}

// The downloads of an installation, per file: within a file each content
// once, over all files each chunk URL once. The requests of a pack (and
// the bytes beyond its pieces) count for the first file that needs a piece
// in it.
std::optional<std::vector<TFileTransfer>> countDownloads(const TPackageConfigurationReader& Old,
                                                         const TPackageConfigurationReader& New,
                                                         TTransferCounter& TransferOf, QString& Error)
{
  std::vector<TFileTransfer> Files;
  QSet<QString> Urls;
  QHash<QString, std::size_t> FirstFileOfPack;
  for (const TFileInPackage& File : New.files()) {
    const auto Missing = missingChunks(Old, New, File, Error);
    if (!Missing)
      return std::nullopt;
    TFileTransfer Counted{File.localFile, {}};
    QSet<QByteArray> Contents;
    for (const TChunkInPackage& Chunk : *Missing) {
      const QString Url = Chunk.url.toString();
      if (Contents.contains(Chunk.unpackedHash) || Urls.contains(Url))
        continue;
      Contents.insert(Chunk.unpackedHash);
      Urls.insert(Url);
      if (Chunk.inPack() && !FirstFileOfPack.contains(Chunk.packUrl.toString()))
        FirstFileOfPack.insert(Chunk.packUrl.toString(), Files.size());
      const TTransfer Transfer = TransferOf(Chunk);
      Counted.transfer.bytes += Transfer.bytes;
      Counted.transfer.requests += Transfer.requests;
    }
    if (Counted.transfer.requests > 0 || Counted.transfer.bytes > 0)
      Files.push_back(Counted);
  }
  for (auto Pack = FirstFileOfPack.constBegin(); Pack != FirstFileOfPack.constEnd(); ++Pack) {
    const TTransfer Extra = TransferOf.packTransfer(Pack.key());
    Files[Pack.value()].transfer.bytes += Extra.bytes;
    Files[Pack.value()].transfer.requests += Extra.requests;
  }
  return Files;
}

TTransfer total(const std::vector<TFileTransfer>& Files)
{
  TTransfer Sum;
  for (const TFileTransfer& File : Files) {
    Sum.bytes += File.transfer.bytes;
    Sum.requests += File.transfer.requests;
  }
  return Sum;
}

QString bytesText(std::uint64_t Bytes)
{
  return QString("%1 bytes (%2 MB)").arg(QLocale::c().toString(qulonglong(Bytes))).arg(double(Bytes) / 1e6, 0, 'f', 1);
}

double share(std::uint64_t Part, std::uint64_t Whole)
{
  return Whole == 0 ? 0.0 : double(Part) / double(Whole);
}

QString versionText(const QString& Version)
{
  return Version.isEmpty() ? QString("?") : Version;
}

} // namespace

std::optional<TCostReport> computeCost(const TPackageConfigurationReader& Old, const TPackageConfigurationReader& New,
                                       QString& Error, const TBlockIndexSources& Blocks)
{
  TCostReport Report;
  Report.oldVersion = Old.version();
  Report.newVersion = New.version();
  for (const TFileInPackage& File : New.files())
    Report.newUnpackedBytes += File.unpackedSize;
  TTransferCounter UpdateTransfer(
      Blocks.oldIndexes ? discardedBlocks(Old, New, Blocks.oldIndexes, Report.oldIndexesMissing) : QSet<QByteArray>(),
      Blocks.newIndexes);
  TTransferCounter FreshTransfer({}, {});
  auto Update = countDownloads(Old, New, UpdateTransfer, Error);
  const auto Fresh = Update ? countDownloads(TPackageConfigurationReader(), New, FreshTransfer, Error) : std::nullopt;
  if (!Fresh)
    return std::nullopt;
  Report.chunksByBlocks = UpdateTransfer.chunksByBlocks();
  Report.newIndexesMissing = UpdateTransfer.indexesMissing();
  Report.blocksAtHand = UpdateTransfer.blocksAtHand();
  Report.update = total(*Update);
  Report.freshInstall = total(*Fresh);
  std::stable_sort(Update->begin(), Update->end(), [](const TFileTransfer& Left, const TFileTransfer& Right) {
    return Left.transfer.bytes > Right.transfer.bytes;
  });
  Report.updateByFile = std::move(*Update);
  return Report;
}

TBlockIndexLoader blockIndexLoader(const TLoadedDescription& Description, const QStringList& OtherPlaces)
{
  std::vector<TChunkPlace> Places{TChunkPlace(Description)};
  for (const QString& Place : OtherPlaces) {
    TChunkPlace Other(Place);
    if (Other.base() != Places.front().base())
      Places.push_back(std::move(Other));
  }
  return [Places = std::move(Places)](const TChunkInPackage& Record) -> std::optional<shared::TBlockIndex> {
    if (!Record.offersBlocks())
      return std::nullopt;
    const auto Relative = Places.front().relativeName(Record.blockIndexUrl);
    for (const TChunkPlace& Place : Places) {
      TChunkInPackage There = Record;
      if (&Place != &Places.front()) {
        if (!Relative)
          break;
        There.blockIndexUrl = Place.url(*Relative);
        There.url = Place.url(Places.front().relativeName(Record.url).value_or(QString()));
      }
      if (auto Index = readBlockIndex(Place.source(), There).index)
        return Index;
    }
    return std::nullopt;
  };
}

QString costText(const TCostReport& Report, int Largest)
{
  QString Text;
  Text += QString("update from %1 to %2: %3 in %4\n")
              .arg(versionText(Report.oldVersion), versionText(Report.newVersion), bytesText(Report.update.bytes),
                   counted(std::uint64_t(Report.update.requests), "request", "requests"));
  if (Report.chunksByBlocks > 0)
    Text += QString("  %1 fetched in parts: their block index files and the ranges of the blocks not among the %2 "
                    "of the old data the update discards (assumed found on the player's disk)\n")
                .arg(counted(std::uint64_t(Report.chunksByBlocks), "missing chunk", "missing chunks"),
                     counted(std::uint64_t(Report.blocksAtHand), "block", "blocks"));
  const auto Missing = [&](int Count, const QString& Whose) {
    if (Count > 0)
      Text += QString("  %1 of %2 could not be found (looked in %3): counted without blocks, so the update may "
                      "cost less; give the folder of the chunk files with --chunks DIR\n")
                  .arg(counted(std::uint64_t(Count), "block index", "block indexes"), Whose,
                       Report.indexPlaces.isEmpty() ? QString("the descriptions' folders") : Report.indexPlaces.join(", "));
  };
  Missing(Report.oldIndexesMissing, "chunks the update discards");
  Missing(Report.newIndexesMissing, "missing chunks");
  Text += QString("fresh install of %1: %2 in %3 (the installation holds %4)\n")
              .arg(versionText(Report.newVersion), bytesText(Report.freshInstall.bytes),
                   counted(std::uint64_t(Report.freshInstall.requests), "request", "requests"),
                   bytesText(Report.newUnpackedBytes));
  if (Report.updateByFile.empty() || Largest <= 0)
    return Text;
  Text += "largest contributors to the update:\n";
  const int Count = std::min<int>(Largest, int(Report.updateByFile.size()));
  for (int Index = 0; Index < Count; ++Index) {
    const TFileTransfer& File = Report.updateByFile[std::size_t(Index)];
    Text += QString("  %1 %2 %  %3 (%4)\n")
                .arg(QLocale::c().toString(qulonglong(File.transfer.bytes)), 15)
                .arg(100.0 * share(File.transfer.bytes, Report.update.bytes), 5, 'f', 1)
                .arg(File.localFile, counted(std::uint64_t(File.transfer.requests), "request", "requests"));
  }
  return Text;
}

QJsonObject costJson(const TCostReport& Report, int Largest)
{
  const auto Transfer = [](const TTransfer& Value) {
    return QJsonObject{{"bytes", double(Value.bytes)}, {"requests", Value.requests}};
  };
  QJsonArray Files;
  const int Count = std::min<int>(Largest, int(Report.updateByFile.size()));
  for (int Index = 0; Index < Count; ++Index) {
    const TFileTransfer& File = Report.updateByFile[std::size_t(Index)];
    Files.append(QJsonObject{{"file", File.localFile},
                             {"bytes", double(File.transfer.bytes)},
                             {"requests", File.transfer.requests},
                             {"share", share(File.transfer.bytes, Report.update.bytes)}});
  }
  return QJsonObject{{"old_version", Report.oldVersion},
                     {"new_version", Report.newVersion},
                     {"new_unpacked_bytes", double(Report.newUnpackedBytes)},
                     {"update", Transfer(Report.update)},
                     {"fresh_install", Transfer(Report.freshInstall)},
                     {"chunks_fetched_by_blocks", Report.chunksByBlocks},
                     {"old_blocks_at_hand", Report.blocksAtHand},
                     {"old_block_indexes_missing", Report.oldIndexesMissing},
                     {"new_block_indexes_missing", Report.newIndexesMissing},
                     {"largest", Files}};
}

} // namespace orvale::publisher
