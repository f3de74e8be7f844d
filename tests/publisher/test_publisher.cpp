// Publishing: the codec chosen for each piece, the same output however the
// pieces are spread over the threads, and block index files beside the
// chunk files of an earlier publication.

#include "chunkcollection.h"
#include "chunkfile.h"
#include "codecchoice.h"
#include "descriptionsource.h"
#include "publisher.h"
#include "verify.h"

#include "gamebuild.h"
#include "testsupport.h"

#include "shared/descriptiondocument.h"
#include "shared/payload.h"
#include "shared/sha256.h"
#include "shared/zstdframes.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvale::publisher;

namespace {

constexpr int kKiB = 1024;
constexpr int kMiB = 1024 * 1024;

// Little-endian 32-bit counters with a little noise: structured data that
// LZMA packs to less than half of what Deflate manages.
QByteArray counterBytes(int Size, quint64 Seed)
{
  const QByteArray Noise = testsupport::pseudoRandomBytes(Size / 4 + 1, Seed);
  QByteArray Result(Size, '\0');
  for (int Index = 0; Index + 4 <= Size; Index += 4) {
    const quint32 Value = quint32(Index / 4) * 7 + (quint8(Noise[Index / 4]) & 3);
    std::memcpy(Result.data() + Index, &Value, 4);
  }
  return Result;
}

// Three parts of random bytes, then one part of text.
QByteArray mixedBytes(int Size, quint64 Seed)
{
  return testsupport::pseudoRandomBytes(Size / 4 * 3, Seed) + testsupport::textBytes(Size - Size / 4 * 3, Seed + 1);
}

QByteArray content(const QString& Kind, int Size)
{
  if (Kind == "random")
    return testsupport::pseudoRandomBytes(Size, 7);
  if (Kind == "text")
    return testsupport::textBytes(Size, 8);
  if (Kind == "counters")
    return counterBytes(Size, 9);
  return mixedBytes(Size, 10);
}

void checkPacked(const TPackedPiece& Packed, const QByteArray& Piece)
{
  if (Packed.codec == ECodec::Stored)
    QCOMPARE(Packed.data, Piece);
  QCOMPARE(chunkContentProblem(Packed.data, Packed.codec != ECodec::Stored, std::uint64_t(Piece.size()),
                               shared::TSha256::hash(Piece)),
           std::optional<QString>());
}

} // namespace

Q_DECLARE_METATYPE(orvale::publisher::ECodec)

class TestPublisher : public QObject
{
  Q_OBJECT

private slots:
  void automaticChoice_data();
  void automaticChoice();
  void fixedCodecs_data();
  void fixedCodecs();
  void sameOutputWhateverTheThreads();
  void republishingCompletesBlockIndexes();
  void smallPiecesInPacks_data();
  void smallPiecesInPacks();
  void refusedBuilds_data();
  void refusedBuilds();
};

void TestPublisher::automaticChoice_data()
{
  QTest::addColumn<QString>("kind");
  QTest::addColumn<int>("size");
  QTest::addColumn<QString>("codecs");
  QTest::addColumn<int>("minimumSaving");
  QTest::addColumn<int>("minimumLzmaSaving");
  QTest::addColumn<ECodec>("expected");
  // Large pieces are decided by the probe, small ones are their own probe.
  // The fast codec is zstd, or Deflate where zstd may not be used.
  for (const int Size : {4 * kMiB, 100 * kKiB}) {
    for (const auto& [Codecs, Fast] : {std::pair<QString, ECodec>{"all", ECodec::Zstd}, {"compatible", ECodec::Deflate}}) {
      const QString Tag = QString(Size > kMiB ? "large, " : "small, ") + Codecs;
      QTest::newRow(qPrintable("random, " + Tag)) << "random" << Size << Codecs << 5 << 10 << ECodec::Stored;
      QTest::newRow(qPrintable("text, " + Tag)) << "text" << Size << Codecs << 5 << 10 << Fast;
      QTest::newRow(qPrintable("counters, " + Tag)) << "counters" << Size << Codecs << 5 << 10 << ECodec::Lzma;
      // The thresholds are what decides.
      QTest::newRow(qPrintable("text, must save 90 %, " + Tag)) << "text" << Size << Codecs << 90 << 10
                                                                  << ECodec::Stored;
      QTest::newRow(qPrintable("counters, LZMA must save 100 %, " + Tag))
          << "counters" << Size << Codecs << 5 << 100 << Fast;
    }
  }
  // A quarter of text saves about a fifth; LZMA does little better on it
  // and would decode the random rest slowly.
  QTest::newRow("mostly random, some text") << "mixed" << 8 * kMiB << "all" << 5 << 10 << ECodec::Zstd;
  QTest::newRow("mostly random, some text, compatible")
      << "mixed" << 8 * kMiB << "compatible" << 5 << 10 << ECodec::Deflate;
  QTest::newRow("mostly random, must save 30 %") << "mixed" << 8 * kMiB << "all" << 30 << 10 << ECodec::Stored;
  // Pieces of at most 16 KiB are packed with zstd alone where it may be
  // used: LZMA is not worth its time on so little.
  QTest::newRow("counters, 16 KiB") << "counters" << 16 * kKiB << "all" << 5 << 10 << ECodec::Zstd;
  QTest::newRow("counters, 16 KiB, compatible") << "counters" << 16 * kKiB << "compatible" << 5 << 10 << ECodec::Lzma;
  QTest::newRow("counters, 16 KiB and a byte") << "counters" << 16 * kKiB + 1 << "all" << 5 << 10 << ECodec::Lzma;
  QTest::newRow("counters, 16 KiB, stored or LZMA") << "counters" << 16 * kKiB << "stored,lzma" << 5 << 10
                                                       << ECodec::Lzma;
  // Only stored and LZMA: LZMA wherever it saves the least saving at all.
  QTest::newRow("text, stored or LZMA") << "text" << 4 * kMiB << "stored,lzma" << 5 << 10 << ECodec::Lzma;
  QTest::newRow("random, stored or LZMA") << "random" << 4 * kMiB << "stored,lzma" << 5 << 10 << ECodec::Stored;
}

void TestPublisher::automaticChoice()
{
  QFETCH(QString, kind);
  QFETCH(int, size);
  QFETCH(QString, codecs);
  QFETCH(int, minimumSaving);
  QFETCH(int, minimumLzmaSaving);
  QFETCH(ECodec, expected);
  TPackingOptions Options;
  QVERIFY(parseCodecSet(codecs, Options.codecs));
  Options.minimumDeflateSavingPercent = minimumSaving;
  Options.minimumLzmaSavingPercent = minimumLzmaSaving;
  const QByteArray Piece = content(kind, size);
  const TPackedPiece Packed = packPiece(Options, Piece);
  QCOMPARE(codecName(Packed.codec), codecName(expected));
  checkPacked(Packed, Piece);
  // Pieces larger than a block offer blocks wherever their codec can.
  QCOMPARE(Packed.blocks.has_value(), offersBlocks(std::uint64_t(size)) && codecOffersBlocks(Packed.codec));
}

void TestPublisher::fixedCodecs_data()
{
  QTest::addColumn<ECodec>("codec");
  QTest::addColumn<QString>("kind");
  QTest::addColumn<ECodec>("expected");
  for (const ECodec Codec : {ECodec::Lzma, ECodec::Deflate, ECodec::Lzip, ECodec::Zstd}) {
    QTest::newRow(qPrintable(codecName(Codec) + ", text")) << Codec << "text" << Codec;
    // Also where Deflate is the better choice: a fixed codec is used as asked.
    QTest::newRow(qPrintable(codecName(Codec) + ", mostly random")) << Codec << "mixed" << Codec;
    QTest::newRow(qPrintable(codecName(Codec) + ", random")) << Codec << "random" << ECodec::Stored;
  }
  QTest::newRow("stored, text") << ECodec::Stored << "text" << ECodec::Stored;
}

void TestPublisher::fixedCodecs()
{
  QFETCH(ECodec, codec);
  QFETCH(QString, kind);
  QFETCH(ECodec, expected);
  TPackingOptions Options;
  Options.codec = codec;
  const QByteArray Piece = content(kind, 2 * kMiB);
  const TPackedPiece Packed = packPiece(Options, Piece);
  QCOMPARE(codecName(Packed.codec), codecName(expected));
  checkPacked(Packed, Piece);
}

void TestPublisher::sameOutputWhateverTheThreads()
{
  QTemporaryDir Work;
  const QString Build = Work.filePath("build");
  testsupport::writeGameBuildV1(Build, 10);
  testsupport::writeWholeFile(Build + "/data/tables.bin", counterBytes(9 * kMiB, 11));
  // Small files of every kind, more than one small pack holds: the packs'
  // content depends on the order their pieces are appended in.
  for (int Index = 0; Index < 120; ++Index)
    testsupport::writeWholeFile(Build + QString("/ui/%1.dat").arg(Index), content(Index % 3 == 0 ? "random" : "counters",
                                                                                  1000 + Index * 97));
  TPublishOptions Options;
  Options.inputDirectory = Build;
  Options.executable = "bin/client";
  Options.version = "1.0";
  Options.packSize = 16 * kKiB;

  QThreadPool* Pool = QThreadPool::globalInstance();
  const int Threads = Pool->maxThreadCount();
  QMap<QString, QString> First;
  for (const int PoolSize : {1, 3, 8}) {
    Pool->setMaxThreadCount(PoolSize);
    Options.outputDirectory = Work.filePath(QString("out-%1").arg(PoolSize));
    TPublishReport Report;
    TPublishProgress Last;
    QString Error;
    const bool Ok = publishBuild(Options, Report, Error, [&](const TPublishProgress& Progress) { Last = Progress; });
    Pool->setMaxThreadCount(Threads);
    QVERIFY2(Ok, qPrintable(Error));
    // Every codec of the automatic choice is used.
    QVERIFY(Report.storedChunks > 0 && Report.zstdChunks > 0 && Report.lzmaChunks > 0);
    QCOMPARE(Report.deflateChunks + Report.lzipChunks, 0);
    QVERIFY(Report.packsWritten > 3);
    QCOMPARE(Report.packsReused, 0);
    // The dictionary is trained on the same samples whatever the threads.
    QVERIFY(Report.piecesWithDictionary > 0 && Report.dictionaryWritten);
    QCOMPARE(Last.filesRead, Report.files);
    QCOMPARE(Last.files, Report.files);
    QCOMPARE(Last.bytesDone, Report.inputBytes);
    QCOMPARE(Last.bytes, Report.inputBytes);
    const auto Tree = testsupport::describeTree(Options.outputDirectory);
    if (First.isEmpty())
      First = Tree;
    else
      QCOMPARE(Tree, First);
  }
  // The compressed copy of the description decodes to it byte for byte; a
  // publication without one removes the copy an earlier one left, which
  // would no longer be the description. Nor does one without a dictionary
  // keep the pieces packed with the earlier one's.
  const QString Output = Work.filePath("out-1");
  const QByteArray Description = testsupport::readWholeFile(Output + "/package.json");
  QString Problem;
  QCOMPARE(shared::unpackDescription(testsupport::readWholeFile(Output + "/package.json.zst"), shared::MaxDescriptionBytes,
                                     Problem),
           std::optional<QByteArray>(Description));
  Options.outputDirectory = Output;
  Options.version = "1.1";
  Options.descriptionZstdLevel = 0;
  Options.dictionarySize = 0;
  TPublishReport Report;
  QString Error;
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QVERIFY(!QFile::exists(Output + "/package.json.zst"));
  QCOMPARE(Report.compressedDescriptionBytes, std::uint64_t(0));
  QCOMPARE(Report.descriptionBytes, std::uint64_t(QFileInfo(Output + "/package.json").size()));
  QCOMPARE(Report.piecesWithDictionary, 0);
  QVERIFY(Report.packsWritten > 0);
  QVERIFY(!testsupport::readWholeFile(Output + "/package.json").contains("\"dictionar"));
  const auto Verified = verifyPublication(Output, {}, Error);
  QVERIFY2(Verified && Verified->problems.empty(), qPrintable(Verified ? verifyText(*Verified) : Error));
}

void TestPublisher::republishingCompletesBlockIndexes()
{
  QTemporaryDir Work;
  const QString Build = Work.filePath("build");
  const QByteArray Text = testsupport::textBytes(kMiB, 12);
  testsupport::writeWholeFile(Build + "/text.txt", Text);
  testsupport::writeWholeFile(Build + "/random.bin", testsupport::pseudoRandomBytes(kMiB, 13));
  testsupport::writeWholeFile(Build + "/small.txt", testsupport::textBytes(200 * kKiB, 14));
  TPublishOptions Options;
  Options.inputDirectory = Build;
  Options.outputDirectory = Work.filePath("out");
  Options.version = "1";
  TPublishReport Report;
  QString Error;
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  // The zstd and the stored file offer blocks, the small one does not.
  QCOMPARE(Report.blockIndexFiles, 2);
  QCOMPARE(Report.zstdChunks, 2);
  QCOMPARE(Report.storedChunks, 1);
  const auto Published = testsupport::describeTree(Options.outputDirectory);
  const auto Verified = verifyPublication(Options.outputDirectory, {}, Error);
  QVERIFY2(Verified && Verified->problems.empty() && Verified->blockIndexFiles == 2,
           qPrintable(Verified ? verifyText(*Verified) : Error));

  // A publication cut off before the index files were written: the next
  // one writes them, the same as ever.
  QDirIterator Indexes(Options.outputDirectory, {"*.blocks"}, QDir::Files, QDirIterator::Subdirectories);
  int Removed = 0;
  while (Indexes.hasNext())
    Removed += QFile::remove(Indexes.next()) ? 1 : 0;
  QCOMPARE(Removed, 2);
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QCOMPARE(Report.chunkFilesWritten, 0);
  QCOMPARE(testsupport::describeTree(Options.outputDirectory), Published);

  // One cut off while a chunk file was written (chunk files are created
  // under their final name): that file is written again, in its place.
  QDirIterator Chunks(Options.outputDirectory + "/chunks", {"*.zst"}, QDir::Files, QDirIterator::Subdirectories);
  QVERIFY(Chunks.hasNext());
  QVERIFY(QFile::resize(Chunks.next(), 100));
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QCOMPARE(Report.chunkFilesWritten, 1);
  QCOMPARE(testsupport::describeTree(Options.outputDirectory), Published);  // no temporary file left either

  // Published again for launchers from before zstd: nothing of the zstd
  // publication in the folder is taken over.
  Options.packing.codecs = TCodecSet::compatible();
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QCOMPARE(Report.zstdChunks, 0);
  QCOMPARE(Report.deflateChunks, 2);
  QCOMPARE(Report.chunkFilesWritten, 2);
  const QByteArray Compatible = testsupport::readWholeFile(Options.outputDirectory + "/package.json");
  QVERIFY(!Compatible.contains(".zst\""));
  QVERIFY(Compatible.contains(".deflate\""));
  const auto CompatibleVerified = verifyPublication(Options.outputDirectory, {}, Error);
  QVERIFY2(CompatibleVerified && CompatibleVerified->problems.empty() && CompatibleVerified->blockIndexFiles == 2,
           qPrintable(CompatibleVerified ? verifyText(*CompatibleVerified) : Error));

  // A folder whose Deflate chunk file an earlier publisher wrote without
  // flushes: the file is kept as it is (older descriptions name its packed
  // hash) and offers no blocks.
  Options.outputDirectory = Work.filePath("older");
  const QByteArray Hex = testsupport::sha256Hex(Text);
  const QString Older = Options.outputDirectory + "/chunks/" + Hex.left(2) + "/" + Hex + ".deflate";
  const QByteArray Plain = shared::packPayload(shared::EPayloadFormat::Deflate, Text.constData(), std::size_t(Text.size()));
  testsupport::writeWholeFile(Older, Plain);
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QCOMPARE(testsupport::readWholeFile(Older), Plain);
  QCOMPARE(Report.blockIndexFiles, 1);
  const QJsonArray Files =
      QJsonDocument::fromJson(testsupport::readWholeFile(Options.outputDirectory + "/package.json"))
          .object()
          .value("files")
          .toArray();
  for (const QJsonValue& File : Files) {
    if (File.toObject().value("localfile") != "text.txt")
      continue;
    QCOMPARE(File.toObject().value("packedhash").toString(), QString(testsupport::sha256Hex(Plain)));
    QVERIFY(!File.toObject().contains("blockindex"));
  }
  const auto OlderVerified = verifyPublication(Options.outputDirectory, {}, Error);
  QVERIFY2(OlderVerified && OlderVerified->problems.empty(), qPrintable(Error));
}

namespace {

// The dictionary file a piece names, checked against its listed size and
// SHA-256.
std::shared_ptr<const shared::TZstdDictionary> namedDictionary(const shared::TDictionaryInDescription& Listed)
{
  const QByteArray Content = testsupport::readWholeFile(Listed.url.toLocalFile());
  if (std::uint64_t(Content.size()) != Listed.size || shared::TSha256::hash(Content) != Listed.hash)
    qFatal("%s is not the dictionary its description lists", qPrintable(Listed.url.toLocalFile()));
  return shared::TZstdDictionary::load(Content);
}

// Whether the packed bytes of a piece decode to it: with the dictionary it
// names (and not without it), else as any chunk file.
bool decodesToPiece(const QByteArray& Bytes, const shared::TChunkInPackage& Piece)
{
  if (!Piece.dictionary)
    return !chunkContentProblem(Bytes, Piece.unpack, Piece.unpackedSize, Piece.unpackedHash);
  const auto Dictionary = namedDictionary(*Piece.dictionary);
  QByteArray Decoded;
  return Dictionary && !shared::unpackPayload(Bytes, Decoded, Piece.unpackedSize) &&
         shared::unpackPayload(Bytes, Decoded, Piece.unpackedSize, Dictionary.get()) &&
         shared::TSha256::hash(Decoded) == Piece.unpackedHash;
}

// Where the description in Folder places each small file: "<pack>@<offset>",
// each piece checked to be the chunk file it would otherwise be; how many
// are compressed, and how many with a dictionary.
struct TPackPlaces
{
  QMap<QString, QString> places;
  int compressed = 0;
  int withDictionary = 0;
};

TPackPlaces packPlaces(const QString& Folder)
{
  QString Error;
  const auto Loaded = loadDescription(Folder, Error);
  if (!Loaded || !Loaded->reader.isValid())
    qFatal("%s: %s", qPrintable(Folder), qPrintable(Loaded ? Loaded->reader.invalidReason() : Error));
  TPackPlaces Result;
  for (const shared::TFileInPackage& File : Loaded->reader.files()) {
    const shared::TChunkInPackage& Piece = File.ownDownload;
    if (!Piece.inPack())
      continue;
    const QByteArray Pack = testsupport::readWholeFile(Piece.packUrl.toLocalFile());
    const QByteArray Bytes = Pack.mid(int(Piece.packOffset), int(Piece.packedSize));
    if (std::uint64_t(Pack.size()) != Piece.packSize || shared::TSha256::hash(Bytes) != Piece.packedHash ||
        !decodesToPiece(Bytes, Piece))
      qFatal("%s: the piece of %s is not at its place", qPrintable(Folder), qPrintable(File.localFile));
    Result.places.insert(File.localFile, QString("%1@%2").arg(Piece.packUrl.fileName()).arg(Piece.packOffset));
    Result.compressed += Piece.unpack ? 1 : 0;
    Result.withDictionary += Piece.dictionary ? 1 : 0;
  }
  return Result;
}

QStringList dictionaryFiles(const QString& Folder)
{
  return QDir(Folder + "/dictionaries").entryList(QDir::Files);
}

QSet<QString> packFiles(const QString& Folder)
{
  const QStringList Names = QDir(Folder + "/packs").entryList(QDir::Files);
  return QSet<QString>(Names.begin(), Names.end());
}

QSet<QString> packsOf(const QMap<QString, QString>& Places)
{
  QSet<QString> Packs;
  for (const QString& Place : Places)
    Packs.insert(Place.section('@', 0, 0));
  return Packs;
}

} // namespace

// Small files go into packs, in which each piece is byte for byte the chunk
// file it would otherwise be. Published again with one of them changed, the
// others keep their places and one new pack holds the changed piece alone.
// gc keeps the packs a kept description names. With many similar small
// files, pieces in packs are packed with a dictionary trained on them, which
// the description lists and a publication into the same folder keeps.
void TestPublisher::smallPiecesInPacks_data()
{
  QTest::addColumn<int>("similarFiles");
  QTest::addColumn<int>("dictionarySize");
  QTest::newRow("small files, no dictionary") << 0 << 0;
  QTest::newRow("similar files, no dictionary") << 300 << 0;
  QTest::newRow("similar files, a dictionary") << 300 << 32768;
}

void TestPublisher::smallPiecesInPacks()
{
  QFETCH(int, similarFiles);
  QFETCH(int, dictionarySize);
  const bool Dictionary = similarFiles > 0 && dictionarySize > 0;
  QTemporaryDir Work;
  const QString Build = Work.filePath("build");
  for (int Index = 0; Index < 40; ++Index)
    testsupport::writeWholeFile(Build + QString("/small/%1.txt").arg(Index),
                                content(Index % 2 == 0 ? "random" : "text", 500 + Index * 300));
  testsupport::writeWholeFile(Build + "/edge.bin", content("random", 64 * kKiB - 1));
  testsupport::writeWholeFile(Build + "/large.bin", content("random", 64 * kKiB));
  testsupport::writeSimilarTextFiles(Build, "quests", similarFiles);
  const int InPacks = 41 + similarFiles;
  TPublishOptions Options;
  Options.inputDirectory = Build;
  Options.outputDirectory = Work.filePath("out");
  Options.version = "1";
  Options.packSize = 100 * kKiB;
  Options.dictionarySize = std::uint64_t(dictionarySize);
  TPublishReport Report;
  QString Error;
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QCOMPARE(Report.piecesInPacks, InPacks);
  QCOMPARE(Report.chunkFilesWritten, 1);
  QCOMPARE(Report.packsWritten, packFiles(Options.outputDirectory).size());
  QVERIFY(Report.packsWritten >= 2);
  for (const QString& Pack : packFiles(Options.outputDirectory))
    QVERIFY(QFileInfo(Options.outputDirectory + "/packs/" + Pack).size() <= 100 * kKiB);
  const TPackPlaces First = packPlaces(Options.outputDirectory);
  QCOMPARE(First.places.size(), InPacks);
  QVERIFY(First.compressed >= 20 + similarFiles);  // the text files
  // The similar files are packed with the dictionary; it is listed (once)
  // only when pieces use it, and lies in the folder as listed.
  QCOMPARE(First.withDictionary, Report.piecesWithDictionary);
  QCOMPARE(Report.piecesWithDictionary >= similarFiles && Report.piecesWithDictionary > 0, Dictionary);
  const QStringList Dictionaries = dictionaryFiles(Options.outputDirectory);
  QCOMPARE(Dictionaries.size(), Dictionary ? 1 : 0);
  const QJsonArray Listed = QJsonDocument::fromJson(testsupport::readWholeFile(Options.outputDirectory + "/package.json"))
                                .object()
                                .value("dictionaries")
                                .toArray();
  QCOMPARE(Listed.size(), Dictionaries.size());
  if (Dictionary) {
    QCOMPARE(Listed.at(0).toObject().value("url").toString(), "dictionaries/" + Dictionaries.front());
    QCOMPARE(std::uint64_t(Listed.at(0).toObject().value("size").toDouble()), Report.dictionaryBytes);
    QVERIFY(Report.dictionaryWritten && Report.dictionaryBytes > 1024 && Report.dictionaryBytes <= 32768);
  }
  auto Verified = verifyPublication(Options.outputDirectory, {}, Error);
  QVERIFY2(Verified && Verified->problems.empty() && Verified->piecesInPacks == InPacks && Verified->chunkFiles == 1 &&
               Verified->dictionaries == Dictionaries.size(),
           qPrintable(Verified ? verifyText(*Verified) : Error));
  const QString Kept = Work.filePath("1.json");
  QVERIFY(QFile::copy(Options.outputDirectory + "/package.json", Kept));

  testsupport::writeWholeFile(Build + "/small/7.txt", content("text", 3000));
  // With a dictionary, files are added too (after the changed one), so that
  // a dictionary trained anew would differ: the folder's one is kept.
  const int Added = Dictionary ? 40 : 0;
  testsupport::writeSimilarTextFiles(Build, "zz-added", Added, 2);
  Options.version = "2";
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QCOMPARE(Report.packsWritten, 1);
  QCOMPARE(Report.packsReused, packsOf(First.places).size());
  QCOMPARE(Report.piecesInPacks, InPacks + Added);
  QCOMPARE(Report.chunkFilesWritten, 0);
  QCOMPARE(Report.dictionaryWritten, false);
  QCOMPARE(dictionaryFiles(Options.outputDirectory), Dictionaries);
  const TPackPlaces Second = packPlaces(Options.outputDirectory);
  QCOMPARE(Second.withDictionary, First.withDictionary + Added);
  QCOMPARE(Second.places.size(), First.places.size() + Added);
  for (const QString& File : First.places.keys())
    QCOMPARE(Second.places.value(File) == First.places[File], File != "small/7.txt");
  const QString NewPack = Second.places["small/7.txt"].section('@', 0, 0);
  QCOMPARE(Second.places["small/7.txt"], NewPack + "@0");
  const QByteArray Changed = testsupport::readWholeFile(Options.outputDirectory + "/packs/" + NewPack);
  const auto Used = Dictionary ? shared::TZstdDictionary::load(testsupport::readWholeFile(
                                     Options.outputDirectory + "/dictionaries/" + Dictionaries.front()))
                               : nullptr;
  QCOMPARE(chunkContentProblem(Changed, true, 3000, shared::TSha256::hash(content("text", 3000)), Used.get()),
           std::optional<QString>());
  // A dictionary file damaged on the server fails verify, which names it.
  if (Dictionary) {
    const QString Path = Options.outputDirectory + "/dictionaries/" + Dictionaries.front();
    const QByteArray Good = testsupport::readWholeFile(Path);
    QByteArray Damaged = Good;
    Damaged[100] = char(Damaged[100] ^ 0x01);
    testsupport::writeWholeFile(Path, Damaged);
    Verified = verifyPublication(Options.outputDirectory, {}, Error);
    QVERIFY(Verified && Verified->problems.size() == 1);
    QCOMPARE(Verified->problems.front().location, "dictionaries/" + Dictionaries.front());
    QVERIFY2(Verified->problems.front().problem.startsWith("differs from its hash"),
             qPrintable(Verified->problems.front().problem));
    testsupport::writeWholeFile(Path, Good);
  }
  // Delta copies of the description: against the first one and against
  // itself, each decoding to it; none is left against an earlier one.
  const QByteArray FirstDescription = testsupport::readWholeFile(Kept);
  const QByteArray SecondDescription = testsupport::readWholeFile(Options.outputDirectory + "/package.json");
  for (const QByteArray& Base : {FirstDescription, SecondDescription}) {
    QString Problem;
    const auto Decoded = shared::unpackDescriptionDelta(
        testsupport::readWholeFile(Options.outputDirectory + "/" + shared::deltaDescriptionName("package.json", Base)),
        Base, shared::MaxDescriptionBytes, Problem);
    QVERIFY2(Decoded && *Decoded == SecondDescription, qPrintable(Problem));
  }
  QCOMPARE(QDir(Options.outputDirectory).entryList({"package.json.from-*"}, QDir::Files).size(), 2);
  // Against itself it is a few references, not a copy.
  QVERIFY(QFileInfo(Options.outputDirectory + "/" + shared::deltaDescriptionName("package.json", SecondDescription)).size() <
          SecondDescription.size() / 10);

  // Published without packs, the folder's description names none: gc keeps
  // those of the kept first description, which the second does not name
  // wholly, and deletes the pack only the second named, and a stray one.
  Options.version = "3";
  Options.packBelow = 0;
  QVERIFY2(publishBuild(Options, Report, Error), qPrintable(Error));
  QCOMPARE(Report.piecesInPacks + Report.packsWritten + Report.packsReused, 0);
  const QByteArray Classic = testsupport::readWholeFile(Options.outputDirectory + "/package.json");
  QVERIFY(!Classic.contains("\"packs\"") && !Classic.contains("\"pack\""));
  const QStringList Deltas = QDir(Options.outputDirectory).entryList({"package.json.from-*"}, QDir::Files);
  QCOMPARE(QSet<QString>(Deltas.begin(), Deltas.end()),
           QSet<QString>({shared::deltaDescriptionName("package.json", SecondDescription),
                          shared::deltaDescriptionName("package.json", Classic)}));
  const QString Stray = QString(64, 'f') + ".pack";
  testsupport::writeWholeFile(Options.outputDirectory + "/packs/" + Stray, "not named");
  const auto Collected = collectChunkFiles({Options.outputDirectory, {Kept}, false}, Error);
  QVERIFY2(Collected, qPrintable(Error));
  QSet<QString> Deleted;
  for (const TCollectedFile& File : Collected->deleted) {
    if (File.path.startsWith("packs/"))
      Deleted << File.path.mid(6);
  }
  QCOMPARE(Deleted, QSet<QString>({NewPack, Stray}));
  QCOMPARE(packFiles(Options.outputDirectory), packsOf(First.places));
}

// Builds the publisher refuses, each with a message that names what is
// wrong; nothing is written then. An empty build is published only when
// allowed.
void TestPublisher::refusedBuilds_data()
{
  QTest::addColumn<QString>("kind");
  QTest::addColumn<QString>("error");  // empty: published
  QTest::newRow("empty build") << "empty" << "the build folder holds no files";
  QTest::newRow("empty build allowed") << "empty allowed" << "";
  QTest::newRow("name not UTF-8") << "bad name" << "/data/bad\\xff\\xfe.pak: the name is not valid UTF-8";
  QTest::newRow("folder name not UTF-8") << "bad folder" << "/data/levels\\xc3(: the name is not valid UTF-8";
  QTest::newRow("output through a link into the build") << "linked output" << "must not lie inside the build folder";
  QTest::newRow("executable not in the build") << "missing executable" << "the executable is not a file of the build";
  QTest::newRow("packs larger than launchers take") << "huge packs" << "the pack size must be from 1 to 16777216 bytes";
}

void TestPublisher::refusedBuilds()
{
  QFETCH(QString, kind);
  QFETCH(QString, error);
  QTemporaryDir Work;
  const QString Build = Work.filePath("build");
  QVERIFY(QDir().mkpath(Build + "/data"));
  TPublishOptions Options;
  Options.inputDirectory = Build;
  Options.outputDirectory = Work.filePath("out");
  Options.version = "1.0";
  const auto CreateRaw = [&](const QByteArray& Path, bool Folder) {
    const QByteArray Full = QFile::encodeName(Build) + Path;
    if (Folder)
      return QDir().mkpath(Build + "/data") && ::mkdir(Full.constData(), 0755) == 0;
    const int Descriptor = ::open(Full.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    return Descriptor >= 0 && ::write(Descriptor, "data", 4) == 4 && ::close(Descriptor) == 0;
  };
  if (kind != "empty" && kind != "empty allowed")
    testsupport::writeWholeFile(Build + "/data/ok.txt", "fine");
  if (kind == "empty allowed")
    Options.allowEmpty = true;
  if (kind == "bad name")
    QVERIFY(CreateRaw("/data/bad\xff\xfe.pak", false));
  if (kind == "bad folder")
    QVERIFY(CreateRaw("/data/levels\xc3(", true) && CreateRaw("/data/levels\xc3(/map.dat", false));
  if (kind == "linked output") {
    QVERIFY(QFile::link(Build + "/data", Work.filePath("published")));
    Options.outputDirectory = Work.filePath("published/www/game");
  }
  if (kind == "missing executable")
    Options.executable = "bin/client";
  if (kind == "huge packs")
    Options.packSize = shared::kMaxPackBytes + 1;

  TPublishReport Report;
  QString Error;
  const bool Ok = publishBuild(Options, Report, Error);
  if (error.isEmpty()) {
    QVERIFY2(Ok, qPrintable(Error));
    QCOMPARE(QJsonDocument::fromJson(testsupport::readWholeFile(Options.outputDirectory + "/package.json"))
                 .object().value("files").toArray().size(), 0);
    return;
  }
  QVERIFY(!Ok);
  QVERIFY2(Error.contains(error), qPrintable(Error));
  QVERIFY(!QFile::exists(Options.outputDirectory + "/package.json"));
  QVERIFY(!QFileInfo::exists(Build + "/data/www"));
}

QTEST_GUILESS_MAIN(TestPublisher)
#include "test_publisher.moc"
