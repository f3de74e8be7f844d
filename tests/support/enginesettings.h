#pragma once

// The settings and the one-package list that the engine fixture, the
// installation manager's tests and the engine benchmark run with. Header
// only, so that the benchmark uses it without the test support library.

#include "engine/enginesettings.h"
#include "engine/packagelist.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <memory>
#include <stdexcept>

namespace testsupport {

// The launcher's file names with the client settings below SettingsTarget.
inline std::shared_ptr<orvale::launcher::TEngineSettings> engineSettings(const QString& SettingsTarget = "Settings")
{
  auto Settings = std::make_shared<orvale::launcher::TEngineSettings>();
  Settings->packages = "packages";
  Settings->packageFile = "package.json";
  Settings->partialPackageFile = "partial-package.json";
  Settings->assetFile = "assets.json";
  Settings->accountGroupFile = "accountgroup.json";
  Settings->settingsTarget = SettingsTarget;
  Settings->skipVerification = false;
  return Settings;
}

// A list with one package, "Game" in the folder "game", whose published
// description (at DescriptionUrl) is attached.
inline std::shared_ptr<orvale::launcher::TPackageList>
singlePackageConfiguration(const QUrl& DescriptionUrl, const QByteArray& Description)
{
  using namespace orvale::launcher;
  const QJsonObject Build{{"os", "linux"}, {"architecture", "x86_64"}, {"url", DescriptionUrl.toString()}};
  const QJsonObject Package{{"name", "Game"}, {"directoryname", "game"}, {"builds", QJsonArray{Build}}};
  auto Configuration = std::make_shared<TPackageList>(std::vector<std::shared_ptr<TPackage>>{
      std::make_shared<TPackage>(0, Package, urlWithoutFileName(DescriptionUrl))});
  if (Configuration->packages().empty() || !Configuration->packages()[0]->currentBuild())
    throw std::runtime_error("the configuration has no package for this system");
  Configuration->packages()[0]->currentBuild()->description = std::make_unique<TPackageConfigurationReader>(
      Description, QByteArray(), urlWithoutFileName(DescriptionUrl), QUrl());
  return Configuration;
}

} // namespace testsupport
