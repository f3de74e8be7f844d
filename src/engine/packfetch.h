#pragma once

// Fetches small pieces that the publisher put into pack files: the pieces
// wanted of one pack are asked for together.

#include "engine/package.h"
#include "shared/byteranges.h"
#include "shared/downloadpool.h"

#include <QHash>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace orvale::launcher {

// Pieces wanted in one turn of the event loop are grouped by pack and asked
// for as shared::planPackFetch says: the merged ranges in requests of a
// multipart answer each, or the whole pack with a plain GET. A server that
// ignores ranges sends the whole pack, and the pieces are cut out of it; a
// pack whose range answer is refused is fetched whole from then on.
//
// A pack has one request at a time, and the answers on their way may bring
// at most about kBytesInTransfer bytes together. A pack's URL keeps its
// place in the limit of downloads until every piece handed on from the
// answer has been released (release()), so that pieces waiting to be
// decoded and written do not pile up; then the pieces wanted meanwhile are
// asked for.
//
// Each piece is handed on as if its own chunk file had been fetched
// (pieceFetched: exactly its packedSize bytes, status 200) or fails
// (pieceFailed); the caller checks its hashes and retries as for chunk files.
class TPackFetcher : public QObject
{
  Q_OBJECT

public:
  explicit TPackFetcher(std::shared_ptr<shared::TDownloadPool> Pool, QObject* pParent = nullptr);
  ~TPackFetcher() override;

  // Wants the piece (Piece.inPack()); it is asked for at the next turn of
  // the event loop with the other pieces wanted by then.
  void fetch(const TChunkInPackage& Piece);
  // The caller is done with a piece handed on (or failed): once all of its
  // request's pieces are, the pack's URL is released.
  void release(const QUrl& PieceUrl);
  // Drops every piece and request; answers still on their way are ignored.
  void clear();

signals:
  void pieceFetched(const QUrl& PieceUrl, const shared::TReplyBody& Body);
  void pieceFailed(const QUrl& PieceUrl, QNetworkReply::NetworkError Code, const QString& Reason);

private:
  struct TPack
  {
    QUrl url;
    std::uint64_t size = 0;
    std::map<std::uint64_t, TChunkInPackage> wanted;  // by offset, not asked for yet
    std::vector<TChunkInPackage> asked;               // in the request on its way
    std::vector<shared::TByteRange> ranges;           // that request's ranges
    QSet<QUrl> unreleased;                            // pieces handed on, not released
    bool requestActive = false;                       // its URL holds a place in the pool
    bool wholeOnly = false;                           // its range answer was refused once
    std::uint64_t bytesInTransfer = 0;                // the most its request's answer may bring, until it arrives
  };

  void scheduleRequests();
  void requestWanted();
  void request(TPack& Pack);
  void onDelivered(const QUrl& Url, const shared::TReplyBody& Body);
  void onFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
  // Fails every piece of the pack's request.
  void failAsked(TPack& Pack, QNetworkReply::NetworkError Code, const QString& Reason);
  // The answer to the pack's request has come (or failed): other packs may
  // be asked for.
  void answerArrived(TPack& Pack);
  // The request is over once its pieces are released: the URL is let go
  // and what was wanted meanwhile is asked for.
  void finishWhenReleased(TPack& Pack);
  TPack* findPack(const QUrl& PackUrl);
  // The key of a pack in m_Packs: its URL as text, made once per pack.
  QString packKey(const QUrl& PackUrl);

  std::shared_ptr<shared::TDownloadPool> m_pPool;
  std::map<QString, TPack> m_Packs;         // by pack URL text
  QHash<QUrl, QString> m_PackOfPiece;  // piece URL to pack URL text, while handed on
  // Answers still on their way may bring at most about this many bytes:
  // through a slow link, a few packs that arrive one after the other are
  // decoded and written while the next ones come, where many at once would
  // all arrive at the end. (At least one request is always on its way.)
  static constexpr std::uint64_t kBytesInTransfer = 2 * 1024 * 1024;
  std::uint64_t m_BytesInTransfer = 0;
  QHash<QUrl, QString> m_PackKeys;
  bool m_RequestsScheduled = false;
  std::uint64_t m_Generation = 0;
};

} // namespace orvale::launcher
