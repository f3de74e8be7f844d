#include "launcher/packagefiledownloader.h"

#include "launcher/logging.h"
#include "shared/downloadpool.h"
#include "shared/filesystemhelper.h"
#include "shared/memoryblob.h"
#include "shared/payload.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QMutexLocker>
#include <QTextStream>
#include <QtConcurrent>

#include <algorithm>
#include <stdexcept>

namespace orvale::launcher {

namespace {

QString urlText(const QUrl& Url)
{
  return Url.toString();
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

// Runs Function on the global thread pool; an exception is logged with its
// text and ends the future as canceled.
template <typename TFunction>
auto runLogged(const QString& What, TFunction Function) -> QFuture<decltype(Function())>
{
  return QtConcurrent::run([What, Function]() mutable {
    try {
      return Function();
    } catch (const std::exception& Error) {
      qWarning().noquote() << QString("%1: %2%3").arg(What, QString::fromUtf8(Error.what()), threadTag());
      throw;
    }
  });
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
                                               std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
  : m_pDownloadPool(std::move(DownloadPool)), m_pLauncherFilesystemHelper(std::move(FilesystemHelper))
{
  registerLauncherMetaTypes();
  m_ProgressTimer.setInterval(100);
  connect(m_pDownloadPool.get(), &shared::TDownloadPool::success, this, &TPackageFileDownloader::onDownloadCompleted);
  connect(m_pDownloadPool.get(), &shared::TDownloadPool::failed, this, &TPackageFileDownloader::onDownloadFailed);
  connect(m_pDownloadPool.get(), &shared::TDownloadPool::progress, this,
          [this](const QUrl& Url, qlonglong Bytes) { onDownloadProgress(Url, TFileSize(std::max<qlonglong>(Bytes, 0))); });
  connect(this, &TPackageFileDownloader::writeProgress, this, &TPackageFileDownloader::onWriteProgress,
          Qt::QueuedConnection);
  connect(&m_ProgressTimer, &QTimer::timeout, this, &TPackageFileDownloader::onProgressTick);
}

TPackageFileDownloader::~TPackageFileDownloader()
{
  // Worker tasks use the downloader's caches: none may outlive it.
  for (QFutureWatcherBase* Watcher : findChildren<QFutureWatcherBase*>())
    Watcher->waitForFinished();
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

std::vector<TChunkToDownload>::iterator TPackageFileDownloader::findChunk(std::vector<TChunkToDownload>& Chunks,
                                                                          const QUrl& Url)
{
  const QString Key = urlText(Url);
  auto Found = std::lower_bound(Chunks.begin(), Chunks.end(), Key, [](const TChunkToDownload& Chunk, const QString& Text) {
    return urlText(Chunk.chunk.url) < Text;
  });
  if (Found != Chunks.end() && urlText(Found->chunk.url) == Key)
    return Found;
  return Chunks.end();
}

void TPackageFileDownloader::removeChunk(std::vector<TChunkToDownload>& Chunks, const QUrl& Url)
{
  auto Found = findChunk(Chunks, Url);
  if (Found != Chunks.end())
    Chunks.erase(Found);
}

void TPackageFileDownloader::downloadFiles(const QDir& TargetDirectory, std::int32_t ReplacementMode,
                                           const std::vector<TFileToDownload>& Files)
{
  ++m_Run;
  m_RunFinished = false;
  m_TargetDirectory = TargetDirectory;
  m_ReplacementMode = ReplacementMode;
  const auto Settings = m_pLauncherFilesystemHelper->launcherSettings();
  m_MaxCachedChunks = Settings->maxCachedChunks;
  m_ChunkVerification = Settings->chunkVerification;
  {
    QMutexLocker Lock(&m_PendingChunkMutex);
    m_PendingChunks.clear();
    m_CachedChunkCount = 0;
    m_PeakCachedChunkCount = 0;
  }

  std::vector<TChunkToDownload> Chunks;
  QHash<QString, std::size_t> ChunkByUrl;
  for (const TFileToDownload& File : Files) {
    auto State = std::make_shared<TChunkedFileState>();
    State->entry = File;
    State->chunkTableSize = File.chunks.size();
    for (std::int32_t Index : File.chunksToDownload) {
      if (Index >= 0 && std::size_t(Index) < File.chunks.size())
        State->pendingChunks.push_back(Index);
    }
    State->file.setFileName(installationFilePath(*m_pLauncherFilesystemHelper, TargetDirectory, File.localFile));

    QSet<QByteArray> HashesSeen;
    for (std::int32_t Index : State->pendingChunks) {
      const TChunkInPackage& Record = File.chunks[std::size_t(Index)];
      {
        QMutexLocker Lock(&m_PendingChunkMutex);
        auto& Pending = m_PendingChunks[Record.unpackedHash];
        if (!Pending)
          Pending = std::make_shared<TPendingChunk>();
        Pending->referenceCount += 1;
      }
      if (HashesSeen.contains(Record.unpackedHash))
        continue;
      HashesSeen.insert(Record.unpackedHash);
      const QString Key = urlText(Record.url);
      auto Existing = ChunkByUrl.find(Key);
      if (Existing == ChunkByUrl.end()) {
        TChunkToDownload Chunk;
        Chunk.chunk = Record;
        Chunk.downloadKey = std::numeric_limits<std::uint64_t>::max();
        ChunkByUrl.insert(Key, Chunks.size());
        Chunks.push_back(std::move(Chunk));
        Existing = ChunkByUrl.find(Key);
      }
      TChunkToDownload& Chunk = Chunks[Existing.value()];
      if (std::find(Chunk.files.begin(), Chunk.files.end(), State) == Chunk.files.end())
        Chunk.files.push_back(State);
    }
  }

  // Download order: by the smallest offset at which a chunk's content is
  // written, so that chunks arrive roughly in file order.
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
  m_AllChunks = Chunks;
  qInfo().noquote() << QString("start download of %1 files%2").arg(m_AllChunks.size()).arg(threadTag());
  m_OutstandingChunks = m_AllChunks;
  std::sort(m_OutstandingChunks.begin(), m_OutstandingChunks.end(),
            [](const TChunkToDownload& Left, const TChunkToDownload& Right) {
              return urlText(Left.chunk.url) < urlText(Right.chunk.url);
            });
  m_UnwrittenChunks = m_OutstandingChunks;
  m_AtLeastOneDownloadFailed = false;
  m_AtLeastOneSavingOperationFailed = false;
  m_DownloadedBytes.clear();
  m_WrittenBytes.clear();
  m_ProgressTimer.start();

  if (m_OutstandingChunks.empty()) {
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    return;
  }
  // Copy: a refused URL fails synchronously and changes the outstanding list.
  const std::vector<TChunkToDownload> Order = m_AllChunks;
  for (const TChunkToDownload& Chunk : Order) {
    const QString Scheme = Chunk.chunk.url.scheme();
    if (Scheme != "http" && Scheme != "https") {
      // Package data comes only from web servers: a description must not
      // make the launcher read local files or devices.
      qCritical().noquote() << QString("Download of %1 refused: not an http or https URL").arg(urlText(Chunk.chunk.url));
      removeChunk(m_OutstandingChunks, Chunk.chunk.url);
      m_AtLeastOneDownloadFailed = true;
      continue;
    }
    qInfo().noquote() << QString("start download of %1%2").arg(urlText(Chunk.chunk.url), threadTag());
    m_pDownloadPool->download(Chunk.chunk.url, Chunk.chunk.maxDownloadBytes());
  }
  if (m_OutstandingChunks.empty())
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::onDownloadCompleted(const QUrl& Url, const QByteArray& Data)
{
  qInfo().noquote() << QString("onDownloadCompleted %1%2").arg(urlText(Url), threadTag());
  processDownloadedData(Url, Data, false, false);
}

void TPackageFileDownloader::processDownloadedData(const QUrl& Url, const QByteArray& Data, bool Decompressed,
                                                   bool Verified)
{
  auto Found = findChunk(m_OutstandingChunks, Url);
  if (Found == m_OutstandingChunks.end()) {
    m_pDownloadPool->releaseUrl(Url);
    return;
  }
  const TChunkToDownload Chunk = *Found;
  const std::uint64_t Run = m_Run;
  const bool Packed = Chunk.chunk.unpack;

  if (Verified && (Decompressed || !Packed)) {
    qInfo().noquote() << QString("processDownloadedData save %1%2").arg(urlText(Url), threadTag());
    auto* Watcher = new QFutureWatcher<void>(this);
    connect(Watcher, &QFutureWatcher<void>::finished, this, [this, Watcher, Url, Run] {
      Watcher->deleteLater();
      qInfo().noquote() << QString("processDownloadedData save completed %1%2").arg(urlText(Url), threadTag());
      if (Run != m_Run) {
        m_pDownloadPool->releaseUrl(Url);
        return;
      }
      if (Watcher->isCanceled()) {
        qWarning().noquote() << QString("Failed to save file downloaded from %1%2").arg(urlText(Url), threadTag());
        m_pDownloadPool->releaseUrl(Url);
        removeChunk(m_OutstandingChunks, Url);
        m_AtLeastOneSavingOperationFailed = true;
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
      }
      processFinishedData(Url);
    });
    Watcher->setFuture(runLogged(QString("saveDownloadedData %1").arg(urlText(Url)),
                                 [this, Chunk, Data] { saveDownloadedData(Chunk, Data); }));
    return;
  }

  if (!Verified && (Decompressed || !Packed)) {
    qInfo().noquote() << QString("processDownloadedData verify %1%2").arg(urlText(Url), threadTag());
    auto* Watcher = new QFutureWatcher<QByteArray>(this);
    connect(Watcher, &QFutureWatcher<QByteArray>::finished, this, [this, Watcher, Url, Run] {
      Watcher->deleteLater();
      qInfo().noquote() << QString("processDownloadedData verify finished %1%2").arg(urlText(Url), threadTag());
      if (Run != m_Run) {
        m_pDownloadPool->releaseUrl(Url);
        return;
      }
      if (Watcher->isCanceled()) {
        qWarning().noquote() << QString("Failed to verify file downloaded from %1").arg(urlText(Url));
        m_pDownloadPool->releaseUrl(Url);
        applyRetryRule(Url, QString("Verify of %1 failed.").arg(urlText(Url)));
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        return;
      }
      processDownloadedData(Url, Watcher->result(), true, true);
    });
    Watcher->setFuture(runLogged(QString("verifyDownloadedData %1").arg(urlText(Url)),
                                 [this, Chunk, Data] { return verifyDownloadedData(Chunk, Data); }));
    return;
  }

  qInfo().noquote() << QString("processDownloadedData decompress %1%2").arg(urlText(Url), threadTag());
  auto* Watcher = new QFutureWatcher<QByteArray>(this);
  connect(Watcher, &QFutureWatcher<QByteArray>::finished, this, [this, Watcher, Url, Run] {
    Watcher->deleteLater();
    qInfo().noquote() << QString("processDownloadedData decompress finished %1%2").arg(urlText(Url), threadTag());
    if (Run != m_Run) {
      m_pDownloadPool->releaseUrl(Url);
      return;
    }
    if (Watcher->isCanceled()) {
      qWarning().noquote() << QString("Failed to decompress file downloaded from %1").arg(urlText(Url));
      m_pDownloadPool->releaseUrl(Url);
      removeChunk(m_OutstandingChunks, Url);
      m_AtLeastOneDownloadFailed = true;
      emitFinishedSignalWhenNoMoreFilesAreOutstanding();
      return;
    }
    processDownloadedData(Url, Watcher->result(), true, false);
  });
  Watcher->setFuture(runLogged(QString("decompressDownloadedData %1").arg(urlText(Url)),
                               [this, Chunk, Data] { return decompressDownloadedData(Chunk, Data); }));
}

QByteArray TPackageFileDownloader::verifyDownloadedData(TChunkToDownload Chunk, QByteArray Data) const
{
  qDebug().noquote() << QString("verifyDownloadedData %1 started%2").arg(urlText(Chunk.chunk.url), threadTag());
  const QByteArray Hash = shared::TSha256::hash(Data);
  if (Hash != Chunk.chunk.unpackedHash) {
    qInfo().noquote() << "saveDownloadedData failed: invalid hash";
    throw std::runtime_error(QString("verify of url '%1' failed").arg(urlText(Chunk.chunk.url)).toStdString());
  }
  qDebug().noquote() << QString("verifyDownloadedData %1 finished%2").arg(urlText(Chunk.chunk.url), threadTag());
  return Data;
}

QByteArray TPackageFileDownloader::decompressDownloadedData(TChunkToDownload Chunk, QByteArray Data) const
{
  qDebug().noquote() << QString("decompressDownloadedData %1 started%2").arg(urlText(Chunk.chunk.url), threadTag());
  if (!shared::isPackedPayload(Data))
    return Data;
  QByteArray Result;
  // A container that declares more than the chunk's size cannot hold the
  // chunk: refuse it before allocating.
  const std::uint64_t Limit = Chunk.chunk.unpackedSize > 0 ? Chunk.chunk.unpackedSize : shared::kMaxUnpackedPayloadSize;
  if (!shared::unpackPayload(Data, Result, Limit))
    throw shared::TDecompressionError("Invalid input data could not be decompressed");
  qDebug().noquote() << QString("decompressDownloadedData %1 finished%2").arg(urlText(Chunk.chunk.url), threadTag());
  return Result;
}

void TPackageFileDownloader::saveDownloadedData(TChunkToDownload Chunk, QByteArray Data)
{
  qInfo().noquote() << QString("saveDownloadedData chunk %1%2").arg(urlText(Chunk.chunk.url), threadTag());
  bool CachedInThisSave = false;
  for (const std::shared_ptr<TChunkedFileState>& File : Chunk.files) {
    QMutexLocker FileLock(&File->mutex);
    const QString Path = File->file.fileName();
    if (Path.isEmpty())
      throw std::runtime_error(QString("Invalid file name '%1'").arg(File->entry.localFile).toStdString());

    if (!File->prepared) {
      File->prepared = true;
      if (File->pendingChunks.size() == File->chunkTableSize) {
        // Written from scratch: nothing of the old file is kept. During a
        // self-update an existing file is moved aside instead, so that the
        // running launcher can be restored when the update fails.
        const QString OldPath = Path + ".old";
        const QFileInfo Existing(Path);
        bool MovedAside = false;
        if (m_ReplacementMode == 1 && Existing.isFile()) {
          m_pLauncherFilesystemHelper->removePath(OldPath);
          MovedAside = QFile::rename(Path, OldPath);
        }
        if (!MovedAside) {
          try {
            m_pLauncherFilesystemHelper->removePath(Path);
          } catch (const std::runtime_error&) {
            if (m_ReplacementMode != 1)
              throw;
            m_pLauncherFilesystemHelper->removePath(OldPath);
            if (!QFile::rename(Path, OldPath))
              throw;
          }
        }
      }
      QDir Folder = QFileInfo(Path).absoluteDir();
      if (!Folder.mkpath(".")) {
        throw std::runtime_error(QString("Failed to create folder: '%1'.")
                                     .arg(QDir::toNativeSeparators(Folder.absolutePath()))
                                     .toStdString());
      }
    }

    std::unique_ptr<QFile> DebugLog;
    QTextStream DebugStream;
    if (m_ChunkVerification) {
      if (!File->debugLogStarted) {
        File->debugLogStarted = true;
        QFile::remove(Path + ".log");
      }
      DebugLog = std::make_unique<QFile>(Path + ".log");
      if (DebugLog->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        DebugStream.setDevice(DebugLog.get());
    }
    const auto Debug = [&](const QString& Line) {
      if (DebugStream.device())
        DebugStream << Line << "\n";
    };

    bool StoppedAtMissingChunk = false;
    while (!File->pendingChunks.empty()) {
      const std::int32_t Index = File->pendingChunks.front();
      const TChunkInPackage& Entry = File->entry.chunks[std::size_t(Index)];

      QByteArray Source;
      std::shared_ptr<TPendingChunk> Pending;
      enum class EFrom { Fresh, Memory, Spill } From = EFrom::Fresh;
      if (Entry.unpackedHash == Chunk.chunk.unpackedHash) {
        Source = Data;
        QMutexLocker Lock(&m_PendingChunkMutex);
        Pending = m_PendingChunks.value(Entry.unpackedHash);
      } else {
        QMutexLocker Lock(&m_PendingChunkMutex);
        Pending = m_PendingChunks.value(Entry.unpackedHash);
        if (!Pending || Pending->state == 0) {
          Lock.unlock();
          qInfo().noquote() << QString("saveDownloadedData chunk %1 not found for %2. => Wait for chunk%3")
                                   .arg(urlText(Chunk.chunk.url), Path, threadTag());
          StoppedAtMissingChunk = true;
          break;
        }
        if (Pending->state == 1) {
          Source = Pending->data;
          From = EFrom::Memory;
        } else {
          From = EFrom::Spill;
        }
      }
      if (From == EFrom::Spill) {
        QFile Spill(Pending->spillFile->fileName());
        if (!Spill.open(QIODevice::ReadOnly))
          throwIo(Spill, "couldn't open chunk file");
        Source = Spill.readAll();
        if (std::uint64_t(Source.size()) != Entry.unpackedSize)
          throwIo(Spill, "couldn't read chunk file");
      }

      if (!File->file.isOpen() && !File->file.open(QIODevice::ReadWrite))
        throwIo(File->file, "couldn't open target file");

      const std::uint64_t Offset = chunkOffset(File->entry, std::size_t(Index));
      if (m_ChunkVerification) {
        // Everything between the current position and this chunk must be
        // the chunks written before it.
        std::uint64_t Position = std::uint64_t(File->file.pos());
        std::size_t Check = 0;
        std::uint64_t CheckOffset = 0;
        while (Check < File->entry.chunks.size() && CheckOffset < Position) {
          CheckOffset += File->entry.chunks[Check].unpackedSize;
          ++Check;
        }
        while (Check < std::size_t(Index) && CheckOffset < Offset) {
          const TChunkInPackage& Old = File->entry.chunks[Check];
          File->file.seek(qint64(CheckOffset));
          const QByteArray Existing = File->file.read(qint64(Old.unpackedSize));
          if (std::uint64_t(Existing.size()) != Old.unpackedSize)
            throwIo(File->file, "invalid old chunk");
          if (shared::TSha256::hash(Existing) != Old.unpackedHash) {
            Debug(QString("%1: check failed").arg(CheckOffset));
            throwIo(File->file, "invalid hash");
          }
          Debug(QString("%1: check succeeded").arg(CheckOffset));
          CheckOffset += Old.unpackedSize;
          ++Check;
        }
      }

      if (!File->file.seek(qint64(Offset)))
        throwIo(File->file, File->file.errorString());
      const qint64 Written = File->file.write(Source);
      if (Written < 0 || std::uint64_t(Written) != Entry.unpackedSize)
        throwIo(File->file, "couldn't write chunk file");
      const char* Middle = From == EFrom::Fresh ? " to " : From == EFrom::Memory ? " from cache to " : " from temp file to ";
      qInfo().noquote() << QString("saveDownloadedData chunk %1%2%3 offset: %4%5")
                               .arg(urlText(Entry.url), Middle, File->file.fileName())
                               .arg(Offset)
                               .arg(threadTag());
      if (m_ChunkVerification) {
        const bool Correct = shared::TSha256::hash(Source) == Entry.unpackedHash;
        const char* Text = From == EFrom::Fresh   ? (Correct ? ": write succeeded" : ": write failed")
                           : From == EFrom::Memory ? (Correct ? ": write cache correct" : ": write cache invalid")
                                                   : (Correct ? ": write tmp file correct" : ": write tmp file invalid");
        Debug(QString("%1%2").arg(Offset).arg(Text));
        if (From == EFrom::Spill && !Correct)
          throwIo(File->file, "invalid hash");
      }

      // Every written position counts against the content's references;
      // the cached copy is dropped with the last one.
      if (Pending) {
        QMutexLocker Lock(&m_PendingChunkMutex);
        Pending->referenceCount -= 1;
        if (Pending->referenceCount <= 0) {
          if (Pending->state == 1)
            m_CachedChunkCount -= 1;
          Pending->data.clear();
          Pending->spillFile.reset();
          Pending->state = 0;
          m_PendingChunks.remove(Entry.unpackedHash);
        }
      }

      emit writeProgress(Entry.url, Entry.unpackedSize);
      File->pendingChunks.pop_front();
    }

    if (File->pendingChunks.empty() && File->file.isOpen()) {
      File->file.close();
      if (File->entry.executable) {
        File->file.setPermissions(File->file.permissions() | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                  QFileDevice::ExeOther);
      }
    }

    if (StoppedAtMissingChunk && !CachedInThisSave) {
      const bool NeededLater =
          std::any_of(File->pendingChunks.begin(), File->pendingChunks.end(), [&](std::int32_t Index) {
            return File->entry.chunks[std::size_t(Index)].unpackedHash == Chunk.chunk.unpackedHash;
          });
      if (NeededLater) {
        QMutexLocker Lock(&m_PendingChunkMutex);
        auto Pending = m_PendingChunks.value(Chunk.chunk.unpackedHash);
        if (!Pending)
          throw std::runtime_error("couldn't find pending chunk");
        if (Pending->state == 0) {
          if (m_CachedChunkCount <= m_MaxCachedChunks) {
            Pending->data = Data;
            Pending->state = 1;
            m_CachedChunkCount += 1;
            m_PeakCachedChunkCount = std::max(m_PeakCachedChunkCount, m_CachedChunkCount);
          } else {
            auto Spill = std::make_unique<QTemporaryFile>();
            if (!Spill->open())
              throwIo(*Spill, "couldn't open chunk file");
            if (Spill->write(Data) != Data.size())
              throwIo(*Spill, "couldn't write chunk file");
            Spill->close();
            Pending->spillFile = std::move(Spill);
            Pending->state = 2;
          }
        }
        CachedInThisSave = true;
      }
    }
  }
}

void TPackageFileDownloader::processFinishedData(const QUrl& Url)
{
  qInfo().noquote() << QString("processFinishedData: %1%2").arg(urlText(Url), threadTag());
  m_pDownloadPool->releaseUrl(Url);
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
  if (Found->retryCount > 2) {
    qCritical().noquote() << FinalMessage;
    m_OutstandingChunks.erase(Found);
    m_AtLeastOneDownloadFailed = true;
    return;
  }
  qInfo().noquote() << QString("Retry %1%2").arg(urlText(Url), threadTag());
  Found->retryCount += 1;
  m_pDownloadPool->download(Url, Found->chunk.maxDownloadBytes());
}

void TPackageFileDownloader::onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code,
                                              const QString& ErrorString)
{
  Q_UNUSED(Code);
  qInfo().noquote() << QString("onDownloadFailed %1%2").arg(urlText(Url), threadTag());
  m_pDownloadPool->releaseUrl(Url);
  const bool WasOutstanding = findChunk(m_OutstandingChunks, Url) != m_OutstandingChunks.end();
  applyRetryRule(Url, QString("Download of %1 failed: %2").arg(urlText(Url), ErrorString));
  if (WasOutstanding && findChunk(m_OutstandingChunks, Url) == m_OutstandingChunks.end())
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::onDownloadProgress(const QUrl& Url, TFileSize DownloadedBytes)
{
  if (findChunk(m_OutstandingChunks, Url) != m_OutstandingChunks.end())
    m_DownloadedBytes[Url] = DownloadedBytes;
}

void TPackageFileDownloader::onWriteProgress(const QUrl& Url, TFileSize DownloadedBytes)
{
  auto Found = findChunk(m_UnwrittenChunks, Url);
  if (Found == m_UnwrittenChunks.end())
    return;
  m_WrittenBytes[Url] = DownloadedBytes;
  m_UnwrittenChunks.erase(Found);
}

void TPackageFileDownloader::emitProgress()
{
  TFileSize Downloaded = 0;
  for (const auto& Entry : m_DownloadedBytes)
    Downloaded += Entry.second;
  TFileSize Written = 0;
  for (const auto& Entry : m_WrittenBytes)
    Written += Entry.second;
  TFileSize TotalToDownload = 0;
  TFileSize TotalToWrite = 0;
  for (const TChunkToDownload& Chunk : m_AllChunks) {
    TotalToDownload += Chunk.chunk.packedSize;
    TotalToWrite += Chunk.chunk.unpackedSize;
  }
  m_DownloadRate.addTotal(Downloaded);
  m_WriteRate.addTotal(Written);
  emit progress(Downloaded, TotalToDownload, Written, TotalToWrite);
}

void TPackageFileDownloader::onProgressTick()
{
  emitProgress();
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
  if (m_AtLeastOneDownloadFailed)
    emit downloadFailed(DownloadFailed);
  else if (m_AtLeastOneSavingOperationFailed)
    emit downloadFailed(SaveFailed);
  else
    emit downloadCompleted();
}

} // namespace orvale::launcher
