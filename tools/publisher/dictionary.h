#pragma once

#include "shared/packageconfigurationreader.h"
#include "shared/zstdframes.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The Zstandard dictionary that a publication packs its small pieces with
// ("dictionaries/<sha256 of the file>.dict"): each small piece compressed
// alone has little context, and a dictionary trained on the build's small
// files shrinks text-like ones by about a fifth. A piece packed with it
// decodes only with it; a description lists it and such pieces name it.
namespace orvale::publisher {

// "dictionaries/<hex>.dict", relative to the description.
QString dictionaryUrl(const QByteArray& Hash);

// The dictionary of a publication and its file in the output folder.
struct TPublishedDictionary
{
  std::shared_ptr<const shared::TZstdDictionary> dictionary;
  QByteArray hash;  // SHA-256 of its content
  QString url() const { return dictionaryUrl(hash); }
  std::uint64_t size() const { return std::uint64_t(dictionary->content().size()); }
};

// The first of the Listed dictionaries (as an earlier publication's
// description in Folder lists them) whose file lies in Folder under its
// name, with the listed size and SHA-256, and loads; nothing when none
// does. Reusing it keeps one dictionary across updates, so that the
// pieces packed with it stay where they are.
std::optional<TPublishedDictionary> existingDictionary(
    const QString& Folder, const std::vector<std::shared_ptr<const shared::TDictionaryInDescription>>& Listed);

// A file of the build the dictionary may learn from.
struct TSampleFile
{
  QString path;
  std::uint64_t size = 0;
};

// Every k-th of Candidates (small files, in the build's order), k chosen
// so that they come to about 64 times the dictionary's size, within a few
// MiB: spread over the build, and quick to train on.
std::vector<TSampleFile> dictionarySamples(const std::vector<TSampleFile>& Candidates, std::size_t DictionarySize);

// A dictionary of at most Size bytes trained on the Samples, read whole;
// nothing when there are too few of them (fewer than 32 files, or less
// than 8 times Size) or training fails. Same samples, same dictionary.
std::optional<TPublishedDictionary> trainDictionary(const std::vector<TSampleFile>& Samples, std::size_t Size);

// Writes the dictionary's file into Folder, unless a file of that content
// is there already; like a chunk file, not flushed. False with Error set
// when it cannot be written.
bool writeDictionaryFile(const QString& Folder, const TPublishedDictionary& Dictionary, bool& Written,
                         QString& Error);

} // namespace orvale::publisher
