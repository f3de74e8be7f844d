// The difference computation: compares an installation directory with a
// published description, reuses what is on disk and lists what to download.

#include "shared/contentdefinedchunker.h"
#include "engine/logging.h"
#include "engine/oldblocks.h"
#include "engine/packageinstallation.h"
#include "engine/piecemoves.h"
#include "engine/sharedwork.h"
#include "shared/filesystemhelper.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QTemporaryFile>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

#include <sys/stat.h>

namespace orvale::launcher {

namespace {

constexpr int kScanTasks = 6;
constexpr qint64 kCopyBlock = 4 * 1024 * 1024;
constexpr qint64 kHashBlock = 8 * 1024 * 1024;

// Shared by the scan tasks of one computation.
struct TScanContext
{
  TPackageInstallation* installation = nullptr;
  std::uint64_t scannedBytes = 0;
  std::uint64_t totalBytes = 0;
  int filesTaken = 0;
  QMutex mutex;
  std::deque<const TFileInPackage*> filesToScan;
  const TFileInPackageVector* installedFiles = nullptr;   // fast scan only
  const TChunkInPackageVector* installedChunks = nullptr; // fast scan only
  std::optional<qint64> markerTime;  // fast scan only: the full marker's, in ms since the epoch
  std::shared_ptr<TEngineFilesystemHelper> helper;
  QDir directory;
  const TChunkInPackageVector* publishedChunks = nullptr;
  QString failure;  // first error found; no file is taken after it
  EDifferenceFailure failureKind = EDifferenceFailure::None;
  bool moveAside = false;  // self-update: replaced files are kept as ".old"
  // The blocks of the discarded old data, kept when missing chunks may offer
  // blocks; null otherwise.
  std::shared_ptr<TOldBlocks> oldBlocks;

  void addScanned(std::uint64_t Bytes)
  {
    QMutexLocker Lock(&mutex);
    scannedBytes += Bytes;
    emit installation->scanProgress(scannedBytes, totalBytes);
  }
  void fail(const QString& Text, EDifferenceFailure Kind)
  {
    QMutexLocker Lock(&mutex);
    if (failure.isEmpty()) {
      failure = Text;
      failureKind = Kind;
    }
  }
};

TFileToDownload makeResult(const TFileInPackage& File, std::vector<TChunkInPackage> Chunks)
{
  TFileToDownload Result;
  Result.localFile = File.localFile;
  Result.unpackedSize = File.unpackedSize;
  Result.unpackedHash = File.unpackedHash;
  Result.executable = File.executable;
  Result.patches = File.patches;
  Result.chunks = std::move(Chunks);
  return Result;
}

void downloadEverything(TFileToDownload& Result)
{
  Result.chunksToDownload.clear();
  for (std::size_t Position = 0; Position < Result.chunks.size(); ++Position)
    Result.chunksToDownload.push_back(std::int32_t(Position));
}

// Frees the space of a file that is downloaded anew, as far as it can: the
// downloader removes or moves aside whatever is left before it writes, and
// fails the update when it cannot.
void discardReplacedFile(TScanContext& Context, const QString& Path)
{
  const auto Attempt = [](const std::function<void()>& Action) {
    try {
      Action();
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  };
  TEngineFilesystemHelper& Helper = *Context.helper;
  if (Context.moveAside) {
    if (QFileInfo(Path).isFile()) {
      // The running launcher's files are kept until the update succeeded.
      Attempt([&] { Helper.removePath(Path + ".old"); });
      if (!Attempt([&] { Helper.movePath(Path, Path + ".old"); }))
        Attempt([&] { Helper.removePath(Path); });
    }
    return;
  }
  // A file or a link goes; mostly nothing is there (a fresh install): one
  // lstat each.
  struct stat Status;
  if (::lstat(QFile::encodeName(Path).constData(), &Status) == 0 &&
      (S_ISREG(Status.st_mode) || S_ISLNK(Status.st_mode)))
    Attempt([&] { Helper.removePath(Path); });
}

// The file is described by its own download record when it has one, else
// by its chunks; everything is to be downloaded. It is deleted, unless the
// publication offers blocks: then the blocks of its Discarded pieces may
// serve the missing chunks, and it stays where it is until the downloader
// writes it from scratch (only once the blocks at hand are taken).
TFileToDownload replaceFile(TScanContext& Context, const TFileInPackage& File, const QString& Path,
                            std::vector<TChunkInPackage> Chunks, const std::vector<shared::TByteRange>& Discarded = {})
{
  TFileToDownload Result = makeResult(File, std::move(Chunks));
  if (!File.ownDownload.url.isEmpty()) {
    Result.chunks = {File.ownDownload};
    Result.patches.clear();
  }
  downloadEverything(Result);
  if (Context.oldBlocks && !Context.moveAside && !Discarded.empty() && !Result.chunksToDownload.empty())
    indexDiscardedPieces(*Context.oldBlocks, Path, Discarded, {}, 0);
  else if (!Path.isEmpty())
    discardReplacedFile(Context, Path);
  return Result;
}

// Copies Size bytes from Source at SourceOffset to Target at TargetOffset in
// blocks; when both are the same file and the ranges overlap the copy runs
// in the safe direction. Returns false when a read came up short or, without
// ThrowOnWriteFailure, a write did; with it a failed write throws the
// uniform I/O error. Both files are unbuffered, so that every write that
// returns has reached the kernel.
bool copyRange(QFile& Source, std::uint64_t SourceOffset, QFile& Target, std::uint64_t TargetOffset, std::uint64_t Size,
               bool ThrowOnWriteFailure)
{
  const bool Backwards = &Source == &Target && TargetOffset > SourceOffset && TargetOffset < SourceOffset + Size;
  QByteArray Buffer;
  std::uint64_t Done = 0;
  while (Done < Size) {
    const qint64 Block = qint64(std::min<std::uint64_t>(Size - Done, kCopyBlock));
    const std::uint64_t Skip = Backwards ? Size - Done - std::uint64_t(Block) : Done;
    if (!Source.seek(qint64(SourceOffset + Skip)))
      return false;
    Buffer.resize(int(Block));
    if (Source.read(Buffer.data(), Block) != Block)
      return false;
    if (!Target.seek(qint64(TargetOffset + Skip)) || Target.write(Buffer.constData(), Block) != Block) {
      if (ThrowOnWriteFailure)
        shared::throwIoError(Target, QString("Could not move data within the file: %1").arg(Target.errorString()));
      return false;
    }
    Done += std::uint64_t(Block);
  }
  return true;
}

void matchPiece(TScanContext& Context, const TFileInPackage& File, const QString& Path,
                const std::vector<TChunkInPackage>& Chunks, std::vector<TChunkReuseState>& States,
                std::uint64_t& SourceOffset, bool& Found, const QByteArray& Hash, std::uint64_t Length)
{
  Context.addScanned(Length);
  const std::uint64_t Here = SourceOffset;
  std::uint64_t Target = 0;
  for (std::size_t Index = 0; Index < Chunks.size(); ++Index) {
    const TChunkInPackage& Chunk = Chunks[Index];
    TChunkReuseState& State = States[Index];
    const std::uint64_t ChunkTarget = Target;
    Target += Chunk.unpackedSize;
    if (State.state == EChunkReuseState::InPlace || (State.state == EChunkReuseState::Moved && Here != ChunkTarget))
      continue;
    if (Length != Chunk.unpackedSize || Hash != Chunk.unpackedHash)
      continue;
    if (Here == ChunkTarget) {
      State.state = EChunkReuseState::InPlace;
      qInfo().noquote() << QString("reuseable chunk on correct position found %1 in %2 offset: %3%4")
                               .arg(QString::fromLatin1(Chunk.unpackedHash.toHex().left(16)), Path)
                               .arg(ChunkTarget)
                               .arg(threadTag());
    } else if (State.state == EChunkReuseState::Missing) {
      State.state = EChunkReuseState::Moved;
      State.sourceOffset = Here;
      State.targetOffset = ChunkTarget;
      State.size = Chunk.unpackedSize;
      qInfo().noquote() << QString("reuseable chunk on wrong position found %1 in %2 source offset: %3 target offset: %4%5")
                               .arg(QString::fromLatin1(Chunk.unpackedHash.toHex().left(16)), Path)
                               .arg(Here)
                               .arg(ChunkTarget)
                               .arg(threadTag());
    }
    Found = true;
  }
  SourceOffset += Length;
  Q_UNUSED(File);
}

// The installed description's entry for the file (fast scan only).
const TFileInPackage* installedEntry(const TScanContext& Context, const QString& LocalFile)
{
  if (!Context.installedFiles)
    return nullptr;
  const auto Installed = std::lower_bound(
      Context.installedFiles->begin(), Context.installedFiles->end(), LocalFile,
      [](const TFileInPackage& Entry, const QString& Key) { return Entry.localFile < Key; });
  if (Installed == Context.installedFiles->end() || Installed->localFile != LocalFile)
    return nullptr;
  return &*Installed;
}

// Whether the fast scan may take the file for what the installed
// description says it is: it has the entry's size, and neither its
// modification time nor its status-change time is after the full marker's.
// The status-change time cannot be set back: a file changed in place whose
// modification time was restored (a backup put back with its times) has
// its change after the marker there.
bool installedFileUnchanged(const TScanContext& Context, const TFileInPackage& Installed, const QString& Path)
{
  // One stat, the times in milliseconds as the marker's: QFileInfo's local
  // times cost more than the whole check.
  struct stat Status;
  if (!Context.markerTime || ::stat(QFile::encodeName(Path).constData(), &Status) != 0 || !S_ISREG(Status.st_mode) ||
      std::uint64_t(Status.st_size) != Installed.unpackedSize)
    return false;
  const auto Milliseconds = [](const timespec& Time) {
    return qint64(Time.tv_sec) * 1000 + qint64(Time.tv_nsec) / 1000000;
  };
  return Milliseconds(Status.st_mtim) <= *Context.markerTime && Milliseconds(Status.st_ctim) <= *Context.markerTime;
}

// Whether the fast scan finds the file as published without reading it:
// the installed description gave it the published content, and it is
// unchanged since.
bool unchangedAsPublished(const TScanContext& Context, const TFileInPackage& File, const QString& Path)
{
  const TFileInPackage* Installed = installedEntry(Context, File.localFile);
  return Installed && Installed->unpackedSize == File.unpackedSize && Installed->unpackedHash.size() == 32 &&
         Installed->unpackedHash == File.unpackedHash && installedFileUnchanged(Context, *Installed, Path);
}

TFileToDownload checkWholeFile(TScanContext& Context, const TFileInPackage& File, const QString& Path,
                               std::vector<TChunkInPackage> Chunks)
{
  const QFileInfo Info(Path);
  // The old file as the one piece it was, for its blocks.
  std::vector<shared::TByteRange> Discarded;
  if (Info.isFile() && Info.size() > 0)
    Discarded.push_back({0, std::uint64_t(Info.size())});
  if (!Info.isFile() || std::uint64_t(Info.size()) != File.unpackedSize) {
    // Another size cannot hold the content: not hashed.
    if (Info.isFile())
      Context.addScanned(std::uint64_t(Info.size()));
    return replaceFile(Context, File, Path, std::move(Chunks), Discarded);
  }
  if (unchangedAsPublished(Context, File, Path)) {
    Context.addScanned(File.unpackedSize);
    qInfo().noquote() << QString("reuseable file found %1%2").arg(File.localFile, threadTag());
    return makeResult(File, std::move(Chunks));
  }
  QByteArray Hash;
  std::uint64_t Size = 0;
  QFile Input(Path);
  if (Input.open(QIODevice::ReadOnly)) {
    shared::TSha256 Sha;
    QByteArray Buffer(int(std::min<qint64>(kHashBlock, std::max<qint64>(Input.size(), 1))), '\0');
    const auto Read = Sha.addFromDevice(Input, Buffer, UINT64_MAX,
                                        [&](std::uint64_t Bytes) { Context.addScanned(Bytes); });
    if (Read) {
      Size = *Read;
      Hash = Sha.result();
    }
  }
  if (Size == File.unpackedSize && !Hash.isEmpty() && Hash == File.unpackedHash) {
    qInfo().noquote() << QString("reuseable file found %1%2").arg(File.localFile, threadTag());
    return makeResult(File, std::move(Chunks));
  }
  return replaceFile(Context, File, Path, std::move(Chunks), Discarded);
}

// Hashes the published chunks where the file should hold them, in order,
// and hands each matching one to Match as a piece. Stops at the first chunk
// that differs (or is cut short, or when all matched) and returns the offset
// where it stopped.
template <typename TMatch>
std::uint64_t hashChunksInPlace(QFile& Input, const std::vector<TChunkInPackage>& Chunks, TMatch& Match)
{
  std::uint64_t Offset = 0;
  const std::uint64_t FileSize = std::uint64_t(Input.size());
  QByteArray Buffer;
  for (const TChunkInPackage& Chunk : Chunks) {
    // Only chunks the content-defined cut can produce; anything else is
    // left to the cut itself.
    if (Chunk.unpackedSize == 0 || Chunk.unpackedSize > ::shared::ChunkingMaximumPiece ||
        Offset + Chunk.unpackedSize > FileSize)
      return Offset;
    if (Buffer.isEmpty())
      Buffer.resize(int(std::min<std::uint64_t>(kHashBlock, ::shared::ChunkingMaximumPiece)));
    shared::TSha256 Sha;
    if (!Input.seek(qint64(Offset)) || Sha.addFromDevice(Input, Buffer, Chunk.unpackedSize) != Chunk.unpackedSize)
      return Offset;
    if (Sha.result() != Chunk.unpackedHash)
      return Offset;
    Match(Chunk.unpackedHash, Chunk.unpackedSize);
    Offset += Chunk.unpackedSize;
  }
  return Offset;
}

// The pieces of the installed file as the installed description lays them
// out, when the fast scan may trust that layout: the description has an
// entry of at least two known chunks for the file, and the file is
// unchanged since (installedFileUnchanged). Empty when the file has to be
// read.
std::vector<const TChunkInPackage*> trustedInstalledLayout(const TScanContext& Context, const QString& LocalFile,
                                                           const QString& Path)
{
  const TFileInPackage* Installed = installedEntry(Context, LocalFile);
  if (!Installed || !Context.installedChunks || Installed->chunkIndices.size() < 2)
    return {};
  std::vector<const TChunkInPackage*> Layout;
  std::uint64_t Size = 0;
  for (std::int32_t Index : Installed->chunkIndices) {
    if (Index < 0 || std::size_t(Index) >= Context.installedChunks->size())
      return {};
    Layout.push_back(&(*Context.installedChunks)[std::size_t(Index)]);
    Size += Layout.back()->unpackedSize;
  }
  if (Size != Installed->unpackedSize || !installedFileUnchanged(Context, *Installed, Path)) {
    qInfo().noquote() << QString("installed layout of %1 not trusted, its content is scanned%2").arg(Path, threadTag());
    return {};
  }
  return Layout;
}

// A temporary file whose writes are not buffered.
class TUnbufferedTemporaryFile : public QTemporaryFile
{
public:
  bool openUnbuffered() { return QTemporaryFile::open(QIODevice::ReadWrite | QIODevice::Unbuffered); }
};

bool openTemporary(std::unique_ptr<TUnbufferedTemporaryFile>& Temporary)
{
  if (Temporary)
    return true;
  Temporary = std::make_unique<TUnbufferedTemporaryFile>();
  if (Temporary->openUnbuffered())
    return true;
  qWarning().noquote() << QString("Cannot open a temporary file: %1").arg(Temporary->errorString());
  Temporary.reset();
  return false;
}

// Moves the reusable chunks found elsewhere in the file to their offsets,
// in the order planMoves gives, and cuts the file to its published size.
// A chunk whose data could not be read or saved aside is downloaded
// instead; a write into the file that fails (a full disk) throws the
// uniform I/O error, as does a failed cut or close: a chunk is never
// counted as in place when its bytes may not have reached the file.
TFileToDownload rebuildInPlace(TScanContext& Context, const TFileInPackage& File, const QString& Path,
                               std::vector<TChunkInPackage> Chunks, const std::vector<TChunkReuseState>& States)
{
  QFile Target(Path);
  if (!Target.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
    qWarning().noquote() << QString("Cannot rebuild %1: %2").arg(Path, Target.errorString());
    return replaceFile(Context, File, Path, std::move(Chunks));
  }
  std::vector<bool> Missing(States.size());
  std::vector<TPieceMove> Moves;
  std::vector<std::size_t> MovedChunks;  // the chunk position of every move
  for (std::size_t Index = 0; Index < States.size(); ++Index) {
    Missing[Index] = States[Index].state == EChunkReuseState::Missing;
    if (States[Index].state == EChunkReuseState::Moved) {
      Moves.push_back({States[Index].sourceOffset, States[Index].targetOffset, States[Index].size});
      MovedChunks.push_back(Index);
    }
  }
  const TMovePlan Plan = planMoves(Moves);
  std::unique_ptr<TUnbufferedTemporaryFile> Temporary;
  for (const TMoveStep& Step : Plan.steps) {
    const TPieceMove& Move = Moves[Step.move];
    const std::size_t Chunk = MovedChunks[Step.move];
    if (Missing[Chunk])
      continue;  // its data could not be saved
    bool Moved = false;
    switch (Step.kind) {
    case EMoveStep::Copy:
      Moved = copyRange(Target, Move.sourceOffset, Target, Move.targetOffset, Move.size, true);
      break;
    case EMoveStep::Save:
      Moved = openTemporary(Temporary) &&
              copyRange(Target, Move.sourceOffset, *Temporary, Step.temporaryOffset, Move.size, false);
      break;
    case EMoveStep::CopyFromSaved:
      Moved = copyRange(*Temporary, Step.temporaryOffset, Target, Move.targetOffset, Move.size, true);
      break;
    }
    Missing[Chunk] = !Moved;
  }
  if (!Moves.empty()) {
    qInfo().noquote() << QString("rebuilt %1 in place: %2 pieces moved, at most %3 bytes held in a temporary file%4")
                             .arg(Path)
                             .arg(Moves.size())
                             .arg(Plan.temporaryBytes)
                             .arg(threadTag());
  }
  // When blocks of old data are kept, a file with missing chunks keeps its
  // old tail until the downloader has written it (the missing chunks may
  // take blocks from there); it cuts the file to its size then.
  const bool KeepTail = Context.oldBlocks && std::find(Missing.begin(), Missing.end(), true) != Missing.end();
  const bool TooLong = std::uint64_t(Target.size()) > File.unpackedSize;
  if (TooLong && !KeepTail && !Target.resize(qint64(File.unpackedSize)))
    shared::throwIoError(Target, QString("Could not cut the file to its size: %1").arg(Target.errorString()));
  Target.close();
  shared::throwOnFileError(Target);
  TFileToDownload Result = makeResult(File, std::move(Chunks));
  Result.cutWhenWritten = TooLong && KeepTail;
  for (std::size_t Index = 0; Index < Missing.size(); ++Index) {
    if (Missing[Index])
      Result.chunksToDownload.push_back(std::int32_t(Index));
  }
  return Result;
}

// Keeps the blocks of the pieces of the file that nothing reuses; those
// the rebuild moves pieces over are secured, up to the raw size of the
// file's missing chunks. (A file with missing chunks is cut to its new size
// only once it is written, so that its old tail stays where it is.)
void keepDiscardedBlocks(TScanContext& Context, const QString& Path, const std::vector<TChunkInPackage>& Chunks,
                         const std::vector<TChunkReuseState>& States, const std::vector<shared::TByteRange>& Discarded)
{
  std::vector<shared::TByteRange> Overwritten;
  std::uint64_t MissingBytes = 0;
  for (std::size_t Index = 0; Index < Chunks.size(); ++Index) {
    if (States[Index].state == EChunkReuseState::Moved)
      Overwritten.push_back({States[Index].targetOffset, States[Index].size});
    else if (States[Index].state == EChunkReuseState::Missing)
      MissingBytes += Chunks[Index].unpackedSize;
  }
  indexDiscardedPieces(*Context.oldBlocks, Path, Discarded, Overwritten, MissingBytes);
}

TFileToDownload scanChunkWise(TScanContext& Context, const TFileInPackage& File, const QString& Path,
                              std::vector<TChunkInPackage> Chunks, ::shared::TContentDefinedChunker& Chunker)
{
  std::vector<TChunkReuseState> States(Chunks.size());
  std::uint64_t SourceOffset = 0;
  bool Found = false;
  std::vector<shared::TByteRange> Discarded;  // pieces no chunk reuses
  const auto Match = [&](const QByteArray& Hash, std::uint64_t Length) {
    bool Reused = false;
    const std::uint64_t Here = SourceOffset;
    matchPiece(Context, File, Path, Chunks, States, SourceOffset, Reused, Hash, Length);
    if (Reused)
      Found = true;
    else
      Discarded.push_back({Here, Length});
  };

  // Fast scan: the installed description says how the file is laid out.
  const std::vector<const TChunkInPackage*> InstalledLayout = trustedInstalledLayout(Context, File.localFile, Path);
  for (const TChunkInPackage* Piece : InstalledLayout)
    Match(Piece->unpackedHash, Piece->unpackedSize);
  if (InstalledLayout.empty()) {
    QFile Input(Path);
    if (QFileInfo(Path).isFile() && Input.open(QIODevice::ReadOnly)) {
      // Where the file still holds the published chunks at their offsets,
      // each chunk is one piece of the cut: hashing them where they should
      // be finds them without the search for cut points. From the first
      // chunk that differs on, the file is cut by content as usual (the cut
      // restarts at every piece, so the pieces are the same).
      const std::uint64_t Prefix = hashChunksInPlace(Input, Chunks, Match);
      if (Prefix < std::uint64_t(Input.size()) && Input.seek(qint64(Prefix)))
        Chunker.forEachPieceHash(Input, Match);
    }
  }

  if (!Found)
    return replaceFile(Context, File, Path, std::move(Chunks), Discarded);
  if (Context.oldBlocks)
    keepDiscardedBlocks(Context, Path, Chunks, States, Discarded);
  return rebuildInPlace(Context, File, Path, std::move(Chunks), States);
}

// Decides about one published file; nothing when its entry is unusable
// (the failure is recorded in the context).
std::optional<TFileToDownload> scanFile(TScanContext& Context, const TFileInPackage& File,
                                        ::shared::TContentDefinedChunker& Chunker)
{
  const QString Path = installationFilePath(*Context.helper, Context.directory, File.localFile);
  if (Path.isEmpty()) {
    Context.fail(QString("The package description names the file '%1', which is not a file of the installation.")
                     .arg(File.localFile),
                 EDifferenceFailure::Description);
    return std::nullopt;
  }
  std::vector<TChunkInPackage> Chunks;
  bool IndicesValid = true;
  for (std::int32_t Index : File.chunkIndices) {
    if (Index < 0 || std::size_t(Index) >= Context.publishedChunks->size()) {
      IndicesValid = false;
      break;
    }
    Chunks.push_back((*Context.publishedChunks)[std::size_t(Index)]);
  }
  if (!IndicesValid) {
    // The file cannot be assembled from chunks: it is fetched whole
    // through its own download record, or the description is unusable.
    if (File.ownDownload.url.isEmpty()) {
      Context.fail(QString("The package description names chunks for the file '%1' that it does not contain.")
                       .arg(File.localFile),
                   EDifferenceFailure::Description);
      return std::nullopt;
    }
    return replaceFile(Context, File, Path, {});
  }
  std::uint64_t Sum = 0;
  for (const TChunkInPackage& Chunk : Chunks)
    Sum += Chunk.unpackedSize;
  const bool UsesOwnRecord = !File.ownDownload.url.isEmpty();
  if (!UsesOwnRecord && ((Chunks.empty() && File.unpackedSize != 0) || (!Chunks.empty() && Sum != File.unpackedSize))) {
    Context.fail(QString("The package description gives no consistent data for the file '%1'.").arg(File.localFile),
                 EDifferenceFailure::Description);
    return std::nullopt;
  }
  if (File.chunkIndices.size() < 2)
    return checkWholeFile(Context, File, Path, std::move(Chunks));
  return scanChunkWise(Context, File, Path, std::move(Chunks), Chunker);
}

// Takes files off the shared list until it is empty or a failure was
// recorded. Never throws: an exception while scanning a file becomes the
// computation's failure.
std::vector<TFileToDownload> runScanTask(TScanContext& Context)
{
  std::vector<TFileToDownload> Results;
  // One ring for the files this task cuts: fresh memory for each would cost
  // a page fault every 4 KiB of it.
  ::shared::TContentDefinedChunker Chunker;
  for (;;) {
    const TFileInPackage* File = nullptr;
    {
      QMutexLocker Lock(&Context.mutex);
      if (Context.filesToScan.empty() || !Context.failure.isEmpty())
        return Results;
      File = Context.filesToScan.front();
      Context.filesToScan.pop_front();
      ++Context.filesTaken;
    }
    try {
      if (std::optional<TFileToDownload> Result = scanFile(Context, *File, Chunker))
        Results.push_back(std::move(*Result));
    } catch (const std::exception& Error) {
      Context.fail(QString("The installed file '%1' could not be compared: %2")
                       .arg(File->localFile, QString::fromUtf8(Error.what())),
                   EDifferenceFailure::Disk);
    } catch (...) {
      Context.fail(QString("The installed file '%1' could not be compared.").arg(File->localFile),
                   EDifferenceFailure::Disk);
    }
  }
}

// The files of the installed description, then those an unfinished
// installation may have written, that are not at the path of a published
// file: each path once, never one of the launcher's own files.
std::vector<TFileInPackage> obsoleteFiles(const TFileInPackageVector& Published, const TFileInPackageVector& Installed,
                                          const TFileInPackageVector& Unfinished, const QDir& Directory,
                                          TEngineFilesystemHelper& Helper)
{
  if (Installed.empty() && Unfinished.empty())
    return {};
  const shared::TLauncherOwnFileNames OwnFiles = Helper.ownFileNames();
  QSet<QString> Kept;
  for (const TFileInPackage& File : Published)
    Kept.insert(installationFilePath(Helper, Directory, File.localFile));
  std::vector<TFileInPackage> Obsolete;
  for (const TFileInPackageVector* List : {&Installed, &Unfinished}) {
    for (const TFileInPackage& File : *List) {
      const QString Path = installationFilePath(Helper, Directory, File.localFile);
      if (Path.isEmpty() || Kept.contains(Path) || shared::isReservedInstallationPath(File.localFile, OwnFiles))
        continue;
      Kept.insert(Path);
      Obsolete.push_back(File);
    }
  }
  return Obsolete;
}

} // namespace

TPackageDifference TPackageInstallation::ComputeRequiredChangesForInstallation(
    const QDir& InstallationDirectory, const std::shared_ptr<TEngineFilesystemHelper>& Helper,
    const TPackageConfigurationReader& PublishedDescription, const TPackageConfigurationReader& InstalledDescription,
    const std::optional<QDateTime>& FastScanMarkerTime, const TFileInPackageVector& UnfinishedFiles)
{
  // What a killed update left, whatever this one is going to do.
  shared::removeInterruptedWriteLeftovers(InstallationDirectory.absolutePath());
  std::vector<TFileInPackage> Obsolete =
      obsoleteFiles(PublishedDescription.files(), InstalledDescription.files(), UnfinishedFiles, InstallationDirectory,
                    *Helper);
  // Removed before the scan judges anything: a published file that lies
  // below an obsolete path is then found missing, not complete and removed
  // afterwards.
  for (const TFileInPackage& File : Obsolete) {
    try {
      Helper->removePath(installationFilePath(*Helper, InstallationDirectory, File.localFile));
    } catch (const std::runtime_error& Error) {
      TPackageDifference Failed;
      Failed.failure = QString("The obsolete file '%1' could not be removed: %2")
                           .arg(File.localFile, QString::fromUtf8(Error.what()));
      Failed.failureKind = EDifferenceFailure::Disk;
      return Failed;
    }
  }
  TPackageDifference Difference = FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
      PublishedDescription.files(), PublishedDescription.chunks(), InstalledDescription.files(),
      InstalledDescription.chunks(), FastScanMarkerTime, InstallationDirectory, Helper);
  Difference.filesToDelete = std::move(Obsolete);
  return Difference;
}

TPackageDifference TPackageInstallation::FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
    const TFileInPackageVector& PublishedFiles, const TChunkInPackageVector& PublishedChunks,
    const TFileInPackageVector& InstalledFiles, const TChunkInPackageVector& InstalledChunks,
    const std::optional<QDateTime>& FastScanMarkerTime,
    const QDir& InstallationDirectory, const std::shared_ptr<TEngineFilesystemHelper>& Helper)
{
  // Every task owns the context with this call, so that it outlives them
  // all however they end.
  auto Context = std::make_shared<TScanContext>();
  Context->installation = this;
  Context->helper = Helper;
  Context->directory = InstallationDirectory;
  Context->publishedChunks = &PublishedChunks;
  Context->moveAside = selfUpdateFlag() == 1;
  const bool BlocksOffered = std::any_of(PublishedChunks.begin(), PublishedChunks.end(),
                                         [](const TChunkInPackage& Chunk) { return Chunk.offersBlocks(); });
  if (BlocksOffered)
    Context->oldBlocks = std::make_shared<TOldBlocks>(InstallationDirectory.absolutePath());
  for (const TFileInPackage& File : PublishedFiles) {
    const QString Path = installationFilePath(*Helper, InstallationDirectory, File.localFile);
    const QFileInfo Info(Path);
    if (!Path.isEmpty() && Info.isFile())
      Context->totalBytes += std::uint64_t(Info.size());
    Context->filesToScan.push_back(&File);
  }
  std::sort(Context->filesToScan.begin(), Context->filesToScan.end(),
            [](const TFileInPackage* Left, const TFileInPackage* Right) { return Left->unpackedSize > Right->unpackedSize; });
  // Fast scan needs the installed files sorted by name for its lookups.
  TFileInPackageVector SortedInstalledFiles;
  if (FastScanMarkerTime) {
    SortedInstalledFiles = InstalledFiles;
    std::sort(SortedInstalledFiles.begin(), SortedInstalledFiles.end(),
              [](const TFileInPackage& Left, const TFileInPackage& Right) { return Left.localFile < Right.localFile; });
    Context->installedFiles = &SortedInstalledFiles;
    Context->installedChunks = &InstalledChunks;
    if (FastScanMarkerTime->isValid())
      Context->markerTime = FastScanMarkerTime->toMSecsSinceEpoch();
  }

  // The tasks do not throw, so this waits for every one of them: none is
  // still changing files when the result is handed on.
  TPackageDifference Result;
  for (std::vector<TFileToDownload>& Part :
       runTasksHereAndInPool(kScanTasks, [Context] { return runScanTask(*Context); }))
    std::move(Part.begin(), Part.end(), std::back_inserter(Result.filesToDownload));
  Result.failure = Context->failure;
  Result.failureKind = Context->failureKind;
  if (Context->oldBlocks && !Context->oldBlocks->empty())
    Result.oldBlocks = Context->oldBlocks;
  return Result;
}

} // namespace orvale::launcher
