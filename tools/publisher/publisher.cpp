#include "publisher.h"

#include "launcher/contentdefinedchunker.h"
#include "shared/payload.h"
#include "shared/sha256.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QThread>
#include <QtConcurrent>

#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace orvale::publisher {

namespace {

struct TChunkRecord
{
  QString url;  // relative to the description
  std::uint64_t packedSize = 0;
  QByteArray packedHash;
  std::uint64_t unpackedSize = 0;
  QByteArray unpackedHash;
  bool unpack = true;
  bool written = false;  // a new file was written (else an identical one was there)
};

struct TSourceFile
{
  QString relativePath;
  QString absolutePath;
  std::uint64_t size = 0;
  bool executable = false;
};

QString codecExtension(ECodec Codec)
{
  switch (Codec) {
  case ECodec::Lzma:
    return "lzma";
  case ECodec::Deflate:
    return "deflate";
  case ECodec::Lzip:
    return "lz";
  case ECodec::Stored:
    return "raw";
  }
  return "raw";
}

// A quick look whether compressing Data can pay: deflate at its fastest
// level on a few samples. Random or already compressed data is stored as
// it is without spending seconds in the real codec.
bool looksCompressible(const QByteArray& Data)
{
  constexpr int Sample = 65536;
  if (Data.size() <= 3 * Sample)
    return true;
  for (int Part = 0; Part < 3; ++Part) {
    const int Offset = int((qint64(Data.size() - Sample) * Part) / 2);
    const QByteArray Packed = shared::packPayload(shared::EPayloadFormat::Deflate, Data.constData() + Offset, Sample, 1);
    if (!Packed.isEmpty() && Packed.size() < Sample * 97 / 100)
      return true;
  }
  return false;
}

// The content of a chunk file already in the output folder, when it holds
// the piece with this hash: a container that decodes to it (Packed), or the
// piece itself. Anything else (a damaged or foreign file) is not reused.
std::optional<QByteArray> reusableChunkFile(const QString& Path, const QByteArray& Hash, std::uint64_t Size,
                                            bool Packed)
{
  QFile File(Path);
  // A chunk file is never larger than its piece (plus a container header):
  // anything bigger is not ours and is not read into memory.
  if (!File.exists() || File.size() > qint64(Size) + 4096 || !File.open(QIODevice::ReadOnly))
    return std::nullopt;
  const QByteArray Content = File.readAll();
  if (File.error() != QFile::NoError)
    return std::nullopt;
  if (!Packed) {
    if (std::uint64_t(Content.size()) == Size && shared::TSha256::hash(Content) == Hash)
      return Content;
    return std::nullopt;
  }
  if (!shared::isPackedPayload(Content))
    return std::nullopt;
  QByteArray Decoded;
  if (!shared::unpackPayload(Content, Decoded, Size) || std::uint64_t(Decoded.size()) != Size ||
      shared::TSha256::hash(Decoded) != Hash)
    return std::nullopt;
  return Content;
}

// Compresses one piece and writes its chunk file. A chunk file that an
// earlier publication left in the output folder for the same content is
// checked and kept as it is, without compressing again: updates publish
// fast, and unchanged pieces keep their URL and packed hash. Runs on the
// thread pool.
TChunkRecord publishPiece(const TPublishOptions& Options, QByteArray Data, QByteArray Hash)
{
  TChunkRecord Record;
  Record.unpackedSize = std::uint64_t(Data.size());
  Record.unpackedHash = Hash;
  const QString Hex = QString::fromLatin1(Hash.toHex());
  const auto UrlWith = [&](const QString& Extension) {
    return QString("chunks/%1/%2.%3").arg(Hex.left(2), Hex, Extension);
  };
  const QDir Output(Options.outputDirectory);

  const QString CodecExtension = codecExtension(Options.codec);
  for (const QString& Extension : {CodecExtension, QString("raw")}) {
    const bool Packed = Extension != "raw";
    if (Packed && Options.codec == ECodec::Stored)
      continue;
    const std::optional<QByteArray> Existing =
        reusableChunkFile(Output.filePath(UrlWith(Extension)), Hash, Record.unpackedSize, Packed);
    if (!Existing)
      continue;
    Record.unpack = Packed;
    Record.packedSize = std::uint64_t(Existing->size());
    Record.packedHash = shared::TSha256::hash(*Existing);
    Record.url = UrlWith(Extension);
    return Record;
  }

  QByteArray Packed;
  if (Options.codec != ECodec::Stored && !Data.isEmpty() && looksCompressible(Data)) {
    shared::EPayloadFormat Format = shared::EPayloadFormat::Lzma25;
    int Level = Options.lzmaPreset;
    if (Options.codec == ECodec::Deflate) {
      Format = shared::EPayloadFormat::Deflate;
      Level = 9;
    } else if (Options.codec == ECodec::Lzip) {
      Format = shared::EPayloadFormat::Lzip;
    }
    Packed = shared::packPayload(Format, Data.constData(), std::size_t(Data.size()), Level);
  }
  QString Extension = CodecExtension;
  if (Packed.isEmpty() || Packed.size() >= Data.size()) {
    // Compression does not pay: the piece is stored as it is.
    Packed = Data;
    Record.unpack = false;
    Extension = "raw";
  }
  Record.packedSize = std::uint64_t(Packed.size());
  Record.packedHash = shared::TSha256::hash(Packed);
  Record.url = UrlWith(Extension);

  const QString Path = Output.filePath(Record.url);
  QDir().mkpath(QFileInfo(Path).absolutePath());
  QSaveFile File(Path);
  if (!File.open(QIODevice::WriteOnly) || File.write(Packed) != Packed.size() || !File.commit())
    throw std::runtime_error(QString("cannot write %1: %2").arg(Path, File.errorString()).toStdString());
  Record.written = true;
  return Record;
}

// Collects the pieces of the build in order and publishes each distinct
// content once; compression runs on the thread pool with a bounded number
// of pieces in flight, results are taken in order.
class TChunkStore
{
public:
  explicit TChunkStore(const TPublishOptions& Options)
    : m_Options(Options), m_MaxInFlight(std::max(2, QThread::idealThreadCount()))
  {
  }

  // Index of the piece's content in the chunk list.
  int add(const char* Data, std::size_t Size, TPublishReport& Report)
  {
    const QByteArray Hash = shared::TSha256::hash(Data, Size);
    const auto Known = m_IndexByHash.constFind(Hash);
    if (Known != m_IndexByHash.constEnd()) {
      ++Report.duplicatePieces;
      return Known.value();
    }
    const int Index = int(m_Chunks.size());
    m_IndexByHash.insert(Hash, Index);
    m_Chunks.emplace_back();
    while (int(m_InFlight.size()) >= m_MaxInFlight)
      takeOne(Report);
    const TPublishOptions Options = m_Options;
    QByteArray Copy(Data, int(Size));
    m_InFlight.push_back({Index, QtConcurrent::run([Options, Copy, Hash] { return publishPiece(Options, Copy, Hash); })});
    return Index;
  }

  void finish(TPublishReport& Report)
  {
    while (!m_InFlight.empty())
      takeOne(Report);
  }

  const std::vector<TChunkRecord>& chunks() const { return m_Chunks; }

private:
  void takeOne(TPublishReport& Report)
  {
    auto Front = std::move(m_InFlight.front());
    m_InFlight.pop_front();
    TChunkRecord Record = Front.second.result();
    if (Record.written)
      ++Report.chunkFilesWritten;
    else
      ++Report.chunkFilesReused;
    Report.packedBytes += Record.packedSize;
    m_Chunks[std::size_t(Front.first)] = std::move(Record);
  }

  const TPublishOptions& m_Options;
  int m_MaxInFlight;
  QHash<QByteArray, int> m_IndexByHash;
  std::vector<TChunkRecord> m_Chunks;
  std::deque<std::pair<int, QFuture<TChunkRecord>>> m_InFlight;
};

QJsonObject downloadRecord(const TChunkRecord& Record)
{
  QJsonObject Object;
  Object.insert("url", Record.url);
  Object.insert("packedsize", double(Record.packedSize));
  Object.insert("packedhash", QString::fromLatin1(Record.packedHash.toHex()));
  Object.insert("unpackedsize", double(Record.unpackedSize));
  Object.insert("unpackedhash", QString::fromLatin1(Record.unpackedHash.toHex()));
  Object.insert("unpack", Record.unpack);
  return Object;
}

std::vector<TSourceFile> collectFiles(const QString& Input, QString& Error)
{
  std::vector<TSourceFile> Files;
  const QDir Root(Input);
  QDirIterator Iterator(Input, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                        QDirIterator::Subdirectories);
  while (Iterator.hasNext()) {
    Iterator.next();
    const QFileInfo Info = Iterator.fileInfo();
    if (Info.isSymLink()) {
      Error = QString("symbolic links cannot be published: %1").arg(Info.filePath());
      return {};
    }
    if (!Info.isFile())
      continue;
    TSourceFile File;
    File.absolutePath = Info.absoluteFilePath();
    File.relativePath = Root.relativeFilePath(Info.absoluteFilePath());
    File.size = std::uint64_t(Info.size());
    File.executable = Info.permissions() & QFileDevice::ExeOwner;
    Files.push_back(File);
  }
  std::sort(Files.begin(), Files.end(),
            [](const TSourceFile& Left, const TSourceFile& Right) { return Left.relativePath < Right.relativePath; });
  return Files;
}

} // namespace

bool parseCodec(const QString& Text, ECodec& Codec)
{
  if (Text == "lzma")
    Codec = ECodec::Lzma;
  else if (Text == "deflate")
    Codec = ECodec::Deflate;
  else if (Text == "lzip")
    Codec = ECodec::Lzip;
  else if (Text == "stored")
    Codec = ECodec::Stored;
  else
    return false;
  return true;
}

bool publishBuild(const TPublishOptions& Options, TPublishReport& Report, QString& Error,
                  const std::function<void(const QString&)>& Progress)
{
  Report = TPublishReport();
  const QFileInfo InputInfo(Options.inputDirectory);
  if (!InputInfo.isDir()) {
    Error = QString("the build folder %1 does not exist").arg(Options.inputDirectory);
    return false;
  }
  const QString Input = InputInfo.canonicalFilePath();
  const QString Output = QFileInfo(Options.outputDirectory).absoluteFilePath();
  if (Output == Input || Output.startsWith(Input + "/")) {
    Error = "the output folder must not lie inside the build folder";
    return false;
  }
  if (!QDir().mkpath(Output)) {
    Error = QString("cannot create the output folder %1").arg(Output);
    return false;
  }
  std::vector<TSourceFile> Sources = collectFiles(Input, Error);
  if (!Error.isEmpty())
    return false;
  if (!Options.executable.isEmpty()) {
    const bool Found = std::any_of(Sources.begin(), Sources.end(),
                                   [&](const TSourceFile& File) { return File.relativePath == Options.executable; });
    if (!Found) {
      Error = QString("the executable %1 is not a file of the build").arg(Options.executable);
      return false;
    }
  }

  TPublishOptions Effective = Options;
  Effective.outputDirectory = Output;
  TChunkStore Store(Effective);
  QJsonArray FileEntries;
  std::vector<std::pair<int, std::size_t>> WholeFiles;   // file entry, store index
  std::vector<std::pair<int, std::vector<int>>> ChunkedFiles;  // file entry, store indices
  try {
    for (const TSourceFile& Source : Sources) {
      if (Progress)
        Progress(Source.relativePath);
      QFile File(Source.absolutePath);
      if (!File.open(QIODevice::ReadOnly)) {
        Error = QString("cannot read %1: %2").arg(Source.absolutePath, File.errorString());
        return false;
      }
      QJsonObject Entry;
      Entry.insert("localfile", Source.relativePath);
      Entry.insert("executable", Source.executable);
      shared::TSha256 FileHash;
      std::uint64_t Size = 0;
      if (Source.size == 0) {
        // An empty file needs no download: the launcher creates it.
      } else if (Source.size <= Options.wholeFileLimit) {
        const QByteArray Data = File.readAll();
        if (File.error() != QFileDevice::NoError || std::uint64_t(Data.size()) != Source.size) {
          Error = QString("cannot read %1: %2").arg(Source.absolutePath, File.errorString());
          return false;
        }
        FileHash.addData(Data);
        Size = std::uint64_t(Data.size());
        const int Index = Store.add(Data.constData(), std::size_t(Data.size()), Report);
        WholeFiles.emplace_back(FileEntries.size(), std::size_t(Index));
      } else {
        std::vector<int> Indices;
        launcher::TContentDefinedChunker Chunker;
        const bool Ok = Chunker.forEachPiece(File, [&](const std::uint8_t* Data, std::size_t Length) {
          FileHash.addData(Data, Length);
          Size += Length;
          Indices.push_back(Store.add(reinterpret_cast<const char*>(Data), Length, Report));
        });
        if (!Ok || Size != Source.size) {
          Error = QString("cannot read %1: %2").arg(Source.absolutePath, File.errorString());
          return false;
        }
        ChunkedFiles.emplace_back(FileEntries.size(), std::move(Indices));
      }
      Entry.insert("unpackedsize", double(Size));
      Entry.insert("unpackedhash", QString::fromLatin1(FileHash.result().toHex()));
      FileEntries.append(Entry);
      ++Report.files;
      Report.inputBytes += Size;
    }
    Store.finish(Report);
  } catch (const std::exception& Failure) {
    Error = QString::fromUtf8(Failure.what());
    return false;
  }

  // Whole files carry their download record in their own entry.
  for (const auto& [EntryIndex, ChunkIndex] : WholeFiles) {
    QJsonObject Entry = FileEntries.at(EntryIndex).toObject();
    const QJsonObject Record = downloadRecord(Store.chunks()[ChunkIndex]);
    for (auto Key = Record.begin(); Key != Record.end(); ++Key)
      Entry.insert(Key.key(), Key.value());
    FileEntries.replace(EntryIndex, Entry);
  }
  // The chunk list holds the pieces of chunked files, in order of first use.
  QJsonArray ChunkEntries;
  QHash<int, int> ListIndexByStoreIndex;
  for (const auto& [EntryIndex, StoreIndices] : ChunkedFiles) {
    QJsonArray Indices;
    for (int StoreIndex : StoreIndices) {
      auto Known = ListIndexByStoreIndex.constFind(StoreIndex);
      if (Known == ListIndexByStoreIndex.constEnd()) {
        Known = ListIndexByStoreIndex.insert(StoreIndex, ChunkEntries.size());
        ChunkEntries.append(downloadRecord(Store.chunks()[std::size_t(StoreIndex)]));
      }
      Indices.append(Known.value());
    }
    QJsonObject Entry = FileEntries.at(EntryIndex).toObject();
    Entry.insert("chunks", Indices);
    FileEntries.replace(EntryIndex, Entry);
  }

  QJsonObject Description;
  Description.insert("version", Options.version);
  if (!Options.executable.isEmpty())
    Description.insert("executable", Options.executable);
  if (!Options.parameters.isEmpty())
    Description.insert("parameters", QJsonArray::fromStringList(Options.parameters));
  if (!Options.generation.isEmpty())
    Description.insert("generation", Options.generation);
  if (!Options.variant.isEmpty())
    Description.insert("variant", Options.variant);
  Description.insert("chunks", ChunkEntries);
  Description.insert("files", FileEntries);

  QSaveFile DescriptionFile(QDir(Output).filePath("package.json"));
  const QByteArray Json = QJsonDocument(Description).toJson(QJsonDocument::Indented);
  if (!DescriptionFile.open(QIODevice::WriteOnly) || DescriptionFile.write(Json) != Json.size() ||
      !DescriptionFile.commit()) {
    Error = QString("cannot write %1: %2").arg(DescriptionFile.fileName(), DescriptionFile.errorString());
    return false;
  }
  return true;
}

bool unpackContainerFile(const QString& Input, const QString& Output, QString& Error)
{
  QFile In(Input);
  if (!In.open(QIODevice::ReadOnly)) {
    Error = QString("cannot read %1: %2").arg(Input, In.errorString());
    return false;
  }
  const QByteArray Data = In.readAll();
  if (!shared::isPackedPayload(Data)) {
    Error = QString("%1 is not a payload container").arg(Input);
    return false;
  }
  const auto Header = shared::readPayloadHeader(Data.constData(), std::size_t(Data.size()));
  QByteArray Decoded;
  if (!shared::unpackPayload(Data, Decoded)) {
    Error = QString("%1 cannot be decoded (format id %2)").arg(Input).arg(Header ? Header->format : -1);
    return false;
  }
  QSaveFile Out(Output);
  if (!Out.open(QIODevice::WriteOnly) || Out.write(Decoded) != Decoded.size() || !Out.commit()) {
    Error = QString("cannot write %1: %2").arg(Output, Out.errorString());
    return false;
  }
  return true;
}

} // namespace orvale::publisher
