#include "engine/packagefiledownloader.h"

#include "engine/blockfetch.h"
#include "engine/dictionaryfetch.h"
#include "engine/logging.h"
#include "engine/oldblocks.h"
#include "engine/packfetch.h"
#include "shared/downloadpool.h"
#include "shared/filesystemhelper.h"
#include "shared/memoryblob.h"
#include "shared/payload.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>
#include <QTextStream>
#include <QThreadPool>

#include <algorithm>
#include <stdexcept>

namespace orvale::launcher {

namespace {

// The URL as text. One piece's steps name its URL several times in a row,
// and making the text costs more than the rest of a log line: the last one
// made on each thread is kept.
QString urlText(const QUrl& Url)
{
  thread_local QUrl Last;
  thread_local QString Text;
  if (Text.isEmpty() || Url != Last) {
    Last = Url;
    Text = Url.toString();
  }
  return Text;
}

std::uint64_t chunkOffset(const TFileToDownload& File, std::size_t Index)
{
  std::uint64_t Offset = 0;
  for (std::size_t Position = 0; Position < Index && Position < File.chunks.size(); ++Position)
    Offset += File.chunks[Position].unpackedSize;
  return Offset;
}

[[noreturn]] void throwIo(const QFileDevice& Device, const QString& Text)
{
  shared::throwIoError(Device, Text);
}

// With "chunkVerification": everything between the file's current position
// and the position Index (at Offset) must be the chunks written before it.
void checkEarlierPositions(TChunkedFileState& File, std::size_t Index, std::uint64_t Offset,
                           const std::function<void(const QString&)>& Debug)
{
  const std::uint64_t Position = File.writtenEnd;
  std::size_t Check = 0;
  std::uint64_t CheckOffset = 0;
  while (Check < File.entry.chunks.size() && CheckOffset < Position) {
    CheckOffset += File.entry.chunks[Check].unpackedSize;
    ++Check;
  }
  while (Check < Index && CheckOffset < Offset) {
    const TChunkInPackage& Old = File.entry.chunks[Check];
    File.file.seek(qint64(CheckOffset));
    const QByteArray Existing = File.file.read(qint64(Old.unpackedSize));
    if (std::uint64_t(Existing.size()) != Old.unpackedSize)
      throwIo(File.file, "invalid old chunk");
    if (shared::TSha256::hash(Existing) != Old.unpackedHash) {
      Debug(QString("%1: check failed").arg(CheckOffset));
      throwIo(File.file, "invalid hash");
    }
    Debug(QString("%1: check succeeded").arg(CheckOffset));
    CheckOffset += Old.unpackedSize;
    ++Check;
  }
}

} // namespace

void TRateStatistic::addTotal(std::uint64_t Total)
{
  const std::uint64_t Delta = Total >= lastTotal ? Total - lastTotal : 0;
  lastTotal = Total;
  if (sampleCount == 0) {
    minimum = maximum = Delta;
    mean = double(Delta);
    sampleCount = 1;
    return;
  }
  const double Count = double(sampleCount);
  sampleCount += 1;
  minimum = std::min(minimum, Delta);
  maximum = std::max(maximum, Delta);
  mean = (Count * mean + double(Delta)) / (Count + 1);
  if (sampleCount > 30) {
    const std::uint64_t Restart = std::uint64_t(mean);
    sampleCount = 1;
    minimum = maximum = Restart;
    mean = double(Restart);
  }
}

TPackageFileDownloader::TPackageFileDownloader(std::shared_ptr<shared::TDownloadPool> DownloadPool,
                                               std::shared_ptr<TEngineFilesystemHelper> FilesystemHelper)
  : m_pDownloadPool(std::move(DownloadPool)), m_pLauncherFilesystemHelper(std::move(FilesystemHelper))
{
  registerLauncherMetaTypes();
  m_ProgressTimer.setInterval(100);
  connect(m_pDownloadPool.get(), &shared::TDownloadPool::delivered, this, &TPackageFileDownloader::onDownloadCompleted);
  connect(m_pDownloadPool.get(), &shared::TDownloadPool::failed, this, &TPackageFileDownloader::onDownloadFailed);
  connect(m_pDownloadPool.get(), &shared::TDownloadPool::progress, this,
          [this](const QUrl& Url, qlonglong Bytes) { onDownloadProgress(Url, TFileSize(std::max<qlonglong>(Bytes, 0))); });
  connect(&m_ProgressTimer, &QTimer::timeout, this, &TPackageFileDownloader::onProgressTick);
  connectBlockFetcher();
  connectPackFetcher();
  connectDictionaryFetcher();
}

std::shared_ptr<shared::TDownloadPool> TPackageFileDownloader::makePoolSharingTheLimit(bool ReleaseOnFinish) const
{
  auto Pool = std::make_shared<shared::TDownloadPool>(std::max(1, m_pDownloadPool->concurrencyLimit()),
                                                      shared::makeNetworkAccessManagerWrapper(), ReleaseOnFinish);
  Pool->shareLimitWith(*m_pDownloadPool);
  Pool->setTransferLimits(m_pDownloadPool->transferLimits());
  return Pool;
}

void TPackageFileDownloader::connectBlockFetcher()
{
  // Its own pool, since its answers are parts of chunk files, not chunk
  // files; it shares the limit of downloads with ours.
  m_pBlockFetcher = new TBlockFetcher(makePoolSharingTheLimit(true), this);
  connect(m_pBlockFetcher, &TBlockFetcher::prepared, this, &TPackageFileDownloader::onBlocksPrepared);
  connect(m_pBlockFetcher, &TBlockFetcher::assembled, this, [this](const QUrl& Url, const QByteArray& Content) {
    TChunkData Data;
    Data.content = std::make_shared<const TMemoryChunkContent>(Content);
    processDownloadedData(Url, Data, true, true);
  });
  connect(m_pBlockFetcher, &TBlockFetcher::wholeChunkFetched, this, &TPackageFileDownloader::onDownloadCompleted);
  connect(m_pBlockFetcher, &TBlockFetcher::fellBack, this, [this](const QUrl& Url) {
    const auto Found = findChunk(m_OutstandingChunks, Url);
    if (Found != m_OutstandingChunks.end())
      requestWhole(m_AllChunks[Found.value()]);
  });
  connect(m_pBlockFetcher, &TBlockFetcher::progress, this,
          [this](const QUrl& Url, qlonglong Bytes) { onDownloadProgress(Url, TFileSize(std::max<qlonglong>(Bytes, 0))); });
  connect(m_pBlockFetcher, &TBlockFetcher::oldBlocksRead, this, &TPackageFileDownloader::scanProgress);
}

void TPackageFileDownloader::connectPackFetcher()
{
  // Like the block fetcher's: answers for packs are not chunk files. A
  // pack keeps its place until its pieces are written.
  m_pPackFetcher = new TPackFetcher(makePoolSharingTheLimit(false), this);
  connect(m_pPackFetcher, &TPackFetcher::pieceFetched, this, [this](const QUrl& Url, const shared::TReplyBody& Body) {
    onDownloadProgress(Url, TFileSize(std::max<qint64>(Body.size, 0)));
    onDownloadCompleted(Url, Body);
  });
  connect(m_pPackFetcher, &TPackFetcher::pieceFailed, this, &TPackageFileDownloader::onDownloadFailed);
}

void TPackageFileDownloader::connectDictionaryFetcher()
{
  m_pDictionaryFetcher = new TDictionaryFetcher(makePoolSharingTheLimit(true), this);
  connect(m_pDictionaryFetcher, &TDictionaryFetcher::ready, this, &TPackageFileDownloader::onDictionaryReady);
  connect(m_pDictionaryFetcher, &TDictionaryFetcher::failed, this, &TPackageFileDownloader::onDictionaryFailed);
}

bool TPackageFileDownloader::requestDictionaries()
{
  std::map<QByteArray, std::shared_ptr<const TDictionaryInDescription>> Needed;
  for (const TChunkToDownload& Chunk : m_AllChunks) {
    if (Chunk.chunk.dictionary && m_OutstandingChunks.contains(Chunk.urlText))
      Needed.emplace(Chunk.chunk.dictionary->hash, Chunk.chunk.dictionary);
  }
  // Counted first: a dictionary at a URL that is refused fails at once.
  m_DictionariesPending = int(Needed.size());
  for (const auto& [Hash, Dictionary] : Needed)
    m_pDictionaryFetcher->fetch(Dictionary);
  return !Needed.empty();
}

void TPackageFileDownloader::onDictionaryReady(const QByteArray& Hash,
                                               std::shared_ptr<const shared::TZstdDictionary> Dictionary)
{
  for (TChunkToDownload& Chunk : m_AllChunks) {
    if (Chunk.chunk.dictionary && Chunk.chunk.dictionary->hash == Hash)
      Chunk.dictionary = Dictionary;
  }
  onDictionaryDone();
}

void TPackageFileDownloader::onDictionaryFailed(const QByteArray& Hash, const QString& Reason)
{
  qCritical().noquote() << QString("Download of dictionary %1 failed: %2").arg(QString::fromLatin1(Hash.toHex()), Reason);
  // The chunks packed with it cannot be decoded.
  for (const TChunkToDownload& Chunk : m_AllChunks) {
    if (Chunk.chunk.dictionary && Chunk.chunk.dictionary->hash == Hash &&
        m_OutstandingChunks.remove(Chunk.urlText) > 0)
      m_AtLeastOneDownloadFailed = true;
  }
  onDictionaryDone();
}

void TPackageFileDownloader::onDictionaryDone()
{
  if (m_DictionariesPending <= 0)
    return;
  if (--m_DictionariesPending == 0)
    requestAllowedChunks();
}

void TPackageFileDownloader::requestAllowedChunks()
{
  // While the block fetcher takes the blocks at hand out of the old data,
  // one place in the limit is left for its indexes.
  requestOutstandingChunks(m_WritesAllowed ? std::numeric_limits<int>::max()
                                           : m_pDownloadPool->concurrencyLimit() - 1);
}

void TPackageFileDownloader::requestWhole(const TChunkToDownload& Chunk)
{
  m_Requested.insert(Chunk.urlText);
  if (Chunk.chunk.inPack())
    m_pPackFetcher->fetch(Chunk.chunk);
  else
    m_pDownloadPool->download(Chunk.chunk.url, requestOptions(Chunk.chunk));
}

void TPackageFileDownloader::releaseChunk(const QUrl& Url)
{
  m_pDownloadPool->releaseUrl(Url);
  m_pPackFetcher->release(Url);
}

TPackageFileDownloader::~TPackageFileDownloader()
{
  // Worker tasks use the downloader's caches: none may outlive it.
  std::unique_lock<std::mutex> Lock(m_TasksMutex);
  m_TasksDone.wait(Lock, [this] { return m_TasksRunning == 0; });
}

std::int32_t TPackageFileDownloader::cachedChunkCount() const
{
  QMutexLocker Lock(&m_PendingChunkMutex);
  return m_CachedChunkCount;
}

std::int32_t TPackageFileDownloader::peakCachedChunkCount() const
{
  QMutexLocker Lock(&m_PendingChunkMutex);
  return m_PeakCachedChunkCount;
}

std::uint64_t TPackageFileDownloader::peakCachedChunkBytes() const
{
  QMutexLocker Lock(&m_PendingChunkMutex);
  return m_PeakCachedChunkBytes;
}

TPackageFileDownloader::TChunkMap::iterator TPackageFileDownloader::findChunk(TChunkMap& Chunks, const QUrl& Url)
{
  return Chunks.find(urlText(Url));
}

void TPackageFileDownloader::removeChunk(TChunkMap& Chunks, const QUrl& Url)
{
  Chunks.remove(urlText(Url));
}

void TPackageFileDownloader::downloadFiles(const QDir& TargetDirectory, EReplacementMode ReplacementMode,
                                           std::vector<TFileToDownload> Files,
                                           std::shared_ptr<const TOldBlocks> OldBlocks)
{
  startRun(TargetDirectory, ReplacementMode);
  QString Inconsistency;
  m_Files = makeFileStates(std::move(Files), Inconsistency);
  m_AllChunks = collectChunks(m_Files, Inconsistency);
  orderForDownload(m_AllChunks);
  m_PackedTotal = 0;
  m_UnpackedTotal = 0;
  m_ChunksWithBlocks.clear();
  for (std::size_t Index = 0; Index < m_AllChunks.size(); ++Index) {
    const TChunkInPackage& Chunk = m_AllChunks[Index].chunk;
    m_PackedTotal += Chunk.packedSize;
    m_UnpackedTotal += Chunk.unpackedSize;
    if (Chunk.offersBlocks())
      m_ChunksWithBlocks.push_back(Index);
  }
  qInfo().noquote() << QString("start download of %1 files%2").arg(m_AllChunks.size()).arg(threadTag());
  m_OutstandingChunks.clear();
  m_OutstandingChunks.reserve(int(m_AllChunks.size()));
  for (std::size_t Index = 0; Index < m_AllChunks.size(); ++Index)
    m_OutstandingChunks.insert(m_AllChunks[Index].urlText, Index);
  m_UnwrittenChunks = m_OutstandingChunks;
  m_ProgressTimer.start();

  if (!Inconsistency.isEmpty()) {
    // Its bookkeeping could not tell when such a run is complete: nothing is
    // fetched or written.
    qCritical().noquote() << QString("Download refused: %1").arg(Inconsistency);
    m_OutstandingChunks.clear();
    m_AtLeastOneDownloadFailed = true;
  }
  // Chunks that offer blocks are planned first: their blocks at hand are
  // taken out of the old data before anything is written over it.
  std::vector<TChunkInPackage> Records;
  for (const TChunkToDownload& Chunk : m_AllChunks) {
    if (Chunk.chunk.offersBlocks() && m_OutstandingChunks.contains(Chunk.urlText))
      Records.push_back(Chunk.chunk);
  }
  // Meanwhile the chunks fetched whole are downloaded and decoded, but
  // written only once the blocks at hand are taken; they keep their place
  // in the limit until then, so one place is left for the indexes.
  m_WritesAllowed = !m_pBlockFetcher->prepare(Records, std::move(OldBlocks));
  // Chunks packed with a dictionary are asked for once it has come, and the
  // others with them: a pack is then asked for in one request.
  if (!requestDictionaries())
    requestAllowedChunks();
}

void TPackageFileDownloader::onBlocksPrepared()
{
  m_WritesAllowed = true;
  std::vector<std::pair<QUrl, TChunkData>> Held;
  Held.swap(m_HeldSaves);
  for (const auto& [Url, Data] : Held)
    processDownloadedData(Url, Data, true, true);
  requestOutstandingChunks(std::numeric_limits<int>::max());
}

void TPackageFileDownloader::startRun(const QDir& TargetDirectory, EReplacementMode ReplacementMode)
{
  ++m_Run;
  m_RunFinished = false;
  m_TargetDirectory = TargetDirectory;
  m_ReplacementMode = ReplacementMode;
  std::atomic_store(&m_pSmallPieceWriteback,
                    std::make_shared<shared::TBackgroundWriteback>(TargetDirectory.absolutePath(),
                                                                   SmallPieceBytesWrittenOutTogether));
  const auto Settings = m_pLauncherFilesystemHelper->engineSettings();
  m_MaxCachedChunks = Settings->maxCachedChunks;
  m_MaxCachedBytes = std::uint64_t(std::max(Settings->maxCachedMegabytes, 0)) * 1024 * 1024;
  m_ChunkVerification = Settings->chunkVerification;
  m_CheckPackedHashes = !Settings->releaseKeys.isEmpty();
  m_pBlockFetcher->setOnlyCheckedRanges(m_CheckPackedHashes);
  m_pPackFetcher->clear();
  m_pDictionaryFetcher->clear();
  m_DictionariesPending = 0;
  {
    QMutexLocker Lock(&m_PendingChunkMutex);
    m_PendingChunks.clear();
    m_CachedChunkCount = 0;
    m_PeakCachedChunkCount = 0;
    m_CachedChunkBytes = 0;
    m_PeakCachedChunkBytes = 0;
  }
  m_AtLeastOneDownloadFailed = false;
  m_AtLeastOneSavingOperationFailed = false;
  m_WritesAllowed = true;
  for (const auto& Held : m_HeldSaves)
    releaseChunk(Held.first);
  m_HeldSaves.clear();
  m_Requested.clear();
  {
    QMutexLocker Lock(&m_FoldersMutex);
    m_Folders.clear();
  }
  m_DownloadedBytes.clear();
  m_WrittenBytes.clear();
  m_DownloadedTotal = 0;
  m_WrittenTotal = 0;
  {
    QMutexLocker Lock(&m_WrittenMutex);
    m_WrittenPositions.clear();
  }
}

std::vector<std::shared_ptr<TChunkedFileState>> TPackageFileDownloader::makeFileStates(
    std::vector<TFileToDownload> Files, QString& Inconsistency)
{
  std::vector<std::shared_ptr<TChunkedFileState>> States;
  States.reserve(Files.size());
  QSet<QString> Paths;
  Paths.reserve(int(Files.size()));
  for (TFileToDownload& Entry : Files) {
    auto State = std::make_shared<TChunkedFileState>();
    State->entry = std::move(Entry);
    const TFileToDownload& File = State->entry;
    State->chunkTableSize = File.chunks.size();
    for (std::int32_t Index : File.chunksToDownload) {
      if (Index >= 0 && std::size_t(Index) < File.chunks.size())
        State->pendingChunks.push_back(Index);
    }
    const QString Path = installationFilePath(*m_pLauncherFilesystemHelper, m_TargetDirectory, File.localFile);
    State->file.setFileName(Path);
    if (!Path.isEmpty() && Paths.contains(Path) && Inconsistency.isEmpty())
      Inconsistency = QString("the description names the file '%1' twice").arg(File.localFile);
    Paths.insert(Path);
    States.push_back(std::move(State));
  }
  return States;
}

std::vector<TChunkToDownload> TPackageFileDownloader::collectChunks(
    const std::vector<std::shared_ptr<TChunkedFileState>>& Files, QString& Inconsistency)
{
  std::vector<TChunkToDownload> Chunks;
  QHash<QString, std::size_t> ChunkByUrl;
  // Once for the whole list: tasks of an earlier run may still use the
  // pending chunks.
  QMutexLocker Lock(&m_PendingChunkMutex);
  for (const std::shared_ptr<TChunkedFileState>& State : Files) {
    // Most files are one piece: the set is made only for those of more.
    std::optional<QSet<QByteArray>> HashesSeen;
    if (State->pendingChunks.size() > 1)
      HashesSeen.emplace();
    for (std::int32_t Index : State->pendingChunks) {
      const TChunkInPackage& Record = State->entry.chunks[std::size_t(Index)];
      auto& Pending = m_PendingChunks[Record.unpackedHash];
      if (!Pending)
        Pending = std::make_shared<TPendingChunk>();
      Pending->referenceCount += 1;
      if (HashesSeen) {
        if (HashesSeen->contains(Record.unpackedHash))
          continue;
        HashesSeen->insert(Record.unpackedHash);
      }
      const QString Key = urlText(Record.url);
      auto Existing = ChunkByUrl.find(Key);
      if (Existing == ChunkByUrl.end()) {
        TChunkToDownload Chunk;
        Chunk.chunk = Record;
        Chunk.urlText = Key;
        Chunk.downloadKey = std::numeric_limits<std::uint64_t>::max();
        Existing = ChunkByUrl.insert(Key, Chunks.size());
        Chunks.push_back(std::move(Chunk));
      }
      TChunkToDownload& Chunk = Chunks[Existing.value()];
      // One URL is fetched once: it cannot serve two different contents.
      const TChunkInPackage& Known = Chunk.chunk;
      if ((Known.unpackedHash != Record.unpackedHash || Known.unpackedSize != Record.unpackedSize ||
           Known.unpack != Record.unpack) &&
          Inconsistency.isEmpty())
        Inconsistency = QString("the description gives %1 two different contents").arg(Key);
      if (std::find(Chunk.files.begin(), Chunk.files.end(), State) == Chunk.files.end())
        Chunk.files.push_back(State);
    }
  }
  return Chunks;
}

void TPackageFileDownloader::orderForDownload(std::vector<TChunkToDownload>& Chunks)
{
  // By the smallest offset at which a chunk's content is written, so that
  // chunks arrive roughly in file order.
  for (TChunkToDownload& Chunk : Chunks) {
    for (const auto& State : Chunk.files) {
      const auto& Table = State->entry.chunks;
      for (std::size_t Index = 0; Index < Table.size(); ++Index) {
        if (Table[Index].unpackedHash == Chunk.chunk.unpackedHash) {
          Chunk.downloadKey = std::min(Chunk.downloadKey, chunkOffset(State->entry, Index));
          break;
        }
      }
    }
  }
  std::stable_sort(Chunks.begin(), Chunks.end(), [](const TChunkToDownload& Left, const TChunkToDownload& Right) {
    return Left.downloadKey < Right.downloadKey;
  });
}

void TPackageFileDownloader::requestOutstandingChunks(int MaxRequests)
{
  if (m_DictionariesPending > 0)
    return;
  // By index, and only while the run lasts: a refused URL fails
  // synchronously and changes the outstanding list.
  const std::uint64_t Run = m_Run;
  for (std::size_t Index = 0; Index < m_AllChunks.size() && Run == m_Run; ++Index) {
    const TChunkToDownload& Chunk = m_AllChunks[Index];
    if (!m_OutstandingChunks.contains(Chunk.urlText) || m_Requested.contains(Chunk.urlText))
      continue;
    const QString Scheme = Chunk.chunk.url.scheme();
    if (Scheme != "http" && Scheme != "https") {
      // Package data comes only from web servers: a description must not
      // make the launcher read local files or devices.
      qCritical().noquote() << QString("Download of %1 refused: not an http or https URL").arg(Chunk.urlText);
      removeChunk(m_OutstandingChunks, Chunk.chunk.url);
      m_AtLeastOneDownloadFailed = true;
      continue;
    }
    if (m_pBlockFetcher->fetch(Chunk.chunk))
      continue;
    if (Chunk.chunk.inPack()) {
      // Pieces of packs are asked for pack by pack, once writing may begin
      // (they take no place in the limit until their pack is asked for).
      if (m_WritesAllowed) {
        qInfo().noquote() << QString("start download of %1%2").arg(Chunk.urlText, threadTag());
        requestWhole(Chunk);
      }
      continue;
    }
    if (MaxRequests-- <= 0)
      break;
    qInfo().noquote() << QString("start download of %1%2").arg(Chunk.urlText, threadTag());
    requestWhole(Chunk);
  }
  if (m_OutstandingChunks.empty())
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

shared::TRequestOptions TPackageFileDownloader::requestOptions(const TChunkInPackage& Chunk) const
{
  shared::TRequestOptions Options;
  Options.maxBodyBytes = Chunk.maxDownloadBytes();
  Options.bodyFileThreshold = MaxChunkBytesInMemory;
  Options.document = false;
  return Options;
}

void TPackageFileDownloader::onDownloadCompleted(const QUrl& Url, const shared::TReplyBody& Body)
{
  qInfo().noquote() << QString("onDownloadCompleted %1%2").arg(urlText(Url), threadTag());
  TChunkData Data;
  Data.body = Body;
  processDownloadedData(Url, Data, false, false);
}

void TPackageFileDownloader::processDownloadedData(const QUrl& Url, const TChunkData& Data, bool Decompressed,
                                                   bool Verified)
{
  auto Found = findChunk(m_OutstandingChunks, Url);
  if (Found == m_OutstandingChunks.end()) {
    releaseChunk(Url);
    return;
  }
  const TChunkToDownload Chunk = m_AllChunks[Found.value()];
  const bool Unpacked = Decompressed || !Chunk.chunk.unpack;
  // The steps that remain run one after the other in one task: a chunk
  // does not wait for the GUI thread between them, and its data is still in
  // the cache when the next step reads it.
  const bool CheckPacked = !Unpacked && m_CheckPackedHashes && !Data.packedChecked;
  const EProcessingStep First = CheckPacked ? EProcessingStep::CheckPacked
                                : !Unpacked ? EProcessingStep::Decompress
                                : !Verified ? EProcessingStep::Verify
                                            : EProcessingStep::Save;
  if (First == EProcessingStep::Save && !m_WritesAllowed) {
    m_HeldSaves.emplace_back(Url, Data);
    return;
  }
  qInfo().noquote() << QString("processDownloadedData %1 %2%3").arg(stepName(First), urlText(Url), threadTag());
  const std::uint64_t Run = m_Run;
  const bool MaySave = m_WritesAllowed;
  {
    std::lock_guard<std::mutex> Lock(m_TasksMutex);
    ++m_TasksRunning;
  }
  QThreadPool::globalInstance()->start([this, Chunk, Data, First, MaySave, Url, Run] {
    TStepsDone Done = processChunk(Chunk, Data, First, MaySave);
    finishTask(TFinishedTask{Url, Run, std::move(Done)});
  });
}

void TPackageFileDownloader::finishTask(TFinishedTask Task)
{
  // Tasks end in thousands: the downloader's thread hears of them in
  // batches, one wake-up for all that end while it is busy.
  bool Wake = false;
  {
    std::lock_guard<std::mutex> Lock(m_TasksMutex);
    Wake = m_FinishedTasks.empty();
    m_FinishedTasks.push_back(std::move(Task));
  }
  if (Wake)
    QMetaObject::invokeMethod(this, &TPackageFileDownloader::takeFinishedTasks, Qt::QueuedConnection);
  std::lock_guard<std::mutex> Lock(m_TasksMutex);
  --m_TasksRunning;
  m_TasksDone.notify_all();
}

void TPackageFileDownloader::takeFinishedTasks()
{
  std::vector<TFinishedTask> Finished;
  {
    std::lock_guard<std::mutex> Lock(m_TasksMutex);
    Finished.swap(m_FinishedTasks);
  }
  for (TFinishedTask& Task : Finished) {
    if (Task.run != m_Run) {
      releaseChunk(Task.url);
      continue;
    }
    if (Task.done.failed)
      onStepFailed(*Task.done.failed, Task.url);
    else if (!Task.done.saved)
      processDownloadedData(Task.url, Task.done.data, true, true);  // writes were not allowed yet
    else
      processFinishedData(Task.url);
  }
}

TPackageFileDownloader::TStepsDone TPackageFileDownloader::processChunk(const TChunkToDownload& Chunk, TChunkData Data,
                                                                        EProcessingStep First, bool MaySave)
{
  const QString Url = Chunk.urlText;
  // Runs one step; an exception is logged with its text and fails the step.
  const auto Run = [&](EProcessingStep Step, const auto& Function) {
    try {
      Function();
      qInfo().noquote() << QString("processDownloadedData %1 finished %2%3").arg(stepName(Step), Url, threadTag());
      return true;
    } catch (const std::exception& Error) {
      qWarning().noquote() << QString("%1DownloadedData %2: %3%4")
                                  .arg(Step == EProcessingStep::CheckPacked  ? "checkPacked"
                                       : Step == EProcessingStep::Decompress ? "decompress"
                                       : Step == EProcessingStep::Verify     ? "verify"
                                                                             : "save",
                                       Url, QString::fromUtf8(Error.what()), threadTag());
      return false;
    }
  };
  TStepsDone Done;
  const bool Decode = First == EProcessingStep::CheckPacked || First == EProcessingStep::Decompress;
  if (First == EProcessingStep::CheckPacked &&
      !Run(EProcessingStep::CheckPacked, [&] { Data = checkPackedData(Chunk, std::move(Data)); }))
    Done.failed = EProcessingStep::CheckPacked;
  else if (Decode &&
           !Run(EProcessingStep::Decompress, [&] { Data = decompressDownloadedData(Chunk, std::move(Data)); }))
    Done.failed = EProcessingStep::Decompress;
  else if (First != EProcessingStep::Save &&
           !Run(EProcessingStep::Verify, [&] { Data = verifyDownloadedData(Chunk, std::move(Data)); }))
    Done.failed = EProcessingStep::Verify;
  else if (!MaySave)
    Done.data = std::move(Data);
  else if (!Run(EProcessingStep::Save, [&] { saveDownloadedData(Chunk, Data.content); }))
    Done.failed = EProcessingStep::Save;
  else
    Done.saved = true;
  return Done;
}

const char* TPackageFileDownloader::stepName(EProcessingStep Step)
{
  switch (Step) {
  case EProcessingStep::CheckPacked:
    return "check packed";
  case EProcessingStep::Decompress:
    return "decompress";
  case EProcessingStep::Verify:
    return "verify";
  case EProcessingStep::Save:
    break;
  }
  return "save";
}

void TPackageFileDownloader::onStepFailed(EProcessingStep Step, const QUrl& Url)
{
  switch (Step) {
  case EProcessingStep::CheckPacked:
  case EProcessingStep::Verify:
    // A chunk that does not match its hash may have been damaged on the way.
    qWarning().noquote() << QString("Failed to verify file downloaded from %1").arg(urlText(Url));
    releaseChunk(Url);
    applyRetryRule(Url, QString("Verify of %1 failed.").arg(urlText(Url)));
    break;
  case EProcessingStep::Decompress:
    qWarning().noquote() << QString("Failed to decompress file downloaded from %1").arg(urlText(Url));
    releaseChunk(Url);
    removeChunk(m_OutstandingChunks, Url);
    m_AtLeastOneDownloadFailed = true;
    break;
  case EProcessingStep::Save:
    qWarning().noquote() << QString("Failed to save file downloaded from %1%2").arg(urlText(Url), threadTag());
    releaseChunk(Url);
    removeChunk(m_OutstandingChunks, Url);
    m_AtLeastOneSavingOperationFailed = true;
    break;
  }
  emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

TChunkData TPackageFileDownloader::verifyDownloadedData(const TChunkToDownload& Chunk, TChunkData Data) const
{
  qDebug().noquote() << QString("verifyDownloadedData %1 started%2").arg(Chunk.urlText, threadTag());
  if (!Data.content)
    Data.content = contentOfBody(Data.body);
  Data.body = shared::TReplyBody();
  const QByteArray Hash = Data.sha256.isEmpty() ? Data.content->sha256() : Data.sha256;
  if (Hash != Chunk.chunk.unpackedHash) {
    qInfo().noquote() << "saveDownloadedData failed: invalid hash";
    throw std::runtime_error(QString("verify of url '%1' failed").arg(Chunk.urlText).toStdString());
  }
  qDebug().noquote() << QString("verifyDownloadedData %1 finished%2").arg(Chunk.urlText, threadTag());
  return Data;
}

TChunkData TPackageFileDownloader::checkPackedData(const TChunkToDownload& Chunk, TChunkData Data) const
{
  if (std::uint64_t(std::max<qint64>(Data.body.size, 0)) != Chunk.chunk.packedSize ||
      contentOfBody(Data.body)->sha256() != Chunk.chunk.packedHash)
    throw std::runtime_error(
        QString("the body of '%1' is not the packed data its description names").arg(Chunk.urlText).toStdString());
  Data.packedChecked = true;
  return Data;
}

TChunkData TPackageFileDownloader::decompressDownloadedData(const TChunkToDownload& Chunk, TChunkData Data) const
{
  qDebug().noquote() << QString("decompressDownloadedData %1 started%2").arg(Chunk.urlText, threadTag());
  // A container that declares more than the chunk's size cannot hold the
  // chunk: it is refused before anything is allocated for it.
  const std::uint64_t Limit = Chunk.chunk.unpackedSize > 0 ? Chunk.chunk.unpackedSize : shared::kMaxUnpackedPayloadSize;
  if (Chunk.chunk.dictionary && !Chunk.dictionary)
    throw shared::TDecompressionError("its dictionary has not been fetched");
  TUnpackedChunk Unpacked = unpackChunk(Data.body, Limit, std::uint64_t(MaxChunkBytesInMemory), Chunk.dictionary.get());
  TChunkData Result;
  Result.content = std::move(Unpacked.content);
  Result.sha256 = std::move(Unpacked.sha256);
  qDebug().noquote() << QString("decompressDownloadedData %1 finished%2").arg(Chunk.urlText, threadTag());
  return Result;
}

// The debug log of a file being written ("<file>.log"), with the
// "chunkVerification" setting only; the first use in a run starts it anew.
class TPackageFileDownloader::TChunkDebugLog
{
public:
  TChunkDebugLog(TChunkedFileState& File, bool Enabled)
  {
    if (!Enabled)
      return;
    m_File.setFileName(File.file.fileName() + ".log");
    if (!File.debugLogStarted) {
      File.debugLogStarted = true;
      m_File.remove();
    }
    if (m_File.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
      m_Stream.setDevice(&m_File);
  }

  void write(const QString& Line)
  {
    if (m_Stream.device())
      m_Stream << Line << "\n";
  }

private:
  QFile m_File;
  QTextStream m_Stream;
};

void TPackageFileDownloader::saveDownloadedData(const TChunkToDownload& Chunk, std::shared_ptr<const TChunkContent> Content)
{
  qInfo().noquote() << QString("saveDownloadedData chunk %1%2").arg(Chunk.urlText, threadTag());
  bool Cached = false;
  for (const std::shared_ptr<TChunkedFileState>& File : Chunk.files) {
    QMutexLocker FileLock(&File->mutex);
    prepareTarget(*File);
    bool AllWritten = false;
    try {
      AllWritten = writePendingPositions(*File, Chunk, Content);
    } catch (...) {
      File->file.close();
      throw;
    }
    closeTarget(*File);
    if (!AllWritten && !Cached)
      Cached = cacheForLaterPositions(*File, Chunk, Content);
  }
}

void TPackageFileDownloader::prepareTarget(TChunkedFileState& File)
{
  const QString Path = File.file.fileName();
  if (Path.isEmpty())
    throw std::runtime_error(QString("Invalid file name '%1'").arg(File.entry.localFile).toStdString());
  if (File.prepared)
    return;
  if (File.pendingChunks.size() == File.chunkTableSize) {
    // Written from scratch: nothing of the old file is kept. During a
    // self-update an existing file is moved aside instead, so that the
    // running launcher can be restored when the update fails.
    bool MovedAside = false;
    if (m_ReplacementMode == EReplacementMode::MoveReplacedFilesAside && QFileInfo(Path).isFile()) {
      m_pLauncherFilesystemHelper->removePath(Path + ".old");
      try {
        m_pLauncherFilesystemHelper->movePath(Path, Path + ".old");
        MovedAside = true;
      } catch (const std::runtime_error&) {
      }
    }
    if (!MovedAside)
      m_pLauncherFilesystemHelper->removePath(Path);
  }
  ensureFolder(QFileInfo(Path).absolutePath());
  File.prepared = true;
}

void TPackageFileDownloader::ensureFolder(const QString& Folder)
{
  // Thousands of files share a few folders: each is made (or found) once.
  {
    QMutexLocker Lock(&m_FoldersMutex);
    if (m_Folders.contains(Folder))
      return;
  }
  m_pLauncherFilesystemHelper->ensureDirectory(Folder);
  QMutexLocker Lock(&m_FoldersMutex);
  m_Folders.insert(Folder);
}

bool TPackageFileDownloader::writePendingPositions(TChunkedFileState& File, const TChunkToDownload& Chunk,
                                                   const std::shared_ptr<const TChunkContent>& Content)
{
  TChunkDebugLog Debug(File, m_ChunkVerification);
  while (!File.pendingChunks.empty()) {
    const std::int32_t Index = File.pendingChunks.front();
    const TChunkInPackage& Entry = File.entry.chunks[std::size_t(Index)];
    const std::optional<TWriteSource> Source = takeSource(Entry, Chunk, Content);
    if (!Source) {
      qInfo().noquote() << QString("saveDownloadedData chunk %1 not found for %2. => Wait for chunk%3")
                               .arg(Chunk.urlText, File.file.fileName(), threadTag());
      return false;
    }
    writePosition(File, Index, *Source, Debug);
    releaseSource(Entry, *Source);
    noteWritten(Entry.url, Entry.unpackedSize);
    File.pendingChunks.pop_front();
  }
  return true;
}

std::optional<TPackageFileDownloader::TWriteSource> TPackageFileDownloader::takeSource(
    const TChunkInPackage& Entry, const TChunkToDownload& Chunk, const std::shared_ptr<const TChunkContent>& Content)
{
  QMutexLocker Lock(&m_PendingChunkMutex);
  std::shared_ptr<TPendingChunk> Pending = m_PendingChunks.value(Entry.unpackedHash);
  if (Entry.unpackedHash == Chunk.chunk.unpackedHash)
    return TWriteSource{Content, Pending, TWriteSource::EOrigin::FreshData};
  if (!Pending || !Pending->content)
    return std::nullopt;
  const auto Origin =
      Pending->content->inMemory() ? TWriteSource::EOrigin::MemoryCache : TWriteSource::EOrigin::SpillFile;
  return TWriteSource{Pending->content, Pending, Origin};
}

void TPackageFileDownloader::writePosition(TChunkedFileState& File, std::int32_t Index, const TWriteSource& Source,
                                           TChunkDebugLog& Debug)
{
  const TChunkInPackage& Entry = File.entry.chunks[std::size_t(Index)];
  // Unbuffered: every write reaches the kernel at once, so that a failing
  // one (a full disk) is seen here and not lost in a later flush.
  if (!File.file.isOpen() && !File.file.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
    throwIo(File.file, "couldn't open target file");
  const std::uint64_t Offset = chunkOffset(File.entry, std::size_t(Index));
  if (m_ChunkVerification)
    checkEarlierPositions(File, std::size_t(Index), Offset, [&](const QString& Line) { Debug.write(Line); });
  if (Source.content->size() != Entry.unpackedSize)
    throwIo(File.file, "couldn't write chunk file");
  Source.content->copyTo(File.file, Offset);
  // The disk takes the data while the next chunks arrive, so that the flush
  // before the full marker has little left to wait for. Small pieces go
  // many at a time: a system call each costs more than the flush saves.
  if (Entry.unpackedSize >= MinBytesWrittenOutAtOnce)
    shared::startWritingToDisk(File.file, qint64(Offset), qint64(Entry.unpackedSize));
  else if (const auto Writeback = std::atomic_load(&m_pSmallPieceWriteback))
    Writeback->written(Entry.unpackedSize);
  File.writtenEnd = Offset + Entry.unpackedSize;

  using EOrigin = TWriteSource::EOrigin;
  const char* Middle = Source.origin == EOrigin::FreshData     ? " to "
                       : Source.origin == EOrigin::MemoryCache ? " from cache to "
                                                               : " from temp file to ";
  qInfo().noquote() << QString("saveDownloadedData chunk %1%2%3 offset: %4%5")
                           .arg(urlText(Entry.url), Middle, File.file.fileName())
                           .arg(Offset)
                           .arg(threadTag());
  if (!m_ChunkVerification)
    return;
  const bool Correct = Source.content->sha256() == Entry.unpackedHash;
  const char* Text = Source.origin == EOrigin::FreshData     ? (Correct ? ": write succeeded" : ": write failed")
                     : Source.origin == EOrigin::MemoryCache ? (Correct ? ": write cache correct" : ": write cache invalid")
                                                             : (Correct ? ": write tmp file correct" : ": write tmp file invalid");
  Debug.write(QString("%1%2").arg(Offset).arg(Text));
  if (Source.origin == EOrigin::SpillFile && !Correct)
    throwIo(File.file, "invalid hash");
}

void TPackageFileDownloader::releaseSource(const TChunkInPackage& Entry, const TWriteSource& Source)
{
  // Every written position counts against the content's references; the
  // cached copy is dropped with the last one.
  if (!Source.pending)
    return;
  QMutexLocker Lock(&m_PendingChunkMutex);
  Source.pending->referenceCount -= 1;
  if (Source.pending->referenceCount > 0)
    return;
  if (Source.pending->state() == EPendingChunkState::InMemory) {
    m_CachedChunkCount -= 1;
    m_CachedChunkBytes -= Source.pending->content->size();
  }
  Source.pending->content.reset();
  m_PendingChunks.remove(Entry.unpackedHash);
}

void TPackageFileDownloader::closeTarget(TChunkedFileState& File)
{
  if (!File.file.isOpen())
    return;
  if (!File.pendingChunks.empty()) {
    // Unbuffered: the data is with the kernel already.
    File.file.close();
    shared::throwOnFileError(File.file);
    return;
  }
  if (File.entry.cutWhenWritten && std::uint64_t(File.file.size()) > File.entry.unpackedSize &&
      !File.file.resize(qint64(File.entry.unpackedSize)))
    throwIo(File.file, "couldn't cut the file to its size");
  // Not flushed here: its pieces went to the disk as they were written, and
  // the installation flushes every file before its full marker.
  File.file.close();
  shared::throwOnFileError(File.file);
  if (File.entry.executable &&
      !File.file.setPermissions(File.file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                QFileDevice::ExeOther))
    throwIo(File.file, "couldn't make the file executable");
}

bool TPackageFileDownloader::cacheForLaterPositions(const TChunkedFileState& File, const TChunkToDownload& Chunk,
                                                    const std::shared_ptr<const TChunkContent>& Content)
{
  const QByteArray& Hash = Chunk.chunk.unpackedHash;
  const bool NeededLater = std::any_of(File.pendingChunks.begin(), File.pendingChunks.end(), [&](std::int32_t Index) {
    return File.entry.chunks[std::size_t(Index)].unpackedHash == Hash;
  });
  if (!NeededLater)
    return false;
  QMutexLocker Lock(&m_PendingChunkMutex);
  const std::shared_ptr<TPendingChunk> Pending = m_PendingChunks.value(Hash);
  if (!Pending)
    throw std::runtime_error("couldn't find pending chunk");
  if (Pending->content)
    return true;
  const bool Room =
    m_CachedChunkCount <= m_MaxCachedChunks && m_CachedChunkBytes + Content->size() <= m_MaxCachedBytes;
  if (!Content->inMemory() || Room) {
    if (Content->inMemory()) {
      m_CachedChunkCount += 1;
      m_PeakCachedChunkCount = std::max(m_PeakCachedChunkCount, m_CachedChunkCount);
      m_CachedChunkBytes += Content->size();
      m_PeakCachedChunkBytes = std::max(m_PeakCachedChunkBytes, m_CachedChunkBytes);
    }
    Pending->content = Content;
    return true;
  }
  // Too many or too many bytes held in memory: this one waits in a spill
  // file, written without holding up the other threads.
  Lock.unlock();
  std::shared_ptr<const TChunkContent> Spill = TFileChunkContent::spill(*Content);
  Lock.relock();
  if (!Pending->content)
    Pending->content = std::move(Spill);
  return true;
}

void TPackageFileDownloader::processFinishedData(const QUrl& Url)
{
  qInfo().noquote() << QString("processFinishedData: %1%2").arg(urlText(Url), threadTag());
  releaseChunk(Url);
  if (findChunk(m_OutstandingChunks, Url) != m_OutstandingChunks.end()) {
    qInfo().noquote() << QString("processFinishedData found: %1%2").arg(urlText(Url), threadTag());
    removeChunk(m_OutstandingChunks, Url);
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
  }
}

void TPackageFileDownloader::applyRetryRule(const QUrl& Url, const QString& FinalMessage)
{
  auto Found = findChunk(m_OutstandingChunks, Url);
  if (Found == m_OutstandingChunks.end())
    return;
  TChunkToDownload& Chunk = m_AllChunks[Found.value()];
  if (Chunk.retryCount > 2) {
    qCritical().noquote() << FinalMessage;
    m_OutstandingChunks.erase(Found);
    m_AtLeastOneDownloadFailed = true;
    return;
  }
  qInfo().noquote() << QString("Retry %1%2").arg(urlText(Url), threadTag());
  Chunk.retryCount += 1;
  requestWhole(Chunk);
}

void TPackageFileDownloader::onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code,
                                              const QString& ErrorString)
{
  Q_UNUSED(Code);
  qInfo().noquote() << QString("onDownloadFailed %1%2").arg(urlText(Url), threadTag());
  releaseChunk(Url);
  const bool WasOutstanding = findChunk(m_OutstandingChunks, Url) != m_OutstandingChunks.end();
  applyRetryRule(Url, QString("Download of %1 failed: %2").arg(urlText(Url), ErrorString));
  if (WasOutstanding && findChunk(m_OutstandingChunks, Url) == m_OutstandingChunks.end())
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::onDownloadProgress(const QUrl& Url, TFileSize DownloadedBytes)
{
  if (findChunk(m_OutstandingChunks, Url) != m_OutstandingChunks.end())
  {
    TFileSize& Known = m_DownloadedBytes[Url];
    m_DownloadedTotal += DownloadedBytes - Known;
    Known = DownloadedBytes;
  }
}

void TPackageFileDownloader::onWriteProgress(const QUrl& Url, TFileSize DownloadedBytes)
{
  auto Found = findChunk(m_UnwrittenChunks, Url);
  if (Found == m_UnwrittenChunks.end())
    return;
  m_WrittenBytes[Url] = DownloadedBytes;
  m_WrittenTotal += DownloadedBytes;
  m_UnwrittenChunks.erase(Found);
}

void TPackageFileDownloader::noteWritten(const QUrl& Url, TFileSize Bytes)
{
  QMutexLocker Lock(&m_WrittenMutex);
  m_WrittenPositions.emplace_back(Url, Bytes);
}

void TPackageFileDownloader::takeWrittenPositions()
{
  std::vector<std::pair<QUrl, TFileSize>> Written;
  {
    QMutexLocker Lock(&m_WrittenMutex);
    Written.swap(m_WrittenPositions);
  }
  for (const auto& [Url, Bytes] : Written)
    onWriteProgress(Url, Bytes);
}

void TPackageFileDownloader::emitProgress()
{
  takeWrittenPositions();
  // Sums kept as the figures come: a tick does not walk tens of thousands
  // of chunks, only those that may be fetched by blocks.
  const TFileSize Downloaded = m_DownloadedTotal;
  const TFileSize Written = m_WrittenTotal;
  TFileSize TotalToDownload = m_PackedTotal;
  for (const std::size_t Index : m_ChunksWithBlocks) {
    const TChunkInPackage& Chunk = m_AllChunks[Index].chunk;
    TotalToDownload = TotalToDownload - Chunk.packedSize + m_pBlockFetcher->plannedBytes(Chunk.url).value_or(Chunk.packedSize);
  }
  const TFileSize TotalToWrite = m_UnpackedTotal;
  m_DownloadRate.addTotal(Downloaded);
  m_WriteRate.addTotal(Written);
  emit progress(Downloaded, TotalToDownload, Written, TotalToWrite);
}

void TPackageFileDownloader::onProgressTick()
{
  // While blocks of the old data are read, that is what the run does.
  const TBlockFetcher::TReading Reading = m_pBlockFetcher->oldBlocksReading();
  if (Reading.active) {
    emit scanProgress(Reading.bytesRead, Reading.bytesToRead);
    return;
  }
  emitProgress();
}

QString TPackageFileDownloader::incompleteFile() const
{
  for (const std::shared_ptr<TChunkedFileState>& File : m_Files) {
    QMutexLocker Lock(&File->mutex);
    if (!File->pendingChunks.empty()) {
      return QString("%1 pieces of '%2' were not written")
          .arg(File->pendingChunks.size())
          .arg(File->entry.localFile);
    }
  }
  return QString();
}

void TPackageFileDownloader::emitFinishedSignalWhenNoMoreFilesAreOutstanding()
{
  qInfo().noquote() << QString("emitFinishedSignalWhenNoMoreFilesAreOutstanding ActiveDownloads: %1 FilesInProgress: %2 "
                               "AtLeastOneDownloadFailed %3 AtLeastOneSavingOperationFailed %4%5")
                           .arg(m_pDownloadPool->activeDownloadCount())
                           .arg(m_OutstandingChunks.size())
                           .arg(m_AtLeastOneDownloadFailed ? "true" : "false")
                           .arg(m_AtLeastOneSavingOperationFailed ? "true" : "false")
                           .arg(threadTag());
  if (!m_OutstandingChunks.empty() || m_RunFinished)
    return;
  m_RunFinished = true;
  m_ProgressTimer.stop();
  emitProgress();
  m_pBlockFetcher->clear();
  m_pPackFetcher->clear();
  const QString Incomplete = incompleteFile();
  if (!m_AtLeastOneDownloadFailed && !m_AtLeastOneSavingOperationFailed && !Incomplete.isEmpty()) {
    qCritical().noquote() << QString("Download incomplete: %1").arg(Incomplete);
    m_AtLeastOneDownloadFailed = true;
  }
  if (m_AtLeastOneDownloadFailed)
    emit downloadFailed(DownloadFailed);
  else if (m_AtLeastOneSavingOperationFailed)
    emit downloadFailed(SaveFailed);
  else
    emit downloadCompleted();
}

} // namespace orvale::launcher
