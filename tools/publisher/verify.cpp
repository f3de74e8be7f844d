#include "verify.h"

#include "chunkfile.h"
#include "descriptionsource.h"
#include "wording.h"
#include "shared/blocks.h"
#include "shared/payload.h"
#include "shared/releasesignature.h"
#include "shared/sha256.h"
#include "shared/zstdframes.h"

#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QLocale>
#include <QMutex>
#include <QSemaphore>
#include <QSet>
#include <QThreadPool>

#include <algorithm>

namespace orvale::publisher {

namespace {

using shared::TChunkInPackage;
using shared::TFileInPackage;
using shared::TPackageConfigurationReader;

constexpr int kMebibyte = 1024 * 1024;
// Chunk files held in memory at once, packed and decoded, in MiB.
constexpr int kMemoryBudgetMiB = 512;
constexpr int kParallelFetches = 8;

// What in the description itself keeps the launcher from installing a file.
std::vector<TVerifyProblem> descriptionProblems(const TLoadedDescription& Loaded)
{
  std::vector<TVerifyProblem> Problems;
  const TPackageConfigurationReader& Description = Loaded.reader;
  const auto Add = [&](const TFileInPackage& File, const QString& Text) {
    Problems.push_back({Loaded.location, QString("the file %1 %2").arg(File.localFile, Text)});
  };
  for (const TFileInPackage& File : Description.files()) {
    if (!File.ownDownload.url.isEmpty())
      continue;
    std::uint64_t Sum = 0;
    bool Usable = true;
    for (std::int32_t Index : File.chunkIndices) {
      if (Index < 0 || std::size_t(Index) >= Description.chunks().size()) {
        Add(File, QString("names chunk %1, which the chunk list (%2 chunks) does not have")
                      .arg(Index)
                      .arg(Description.chunks().size()));
        Usable = false;
        break;
      }
      const TChunkInPackage& Chunk = Description.chunks()[std::size_t(Index)];
      if (Chunk.url.isEmpty()) {
        Add(File, QString("uses chunk %1, which has no URL").arg(Index));
        Usable = false;
      }
      Sum += Chunk.unpackedSize;
    }
    if (Usable && Sum != File.unpackedSize)
      Add(File, QString("has %1 bytes, but its chunks add up to %2").arg(File.unpackedSize).arg(Sum));
  }
  return Problems;
}

// Whether a signature's name can be the description at Location: the name
// without its leading "../" is the end of the description's path.
bool nameFitsLocation(const QString& Name, const QString& Location, bool Web)
{
  const QString Path = Web ? QUrl(Location).path(QUrl::FullyDecoded) : QFileInfo(Location).absoluteFilePath();
  QString Tail = Name;
  while (Tail.startsWith("../"))
    Tail = Tail.mid(3);
  return Path == Tail || Path.endsWith("/" + Tail);
}

// What keeps launchers that check signatures from accepting the
// description: a signature file beside it that is malformed, does not sign
// these bytes (a folder published again without --sign keeps its old one),
// is made for another kind of document or another place, or has expired.
// Without Keys it is checked against the key it names, and no signature
// file is no problem (unsigned publications are fine); with Keys it must be
// there and made by one of them.
std::optional<TVerifyProblem> signatureProblem(const TLoadedDescription& Loaded, const TChunkSource& Source,
                                               const std::vector<shared::TReleaseKey>& Keys)
{
  const QString Location = Loaded.location + shared::SignatureFileSuffix;
  const QUrl Url = Source.web() ? QUrl(Location) : QUrl::fromLocalFile(Location);
  const TFetchedFile File = Source.read(Url, shared::MaxSignatureFileBytes);
  if (File.state == TFetchedFile::EState::Missing)
    return Keys.empty() ? std::nullopt : std::optional<TVerifyProblem>({Location, "is missing: the description is not signed"});
  if (File.state == TFetchedFile::EState::Failed)
    return TVerifyProblem{Location, QString("cannot be read: %1").arg(File.error)};
  const auto Named = shared::TReleaseSignature::parse(File.data);
  const std::vector<shared::TReleaseKey> Accepted = Keys.empty() && Named ? std::vector<shared::TReleaseKey>{Named->key} : Keys;
  const shared::TSignatureCheck Check =
      shared::checkReleaseSignature(Loaded.data, File.data, Accepted, std::nullopt, shared::EExpiry::Enforced);
  if (!Check.valid())
    return TVerifyProblem{Location, QString("does not vouch for the description: %1").arg(shared::signatureCheckText(Check.result))};
  const shared::TSignedDocument& Document = Check.signature->document;
  if (Document.role != shared::EDocumentRole::Package && Document.role != shared::EDocumentRole::Launcher)
    return TVerifyProblem{Location, QString("is made for %1, not for a package or launcher description").arg(Document.text())};
  if (!nameFitsLocation(Document.name, Loaded.location, Source.web()))
    return TVerifyProblem{Location, QString("is made for %1, which is not where the description lies").arg(Document.text())};
  return std::nullopt;
}

// What keeps launchers from using the compressed copy beside the
// description (they then fetch the description itself): one that does not
// decode to the description byte for byte. No copy is no problem.
std::optional<TVerifyProblem> compressedCopyProblem(const TLoadedDescription& Loaded, const TChunkSource& Source)
{
  const QString Location = Loaded.location + shared::CompressedDescriptionSuffix;
  const QUrl Url = Source.web() ? QUrl(Location) : QUrl::fromLocalFile(Location);
  const TFetchedFile File = Source.read(Url, kMaxDescriptionBytes);
  if (File.state == TFetchedFile::EState::Missing)
    return std::nullopt;
  if (File.state == TFetchedFile::EState::Failed)
    return TVerifyProblem{Location, QString("cannot be read: %1").arg(File.error)};
  QString Problem;
  const auto Decoded = shared::unpackDescription(File.data, kMaxDescriptionBytes, Problem);
  if (!Decoded)
    return TVerifyProblem{Location, QString("is no compressed description: %1").arg(Problem)};
  if (*Decoded != Loaded.data)
    return TVerifyProblem{Location, "does not decode to the description beside it"};
  return std::nullopt;
}

// The dictionaries the pieces name (as the description lists them) that
// were read whole, with their size and SHA-256, and load.
using TDictionaries =
    QHash<const shared::TDictionaryInDescription*, std::shared_ptr<const shared::TZstdDictionary>>;

// Reads and checks each dictionary the Records name once; the usable ones
// go into Dictionaries, what is wrong with the others into the problems.
std::vector<TVerifyProblem> dictionaryProblems(const TChunkSource& Source, const std::vector<TChunkInPackage>& Records,
                                               TDictionaries& Dictionaries, int& Checked)
{
  std::vector<TVerifyProblem> Problems;
  QSet<const shared::TDictionaryInDescription*> Seen;
  for (const TChunkInPackage& Record : Records) {
    const shared::TDictionaryInDescription* Listed = Record.dictionary.get();
    if (!Listed || Seen.contains(Listed))
      continue;
    Seen.insert(Listed);
    ++Checked;
    QByteArray Content;
    if (auto Problem = Source.readNamedFile(Listed->url, Listed->size, Listed->hash, QString(), Content)) {
      Problems.push_back({Source.name(Listed->url), *Problem});
      continue;
    }
    auto Dictionary = shared::TZstdDictionary::load(Content);
    if (!Dictionary) {
      Problems.push_back({Source.name(Listed->url), "is not a Zstandard dictionary"});
      continue;
    }
    Dictionaries.insert(Listed, std::move(Dictionary));
  }
  return Problems;
}

// What keeps Content from being the piece of Record, decoded with the
// dictionary it names. Nothing is said of a piece whose dictionary is not
// usable: that dictionary's problem is named once.
std::optional<QString> contentProblem(const TDictionaries& Dictionaries, const QByteArray& Content,
                                      const TChunkInPackage& Record)
{
  const shared::TZstdDictionary* Dictionary = nullptr;
  if (Record.dictionary) {
    Dictionary = Dictionaries.value(Record.dictionary.get()).get();
    if (!Dictionary)
      return std::nullopt;
  }
  return chunkContentProblem(Content, Record.unpack, Record.unpackedSize, Record.unpackedHash, Dictionary);
}

std::optional<QString> chunkFileProblem(const TChunkSource& Source, const TDictionaries& Dictionaries,
                                        const TChunkInPackage& Record, QByteArray& Content)
{
  if (Record.packedSize > std::uint64_t(kMaxChunkFileBytes) || Record.unpackedSize > shared::kMaxUnpackedPayloadSize)
    return QString("is declared larger than any chunk file may be");
  if (auto Problem = Source.readNamedFile(Record.url, Record.packedSize, Record.packedHash, "packed ", Content))
    return Problem;
  return contentProblem(Dictionaries, Content, Record);
}

// What is wrong with the block index file of a record; each block's range
// is decoded from the chunk file when that is sound (ChunkFile not null).
std::optional<QString> blockIndexProblem(const TChunkSource& Source, const TChunkInPackage& Record,
                                         const QByteArray* ChunkFile)
{
  const TBlockIndexFile File = readBlockIndex(Source, Record);
  if (!File.index)
    return File.problem;
  if (!ChunkFile)
    return std::nullopt;
  if (const auto Broken = shared::firstUndecodableBlock(*File.index, *ChunkFile)) {
    const shared::TBlock& Block = File.index->blocks[*Broken];
    return QString("block %1 (bytes %2 to %3 of %4) does not decode to its content")
        .arg(*Broken)
        .arg(Block.packedOffset)
        .arg(Block.packedOffset + Block.packedSize)
        .arg(Source.name(Record.url));
  }
  return std::nullopt;
}

// The problems of one record's files: its chunk file and its block index.
std::vector<TVerifyProblem> recordProblems(const TChunkSource& Source, const TDictionaries& Dictionaries,
                                           const TChunkInPackage& Record)
{
  std::vector<TVerifyProblem> Problems;
  QByteArray Content;
  if (auto Problem = chunkFileProblem(Source, Dictionaries, Record, Content))
    Problems.push_back({Source.name(Record.url), *Problem});
  if (Record.offersBlocks()) {
    if (auto Problem = blockIndexProblem(Source, Record, Problems.empty() ? &Content : nullptr))
      Problems.push_back({Source.name(Record.blockIndexUrl), *Problem});
  }
  return Problems;
}

// The problems of a pack and the pieces in it, checked from one read of
// the pack: it must have its listed size, and each piece's range its packed
// size and hash and decode to its content, like a chunk file.
std::vector<TVerifyProblem> packProblems(const TChunkSource& Source, const TDictionaries& Dictionaries,
                                         const std::vector<TChunkInPackage>& Pieces)
{
  const QUrl& Url = Pieces.front().packUrl;
  const std::uint64_t Size = Pieces.front().packSize;
  const QString Name = Source.name(Url);
  if (auto Refusal = Source.refusal(Url))
    return {{Name, *Refusal}};
  const TFetchedFile File = Source.read(Url, qint64(Size));
  switch (File.state) {
  case TFetchedFile::EState::Missing:
    return {{Name, "is missing"}};
  case TFetchedFile::EState::TooLarge:
    return {{Name, QString("is larger than its size of %1 bytes").arg(Size)}};
  case TFetchedFile::EState::Failed:
    return {{Name, QString("cannot be read: %1").arg(File.error)}};
  case TFetchedFile::EState::Read:
    break;
  }
  std::vector<TVerifyProblem> Problems;
  const std::uint64_t Held = std::uint64_t(File.data.size());
  if (Held < Size)
    Problems.push_back({Name, QString("is truncated: %1 of %2 bytes").arg(Held).arg(Size)});
  for (const TChunkInPackage& Piece : Pieces) {
    const std::uint64_t End = Piece.packOffset + Piece.packedSize;
    const QString Where = QString("the piece at bytes %1 to %2").arg(Piece.packOffset).arg(End);
    if (End > Held) {
      Problems.push_back({Name, QString("%1 is cut off").arg(Where)});
      continue;
    }
    if (Piece.unpackedSize > shared::kMaxUnpackedPayloadSize) {
      Problems.push_back({Name, QString("%1 is declared larger than any piece may be").arg(Where)});
      continue;
    }
    const QByteArray Content = File.data.mid(int(Piece.packOffset), int(Piece.packedSize));
    if (shared::TSha256::hash(Content) != Piece.packedHash)
      Problems.push_back({Name, QString("%1 differs from its packed hash (damaged or replaced)").arg(Where)});
    else if (auto Problem = contentProblem(Dictionaries, Content, Piece))
      Problems.push_back({Name, QString("%1 %2").arg(Where, *Problem)});
  }
  return Problems;
}

// What one read checks: a chunk file (with its block index), or a pack with
// the pieces in it.
struct TCheck
{
  std::vector<TChunkInPackage> records;
  bool pack = false;
};

// The checks of the records: one per chunk file, one per pack.
std::vector<TCheck> checksOf(const std::vector<TChunkInPackage>& Records)
{
  std::vector<TCheck> Checks;
  QHash<QString, std::size_t> PackCheck;
  for (const TChunkInPackage& Record : Records) {
    if (!Record.inPack()) {
      Checks.push_back({{Record}, false});
      continue;
    }
    const QString Key = QString("%1 %2").arg(Record.packSize).arg(Record.packUrl.toString());
    auto Known = PackCheck.constFind(Key);
    if (Known == PackCheck.constEnd()) {
      Known = PackCheck.insert(Key, Checks.size());
      Checks.push_back({{}, true});
    }
    Checks[Known.value()].records.push_back(Record);
  }
  return Checks;
}

// The bytes a check holds at once: the file read and a decoded piece.
std::uint64_t heldBytes(const TCheck& Check)
{
  std::uint64_t Decoded = 0;
  for (const TChunkInPackage& Record : Check.records)
    Decoded = std::max(Decoded, std::min<std::uint64_t>(Record.unpackedSize, shared::kMaxUnpackedPayloadSize));
  const TChunkInPackage& First = Check.records.front();
  return (Check.pack ? First.packSize : std::min<std::uint64_t>(First.packedSize, kMaxChunkFileBytes)) + Decoded;
}

// Runs the checks on a pool of threads; the files held at once stay within
// the memory budget. Problems by check index.
std::vector<std::vector<TVerifyProblem>> runChecks(const TChunkSource& Source, const TDictionaries& Dictionaries,
                                                   const std::vector<TCheck>& Checks,
                                                   const std::function<void(const TVerifyProgress&)>& Progress)
{
  std::vector<std::vector<TVerifyProblem>> Problems(Checks.size());
  TVerifyProgress State;
  for (const TCheck& Check : Checks) {
    State.chunkFiles += int(Check.records.size());
    for (const TChunkInPackage& Record : Check.records)
      State.bytes += Record.packedSize;
  }
  QMutex ProgressMutex;
  QSemaphore Budget(kMemoryBudgetMiB);
  QThreadPool Pool;
  Pool.setMaxThreadCount(Source.web() ? kParallelFetches : std::max(2, QThread::idealThreadCount()));
  for (std::size_t Index = 0; Index < Checks.size(); ++Index) {
    Pool.start([&, Index] {
      const TCheck& Check = Checks[Index];
      const int Units = int(std::min<std::uint64_t>(kMemoryBudgetMiB, heldBytes(Check) / kMebibyte + 1));
      Budget.acquire(Units);
      Problems[Index] = Check.pack ? packProblems(Source, Dictionaries, Check.records)
                                   : recordProblems(Source, Dictionaries, Check.records.front());
      Budget.release(Units);
      QMutexLocker Lock(&ProgressMutex);
      State.chunkFilesDone += int(Check.records.size());
      for (const TChunkInPackage& Record : Check.records)
        State.bytesDone += Record.packedSize;
      if (Progress)
        Progress(State);
    });
  }
  Pool.waitForDone();
  return Problems;
}

} // namespace

std::optional<TVerifyReport> verifyPublication(const QString& Location, const std::vector<shared::TReleaseKey>& Keys,
                                               QString& Error,
                                               const std::function<void(const TVerifyProgress&)>& Progress)
{
  const auto Loaded = loadDescription(Location, Error);
  if (!Loaded)
    return std::nullopt;
  TVerifyReport Report;
  Report.description = Loaded->location;
  Report.problems = descriptionProblems(*Loaded);
  const std::vector<TChunkInPackage> Records = distinctDownloadRecords(Loaded->reader);
  const TChunkSource Source(*Loaded);
  if (auto Problem = signatureProblem(*Loaded, Source, Keys))
    Report.problems.push_back(*Problem);
  if (auto Problem = compressedCopyProblem(*Loaded, Source))
    Report.problems.push_back(*Problem);
  TDictionaries Dictionaries;
  const auto DictionaryProblems = dictionaryProblems(Source, Records, Dictionaries, Report.dictionaries);
  Report.problems.insert(Report.problems.end(), DictionaryProblems.begin(), DictionaryProblems.end());
  const std::vector<TCheck> Checks = checksOf(Records);
  const auto Problems = runChecks(Source, Dictionaries, Checks, Progress);
  for (std::size_t Index = 0; Index < Checks.size(); ++Index) {
    for (const TChunkInPackage& Record : Checks[Index].records) {
      Report.packedBytes += Record.packedSize;
      Report.blockIndexFiles += Record.offersBlocks() ? 1 : 0;
    }
    (Checks[Index].pack ? Report.piecesInPacks : Report.chunkFiles) += int(Checks[Index].records.size());
    Report.packs += Checks[Index].pack ? 1 : 0;
    Report.problems.insert(Report.problems.end(), Problems[Index].begin(), Problems[Index].end());
  }
  std::stable_sort(Report.problems.begin(), Report.problems.end(),
                   [](const TVerifyProblem& Left, const TVerifyProblem& Right) { return Left.location < Right.location; });
  return Report;
}

QString verifyText(const TVerifyReport& Report)
{
  const QString InPacks = Report.packs == 0 ? QString()
                                            : QString(", %1 in %2")
                                                  .arg(counted(std::uint64_t(Report.piecesInPacks), "piece", "pieces"),
                                                       counted(std::uint64_t(Report.packs), "pack", "packs"));
  const QString Dictionaries =
      Report.dictionaries == 0
          ? QString()
          : QString(", %1").arg(counted(std::uint64_t(Report.dictionaries), "dictionary", "dictionaries"));
  const QString Summary = QString("%1%2%3 (%4 bytes) and %5 named by %6")
                              .arg(counted(std::uint64_t(Report.chunkFiles), "chunk file", "chunk files"), InPacks,
                                   Dictionaries)
                              .arg(QLocale::c().toString(qulonglong(Report.packedBytes)))
                              .arg(counted(std::uint64_t(Report.blockIndexFiles), "block index file", "block index files"))
                              .arg(Report.description);
  if (Report.problems.empty())
    return QString("verified %1: all good\n").arg(Summary);
  QString Text = QString("%1 in %2:\n").arg(counted(Report.problems.size(), "problem", "problems"), Summary);
  for (const TVerifyProblem& Problem : Report.problems)
    Text += QString("  %1: %2\n").arg(Problem.location, Problem.problem);
  return Text;
}

QJsonObject verifyJson(const TVerifyReport& Report)
{
  QJsonArray Problems;
  for (const TVerifyProblem& Problem : Report.problems)
    Problems.append(QJsonObject{{"location", Problem.location}, {"problem", Problem.problem}});
  return QJsonObject{{"description", Report.description},
                     {"chunk_files", Report.chunkFiles},
                     {"packs", Report.packs},
                     {"pieces_in_packs", Report.piecesInPacks},
                     {"packed_bytes", double(Report.packedBytes)},
                     {"block_index_files", Report.blockIndexFiles},
                     {"dictionaries", Report.dictionaries},
                     {"problems", Problems}};
}

} // namespace orvale::publisher
