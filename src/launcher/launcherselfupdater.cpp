#include "launcher/launcherselfupdater.h"

#include "launcher/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <stdexcept>

namespace orvale::launcher {

const char* const OldExecutableSuffix = ".old";

TLauncherSelfUpdater::TLauncherSelfUpdater(std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper)
  : m_pLauncherFilesystemHelper(std::move(FilesystemHelper))
{
}

TLauncherSelfUpdater::~TLauncherSelfUpdater() = default;

void TLauncherSelfUpdater::startSelfUpdate(std::shared_ptr<TPackage> LauncherPackage)
{
  qInfo().noquote() << QString("startSelfUpdate %1%2").arg(LauncherPackage->name(), threadTag());
  m_pLauncherPackage = LauncherPackage;
  m_pInstallationManager = std::make_unique<TInstallationManager>(nullptr, m_pLauncherFilesystemHelper);
  connect(m_pInstallationManager.get(), &TInstallationManager::installationOrUpdateFinished, this,
          &TLauncherSelfUpdater::onInstallationOrUpdateFinished);
  connect(m_pInstallationManager.get(), &TInstallationManager::diskAccessFailed, this,
          &TLauncherSelfUpdater::diskAccessFailed);
  m_pInstallationManager->setSelfUpdateFlag(true);
  try {
    m_pInstallationManager->installOrUpdatePackage(LauncherPackage);
  } catch (const std::runtime_error& Error) {
    emit diskAccessFailed(QString::fromUtf8(Error.what()));
  }
}

void TLauncherSelfUpdater::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
  if (InstallationInProgress.withoutError()) {
    emit updateDownloadFinishedAndRestartRequired();
    return;
  }
  try {
    const auto Package = InstallationInProgress.package();
    const QString Executable = Package->executablePath(*m_pLauncherFilesystemHelper);
    if (!Executable.isEmpty()) {
      const QString Old = Executable + OldExecutableSuffix;
      if (m_pLauncherFilesystemHelper->fileExists(Old)) {
        m_pLauncherFilesystemHelper->removePath(Executable);
        if (!QFile::rename(Old, Executable))
          throw std::runtime_error(QString("Failed to restore %1").arg(Executable).toStdString());
      }
    }
    qCritical().noquote() << QString("Updating Ashgrove Online failed: Error%1").arg(int(InstallationInProgress.errorReason()));
    emit updateFailed();
  } catch (const std::runtime_error& Error) {
    emit diskAccessFailed(QString::fromUtf8(Error.what()));
  }
}

void TLauncherSelfUpdater::cleanupOldLauncherVersion()
{
  qInfo().noquote() << QString("cleanupOldLauncherVersion%1").arg(threadTag());
  const QString Directory = QDir(QCoreApplication::applicationDirPath()).absolutePath();
  for (const shared::TLocalFileInfo& File : m_pLauncherFilesystemHelper->listFilesInDirectory(Directory)) {
    if (File.path.endsWith(OldExecutableSuffix)) {
      try {
        m_pLauncherFilesystemHelper->deleteFile(File.path);
      } catch (const std::runtime_error& Error) {
        qWarning().noquote() << Error.what();
      }
    }
  }
}

} // namespace orvale::launcher
