#include "dictionary.h"

#include "chunkfile.h"
#include "descriptionsource.h"

#include "shared/sha256.h"

#include <QDir>

#include <algorithm>

#include <zdict.h>

namespace orvale::publisher {

namespace {

// Samples of about this many times the dictionary's size train it well;
// with fewer files or bytes than below a dictionary learns too little to
// pay for its download.
constexpr std::uint64_t kSampleBytesPerDictionaryByte = 64;
constexpr std::uint64_t kMinimumSampleBytesPerDictionaryByte = 8;
constexpr std::size_t kMinimumSamples = 32;
// Training takes about 0.2 s per MiB of samples.
constexpr std::uint64_t kMaxSampleBytes = 8 * 1024 * 1024;

std::optional<TPublishedDictionary> loaded(const QByteArray& Content)
{
  auto Dictionary = shared::TZstdDictionary::load(Content);
  if (!Dictionary)
    return std::nullopt;
  return TPublishedDictionary{std::move(Dictionary), shared::TSha256::hash(Content)};
}

} // namespace

QString dictionaryUrl(const QByteArray& Hash)
{
  return QString("dictionaries/%1.dict").arg(QString::fromLatin1(Hash.toHex()));
}

std::optional<TPublishedDictionary> existingDictionary(
    const QString& Folder, const std::vector<std::shared_ptr<const shared::TDictionaryInDescription>>& Listed)
{
  for (const auto& Entry : Listed) {
    // Only under the name this publication would give it: the description
    // written now names it so.
    const QString Path = QDir(Folder).filePath(dictionaryUrl(Entry->hash));
    if (!Entry->url.isLocalFile() || QDir::cleanPath(Entry->url.toLocalFile()) != QDir::cleanPath(Path) ||
        Entry->size > shared::TZstdDictionary::kMaxBytes)
      continue;
    const TFetchedFile File = readLocalFile(Path, qint64(Entry->size));
    if (File.state != TFetchedFile::EState::Read || std::uint64_t(File.data.size()) != Entry->size ||
        shared::TSha256::hash(File.data) != Entry->hash)
      continue;
    if (auto Dictionary = loaded(File.data))
      return Dictionary;
  }
  return std::nullopt;
}

std::vector<TSampleFile> dictionarySamples(const std::vector<TSampleFile>& Candidates, std::size_t DictionarySize)
{
  std::uint64_t Total = 0;
  for (const TSampleFile& Candidate : Candidates)
    Total += Candidate.size;
  const std::uint64_t Wanted = std::min(kMaxSampleBytes, kSampleBytesPerDictionaryByte * DictionarySize);
  if (Wanted == 0)
    return {};
  const std::size_t Step = std::size_t(std::max<std::uint64_t>(1, (Total + Wanted - 1) / Wanted));
  std::vector<TSampleFile> Samples;
  std::uint64_t Taken = 0;
  for (std::size_t Index = 0; Index < Candidates.size(); Index += Step) {
    if (Taken + Candidates[Index].size > kMaxSampleBytes)
      break;
    Samples.push_back(Candidates[Index]);
    Taken += Candidates[Index].size;
  }
  return Samples;
}

std::optional<TPublishedDictionary> trainDictionary(const std::vector<TSampleFile>& Samples, std::size_t Size)
{
  if (Size == 0 || Size > shared::TZstdDictionary::kMaxBytes)
    return std::nullopt;
  QByteArray Buffer;
  std::vector<std::size_t> Sizes;
  for (const TSampleFile& Sample : Samples) {
    if (std::uint64_t(Buffer.size()) + Sample.size > kMaxSampleBytes)
      break;
    // A file that changed since the build was listed is left out here; its
    // own read fails the publication.
    const TFetchedFile File = readLocalFile(Sample.path, qint64(Sample.size));
    if (File.state != TFetchedFile::EState::Read || std::uint64_t(File.data.size()) != Sample.size)
      continue;
    Buffer += File.data;
    Sizes.push_back(std::size_t(Sample.size));
  }
  if (Sizes.size() < kMinimumSamples || std::uint64_t(Buffer.size()) < kMinimumSampleBytesPerDictionaryByte * Size)
    return std::nullopt;
  QByteArray Content(int(Size), Qt::Uninitialized);
  const std::size_t Trained =
      ZDICT_trainFromBuffer(Content.data(), Size, Buffer.constData(), Sizes.data(), unsigned(Sizes.size()));
  if (ZDICT_isError(Trained) || Trained == 0)
    return std::nullopt;
  Content.resize(int(Trained));
  return loaded(Content);
}

bool writeDictionaryFile(const QString& Folder, const TPublishedDictionary& Dictionary, bool& Written,
                         QString& Error)
{
  const QString Path = QDir(Folder).filePath(Dictionary.url());
  const QByteArray& Content = Dictionary.dictionary->content();
  // Named by its content: a file of this name that holds it is kept.
  const TFetchedFile There = readLocalFile(Path, Content.size());
  Written = There.state != TFetchedFile::EState::Read || There.data != Content;
  return !Written || writeChunkFile(Path, Content, Error);
}

} // namespace orvale::publisher
