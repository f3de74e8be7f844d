#pragma once

#include "launcher/packageconfigurationreader.h"

#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

// What an update costs players: the downloads the launcher makes to bring
// an installation from one published description to another.
namespace orvale::publisher {

struct TTransfer
{
  std::uint64_t bytes = 0;
  int requests = 0;
};

struct TFileTransfer
{
  QString localFile;
  TTransfer transfer;
};

struct TCostReport
{
  QString oldVersion;
  QString newVersion;
  std::uint64_t newUnpackedBytes = 0;
  TTransfer update;        // from a complete installation of the old description
  TTransfer freshInstall;  // into an empty folder
  // The files whose downloads make up the update, largest first; a chunk
  // file that several files need counts for the first (in path order).
  std::vector<TFileTransfer> updateByFile;
};

// Counts as the launcher does with its default settings (fast scan of a
// complete installation): per file, the pieces the installed file holds by
// the old description are reused wherever they moved within the file; a
// file whose content has nothing to reuse is fetched whole; a small file is
// kept when its size and hash are unchanged. The missing pieces are fetched
// once per distinct chunk URL, each in one request of its packed size.
// Empty with Error when the new description is one the launcher refuses.
std::optional<TCostReport> computeCost(const launcher::TPackageConfigurationReader& Old,
                                       const launcher::TPackageConfigurationReader& New, QString& Error);

// For people (sizes in bytes and MB, the Largest contributors with their
// share) and for build pipelines.
QString costText(const TCostReport& Report, int Largest);
QJsonObject costJson(const TCostReport& Report, int Largest);

} // namespace orvale::publisher
