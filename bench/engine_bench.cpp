// The update engine's half of scripts/bench: writes the sample builds and
// runs one engine operation per process, so that the script can time it,
// watch its disk use and read its peak memory.
//
//   ashgrove-engine-bench generate FOLDER SIZE_MB
//       A game build of about SIZE_MB MiB: large files of incompressible and
//       of text-like content, small files, an empty file, an executable.
//   ashgrove-engine-bench change FOLDER
//       Turns a copy of such a build into the next version: bytes inserted in
//       the middle of large files, a region modified, a large file grown and
//       one shortened, a file added, one removed, one grown, one shrunk.
//       Prints the regions whose bytes it inserted or modified.
//   ashgrove-engine-bench generatemany FOLDER COUNT
//       A game build of COUNT small text-like files (0.5 to 8 KB, 200 to a
//       folder) and an executable.
//   ashgrove-engine-bench changemany FOLDER COUNT
//       Rewrites COUNT of such a build's files (spread over it) with new
//       content of the same size; prints them as changed regions.
//   ashgrove-engine-bench scanfile FOLDER SIZE_MB
//       One file "data/scan.pak" of SIZE_MB MiB of mixed content.
//   ashgrove-engine-bench shiftscanfile FOLDER TARGET
//       TARGET/data/scan.pak: FOLDER's scan file with 1 MiB of new data
//       inserted at its start, at a third and at two thirds.
//   ashgrove-engine-bench scan FOLDER DESCRIPTION
//       Chunk-wise scan (FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate,
//       fast scan off) of FOLDER against the published DESCRIPTION; prints
//       the seconds of the whole call and the seconds until the last byte
//       was matched (before pieces found elsewhere are moved).
//   ashgrove-engine-bench verify FOLDER DESCRIPTION
//       VerifyPackage of every file of DESCRIPTION in FOLDER.
//   ashgrove-engine-bench install DESCRIPTION URL [--max-concurrent M]
//                         [--max-cached C] [--verify] [--no-fast-scan]
//                         [--log FILE] [--idle] [--flush each-file|file-system]
//       Installs or updates the package published at URL (DESCRIPTION is its
//       content) into $XDG_DATA_HOME like the launcher does; --no-fast-scan
//       reads every installed file (the setting "fastScan" off); --idle sets
//       everything up but installs nothing (the fixed memory base); --flush
//       chooses how the data is made durable before the full marker (the
//       default: the launcher's). Prints,
//       besides times and sizes, the process's CPU seconds and those it
//       spent decoding, hashing and writing.
//
// Every operation prints one JSON object on standard output; the exit
// status is 0 only when the operation succeeded.

#include "engine/installationmanager.h"
#include "engine/logging.h"
#include "engine/packageinstallation.h"

#include "shared/cputime.h"
#include "shared/heap.h"

#include "enginesettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThreadPool>
#include <QTimer>

#include <sys/resource.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace orvale::launcher;

namespace {

constexpr qint64 kMebibyte = 1024 * 1024;
constexpr qint64 kWriteBlock = 4 * kMebibyte;

// ---------------------------------------------------------------------------
// Content

// Deterministic 64-bit generator (splitmix64). The seed is mixed into the
// start state, so that the streams of neighbouring seeds do not overlap
// (overlapping streams would give files that share content-defined pieces).
class TRandom
{
public:
  explicit TRandom(quint64 Seed) : m_State(mix(Seed ^ 0x632BE59BD9B4E019ull)) {}
  quint64 next() { return mix(m_State += 0x9E3779B97F4A7C15ull); }

private:
  static quint64 mix(quint64 Value)
  {
    Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
    Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
    return Value ^ (Value >> 31);
  }

  quint64 m_State;
};

// Produces the bytes of one kind of content in blocks.
using TContent = std::function<void(char* Data, qint64 Size)>;

TContent randomContent(quint64 Seed)
{
  auto Random = std::make_shared<TRandom>(Seed);
  return [Random](char* Data, qint64 Size) {
    qint64 Offset = 0;
    for (; Offset + 8 <= Size; Offset += 8) {
      const quint64 Value = Random->next();
      std::memcpy(Data + Offset, &Value, 8);
    }
    if (Offset < Size) {
      const quint64 Value = Random->next();
      std::memcpy(Data + Offset, &Value, std::size_t(Size - Offset));
    }
  };
}

// Word-like text with lines and numbers: compresses about four to one.
TContent textContent(quint64 Seed)
{
  static const char* const Words[] = {
      "ashgrove", "online", "the",    "quest",  "sword", "of",      "river",  "guild",  "stone",   "dragon", "market",
      "night",    "and",    "a",      "castle", "north", "merchant", "to",    "iron",   "village", "shadow", "bridge",
      "healer",   "rune",   "forest", "gate",   "tower", "silver",  "hunter", "winter", "ember",   "vault",  "scroll",
      "banner",   "harbor", "keep",   "wolf",   "oak",   "ash",     "mist",   "forge",  "lantern", "crown",  "path"};
  constexpr int WordCount = int(sizeof(Words) / sizeof(*Words));
  struct TState
  {
    TRandom random;
    std::string line;      // the line being handed out
    std::size_t used = 0;  // bytes of it handed out already
  };
  auto State = std::make_shared<TState>(TState{TRandom(Seed), std::string(), 0});
  return [State](char* Data, qint64 Size) {
    qint64 Offset = 0;
    while (Offset < Size) {
      if (State->used == State->line.size()) {
        std::string& Line = State->line;
        Line.clear();
        State->used = 0;
        const quint64 Shape = State->random.next();
        if (Shape % 7 == 0)
          Line += std::to_string((Shape >> 40) % 100000) + ": ";
        const int Length = 4 + int((Shape >> 8) % 14);
        for (int Word = 0; Word < Length; ++Word) {
          const quint64 Pick = State->random.next();
          Line += Words[Pick % WordCount];
          Line += (Pick >> 32) % 13 == 0 ? ", " : " ";
        }
        Line += ".\n";
      }
      const qint64 Take = std::min<qint64>(Size - Offset, qint64(State->line.size() - State->used));
      std::memcpy(Data + Offset, State->line.data() + State->used, std::size_t(Take));
      State->used += std::size_t(Take);
      Offset += Take;
    }
  };
}

// Alternating regions of two kinds of content.
TContent alternatingContent(TContent First, qint64 FirstSize, TContent Second, qint64 SecondSize)
{
  auto Position = std::make_shared<qint64>(0);
  return [=](char* Data, qint64 Size) {
    qint64 Offset = 0;
    while (Offset < Size) {
      const qint64 InCycle = *Position % (FirstSize + SecondSize);
      const bool InFirst = InCycle < FirstSize;
      const qint64 Left = InFirst ? FirstSize - InCycle : FirstSize + SecondSize - InCycle;
      const qint64 Take = std::min(Left, Size - Offset);
      (InFirst ? First : Second)(Data + Offset, Take);
      Offset += Take;
      *Position += Take;
    }
  };
}

void openOrThrow(QFile& File, QIODevice::OpenMode Mode)
{
  QDir().mkpath(QFileInfo(File.fileName()).absolutePath());
  if (!File.open(Mode))
    throw std::runtime_error(QString("cannot open %1: %2").arg(File.fileName(), File.errorString()).toStdString());
}

void writeOrThrow(QFile& File, const char* Data, qint64 Size)
{
  if (File.write(Data, Size) != Size)
    throw std::runtime_error(QString("cannot write %1: %2").arg(File.fileName(), File.errorString()).toStdString());
}

void appendContent(QFile& File, const TContent& Content, qint64 Size)
{
  QByteArray Block(int(std::min(Size, kWriteBlock)), '\0');
  for (qint64 Done = 0; Done < Size;) {
    const qint64 Take = std::min<qint64>(Size - Done, Block.size());
    Content(Block.data(), Take);
    writeOrThrow(File, Block.constData(), Take);
    Done += Take;
  }
}

void writeContent(const QString& Path, const TContent& Content, qint64 Size)
{
  QFile File(Path);
  openOrThrow(File, QIODevice::WriteOnly | QIODevice::Truncate);
  appendContent(File, Content, Size);
}

void writeText(const QString& Path, const QByteArray& Text)
{
  QFile File(Path);
  openOrThrow(File, QIODevice::WriteOnly | QIODevice::Truncate);
  writeOrThrow(File, Text.constData(), Text.size());
}

void makeExecutable(const QString& Path)
{
  QFile::setPermissions(Path, QFile::permissions(Path) | QFileDevice::ExeOwner | QFileDevice::ExeGroup |
                                  QFileDevice::ExeOther);
}

// Copies Size bytes of Source from its current position to Target.
void copyBytes(QFile& Source, QFile& Target, qint64 Size)
{
  QByteArray Block(int(kWriteBlock), '\0');
  for (qint64 Done = 0; Done < Size;) {
    const qint64 Take = std::min<qint64>(Size - Done, Block.size());
    if (Source.read(Block.data(), Take) != Take)
      throw std::runtime_error(QString("cannot read %1").arg(Source.fileName()).toStdString());
    writeOrThrow(Target, Block.constData(), Take);
    Done += Take;
  }
}

// Rewrites Path with Replacement[0, ReplacementSize) put in at Offset,
// replacing RemovedSize bytes there (0: a pure insertion).
void spliceFile(const QString& Path, qint64 Offset, qint64 RemovedSize, const TContent& Replacement,
                qint64 ReplacementSize)
{
  const QString Temporary = Path + ".splice";
  {
    QFile Source(Path);
    openOrThrow(Source, QIODevice::ReadOnly);
    QFile Target(Temporary);
    openOrThrow(Target, QIODevice::WriteOnly | QIODevice::Truncate);
    const qint64 Size = Source.size();
    Offset = std::min(Offset, Size);
    RemovedSize = std::min(RemovedSize, Size - Offset);
    copyBytes(Source, Target, Offset);
    appendContent(Target, Replacement, ReplacementSize);
    Source.seek(Offset + RemovedSize);
    copyBytes(Source, Target, Size - Offset - RemovedSize);
  }
  QFile::remove(Path);
  if (!QFile::rename(Temporary, Path))
    throw std::runtime_error(QString("cannot replace %1").arg(Path).toStdString());
}

qint64 fraction(qint64 Total, int Percent)
{
  return Total * Percent / 100;
}

// ---------------------------------------------------------------------------
// Builds

void generateBuild(const QString& Folder, qint64 SizeMegabytes)
{
  const qint64 Total = SizeMegabytes * kMebibyte;
  QDir(Folder).removeRecursively();
  QDir().mkpath(Folder);
  const QDir Root(Folder);
  // Large files, about 98 % of the build.
  writeContent(Root.filePath("data/world.pak"), randomContent(101), fraction(Total, 38));
  writeContent(Root.filePath("data/textures.pak"),
               alternatingContent(randomContent(102), 3 * kMebibyte, textContent(103), kMebibyte), fraction(Total, 20));
  writeContent(Root.filePath("data/dialogue.txt"), textContent(104), fraction(Total, 18));
  writeContent(Root.filePath("data/music.ogg"), randomContent(105), fraction(Total, 12) + 12345);
  writeContent(Root.filePath("data/voices.pak"), textContent(106), fraction(Total, 10));
  // Small files.
  writeText(Root.filePath("config/settings.ini"), "[video]\nwidth=1920\nheight=1080\n");
  writeContent(Root.filePath("config/keys.ini"), textContent(107), 5000);
  writeContent(Root.filePath("readme.txt"), textContent(108), 20000);
  writeText(Root.filePath("old-notes.txt"), "to be removed\n");
  writeText(Root.filePath("empty.dat"), QByteArray());
  for (int Index = 0; Index < 12; ++Index) {
    const QString Name = QString("data/small/part%1.bin").arg(Index, 2, 10, QChar('0'));
    if (Index % 2 == 0)
      writeContent(Root.filePath(Name), randomContent(300 + Index), 3000 + Index * 9000);
    else
      writeContent(Root.filePath(Name), textContent(300 + Index), 3000 + Index * 9000);
  }
  writeText(Root.filePath("tools/helper.sh"), "#!/bin/sh\necho helper\n");
  writeText(Root.filePath("bin/client"), "#!/bin/sh\necho client \"$@\"\n");
  makeExecutable(Root.filePath("bin/client"));
}

// Returns the regions of the new version whose bytes it inserted or
// modified: [{"file", "offset", "length"}].
QJsonArray changeBuild(const QString& Folder)
{
  const QDir Root(Folder);
  const auto SizeOf = [&](const QString& Name) { return QFileInfo(Root.filePath(Name)).size(); };
  QJsonArray Changed;
  const auto Region = [&](const QString& Name, qint64 Offset, qint64 Length) {
    Changed.append(QJsonObject{{"file", Name}, {"offset", double(Offset)}, {"length", double(Length)}});
  };
  // Bytes inserted in the middle of large files.
  Region("data/world.pak", SizeOf("data/world.pak") / 2, 100000);
  spliceFile(Root.filePath("data/world.pak"), SizeOf("data/world.pak") / 2, 0, randomContent(201), 100000);
  Region("data/voices.pak", SizeOf("data/voices.pak") / 2, 65536);
  spliceFile(Root.filePath("data/voices.pak"), SizeOf("data/voices.pak") / 2, 0, textContent(202), 65536);
  // A region modified in place.
  Region("data/textures.pak", SizeOf("data/textures.pak") / 3, kMebibyte);
  spliceFile(Root.filePath("data/textures.pak"), SizeOf("data/textures.pak") / 3, kMebibyte, randomContent(203),
             kMebibyte);
  // A large file grown at its end, one shortened.
  Region("data/dialogue.txt", SizeOf("data/dialogue.txt"), kMebibyte);
  {
    QFile Dialogue(Root.filePath("data/dialogue.txt"));
    openOrThrow(Dialogue, QIODevice::Append);
    appendContent(Dialogue, textContent(204), kMebibyte);
  }
  if (!QFile::resize(Root.filePath("data/music.ogg"), SizeOf("data/music.ogg") * 7 / 8))
    throw std::runtime_error("cannot shorten data/music.ogg");
  // Added, removed, grown, shrunk, made executable.
  Region("data/patch-notes.txt", 0, 3000);
  writeContent(Root.filePath("data/patch-notes.txt"), textContent(205), 3000);
  QFile::remove(Root.filePath("old-notes.txt"));
  Region("readme.txt", SizeOf("readme.txt"), 7000);
  {
    QFile Readme(Root.filePath("readme.txt"));
    openOrThrow(Readme, QIODevice::Append);
    appendContent(Readme, textContent(206), 7000);
  }
  if (!QFile::resize(Root.filePath("config/keys.ini"), 2000))
    throw std::runtime_error("cannot shrink config/keys.ini");
  makeExecutable(Root.filePath("tools/helper.sh"));
  return Changed;
}

// A build of Count small text-like files of 0.5 to 8 KB, 200 to a folder,
// and the client.
void generateManyFiles(const QString& Folder, qint64 Count)
{
  QDir(Folder).removeRecursively();
  const QDir Root(Folder);
  TRandom Sizes(401);
  for (qint64 Index = 0; Index < Count; ++Index) {
    const QString Name = QString("d%1/f%2.txt").arg(Index / 200, 3, 10, QChar('0')).arg(Index, 5, 10, QChar('0'));
    writeContent(Root.filePath(Name), textContent(quint64(1000 + Index)), 512 + qint64(Sizes.next() % (7680 + 1)));
  }
  writeText(Root.filePath("bin/client"), "#!/bin/sh\necho client \"$@\"\n");
  makeExecutable(Root.filePath("bin/client"));
}

// Rewrites Changed of such a build's files, spread over it, with new
// content of their size; returns the regions (each file whole).
QJsonArray changeManyFiles(const QString& Folder, qint64 Changed)
{
  const QDir Root(Folder);
  QStringList Names;
  for (const QString& Sub : Root.entryList({"d*"}, QDir::Dirs, QDir::Name)) {
    for (const QString& Name : QDir(Root.filePath(Sub)).entryList(QDir::Files, QDir::Name))
      Names.append(Sub + "/" + Name);
  }
  QJsonArray Regions;
  const qint64 Step = std::max<qint64>(1, Names.size() / std::max<qint64>(Changed, 1));
  for (qint64 Index = 0; Index < Changed && Index * Step < Names.size(); ++Index) {
    const QString& Name = Names[int(Index * Step)];
    const qint64 Size = QFileInfo(Root.filePath(Name)).size();
    writeContent(Root.filePath(Name), textContent(quint64(900000 + Index)), Size);
    Regions.append(QJsonObject{{"file", Name}, {"offset", 0}, {"length", double(Size)}});
  }
  return Regions;
}

void generateScanFile(const QString& Folder, qint64 SizeMegabytes)
{
  QDir(Folder).removeRecursively();
  writeContent(QDir(Folder).filePath("data/scan.pak"),
               alternatingContent(randomContent(401), 24 * kMebibyte, textContent(402), 8 * kMebibyte),
               SizeMegabytes * kMebibyte);
}

void shiftScanFile(const QString& Folder, const QString& Target)
{
  const QString Path = QDir(Target).filePath("data/scan.pak");
  QDir(Target).removeRecursively();
  QFile Source(QDir(Folder).filePath("data/scan.pak"));
  openOrThrow(Source, QIODevice::ReadOnly);
  QFile Output(Path);
  openOrThrow(Output, QIODevice::WriteOnly | QIODevice::Truncate);
  const qint64 Size = Source.size();
  qint64 Done = 0;
  for (int Part = 0; Part < 3; ++Part) {
    appendContent(Output, randomContent(410 + quint64(Part)), kMebibyte);
    const qint64 End = Size * (Part + 1) / 3;
    copyBytes(Source, Output, End - Done);
    Done = End;
  }
}

// ---------------------------------------------------------------------------
// Engine runs

QByteArray readFile(const QString& Path)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly))
    throw std::runtime_error(QString("cannot read %1").arg(Path).toStdString());
  return File.readAll();
}

qint64 peakResidentKilobytes()
{
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return qint64(Usage.ru_maxrss);
}

double processCpuSeconds()
{
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return double(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) + double(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

void printJson(const QJsonObject& Object)
{
  std::printf("%s\n", QJsonDocument(Object).toJson(QJsonDocument::Compact).constData());
  std::fflush(stdout);
}

std::uint64_t totalSize(const TFileInPackageVector& Files)
{
  std::uint64_t Total = 0;
  for (const TFileInPackage& File : Files)
    Total += File.unpackedSize;
  return Total;
}

int runScan(const QString& Folder, const QString& DescriptionPath)
{
  const QByteArray Data = readFile(DescriptionPath);
  const TPackageConfigurationReader Published(Data, QByteArray(), QUrl::fromLocalFile(DescriptionPath), QUrl());
  auto Helper = std::make_shared<TEngineFilesystemHelper>(testsupport::engineSettings());
  const auto Configuration = testsupport::singlePackageConfiguration(QUrl::fromLocalFile(DescriptionPath), Data);
  auto Job = TPackageInstallation::create(Configuration->packages()[0], Helper);

  QElapsedTimer Clock;
  // The scan reports the last matched byte from its task's thread.
  std::atomic<qint64> MatchedNanoseconds{0};
  std::atomic<std::uint64_t> MatchedBytes{0};
  QObject::connect(
      Job.get(), &TPackageInstallation::scanProgress, Job.get(),
      [&](TFileSize Scanned, TFileSize Total) {
        MatchedBytes = Scanned;
        if (Scanned >= Total)
          MatchedNanoseconds = Clock.nsecsElapsed();
      },
      Qt::DirectConnection);
  Clock.start();
  const std::vector<TFileToDownload> Result = Job->FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
      Published.files(), Published.chunks(), {}, {}, std::nullopt, QDir(Folder), Helper).filesToDownload;
  const qint64 Nanoseconds = Clock.nsecsElapsed();

  int ChunkWiseFiles = 0;
  int PiecesToDownload = 0;
  for (const TFileToDownload& File : Result) {
    PiecesToDownload += int(File.chunksToDownload.size());
    ChunkWiseFiles += File.chunks.size() >= 2 ? 1 : 0;
  }
  const bool Ok = Published.isValid() && Result.size() == Published.files().size() && ChunkWiseFiles > 0 &&
                  MatchedNanoseconds > 0;
  printJson({{"ok", Ok},
             {"seconds", double(Nanoseconds) / 1e9},
             {"match_seconds", double(MatchedNanoseconds) / 1e9},
             {"matched_bytes", double(MatchedBytes)},
             {"bytes", double(totalSize(Published.files()))},
             {"files", int(Result.size())},
             {"chunk_wise_files", ChunkWiseFiles},
             {"pieces_to_download", PiecesToDownload}});
  return Ok ? 0 : 1;
}

int runVerify(const QString& Folder, const QString& DescriptionPath)
{
  const QByteArray Data = readFile(DescriptionPath);
  const TPackageConfigurationReader Installed(Data, QByteArray(), QUrl::fromLocalFile(DescriptionPath), QUrl());
  auto Helper = std::make_shared<TEngineFilesystemHelper>(testsupport::engineSettings());
  const auto Configuration = testsupport::singlePackageConfiguration(QUrl::fromLocalFile(DescriptionPath), Data);
  auto Job = TPackageInstallation::create(Configuration->packages()[0], Helper);

  QElapsedTimer Clock;
  Clock.start();
  const bool Result = Job->VerifyPackage(QDir(Folder), Helper, Installed.files());
  const qint64 Nanoseconds = Clock.nsecsElapsed();
  const bool Ok = Installed.isValid() && Result;
  printJson({{"ok", Ok},
             {"seconds", double(Nanoseconds) / 1e9},
             {"bytes", double(totalSize(Installed.files()))},
             {"files", int(Installed.files().size())},
             {"thread_pool_threads", QThreadPool::globalInstance()->maxThreadCount()}});
  return Ok ? 0 : 1;
}

// Reads a description as the launcher does, a few times; the best time counts.
int runParse(const QString& DescriptionPath)
{
  const QByteArray Data = readFile(DescriptionPath);
  const QUrl Base("http://127.0.0.1/game/package.json");
  double Best = 0;
  bool Valid = false;
  std::size_t Files = 0;
  for (int Run = 0; Run < 3; ++Run) {
    QElapsedTimer Clock;
    Clock.start();
    const TPackageConfigurationReader Description(Data, QByteArray(), Base, QUrl());
    const double Seconds = double(Clock.nsecsElapsed()) / 1e9;
    Best = Run == 0 ? Seconds : std::min(Best, Seconds);
    Valid = Description.isValid();
    Files = Description.files().size();
  }
  printJson({{"ok", Valid}, {"seconds", Best}, {"bytes", double(Data.size())}, {"files", double(Files)}});
  return Valid ? 0 : 1;
}

struct TInstallOptions
{
  QString descriptionPath;
  QUrl descriptionUrl;
  int maxConcurrentDownloads = 10;
  int maxCachedChunks = 100;
  bool verify = false;
  bool fastScan = true;
  bool idle = false;
  EDurableFlush flush = TEngineSettings().durableFlush;
  int timeoutSeconds = 1800;
};

int runInstall(const TInstallOptions& Options)
{
  const QByteArray Data = readFile(Options.descriptionPath);
  auto Settings = testsupport::engineSettings();
  Settings->maxConcurrentDownloads = Options.maxConcurrentDownloads;
  Settings->maxCachedChunks = Options.maxCachedChunks;
  Settings->skipVerification = !Options.verify;
  Settings->fastScan = Options.fastScan;
  Settings->durableFlush = Options.flush;
  auto Helper = std::make_shared<TEngineFilesystemHelper>(Settings);
  const auto Configuration = testsupport::singlePackageConfiguration(Options.descriptionUrl, Data);
  const auto Package = Configuration->packages()[0];
  const TPackageConfigurationReader& Published = *Package->currentDescription();

  TInstallationManager Manager(Configuration, Helper);
  const QString StatusBefore = QString::number(int(Package->localStatus()));
  const QString Directory = Package->installationDirectory(*Helper).absolutePath();
  if (Options.idle) {
    printJson({{"ok", Published.isValid()},
               {"installation_directory", Directory},
               {"maxrss_kb", double(peakResidentKilobytes())}});
    return Published.isValid() ? 0 : 1;
  }

  bool Finished = false;
  EPackageDownloaderError ErrorReason = NoDownloaderError;
  QString DiskFailure;
  TFileSize DownloadedBytes = 0;
  TFileSize WrittenBytes = 0;
  std::int32_t PeakCachedChunks = 0;
  double FlushSeconds = 0;
  qint64 Nanoseconds = 0;
  QElapsedTimer Clock;
  QObject::connect(&Manager, &TInstallationManager::installationOrUpdateStarted,
                   [&](const TPackageInstallation& Installation) {
                     TPackageFileDownloader* Downloader = Installation.downloader();
                     QObject::connect(Downloader, &TPackageFileDownloader::progress, &Manager,
                                      [&, Downloader](TFileSize Downloaded, TFileSize, TFileSize Written, TFileSize) {
                                        DownloadedBytes = Downloaded;
                                        WrittenBytes = Written;
                                        PeakCachedChunks = Downloader->peakCachedChunkCount();
                                      });
                   });
  QObject::connect(&Manager, &TInstallationManager::installationOrUpdateFinished,
                   [&](const TPackageInstallation& Installation) {
                     ErrorReason = Installation.errorReason();
                     FlushSeconds = Installation.flushSeconds();
                   });
  QObject::connect(&Manager, &TInstallationManager::allStartedUpdatesFinished, [&] {
    Nanoseconds = Clock.nsecsElapsed();
    Finished = true;
    QCoreApplication::quit();
  });
  QObject::connect(&Manager, &TInstallationManager::diskAccessFailed, [&](const QString& Message) {
    DiskFailure = Message;
    Nanoseconds = Clock.nsecsElapsed();
    QCoreApplication::quit();
  });
  QTimer::singleShot(Options.timeoutSeconds * 1000, [] { QCoreApplication::quit(); });

  const double CpuBefore = processCpuSeconds();
  const double ActivitiesBefore[3] = {shared::cpuSeconds(shared::ECpuActivity::Decode),
                                      shared::cpuSeconds(shared::ECpuActivity::Hash),
                                      shared::cpuSeconds(shared::ECpuActivity::Write)};
  Clock.start();
  Manager.installOrUpdatePackage(Package);
  if (!Finished && DiskFailure.isEmpty())
    QCoreApplication::exec();

  const bool Ok = Finished && DiskFailure.isEmpty() && ErrorReason == NoDownloaderError &&
                  Package->localStatus() == ELocalPackageStatus::UpToDate;
  printJson({{"ok", Ok},
             {"finished", Finished},
             {"seconds", double(Nanoseconds) / 1e9},
             {"flush_seconds", FlushSeconds},
             {"flush", Options.flush == EDurableFlush::EachFile ? "each-file" : "file-system"},
             {"bytes", double(totalSize(Published.files()))},
             {"downloaded_bytes", double(DownloadedBytes)},
             {"written_bytes", double(WrittenBytes)},
             {"peak_cached_chunks", PeakCachedChunks},
             {"error_reason", int(ErrorReason)},
             {"disk_failure", DiskFailure},
             {"status_before", StatusBefore},
             {"status", int(Package->localStatus())},
             {"verification", Options.verify},
             {"fast_scan", Options.fastScan},
             {"cpu_seconds_self", processCpuSeconds() - CpuBefore},
             {"decode_cpu_seconds", shared::cpuSeconds(shared::ECpuActivity::Decode) - ActivitiesBefore[0]},
             {"hash_cpu_seconds", shared::cpuSeconds(shared::ECpuActivity::Hash) - ActivitiesBefore[1]},
             {"write_cpu_seconds", shared::cpuSeconds(shared::ECpuActivity::Write) - ActivitiesBefore[2]},
             {"max_concurrent_downloads", Options.maxConcurrentDownloads},
             {"max_cached_chunks", Options.maxCachedChunks},
             {"thread_pool_threads", QThreadPool::globalInstance()->maxThreadCount()},
             {"installation_directory", Directory},
             {"maxrss_kb", double(peakResidentKilobytes())}});
  return Ok ? 0 : 1;
}

int usage()
{
  std::fprintf(stderr,
               "usage: ashgrove-engine-bench generate FOLDER SIZE_MB | change FOLDER | scanfile FOLDER SIZE_MB |\n"
               "       generatemany FOLDER COUNT | changemany FOLDER COUNT |\n"
               "       shiftscanfile FOLDER TARGET |\n"
               "       scan FOLDER DESCRIPTION | verify FOLDER DESCRIPTION | parse DESCRIPTION |\n"
               "       install DESCRIPTION URL [--max-concurrent M] [--max-cached C] [--verify] [--no-fast-scan]\n"
               "               [--log FILE] [--idle] [--flush each-file|file-system]\n");
  return 2;
}

bool positiveNumber(const QString& Text, qint64& Value)
{
  bool Ok = false;
  Value = Text.toLongLong(&Ok);
  return Ok && Value > 0;
}

} // namespace

int main(int argc, char** argv)
{
  shared::keepFreedMemoryForReuse();  // as the launcher does
  QCoreApplication Application(argc, argv);
  const QStringList Arguments = Application.arguments().mid(1);
  if (Arguments.isEmpty())
    return usage();
  const QString Command = Arguments[0];
  try {
    qint64 Size = 0;
    if (Command == "generate" && Arguments.size() == 3 && positiveNumber(Arguments[2], Size)) {
      generateBuild(Arguments[1], Size);
      return 0;
    }
    if (Command == "change" && Arguments.size() == 2) {
      printJson({{"ok", true}, {"changed", changeBuild(Arguments[1])}});
      return 0;
    }
    if (Command == "generatemany" && Arguments.size() == 3 && positiveNumber(Arguments[2], Size)) {
      generateManyFiles(Arguments[1], Size);
      return 0;
    }
    if (Command == "changemany" && Arguments.size() == 3 && positiveNumber(Arguments[2], Size)) {
      printJson({{"ok", true}, {"changed", changeManyFiles(Arguments[1], Size)}});
      return 0;
    }
    if (Command == "scanfile" && Arguments.size() == 3 && positiveNumber(Arguments[2], Size)) {
      generateScanFile(Arguments[1], Size);
      return 0;
    }
    if (Command == "shiftscanfile" && Arguments.size() == 3) {
      shiftScanFile(Arguments[1], Arguments[2]);
      return 0;
    }
    if (Command == "scan" && Arguments.size() == 3)
      return runScan(Arguments[1], Arguments[2]);
    if (Command == "verify" && Arguments.size() == 3)
      return runVerify(Arguments[1], Arguments[2]);
    if (Command == "parse" && Arguments.size() == 2)
      return runParse(Arguments[1]);
    if (Command == "install" && Arguments.size() >= 3) {
      TInstallOptions Options;
      Options.descriptionPath = Arguments[1];
      Options.descriptionUrl = QUrl(Arguments[2]);
      for (int Index = 3; Index < Arguments.size(); ++Index) {
        const QString& Option = Arguments[Index];
        const QString Value = Index + 1 < Arguments.size() ? Arguments[Index + 1] : QString();
        if (Option == "--verify") {
          Options.verify = true;
        } else if (Option == "--no-fast-scan") {
          Options.fastScan = false;
        } else if (Option == "--idle") {
          Options.idle = true;
        } else if (Option == "--flush" && (Value == "each-file" || Value == "file-system")) {
          Options.flush = Value == "each-file" ? EDurableFlush::EachFile : EDurableFlush::FileSystem;
          ++Index;
        } else if (Option == "--max-concurrent" && !Value.isEmpty()) {
          Options.maxConcurrentDownloads = Value.toInt();
          ++Index;
        } else if (Option == "--max-cached" && !Value.isEmpty()) {
          Options.maxCachedChunks = Value.toInt();
          ++Index;
        } else if (Option == "--log" && !Value.isEmpty()) {
          const QFileInfo Log(Value);
          setupLogging(Log.absolutePath(), Log.fileName());
          ++Index;
        } else {
          return usage();
        }
      }
      return runInstall(Options);
    }
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "ashgrove-engine-bench %s: %s\n", qPrintable(Command), Error.what());
    return 1;
  }
  return usage();
}
