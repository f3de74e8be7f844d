// Blocks inside chunk files: the content-defined cut, the Deflate and
// Zstandard layouts whose block ranges decode alone, the block index read from untrusted
// bytes, the fetch plan, and the answers to range requests.

#include "shared/blockchunker.h"
#include "shared/blocks.h"
#include "shared/byteranges.h"
#include "shared/payload.h"
#include "shared/sha256.h"

#include "gamebuild.h"
#include "testsupport.h"

#include <QHash>
#include <QSet>
#include <QtTest>

#include <cstring>
#include <functional>

using namespace shared;

namespace {

constexpr int kKiB = 1024;

const std::uint8_t* bytes(const QByteArray& Data)
{
  return reinterpret_cast<const std::uint8_t*>(Data.constData());
}

// Incompressible and text-like stretches, so that Deflate ranges differ in
// size from their blocks.
QByteArray mixedPiece(int Size, quint64 Seed)
{
  QByteArray Piece;
  for (quint64 Part = 0; Piece.size() < Size; ++Part)
    Piece += Part % 2 == 0 ? testsupport::textBytes(300 * kKiB, Seed + Part)
                           : testsupport::pseudoRandomBytes(200 * kKiB, Seed + Part);
  Piece.truncate(Size);
  return Piece;
}

QSet<QByteArray> blockHashes(const QByteArray& Data)
{
  QSet<QByteArray> Hashes;
  std::size_t Offset = 0;
  for (const std::uint32_t Length : cutBlocks(bytes(Data), std::size_t(Data.size()))) {
    Hashes.insert(TSha256::hash(Data.constData() + Offset, Length));
    Offset += Length;
  }
  return Hashes;
}

// "offset-end,offset-end|..." of a plan's requests.
QString requestsText(const TBlockFetchPlan& Plan)
{
  QStringList Requests;
  for (const std::vector<TByteRange>& Request : Plan.requests) {
    QStringList Ranges;
    for (const TByteRange& Range : Request)
      Ranges << QString("%1-%2").arg(Range.offset).arg(Range.end());
    Requests << Ranges.join(',');
  }
  return Requests.join('|');
}

// A hand-made index of a stored chunk file: blocks of the given sizes,
// block i's hash is the byte i.
TBlockIndex storedIndex(const std::vector<std::uint32_t>& Sizes)
{
  TBlockIndex Index;
  for (std::size_t Number = 0; Number < Sizes.size(); ++Number) {
    TBlock Block;
    Block.unpackedOffset = Block.packedOffset = Index.unpackedSize;
    Block.unpackedSize = Block.packedSize = Sizes[Number];
    Block.hash = QByteArray(1, char(Number));
    Index.unpackedSize += Sizes[Number];
    Index.blocks.push_back(Block);
  }
  Index.chunkFileSize = Index.unpackedSize;
  return Index;
}

void setLittleEndian(QByteArray& Data, int Offset, std::uint64_t Value, int Bytes)
{
  for (int Index = 0; Index < Bytes; ++Index)
    Data[Offset + Index] = char((Value >> (8 * Index)) & 0xFF);
}

std::uint64_t littleEndian(const QByteArray& Data, int Offset, int Bytes)
{
  std::uint64_t Value = 0;
  for (int Index = 0; Index < Bytes; ++Index)
    Value |= std::uint64_t(std::uint8_t(Data[Offset + Index])) << (8 * Index);
  return Value;
}

// The file that the range answers below are about, and what was asked.
const QByteArray& rangeFile()
{
  static const QByteArray File = testsupport::pseudoRandomBytes(1000, 77);
  return File;
}

const std::vector<TByteRange> kAsked = {{10, 10}, {100, 50}};

// One part of a multipart/byteranges body as nginx writes it: the bytes
// [First, Last] of File.
QByteArray part(const QByteArray& Boundary, std::uint64_t First, std::uint64_t Last, const QByteArray& Total = "1000",
                const QByteArray& File = rangeFile())
{
  return "\r\n--" + Boundary + "\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes " +
         QByteArray::number(qulonglong(First)) + "-" + QByteArray::number(qulonglong(Last)) + "/" + Total +
         "\r\n\r\n" + File.mid(int(First), int(Last - First + 1));
}

QByteArray closing(const QByteArray& Boundary)
{
  return "\r\n--" + Boundary + "--\r\n";
}

// The packers of the compressed layouts with blocks, and of the same codec
// over the whole piece without them.
using TBlockPacker = std::function<TBlockedPiece(const QByteArray&)>;
using TPlainPacker = std::function<QByteArray(const QByteArray&)>;

void addBlockLayoutRows()
{
  QTest::addColumn<TBlockPacker>("pack");
  QTest::addColumn<TPlainPacker>("packPlain");
  QTest::addColumn<int>("format");
  QTest::newRow("deflate") << TBlockPacker([](const QByteArray& Piece) {
    return packDeflateBlocks(Piece.constData(), std::size_t(Piece.size()), 6);
  }) << TPlainPacker([](const QByteArray& Piece) {
    return packPayload(EPayloadFormat::Deflate, Piece.constData(), std::size_t(Piece.size()));
  }) << int(EPayloadFormat::Deflate);
  QTest::newRow("zstd") << TBlockPacker([](const QByteArray& Piece) {
    return packZstdBlocks(Piece.constData(), std::size_t(Piece.size()), 9);
  }) << TPlainPacker([](const QByteArray& Piece) {
    return packPayload(EPayloadFormat::Zstd, Piece.constData(), std::size_t(Piece.size()), 9);
  }) << int(EPayloadFormat::Zstd);
}

} // namespace

Q_DECLARE_METATYPE(std::function<void(QByteArray&)>)
Q_DECLARE_METATYPE(TBlockPacker)
Q_DECLARE_METATYPE(TPlainPacker)

class TestBlocks : public QObject
{
  Q_OBJECT

private slots:
  void cutIsBoundedAndStreamable_data();
  void cutIsBoundedAndStreamable();
  void cutIsPinned();
  void cutResynchronisesAfterAnEdit();
  void packedBlocksDecodeAloneAndAsOnePayload_data() { addBlockLayoutRows(); }
  void packedBlocksDecodeAloneAndAsOnePayload();
  void storedBlocksArePlainRanges();
  void blockRangesAreChecked_data() { addBlockLayoutRows(); }
  void blockRangesAreChecked();
  void indexRoundTrip();
  void hostileIndexesAreRefused_data();
  void hostileIndexesAreRefused();
  void fetchPlan_data();
  void fetchPlan();
  void rangeAnswers_data();
  void rangeAnswers();
  void assemblesFromRangesAndBlocksAtHand();
};

void TestBlocks::cutIsBoundedAndStreamable_data()
{
  QTest::addColumn<QByteArray>("data");
  QTest::newRow("random") << testsupport::pseudoRandomBytes(3 * 1024 * kKiB, 1);
  QTest::newRow("text") << testsupport::textBytes(2 * 1024 * kKiB, 2);
  QTest::newRow("zeros") << QByteArray(1024 * kKiB, '\0');
  QTest::newRow("below the minimum") << testsupport::pseudoRandomBytes(int(BlockMinimumSize) - 1, 3);
  QTest::newRow("one above the minimum") << testsupport::pseudoRandomBytes(int(BlockMinimumSize) + 1, 4);
  QTest::newRow("one byte") << QByteArray("x");
}

void TestBlocks::cutIsBoundedAndStreamable()
{
  QFETCH(QByteArray, data);
  const std::vector<std::uint32_t> Lengths = cutBlocks(bytes(data), std::size_t(data.size()));
  QCOMPARE(cutBlocks(bytes(data), std::size_t(data.size())), Lengths);
  std::uint64_t Sum = 0;
  for (std::size_t Index = 0; Index < Lengths.size(); ++Index) {
    QVERIFY(Lengths[Index] <= BlockMaximumSize);
    if (Index + 1 < Lengths.size())
      QVERIFY(Lengths[Index] > BlockMinimumSize);
    // A stream cutter that keeps only the maximum block size available
    // cuts the same blocks.
    const std::size_t Window = std::min<std::size_t>(BlockMaximumSize, std::size_t(data.size()) - Sum);
    QCOMPARE(nextBlockLength(bytes(data) + Sum, Window), std::size_t(Lengths[Index]));
    Sum += Lengths[Index];
  }
  QCOMPARE(Sum, std::uint64_t(data.size()));
  if (data.size() > 2 * 1024 * kKiB) {
    const double Average = double(data.size()) / double(Lengths.size());
    QVERIFY2(Average > 48 * kKiB && Average < 96 * kKiB, qPrintable(QString::number(Average)));
  }
}

void TestBlocks::cutIsPinned()
{
  // Publisher and launcher of different releases must cut alike: a change
  // of the cut would make every published index useless to launchers. The
  // figures come from an independent rendering of the documented rule.
  const QByteArray Data = testsupport::pseudoRandomBytes(1024 * kKiB, 42);
  const std::vector<std::uint32_t> Lengths = cutBlocks(bytes(Data), std::size_t(Data.size()));
  QCOMPARE(std::vector<std::uint32_t>(Lengths.begin(), Lengths.begin() + 4),
           (std::vector<std::uint32_t>{93387, 50611, 71983, 97730}));
}

void TestBlocks::cutResynchronisesAfterAnEdit()
{
  const QByteArray Old = mixedPiece(4 * 1024 * kKiB, 10);
  QByteArray New = Old;
  New.insert(1536 * kKiB, testsupport::pseudoRandomBytes(3000, 11));
  New.replace(3 * 1024 * kKiB, 500, testsupport::pseudoRandomBytes(500, 12));
  const QSet<QByteArray> OldBlocks = blockHashes(Old);
  const QSet<QByteArray> NewBlocks = blockHashes(New);
  // Only the blocks around the two edits are new.
  QVERIFY2((NewBlocks - OldBlocks).size() <= 4, qPrintable(QString::number((NewBlocks - OldBlocks).size())));
  QVERIFY(NewBlocks.size() > 40);
}

void TestBlocks::packedBlocksDecodeAloneAndAsOnePayload()
{
  QFETCH(TBlockPacker, pack);
  QFETCH(int, format);
  const QByteArray Piece = mixedPiece(3 * 1024 * kKiB + 777, 20);
  const TBlockedPiece Packed = pack(Piece);
  QVERIFY(!Packed.chunkFile.isEmpty());
  QVERIFY(Packed.chunkFile.size() < Piece.size());
  QCOMPARE(pack(Piece).chunkFile, Packed.chunkFile);
  // A launcher without blocks decodes the chunk file as ever.
  QByteArray Decoded;
  QVERIFY(unpackPayload(Packed.chunkFile, Decoded, std::uint64_t(Piece.size())));
  QCOMPARE(Decoded, Piece);
  QCOMPARE(int(readPayloadHeader(Packed.chunkFile.constData(), std::size_t(Packed.chunkFile.size()))->format), format);

  const TBlockIndex& Index = Packed.index;
  QCOMPARE(int(Index.encoding), format);
  QCOMPARE(Index.chunkFileSize, std::uint64_t(Packed.chunkFile.size()));
  std::vector<std::uint32_t> Lengths;
  for (const TBlock& Block : Index.blocks) {
    Lengths.push_back(Block.unpackedSize);
    const auto Content =
        decodeBlock(Index.encoding, Block, Packed.chunkFile.constData() + Block.packedOffset, Block.packedSize);
    QVERIFY(Content);
    QCOMPARE(*Content, Piece.mid(int(Block.unpackedOffset), int(Block.unpackedSize)));
  }
  QCOMPARE(Lengths, cutBlocks(bytes(Piece), std::size_t(Piece.size())));
  const auto Parsed = parseBlockIndex(serializeBlockIndex(Index), Index.chunkFileSize, Index.unpackedSize);
  QVERIFY(Parsed);
  QCOMPARE(Parsed->blocks.size(), Index.blocks.size());
  QVERIFY(!firstUndecodableBlock(*Parsed, Packed.chunkFile));
}

void TestBlocks::storedBlocksArePlainRanges()
{
  const QByteArray Piece = testsupport::pseudoRandomBytes(700 * kKiB, 21);
  const TBlockIndex Index = storedBlockIndex(Piece.constData(), std::size_t(Piece.size()));
  QVERIFY(Index.blocks.size() > 3);
  QCOMPARE(Index.chunkFileSize, std::uint64_t(Piece.size()));
  for (const TBlock& Block : Index.blocks) {
    QCOMPARE(Block.packedOffset, Block.unpackedOffset);
    const auto Content = decodeBlock(Index.encoding, Block, Piece.constData() + Block.packedOffset, Block.packedSize);
    QVERIFY(Content);
    QCOMPARE(*Content, Piece.mid(int(Block.unpackedOffset), int(Block.unpackedSize)));
  }
  QVERIFY(parseBlockIndex(serializeBlockIndex(Index), Index.chunkFileSize, Index.unpackedSize));
}

void TestBlocks::blockRangesAreChecked()
{
  QFETCH(TBlockPacker, pack);
  QFETCH(TPlainPacker, packPlain);
  QFETCH(int, format);
  const auto Encoding = EBlockEncoding(format);
  const QByteArray Piece = testsupport::textBytes(1024 * kKiB, 22);
  const TBlockedPiece Packed = pack(Piece);
  const QByteArray& File = Packed.chunkFile;
  const std::vector<TBlock>& Blocks = Packed.index.blocks;
  QVERIFY(Blocks.size() >= 3);
  const TBlock& Second = Blocks[1];
  const char* Range = File.constData() + Second.packedOffset;
  QVERIFY(decodeBlock(Encoding, Second, Range, Second.packedSize));
  // Cut short, or running into the next block.
  TBlock Shorter = Second;
  --Shorter.packedSize;
  QVERIFY(!decodeBlock(Encoding, Shorter, Range, Shorter.packedSize));
  TBlock Longer = Second;
  Longer.packedSize += Blocks[2].packedSize;
  QVERIFY(!decodeBlock(Encoding, Longer, Range, Longer.packedSize));
  // The right range, but another content than the hash names.
  TBlock OtherHash = Second;
  OtherHash.hash = Blocks[0].hash;
  QVERIFY(!decodeBlock(Encoding, OtherHash, Range, OtherHash.packedSize));
  // A damaged byte.
  QByteArray Damaged(Range, int(Second.packedSize));
  Damaged[Damaged.size() / 2] = char(Damaged[Damaged.size() / 2] ^ 0x20);
  QVERIFY(!decodeBlock(Encoding, Second, Damaged.constData(), std::size_t(Damaged.size())));
  // The same bytes range of the codec's stream over the whole piece does
  // not stand alone.
  const QByteArray Plain = packPlain(Piece);
  QVERIFY(!decodeBlock(Encoding, Second, Plain.constData() + Second.packedOffset, Second.packedSize));
  // A stored range must be the block.
  TBlock Stored = Second;
  Stored.packedSize = Stored.unpackedSize;
  const QByteArray Content = Piece.mid(int(Second.unpackedOffset), int(Second.unpackedSize));
  QVERIFY(decodeBlock(EBlockEncoding::Stored, Stored, Content.constData(), std::size_t(Content.size())));
  QVERIFY(!decodeBlock(EBlockEncoding::Stored, Stored, Content.constData(), std::size_t(Content.size()) - 1));
}

void TestBlocks::indexRoundTrip()
{
  const QByteArray Piece = mixedPiece(2 * 1024 * kKiB, 30);
  const TBlockedPiece Packed = packDeflateBlocks(Piece.constData(), std::size_t(Piece.size()), 6);
  const QByteArray Data = serializeBlockIndex(Packed.index);
  QCOMPARE(std::size_t(Data.size()), kBlockIndexHeaderSize + Packed.index.blocks.size() * kBlockIndexEntrySize);
  const auto Parsed = parseBlockIndex(Data, Packed.index.chunkFileSize, Packed.index.unpackedSize);
  QVERIFY(Parsed);
  QCOMPARE(serializeBlockIndex(*Parsed), Data);
  for (std::size_t Number = 0; Number < Parsed->blocks.size(); ++Number) {
    const TBlock& Left = Parsed->blocks[Number];
    const TBlock& Right = Packed.index.blocks[Number];
    QCOMPARE(Left.unpackedOffset, Right.unpackedOffset);
    QCOMPARE(Left.packedOffset, Right.packedOffset);
    QCOMPARE(Left.packedSize, Right.packedSize);
    QCOMPARE(Left.hash, Right.hash);
  }
}

void TestBlocks::hostileIndexesAreRefused_data()
{
  QTest::addColumn<std::function<void(QByteArray&)>>("damage");
  QTest::addColumn<qint64>("chunkFileSizeChange");
  QTest::addColumn<qint64>("unpackedSizeChange");
  using TDamage = std::function<void(QByteArray&)>;
  const TDamage None = [](QByteArray&) {};
  const int First = int(kBlockIndexHeaderSize);
  QTest::newRow("truncated by one byte") << TDamage([](QByteArray& Data) { Data.chop(1); }) << 0ll << 0ll;
  QTest::newRow("truncated header") << TDamage([](QByteArray& Data) { Data.truncate(20); }) << 0ll << 0ll;
  QTest::newRow("one entry too many")
      << TDamage([](QByteArray& Data) { Data.append(Data.mid(int(kBlockIndexHeaderSize), 40)); }) << 0ll << 0ll;
  QTest::newRow("wrong magic") << TDamage([](QByteArray& Data) { Data[0] = 'X'; }) << 0ll << 0ll;
  QTest::newRow("version 2") << TDamage([](QByteArray& Data) { Data[4] = 2; }) << 0ll << 0ll;
  QTest::newRow("unknown encoding") << TDamage([](QByteArray& Data) { Data[5] = 10; }) << 0ll << 0ll;
  QTest::newRow("reserved bytes set") << TDamage([](QByteArray& Data) { Data[7] = 1; }) << 0ll << 0ll;
  QTest::newRow("count zero") << TDamage([](QByteArray& Data) { setLittleEndian(Data, 8, 0, 4); }) << 0ll << 0ll;
  QTest::newRow("huge count") << TDamage([](QByteArray& Data) { setLittleEndian(Data, 8, 0xFFFFFFFF, 4); }) << 0ll
                              << 0ll;
  QTest::newRow("huge count with its entries") << TDamage([](QByteArray& Data) {
    setLittleEndian(Data, 8, kMaxBlocksPerIndex + 1, 4);
    Data.resize(int(kBlockIndexHeaderSize + (kMaxBlocksPerIndex + 1) * kBlockIndexEntrySize));
  }) << 0ll << 0ll;
  QTest::newRow("other chunk file size") << None << 1ll << 0ll;
  QTest::newRow("other unpacked size") << None << 0ll << -1ll;
  QTest::newRow("first range past the file")
      << TDamage([](QByteArray& Data) { setLittleEndian(Data, 28, 1ull << 40, 8); }) << 0ll << 0ll;
  QTest::newRow("ranges past the file") << TDamage([First](QByteArray& Data) {
    setLittleEndian(Data, First + 4, littleEndian(Data, First + 4, 4) + 1, 4);
  }) << 0ll << 0ll;
  QTest::newRow("ranges short of the file end") << TDamage([First](QByteArray& Data) {
    setLittleEndian(Data, First + 4, littleEndian(Data, First + 4, 4) - 1, 4);
  }) << 0ll << 0ll;
  QTest::newRow("blocks not adding up") << TDamage([First](QByteArray& Data) {
    setLittleEndian(Data, First, littleEndian(Data, First, 4) + 1, 4);
  }) << 0ll << 0ll;
  QTest::newRow("empty block") << TDamage([First](QByteArray& Data) { setLittleEndian(Data, First, 0, 4); }) << 0ll
                               << 0ll;
  QTest::newRow("block above the largest size")
      << TDamage([First](QByteArray& Data) { setLittleEndian(Data, First, kMaxBlockSize + 1, 4); }) << 0ll << 0ll;
  QTest::newRow("range far larger than its block") << TDamage([First](QByteArray& Data) {
    setLittleEndian(Data, First + 4, littleEndian(Data, First, 4) * 2, 4);
  }) << 0ll << 0ll;
  QTest::newRow("stored range unlike its block") << TDamage([](QByteArray& Data) { Data[5] = 0; }) << 0ll << 0ll;
  QTest::newRow("larger than any index")
      << TDamage([](QByteArray& Data) { Data.resize(int(kMaxBlockIndexBytes) + 40); }) << 0ll << 0ll;
}

void TestBlocks::hostileIndexesAreRefused()
{
  QFETCH(std::function<void(QByteArray&)>, damage);
  QFETCH(qint64, chunkFileSizeChange);
  QFETCH(qint64, unpackedSizeChange);
  const QByteArray Piece = testsupport::textBytes(1024 * kKiB, 31);
  const TBlockedPiece Packed = packDeflateBlocks(Piece.constData(), std::size_t(Piece.size()), 6);
  QByteArray Data = serializeBlockIndex(Packed.index);
  QVERIFY(parseBlockIndex(Data, Packed.index.chunkFileSize, Packed.index.unpackedSize));
  damage(Data);
  QVERIFY(!parseBlockIndex(Data, Packed.index.chunkFileSize + std::uint64_t(chunkFileSizeChange),
                           Packed.index.unpackedSize + std::uint64_t(unpackedSizeChange)));
}

void TestBlocks::fetchPlan_data()
{
  QTest::addColumn<QString>("atHand");  // one character per block: 'x' at hand
  QTest::addColumn<int>("perRequest");
  QTest::addColumn<QString>("missing");
  QTest::addColumn<QString>("requests");
  QTest::addColumn<bool>("wholeFile");
  // Blocks of 100 bytes, except the fourth (10 bytes, a gap to bridge).
  QTest::newRow("everything at hand") << "xxxxxx" << 16 << "" << "" << false;
  QTest::newRow("nothing at hand: the whole file") << "......" << 16 << "0,1,2,3,4,5" << "0-510" << true;
  QTest::newRow("neighbours merged") << "..xxxx" << 16 << "0,1" << "0-200" << false;
  QTest::newRow("separate ranges in one request") << ".x.xx." << 16 << "0,2,5" << "0-100,200-300,410-510" << false;
  QTest::newRow("a small gap bridged") << "xx.x.x" << 16 << "2,4" << "200-410" << false;
  QTest::newRow("grouped into requests") << ".x.xx." << 2 << "0,2,5" << "0-100,200-300|410-510" << false;
  QTest::newRow("one range per request") << "x.x.x." << 1 << "1,3,5" << "100-200|300-310|410-510" << false;
}

void TestBlocks::fetchPlan()
{
  QFETCH(QString, atHand);
  QFETCH(int, perRequest);
  QFETCH(QString, missing);
  QFETCH(QString, requests);
  QFETCH(bool, wholeFile);
  const TBlockIndex Index = storedIndex({100, 100, 100, 10, 100, 100});
  QSet<QByteArray> AtHand;
  for (int Number = 0; Number < atHand.size(); ++Number) {
    if (atHand[Number] == 'x')
      AtHand.insert(Index.blocks[std::size_t(Number)].hash);
  }
  TFetchPlanOptions Options;
  Options.bridgeGapBytes = 10;
  Options.maxRangesPerRequest = std::size_t(perRequest);
  const TBlockFetchPlan Plan =
      planBlockFetch(Index, [&](const QByteArray& Hash) { return AtHand.contains(Hash); }, Options);
  QStringList Missing;
  for (const std::size_t Number : Plan.missingBlocks)
    Missing << QString::number(Number);
  QCOMPARE(Missing.join(','), missing);
  QCOMPARE(requestsText(Plan), requests);
  QCOMPARE(Plan.wholeFile, wholeFile);
  std::uint64_t Bytes = 0;
  for (const auto& Request : Plan.requests) {
    for (const TByteRange& Range : Request)
      Bytes += Range.length;
  }
  QCOMPARE(Plan.bytes, Bytes);
}

void TestBlocks::rangeAnswers_data()
{
  QTest::addColumn<int>("status");
  QTest::addColumn<QByteArray>("contentType");
  QTest::addColumn<QByteArray>("contentRange");
  QTest::addColumn<QByteArray>("body");
  QTest::addColumn<bool>("accepted");
  const QByteArray Type = "multipart/byteranges; boundary=00000000000000000001";
  const QByteArray B = "00000000000000000001";
  const QByteArray Both = part(B, 10, 19) + part(B, 100, 149) + closing(B);
  QTest::newRow("multipart") << 206 << Type << QByteArray() << Both << true;
  QTest::newRow("multipart, quoted boundary, unknown total")
      << 206 << QByteArray("Multipart/Byteranges;boundary=\"x y\"") << QByteArray()
      << part("x y", 10, 19, "*") + part("x y", 100, 149, "*") + closing("x y") << true;
  QTest::newRow("multipart, parts in another order, epilogue")
      << 206 << Type << QByteArray() << part(B, 100, 149) + part(B, 10, 19) + closing(B) + "epilogue" << true;
  QTest::newRow("multipart, ranges merged into one part")
      << 206 << Type << QByteArray() << part(B, 5, 160) + closing(B) << true;
  QTest::newRow("one range holding both") << 206 << QByteArray("application/octet-stream")
                                          << QByteArray("bytes 10-149/1000") << rangeFile().mid(10, 140) << true;
  QTest::newRow("the whole file (ranges ignored)") << 200 << QByteArray() << QByteArray() << rangeFile() << true;

  QTest::newRow("200 with part of the file") << 200 << QByteArray() << QByteArray() << rangeFile().left(999) << false;
  QTest::newRow("416") << 416 << QByteArray() << QByteArray("bytes */1000") << QByteArray() << false;
  QTest::newRow("206 without a range") << 206 << QByteArray() << QByteArray() << rangeFile().mid(10, 140) << false;
  QTest::newRow("one range, not all asked") << 206 << QByteArray() << QByteArray("bytes 10-19/1000")
                                            << rangeFile().mid(10, 10) << false;
  QTest::newRow("one range, body too short") << 206 << QByteArray() << QByteArray("bytes 10-149/1000")
                                             << rangeFile().mid(10, 139) << false;
  QTest::newRow("wrong boundary") << 206 << QByteArray("multipart/byteranges; boundary=other") << QByteArray()
                                  << Both << false;
  QTest::newRow("no boundary") << 206 << QByteArray("multipart/byteranges") << QByteArray() << Both << false;
  QTest::newRow("missing part") << 206 << Type << QByteArray() << part(B, 10, 19) + closing(B) << false;
  QTest::newRow("range split over two parts")
      << 206 << Type << QByteArray() << part(B, 10, 14) + part(B, 15, 19) + part(B, 100, 149) + closing(B) << false;
  QTest::newRow("overlapping parts")
      << 206 << Type << QByteArray() << part(B, 10, 120) + part(B, 100, 149) + closing(B) << false;
  QTest::newRow("unasked part")
      << 206 << Type << QByteArray() << part(B, 10, 19) + part(B, 500, 549) + closing(B) << false;
  QTest::newRow("another file size")
      << 206 << Type << QByteArray() << part(B, 10, 19, "999") + part(B, 100, 149, "999") + closing(B) << false;
  QTest::newRow("range past the file") << 206 << QByteArray() << QByteArray("bytes 10-1009/1000")
                                       << rangeFile().mid(10) + QByteArray(10, 'x') << false;
  QTest::newRow("part shorter than its range")
      << 206 << Type << QByteArray() << part(B, 10, 19) + part(B, 100, 149).chopped(1) + closing(B) << false;
  QTest::newRow("no final delimiter") << 206 << Type << QByteArray() << part(B, 10, 19) + part(B, 100, 149) << false;
  QTest::newRow("malformed range")
      << 206 << Type << QByteArray()
      << part(B, 10, 19) + QByteArray(part(B, 100, 149)).replace("bytes 100-149", "bytes 149-100") + closing(B)
      << false;
  QTest::newRow("part without a range")
      << 206 << Type << QByteArray()
      << part(B, 10, 19) + QByteArray(part(B, 100, 149)).replace("Content-Range", "Content-Rank") + closing(B)
      << false;
  QTest::newRow("headers too long")
      << 206 << Type << QByteArray()
      << part(B, 10, 19) + QByteArray(part(B, 100, 149)).replace("Content-Type", "X-Pad: " + QByteArray(2000, 'p'))
             + closing(B)
      << false;
  QTest::newRow("preamble too long") << 206 << Type << QByteArray() << QByteArray(2500, 'p') + Both << false;
  QTest::newRow("oversized body") << 206 << Type << QByteArray() << Both + QByteArray(4000, 'e') << false;
}

void TestBlocks::rangeAnswers()
{
  QFETCH(int, status);
  QFETCH(QByteArray, contentType);
  QFETCH(QByteArray, contentRange);
  QFETCH(QByteArray, body);
  QFETCH(bool, accepted);
  const auto Ranges = extractRequestedRanges({status, contentType, contentRange, body}, kAsked, 1000);
  QCOMPARE(bool(Ranges), accepted);
  if (Ranges)
    QCOMPARE(*Ranges, (std::vector<QByteArray>{rangeFile().mid(10, 10), rangeFile().mid(100, 50)}));
  QCOMPARE(rangeHeaderValue(kAsked), QByteArray("bytes=10-19,100-149"));
  // A request that names bytes outside the file is refused whatever the
  // answer.
  QVERIFY(!extractRequestedRanges({200, {}, {}, rangeFile()}, {{990, 20}}, 1000));
}

void TestBlocks::assemblesFromRangesAndBlocksAtHand()
{
  // Old data at hand, cut into blocks as the launcher cuts it; the new
  // piece has an insert and an overwrite.
  const QByteArray Old = mixedPiece(3 * 1024 * kKiB, 40);
  QByteArray New = Old;
  New.insert(1024 * kKiB, testsupport::pseudoRandomBytes(5000, 41));
  New.replace(2560 * kKiB, 1000, testsupport::textBytes(1000, 42));
  const TBlockedPiece Packed = packDeflateBlocks(New.constData(), std::size_t(New.size()), 6);
  const QByteArray& File = Packed.chunkFile;
  QHash<QByteArray, QByteArray> AtHand;
  for (const TBlock& Block : cutAndHashBlocks(Old.constData(), std::size_t(Old.size())))
    AtHand.insert(Block.hash, Old.mid(int(Block.unpackedOffset), int(Block.unpackedSize)));
  TFetchPlanOptions Options;
  Options.maxRangesPerRequest = 1;
  const TBlockFetchPlan Plan =
      planBlockFetch(Packed.index, [&](const QByteArray& Hash) { return AtHand.contains(Hash); }, Options);
  QVERIFY(!Plan.wholeFile);
  QCOMPARE(Plan.requests.size(), std::size_t(2));
  QVERIFY(Plan.bytes < std::uint64_t(File.size()) / 4);

  // Each request answered as a server would, one part per range.
  const QByteArray Boundary = "3d6b6a416f9b5";
  std::vector<QByteArray> Fetched;
  for (const std::vector<TByteRange>& Request : Plan.requests) {
    QByteArray Body;
    for (const TByteRange& Range : Request)
      Body += part(Boundary, Range.offset, Range.end() - 1, QByteArray::number(File.size()), File);
    const auto Bodies = extractRequestedRanges(
        {206, "multipart/byteranges; boundary=" + Boundary, {}, Body + closing(Boundary)}, Request,
        std::uint64_t(File.size()));
    QVERIFY(Bodies);
    Fetched.insert(Fetched.end(), Bodies->begin(), Bodies->end());
  }
  const auto BlockAtHand = [&](const TBlock& Block) -> std::optional<QByteArray> {
    const auto Found = AtHand.constFind(Block.hash);
    return Found == AtHand.constEnd() ? std::nullopt : std::optional<QByteArray>(*Found);
  };
  const auto Assembled = assembleChunk(Packed.index, Plan, Fetched, BlockAtHand);
  QVERIFY(Assembled);
  QVERIFY(*Assembled == New);

  // A damaged range, a range too few, a block at hand that is gone.
  std::vector<QByteArray> Damaged = Fetched;
  Damaged[0][Damaged[0].size() / 2] = char(Damaged[0][Damaged[0].size() / 2] ^ 0x01);
  QVERIFY(!assembleChunk(Packed.index, Plan, Damaged, BlockAtHand));
  QVERIFY(!assembleChunk(Packed.index, Plan, {Fetched.front()}, BlockAtHand));
  QVERIFY(!assembleChunk(Packed.index, Plan, Fetched, [](const TBlock&) { return std::optional<QByteArray>(); }));
}

QTEST_GUILESS_MAIN(TestBlocks)
#include "test_blocks.moc"
