#include "engine/packfetch.h"

#include "engine/logging.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace orvale::launcher {

TPackFetcher::TPackFetcher(std::shared_ptr<shared::TDownloadPool> Pool, QObject* pParent)
  : QObject(pParent), m_pPool(std::move(Pool))
{
  connect(m_pPool.get(), &shared::TDownloadPool::delivered, this, &TPackFetcher::onDelivered);
  connect(m_pPool.get(), &shared::TDownloadPool::failed, this, &TPackFetcher::onFailed);
}

TPackFetcher::~TPackFetcher() = default;

void TPackFetcher::fetch(const TChunkInPackage& Piece)
{
  TPack& Pack = m_Packs[packKey(Piece.packUrl)];
  Pack.url = Piece.packUrl;
  Pack.size = Piece.packSize;
  Pack.wanted[Piece.packOffset] = Piece;
  scheduleRequests();
}

void TPackFetcher::release(const QUrl& PieceUrl)
{
  const auto Found = m_PackOfPiece.find(PieceUrl);
  if (Found == m_PackOfPiece.end())
    return;
  const auto Pack = m_Packs.find(Found.value());
  m_PackOfPiece.erase(Found);
  if (Pack == m_Packs.end())
    return;
  Pack->second.unreleased.remove(PieceUrl);
  finishWhenReleased(Pack->second);
}

void TPackFetcher::clear()
{
  ++m_Generation;
  for (const auto& [Key, Pack] : m_Packs) {
    if (Pack.requestActive)
      m_pPool->releaseUrl(Pack.url);
  }
  m_Packs.clear();
  m_PackKeys.clear();
  m_PackOfPiece.clear();
  m_BytesInTransfer = 0;
  m_RequestsScheduled = false;
}

void TPackFetcher::scheduleRequests()
{
  if (m_RequestsScheduled)
    return;
  m_RequestsScheduled = true;
  const std::uint64_t Generation = m_Generation;
  QTimer::singleShot(0, this, [this, Generation] {
    if (Generation != m_Generation)
      return;
    m_RequestsScheduled = false;
    requestWanted();
  });
}

void TPackFetcher::requestWanted()
{
  for (auto& [Key, Pack] : m_Packs) {
    if (m_BytesInTransfer >= kBytesInTransfer)
      return;
    if (!Pack.requestActive && !Pack.wanted.empty())
      request(Pack);
  }
}

void TPackFetcher::request(TPack& Pack)
{
  std::vector<shared::TByteRange> Wanted;
  for (const auto& [Offset, Piece] : Pack.wanted)
    Wanted.push_back({Offset, Piece.packedSize});
  shared::TPackFetchPlan Plan = shared::planPackFetch(std::move(Wanted), Pack.size);
  const bool Whole = Pack.wholeOnly || Plan.whole;
  std::vector<shared::TByteRange> Ranges = Whole ? std::vector<shared::TByteRange>{{0, Pack.size}} : Plan.requests.front();
  // The pieces of this request; the others wait for the next one.
  std::vector<TChunkInPackage> Asked;
  const std::uint64_t End = Ranges.back().end();
  for (auto Piece = Pack.wanted.begin(); Piece != Pack.wanted.end() && Piece->first < End;) {
    Asked.push_back(std::move(Piece->second));
    Piece = Pack.wanted.erase(Piece);
  }
  shared::TRequestOptions Options;
  Options.document = false;
  if (Whole) {
    Options.maxBodyBytes = qint64(Pack.size);
  } else {
    Options.maxBodyBytes = qint64(shared::maxRangeResponseBytes(Ranges, Pack.size));
    Options.headers = {{"Range", shared::rangeHeaderValue(Ranges)}};
  }
  qInfo().noquote() << QString("start download of %1 pieces from %2%3%4")
                           .arg(Asked.size())
                           .arg(Pack.url.toString(), Whole ? QString(" (whole)") : QString(" (%1 ranges)").arg(Ranges.size()),
                                threadTag());
  Pack.asked = std::move(Asked);
  Pack.ranges = std::move(Ranges);
  Pack.requestActive = true;
  Pack.bytesInTransfer = std::uint64_t(Options.maxBodyBytes);
  m_BytesInTransfer += Pack.bytesInTransfer;
  m_pPool->download(Pack.url, Options);
}

void TPackFetcher::onDelivered(const QUrl& Url, const shared::TReplyBody& Body)
{
  TPack* Pack = findPack(Url);
  if (!Pack || !Pack->requestActive || Pack->asked.empty())
    return;
  answerArrived(*Pack);
  shared::TRangeResponse Response;
  Response.status = Body.statusCode;
  Response.contentType = Body.contentType;
  Response.contentRange = Body.contentRange;
  Response.body = Body.data;
  const auto Parts = shared::extractRequestedRanges(Response, Pack->ranges, Pack->size);
  if (!Parts) {
    // Ranges that do not come as asked come whole from now on.
    const QString Reason = QString("the answer (status %1) from %2 does not hold the ranges asked for")
                               .arg(Response.status)
                               .arg(Url.toString());
    qWarning().noquote() << Reason;
    Pack->wholeOnly = true;
    failAsked(*Pack, QNetworkReply::UnknownContentError, Reason);
    return;
  }
  // Pieces and ranges ascend together: each piece lies in one merged range.
  std::vector<std::pair<QUrl, shared::TReplyBody>> Pieces;
  std::size_t Range = 0;
  for (const TChunkInPackage& Piece : Pack->asked) {
    while (Range + 1 < Pack->ranges.size() && Piece.packOffset >= Pack->ranges[Range].end())
      ++Range;
    shared::TReplyBody PieceBody;
    PieceBody.statusCode = 200;
    PieceBody.data = (*Parts)[Range].mid(int(Piece.packOffset - Pack->ranges[Range].offset), int(Piece.packedSize));
    PieceBody.size = PieceBody.data.size();
    Pieces.emplace_back(Piece.url, std::move(PieceBody));
  }
  Pack->asked.clear();
  Pack->ranges.clear();
  const QString Key = packKey(Url);
  for (const auto& [PieceUrl, PieceBody] : Pieces) {
    Pack->unreleased.insert(PieceUrl);
    m_PackOfPiece.insert(PieceUrl, Key);
  }
  // Handing a piece on may release it at once (and the pack with it).
  const std::uint64_t Generation = m_Generation;
  for (const auto& [PieceUrl, PieceBody] : Pieces) {
    if (Generation != m_Generation)
      return;
    emit pieceFetched(PieceUrl, PieceBody);
  }
}

void TPackFetcher::onFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString)
{
  TPack* Pack = findPack(Url);
  if (!Pack || !Pack->requestActive || Pack->asked.empty())
    return;
  answerArrived(*Pack);
  failAsked(*Pack, Code, ErrorString);
}

void TPackFetcher::answerArrived(TPack& Pack)
{
  m_BytesInTransfer -= std::min(m_BytesInTransfer, Pack.bytesInTransfer);
  Pack.bytesInTransfer = 0;
  scheduleRequests();
}

void TPackFetcher::failAsked(TPack& Pack, QNetworkReply::NetworkError Code, const QString& Reason)
{
  std::vector<TChunkInPackage> Asked;
  Asked.swap(Pack.asked);
  Pack.ranges.clear();
  const QString Key = packKey(Pack.url);
  for (const TChunkInPackage& Piece : Asked) {
    Pack.unreleased.insert(Piece.url);
    m_PackOfPiece.insert(Piece.url, Key);
  }
  const std::uint64_t Generation = m_Generation;
  for (const TChunkInPackage& Piece : Asked) {
    if (Generation != m_Generation)
      return;
    emit pieceFailed(Piece.url, Code, Reason);
  }
}

void TPackFetcher::finishWhenReleased(TPack& Pack)
{
  if (!Pack.requestActive || !Pack.asked.empty() || !Pack.unreleased.empty())
    return;
  Pack.requestActive = false;
  m_pPool->releaseUrl(Pack.url);
  if (!Pack.wanted.empty())
    scheduleRequests();
}

TPackFetcher::TPack* TPackFetcher::findPack(const QUrl& PackUrl)
{
  const auto Found = m_Packs.find(packKey(PackUrl));
  return Found == m_Packs.end() ? nullptr : &Found->second;
}

QString TPackFetcher::packKey(const QUrl& PackUrl)
{
  auto Found = m_PackKeys.find(PackUrl);
  if (Found == m_PackKeys.end())
    Found = m_PackKeys.insert(PackUrl, PackUrl.toString());
  return Found.value();
}

} // namespace orvale::launcher
