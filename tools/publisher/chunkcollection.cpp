#include "chunkcollection.h"

#include "descriptionsource.h"
#include "wording.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>

namespace orvale::publisher {

namespace {

// Names the publisher gives the files it may collect: "<sha256>.<extension>",
// chunk files, block index files and packs alike.
bool isCollectableName(const QString& Name)
{
  static const QRegularExpression Pattern("^[0-9a-f]{64}\\.[a-z0-9]{1,16}$");
  return Pattern.match(Name).hasMatch();
}

// The file names of everything a description names for download: chunk
// files, their block index files, and the packs its pieces lie in.
QSet<QString> namedFiles(const shared::TPackageConfigurationReader& Description)
{
  QSet<QString> Names;
  for (const shared::TChunkInPackage& Record : distinctDownloadRecords(Description)) {
    Names.insert(QFileInfo((Record.inPack() ? Record.packUrl : Record.url).path()).fileName());
    if (Record.offersBlocks())
      Names.insert(QFileInfo(Record.blockIndexUrl.path()).fileName());
  }
  return Names;
}

// The kept descriptions, the folder's own one added; empty with Error when
// one cannot be read.
std::optional<QStringList> keptDescriptions(const TCollectOptions& Options, const QString& Root, QString& Error)
{
  QStringList Locations = Options.keep;
  const QString Own = QDir(Root).filePath("package.json");
  const auto IsOwn = [&](const QString& Location) {
    if (isWebUrl(Location))
      return false;
    const QFileInfo Info(QFileInfo(Location).isDir() ? Location + "/package.json" : Location);
    return Info.canonicalFilePath() == QFileInfo(Own).canonicalFilePath();
  };
  if (QFileInfo::exists(Own) && std::none_of(Locations.begin(), Locations.end(), IsOwn))
    Locations << Own;
  if (Locations.isEmpty()) {
    Error = "name at least one description to keep (--keep DESCRIPTION)";
    return std::nullopt;
  }
  return Locations;
}

// Deletes (or, in a dry run, lists) the files below Store with a name the
// publisher gives and no kept description names; its folders are added to
// Folders.
void collectBelow(const QString& Store, const QString& Root, const QSet<QString>& Named, bool DryRun,
                  TCollectReport& Report, QStringList& Folders)
{
  QDirIterator Iterator(Store, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
  while (Iterator.hasNext()) {
    Iterator.next();
    const QFileInfo Info = Iterator.fileInfo();
    const QString Relative = QDir(Root).relativeFilePath(Info.absoluteFilePath());
    if (Info.isSymLink()) {
      Report.skippedLinks << Relative;
      continue;
    }
    if (Info.isDir()) {
      Folders << Info.absoluteFilePath();
      continue;
    }
    if (!Info.isFile() || !isCollectableName(Info.fileName()))
      continue;
    const std::uint64_t Size = std::uint64_t(Info.size());
    if (Named.contains(Info.fileName())) {
      ++Report.keptFiles;
      Report.keptBytes += Size;
      continue;
    }
    QFile File(Info.absoluteFilePath());
    if (!DryRun && !File.remove()) {
      Report.failures << QString("%1: %2").arg(Relative, File.errorString());
      continue;
    }
    Report.deleted.push_back({Relative, Size});
    Report.freedBytes += Size;
  }
}

} // namespace

std::optional<TCollectReport> collectChunkFiles(const TCollectOptions& Options, QString& Error)
{
  const QFileInfo FolderInfo(Options.folder);
  if (!FolderInfo.isDir()) {
    Error = QString("%1: not a folder").arg(Options.folder);
    return std::nullopt;
  }
  const QString Root = FolderInfo.canonicalFilePath();
  const QStringList Stores{QDir(Root).filePath("chunks"), QDir(Root).filePath("packs")};
  for (const QString& Store : Stores) {
    if (QFileInfo(Store).isSymLink()) {
      Error = QString("%1: is a symbolic link; links out of the folder are not followed").arg(Store);
      return std::nullopt;
    }
  }
  const auto Locations = keptDescriptions(Options, Root, Error);
  if (!Locations)
    return std::nullopt;

  TCollectReport Report;
  QSet<QString> Named;
  for (const QString& Location : *Locations) {
    const auto Loaded = loadDescription(Location, Error);
    if (!Loaded)
      return std::nullopt;
    // What an invalid description names is not known: nothing is deleted.
    if (!Loaded->reader.isValid()) {
      Error = QString("%1: not a valid description (%2)").arg(Loaded->location, Loaded->reader.invalidReason());
      return std::nullopt;
    }
    Report.keptDescriptions << Loaded->location;
    Named.unite(namedFiles(Loaded->reader));
  }
  if (Named.isEmpty()) {
    Error = "the kept descriptions name no chunk files: refusing to delete every chunk file";
    return std::nullopt;
  }

  QStringList Folders;
  for (const QString& Store : Stores)
    collectBelow(Store, Root, Named, Options.dryRun, Report, Folders);
  if (!Options.dryRun) {
    // Folders emptied by the collection go too; rmdir leaves any other.
    std::sort(Folders.begin(), Folders.end(), [](const QString& Left, const QString& Right) { return Left > Right; });
    for (const QString& Folder : Folders)
      QDir().rmdir(Folder);
  }
  std::sort(Report.deleted.begin(), Report.deleted.end(),
            [](const TCollectedFile& Left, const TCollectedFile& Right) { return Left.path < Right.path; });
  return Report;
}

QString collectText(const TCollectReport& Report, bool DryRun)
{
  const auto Bytes = [](std::uint64_t Value) { return QLocale::c().toString(qulonglong(Value)); };
  QString Text;
  for (const QString& Description : Report.keptDescriptions)
    Text += QString("keeping what %1 names\n").arg(Description);
  for (const QString& Link : Report.skippedLinks)
    Text += QString("left alone (a symbolic link): %1\n").arg(Link);
  for (const TCollectedFile& File : Report.deleted)
    Text += QString("%1 %2 (%3 bytes)\n").arg(DryRun ? "would delete" : "deleted", File.path, Bytes(File.size));
  for (const QString& Failure : Report.failures)
    Text += QString("cannot delete %1\n").arg(Failure);
  Text += QString("%1 %2 bytes in %3; %4 (%5 bytes) %6\n")
              .arg(DryRun ? "would free" : "freed", Bytes(Report.freedBytes))
              .arg(counted(Report.deleted.size(), "file", "files"))
              .arg(counted(std::uint64_t(Report.keptFiles), "file", "files"))
              .arg(Bytes(Report.keptBytes))
              .arg(Report.keptFiles == 1 ? "stays" : "stay");
  return Text;
}

QJsonObject collectJson(const TCollectReport& Report, bool DryRun)
{
  QJsonArray Deleted;
  for (const TCollectedFile& File : Report.deleted)
    Deleted.append(QJsonObject{{"path", File.path}, {"bytes", double(File.size)}});
  return QJsonObject{{"dry_run", DryRun},
                     {"kept_descriptions", QJsonArray::fromStringList(Report.keptDescriptions)},
                     {"kept_files", Report.keptFiles},
                     {"kept_bytes", double(Report.keptBytes)},
                     {"deleted", Deleted},
                     {"freed_bytes", double(Report.freedBytes)},
                     {"failures", QJsonArray::fromStringList(Report.failures)},
                     {"skipped_links", QJsonArray::fromStringList(Report.skippedLinks)}};
}

} // namespace orvale::publisher
