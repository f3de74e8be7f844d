#pragma once

#include "engine/chunkcontent.h"
#include "engine/enginefilesystemhelper.h"
#include "engine/packagedifference.h"
#include "engine/types.h"
#include "shared/downloadpool.h"
#include "shared/zstdframes.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QMutex>
#include <QFuture>
#include <QNetworkReply>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace orvale::launcher {

class TBlockFetcher;
class TOldBlocks;
class TPackFetcher;
class TDictionaryFetcher;

enum EPackageDownloaderError : std::int32_t
{
  NoDownloaderError = 0,
  DownloadFailed = 1,
  SaveFailed = 2,
  VerificationFailed = 3,
  // The installation's file system has not the room to write what is
  // missing; nothing was started (set by the installation job).
  NotEnoughDiskSpace = 4,
};

// What happens to an existing file that is written from scratch.
enum class EReplacementMode : std::int32_t
{
  ReplaceFiles = 0,            // it is removed
  MoveReplacedFilesAside = 1,  // it is renamed to its name + ".old" (self-update: the file may be in use)
};

// Where the content of a pending chunk is held until its later positions are
// written.
enum class EPendingChunkState : std::int32_t
{
  NotCached = 0,
  InMemory = 1,
  InSpillFile = 2,
};

// One file being written: its chunk table and the positions still to write,
// shared by every chunk that feeds it.
struct TChunkedFileState
{
  TFileToDownload entry;
  QMutex mutex;  // serialises all writing into this file
  std::list<std::int32_t> pendingChunks;
  std::size_t chunkTableSize = 0;
  bool prepared = false;
  bool debugLogStarted = false;
  // Open only while a save writes into it, so that a package of thousands
  // of files does not hold thousands of descriptors.
  QFile file;
  std::uint64_t writtenEnd = 0;  // where the last write ended
};

// A chunk on its way through the processing steps: the body as it arrived,
// then its unpacked content, with the content's SHA-256 when decoding
// computed it on the way.
struct TChunkData
{
  shared::TReplyBody body;
  std::shared_ptr<const TChunkContent> content;
  QByteArray sha256;
  bool packedChecked = false;  // the body was found to be the packed size and hash
};

// One distinct chunk URL of a run.
struct TChunkToDownload
{
  TChunkInPackage chunk;
  QString urlText;  // the URL as text, the key of the lookups
  std::vector<std::shared_ptr<TChunkedFileState>> files;  // each file once
  std::int32_t retryCount = 0;
  std::uint64_t downloadKey = 0;  // smallest offset at which the content is written
  // The dictionary chunk.dictionary names, once it has been fetched.
  std::shared_ptr<const shared::TZstdDictionary> dictionary;
};

// Content needed at several positions, kept until its last position is
// written: in memory, or in a spill file once too many are held.
struct TPendingChunk
{
  std::int32_t referenceCount = 0;
  std::shared_ptr<const TChunkContent> content;  // null while not cached

  EPendingChunkState state() const
  {
    if (!content)
      return EPendingChunkState::NotCached;
    return content->inMemory() ? EPendingChunkState::InMemory : EPendingChunkState::InSpillFile;
  }
};

// Bytes per progress tick: minimum, maximum and a running mean over at most
// 30 samples.
struct TRateStatistic
{
  std::uint64_t lastTotal = 0;
  std::uint64_t sampleCount = 0;
  std::uint64_t minimum = 0;
  std::uint64_t maximum = 0;
  double mean = 0.0;

  void addTotal(std::uint64_t Total);
};

// Downloads the chunks of a list of files through its pool, decompresses
// and verifies each once, and writes it at its offsets into every file that
// needs it, each file strictly front to back. Chunks that arrive early wait
// in a cache bounded by count and bytes. Ends every run with exactly one
// downloadCompleted() or downloadFailed().
//
// Memory: a body or an unpacked chunk larger than MaxChunkBytesInMemory
// never enters memory: the pool writes the body to a temporary file as it
// arrives, and it is decoded as a stream from there into another one.
//
// With release keys in the settings, decoders see only bytes the signed
// description vouches for: a body is checked against its packed size and
// hash before it is decoded (a mismatch is retried like a failed
// verification), and chunks are fetched by blocks only where the block
// index vouches for the ranges' bytes themselves (stored ranges). Without
// keys the packed hash is not computed: the unpacked hash is checked after
// decoding, as always.
class TPackageFileDownloader : public QObject
{
  Q_OBJECT
public:
  // Bodies and unpacked chunks above this are held in temporary files: the
  // largest piece the publisher writes (16 MiB) and its container stay in
  // memory.
  static constexpr qint64 MaxChunkBytesInMemory = 17 * 1024 * 1024;
  // Written pieces of at least this size are handed to the disk at once;
  // smaller ones, every this many bytes of them, by a writeback of the file
  // system in the background.
  static constexpr std::uint64_t MinBytesWrittenOutAtOnce = 1024 * 1024;
  static constexpr std::uint64_t SmallPieceBytesWrittenOutTogether = 16 * 1024 * 1024;

  TPackageFileDownloader(std::shared_ptr<::shared::TDownloadPool> DownloadPool,
                         std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper);
  ~TPackageFileDownloader() override;

  // With OldBlocks, missing chunks that offer blocks take the blocks found
  // there and fetch only the others (TBlockFetcher).
  void downloadFiles(const QDir& TargetDirectory, EReplacementMode ReplacementMode,
                     std::vector<TFileToDownload> Files, std::shared_ptr<const TOldBlocks> OldBlocks = {});

  const std::vector<TChunkToDownload>& allChunks() const { return m_AllChunks; }
  const std::map<QUrl, TFileSize>& downloadedBytes() const { return m_DownloadedBytes; }
  const std::map<QUrl, TFileSize>& writtenBytes() const { return m_WrittenBytes; }
  std::uint64_t downloadRateSampleCount() const { return m_DownloadRate.sampleCount; }
  double downloadRateMean() const { return m_DownloadRate.mean; }
  const TRateStatistic& downloadRate() const { return m_DownloadRate; }
  const TRateStatistic& writeRate() const { return m_WriteRate; }
  std::shared_ptr<::shared::TDownloadPool> downloadPool() const { return m_pDownloadPool; }
  // Number of pending chunks currently held in memory.
  std::int32_t cachedChunkCount() const;
  // Largest number of pending chunks held in memory at once during the run.
  std::int32_t peakCachedChunkCount() const;
  // Most bytes of pending chunks held in memory at once during the run.
  std::uint64_t peakCachedChunkBytes() const;

  // Worker operations, run on the global thread pool; they fail by throwing.
  TChunkData verifyDownloadedData(const TChunkToDownload& Chunk, TChunkData Data) const;
  TChunkData checkPackedData(const TChunkToDownload& Chunk, TChunkData Data) const;
  TChunkData decompressDownloadedData(const TChunkToDownload& Chunk, TChunkData Data) const;
  void saveDownloadedData(const TChunkToDownload& Chunk, std::shared_ptr<const TChunkContent> Content);

signals:
  void downloadCompleted();
  void progress(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload, TFileSize BytesWritten,
                TFileSize BytesTotalToWrite);
  void downloadFailed(EPackageDownloaderError ErrorReason);
  // Blocks of the old data read for chunks fetched by blocks (before the
  // downloads start): bytes read and bytes to read.
  void scanProgress(TFileSize BytesScanned, TFileSize BytesTotal);

public slots:
  void onDownloadCompleted(const QUrl& Url, const shared::TReplyBody& Body);
  void onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
  void onDownloadProgress(const QUrl& Url, TFileSize DownloadedBytes);
  void onWriteProgress(const QUrl& Url, TFileSize DownloadedBytes);
  void onProgressTick();

private:
  enum class EProcessingStep
  {
    CheckPacked,
    Verify,
    Decompress,
    Save,
  };
  // Where the content written at one position comes from.
  struct TWriteSource
  {
    enum class EOrigin
    {
      FreshData,
      MemoryCache,
      SpillFile,
    };
    std::shared_ptr<const TChunkContent> content;
    std::shared_ptr<TPendingChunk> pending;  // released once written; may be null
    EOrigin origin = EOrigin::FreshData;
  };
  class TChunkDebugLog;

  // Steps of starting a run.
  void startRun(const QDir& TargetDirectory, EReplacementMode ReplacementMode);
  // A file state per file; Inconsistency names a path that two files share.
  std::vector<std::shared_ptr<TChunkedFileState>> makeFileStates(std::vector<TFileToDownload> Files,
                                                                 QString& Inconsistency);
  // A chunk per distinct URL, with the pending chunks counted; Inconsistency
  // names a URL described with two different contents.
  std::vector<TChunkToDownload> collectChunks(const std::vector<std::shared_ptr<TChunkedFileState>>& Files,
                                              QString& Inconsistency);
  void orderForDownload(std::vector<TChunkToDownload>& Chunks);
  // Requests at most MaxRequests chunks that are not fetched by blocks and
  // were not requested yet, in download order.
  void requestOutstandingChunks(int MaxRequests);
  // The blocks at hand are taken out of the old data: writing may begin.
  void onBlocksPrepared();
  // A pool of its own for a fetcher, within our limit of downloads.
  std::shared_ptr<shared::TDownloadPool> makePoolSharingTheLimit(bool ReleaseOnFinish) const;
  void connectBlockFetcher();
  void connectPackFetcher();
  void connectDictionaryFetcher();
  // Asks for the dictionaries the outstanding chunks need; true when there
  // are any (the chunks are asked for once they have come).
  bool requestDictionaries();
  void onDictionaryReady(const QByteArray& Hash, std::shared_ptr<const shared::TZstdDictionary> Dictionary);
  void onDictionaryFailed(const QByteArray& Hash, const QString& Reason);
  void onDictionaryDone();
  // Asks for the outstanding chunks that may be asked for now.
  void requestAllowedChunks();
  // Asks for a chunk whole: its chunk file, or its piece of a pack.
  void requestWhole(const TChunkToDownload& Chunk);
  // Done with a chunk's answer: its place in the limit of downloads is free.
  void releaseChunk(const QUrl& Url);
  // A file with positions not written, for the log; empty when all are.
  QString incompleteFile() const;

  // Runs the steps a chunk still needs (decompress, verify, save) in one
  // task on the thread pool; the GUI thread hears of its end or of the step
  // that failed (onStepFailed). While writes are not allowed the task stops
  // before saving, and the save is held until they are.
  void processDownloadedData(const QUrl& Url, const TChunkData& Data, bool Decompressed, bool Verified);
  struct TStepsDone
  {
    std::optional<EProcessingStep> failed;
    bool saved = false;
    TChunkData data;  // verified, not saved: writes were not allowed
  };
  // The task: the steps from First on, the save only when MaySave.
  TStepsDone processChunk(const TChunkToDownload& Chunk, TChunkData Data, EProcessingStep First, bool MaySave);
  static const char* stepName(EProcessingStep Step);
  shared::TRequestOptions requestOptions(const TChunkInPackage& Chunk) const;
  void onStepFailed(EProcessingStep Step, const QUrl& Url);
  // A task's end, noted by the worker; taken on the downloader's thread.
  struct TFinishedTask
  {
    QUrl url;
    std::uint64_t run = 0;
    TStepsDone done;
  };
  void finishTask(TFinishedTask Task);
  void takeFinishedTasks();
  void processFinishedData(const QUrl& Url);

  // Steps of saving one chunk into one file, under the file's lock.
  void prepareTarget(TChunkedFileState& File);
  void ensureFolder(const QString& Folder);
  // Writes the file's pending positions front to back while their content is
  // at hand; returns false when it stopped at one whose content is missing.
  bool writePendingPositions(TChunkedFileState& File, const TChunkToDownload& Chunk,
                             const std::shared_ptr<const TChunkContent>& Content);
  // The content for a position: the fresh content when the hashes match,
  // else the cached one; nothing when it has not arrived yet.
  std::optional<TWriteSource> takeSource(const TChunkInPackage& Entry, const TChunkToDownload& Chunk,
                                         const std::shared_ptr<const TChunkContent>& Content);
  void writePosition(TChunkedFileState& File, std::int32_t Index, const TWriteSource& Source,
                     TChunkDebugLog& Debug);
  void releaseSource(const TChunkInPackage& Entry, const TWriteSource& Source);
  // Closes the file: cut to its size and made executable when all its
  // positions are written, else just closed until the next save into it.
  void closeTarget(TChunkedFileState& File);
  // Keeps the content for later positions of File when it has any; returns
  // whether it did.
  bool cacheForLaterPositions(const TChunkedFileState& File, const TChunkToDownload& Chunk,
                              const std::shared_ptr<const TChunkContent>& Content);

  void emitFinishedSignalWhenNoMoreFilesAreOutstanding();
  void applyRetryRule(const QUrl& Url, const QString& FinalMessage);
  void emitProgress();
  // Positions written by the worker tasks are noted under a lock and
  // counted on the downloader's thread at the next progress report, not
  // sent there one by one.
  void noteWritten(const QUrl& Url, TFileSize Bytes);
  void takeWrittenPositions();

  // Chunks by URL text, as indexes in m_AllChunks: tens of thousands of
  // them are looked up and removed one by one.
  using TChunkMap = QHash<QString, std::size_t>;
  static TChunkMap::iterator findChunk(TChunkMap& Chunks, const QUrl& Url);
  static void removeChunk(TChunkMap& Chunks, const QUrl& Url);

  std::shared_ptr<::shared::TDownloadPool> m_pDownloadPool;
  TBlockFetcher* m_pBlockFetcher = nullptr;  // a child
  TPackFetcher* m_pPackFetcher = nullptr;    // a child
  TDictionaryFetcher* m_pDictionaryFetcher = nullptr;  // a child
  int m_DictionariesPending = 0;  // asked for in this run, not come yet
  std::shared_ptr<TEngineFilesystemHelper> m_pLauncherFilesystemHelper;
  QDir m_TargetDirectory;
  // The run's writeback of small pieces; replaced (atomically: tasks of an
  // earlier run may still write) when a run starts.
  std::shared_ptr<::shared::TBackgroundWriteback> m_pSmallPieceWriteback;
  bool m_AtLeastOneDownloadFailed = false;
  bool m_AtLeastOneSavingOperationFailed = false;
  EReplacementMode m_ReplacementMode = EReplacementMode::ReplaceFiles;
  // False while the block fetcher takes the blocks at hand out of the old
  // data, which writing could overwrite: verified chunks wait in
  // m_HeldSaves (keeping their place in the limit of downloads).
  bool m_WritesAllowed = true;
  std::vector<std::pair<QUrl, TChunkData>> m_HeldSaves;
  QSet<QString> m_Requested;  // chunk URLs requested whole in this run
  std::vector<std::shared_ptr<TChunkedFileState>> m_Files;
  std::vector<TChunkToDownload> m_AllChunks;
  TChunkMap m_OutstandingChunks;
  TChunkMap m_UnwrittenChunks;
  std::map<QUrl, TFileSize> m_DownloadedBytes;
  std::map<QUrl, TFileSize> m_WrittenBytes;
  QMutex m_WrittenMutex;
  std::vector<std::pair<QUrl, TFileSize>> m_WrittenPositions;  // not counted yet
  TFileSize m_DownloadedTotal = 0;  // the sums of the two maps
  TFileSize m_WrittenTotal = 0;
  TFileSize m_PackedTotal = 0;  // of m_AllChunks
  TFileSize m_UnpackedTotal = 0;
  std::vector<std::size_t> m_ChunksWithBlocks;  // indexes in m_AllChunks
  QTimer m_ProgressTimer;
  mutable QMutex m_PendingChunkMutex;
  QHash<QByteArray, std::shared_ptr<TPendingChunk>> m_PendingChunks;
  std::int32_t m_CachedChunkCount = 0;
  std::int32_t m_PeakCachedChunkCount = 0;
  std::uint64_t m_CachedChunkBytes = 0;
  std::uint64_t m_PeakCachedChunkBytes = 0;
  std::uint64_t m_MaxCachedBytes = 0;
  std::int32_t m_MaxCachedChunks = 100;
  bool m_ChunkVerification = false;
  bool m_CheckPackedHashes = false;  // release keys are set
  TRateStatistic m_DownloadRate;
  TRateStatistic m_WriteRate;
  // Each run has its own number; results of tasks of an earlier run are
  // ignored, and the final signal is emitted once per run.
  std::uint64_t m_Run = 0;
  bool m_RunFinished = true;
  QMutex m_FoldersMutex;
  QSet<QString> m_Folders;  // made or found in this run
  std::mutex m_TasksMutex;
  std::condition_variable m_TasksDone;
  std::size_t m_TasksRunning = 0;
  std::vector<TFinishedTask> m_FinishedTasks;
};

} // namespace orvale::launcher

Q_DECLARE_METATYPE(orvale::launcher::EPackageDownloaderError)
