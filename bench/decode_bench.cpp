// Decode throughput of the chunk container, per format id: every valid
// vector of the payload manifest, and a 16 MiB chunk for the formats this
// code base can write. Figures are MB/s (10^6 bytes) of decoded output,
// best of several runs of shared::unpackPayload. Then the blocks: the
// block cutter's throughput over the mixed chunk and over random bytes,
// and what the Deflate layout with a flush at each block start and the zstd
// layout with a frame per block cost in size against one plain stream, with
// the speed of decoding every block's range on its own.
//
// Usage: ashgrove-decode-bench [payload folder]
// The folder defaults to payloads in $ASHGROVE_TEST_DATA_DIR, else
// tests/data/payloads of the source tree.

#include "shared/blockchunker.h"
#include "shared/blocks.h"
#include "shared/payload.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

namespace {

const int kFormats[] = {0, 3, 4, 5, 6, 9, 10, 14, 21};
const std::map<int, const char*> kNames = {{0, "stored"}, {3, "deflate"}, {4, "lzip"}, {5, "lzma20"},  {6, "zpaq"},
                                           {9, "zstd"},   {10, "lzma25"}, {14, "csc"}, {21, "crush"}};

struct TResult
{
  bool ok = false;
  double megabytesPerSecond = 0;
  int runs = 0;
};

// The fastest of several runs of Work (at least about MinimumSeconds).
double bestSeconds(const std::function<void()>& Work, double MinimumSeconds = 0.5)
{
  double Best = 1e30;
  QElapsedTimer Total;
  Total.start();
  for (int Run = 0; Run < 3 || (Total.nsecsElapsed() < qint64(MinimumSeconds * 1e9) && Run < 1000); ++Run) {
    QElapsedTimer Timer;
    Timer.start();
    Work();
    Best = std::min(Best, double(std::max<qint64>(Timer.nsecsElapsed(), 1)) / 1e9);
  }
  return Best;
}

// Decodes the container repeatedly and keeps the fastest run.
TResult measure(const QByteArray& Container, double MinimumSeconds = 0.5)
{
  TResult Result;
  QByteArray Output;
  if (!shared::unpackPayload(Container, Output))
    return Result;
  Result.ok = true;
  const double Best = bestSeconds(
      [&] {
        QByteArray Decoded;
        shared::unpackPayload(Container, Decoded);
        ++Result.runs;
      },
      MinimumSeconds);
  Result.megabytesPerSecond = double(Output.size()) / Best / 1e6;
  return Result;
}

// 16 MiB of mixed content: word-like text, incompressible bytes, runs and
// small records, in 4 KiB pieces, from a fixed seed.
QByteArray makeChunk(int Size)
{
  static const char* Words[] = {"ashgrove", "launcher", "patch", "chunk", "the", "of", "and",
                                "server",   "player",   "quest", "guild", "a",   "to", "iron"};
  QByteArray Data;
  Data.reserve(Size);
  quint64 State = 0x5EEDull;
  auto next = [&State]() {
    State += 0x9E3779B97F4A7C15ull;
    quint64 Value = State;
    Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
    Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
    return Value ^ (Value >> 31);
  };
  while (Data.size() < Size) {
    const int Kind = int(next() % 4);
    const int End = std::min(Size, Data.size() + 4096);
    while (Data.size() < End) {
      switch (Kind) {
      case 0:
        Data.append(Words[next() % (sizeof(Words) / sizeof(*Words))]);
        Data.append(next() % 9 == 0 ? ".\n" : " ");
        break;
      case 1:
        Data.append(char(next() & 0xFF));
        break;
      case 2:
        Data.append(QByteArray(int(next() % 200), char('a' + next() % 3)));
        break;
      default: {
        const quint32 Id = quint32(next() % 5000);
        Data.append(reinterpret_cast<const char*>(&Id), sizeof(Id));
        Data.append("record\0\0", 8);
        break;
      }
      }
    }
    Data.resize(End);
  }
  return Data;
}

void printCutting(const char* Name, const QByteArray& Data)
{
  std::size_t Blocks = 0;
  const double Seconds = bestSeconds([&] {
    Blocks = shared::cutBlocks(reinterpret_cast<const std::uint8_t*>(Data.constData()), std::size_t(Data.size())).size();
  });
  std::printf("block cutting, %-22s %10.1f MB/s  (%zu blocks, %.0f bytes on average)\n", Name,
              double(Data.size()) / Seconds / 1e6, Blocks, double(Data.size()) / double(Blocks));
}

// Returns false when a block range does not decode alone.
bool printBlocked(const char* Name, shared::EPayloadFormat Format, int Level, const QByteArray& Chunk)
{
  const QByteArray Plain = shared::packPayload(Format, Chunk.constData(), std::size_t(Chunk.size()), Level);
  const shared::TBlockedPiece Blocked =
      Format == shared::EPayloadFormat::Zstd
          ? shared::packZstdBlocks(Chunk.constData(), std::size_t(Chunk.size()), Level)
          : shared::packDeflateBlocks(Chunk.constData(), std::size_t(Chunk.size()), Level);
  bool Ok = !Blocked.chunkFile.isEmpty();
  const double Seconds = bestSeconds([&] {
    for (const shared::TBlock& Block : Blocked.index.blocks)
      Ok = shared::decodeBlock(Blocked.index.encoding, Block, Blocked.chunkFile.constData() + Block.packedOffset,
                               Block.packedSize) && Ok;
  });
  std::printf("%s level %d, 16 MiB chunk: one stream %d bytes, in %zu blocks %d bytes (%+.2f %%); "
              "block ranges decoded alone %.1f MB/s%s\n",
              Name, Level, Plain.size(), Blocked.index.blocks.size(), Blocked.chunkFile.size(),
              100.0 * (double(Blocked.chunkFile.size()) / double(Plain.size()) - 1.0), double(Chunk.size()) / Seconds / 1e6,
              Ok ? "" : "  FAILED");
  return Ok;
}

QString defaultPayloadFolder()
{
  QString Data = qEnvironmentVariable("ASHGROVE_TEST_DATA_DIR");
  if (Data.isEmpty())
    Data = QStringLiteral(ASHGROVE_SOURCE_DIR "/tests/data");
  return QDir(Data + "/payloads").absolutePath();
}

void printRow(int Format, const QString& Input, qint64 Unpacked, qint64 Packed, const TResult& Result)
{
  if (Result.ok)
    std::printf("%3d  %-8s %-22s %10lld %10lld %10.1f  (%d runs)\n", Format, kNames.at(Format),
                qPrintable(Input), static_cast<long long>(Unpacked), static_cast<long long>(Packed),
                Result.megabytesPerSecond, Result.runs);
  else
    std::printf("%3d  %-8s %-22s %10lld %10lld %10s\n", Format, kNames.at(Format), qPrintable(Input),
                static_cast<long long>(Unpacked), static_cast<long long>(Packed), "FAILED");
  std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
  const QString Folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : defaultPayloadFolder();
  QFile ManifestFile(Folder + "/manifest.json");
  if (!ManifestFile.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s\n", qPrintable(ManifestFile.fileName()));
    return 2;
  }
  const QJsonArray Files = QJsonDocument::fromJson(ManifestFile.readAll()).object().value("files").toArray();

  std::map<int, std::vector<QJsonObject>> Vectors;
  for (const QJsonValue& Value : Files) {
    const QJsonObject Entry = Value.toObject();
    if (Entry.value("expect").toString() == "ok")
      Vectors[Entry.value("format_id").toInt()].push_back(Entry);
  }

  std::printf("payload folder: %s\n", qPrintable(Folder));
  std::printf("%3s  %-8s %-22s %10s %10s %10s\n", "id", "format", "input", "unpacked", "packed", "MB/s");
  const QByteArray Chunk = makeChunk(16 * 1024 * 1024);
  int Failures = 0;
  for (int Format : kFormats) {
    for (const QJsonObject& Entry : Vectors[Format]) {
      QFile File(Folder + "/" + Entry.value("file").toString());
      TResult Result;
      QByteArray Container;
      if (File.open(QIODevice::ReadOnly)) {
        Container = File.readAll();
        Result = measure(Container);
      }
      Failures += Result.ok ? 0 : 1;
      printRow(Format, Entry.value("file").toString(), qint64(Entry.value("unpacked_size").toDouble()),
               qint64(Entry.value("packed_size").toDouble()), Result);
    }
    const QByteArray Packed =
        shared::packPayload(shared::EPayloadFormat(Format), Chunk.constData(), std::size_t(Chunk.size()));
    if (!Packed.isEmpty()) {
      const TResult Result = measure(Packed, 1.0);
      Failures += Result.ok ? 0 : 1;
      printRow(Format, "16 MiB chunk", Chunk.size(), Packed.size(), Result);
    }
  }
  printCutting("16 MiB chunk", Chunk);
  QByteArray Random(16 * 1024 * 1024, '\0');
  quint64 State = 0x5EEDull;
  for (char& Byte : Random) {
    State = State * 6364136223846793005ull + 1442695040888963407ull;
    Byte = char(State >> 56);
  }
  printCutting("16 MiB random", Random);
  Failures += printBlocked("deflate", shared::EPayloadFormat::Deflate, 6, Chunk) ? 0 : 1;
  Failures += printBlocked("zstd", shared::EPayloadFormat::Zstd, 3, Chunk) ? 0 : 1;
  std::printf("%d failed\n", Failures);
  return 0;
}
