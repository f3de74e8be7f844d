#include "publisher.h"

#include "chunkfile.h"
#include "descriptionsource.h"
#include "dictionary.h"
#include "packs.h"
#include "wording.h"
#include "shared/contentdefinedchunker.h"
#include "shared/filesystemhelper.h"
#include "shared/heap.h"
#include "shared/packageconfigurationreader.h"
#include "shared/reservednames.h"
#include "shared/sha256.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSemaphore>
#include <QSet>
#include <QThread>
#include <QtConcurrent>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace orvale::publisher {

namespace {

struct TChunkRecord
{
  QString url;  // relative to the description
  std::uint64_t packedSize = 0;
  QByteArray packedHash;
  std::uint64_t unpackedSize = 0;
  QByteArray unpackedHash;
  ECodec codec = ECodec::Stored;
  bool written = false;  // a new file was written (else an identical one was there)
  // The block index file beside the chunk file; empty when the chunk offers
  // no blocks.
  QString blockIndexUrl;
  std::uint64_t blockIndexSize = 0;
  QByteArray blockIndexHash;
  // A piece in a pack (it has no url then): the pack's number in the
  // store's pack writer and the piece's offset in it.
  int pack = -1;
  std::uint64_t packOffset = 0;
  bool dictionary = false;  // packed with the publication's dictionary
};

// A chunk file that an earlier publication left, with its content.
struct TExistingChunk
{
  TChunkRecord record;
  QByteArray content;
};

struct TSourceFile
{
  QString relativePath;
  QString absolutePath;
  std::uint64_t size = 0;
  bool executable = false;
};

QString chunkUrl(const QByteArray& Hash, const QString& Extension)
{
  const QString Hex = QString::fromLatin1(Hash.toHex());
  return QString("chunks/%1/%2.%3").arg(Hex.left(2), Hex, Extension);
}

// The chunk file an earlier publication left in the output folder for the
// piece with this hash, when it holds that piece. A damaged or foreign file
// is not reused.
std::optional<TExistingChunk> reusableChunkFile(const QDir& Output, const QSet<QString>& Existing,
                                                const TPackingOptions& Packing, const QByteArray& Hash,
                                                std::uint64_t Size)
{
  for (const QString& Extension : reusableExtensions(Packing)) {
    const QString Url = chunkUrl(Hash, Extension);
    if (!Existing.contains(Url))
      continue;
    QFile File(Output.filePath(Url));
    // A chunk file is never larger than its piece (plus a container header):
    // anything bigger is not ours and is not read into memory.
    if (!File.exists() || File.size() > qint64(Size) + 4096 || !File.open(QIODevice::ReadOnly))
      continue;
    const QByteArray Content = File.readAll();
    const ECodec FileCodec = codecOfExtension(Extension);
    if (File.error() != QFile::NoError || chunkContentProblem(Content, FileCodec != ECodec::Stored, Size, Hash))
      continue;
    TChunkRecord Record;
    Record.url = Url;
    Record.packedSize = std::uint64_t(Content.size());
    Record.packedHash = shared::TSha256::hash(Content);
    Record.unpackedSize = Size;
    Record.unpackedHash = Hash;
    Record.codec = FileCodec;
    return TExistingChunk{Record, Content};
  }
  return std::nullopt;
}

// Block index files are named by the packed hash of the chunk file they
// describe.
QString blockIndexUrl(const QByteArray& PackedHash)
{
  return chunkUrl(PackedHash, "blocks");
}

void describeBlockIndex(TChunkRecord& Record, const QByteArray& Index)
{
  Record.blockIndexUrl = blockIndexUrl(Record.packedHash);
  Record.blockIndexSize = std::uint64_t(Index.size());
  Record.blockIndexHash = shared::TSha256::hash(Index);
}

// The index an earlier publication left beside a chunk file, when it
// describes that file block by block.
std::optional<QByteArray> existingBlockIndex(const QDir& Output, const TChunkRecord& Record,
                                             const QByteArray& ChunkFile)
{
  const TFetchedFile File = readLocalFile(Output.filePath(blockIndexUrl(Record.packedHash)),
                                          qint64(shared::kMaxBlockIndexBytes));
  if (File.state != TFetchedFile::EState::Read)
    return std::nullopt;
  const auto Index = shared::parseBlockIndex(File.data, Record.packedSize, Record.unpackedSize);
  if (!Index || shared::firstUndecodableBlock(*Index, ChunkFile))
    return std::nullopt;
  return File.data;
}

// The chunk files an earlier publication left in the output folder
// ("chunks/ab/ab....zst"), listed once: a piece whose file is not among them
// is packed without looking for it under every name it could have.
QSet<QString> existingChunkFiles(const QString& Output)
{
  QSet<QString> Names;
  const QDir Chunks(QDir(Output).filePath("chunks"));
  for (const QString& Folder : Chunks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    for (const QString& Name : QDir(Chunks.filePath(Folder)).entryList(QDir::Files | QDir::Hidden))
      Names.insert(QString("chunks/%1/%2").arg(Folder, Name));
  }
  return Names;
}

struct TPieceResult
{
  TChunkRecord record;
  // A piece for a pack: its packed bytes, appended to the open pack in
  // piece order; or the place an earlier publication gave it in a pack.
  QByteArray packData;
  std::optional<TPackedPieceAt> packedAt;
  QString error;  // empty on success
};

// Writes the index file of a chunk's blocks (after the chunk file, which it
// describes) and names it in the record.
void writeBlockIndex(const QDir& Output, const shared::TBlockIndex& Index, TPieceResult& Result)
{
  const QByteArray Data = shared::serializeBlockIndex(Index);
  if (writeChunkFile(Output.filePath(blockIndexUrl(Result.record.packedHash)), Data, Result.error))
    describeBlockIndex(Result.record, Data);
}

// Reuses a chunk file that an earlier publication left, with the block
// index it offers: the one beside it when that describes it, else, for a
// stored piece, one written now. False for a Deflate or zstd chunk file
// that should offer blocks and has no index: the piece is packed again.
bool reuseChunkFile(const QDir& Output, const TExistingChunk& Existing, const QByteArray& Piece,
                    TPieceResult& Result)
{
  Result.record = Existing.record;
  const ECodec Codec = Existing.record.codec;
  if (!offersBlocks(Existing.record.unpackedSize) || !codecOffersBlocks(Codec))
    return true;
  if (const auto Index = existingBlockIndex(Output, Existing.record, Existing.content)) {
    describeBlockIndex(Result.record, *Index);
    return true;
  }
  if (Codec != ECodec::Stored)
    return false;
  writeBlockIndex(Output, shared::storedBlockIndex(Piece.constData(), std::size_t(Piece.size())), Result);
  return true;
}

// Whether a piece of Size bytes goes into a pack.
bool goesIntoPack(const TPublishOptions& Options, std::uint64_t Size)
{
  return Size > 0 && Size < Options.packBelow && Size <= Options.packSize;
}

// The record of a piece packed as Data, without a place yet.
TChunkRecord pieceRecord(const QByteArray& Hash, std::uint64_t Size, const QByteArray& Data, ECodec Codec)
{
  TChunkRecord Record;
  Record.unpackedSize = Size;
  Record.unpackedHash = Hash;
  Record.codec = Codec;
  Record.packedSize = std::uint64_t(Data.size());
  Record.packedHash = shared::TSha256::hash(Data);
  return Record;
}

// What the tasks that publish pieces read; never changed while they run.
struct TPieceContext
{
  const TPublishOptions& options;
  // How pieces in packs are packed: with the dictionary, where there is one.
  TPackingOptions packPacking;
  std::optional<TPublishedDictionary> dictionary;
  QSet<QString> existingFiles;  // the chunk files an earlier publication left
  QHash<QByteArray, TPackedPieceAt> packedPieces;  // its pieces in packs
};

// The dictionary a piece an earlier publication packed with the one of
// DictionaryHash (none: empty) decodes with here; false when this
// publication does not use that dictionary.
bool dictionaryOfPiece(const TPieceContext& Context, const QByteArray& DictionaryHash,
                       const shared::TZstdDictionary*& Dictionary)
{
  Dictionary = nullptr;
  if (DictionaryHash.isEmpty())
    return true;
  if (!Context.dictionary || Context.dictionary->hash != DictionaryHash)
    return false;
  Dictionary = Context.dictionary->dictionary.get();
  return true;
}

// Keeps the place an earlier publication gave the piece in a pack of the
// output folder, when the bytes there are the piece packed with a codec
// (and dictionary) this publication may use: nothing is written, and
// players who have it fetch nothing.
bool reusePackedPiece(const TPieceContext& Context, const QByteArray& Hash, std::uint64_t Size, TPieceResult& Result)
{
  const auto Found = Context.packedPieces.constFind(Hash);
  if (Found == Context.packedPieces.constEnd())
    return false;
  const TPackedPieceAt& At = Found.value();
  const shared::TZstdDictionary* Dictionary = nullptr;
  if (!dictionaryOfPiece(Context, At.dictionaryHash, Dictionary))
    return false;
  const QByteArray Data = readPackedPiece(Context.options.outputDirectory, At);
  if (Data.isEmpty() || shared::TSha256::hash(Data) != At.packedHash)
    return false;
  const std::optional<ECodec> Codec = At.unpack ? codecOfContainer(Data) : std::optional<ECodec>(ECodec::Stored);
  if (!Codec || !codecReusable(Context.options.packing, *Codec) ||
      chunkContentProblem(Data, At.unpack, Size, Hash, Dictionary))
    return false;
  Result.record = pieceRecord(Hash, Size, Data, *Codec);
  Result.record.dictionary = Dictionary != nullptr;
  Result.packedAt = At;
  return true;
}

// Packs a piece for a pack. The chunk file an earlier publication left for
// it is taken as it is (its packed hash stays); a piece in a pack offers no
// blocks. One that packs to more than a pack may hold is stored.
void packForPack(const TPieceContext& Context, const QByteArray& Piece, const QByteArray& Hash, TPieceResult& Result)
{
  const TPublishOptions& Options = Context.options;
  const std::uint64_t Size = std::uint64_t(Piece.size());
  const auto Existing =
      reusableChunkFile(QDir(Options.outputDirectory), Context.existingFiles, Options.packing, Hash, Size);
  TPackedPiece Packed = Existing ? TPackedPiece{Existing->record.codec, Existing->content, std::nullopt}
                                 : packPiece(Context.packPacking, Piece);
  if (std::uint64_t(Packed.data.size()) > Options.packSize)
    Packed = TPackedPiece{ECodec::Stored, Piece, std::nullopt};
  Result.record = pieceRecord(Hash, Size, Packed.data, Packed.codec);
  Result.record.dictionary = Packed.withDictionary;
  Result.packData = std::move(Packed.data);
}

// Packs one piece and writes its chunk file and block index. A chunk file
// that an earlier publication left in the output folder for the same
// content is checked and kept as it is, without packing again: updates
// publish fast, and unchanged pieces keep their URL and packed hash. Runs on
// the thread pool.
TPieceResult publishPiece(const TPieceContext& Context, const QByteArray& Piece, const QByteArray& Hash)
{
  const TPublishOptions& Options = Context.options;
  const QSet<QString>& ExistingFiles = Context.existingFiles;
  const QDir Output(Options.outputDirectory);
  TPieceResult Result;
  if (goesIntoPack(Options, std::uint64_t(Piece.size()))) {
    if (!reusePackedPiece(Context, Hash, std::uint64_t(Piece.size()), Result))
      packForPack(Context, Piece, Hash, Result);
    return Result;
  }
  const auto Existing = reusableChunkFile(Output, ExistingFiles, Options.packing, Hash, std::uint64_t(Piece.size()));
  if (Existing && reuseChunkFile(Output, *Existing, Piece, Result))
    return Result;
  const TPackedPiece Packed = packPiece(Options.packing, Piece);
  TChunkRecord& Record = Result.record;
  Record = TChunkRecord();
  Record.unpackedSize = std::uint64_t(Piece.size());
  Record.unpackedHash = Hash;
  Record.codec = Packed.codec;
  Record.packedSize = std::uint64_t(Packed.data.size());
  Record.packedHash = shared::TSha256::hash(Packed.data);
  Record.url = chunkUrl(Hash, codecExtension(Packed.codec));
  if (Existing && Existing->record.url == Record.url) {
    // A chunk file is never replaced: older descriptions name it by its
    // packed hash. One written without blocks stays without them.
    Record = Existing->record;
    if (Packed.blocks && Packed.data == Existing->content)
      writeBlockIndex(Output, *Packed.blocks, Result);
    return Result;
  }
  Record.written = writeChunkFile(Output.filePath(Record.url), Packed.data, Result.error);
  if (Record.written && Packed.blocks)
    writeBlockIndex(Output, *Packed.blocks, Result);
  return Result;
}

// Pieces held at once, each with its packed copy: at most 2 x 16 MiB each.
constexpr int kMaxPiecesInFlight = 32;

// Collects the pieces of the build in order and publishes each distinct
// content once. Pieces are packed on the thread pool, a bounded number at
// once; a slot is free again as soon as any piece is done, so a slow piece
// does not hold up the others. Results are taken in piece order (a result
// waits for those of the pieces before it), so the outcome, the content of
// the packs included, does not depend on which piece finishes first. The
// packed bytes of the pieces waiting for a pack stay within about one pack.
class TChunkStore
{
public:
  // Earlier: the pieces in packs that the folder's earlier publication
  // left; Dictionary: the one pieces in packs are packed with (if any).
  TChunkStore(const TPublishOptions& Options, QHash<QByteArray, TPackedPieceAt> Earlier,
              std::optional<TPublishedDictionary> Dictionary, TPublishReport& Report,
              std::function<void(std::uint64_t)> BytesDone)
    : m_Options(Options)
    , m_Report(Report)
    , m_BytesDone(std::move(BytesDone))
    , m_Slots(std::min(kMaxPiecesInFlight, 2 * std::max(1, QThreadPool::globalInstance()->maxThreadCount())))
    , m_OutputFileSystem(Options.outputDirectory)
    , m_Context{Options, Options.packing, std::move(Dictionary), existingChunkFiles(Options.outputDirectory),
                std::move(Earlier)}
    , m_Packs(Options.outputDirectory, Options.packSize)
  {
    if (m_Context.dictionary)
      m_Context.packPacking.zstdDictionary = m_Context.dictionary->dictionary;
  }
  ~TChunkStore() { waitForAll(); }

  // Index of the piece's content in the chunk list.
  int add(const char* Data, std::size_t Size, const QByteArray& Hash)
  {
    if (const auto Known = knownIndex(Hash, Size))
      return *Known;
    QByteArray Piece(int(Size), Qt::Uninitialized);
    shared::adviseHugePages(Piece.data(), Size);
    std::memcpy(Piece.data(), Data, Size);
    return start(std::move(Piece), Hash);
  }

  // The same for a piece read on its own (a whole file): it is not copied.
  int add(const QByteArray& Piece, const QByteArray& Hash)
  {
    if (const auto Known = knownIndex(Hash, std::size_t(Piece.size())))
      return *Known;
    return start(Piece, Hash);
  }

  // Waits for every piece, writes the last pack and makes the files
  // durable; false with the first failure in Error.
  bool finish(QString& Error)
  {
    waitForAll();
    if (m_Error.isEmpty())
      m_Packs.close(m_Error);
    if (m_Error.isEmpty())
      writeDictionary();
    for (const TPackFile& Pack : m_Packs.packs())
      ++(Pack.written ? m_Report.packsWritten : m_Report.packsReused);
    const bool Wrote = m_Report.chunkFilesWritten > 0 || m_Report.blockIndexFiles > 0 || m_Report.packsWritten > 0 ||
                       m_Report.dictionaryWritten;
    if (m_Error.isEmpty() && Wrote)
      flushOutput();
    Error = m_Error;
    return m_Error.isEmpty();
  }

  bool failed() const { return !m_Error.isEmpty(); }
  const std::vector<TChunkRecord>& chunks() const { return m_Chunks; }
  const std::vector<TPackFile>& packs() const { return m_Packs.packs(); }
  // The dictionary the pieces name, when any does.
  const TPublishedDictionary* dictionary() const
  {
    return m_Report.piecesWithDictionary > 0 ? &*m_Context.dictionary : nullptr;
  }

private:
  // The dictionary's file, when pieces use it (with the chunk files, before
  // they are flushed).
  void writeDictionary()
  {
    if (m_Report.piecesWithDictionary == 0)
      return;
    m_Report.dictionaryBytes = m_Context.dictionary->size();
    writeDictionaryFile(m_Options.outputDirectory, *m_Context.dictionary, m_Report.dictionaryWritten, m_Error);
  }

  void flushOutput()
  {
    try {
      m_OutputFileSystem.flush();
    } catch (const std::exception& Failure) {
      m_Error = QString("cannot flush the chunk files: %1").arg(QString::fromUtf8(Failure.what()));
    }
  }

  struct TInFlight
  {
    int index = 0;
    QFuture<TPieceResult> future;
  };

  std::optional<int> knownIndex(const QByteArray& Hash, std::size_t Size)
  {
    const auto Known = m_IndexByHash.constFind(Hash);
    if (Known == m_IndexByHash.constEnd())
      return std::nullopt;
    ++m_Report.duplicatePieces;
    m_BytesDone(Size);
    return Known.value();
  }

  int start(QByteArray Piece, const QByteArray& Hash)
  {
    const int Index = int(m_Chunks.size());
    m_IndexByHash.insert(Hash, Index);
    m_Chunks.emplace_back();
    m_Slots.acquire();
    collectFinished();
    while (m_WaitingPackBytes > m_Options.packSize && !m_InFlight.empty())
      waitForOldest();
    const TPieceContext& Context = m_Context;
    QSemaphore& Slots = m_Slots;
    m_InFlight.push_back({Index, QtConcurrent::run([&Context, &Slots, Piece, Hash] {
                            TPieceResult Result = publishPiece(Context, Piece, Hash);
                            Slots.release();
                            return Result;
                          })});
    return Index;
  }

  void collectFinished()
  {
    for (auto Item = m_InFlight.begin(); Item != m_InFlight.end();) {
      if (!Item->future.isFinished()) {
        ++Item;
        continue;
      }
      take(Item->index, Item->future.result());
      Item = m_InFlight.erase(Item);
    }
  }

  // Waits for the earliest piece in flight: the one the waiting results
  // wait for.
  void waitForOldest()
  {
    take(m_InFlight.front().index, m_InFlight.front().future.result());
    m_InFlight.erase(m_InFlight.begin());
  }

  void waitForAll()
  {
    for (TInFlight& Item : m_InFlight)
      take(Item.index, Item.future.result());
    m_InFlight.clear();
  }

  void take(int Index, TPieceResult Result)
  {
    m_WaitingPackBytes += std::uint64_t(Result.packData.size());
    m_Waiting.emplace(Index, std::move(Result));
    while (!m_Waiting.empty() && m_Waiting.begin()->first == m_NextInOrder) {
      TPieceResult Next = std::move(m_Waiting.begin()->second);
      m_Waiting.erase(m_Waiting.begin());
      m_WaitingPackBytes -= std::uint64_t(Next.packData.size());
      place(m_NextInOrder++, std::move(Next));
    }
  }

  // Places a piece's result, in piece order: into the open pack when it
  // goes into one.
  void place(int Index, TPieceResult Result)
  {
    if (Result.error.isEmpty() && !Result.packData.isEmpty()) {
      const TPackWriter::TPlace Place = m_Packs.append(Result.packData, Result.error);
      Result.record.pack = Place.pack;
      Result.record.packOffset = Place.offset;
    } else if (Result.packedAt) {
      Result.record.pack = m_Packs.existing(Result.packedAt->pack);
      Result.record.packOffset = Result.packedAt->offset;
    }
    if (!Result.error.isEmpty()) {
      if (m_Error.isEmpty())
        m_Error = Result.error;
      return;
    }
    TChunkRecord& Record = m_Chunks[std::size_t(Index)];
    Record = std::move(Result.record);
    m_Report.piecesWithDictionary += Record.dictionary ? 1 : 0;
    if (Record.pack >= 0)
      ++m_Report.piecesInPacks;
    else
      ++(Record.written ? m_Report.chunkFilesWritten : m_Report.chunkFilesReused);
    ++codecCount(Record.codec);
    m_Report.packedBytes += Record.packedSize;
    if (!Record.blockIndexUrl.isEmpty()) {
      ++m_Report.blockIndexFiles;
      m_Report.blockIndexBytes += Record.blockIndexSize;
    }
    m_BytesDone(Record.unpackedSize);
  }

  int& codecCount(ECodec Codec)
  {
    switch (Codec) {
    case ECodec::Lzma:
      return m_Report.lzmaChunks;
    case ECodec::Deflate:
      return m_Report.deflateChunks;
    case ECodec::Lzip:
      return m_Report.lzipChunks;
    case ECodec::Zstd:
      return m_Report.zstdChunks;
    default:
      return m_Report.storedChunks;
    }
  }

  const TPublishOptions& m_Options;
  TPublishReport& m_Report;
  std::function<void(std::uint64_t)> m_BytesDone;
  QSemaphore m_Slots;
  // Opened before the chunk files are written: its one flush makes them
  // durable and reports a failed writeback of any of them.
  shared::TFileSystemFlush m_OutputFileSystem;
  TPieceContext m_Context;  // read by the tasks, never changed while they run
  TPackWriter m_Packs;
  QHash<QByteArray, int> m_IndexByHash;
  std::vector<TChunkRecord> m_Chunks;
  std::vector<TInFlight> m_InFlight;
  // Results of pieces done before an earlier one, by index.
  std::map<int, TPieceResult> m_Waiting;
  std::uint64_t m_WaitingPackBytes = 0;
  int m_NextInOrder = 0;
  QString m_Error;
};

// A publication's description lists at most one dictionary.
constexpr int kDictionaryIndex = 0;

// A piece's download record; one in a pack names it by its index in the
// description's pack list (PackIndex) and has no URL.
QJsonObject downloadRecord(const TChunkRecord& Record, int PackIndex)
{
  QJsonObject Object;
  if (PackIndex >= 0) {
    Object.insert("pack", PackIndex);
    Object.insert("packoffset", double(Record.packOffset));
  } else {
    Object.insert("url", Record.url);
  }
  Object.insert("packedsize", double(Record.packedSize));
  Object.insert("packedhash", QString::fromLatin1(Record.packedHash.toHex()));
  Object.insert("unpackedsize", double(Record.unpackedSize));
  Object.insert("unpackedhash", QString::fromLatin1(Record.unpackedHash.toHex()));
  Object.insert("unpack", Record.codec != ECodec::Stored);
  if (Record.dictionary)
    Object.insert("dictionary", kDictionaryIndex);
  if (!Record.blockIndexUrl.isEmpty()) {
    Object.insert("blockindex", Record.blockIndexUrl);
    Object.insert("blockindexsize", double(Record.blockIndexSize));
    Object.insert("blockindexhash", QString::fromLatin1(Record.blockIndexHash.toHex()));
  }
  return Object;
}

// The first name in Folder that is not valid UTF-8, with its other bytes
// shown as \xNN; empty when there is none. The description names files in
// UTF-8: such a name cannot be published, and decoded by the locale it
// would name another file (or none, and the file would be left out).
QString firstNonUtf8Name(const QString& Folder)
{
  DIR* Directory = ::opendir(QFile::encodeName(Folder).constData());
  if (!Directory)
    return QString();
  QString Found;
  while (const dirent* Entry = ::readdir(Directory)) {
    const QByteArray Name(Entry->d_name);
    if (QString::fromUtf8(Name).toUtf8() == Name)
      continue;
    for (const char Byte : Name)
      Found += (Byte >= 0x20 && Byte < 0x7f) ? QString(QLatin1Char(Byte)) : QString("\\x%1").arg(quint8(Byte), 2, 16, QChar('0'));
    break;
  }
  ::closedir(Directory);
  return Found;
}

std::vector<TSourceFile> collectFiles(const QString& Input, QString& Error)
{
  std::vector<TSourceFile> Files;
  const QDir Root(Input);
  const auto CheckNames = [&](const QString& Folder) {
    const QString Name = firstNonUtf8Name(Folder);
    if (!Name.isEmpty())
      Error = QString("%1/%2: the name is not valid UTF-8; rename it to publish the build").arg(Folder, Name);
    return Name.isEmpty();
  };
  if (!CheckNames(Input))
    return {};
  QDirIterator Iterator(Input, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
  while (Iterator.hasNext()) {
    Iterator.next();
    const QFileInfo Info = Iterator.fileInfo();
    if (Info.isSymLink()) {
      Error = QString("%1: symbolic links cannot be published").arg(Info.filePath());
      return {};
    }
    if (Info.isDir() && !CheckNames(Info.filePath()))
      return {};
    if (!Info.isFile())
      continue;
    TSourceFile File;
    File.absolutePath = Info.absoluteFilePath();
    File.relativePath = Root.relativeFilePath(Info.absoluteFilePath());
    File.size = std::uint64_t(Info.size());
    File.executable = Info.permissions() & QFileDevice::ExeOwner;
    Files.push_back(File);
  }
  std::sort(Files.begin(), Files.end(),
            [](const TSourceFile& Left, const TSourceFile& Right) { return Left.relativePath < Right.relativePath; });
  return Files;
}

// A file of the build as the description lists it: its pieces' indices in
// the chunk store, or the one index of a file published whole.
struct TPublishedFile
{
  QJsonObject entry;
  std::vector<int> pieces;
  bool whole = false;
};

// Reads one file, hands its pieces to the store and returns its entry.
std::optional<TPublishedFile> publishFile(const TPublishOptions& Options, const TSourceFile& Source,
                                          TChunkStore& Store, shared::TContentDefinedChunker& Chunker, QString& Error)
{
  QFile File(Source.absolutePath);
  if (!File.open(QIODevice::ReadOnly)) {
    Error = QString("cannot read %1: %2").arg(Source.absolutePath, File.errorString());
    return std::nullopt;
  }
  TPublishedFile Published;
  shared::TSha256 FileHash;
  QByteArray WholeFileHash;
  std::uint64_t Size = 0;
  if (Source.size == 0) {
    // An empty file needs no download: the launcher creates it.
  } else if (Source.size <= Options.wholeFileLimit) {
    const QByteArray Data = File.read(qint64(Source.size) + 1);
    if (File.error() != QFileDevice::NoError || std::uint64_t(Data.size()) != Source.size) {
      Error = QString("cannot read %1: %2").arg(Source.absolutePath,
                                                 File.error() != QFileDevice::NoError ? File.errorString()
                                                                                      : "it changed while it was read");
      return std::nullopt;
    }
    // The piece is the file: its hash is the file's.
    WholeFileHash = shared::TSha256::hash(Data);
    Size = std::uint64_t(Data.size());
    Published.pieces.push_back(Store.add(Data, WholeFileHash));
    Published.whole = true;
  } else {
    const bool Ok = Chunker.forEachPiece(File, [&](const std::uint8_t* Data, std::size_t Length) {
      FileHash.addData(Data, Length);
      Size += Length;
      const QByteArray Hash = shared::TSha256::hash(Data, Length);
      Published.pieces.push_back(Store.add(reinterpret_cast<const char*>(Data), Length, Hash));
    });
    if (!Ok || Size != Source.size) {
      Error = QString("cannot read %1: %2").arg(Source.absolutePath,
                                                 !Ok ? File.errorString() : "it changed while it was read");
      return std::nullopt;
    }
  }
  Published.entry.insert("localfile", Source.relativePath);
  Published.entry.insert("executable", Source.executable);
  Published.entry.insert("unpackedsize", double(Size));
  const QByteArray Hash = WholeFileHash.isEmpty() ? FileHash.result() : WholeFileHash;
  Published.entry.insert("unpackedhash", QString::fromLatin1(Hash.toHex()));
  return Published;
}

// The packs a description lists, in order of first use; each pack file
// once.
class TPackList
{
public:
  explicit TPackList(const std::vector<TPackFile>& Packs) : m_Packs(Packs) {}

  // The index in the list of the pack a record lies in; -1 for none.
  int indexOf(const TChunkRecord& Record)
  {
    if (Record.pack < 0)
      return -1;
    const TPackFile& Pack = m_Packs[std::size_t(Record.pack)];
    auto Known = m_IndexByUrl.constFind(Pack.url);
    if (Known == m_IndexByUrl.constEnd()) {
      Known = m_IndexByUrl.insert(Pack.url, m_Entries.size());
      m_Entries.append(QJsonObject{{"url", Pack.url}, {"size", double(Pack.size)}});
    }
    return Known.value();
  }

  const QJsonArray& entries() const { return m_Entries; }

private:
  const std::vector<TPackFile>& m_Packs;
  QHash<QString, int> m_IndexByUrl;
  QJsonArray m_Entries;
};

// The dictionary table of a description: the one dictionary its pieces
// name.
QJsonArray dictionaryTable(const TPublishedDictionary& Dictionary)
{
  return QJsonArray{QJsonObject{{"url", Dictionary.url()},
                                {"size", double(Dictionary.size())},
                                {"hash", QString::fromLatin1(Dictionary.hash.toHex())}}};
}

// The description: whole files carry their download record in their own
// entry; the chunk list holds the pieces of chunked files, in order of first
// use; the pack list the packs they lie in, likewise; the dictionary table
// the dictionary pieces are packed with (Dictionary, when any is).
QJsonObject describe(const TPublishOptions& Options, std::vector<TPublishedFile> Files,
                     const std::vector<TChunkRecord>& Chunks, const std::vector<TPackFile>& PackFiles,
                     const TPublishedDictionary* Dictionary)
{
  QJsonArray FileEntries;
  QJsonArray ChunkEntries;
  QHash<int, int> ListIndexByStoreIndex;
  TPackList Packs(PackFiles);
  const auto RecordOf = [&](int StoreIndex) {
    const TChunkRecord& Record = Chunks[std::size_t(StoreIndex)];
    return downloadRecord(Record, Packs.indexOf(Record));
  };
  for (TPublishedFile& File : Files) {
    if (File.whole) {
      const QJsonObject Record = RecordOf(File.pieces.front());
      for (auto Key = Record.begin(); Key != Record.end(); ++Key)
        File.entry.insert(Key.key(), Key.value());
    } else if (!File.pieces.empty()) {
      QJsonArray Indices;
      for (int StoreIndex : File.pieces) {
        auto Known = ListIndexByStoreIndex.constFind(StoreIndex);
        if (Known == ListIndexByStoreIndex.constEnd()) {
          Known = ListIndexByStoreIndex.insert(StoreIndex, ChunkEntries.size());
          ChunkEntries.append(RecordOf(StoreIndex));
        }
        Indices.append(Known.value());
      }
      File.entry.insert("chunks", Indices);
    }
    FileEntries.append(File.entry);
  }

  QJsonObject Description;
  Description.insert("version", Options.version);
  if (!Options.executable.isEmpty())
    Description.insert("executable", Options.executable);
  if (!Options.parameters.isEmpty())
    Description.insert("parameters", QJsonArray::fromStringList(Options.parameters));
  if (!Options.generation.isEmpty())
    Description.insert("generation", Options.generation);
  if (!Options.variant.isEmpty())
    Description.insert("variant", Options.variant);
  if (!Packs.entries().isEmpty())
    Description.insert("packs", Packs.entries());
  if (Dictionary)
    Description.insert("dictionaries", dictionaryTable(*Dictionary));
  Description.insert("chunks", ChunkEntries);
  Description.insert("files", FileEntries);
  return Description;
}

// Path with its symbolic links resolved, also when its last parts do not
// exist yet: the deepest part that exists is resolved, the rest appended.
QString resolvedPath(const QString& Path)
{
  QString Existing = QDir::cleanPath(QFileInfo(Path).absoluteFilePath());
  QStringList Rest;
  while (!QFileInfo::exists(Existing) && Existing != "/") {
    Rest.prepend(QFileInfo(Existing).fileName());
    Existing = QFileInfo(Existing).absolutePath();
  }
  const QString Resolved = QFileInfo(Existing).canonicalFilePath();
  return QDir::cleanPath((Resolved.isEmpty() ? Existing : Resolved) + (Rest.isEmpty() ? QString() : "/" + Rest.join('/')));
}

// The build's files, checked against the options; empty with Error set when
// the build cannot be published. Output is set to the output folder, made.
std::optional<std::vector<TSourceFile>> buildFiles(const TPublishOptions& Options, QString& Output, QString& Error)
{
  const QFileInfo InputInfo(Options.inputDirectory);
  if (!InputInfo.isDir()) {
    Error = QString("%1: the build folder does not exist").arg(Options.inputDirectory);
    return std::nullopt;
  }
  const QString Input = InputInfo.canonicalFilePath();
  Output = resolvedPath(Options.outputDirectory);
  if (Output == Input || Output.startsWith(Input + "/") || Input == "/") {
    Error = QString("%1: the output folder must not lie inside the build folder %2").arg(Options.outputDirectory, Input);
    return std::nullopt;
  }
  std::vector<TSourceFile> Sources = collectFiles(Input, Error);
  if (!Error.isEmpty())
    return std::nullopt;
  if (Sources.empty() && !Options.allowEmpty) {
    Error = QString("%1: the build folder holds no files; publishing it would empty every player's installation "
                    "(--allow-empty publishes it all the same)")
                .arg(Options.inputDirectory);
    return std::nullopt;
  }
  for (const TSourceFile& Source : Sources) {
    if (shared::isReservedInstallationPath(Source.relativePath, shared::TLauncherOwnFileNames())) {
      Error = QString("%1: the build holds '%2' at its root, a name the launcher keeps for its own files in an "
                      "installation; rename or move it")
                  .arg(Input, Source.relativePath.section('/', 0, 0));
      return std::nullopt;
    }
  }
  if (!Options.executable.isEmpty()) {
    const bool Found = std::any_of(Sources.begin(), Sources.end(),
                                   [&](const TSourceFile& File) { return File.relativePath == Options.executable; });
    if (!Found) {
      Error = QString("%1: the executable is not a file of the build %2").arg(Options.executable, Input);
      return std::nullopt;
    }
  }
  if (!QDir().mkpath(Output)) {
    Error = QString("%1: cannot create the output folder").arg(Output);
    return std::nullopt;
  }
  return Sources;
}

// Writes Data to Path atomically.
bool writeFileAtomically(const QString& Path, const QByteArray& Data, QString& Error)
{
  QSaveFile File(Path);
  if (!File.open(QIODevice::WriteOnly) || File.write(Data) != Data.size() || !File.commit()) {
    Error = QString("cannot write %1: %2").arg(Path, File.errorString());
    return false;
  }
  return true;
}

// What keeps launchers from taking the description; empty when they take it.
QString descriptionSizeProblem(const QJsonObject& Description, const QByteArray& Json)
{
  const qint64 Entries = qint64(Description.value("files").toArray().size()) + Description.value("chunks").toArray().size();
  if (Entries > shared::MaxDescriptionEntries)
    return QString("the description lists %1 files and chunks, more than the %2 launchers accept")
        .arg(Entries)
        .arg(shared::MaxDescriptionEntries);
  if (Json.size() > shared::MaxDescriptionBytes)
    return QString("the description has %1 bytes, more than the %2 launchers accept")
        .arg(Json.size())
        .arg(shared::MaxDescriptionBytes);
  return QString();
}

// Replaces the delta copies of the description at Path: the ones an earlier
// publication left decode to an earlier description and go; with a
// compressed copy, new ones are written against the description there now
// (an installation of it updates with a few KiB) and against Json itself (an
// installation already up to date checks with a few hundred bytes).
bool writeDescriptionDeltas(const TPublishOptions& Options, const QString& Path, const QByteArray& Json,
                            QString& Error)
{
  const QFileInfo Description(Path);
  const QByteArray Earlier = readLocalFile(Path, shared::MaxDescriptionBytes).data;
  QDir Folder = Description.absoluteDir();
  const QStringList Stale =
      Folder.entryList({Description.fileName() + ".from-*" + shared::CompressedDescriptionSuffix}, QDir::Files);
  for (const QString& Name : Stale) {
    if (!Folder.remove(Name)) {
      Error = QString("cannot remove %1, a delta copy of an earlier description").arg(Folder.filePath(Name));
      return false;
    }
  }
  if (Options.descriptionZstdLevel <= 0)
    return true;
  std::vector<QByteArray> Bases{Json};
  if (!Earlier.isEmpty() && Earlier != Json)
    Bases.push_back(Earlier);
  for (const QByteArray& Base : Bases) {
    const QByteArray Delta = shared::packDescriptionDelta(Json, Base, Options.descriptionZstdLevel);
    if (!Delta.isEmpty() &&
        !writeFileAtomically(Folder.filePath(shared::deltaDescriptionName(Description.fileName(), Base)), Delta, Error))
      return false;
  }
  return true;
}

// The signature file first, then the compressed copy, then the description:
// a publication cut short never serves a new description beside an old
// signature that vouches for it, and a compressed copy that does not decode
// to what the signature beside it vouches for is refused by launchers, which
// then fetch the description itself.
bool writeDescription(const TPublishOptions& Options, const QString& Path, const QJsonObject& Description,
                      TPublishReport& Report, QString& Error)
{
  const QByteArray Json = QJsonDocument(Description).toJson(QJsonDocument::Indented);
  Error = descriptionSizeProblem(Description, Json);
  if (!Error.isEmpty())
    return false;
  if (Options.signingKey &&
      !shared::writeSignatureFile(Path, Json, *Options.signingKey, Options.signatureTerms, Error))
    return false;
  // The compressed copy is made on another core while the deltas are.
  QFuture<QByteArray> Compressing;
  if (Options.descriptionZstdLevel > 0)
    Compressing = QtConcurrent::run([&Json, Level = Options.descriptionZstdLevel] {
      return shared::packDescription(Json, Level);
    });
  if (!writeDescriptionDeltas(Options, Path, Json, Error)) {
    Compressing.waitForFinished();
    return false;
  }
  const QString CompressedPath = Path + shared::CompressedDescriptionSuffix;
  if (Options.descriptionZstdLevel > 0) {
    const QByteArray Compressed = Compressing.result();
    if (Compressed.isEmpty()) {
      Error = QString("cannot compress %1").arg(Path);
      return false;
    }
    if (!writeFileAtomically(CompressedPath, Compressed, Error))
      return false;
    Report.compressedDescriptionBytes = std::uint64_t(Compressed.size());
  } else if (QFileInfo::exists(CompressedPath) && !QFile::remove(CompressedPath)) {
    Error = QString("cannot remove %1, the compressed copy of an earlier description").arg(CompressedPath);
    return false;
  }
  Report.descriptionBytes = std::uint64_t(Json.size());
  return writeFileAtomically(Path, Json, Error);
}

// Whether pieces in packs are packed with a dictionary: where packs are
// written and zstd may be.
bool usesDictionary(const TPublishOptions& Options)
{
  const ECodec Codec = Options.packing.codec;
  return Options.dictionarySize > 0 && Options.packBelow > 0 && Options.packing.codecs.contains(ECodec::Zstd) &&
         (Codec == ECodec::Auto || Codec == ECodec::Zstd);
}

// The dictionary pieces in packs are packed with: the one the folder's
// earlier publication lists (Listed), when its file is there intact, so
// that the pieces packed with it keep their places; else one trained on
// the build's files that go into packs.
std::optional<TPublishedDictionary> publicationDictionary(
    const TPublishOptions& Options, const std::vector<TSourceFile>& Sources,
    const std::vector<std::shared_ptr<const shared::TDictionaryInDescription>>& Listed)
{
  if (!usesDictionary(Options))
    return std::nullopt;
  if (auto Existing = existingDictionary(Options.outputDirectory, Listed))
    return Existing;
  std::vector<TSampleFile> Candidates;
  for (const TSourceFile& Source : Sources) {
    if (Source.size <= Options.wholeFileLimit && goesIntoPack(Options, Source.size))
      Candidates.push_back({Source.absolutePath, Source.size});
  }
  const std::size_t Size = std::size_t(Options.dictionarySize);
  return trainDictionary(dictionarySamples(Candidates, Size), Size);
}

} // namespace

bool publishBuild(const TPublishOptions& Options, TPublishReport& Report, QString& Error,
                  const std::function<void(const TPublishProgress&)>& Progress)
{
  Report = TPublishReport();
  if (!Options.packing.codecs.contains(Options.packing.codec)) {
    Error = QString("the codec %1 is not among the codecs the publication may use").arg(codecName(Options.packing.codec));
    return false;
  }
  if (Options.packBelow > 0 && (Options.packSize == 0 || Options.packSize > shared::kMaxPackBytes)) {
    Error = QString("the pack size must be from 1 to %1 bytes").arg(shared::kMaxPackBytes);
    return false;
  }
  if (Options.dictionarySize > shared::TZstdDictionary::kMaxBytes) {
    Error = QString("the dictionary size must be from 0 to %1 bytes").arg(shared::TZstdDictionary::kMaxBytes);
    return false;
  }
  TPublishOptions Effective = Options;
  const auto Sources = buildFiles(Options, Effective.outputDirectory, Error);
  if (!Sources)
    return false;

  TPublishProgress State;
  State.files = int(Sources->size());
  for (const TSourceFile& Source : *Sources)
    State.bytes += Source.size;
  const auto Notify = [&] {
    if (Progress)
      Progress(State);
  };

  TEarlierPackedPieces Earlier =
      Effective.packBelow > 0 ? existingPackedPieces(Effective.outputDirectory) : TEarlierPackedPieces();
  auto Dictionary = publicationDictionary(Effective, *Sources, Earlier.dictionaries);
  TChunkStore Store(Effective, std::move(Earlier.pieces), std::move(Dictionary), Report, [&](std::uint64_t Bytes) {
    State.bytesDone += Bytes;
    Notify();
  });
  std::vector<TPublishedFile> Files;
  shared::TContentDefinedChunker Chunker;  // its ring serves every file
  for (const TSourceFile& Source : *Sources) {
    auto Published = publishFile(Effective, Source, Store, Chunker, Error);
    if (!Published || Store.failed())
      break;
    Files.push_back(std::move(*Published));
    ++Report.files;
    Report.inputBytes += Source.size;
    ++State.filesRead;
    Notify();
  }
  QString StoreError;
  if (!Store.finish(StoreError) && Error.isEmpty())
    Error = StoreError;
  if (!Error.isEmpty())
    return false;
  // The description is written last: it vouches for the chunk files.
  return writeDescription(Options, QDir(Effective.outputDirectory).filePath("package.json"),
                          describe(Options, std::move(Files), Store.chunks(), Store.packs(), Store.dictionary()),
                          Report, Error);
}

QString publishText(const TPublishReport& Report, double Seconds, const QString& Rate)
{
  QString Text = QString("published %1, %2 bytes in %3 s (%4): %5 packed bytes (%6 stored, %7 zstd, %8 Deflate, "
                 "%9 LZMA, %10 lzip; chunk files: %11 new, %12 already there; %13); %14 (%15 bytes of block indexes); ")
      .arg(counted(std::uint64_t(Report.files), "file", "files"))
      .arg(Report.inputBytes)
      .arg(Seconds, 0, 'f', 1)
      .arg(Rate)
      .arg(Report.packedBytes)
      .arg(Report.storedChunks)
      .arg(Report.zstdChunks)
      .arg(Report.deflateChunks)
      .arg(Report.lzmaChunks)
      .arg(Report.lzipChunks)
      .arg(Report.chunkFilesWritten)
      .arg(Report.chunkFilesReused)
      .arg(counted(std::uint64_t(Report.duplicatePieces), "repeated piece", "repeated pieces"))
      .arg(Report.blockIndexFiles == 1 ? QString("1 chunk offers blocks")
                                       : QString("%1 chunks offer blocks").arg(Report.blockIndexFiles))
      .arg(Report.blockIndexBytes);
  if (Report.piecesInPacks > 0)
    Text += QString("%1 in packs (%2 new, %3 already there); ")
                .arg(counted(std::uint64_t(Report.piecesInPacks), "piece", "pieces"))
                .arg(counted(std::uint64_t(Report.packsWritten), "pack", "packs"))
                .arg(Report.packsReused);
  if (Report.piecesWithDictionary > 0)
    Text += QString("%1 with a dictionary of %2 bytes (%3); ")
                .arg(Report.piecesWithDictionary)
                .arg(Report.dictionaryBytes)
                .arg(Report.dictionaryWritten ? "new" : "already there");
  Text += QString("a description of %1 bytes").arg(Report.descriptionBytes);
  if (Report.compressedDescriptionBytes > 0)
    Text += QString(", %1 compressed").arg(Report.compressedDescriptionBytes);
  Text += "\n";
  if (Report.zstdChunks > 0)
    Text += "note: launchers from before zstd cannot install this package; publish a launcher's own package with "
            "--codecs compatible\n";
  return Text;
}

QJsonObject publishJson(const TPublishReport& Report, double Seconds)
{
  return QJsonObject{{"files", Report.files},
                     {"input_bytes", double(Report.inputBytes)},
                     {"seconds", Seconds},
                     {"packed_bytes", double(Report.packedBytes)},
                     {"chunk_files_written", Report.chunkFilesWritten},
                     {"chunk_files_reused", Report.chunkFilesReused},
                     {"repeated_pieces", Report.duplicatePieces},
                     {"stored_chunks", Report.storedChunks},
                     {"zstd_chunks", Report.zstdChunks},
                     {"deflate_chunks", Report.deflateChunks},
                     {"lzma_chunks", Report.lzmaChunks},
                     {"lzip_chunks", Report.lzipChunks},
                     {"block_index_files", Report.blockIndexFiles},
                     {"block_index_bytes", double(Report.blockIndexBytes)},
                     {"packs_written", Report.packsWritten},
                     {"packs_reused", Report.packsReused},
                     {"pieces_in_packs", Report.piecesInPacks},
                     {"pieces_with_dictionary", Report.piecesWithDictionary},
                     {"dictionary_bytes", double(Report.dictionaryBytes)},
                     {"description_bytes", double(Report.descriptionBytes)},
                     {"compressed_description_bytes", double(Report.compressedDescriptionBytes)}};
}

} // namespace orvale::publisher
