#pragma once

#include "engine/package.h"
#include "shared/blocks.h"
#include "shared/downloadpool.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace shared {
struct TRangeResponse;
}

namespace orvale::launcher {

class TOldBlocks;

// Fetches missing chunks that offer blocks in parts: the chunk's block
// index, then only the byte ranges of the blocks that are not among the old
// blocks the update discards, several ranges per request and one request
// per chunk file at a time; the chunk is assembled from both and checked
// against its hash. Whatever goes wrong on the way (an index that fails a
// check, an answer that is not what was asked for, a block that does not
// decode to its hash, a chunk that does not add up) ends in fellBack, and
// the chunk is fetched whole as usual.
//
// prepare() fetches every index and takes the blocks at hand out of the old
// data, before anything of the update is written (the writer may write over
// old data). A chunk's ranges are requested as soon as its blocks at hand
// are taken, and it is assembled meanwhile; but it is handed on (assembled,
// or fellBack) only once prepared() was emitted, since the caller writes
// what it is handed.
class TBlockFetcher : public QObject
{
  Q_OBJECT

public:
  TBlockFetcher(std::shared_ptr<shared::TDownloadPool> Pool, QObject* pParent = nullptr);
  ~TBlockFetcher() override;

  // The most bytes of blocks at hand held at once; a chunk whose blocks do
  // not fit any more is fetched whole.
  static constexpr std::uint64_t MaxBytesAtHand = 256ull * 1024 * 1024;

  // Forgets an earlier run and prepares the chunks that offer blocks; emits
  // prepared() once each of them has its plan or is to be fetched whole.
  // False (and no signal) when there is nothing to prepare.
  bool prepare(const std::vector<TChunkInPackage>& Chunks, std::shared_ptr<const TOldBlocks> OldBlocks);
  // Whether the chunk is fetched by blocks (or its index is still on its
  // way): the fetcher hands it on, assembled or fellBack. False once it is
  // to be fetched whole by the caller.
  bool fetch(const TChunkInPackage& Chunk);
  // Drops every chunk and what it holds; answers still on their way are
  // ignored.
  void clear();
  // Fetch by blocks only chunks whose ranges the index vouches for before
  // anything decodes them: stored ranges are the blocks themselves, checked
  // against their hashes; a Deflate or zstd range is only known by what it
  // decodes to, so such chunks are fetched whole (their packed hash is
  // checked).
  void setOnlyCheckedRanges(bool Only) { m_OnlyCheckedRanges = Only; }
  // The bytes fetching Chunk takes by blocks (its index and ranges), when it
  // is fetched by blocks; nothing when it is fetched whole.
  std::optional<std::uint64_t> plannedBytes(const QUrl& ChunkUrl) const;

  // How far reading the blocks at hand out of the old data has come.
  struct TReading
  {
    bool active = false;  // blocks of a chunk are being read
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesToRead = 0;
  };
  TReading oldBlocksReading() const;

signals:
  void prepared();
  // The chunk's content, checked against its hash.
  void assembled(const QUrl& Url, const QByteArray& Content);
  // A server that ignores ranges sent the whole chunk file.
  void wholeChunkFetched(const QUrl& Url, const shared::TReplyBody& ChunkFile);
  void fellBack(const QUrl& Url);
  // Bytes received for the chunk so far: its index and ranges.
  void progress(const QUrl& Url, qlonglong Bytes);
  // The blocks at hand of a chunk have been read out of the old data.
  void oldBlocksRead(std::uint64_t BytesRead, std::uint64_t BytesToRead);

private:
  enum class EStage
  {
    Indexing,   // its index is on its way
    Fetching,   // its ranges are on their way
    Assembling, // on the thread pool
    Assembled,  // waits for prepared() to be handed on (or came whole)
    Done,
    FellBack,   // fetched whole by the caller
  };
  struct TChunkFetch
  {
    TChunkInPackage chunk;
    EStage stage = EStage::Indexing;
    shared::TBlockIndex index;
    shared::TBlockFetchPlan plan;
    std::vector<shared::TBlock> toRead;    // the blocks at hand, each once, until they are read
    bool blocksRead = false;
    QHash<QByteArray, QByteArray> atHand;  // content by block hash
    std::uint64_t bytesAtHand = 0;         // counted against MaxBytesAtHand from the plan on
    std::size_t nextRequest = 0;
    std::vector<QByteArray> fetched;       // the ranges received, in plan order
    qlonglong receivedBytes = 0;           // of finished requests
    QByteArray content;                    // Assembled: the chunk, until it is handed on
    shared::TReplyBody wholeFile;          // or the whole chunk file, from a server that ignores ranges
  };

  void onDelivered(const QUrl& Url, const shared::TReplyBody& Body);
  void onFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
  void onProgress(const QUrl& Url, qlonglong Bytes);
  void onIndex(TChunkFetch& Fetch, const QByteArray& Data);
  // Plans the fetch and counts the blocks at hand against MaxBytesAtHand;
  // false when the chunk is better fetched whole.
  bool plan(TChunkFetch& Fetch);
  // Reads the blocks at hand on the thread pool; the chunk's index counts
  // as settled once they are read (or could not be).
  void readBlocksAtHand(TChunkFetch& Fetch);
  void onRanges(TChunkFetch& Fetch, const shared::TReplyBody& Body);
  void requestNextRanges(TChunkFetch& Fetch);
  void assemble(TChunkFetch& Fetch);
  // Ends the chunk's block path: it is fetched whole.
  void fallBack(TChunkFetch& Fetch, const QString& Reason);
  // Hands the chunk on (assembled, or fellBack) once prepared() was emitted.
  void handOn(TChunkFetch& Fetch);
  void settleIndex();
  // Lets go of the blocks at hand and the ranges received.
  void dropHeldData(TChunkFetch& Fetch);
  TChunkFetch* findByChunkUrl(const QUrl& Url);

  std::shared_ptr<shared::TDownloadPool> m_pPool;
  std::shared_ptr<const TOldBlocks> m_pOldBlocks;
  std::map<QString, TChunkFetch> m_Fetches;  // by chunk URL
  QHash<QUrl, QString> m_ChunkOfIndex;       // index URL to chunk URL
  std::size_t m_IndexesPending = 0;
  std::uint64_t m_BytesAtHand = 0;
  std::uint64_t m_BytesToRead = 0;  // of the blocks at hand of this run
  std::size_t m_ReadsRunning = 0;   // chunks whose blocks at hand are being read
  // Bytes of blocks at hand read so far in this run, counted by the reading
  // tasks.
  std::shared_ptr<std::atomic<std::uint64_t>> m_pBytesRead = std::make_shared<std::atomic<std::uint64_t>>(0);
  std::uint64_t m_Generation = 0;  // answers of assemblies and readings of a cleared run are ignored
  bool m_OnlyCheckedRanges = false;
};

} // namespace orvale::launcher
