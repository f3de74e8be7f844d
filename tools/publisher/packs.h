#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace shared {
struct TDictionaryInDescription;
}

// Pack files: small pieces published together in one file
// ("packs/<sha256 of the pack>.pack"), so that a launcher fetches many of
// them with one request. A piece in a pack is byte for byte the chunk file
// it would otherwise be.
namespace orvale::publisher {

// "packs/<hex>.pack", relative to the description.
QString packUrl(const QByteArray& PackHash);
// Whether Name is the name the publisher gives a pack file.
bool isPackFileName(const QString& Name);

// A pack file a publication names, written now or found in the folder.
struct TPackFile
{
  QString url;  // relative to the description
  std::uint64_t size = 0;
  bool written = false;  // a new file (else one with this content was there)
};

// A piece that an earlier publication placed in a pack of the output
// folder, as its description says.
struct TPackedPieceAt
{
  TPackFile pack;
  std::uint64_t offset = 0;
  std::uint64_t packedSize = 0;
  QByteArray packedHash;
  bool unpack = true;
  // The SHA-256 of the dictionary its frames were written with; empty for
  // none.
  QByteArray dictionaryHash;
};

// What the description in OutputDirectory ("package.json") says of small
// pieces: the pieces (by unpacked hash) it places in packs whose files are
// there in the folder with the listed size, and the dictionaries its
// pieces name (each once, in the order first named). Empty when there is
// no such description or it is not a valid one.
struct TEarlierPackedPieces
{
  QHash<QByteArray, TPackedPieceAt> pieces;
  std::vector<std::shared_ptr<const shared::TDictionaryInDescription>> dictionaries;
};
TEarlierPackedPieces existingPackedPieces(const QString& OutputDirectory);

// The packed bytes of such a piece, read from its pack; empty when they
// cannot be read whole.
QByteArray readPackedPiece(const QString& OutputDirectory, const TPackedPieceAt& Piece);

// Appends pieces to packs in the order they are given and writes each pack
// when it is full (or closed): a pack is closed before a piece would take
// it past the pack size. Packs are numbered in the order they are opened or
// named, whether written here or found in the folder.
class TPackWriter
{
public:
  TPackWriter(QString OutputDirectory, std::uint64_t PackSize);

  struct TPlace
  {
    int pack = -1;
    std::uint64_t offset = 0;
  };
  // Where Data lands; on a write failure pack is -1 and Error is set.
  TPlace append(const QByteArray& Data, QString& Error);
  // The number of a pack an earlier publication left in the folder.
  int existing(const TPackFile& Pack);
  // Writes the open pack, if any; false with Error set on failure.
  bool close(QString& Error);

  const std::vector<TPackFile>& packs() const { return m_Packs; }

private:
  QString m_OutputDirectory;
  std::uint64_t m_PackSize;
  std::vector<TPackFile> m_Packs;
  QHash<QString, int> m_ByUrl;
  QByteArray m_Open;
  int m_OpenNumber = -1;
};

} // namespace orvale::publisher
