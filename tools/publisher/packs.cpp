#include "packs.h"

#include "chunkfile.h"
#include "descriptionsource.h"

#include "shared/packageconfigurationreader.h"
#include "shared/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace orvale::publisher {

QString packUrl(const QByteArray& PackHash)
{
  return QString("packs/%1.pack").arg(QString::fromLatin1(PackHash.toHex()));
}

bool isPackFileName(const QString& Name)
{
  static const QRegularExpression Pattern("^[0-9a-f]{64}\\.pack$");
  return Pattern.match(Name).hasMatch();
}

namespace {

// The pack a record of the description in Folder names, relative to the
// folder; empty unless it is a pack file of the folder's "packs" folder.
QString packInFolder(const QString& Folder, const QUrl& Url)
{
  if (!Url.isLocalFile())
    return QString();
  const QString Path = QDir::cleanPath(Url.toLocalFile());
  const QString Name = QFileInfo(Path).fileName();
  if (!isPackFileName(Name) || Path != QDir(Folder).filePath("packs/" + Name))
    return QString();
  return "packs/" + Name;
}

} // namespace

TEarlierPackedPieces existingPackedPieces(const QString& OutputDirectory)
{
  TEarlierPackedPieces Earlier;
  const QString Folder = QDir::cleanPath(QFileInfo(OutputDirectory).absoluteFilePath());
  const TFetchedFile File = readLocalFile(QDir(Folder).filePath("package.json"), kMaxDescriptionBytes);
  if (File.state != TFetchedFile::EState::Read)
    return Earlier;
  const shared::TPackageConfigurationReader Description(File.data, QByteArray(), QUrl::fromLocalFile(Folder + "/"),
                                                        QUrl());
  if (!Description.isValid())
    return Earlier;
  QHash<QString, bool> Present;  // by relative URL: the file is there with its listed size
  QSet<QByteArray> Dictionaries;  // by hash
  for (const shared::TChunkInPackage& Record : distinctDownloadRecords(Description)) {
    if (Record.dictionary && !Dictionaries.contains(Record.dictionary->hash)) {
      Dictionaries.insert(Record.dictionary->hash);
      Earlier.dictionaries.push_back(Record.dictionary);
    }
    const QString Url = Record.inPack() ? packInFolder(Folder, Record.packUrl) : QString();
    if (Url.isEmpty() || Earlier.pieces.contains(Record.unpackedHash))
      continue;
    auto Known = Present.constFind(Url);
    if (Known == Present.constEnd())
      Known = Present.insert(Url, QFileInfo(QDir(Folder).filePath(Url)).size() == qint64(Record.packSize));
    if (!Known.value())
      continue;
    const QByteArray DictionaryHash = Record.dictionary ? Record.dictionary->hash : QByteArray();
    Earlier.pieces.insert(Record.unpackedHash,
                          TPackedPieceAt{{Url, Record.packSize, false}, Record.packOffset, Record.packedSize,
                                         Record.packedHash, Record.unpack, DictionaryHash});
  }
  return Earlier;
}

QByteArray readPackedPiece(const QString& OutputDirectory, const TPackedPieceAt& Piece)
{
  if (Piece.packedSize > shared::kMaxPackBytes)
    return QByteArray();
  QFile File(QDir(OutputDirectory).filePath(Piece.pack.url));
  if (!File.open(QIODevice::ReadOnly) || File.size() != qint64(Piece.pack.size) || !File.seek(qint64(Piece.offset)))
    return QByteArray();
  QByteArray Data = File.read(qint64(Piece.packedSize));
  return std::uint64_t(Data.size()) == Piece.packedSize ? Data : QByteArray();
}

TPackWriter::TPackWriter(QString OutputDirectory, std::uint64_t PackSize)
  : m_OutputDirectory(std::move(OutputDirectory)), m_PackSize(PackSize)
{
}

TPackWriter::TPlace TPackWriter::append(const QByteArray& Data, QString& Error)
{
  if (m_OpenNumber >= 0 && std::uint64_t(m_Open.size()) + std::uint64_t(Data.size()) > m_PackSize && !close(Error))
    return TPlace();
  if (m_OpenNumber < 0) {
    m_OpenNumber = int(m_Packs.size());
    m_Packs.emplace_back();
  }
  const TPlace Place{m_OpenNumber, std::uint64_t(m_Open.size())};
  m_Open += Data;
  return Place;
}

int TPackWriter::existing(const TPackFile& Pack)
{
  const auto Known = m_ByUrl.constFind(Pack.url);
  if (Known != m_ByUrl.constEnd())
    return Known.value();
  const int Number = int(m_Packs.size());
  m_Packs.push_back(Pack);
  m_Packs.back().written = false;
  m_ByUrl.insert(Pack.url, Number);
  return Number;
}

bool TPackWriter::close(QString& Error)
{
  if (m_OpenNumber < 0)
    return true;
  TPackFile& Pack = m_Packs[std::size_t(m_OpenNumber)];
  Pack.url = packUrl(shared::TSha256::hash(m_Open));
  Pack.size = std::uint64_t(m_Open.size());
  // A pack is named by its content: one of this name that holds it is kept.
  const QString Path = QDir(m_OutputDirectory).filePath(Pack.url);
  const TFetchedFile There = readLocalFile(Path, m_Open.size());
  Pack.written = There.state != TFetchedFile::EState::Read || There.data != m_Open;
  if (Pack.written && !writeChunkFile(Path, m_Open, Error))
    return false;
  m_ByUrl.insert(Pack.url, m_OpenNumber);
  m_Open.clear();
  m_OpenNumber = -1;
  return true;
}

} // namespace orvale::publisher
