#include "verify.h"

#include "chunkfile.h"
#include "descriptionsource.h"
#include "shared/payload.h"
#include "shared/sha256.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMutex>
#include <QSemaphore>
#include <QThreadPool>

#include <algorithm>

namespace orvale::publisher {

namespace {

using launcher::TChunkInPackage;
using launcher::TFileInPackage;
using launcher::TPackageConfigurationReader;

constexpr int kMebibyte = 1024 * 1024;
// Chunk files held in memory at once, packed and decoded, in MiB.
constexpr int kMemoryBudgetMiB = 512;
constexpr int kParallelFetches = 8;

// What in the description itself keeps the launcher from installing a file.
std::vector<TVerifyProblem> descriptionProblems(const TLoadedDescription& Loaded)
{
  std::vector<TVerifyProblem> Problems;
  const TPackageConfigurationReader& Description = Loaded.reader;
  const auto Add = [&](const TFileInPackage& File, const QString& Text) {
    Problems.push_back({Loaded.location, QString("the file %1 %2").arg(File.localFile, Text)});
  };
  for (const TFileInPackage& File : Description.files()) {
    if (!File.ownDownload.url.isEmpty())
      continue;
    std::uint64_t Sum = 0;
    bool Usable = true;
    for (std::int32_t Index : File.chunkIndices) {
      if (Index < 0 || std::size_t(Index) >= Description.chunks().size()) {
        Add(File, QString("names chunk %1, which the chunk list (%2 chunks) does not have")
                      .arg(Index)
                      .arg(Description.chunks().size()));
        Usable = false;
        break;
      }
      const TChunkInPackage& Chunk = Description.chunks()[std::size_t(Index)];
      if (Chunk.url.isEmpty()) {
        Add(File, QString("uses chunk %1, which has no URL").arg(Index));
        Usable = false;
      }
      Sum += Chunk.unpackedSize;
    }
    if (Usable && Sum != File.unpackedSize)
      Add(File, QString("has %1 bytes, but its chunks add up to %2").arg(File.unpackedSize).arg(Sum));
  }
  return Problems;
}

// Reads the chunk files of one description: from its folder, or from the
// web server it was fetched from.
class TChunkSource
{
public:
  explicit TChunkSource(const TLoadedDescription& Loaded)
    : m_Folder(Loaded.folder.isEmpty() ? QString() : QFileInfo(Loaded.folder).canonicalFilePath())
  {
  }

  bool web() const { return m_Folder.isEmpty(); }

  QString name(const QUrl& Url) const
  {
    if (web() || !Url.isLocalFile())
      return Url.toString();
    return QDir(m_Folder).relativeFilePath(QDir::cleanPath(Url.toLocalFile()));
  }

  // Why the file cannot be read here, when it cannot.
  std::optional<QString> refusal(const QUrl& Url) const
  {
    if (web()) {
      if (Url.scheme() != "http" && Url.scheme() != "https")
        return QString("is not an http or https URL");
      return std::nullopt;
    }
    if (!Url.isLocalFile())
      return QString("is not a file of the published folder");
    const QString Path = QDir::cleanPath(Url.toLocalFile());
    const QFileInfo Info(Path);
    const QString Resolved = Info.exists() ? Info.canonicalFilePath() : Path;
    if (!Resolved.startsWith(m_Folder + "/"))
      return QString("lies outside the published folder");
    return std::nullopt;
  }

  TFetchedFile read(const QUrl& Url, qint64 MaxBytes) const
  {
    return web() ? fetchUrl(Url, MaxBytes) : readLocalFile(QDir::cleanPath(Url.toLocalFile()), MaxBytes);
  }

private:
  QString m_Folder;  // canonical; empty for a description fetched over HTTP
};

std::optional<QString> chunkFileProblem(const TChunkSource& Source, const TChunkInPackage& Record)
{
  if (auto Refusal = Source.refusal(Record.url))
    return Refusal;
  if (Record.packedSize > std::uint64_t(kMaxChunkFileBytes) || Record.unpackedSize > shared::kMaxUnpackedPayloadSize)
    return QString("is declared larger than any chunk file may be");
  const TFetchedFile File = Source.read(Record.url, qint64(Record.packedSize));
  switch (File.state) {
  case TFetchedFile::EState::Missing:
    return QString("is missing");
  case TFetchedFile::EState::TooLarge:
    return QString("is larger than its packed size of %1 bytes").arg(Record.packedSize);
  case TFetchedFile::EState::Failed:
    return QString("cannot be read: %1").arg(File.error);
  case TFetchedFile::EState::Read:
    break;
  }
  if (std::uint64_t(File.data.size()) < Record.packedSize)
    return QString("is truncated: %1 of %2 bytes").arg(File.data.size()).arg(Record.packedSize);
  if (shared::TSha256::hash(File.data) != Record.packedHash)
    return QString("differs from its packed hash (damaged or replaced)");
  return chunkContentProblem(File.data, Record.unpack, Record.unpackedSize, Record.unpackedHash);
}

// Checks every record on a pool of threads; the chunk files held at once
// stay within the memory budget. Problems by record index.
std::vector<std::optional<QString>> checkChunkFiles(const TChunkSource& Source,
                                                    const std::vector<TChunkInPackage>& Records,
                                                    const std::function<void(const TVerifyProgress&)>& Progress)
{
  std::vector<std::optional<QString>> Problems(Records.size());
  TVerifyProgress State;
  State.chunkFiles = int(Records.size());
  for (const TChunkInPackage& Record : Records)
    State.bytes += Record.packedSize;
  QMutex ProgressMutex;
  QSemaphore Budget(kMemoryBudgetMiB);
  QThreadPool Pool;
  Pool.setMaxThreadCount(Source.web() ? kParallelFetches : std::max(2, QThread::idealThreadCount()));
  for (std::size_t Index = 0; Index < Records.size(); ++Index) {
    Pool.start([&, Index] {
      const TChunkInPackage& Record = Records[Index];
      const std::uint64_t Held = std::min<std::uint64_t>(Record.packedSize, kMaxChunkFileBytes) +
                                 std::min<std::uint64_t>(Record.unpackedSize, shared::kMaxUnpackedPayloadSize);
      const int Units = int(std::min<std::uint64_t>(kMemoryBudgetMiB, Held / kMebibyte + 1));
      Budget.acquire(Units);
      Problems[Index] = chunkFileProblem(Source, Record);
      Budget.release(Units);
      QMutexLocker Lock(&ProgressMutex);
      ++State.chunkFilesDone;
      State.bytesDone += Record.packedSize;
      if (Progress)
        Progress(State);
    });
  }
  Pool.waitForDone();
  return Problems;
}

} // namespace

std::optional<TVerifyReport> verifyPublication(const QString& Location, QString& Error,
                                               const std::function<void(const TVerifyProgress&)>& Progress)
{
  const auto Loaded = loadDescription(Location, Error);
  if (!Loaded)
    return std::nullopt;
  TVerifyReport Report;
  Report.description = Loaded->location;
  Report.problems = descriptionProblems(*Loaded);
  const std::vector<TChunkInPackage> Records = distinctDownloadRecords(Loaded->reader);
  const TChunkSource Source(*Loaded);
  const auto Problems = checkChunkFiles(Source, Records, Progress);
  for (std::size_t Index = 0; Index < Records.size(); ++Index) {
    Report.packedBytes += Records[Index].packedSize;
    if (Problems[Index])
      Report.problems.push_back({Source.name(Records[Index].url), *Problems[Index]});
  }
  Report.chunkFiles = int(Records.size());
  std::stable_sort(Report.problems.begin(), Report.problems.end(),
                   [](const TVerifyProblem& Left, const TVerifyProblem& Right) { return Left.location < Right.location; });
  return Report;
}

QString verifyText(const TVerifyReport& Report)
{
  const QString Summary = QString("%1 chunk files (%2 bytes) named by %3")
                              .arg(Report.chunkFiles)
                              .arg(QLocale::c().toString(qulonglong(Report.packedBytes)), Report.description);
  if (Report.problems.empty())
    return QString("verified %1: all good\n").arg(Summary);
  QString Text = QString("%1 problems in %2:\n").arg(Report.problems.size()).arg(Summary);
  for (const TVerifyProblem& Problem : Report.problems)
    Text += QString("  %1: %2\n").arg(Problem.location, Problem.problem);
  return Text;
}

} // namespace orvale::publisher
