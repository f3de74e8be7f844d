#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

// Deletes the chunk files (and block index files and packs) of a published
// folder that no kept description names: what old versions leave behind
// once no launcher needs them.
namespace orvale::publisher {

struct TCollectOptions
{
  QString folder;
  QStringList keep;  // descriptions (paths or URLs) whose files stay
  bool dryRun = false;
};

struct TCollectedFile
{
  QString path;  // relative to the folder
  std::uint64_t size = 0;
};

struct TCollectReport
{
  QStringList keptDescriptions;  // as read, the folder's own description included
  int keptFiles = 0;
  std::uint64_t keptBytes = 0;
  std::vector<TCollectedFile> deleted;  // or to be deleted, in a dry run
  std::uint64_t freedBytes = 0;
  QStringList failures;                 // files that could not be deleted, with the reason
  QStringList skippedLinks;             // symbolic links, neither followed nor deleted
};

// Looks at the files below FOLDER/chunks and FOLDER/packs whose names are
// those the publisher gives chunk files and packs (a SHA-256 in hex and an
// extension) and deletes those whose name no kept description names (a pack
// stays whole while a kept description names any piece in it). The folder's own "package.json" is
// always kept: its chunk files are what players download now. Symbolic links
// are never followed nor deleted. Nothing is deleted unless every kept
// description was read and is valid, and together they name at least one
// file. Empty with Error when nothing was done.
std::optional<TCollectReport> collectChunkFiles(const TCollectOptions& Options, QString& Error);

QString collectText(const TCollectReport& Report, bool DryRun);
// {"dry_run", "kept_descriptions", "kept_files", "kept_bytes",
//  "deleted": [{"path", "bytes"}], "freed_bytes", "failures", "skipped_links"}
QJsonObject collectJson(const TCollectReport& Report, bool DryRun);

} // namespace orvale::publisher
