// The block fetcher: fetches the block index of each missing chunk that
// offers blocks, reads the blocks at hand out of the old data, fetches the
// byte ranges of the others and assembles and checks the chunk; anything
// that fails falls back to the whole chunk file.

#include "engine/blockfetch.h"

#include "engine/logging.h"
#include "engine/oldblocks.h"
#include "shared/byteranges.h"
#include "shared/downloadpool.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFutureWatcher>
#include <QSet>
#include <QtConcurrent>

#include <algorithm>

namespace orvale::launcher {

namespace {

QString urlText(const QUrl& Url)
{
  return Url.toString();
}

} // namespace

TBlockFetcher::TBlockFetcher(std::shared_ptr<shared::TDownloadPool> Pool, QObject* pParent)
  : QObject(pParent), m_pPool(std::move(Pool))
{
  connect(m_pPool.get(), &shared::TDownloadPool::delivered, this, &TBlockFetcher::onDelivered);
  connect(m_pPool.get(), &shared::TDownloadPool::failed, this, &TBlockFetcher::onFailed);
  connect(m_pPool.get(), &shared::TDownloadPool::progress, this, &TBlockFetcher::onProgress);
}

TBlockFetcher::~TBlockFetcher()
{
  // Assemblies use nothing of this object, but report to it.
  for (QFutureWatcherBase* Watcher : findChildren<QFutureWatcherBase*>())
    Watcher->waitForFinished();
}

void TBlockFetcher::clear()
{
  ++m_Generation;
  m_Fetches.clear();
  m_ChunkOfIndex.clear();
  m_IndexesPending = 0;
  m_BytesAtHand = 0;
  m_BytesToRead = 0;
  m_ReadsRunning = 0;
  m_pBytesRead = std::make_shared<std::atomic<std::uint64_t>>(0);
  m_pOldBlocks.reset();
}

TBlockFetcher::TReading TBlockFetcher::oldBlocksReading() const
{
  TReading Reading;
  Reading.active = m_ReadsRunning > 0;
  Reading.bytesRead = *m_pBytesRead;
  Reading.bytesToRead = m_BytesToRead;
  return Reading;
}

bool TBlockFetcher::prepare(const std::vector<TChunkInPackage>& Chunks, std::shared_ptr<const TOldBlocks> OldBlocks)
{
  clear();
  if (!OldBlocks || OldBlocks->empty())
    return false;
  m_pOldBlocks = std::move(OldBlocks);
  std::vector<QUrl> Indexes;
  for (const TChunkInPackage& Chunk : Chunks) {
    const QString Key = urlText(Chunk.url);
    // Like chunk files, index files come only from web servers.
    const QString Scheme = Chunk.blockIndexUrl.scheme();
    if (!Chunk.offersBlocks() || (Scheme != "http" && Scheme != "https") ||
        Chunk.blockIndexSize > shared::kMaxBlockIndexBytes || m_Fetches.count(Key) > 0 ||
        m_ChunkOfIndex.contains(Chunk.blockIndexUrl))
      continue;
    m_Fetches[Key].chunk = Chunk;
    m_ChunkOfIndex.insert(Chunk.blockIndexUrl, Key);
    Indexes.push_back(Chunk.blockIndexUrl);
  }
  if (Indexes.empty()) {
    clear();
    return false;
  }
  m_IndexesPending = Indexes.size();
  // Requested after the bookkeeping: an index URL the pool refuses fails
  // at once.
  for (const QUrl& Index : Indexes)
    m_pPool->download(Index, qint64(m_Fetches[m_ChunkOfIndex.value(Index)].chunk.blockIndexSize));  // in memory
  return true;
}

std::optional<std::uint64_t> TBlockFetcher::plannedBytes(const QUrl& ChunkUrl) const
{
  const auto Found = m_Fetches.find(urlText(ChunkUrl));
  if (Found == m_Fetches.end() || Found->second.stage == EStage::Indexing || Found->second.stage == EStage::FellBack)
    return std::nullopt;
  return Found->second.chunk.blockIndexSize + Found->second.plan.bytes;
}

TBlockFetcher::TChunkFetch* TBlockFetcher::findByChunkUrl(const QUrl& Url)
{
  // Most runs fetch no blocks: then no URL need be made text.
  if (m_Fetches.empty())
    return nullptr;
  const auto Found = m_Fetches.find(urlText(Url));
  return Found == m_Fetches.end() ? nullptr : &Found->second;
}

void TBlockFetcher::onDelivered(const QUrl& Url, const shared::TReplyBody& Body)
{
  // Bodies of this pool are always in memory.
  if (m_ChunkOfIndex.contains(Url)) {
    TChunkFetch& Fetch = m_Fetches[m_ChunkOfIndex.value(Url)];
    if (Fetch.stage == EStage::Indexing)
      onIndex(Fetch, Body.data);
    return;
  }
  TChunkFetch* Fetch = findByChunkUrl(Url);
  if (Fetch && Fetch->stage == EStage::Fetching)
    onRanges(*Fetch, Body);
}

void TBlockFetcher::onFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString)
{
  Q_UNUSED(Code);
  TChunkFetch* Fetch = m_ChunkOfIndex.contains(Url) ? &m_Fetches[m_ChunkOfIndex.value(Url)] : findByChunkUrl(Url);
  if (Fetch && (Fetch->stage == EStage::Indexing || Fetch->stage == EStage::Fetching))
    fallBack(*Fetch, ErrorString);
}

void TBlockFetcher::onProgress(const QUrl& Url, qlonglong Bytes)
{
  if (m_ChunkOfIndex.contains(Url)) {
    const TChunkFetch& Fetch = m_Fetches[m_ChunkOfIndex.value(Url)];
    emit progress(Fetch.chunk.url, Bytes);
    return;
  }
  if (const TChunkFetch* Fetch = findByChunkUrl(Url))
    emit progress(Fetch->chunk.url, Fetch->receivedBytes + Bytes);
}

void TBlockFetcher::onIndex(TChunkFetch& Fetch, const QByteArray& Data)
{
  Fetch.receivedBytes = Data.size();
  emit progress(Fetch.chunk.url, Fetch.receivedBytes);
  if (std::uint64_t(Data.size()) != Fetch.chunk.blockIndexSize ||
      shared::TSha256::hash(Data) != Fetch.chunk.blockIndexHash) {
    fallBack(Fetch, "the block index differs from its size or hash");
    return;
  }
  const auto Index = shared::parseBlockIndex(Data, Fetch.chunk.packedSize, Fetch.chunk.unpackedSize);
  if (!Index) {
    fallBack(Fetch, "the block index is not sound");
    return;
  }
  if (m_OnlyCheckedRanges && Index->encoding != shared::EBlockEncoding::Stored) {
    fallBack(Fetch, "with release keys, ranges that must be decoded are not fetched: the index does not vouch for "
                    "their bytes");
    return;
  }
  Fetch.index = *Index;
  if (!plan(Fetch)) {
    fallBack(Fetch, "too few of its blocks are at hand");
    return;
  }
  // Its blocks at hand are read on the thread pool while its ranges are
  // fetched and the other indexes are still on their way.
  qInfo().noquote() << QString("fetch %1 by blocks: %2 of %3 blocks in %4 requests, %5 bytes%6")
                           .arg(urlText(Fetch.chunk.url))
                           .arg(Fetch.plan.missingBlocks.size())
                           .arg(Fetch.index.blocks.size())
                           .arg(Fetch.plan.requests.size())
                           .arg(Fetch.plan.bytes)
                           .arg(threadTag());
  Fetch.stage = EStage::Fetching;
  readBlocksAtHand(Fetch);
  requestNextRanges(Fetch);
}

bool TBlockFetcher::plan(TChunkFetch& Fetch)
{
  Fetch.plan = shared::planBlockFetch(Fetch.index, [this](const QByteArray& Hash) { return m_pOldBlocks->contains(Hash); });
  if (!shared::worthFetchingByBlocks(Fetch.plan, Fetch.chunk.packedSize))
    return false;
  std::vector<bool> Missing(Fetch.index.blocks.size(), false);
  for (std::size_t Number : Fetch.plan.missingBlocks)
    Missing[Number] = true;
  QSet<QByteArray> Taken;
  std::uint64_t Bytes = 0;
  for (std::size_t Number = 0; Number < Fetch.index.blocks.size(); ++Number) {
    const shared::TBlock& Block = Fetch.index.blocks[Number];
    if (Missing[Number] || Taken.contains(Block.hash))
      continue;
    Taken.insert(Block.hash);
    Bytes += Block.unpackedSize;
    Fetch.toRead.push_back(Block);
  }
  if (m_BytesAtHand + Bytes > MaxBytesAtHand) {
    Fetch.toRead.clear();
    return false;
  }
  Fetch.bytesAtHand = Bytes;
  m_BytesAtHand += Bytes;
  return true;
}

void TBlockFetcher::readBlocksAtHand(TChunkFetch& Fetch)
{
  const QUrl Url = Fetch.chunk.url;
  const std::uint64_t Generation = m_Generation;
  m_BytesToRead += Fetch.bytesAtHand;
  ++m_ReadsRunning;
  using TRead = std::optional<QHash<QByteArray, QByteArray>>;
  auto* Watcher = new QFutureWatcher<TRead>(this);
  connect(Watcher, &QFutureWatcher<TRead>::finished, this, [this, Watcher, Url, Generation] {
    Watcher->deleteLater();
    if (Generation != m_Generation)
      return;
    --m_ReadsRunning;
    emit oldBlocksRead(*m_pBytesRead, m_BytesToRead);
    TChunkFetch* Fetch = findByChunkUrl(Url);
    if (!Fetch)
      return;
    // Read (or failed): nothing of this chunk's blocks at hand is needed
    // from the old data any more.
    const TRead Read = Watcher->result();
    if (Fetch->stage == EStage::Fetching && !Read)
      fallBack(*Fetch, "a block at hand cannot be read");
    if (Fetch->stage == EStage::Fetching) {
      Fetch->atHand = *Read;
      Fetch->blocksRead = true;
      if (Fetch->nextRequest >= Fetch->plan.requests.size())
        assemble(*Fetch);
    }
    settleIndex();
  });
  // Up to MaxBytesAtHand read and hashed: never on the caller's (the GUI)
  // thread.
  Watcher->setFuture(QtConcurrent::run([OldBlocks = m_pOldBlocks, Blocks = std::move(Fetch.toRead),
                                        BytesRead = m_pBytesRead, Url]() -> TRead {
    QHash<QByteArray, QByteArray> Read;
    for (const shared::TBlock& Block : Blocks) {
      std::optional<QByteArray> Content = OldBlocks->read(Block);
      if (!Content)
        return std::nullopt;
      Read.insert(Block.hash, std::move(*Content));
      *BytesRead += Block.unpackedSize;
    }
    qInfo().noquote() << QString("blocks at hand of %1 read: %2 blocks%3").arg(urlText(Url)).arg(Blocks.size()).arg(threadTag());
    return Read;
  }));
  Fetch.toRead.clear();
}

void TBlockFetcher::dropHeldData(TChunkFetch& Fetch)
{
  m_BytesAtHand -= std::min(m_BytesAtHand, Fetch.bytesAtHand);
  Fetch.bytesAtHand = 0;
  Fetch.atHand.clear();
  Fetch.fetched.clear();
}

void TBlockFetcher::settleIndex()
{
  if (m_IndexesPending == 0 || --m_IndexesPending > 0)
    return;
  const std::uint64_t Generation = m_Generation;
  emit prepared();
  // The chunks assembled meanwhile are handed on now (each may end the run
  // and clear this object).
  std::vector<QString> Assembled;
  for (const auto& [Key, Fetch] : m_Fetches) {
    if (Fetch.stage == EStage::Assembled)
      Assembled.push_back(Key);
  }
  for (const QString& Key : Assembled) {
    const auto Found = m_Fetches.find(Key);
    if (Generation != m_Generation || Found == m_Fetches.end())
      return;
    handOn(Found->second);
  }
}

bool TBlockFetcher::fetch(const TChunkInPackage& Chunk)
{
  const TChunkFetch* Fetch = findByChunkUrl(Chunk.url);
  return Fetch && Fetch->stage != EStage::FellBack && Fetch->chunk == Chunk;
}

void TBlockFetcher::requestNextRanges(TChunkFetch& Fetch)
{
  if (Fetch.nextRequest >= Fetch.plan.requests.size()) {
    if (Fetch.blocksRead)
      assemble(Fetch);
    return;
  }
  const std::vector<shared::TByteRange>& Ranges = Fetch.plan.requests[Fetch.nextRequest];
  shared::TRequestOptions Options;
  Options.maxBodyBytes = qint64(std::min<std::uint64_t>(shared::maxRangeResponseBytes(Ranges, Fetch.chunk.packedSize),
                                                        std::uint64_t(INT64_MAX)));
  Options.headers = {{"Range", shared::rangeHeaderValue(Ranges)}};
  Options.document = false;
  m_pPool->download(Fetch.chunk.url, Options);
}

void TBlockFetcher::onRanges(TChunkFetch& Fetch, const shared::TReplyBody& Body)
{
  shared::TRangeResponse Response;
  Response.status = Body.statusCode;
  Response.contentType = Body.contentType;
  Response.contentRange = Body.contentRange;
  Response.body = Body.data;
  const std::vector<shared::TByteRange>& Ranges = Fetch.plan.requests[Fetch.nextRequest];
  const auto Parts = shared::extractRequestedRanges(Response, Ranges, Fetch.chunk.packedSize);
  if (!Parts) {
    fallBack(Fetch, QString("the answer (status %1) does not hold the ranges asked for").arg(Response.status));
    return;
  }
  if (Response.status == 200) {
    // The server ignores ranges: what it sent is the whole chunk file, held
    // like an assembled chunk until it is handed on.
    qInfo().noquote() << QString("%1 came whole: the server ignores ranges%2").arg(urlText(Fetch.chunk.url), threadTag());
    dropHeldData(Fetch);
    Fetch.stage = EStage::Assembled;
    Fetch.wholeFile = Body;
    Fetch.bytesAtHand = std::uint64_t(std::max<qint64>(Body.size, 0));
    m_BytesAtHand += Fetch.bytesAtHand;
    handOn(Fetch);
    return;
  }
  Fetch.receivedBytes += Response.body.size();
  Fetch.fetched.insert(Fetch.fetched.end(), Parts->begin(), Parts->end());
  ++Fetch.nextRequest;
  requestNextRanges(Fetch);
}

void TBlockFetcher::assemble(TChunkFetch& Fetch)
{
  Fetch.stage = EStage::Assembling;
  const QUrl Url = Fetch.chunk.url;
  const std::uint64_t Generation = m_Generation;
  auto* Watcher = new QFutureWatcher<QByteArray>(this);
  connect(Watcher, &QFutureWatcher<QByteArray>::finished, this, [this, Watcher, Url, Generation] {
    Watcher->deleteLater();
    TChunkFetch* Fetch = findByChunkUrl(Url);
    if (Generation != m_Generation || !Fetch || Fetch->stage != EStage::Assembling)
      return;
    Fetch->content = Watcher->result();
    if (Fetch->content.isNull()) {
      fallBack(*Fetch, "its blocks do not add up to the chunk");
      return;
    }
    // Until it is handed on it counts as blocks at hand.
    Fetch->stage = EStage::Assembled;
    Fetch->bytesAtHand = std::uint64_t(Fetch->content.size());
    m_BytesAtHand += Fetch->bytesAtHand;
    handOn(*Fetch);
  });
  Watcher->setFuture(QtConcurrent::run([Index = Fetch.index, Plan = Fetch.plan, Fetched = std::move(Fetch.fetched),
                                        AtHand = std::move(Fetch.atHand), Chunk = Fetch.chunk]() -> QByteArray {
    const auto Content = shared::assembleChunk(Index, Plan, Fetched, [&AtHand](const shared::TBlock& Block) {
      const auto Found = AtHand.constFind(Block.hash);
      return Found == AtHand.constEnd() ? std::nullopt : std::optional<QByteArray>(*Found);
    });
    if (!Content || std::uint64_t(Content->size()) != Chunk.unpackedSize ||
        shared::TSha256::hash(*Content) != Chunk.unpackedHash)
      return QByteArray();
    return *Content;
  }));
  dropHeldData(Fetch);
}

void TBlockFetcher::fallBack(TChunkFetch& Fetch, const QString& Reason)
{
  const EStage Stage = Fetch.stage;
  qInfo().noquote() << QString("%1 is fetched whole: %2%3").arg(urlText(Fetch.chunk.url), Reason, threadTag());
  Fetch.stage = EStage::FellBack;
  dropHeldData(Fetch);
  if (Stage == EStage::Indexing)
    settleIndex();  // the caller fetches it whole once prepared
  else if (m_IndexesPending == 0)
    emit fellBack(Fetch.chunk.url);
  // Else the caller fetches it whole once prepared: fetch() says so.
}

void TBlockFetcher::handOn(TChunkFetch& Fetch)
{
  if (m_IndexesPending > 0 || Fetch.stage != EStage::Assembled)
    return;
  Fetch.stage = EStage::Done;
  const QByteArray Content = std::move(Fetch.content);
  const shared::TReplyBody Whole = std::move(Fetch.wholeFile);
  Fetch.content = QByteArray();
  Fetch.wholeFile = shared::TReplyBody();
  dropHeldData(Fetch);
  if (Content.isNull())
    emit wholeChunkFetched(Fetch.chunk.url, Whole);
  else
    emit assembled(Fetch.chunk.url, Content);
}

} // namespace orvale::launcher
