#include "shared/reservednames.h"

#include "shared/filesystemhelper.h"

#include <QDir>

namespace shared {

bool isReservedRootName(const QString& Name, const TLauncherOwnFileNames& Names)
{
  if (Name.isEmpty())
    return false;
  if (Name.startsWith(QLatin1String(".ashgrove-")))
    return true;
  for (const QString& Own : {Names.packageFile, Names.partialPackageFile, Names.assetFile, Names.accountGroupFile,
                             QStringLiteral("default"), QStringLiteral("FORCE_PATCH"), InstallingFilesName}) {
    if (!Own.isEmpty() && Name == Own)
      return true;
  }
  return false;
}

bool isReservedInstallationPath(const QString& LocalFile, const TLauncherOwnFileNames& Names)
{
  // The path as an installation resolves it: a name that climbs out of the
  // folder is reduced to its last component, at the root.
  const QDir Root("/installation");
  const QString RootPath = Root.absolutePath();
  const QString Path = TFileSystemHelper().joinPathInside(Root, LocalFile);
  // A file below a reserved name makes a folder of that name.
  return isReservedRootName(Path.mid(RootPath.size() + 1).section('/', 0, 0), Names);
}

QString firstReservedRootFile(const TFileInPackageVector& Files, const TLauncherOwnFileNames& Names)
{
  for (const TFileInPackage& File : Files) {
    if (isReservedInstallationPath(File.localFile, Names))
      return File.localFile;
  }
  return QString();
}

} // namespace shared
