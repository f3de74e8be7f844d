#pragma once

#include "shared/packageconfigurationreader.h"

#include <QString>

namespace shared {

// The file of an installation that lists the files of an installation or
// update that has started and not finished.
inline const QString InstallingFilesName = QStringLiteral("installing-package.json");

// The names of the files the launcher keeps at the root of an installation
// beside the game's files (its "FILES" settings); the defaults are the
// names it ships with.
struct TLauncherOwnFileNames
{
  QString packageFile = QStringLiteral("package.json");
  QString partialPackageFile = QStringLiteral("partial-package.json");
  QString assetFile = QStringLiteral("assets.json");
  QString accountGroupFile = QStringLiteral("accountgroup.json");
};

// Whether a game file at the root of an installation must not have this
// name, because the launcher keeps a file of its own there: the four names
// above, "default", "FORCE_PATCH", "installing-package.json" and every name
// that begins with ".ashgrove-". Exact and case-sensitive.
bool isReservedRootName(const QString& Name, const TLauncherOwnFileNames& Names);

// Whether a local file of a description lies at the installation's root
// under a reserved name, or below a folder of such a name (after the
// folder's path rules: "./package.json" and "a/../package.json" lie at the
// root).
bool isReservedInstallationPath(const QString& LocalFile, const TLauncherOwnFileNames& Names);

// The first of Files whose local file is such a path; empty when none is.
QString firstReservedRootFile(const TFileInPackageVector& Files, const TLauncherOwnFileNames& Names);

} // namespace shared
