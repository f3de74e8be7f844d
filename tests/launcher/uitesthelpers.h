#pragma once

// Helpers of the user-interface tests: packages with descriptions, an
// installation job, capturing log lines.

#include "launcher/launcherfilesystemhelper.h"
#include "engine/package.h"
#include "shared/packageconfigurationreader.h"
#include "engine/packageinstallation.h"
#include "logcapture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <memory>

namespace uitest {

using namespace orvale::launcher;

struct TPackageSetup
{
  int index = 0;
  QString name = "Client";
  ELocalPackageStatus status = ELocalPackageStatus::NotInstalled;
  bool withDescription = true;
  QString version = "1.0";
  QString generation = "second";
  QString variant = "regular";
  QString logoLinkTarget;
  bool isDefault = false;
};

inline std::shared_ptr<TPackage> makePackage(const TPackageSetup& Setup)
{
  QJsonObject Build{{"os", "linux"}, {"architecture", "x86_64"}, {"url", "packages/client/package.json"}};
  QJsonObject Entry{{"name", Setup.name}, {"directoryname", Setup.name.toLower()}, {"builds", QJsonArray{Build}}};
  if (!Setup.logoLinkTarget.isEmpty())
    Entry.insert("logolinktarget", Setup.logoLinkTarget);
  auto Package = std::make_shared<TPackage>(Setup.index, Entry, QUrl("http://127.0.0.1:1/"));
  if (Setup.withDescription && Package->currentBuild()) {
    // One empty file: a description lists at least one.
    const QJsonObject File{{"localfile", "readme.txt"},
                           {"unpackedsize", 0},
                           {"unpackedhash", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}};
    const QJsonObject Description{{"version", Setup.version}, {"generation", Setup.generation},
                                  {"variant", Setup.variant}, {"files", QJsonArray{File}}};
    Package->currentBuild()->description = std::make_unique<TPackageConfigurationReader>(
        QJsonDocument(Description).toJson(), QByteArray(), QUrl("http://127.0.0.1:1/packages/client/"), QUrl());
  }
  Package->setLocalStatus(Setup.status);
  Package->setIsDefault(Setup.isDefault);
  return Package;
}

inline std::shared_ptr<TPackageInstallation> makeInstallation(const std::shared_ptr<TPackage>& Package)
{
  initLauncherResources();
  return TPackageInstallation::create(Package, std::make_shared<TLauncherFilesystemHelper>());
}

using testsupport::TLogCapture;

} // namespace uitest
