#include "shared/contentdefinedchunker.h"
#include "engine/oldblocks.h"
#include "shared/blockchunker.h"
#include "engine/packageinstallation.h"
#include "engine/piecemoves.h"
#include "engine/sharedwork.h"

#include "testsupport.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <random>
#include <cstring>
#include <stdexcept>

using namespace orvale::launcher;
using namespace shared;

namespace {

QString hexHash(const QByteArray& Data)
{
  return QString::fromLatin1(QCryptographicHash::hash(Data, QCryptographicHash::Sha256).toHex());
}

// Builds descriptions whose files consist of the given pieces.
class TDescriptionBuilder
{
public:
  // DeclaredSize: an unpacked size other than the data's.
  int chunk(const QByteArray& Data, const QString& Url = QString(), int DeclaredSize = -1)
  {
    QJsonObject Chunk{{"url", Url.isEmpty() ? QString("c/%1").arg(m_Chunks.size()) : Url},
                      {"packedsize", Data.size()},
                      {"unpackedsize", DeclaredSize >= 0 ? DeclaredSize : Data.size()},
                      {"unpackedhash", hexHash(Data)},
                      {"unpack", false}};
    m_Chunks.append(Chunk);
    return m_Chunks.size() - 1;
  }
  // The chunk offers a block index (whose content does not matter here).
  void offerBlocks(int Index)
  {
    QJsonObject Chunk = m_Chunks.at(Index).toObject();
    Chunk.insert("blockindex", Chunk.value("url").toString() + ".blocks");
    Chunk.insert("blockindexsize", 1000);
    Chunk.insert("blockindexhash", hexHash("index"));
    m_Chunks.replace(Index, Chunk);
  }
  void file(const QString& Name, const QList<int>& Chunks, const QByteArray& Content, bool OwnUrl = false)
  {
    QJsonArray Indices;
    for (int Index : Chunks)
      Indices.append(Index);
    QJsonObject File{{"localfile", Name}, {"unpackedsize", Content.size()}, {"unpackedhash", hexHash(Content)},
                     {"chunks", Indices}};
    if (OwnUrl) {
      File.insert("url", "files/" + Name);
      File.insert("packedsize", Content.size());
      File.insert("unpack", false);
    }
    m_Files.append(File);
  }
  TPackageConfigurationReader build(const QString& Version = "1") const
  {
    const QJsonObject Root{{"version", Version}, {"chunks", m_Chunks}, {"files", m_Files}};
    return TPackageConfigurationReader(QJsonDocument(Root).toJson(), QByteArray(), QUrl("http://h/p/"), QUrl());
  }

private:
  QJsonArray m_Chunks;
  QJsonArray m_Files;
};

struct TScanFixture
{
  QTemporaryDir directory;
  std::shared_ptr<TEngineFilesystemHelper> helper =
      std::make_shared<TEngineFilesystemHelper>(std::make_shared<TEngineSettings>());
  std::shared_ptr<TPackage> package = std::make_shared<TPackage>(0, QJsonObject{{"name", "Game"}}, QUrl());
  std::shared_ptr<TPackageInstallation> job = TPackageInstallation::create(package, helper);

  QDir dir() const { return QDir(directory.path()); }
  QString path(const QString& Name) const { return directory.filePath(Name); }
  // Fast: the fast scan with a full marker written after every file.
  TPackageDifference compute(const TPackageConfigurationReader& Published, const TPackageConfigurationReader& Installed,
                             bool Fast)
  {
    return compute(Published, Installed,
                   Fast ? std::optional<QDateTime>(QDateTime::currentDateTime().addDays(1)) : std::nullopt);
  }
  TPackageDifference compute(const TPackageConfigurationReader& Published, const TPackageConfigurationReader& Installed,
                             const std::optional<QDateTime>& MarkerTime)
  {
    return job->ComputeRequiredChangesForInstallation(dir(), helper, Published, Installed, MarkerTime);
  }
};

const TFileToDownload* findResult(const TPackageDifference& Difference, const QString& Name)
{
  for (const TFileToDownload& File : Difference.filesToDownload) {
    if (File.localFile == Name)
      return &File;
  }
  return nullptr;
}

// A helper whose second path join of a file (the first one sums up the
// sizes before the scan tasks start) stands in for the scan of that file:
// the one for FailingFile throws once another file's scan is under way; the
// others wait until it has thrown and then take a while longer to finish.
class TFailingScanHelper : public TEngineFilesystemHelper
{
public:
  explicit TFailingScanHelper(const QString& FailingFile)
    : TEngineFilesystemHelper(std::make_shared<TEngineSettings>()), m_FailingFile(FailingFile)
  {
  }

  QString joinPathInside(const QDir& Base, const QString& RelativePath) override
  {
    {
      QMutexLocker Lock(&m_Mutex);
      if (++m_Joins[RelativePath] == 1)
        return TEngineFilesystemHelper::joinPathInside(Base, RelativePath);
    }
    if (RelativePath == m_FailingFile) {
      waitFor([&] { return m_Started > 0; });
      m_Thrown = true;
      throw std::runtime_error("disk gone");
    }
    ++m_Started;
    waitFor([&] { return m_Thrown.load(); });
    QThread::msleep(300);
    ++m_Finished;
    return TEngineFilesystemHelper::joinPathInside(Base, RelativePath);
  }

  QMutex m_Mutex;
  QHash<QString, int> m_Joins;
  const QString m_FailingFile;
  std::atomic<int> m_Started{0};
  std::atomic<int> m_Finished{0};
  std::atomic<bool> m_Thrown{false};

private:
  template <typename TCondition>
  static void waitFor(TCondition Condition)
  {
    QDeadlineTimer Deadline(10000);
    while (!Condition() && !Deadline.hasExpired())
      QThread::msleep(5);
  }
};

QByteArray piece(char Fill, int Size)
{
  QByteArray Data = testsupport::pseudoRandomBytes(Size, quint64(Fill));
  Data[0] = Fill;
  return Data;
}

} // namespace

class TestScan : public QObject
{
  Q_OBJECT

private slots:
  void chunkerCutsByContent();
  void chunkerHashesMatchPieces();
  void wholeFiles();
  void sizeDecidesBeforeHashing();
  void chunkIndexOutsideTheChunkList();
  void flushVouchesOnlyForFilesThatAreThere_data();
  void flushVouchesOnlyForFilesThatAreThere();
  void inconsistentDescriptions();
  void fastScanMovesChunks_data();
  void fastScanMovesChunks();
  void fastScanTrustsOnlyUnchangedFiles_data();
  void fastScanTrustsOnlyUnchangedFiles();
  void fastScanOverlappingMoves();
  void piecesMovedBothWaysAndInACycle();
  void movePlans_data();
  void movePlans();
  void rebuildWritesThatFailAreDiskFailures();
  void identicalChunksInOneFile();
  void contentDefinedScanFindsShiftedData();
  void discardedBlocksOutliveTheRebuild();
  void chunksFoundWhereTheyBelong();
  void filesToDelete();
  void leftoversOfInterruptedWrites_data();
  void leftoversOfInterruptedWrites();
  void progressCoversExistingFiles();
  void failingFileEndsTheScanAfterTheOthers();
  void tasksStartedFromThePoolUseEveryThread();
};

namespace {

// A file that grows while it is read: it says it has 10 bytes and
// delivers many more.
class TGrowingDevice : public QIODevice
{
public:
  explicit TGrowingDevice(QByteArray Data) : m_Data(std::move(Data)) { open(QIODevice::ReadOnly); }
  qint64 size() const override { return 10; }

protected:
  qint64 readData(char* Data, qint64 MaxSize) override
  {
    const qint64 Size = std::min<qint64>(MaxSize, m_Data.size() - m_Position);
    std::memcpy(Data, m_Data.constData() + m_Position, std::size_t(Size));
    m_Position += Size;
    return Size;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

private:
  QByteArray m_Data;
  qint64 m_Position = 0;
};

// The cut rule byte by byte, as the format states it.
std::size_t pieceLengthByRule(const std::uint8_t* Data, std::size_t Available)
{
  if (Available <= ChunkingMinimumPiece)
    return Available;
  const std::size_t Limit = std::min(Available, ChunkingMaximumPiece);
  std::uint32_t Rolling = 0;
  for (std::size_t Position = ChunkingMinimumPiece; Position < Limit; ++Position) {
    Rolling = (Rolling >> 1) + ChunkingTable[Data[Position]];
    if ((Rolling & ChunkingMask) == 0)
      return Position + 1;
  }
  return Limit;
}

} // namespace

void TestScan::chunkerCutsByContent()
{
  // The cut agrees with the rule from many starts and for every
  // remainder of the available length, on random and on text-like data.
  const QByteArray Mixed = testsupport::pseudoRandomBytes(24 * 1024 * 1024, 3) +
                           QByteArray(3 * 1024 * 1024, 'a') + testsupport::pseudoRandomBytes(8 * 1024 * 1024, 4);
  const auto* MixedBytes = reinterpret_cast<const std::uint8_t*>(Mixed.constData());
  for (int Start = 0; Start < 40; ++Start) {
    const std::size_t Offset = std::size_t(Start) * 411'113 % (8 * 1024 * 1024);
    const std::size_t Available = std::min<std::size_t>(std::size_t(Mixed.size()) - Offset,
                                                        ChunkingMinimumPiece + std::size_t(Start) * 699'053 + std::size_t(Start % 4));
    QCOMPARE(nextPieceLength(MixedBytes + Offset, Available), pieceLengthByRule(MixedBytes + Offset, Available));
  }

  // At most the minimum piece: one piece.
  const QByteArray Small = testsupport::pseudoRandomBytes(int(ChunkingMinimumPiece), 1);
  QCOMPARE(nextPieceLength(reinterpret_cast<const std::uint8_t*>(Small.constData()), std::size_t(Small.size())),
           std::size_t(Small.size()));
  // A run of zero bytes never meets the condition: the piece is the maximum.
  const QByteArray Zeros(int(ChunkingMaximumPiece) + 100, '\0');
  std::uint32_t Rolling = 0;
  bool Cut = false;
  for (int Step = 0; Step < 64; ++Step) {
    Rolling = (Rolling >> 1) + ChunkingTable[0];
    Cut = Cut || (Rolling & ChunkingMask) == 0;
  }
  QVERIFY(!Cut);
  QCOMPARE(nextPieceLength(reinterpret_cast<const std::uint8_t*>(Zeros.constData()), std::size_t(Zeros.size())),
           ChunkingMaximumPiece);
  QCOMPARE(ChunkingTable[0], 0x5C95C078u);
  QCOMPARE(ChunkingTable[255], 0x32E8EA7Eu);

  // Random data: every piece but the last lies between the bounds, and the
  // same content gives the same pieces after data is inserted in front.
  const QByteArray Data = testsupport::pseudoRandomBytes(48 * 1024 * 1024, 5);
  QList<QByteArray> Pieces;
  QBuffer Buffer;
  Buffer.setData(Data);
  Buffer.open(QIODevice::ReadOnly);
  TContentDefinedChunker Chunker(5 * 1024 * 1024);  // small reads: refills happen often
  QVERIFY(Chunker.forEachPiece(Buffer, [&](const std::uint8_t* Piece, std::size_t Length) {
    Pieces.append(QByteArray(reinterpret_cast<const char*>(Piece), int(Length)));
  }));
  QVERIFY(Pieces.size() >= 3);
  for (int Index = 0; Index + 1 < Pieces.size(); ++Index) {
    QVERIFY(std::size_t(Pieces[Index].size()) > ChunkingMinimumPiece);
    QVERIFY(std::size_t(Pieces[Index].size()) <= ChunkingMaximumPiece);
  }
  QByteArray Joined;
  for (const QByteArray& Piece : Pieces)
    Joined += Piece;
  QCOMPARE(Joined, Data);

  QBuffer Shifted;
  Shifted.setData(QByteArray(1000, 'x') + Data.mid(Pieces[0].size()));
  Shifted.open(QIODevice::ReadOnly);
  QList<QByteArray> ShiftedPieces;
  QVERIFY(TContentDefinedChunker().forEachPiece(Shifted, [&](const std::uint8_t* Piece, std::size_t Length) {
    ShiftedPieces.append(QByteArray(reinterpret_cast<const char*>(Piece), int(Length)));
  }));
  // The first piece absorbs the new bytes; from then on the pieces agree.
  int Common = 0;
  for (const QByteArray& Piece : ShiftedPieces)
    Common += Pieces.contains(Piece) ? 1 : 0;
  QVERIFY2(Common >= Pieces.size() - 2, qPrintable(QString("%1 of %2").arg(Common).arg(Pieces.size())));
}

void TestScan::chunkerHashesMatchPieces()
{
  // The rule applied to the whole data at once is the reference; both
  // readers go round their ring many times with small reads.
  const QByteArray Data = testsupport::pseudoRandomBytes(40 * 1024 * 1024 + 17, 9) + QByteArray(20 * 1024 * 1024, 'z');
  const auto* Bytes = reinterpret_cast<const std::uint8_t*>(Data.constData());
  QList<QPair<QByteArray, quint64>> Expected;
  for (std::size_t Offset = 0; Offset < std::size_t(Data.size());) {
    const std::size_t Length = nextPieceLength(Bytes + Offset, std::size_t(Data.size()) - Offset);
    Expected.append({QCryptographicHash::hash(Data.mid(int(Offset), int(Length)), QCryptographicHash::Sha256),
                     quint64(Length)});
    Offset += Length;
  }
  // One chunker for every device, its ring kept from one to the next: made
  // for a small device first, then grown, then reused as it is.
  const auto PiecesOf = [](TContentDefinedChunker& Chunker, const QByteArray& Content) {
    QBuffer Device;
    Device.setData(Content);
    Device.open(QIODevice::ReadOnly);
    QList<QPair<QByteArray, quint64>> Pieces;
    const bool Ok = Chunker.forEachPiece(Device, [&](const std::uint8_t* Piece, std::size_t Length) {
      Pieces.append({QCryptographicHash::hash(QByteArray::fromRawData(reinterpret_cast<const char*>(Piece), int(Length)),
                                              QCryptographicHash::Sha256),
                     quint64(Length)});
    });
    return Ok ? Pieces : QList<QPair<QByteArray, quint64>>();
  };
  for (const std::size_t ReadSize : {std::size_t(1024 * 1024), std::size_t(3 * 1024 * 1024 + 5)}) {
    TContentDefinedChunker Chunker(ReadSize);
    const QByteArray Small = Data.left(100000);  // one piece
    const decltype(Expected) SmallPieces{{QCryptographicHash::hash(Small, QCryptographicHash::Sha256), 100000}};
    QCOMPARE(PiecesOf(Chunker, Small), SmallPieces);
    QCOMPARE(PiecesOf(Chunker, Data), Expected);
    QBuffer Second;
    Second.setData(Data);
    Second.open(QIODevice::ReadOnly);
    QList<QPair<QByteArray, quint64>> Hashed;
    QVERIFY(Chunker.forEachPieceHash(Second, [&](const QByteArray& Hash, std::uint64_t Length) {
      Hashed.append({Hash, Length});
    }));
    QCOMPARE(Hashed, Expected);
    QCOMPARE(PiecesOf(Chunker, Data), Expected);
  }

  // A file that grew after its size was taken is read to its end, in
  // pieces no longer than the ring made for its size.
  const QByteArray Grown = Data.left(5 * 1024 * 1024 + 3);
  QByteArray Joined;
  TGrowingDevice GrowingForPieces(Grown);
  QVERIFY(TContentDefinedChunker().forEachPiece(GrowingForPieces, [&](const std::uint8_t* Piece, std::size_t Length) {
    Joined.append(reinterpret_cast<const char*>(Piece), int(Length));
  }));
  QCOMPARE(Joined, Grown);
  std::uint64_t HashedBytes = 0;
  TGrowingDevice GrowingForHashes(Grown);
  QVERIFY(TContentDefinedChunker().forEachPieceHash(GrowingForHashes, [&](const QByteArray&, std::uint64_t Length) {
    HashedBytes += Length;
  }));
  QCOMPARE(HashedBytes, std::uint64_t(Grown.size()));

  // A visitor that throws ends the scan: the reading thread is stopped and
  // joined before the exception leaves.
  QBuffer Third;
  Third.setData(Data);
  Third.open(QIODevice::ReadOnly);
  int Visited = 0;
  QVERIFY_EXCEPTION_THROWN(TContentDefinedChunker(1024 * 1024).forEachPieceHash(Third, [&](const QByteArray&, std::uint64_t) {
    if (++Visited == 2)
      throw std::runtime_error("stop");
  }),
                           std::runtime_error);
  QCOMPARE(Visited, 2);
}

void TestScan::wholeFiles()
{
  TScanFixture Fixture;
  TDescriptionBuilder Builder;
  const QByteArray Good = "good content";
  const QByteArray Wrong = "wrong content";
  Builder.file("same.txt", {}, Good, true);
  Builder.file("changed.txt", {}, Good, true);
  Builder.file("missing.txt", {Builder.chunk(Good)}, Good);
  Builder.file("empty.txt", {}, QByteArray());
  testsupport::writeWholeFile(Fixture.path("same.txt"), Good);
  testsupport::writeWholeFile(Fixture.path("changed.txt"), Wrong.left(Good.size()));

  const TPackageDifference Difference = Fixture.compute(Builder.build(), TPackageConfigurationReader(), false);
  QVERIFY(Difference.failure.isEmpty());
  QCOMPARE(Difference.filesToDownload.size(), std::size_t(4));
  const TFileToDownload* Same = findResult(Difference, "same.txt");
  QVERIFY(Same && Same->chunksToDownload.empty());
  QVERIFY(QFile::exists(Fixture.path("same.txt")));
  // Same size, other content: deleted during the scan and fetched whole.
  const TFileToDownload* Changed = findResult(Difference, "changed.txt");
  QVERIFY(Changed);
  QVERIFY(!QFile::exists(Fixture.path("changed.txt")));
  QCOMPARE(Changed->chunks.size(), std::size_t(1));
  QCOMPARE(Changed->chunks[0].url, QUrl("http://h/p/files/changed.txt"));
  QCOMPARE(Changed->chunksToDownload, (std::vector<std::int32_t>{0}));
  const TFileToDownload* Missing = findResult(Difference, "missing.txt");
  QVERIFY(Missing);
  QCOMPARE(Missing->chunks[0].url, QUrl("http://h/p/c/0"));
  QCOMPARE(Missing->chunksToDownload, (std::vector<std::int32_t>{0}));
  const TFileToDownload* Empty = findResult(Difference, "empty.txt");
  QVERIFY(Empty && Empty->chunks.empty() && Empty->chunksToDownload.empty());
}

void TestScan::sizeDecidesBeforeHashing()
{
  // A 200 GB sparse file where a 192 KB file belongs is neither hashed by
  // the scan (one progress report for the whole file, not one per read
  // block) nor by the verification (no progress at all).
  TScanFixture Fixture;
  TDescriptionBuilder Builder;
  const QByteArray Content = piece('s', 192 * 1024);
  Builder.file("big.pak", {}, Content, true);
  const TPackageConfigurationReader Published = Builder.build();
  const auto MakeSparse = [&] {
    QFile File(Fixture.path("big.pak"));
    return File.open(QIODevice::WriteOnly) && File.resize(200'000'000'000LL);
  };
  if (!MakeSparse())
    QSKIP("the file system has no room for a sparse 200 GB file");

  QSignalSpy ScanProgress(Fixture.job.get(), &TPackageInstallation::scanProgress);
  const TPackageDifference Difference = Fixture.compute(Published, TPackageConfigurationReader(), false);
  const TFileToDownload* File = findResult(Difference, "big.pak");
  QVERIFY(File);
  QCOMPARE(File->chunksToDownload, (std::vector<std::int32_t>{0}));
  QVERIFY(!QFile::exists(Fixture.path("big.pak")));
  QVERIFY2(ScanProgress.size() <= 1, qPrintable(QString::number(ScanProgress.size())));

  QVERIFY(MakeSparse());
  QSignalSpy VerifyProgress(Fixture.job.get(), &TPackageInstallation::verificationProgress);
  QVERIFY(!Fixture.job->VerifyPackage(Fixture.dir(), Fixture.helper, Published.files()));
  QCOMPARE(VerifyProgress.size(), 0);
}

void TestScan::flushVouchesOnlyForFilesThatAreThere_data()
{
  QTest::addColumn<bool>("fileSystem");  // one syncfs, else a flush of every file and folder
  QTest::addColumn<QString>("fault");    // what happened to "data/two.bin"
  for (const bool FileSystem : {true, false}) {
    const QString Mode = FileSystem ? "file system: " : "each file: ";
    QTest::newRow(qPrintable(Mode + "every file there")) << FileSystem << "";
    QTest::newRow(qPrintable(Mode + "a file missing")) << FileSystem << "missing";
    QTest::newRow(qPrintable(Mode + "a folder in a file's place")) << FileSystem << "folder";
  }
}

// The flush before the full marker fails, naming the file, when a file of
// the description is not there: the marker would vouch for it.
void TestScan::flushVouchesOnlyForFilesThatAreThere()
{
  QFETCH(bool, fileSystem);
  QFETCH(QString, fault);
  TScanFixture Fixture;
  auto Settings = std::make_shared<TEngineSettings>();
  Settings->durableFlush = fileSystem ? EDurableFlush::FileSystem : EDurableFlush::EachFile;
  const auto Helper = std::make_shared<TEngineFilesystemHelper>(Settings);
  TDescriptionBuilder Builder;
  Builder.file("one.bin", {}, piece('a', 100), true);
  Builder.file("data/two.bin", {}, piece('b', 200), true);
  testsupport::writeWholeFile(Fixture.path("one.bin"), piece('a', 100));
  QVERIFY(QDir(Fixture.path("")).mkpath("data"));
  if (fault == "folder")
    QVERIFY(QDir(Fixture.path("")).mkpath("data/two.bin"));
  else if (fault.isEmpty())
    testsupport::writeWholeFile(Fixture.path("data/two.bin"), piece('b', 200));
  QString Failure;
  try {
    Fixture.job->FlushInstalledFiles(Fixture.dir(), Helper, Builder.build().files());
  } catch (const std::runtime_error& Error) {
    Failure = QString::fromUtf8(Error.what());
  }
  if (fault.isEmpty())
    QCOMPARE(Failure, QString());
  else
    QVERIFY2(Failure.contains("data/two.bin"), qPrintable(Failure));
}

void TestScan::chunkIndexOutsideTheChunkList()
{
  TScanFixture Fixture;
  TDescriptionBuilder Builder;
  const QByteArray A = piece('a', 100);
  const int Index = Builder.chunk(A);
  Builder.file("withurl.bin", {Index, 7}, A + A, true);
  const TPackageDifference WithUrl = Fixture.compute(Builder.build(), TPackageConfigurationReader(), false);
  QVERIFY(WithUrl.failure.isEmpty());
  QCOMPARE(WithUrl.filesToDownload[0].chunks.size(), std::size_t(1));
  QCOMPARE(WithUrl.filesToDownload[0].chunks[0].url, QUrl("http://h/p/files/withurl.bin"));

  Builder.file("nourl.bin", {Index, -1}, A + A);
  const TPackageDifference WithoutUrl = Fixture.compute(Builder.build(), TPackageConfigurationReader(), false);
  QVERIFY(WithoutUrl.failure.contains("nourl.bin"));
}

void TestScan::inconsistentDescriptions()
{
  TScanFixture Fixture;
  TDescriptionBuilder Builder;
  const QByteArray A = piece('a', 100);
  Builder.file("short.bin", {Builder.chunk(A), Builder.chunk(A)}, A);  // chunks add up to 200, file says 100
  QVERIFY(!Fixture.compute(Builder.build(), TPackageConfigurationReader(), false).failure.isEmpty());

  TDescriptionBuilder NoData;
  NoData.file("nothing.bin", {}, A);  // no chunks and no download record
  QVERIFY(!Fixture.compute(NoData.build(), TPackageConfigurationReader(), false).failure.isEmpty());

  TDescriptionBuilder Escaping;
  Escaping.file("..", {}, QByteArray());
  QVERIFY(!Fixture.compute(Escaping.build(), TPackageConfigurationReader(), false).failure.isEmpty());
  QVERIFY(Fixture.dir().exists());
}

void TestScan::fastScanMovesChunks_data()
{
  QTest::addColumn<int>("extraSizeOfA");  // the published first chunk claims A's hash and this many bytes more
  QTest::newRow("A moves to the front") << 0;
  // Taking A's bytes and those behind them for it would leave wrong data
  // that counts as present.
  QTest::newRow("a chunk with A's hash but another size is not A") << 2000;
}

void TestScan::fastScanMovesChunks()
{
  QFETCH(int, extraSizeOfA);
  TScanFixture Fixture;
  const QByteArray X = piece('x', 3000), A = piece('a', 5000), Y = piece('y', 3000), B = piece('b', 4000);
  // Installed: X, A, Y. Published: A then B.
  TDescriptionBuilder Installed;
  Installed.file("f.bin", {Installed.chunk(X), Installed.chunk(A), Installed.chunk(Y)}, X + A + Y);
  TDescriptionBuilder Published;
  const QByteArray First = A + Y.left(extraSizeOfA);
  Published.file("f.bin", {Published.chunk(A, QString(), First.size()), Published.chunk(B)}, First + B);
  testsupport::writeWholeFile(Fixture.path("f.bin"), X + A + Y);

  const TPackageDifference Difference = Fixture.compute(Published.build("2"), Installed.build("1"), true);
  const TFileToDownload* File = findResult(Difference, "f.bin");
  QVERIFY(File);
  if (extraSizeOfA != 0) {
    QCOMPARE(File->chunksToDownload, (std::vector<std::int32_t>{0, 1}));
    return;
  }
  QCOMPARE(File->chunksToDownload, (std::vector<std::int32_t>{1}));
  // A lies at 0 now; the file was cut to the published size (11000 > 9000).
  const QByteArray Content = testsupport::readWholeFile(Fixture.path("f.bin"));
  QCOMPARE(Content.size(), A.size() + B.size());
  QCOMPARE(Content.left(A.size()), A);
}

void TestScan::fastScanTrustsOnlyUnchangedFiles_data()
{
  QTest::addColumn<QByteArray>("onDisk");  // "XA" (the installed layout), "AX", "AX+" (longer), "Z" (other content)
  // Seconds from the moment the file is written (its status-change time)
  // to its modification time and to the marker's.
  QTest::addColumn<int>("fileTime");
  QTest::addColumn<int>("markerTime");
  QTest::addColumn<bool>("trusted");
  // The file is one piece, published as installed: trusted, it is taken as
  // it is without being read.
  QTest::addColumn<bool>("onePiece");

  for (const bool OnePiece : {false, true}) {
    const auto Row = [OnePiece](const char* Name) {
      return &QTest::newRow(qPrintable(QString(Name) + (OnePiece ? ", one piece" : "")));
    };
    *Row("unchanged since the marker") << QByteArray("XA") << -60 << 10 << true << OnePiece;
    *Row("same time as the marker, not read") << QByteArray("Z") << 10 << 10 << true << OnePiece;
    *Row("changed after the marker") << QByteArray("AX") << 20 << 10 << false << OnePiece;
    // Changed in place, then its old time put back (cp -a, rsync -a, tar):
    // the status-change time tells.
    *Row("changed after the marker, time put back") << QByteArray("AX") << -60 << -10 << false << OnePiece;
    *Row("another size") << QByteArray("AX+") << -60 << 10 << false << OnePiece;
    *Row("missing") << QByteArray() << -60 << 10 << false << OnePiece;
  }
}

void TestScan::fastScanTrustsOnlyUnchangedFiles()
{
  // Installed: X then A; published: A then B. A trusted layout moves the
  // bytes after X to the front without reading; a file read by content has
  // A where it belongs already.
  QFETCH(QByteArray, onDisk);
  QFETCH(int, fileTime);
  QFETCH(int, markerTime);
  QFETCH(bool, trusted);
  QFETCH(bool, onePiece);
  TScanFixture Fixture;
  const QByteArray X = piece('x', 3000), A = piece('a', 5000), B = piece('b', 4000);
  const QByteArray Other = piece('z', X.size() + A.size());
  TDescriptionBuilder Installed;
  TDescriptionBuilder Published;
  if (onePiece) {
    Installed.file("f.bin", {Installed.chunk(X + A)}, X + A);
    Published.file("f.bin", {Published.chunk(X + A)}, X + A);
  } else {
    Installed.file("f.bin", {Installed.chunk(X), Installed.chunk(A)}, X + A);
    Published.file("f.bin", {Published.chunk(A), Published.chunk(B)}, A + B);
  }
  const QMap<QByteArray, QByteArray> Contents{{"XA", X + A}, {"AX", A + X}, {"AX+", A + X + "+"}, {"Z", Other}};
  const QDateTime Written = QDateTime::currentDateTime();
  if (!onDisk.isEmpty()) {
    testsupport::writeWholeFile(Fixture.path("f.bin"), Contents[onDisk]);
    QFile File(Fixture.path("f.bin"));
    QVERIFY(File.open(QIODevice::ReadWrite) &&
            File.setFileTime(Written.addSecs(fileTime), QFileDevice::FileModificationTime));
  }

  const TPackageDifference Difference =
      Fixture.compute(Published.build("2"), Installed.build("1"), Written.addSecs(markerTime));
  const TFileToDownload* File = findResult(Difference, "f.bin");
  QVERIFY(File);
  if (onePiece) {
    const bool Kept = trusted || onDisk == "XA";
    QCOMPARE(File->chunksToDownload, Kept ? std::vector<std::int32_t>{} : std::vector<std::int32_t>{0});
    QCOMPARE(QFile::exists(Fixture.path("f.bin")), Kept);
    return;
  }
  if (onDisk.isEmpty()) {
    QCOMPARE(File->chunksToDownload, (std::vector<std::int32_t>{0, 1}));
    return;
  }
  QCOMPARE(File->chunksToDownload, (std::vector<std::int32_t>{1}));
  const QByteArray Front = testsupport::readWholeFile(Fixture.path("f.bin")).left(A.size());
  QCOMPARE(Front, trusted ? Contents[onDisk].mid(X.size(), A.size()) : A);
}

void TestScan::fastScanOverlappingMoves()
{
  TScanFixture Fixture;
  const QByteArray P = piece('p', 3000), Q = piece('q', 2000), R = piece('r', 2500);
  // Installed: P Q R; published: R Q P. Writing R at 0 overwrites P's
  // source, and Q's target overlaps R's source: both go through the
  // temporary file.
  TDescriptionBuilder Installed;
  Installed.file("f.bin", {Installed.chunk(P), Installed.chunk(Q), Installed.chunk(R)}, P + Q + R);
  TDescriptionBuilder Published;
  Published.file("f.bin", {Published.chunk(R), Published.chunk(Q), Published.chunk(P)}, R + Q + P);
  testsupport::writeWholeFile(Fixture.path("f.bin"), P + Q + R);

  const TPackageDifference Difference = Fixture.compute(Published.build("2"), Installed.build("1"), true);
  const TFileToDownload* File = findResult(Difference, "f.bin");
  QVERIFY(File);
  QVERIFY(File->chunksToDownload.empty());
  QCOMPARE(testsupport::readWholeFile(Fixture.path("f.bin")), R + Q + P);
}

void TestScan::piecesMovedBothWaysAndInACycle()
{
  // Installed: A B C D E F. Published: N A B D C F: new data in front (A
  // and B move right), E removed (F moves left), C and D swapped (a cycle).
  TScanFixture Fixture;
  const QByteArray A = piece('a', 3000), B = piece('b', 2500), C = piece('c', 3500), D = piece('d', 1500),
                   E = piece('e', 4000), F = piece('f', 2800), N = piece('n', 2000);
  TDescriptionBuilder Installed;
  Installed.file("f.bin",
                 {Installed.chunk(A), Installed.chunk(B), Installed.chunk(C), Installed.chunk(D), Installed.chunk(E),
                  Installed.chunk(F)},
                 A + B + C + D + E + F);
  TDescriptionBuilder Published;
  Published.file("f.bin",
                 {Published.chunk(N), Published.chunk(A), Published.chunk(B), Published.chunk(D), Published.chunk(C),
                  Published.chunk(F)},
                 N + A + B + D + C + F);
  testsupport::writeWholeFile(Fixture.path("f.bin"), A + B + C + D + E + F);

  const TPackageDifference Difference = Fixture.compute(Published.build("2"), Installed.build("1"), true);
  const TFileToDownload* File = findResult(Difference, "f.bin");
  QVERIFY(File);
  QCOMPARE(File->chunksToDownload, (std::vector<std::int32_t>{0}));
  const QByteArray Content = testsupport::readWholeFile(Fixture.path("f.bin"));
  QCOMPARE(Content.size(), N.size() + A.size() + B.size() + D.size() + C.size() + F.size());
  QCOMPARE(Content.mid(N.size()), A + B + D + C + F);
}

void TestScan::movePlans_data()
{
  // Pieces of the given sizes, in the installed order, rearranged into the
  // published order (a letter per piece; '+' is 11 bytes of new data).
  QTest::addColumn<QList<int>>("sizes");
  QTest::addColumn<QString>("published");
  QTest::addColumn<int>("saves");            // -1: any number
  QTest::addColumn<int>("temporaryBytes");  // the most the temporary file may hold; -1: any

  QTest::newRow("data inserted in front: moves right, no save") << QList<int>{7, 5, 9, 4} << "+ABCD" << 0 << 0;
  QTest::newRow("data removed in front: moves left, no save") << QList<int>{7, 5, 9, 4} << "BCD" << 0 << 0;
  QTest::newRow("shifted less than a piece") << QList<int>{70, 50, 90} << "+ABC" << 0 << 0;
  QTest::newRow("both ways around a removal") << QList<int>{6, 8, 5, 7} << "+ABD" << 0 << 0;
  QTest::newRow("swap: the smaller piece is saved") << QList<int>{9, 4} << "BA" << 1 << 4;
  QTest::newRow("first piece to the end") << QList<int>{12, 5, 9, 6, 11, 7} << "BCDEFA" << 1 << 12;
  QTest::newRow("last piece to the front") << QList<int>{5, 9, 6, 11, 7, 12} << "FABCDE" << 1 << 12;
  QTest::newRow("one piece twice") << QList<int>{6, 9, 5} << "CAABC" << -1 << -1;
  QTest::newRow("reversed") << QList<int>{7, 3, 11, 5, 8, 6, 2} << "GFEDCBA" << -1 << -1;
  // Random rearrangements: pieces kept, dropped, repeated, swapped and
  // shifted, new data anywhere.
  std::mt19937 Random(25);
  for (int Row = 0; Row < 3000; ++Row) {
    QList<int> Sizes;
    for (int Index = 1 + int(Random() % 10); Index > 0; --Index)
      Sizes.append(1 + int(Random() % 40));
    QString Order;
    for (int Position = int(Random() % 14); Position > 0; --Position)
      Order += Random() % 5 == 0 ? QChar('+') : QChar('A' + int(Random() % std::uint32_t(Sizes.size())));
    QTest::newRow(qPrintable(QString("random %1").arg(Row))) << Sizes << Order << -1 << -1;
  }
}

void TestScan::movePlans()
{
  // Every plan leaves the published content, reading each source before
  // anything is written over it; the temporary file is used only where
  // the moves form a cycle.
  QFETCH(QList<int>, sizes);
  QFETCH(QString, published);
  QFETCH(int, saves);
  QFETCH(int, temporaryBytes);
  QByteArray Installed;
  QList<int> Offsets;
  for (int Index = 0; Index < sizes.size(); ++Index) {
    Offsets.append(Installed.size());
    Installed += piece(char('A' + Index), sizes[Index]);
  }
  QByteArray Expected;
  std::vector<TPieceMove> Moves;
  for (const QChar Letter : published) {
    const int Index = Letter == '+' ? -1 : Letter.toLatin1() - 'A';
    if (Index >= 0) {
      if (Offsets[Index] != Expected.size())
        Moves.push_back({std::uint64_t(Offsets[Index]), std::uint64_t(Expected.size()), std::uint64_t(sizes[Index])});
      Expected += Installed.mid(Offsets[Index], sizes[Index]);
    } else {
      Expected += QByteArray(11, '+');
    }
  }

  const TMovePlan Plan = planMoves(Moves);
  QByteArray File = Installed;
  File.resize(std::max(File.size(), Expected.size()));
  QByteArray Temporary(int(Plan.temporaryBytes), '\0');
  std::vector<int> Steps(Moves.size(), 0);
  int Saves = 0;
  for (const TMoveStep& Step : Plan.steps) {
    const TPieceMove& Move = Moves[Step.move];
    ++Steps[Step.move];
    QVERIFY(Step.kind == EMoveStep::Copy || Step.temporaryOffset + Move.size <= Plan.temporaryBytes);
    switch (Step.kind) {
    case EMoveStep::Copy:
      std::memmove(File.data() + Move.targetOffset, File.constData() + Move.sourceOffset, Move.size);
      break;
    case EMoveStep::Save:
      std::memcpy(Temporary.data() + Step.temporaryOffset, File.constData() + Move.sourceOffset, Move.size);
      ++Saves;
      break;
    case EMoveStep::CopyFromSaved:
      std::memcpy(File.data() + Move.targetOffset, Temporary.constData() + Step.temporaryOffset, Move.size);
      break;
    }
  }
  QVERIFY(std::all_of(Steps.begin(), Steps.end(), [](int Count) { return Count == 1 || Count == 2; }));
  for (int Position = 0; Position < Expected.size(); ++Position) {
    if (Expected[Position] == '+')
      File[Position] = '+';  // new data is downloaded
  }
  QCOMPARE(File.left(Expected.size()), Expected);
  if (saves >= 0)
    QCOMPARE(Saves, saves);
  if (temporaryBytes >= 0)
    QVERIFY2(Plan.temporaryBytes <= std::uint64_t(temporaryBytes), qPrintable(QString::number(Plan.temporaryBytes)));
}

// A file that fills up while the rebuild moves its pieces (here: a file
// size limit that lets a move write only part of its piece): the
// installation fails as on any disk failure, and no piece is counted as in
// place whose bytes did not all reach the file.
void TestScan::rebuildWritesThatFailAreDiskFailures()
{
  TScanFixture Fixture;
  const QByteArray A = piece('a', 5000), B = piece('b', 5000), N = piece('n', 3000);
  TDescriptionBuilder Installed;
  Installed.file("f.bin", {Installed.chunk(A), Installed.chunk(B)}, A + B);
  // New data in front: B moves to 8000, beyond the file's end.
  TDescriptionBuilder Published;
  Published.file("f.bin", {Published.chunk(N), Published.chunk(A), Published.chunk(B)}, N + A + B);
  testsupport::writeWholeFile(Fixture.path("f.bin"), A + B);

  struct rlimit Before = {};
  QCOMPARE(::getrlimit(RLIMIT_FSIZE, &Before), 0);
  const auto PreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit Limited = Before;
  Limited.rlim_cur = rlim_t(A.size() + B.size());
  QCOMPARE(::setrlimit(RLIMIT_FSIZE, &Limited), 0);
  const TPackageDifference Difference = Fixture.compute(Published.build("2"), Installed.build("1"), true);
  ::setrlimit(RLIMIT_FSIZE, &Before);
  std::signal(SIGXFSZ, PreviousHandler);

  QCOMPARE(Difference.failureKind, EDifferenceFailure::Disk);
  QVERIFY2(Difference.failure.contains("f.bin"), qPrintable(Difference.failure));
}

void TestScan::identicalChunksInOneFile()
{
  TScanFixture Fixture;
  const QByteArray A = piece('a', 1000), B = piece('b', 1500);
  // Installed: A B; published: B A A. One piece of A at offset... the
  // second A in the published file is served from the same source.
  TDescriptionBuilder Installed;
  Installed.file("f.bin", {Installed.chunk(A), Installed.chunk(B)}, A + B);
  TDescriptionBuilder Published;
  const int IndexB = Published.chunk(B), IndexA = Published.chunk(A);
  Published.file("f.bin", {IndexB, IndexA, IndexA}, B + A + A);
  testsupport::writeWholeFile(Fixture.path("f.bin"), A + B);

  const TPackageDifference Difference = Fixture.compute(Published.build("2"), Installed.build("1"), true);
  const TFileToDownload* File = findResult(Difference, "f.bin");
  QVERIFY(File);
  QVERIFY(File->chunksToDownload.empty());
  QCOMPARE(testsupport::readWholeFile(Fixture.path("f.bin")), B + A + A);

  // A piece at the right offset marks that chunk in place and the other
  // one moved from the same source.
  TScanFixture Second;
  TDescriptionBuilder Same;
  const int C = Same.chunk(A);
  Same.file("g.bin", {C, C}, A + A);
  TDescriptionBuilder Old;
  Old.file("g.bin", {Old.chunk(A), Old.chunk(B)}, A + B);
  testsupport::writeWholeFile(Second.path("g.bin"), A + B);
  const TPackageDifference Result = Second.compute(Same.build("2"), Old.build("1"), true);
  QVERIFY(findResult(Result, "g.bin")->chunksToDownload.empty());
  QCOMPARE(testsupport::readWholeFile(Second.path("g.bin")), A + A);
}

void TestScan::contentDefinedScanFindsShiftedData()
{
  // Without fast scan the file on disk is cut by content; pieces found at
  // other offsets are moved, new data is downloaded.
  TScanFixture Fixture;
  const QByteArray Data = testsupport::pseudoRandomBytes(30 * 1024 * 1024, 77);
  QList<QByteArray> Pieces;
  QBuffer Buffer;
  Buffer.setData(Data);
  Buffer.open(QIODevice::ReadOnly);
  TContentDefinedChunker().forEachPiece(Buffer, [&](const std::uint8_t* Piece, std::size_t Length) {
    Pieces.append(QByteArray(reinterpret_cast<const char*>(Piece), int(Length)));
  });
  QVERIFY(Pieces.size() >= 3);
  const QByteArray Inserted = testsupport::pseudoRandomBytes(123457, 78);
  // Published: new data in front, then the old pieces.
  TDescriptionBuilder Published;
  QList<int> Indices{Published.chunk(Inserted)};
  for (const QByteArray& Piece : Pieces)
    Indices.append(Published.chunk(Piece));
  Published.file("big.bin", Indices, Inserted + Data);
  testsupport::writeWholeFile(Fixture.path("big.bin"), Data);

  QSignalSpy Progress(Fixture.job.get(), &TPackageInstallation::scanProgress);
  const TPackageDifference Difference = Fixture.compute(Published.build("2"), TPackageConfigurationReader(), false);
  const TFileToDownload* File = findResult(Difference, "big.bin");
  QVERIFY(File);
  QCOMPARE(File->chunksToDownload, (std::vector<std::int32_t>{0}));
  const QByteArray Content = testsupport::readWholeFile(Fixture.path("big.bin"));
  QCOMPARE(Content.mid(Inserted.size()), Data);
  QVERIFY(Progress.wait(1000) || !Progress.isEmpty());
  QCOMPARE(Progress.last().at(0).value<TFileSize>(), TFileSize(Data.size()));
  QCOMPARE(Progress.last().at(1).value<TFileSize>(), TFileSize(Data.size()));
}

// The blocks of a discarded piece stay at hand for missing chunks that offer
// blocks, also where the rebuild moves another piece over them (copied
// aside then, up to the raw size of the file's missing chunks).
void TestScan::discardedBlocksOutliveTheRebuild()
{
  const QByteArray X = piece('x', 100000), D = piece('d', 600000), Y = piece('y', 600000);
  const std::vector<shared::TBlock> Blocks = shared::cutAndHashBlocks(D.constData(), std::size_t(D.size()));
  QVERIFY(Blocks.size() > 3);
  TDescriptionBuilder Installed;
  Installed.file("f.bin", {Installed.chunk(X), Installed.chunk(D), Installed.chunk(Y)}, X + D + Y);
  for (const int NewSize : {600000, 200000}) {
    TScanFixture Fixture;
    testsupport::writeWholeFile(Fixture.path("f.bin"), X + D + Y);
    // Left by an update that was killed: gone once a scan keeps blocks.
    testsupport::writeWholeFile(Fixture.path(".ashgrove-blocks-Ab12Cd"), "stale");
    // Y moves over D; N is missing and offers blocks.
    const QByteArray N = piece('n', NewSize);
    TDescriptionBuilder Published;
    const int New = Published.chunk(N);
    Published.offerBlocks(New);
    Published.file("f.bin", {Published.chunk(X), Published.chunk(Y), New}, X + Y + N);
    const TPackageDifference Difference = Fixture.compute(Published.build("2"), Installed.build(), true);
    QCOMPARE(findResult(Difference, "f.bin")->chunksToDownload, (std::vector<std::int32_t>{2}));
    QCOMPARE(testsupport::readWholeFile(Fixture.path("f.bin")).left(X.size() + Y.size()), X + Y);
    QVERIFY(Difference.oldBlocks);
    QVERIFY(!QFile::exists(Fixture.path(".ashgrove-blocks-Ab12Cd")));
    std::uint64_t Kept = 0;
    for (const shared::TBlock& Block : Blocks) {
      const auto Content = Difference.oldBlocks->read(Block);
      if (Content) {
        QCOMPARE(*Content, D.mid(int(Block.unpackedOffset), int(Block.unpackedSize)));
        Kept += Block.unpackedSize;
      }
    }
    QCOMPARE(Difference.oldBlocks->securedBytes(), Kept);
    QVERIFY(Kept <= std::uint64_t(NewSize));
    QVERIFY(Kept + shared::BlockMaximumSize > std::uint64_t(NewSize));
  }

  // Files of which nothing is reused: one piece changed, one of another
  // size, and one of several pieces none of which is kept. Where the
  // publication offers blocks they stay where they are, their blocks at
  // hand, until the downloader writes them anew; else they are deleted.
  // A file that becomes empty is never kept.
  const QByteArray E = piece('e', 600000), F = piece('f', 300000);
  TDescriptionBuilder Before;
  Before.file("one.bin", {Before.chunk(D)}, D);
  Before.file("sized.bin", {Before.chunk(E)}, E);
  Before.file("two.bin", {Before.chunk(D), Before.chunk(E)}, D + E);
  Before.file("emptied.bin", {Before.chunk(F)}, F);
  for (const bool Offered : {true, false}) {
    TScanFixture Fixture;
    for (const auto& [Name, Content] : {std::pair<QString, QByteArray>{"one.bin", D}, {"sized.bin", E},
                                        {"two.bin", D + E}, {"emptied.bin", F}})
      testsupport::writeWholeFile(Fixture.path(Name), Content);
    TDescriptionBuilder After;
    const int One = After.chunk(D.left(300000) + piece('o', 1000) + D.mid(300000));
    const int Sized = After.chunk(E + piece('s', 5000));
    const int Two = After.chunk(D + piece('t', 1000) + E);
    After.file("one.bin", {One}, D.left(300000) + piece('o', 1000) + D.mid(300000));
    After.file("sized.bin", {Sized}, E + piece('s', 5000));
    After.file("two.bin", {Two, After.chunk(X)}, D + piece('t', 1000) + E + X);
    After.file("emptied.bin", {}, QByteArray());
    if (Offered) {
      for (const int Chunk : {One, Sized, Two})
        After.offerBlocks(Chunk);
    }
    const TPackageDifference Difference = Fixture.compute(After.build("2"), Before.build("1"), true);
    QCOMPARE(bool(Difference.oldBlocks), Offered);
    QCOMPARE(QFile::exists(Fixture.path("one.bin")), Offered);
    QCOMPARE(QFile::exists(Fixture.path("sized.bin")), Offered);
    QCOMPARE(QFile::exists(Fixture.path("two.bin")), Offered);
    QVERIFY(!QFile::exists(Fixture.path("emptied.bin")) ||
            testsupport::readWholeFile(Fixture.path("emptied.bin")).isEmpty());
    QCOMPARE(findResult(Difference, "one.bin")->chunksToDownload, (std::vector<std::int32_t>{0}));
    if (!Offered)
      continue;
    for (const auto& Old : {D, E}) {
      for (const shared::TBlock& Block : shared::cutAndHashBlocks(Old.constData(), std::size_t(Old.size())))
        QVERIFY(Difference.oldBlocks->read(Block).has_value());
    }
  }
}

void TestScan::chunksFoundWhereTheyBelong()
{
  // Chunks smaller than any cut piece are still found where the file holds
  // them; from the first one that differs on, the file is cut by content.
  TScanFixture Fixture;
  const QByteArray A = piece('a', 100000), B = piece('b', 90000), C = piece('c', 80000);
  TDescriptionBuilder Published;
  Published.file("f.bin", {Published.chunk(A), Published.chunk(B), Published.chunk(C)}, A + B + C);
  testsupport::writeWholeFile(Fixture.path("f.bin"), A + B + C);
  QSignalSpy Progress(Fixture.job.get(), &TPackageInstallation::scanProgress);
  const TPackageDifference Intact = Fixture.compute(Published.build(), TPackageConfigurationReader(), false);
  QVERIFY(findResult(Intact, "f.bin")->chunksToDownload.empty());
  QCOMPARE(testsupport::readWholeFile(Fixture.path("f.bin")), A + B + C);
  QTRY_VERIFY(!Progress.isEmpty());
  QCOMPARE(Progress.last().at(0).value<TFileSize>(), TFileSize(A.size() + B.size() + C.size()));

  QByteArray Changed = B;
  Changed[500] = char(Changed[500] ^ 0x55);
  testsupport::writeWholeFile(Fixture.path("f.bin"), A + Changed + C);
  const TPackageDifference Damaged = Fixture.compute(Published.build(), TPackageConfigurationReader(), false);
  QCOMPARE(findResult(Damaged, "f.bin")->chunksToDownload, (std::vector<std::int32_t>{1, 2}));
  QCOMPARE(testsupport::readWholeFile(Fixture.path("f.bin")).left(A.size()), A);
}

void TestScan::filesToDelete()
{
  TScanFixture Fixture;
  TDescriptionBuilder Installed;
  Installed.file("keep.txt", {}, "k", true);
  Installed.file("./same.txt", {}, "s", true);  // the published same.txt by another name
  Installed.file("gone.txt", {}, "g", true);
  Installed.file("olddir", {}, "d", true);
  Installed.file("assets.json", {}, "a", true);  // installed before such names were refused
  TDescriptionBuilder Published;
  Published.file("keep.txt", {}, "k", true);
  Published.file("same.txt", {}, "s", true);
  // An abandoned update made a folder of the file olddir, with a complete
  // file of the new version in it.
  Published.file("olddir/new.txt", {}, "n", true);
  for (const auto& [Name, Content] : std::vector<std::pair<QString, QByteArray>>{
           {"keep.txt", "k"}, {"same.txt", "s"}, {"gone.txt", "g"}, {"olddir/new.txt", "n"}, {"assets.json", "ours"}})
    testsupport::writeWholeFile(Fixture.path(Name), Content);
  const TPackageDifference Difference = Fixture.compute(Published.build("2"), Installed.build("1"), false);
  QStringList Names;
  for (const TFileInPackage& File : Difference.filesToDelete)
    Names << File.localFile;
  QCOMPARE(Names, QStringList({"gone.txt", "olddir"}));
  // They are gone before any file is judged: what was below them is
  // fetched again, and every file judged complete is there.
  QVERIFY(!QFile::exists(Fixture.path("gone.txt")));
  QCOMPARE(findResult(Difference, "olddir/new.txt")->chunksToDownload, (std::vector<std::int32_t>{0}));
  for (const TFileToDownload& File : Difference.filesToDownload)
    QVERIFY2(!File.chunksToDownload.empty() || QFile::exists(Fixture.path(File.localFile)), qPrintable(File.localFile));
  QCOMPARE(testsupport::readWholeFile(Fixture.path("assets.json")), QByteArray("ours"));
}

void TestScan::leftoversOfInterruptedWrites_data()
{
  QTest::addColumn<QString>("name");   // "<dead>" and "<own>" stand for process ids
  QTest::addColumn<QString>("kind");   // "file", "link" (to a file outside) or "folder"
  QTest::addColumn<bool>("removed");

  QTest::newRow("atomic write of a process that ended") << "package.json.tmp-<dead>-3" << "file" << true;
  QTest::newRow("secured blocks of a process that ended") << ".ashgrove-blocks-<dead>-Xy12Zw" << "file" << true;
  QTest::newRow("secured blocks of an older launcher") << ".ashgrove-blocks-Ab12Cd" << "file" << true;
  QTest::newRow("atomic write of this process") << "default.tmp-<own>-1" << "file" << false;
  QTest::newRow("atomic write of a running process") << "package.json.tmp-1-0" << "file" << false;
  QTest::newRow("a game file named like one") << "notes.tmp-backup" << "file" << false;
  QTest::newRow("a link named like a leftover") << "package.json.tmp-<dead>-4" << "link" << false;
  QTest::newRow("a folder named like a leftover") << ".ashgrove-blocks-<dead>-Folder" << "folder" << false;
}

// At the start of every update, whatever the publication offers.
void TestScan::leftoversOfInterruptedWrites()
{
  QFETCH(QString, name);
  QFETCH(QString, kind);
  QFETCH(bool, removed);
  QProcess Ended;
  Ended.start("true", QStringList());
  QVERIFY(Ended.waitForStarted(10000));
  const qint64 Dead = Ended.processId();
  QVERIFY(Ended.waitForFinished(10000));
  name.replace("<dead>", QString::number(Dead))
      .replace("<own>", QString::number(QCoreApplication::applicationPid()));
  TScanFixture Fixture;
  QTemporaryDir Outside;
  const QString Target = Outside.filePath("target");
  testsupport::writeWholeFile(Target, "elsewhere");
  if (kind == "file")
    testsupport::writeWholeFile(Fixture.path(name), "partial");
  else if (kind == "link")
    QVERIFY(QFile::link(Target, Fixture.path(name)));
  else
    testsupport::writeWholeFile(Fixture.path(name + "/inside"), "kept");
  TDescriptionBuilder Published;
  Published.file("a.txt", {}, "a", true);
  QVERIFY(Fixture.compute(Published.build(), TPackageConfigurationReader(), false).failure.isEmpty());
  QCOMPARE(QFileInfo::exists(Fixture.path(name)) || QFileInfo(Fixture.path(name)).isSymLink(), !removed);
  QCOMPARE(testsupport::readWholeFile(Target), QByteArray("elsewhere"));
}

void TestScan::progressCoversExistingFiles()
{
  TScanFixture Fixture;
  TDescriptionBuilder Published;
  for (int Index = 0; Index < 20; ++Index) {
    const QByteArray Content = piece(char('a' + Index), 1000 + Index);
    Published.file(QString("f%1").arg(Index), {}, Content, true);
    if (Index % 2 == 0)
      testsupport::writeWholeFile(Fixture.path(QString("f%1").arg(Index)), Content);
  }
  QSignalSpy Progress(Fixture.job.get(), &TPackageInstallation::scanProgress);
  const TPackageDifference Difference = Fixture.compute(Published.build(), TPackageConfigurationReader(), false);
  QCOMPARE(Difference.filesToDownload.size(), std::size_t(20));
  int Complete = 0;
  for (const TFileToDownload& File : Difference.filesToDownload)
    Complete += File.chunksToDownload.empty() ? 1 : 0;
  QCOMPARE(Complete, 10);
  QTRY_COMPARE(Progress.size(), 10);
  TFileSize Total = 0;
  for (int Index = 0; Index < 20; Index += 2)
    Total += TFileSize(1000 + Index);
  QCOMPARE(Progress.last().at(1).value<TFileSize>(), Total);
  QCOMPARE(Progress.last().at(0).value<TFileSize>(), Total);
}

void TestScan::failingFileEndsTheScanAfterTheOthers()
{
  // Files whose scan is under way when another one fails are finished
  // before the computation returns; files not yet taken are left alone.
  QThreadPool* Pool = QThreadPool::globalInstance();
  const int Threads = Pool->maxThreadCount();
  Pool->setMaxThreadCount(std::max(Threads, 4));
  TScanFixture Fixture;
  auto Helper = std::make_shared<TFailingScanHelper>("fail.bin");
  Fixture.helper = Helper;
  TDescriptionBuilder Published;
  Published.file("fail.bin", {}, piece('f', 3000), true);  // the largest: taken first
  Published.file("slow1.bin", {}, piece('s', 2000), true);
  Published.file("slow2.bin", {}, piece('t', 2000), true);
  bool Threw = false;
  TPackageDifference Difference;
  try {
    Difference = Fixture.compute(Published.build(), TPackageConfigurationReader(), false);
  } catch (...) {
    Threw = true;
  }
  const int Started = Helper->m_Started, Finished = Helper->m_Finished;
  Pool->setMaxThreadCount(Threads);
  QVERIFY(Started >= 1);
  QCOMPARE(Finished, Started);
  QVERIFY(!Threw);
  QVERIFY2(Difference.failure.contains("fail.bin") && Difference.failure.contains("disk gone"),
           qPrintable(Difference.failure));
}

void TestScan::tasksStartedFromThePoolUseEveryThread()
{
  // The scan and the verification start their tasks from a task of the
  // global pool; on two cores, a starter that only waited would leave all
  // the work to one thread.
  QThreadPool* Pool = QThreadPool::globalInstance();
  const int Threads = Pool->maxThreadCount();
  Pool->setMaxThreadCount(2);
  std::atomic<int> Next{0};
  QMutex Mutex;
  QSet<QThread*> Workers;
  const auto Work = [&] {
    for (int Item = Next++; Item < 20; Item = Next++) {
      {
        QMutexLocker Lock(&Mutex);
        Workers.insert(QThread::currentThread());
      }
      QThread::msleep(10);
    }
  };
  QFuture<void> Starter = QtConcurrent::run([&] { runTasksHereAndInPool(6, Work); });
  // Polled, not waited for: a wait could run the starter on this thread.
  QTRY_VERIFY_WITH_TIMEOUT(Starter.isFinished(), 10000);
  Pool->setMaxThreadCount(Threads);
  QCOMPARE(Next.load() >= 20, true);
  QCOMPARE(Workers.size(), 2);
}

QTEST_GUILESS_MAIN(TestScan)
#include "test_scan.moc"
