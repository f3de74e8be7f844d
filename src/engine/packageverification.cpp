// Verification of an installed package: every file hashed with SHA-256 and
// compared with its description, six files at a time.

#include "engine/logging.h"
#include "engine/packageinstallation.h"
#include "engine/sharedwork.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <deque>

namespace orvale::launcher {

namespace {

constexpr int kVerifyTasks = 6;
constexpr qint64 kVerifyBlock = 10485760;

struct TVerificationContext
{
  TPackageInstallation* installation = nullptr;
  std::uint64_t verifiedBytes = 0;
  std::uint64_t totalBytes = 0;
  QMutex mutex;
  std::deque<const TFileInPackage*> filesToVerify;
  bool result = true;
  std::shared_ptr<TEngineFilesystemHelper> helper;
  QDir directory;
};

void runVerifyTask(TVerificationContext& Context)
{
  QByteArray Buffer;
  for (;;) {
    const TFileInPackage* File = nullptr;
    {
      QMutexLocker Lock(&Context.mutex);
      if (Context.filesToVerify.empty() || !Context.result)
        return;
      File = Context.filesToVerify.front();
      Context.filesToVerify.pop_front();
    }
    bool FileOpen = false;
    try {
      const QString Path = installationFilePath(*Context.helper, Context.directory, File->localFile);
      QFile Input(Path);
      // A file of another size fails without being read.
      const QFileInfo Info(Path);
      if (Path.isEmpty() || !Info.isFile() || std::uint64_t(Info.size()) != File->unpackedSize ||
          !Input.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << QString("verification of file %1 failed").arg(File->localFile);
        QMutexLocker Lock(&Context.mutex);
        Context.result = false;
        return;
      }
      FileOpen = true;
      if (Buffer.isEmpty())
        Buffer.resize(int(kVerifyBlock));
      shared::TSha256 Sha;
      const auto Read = Sha.addFromDevice(Input, Buffer, UINT64_MAX, [&](std::uint64_t Bytes) {
        QMutexLocker Lock(&Context.mutex);
        Context.verifiedBytes += Bytes;
        emit Context.installation->verificationProgress(Context.verifiedBytes, Context.totalBytes);
      });
      if (!Read) {
        qWarning().noquote() << QString("verification of file %1 failed").arg(File->localFile);
        QMutexLocker Lock(&Context.mutex);
        Context.result = false;
        return;
      }
      const QByteArray Digest = Sha.result();
      if (Digest != File->unpackedHash) {
        qWarning().noquote() << QString("verification of file %1 failed").arg(File->localFile);
        QMutexLocker Lock(&Context.mutex);
        Context.result = false;
        return;
      }
      qInfo().noquote() << QString("verification of file %1 successfully%2").arg(File->localFile, threadTag());
    } catch (const std::exception& Error) {
      if (FileOpen) {
        qWarning().noquote() << QString("verification of files crashed in file: %1 exception: %2")
                                    .arg(File->localFile, QString::fromUtf8(Error.what()));
      } else {
        qWarning().noquote() << QString("verification of files crashed. exception: %1").arg(QString::fromUtf8(Error.what()));
      }
      QMutexLocker Lock(&Context.mutex);
      Context.result = false;
      return;
    } catch (...) {
      qWarning().noquote() << "verification of files crashed ";
      QMutexLocker Lock(&Context.mutex);
      Context.result = false;
      return;
    }
  }
}

} // namespace

bool TPackageInstallation::VerifyPackage(const QDir& InstallationDirectory,
                                         const std::shared_ptr<TEngineFilesystemHelper>& Helper,
                                         TFileInPackageVector Files)
{
  qInfo().noquote() << QString("VerifyPackage: %1%2").arg(InstallationDirectory.absolutePath(), threadTag());
  TVerificationContext Context;
  Context.installation = this;
  Context.helper = Helper;
  Context.directory = InstallationDirectory;
  for (const TFileInPackage& File : Files) {
    Context.filesToVerify.push_back(&File);
    Context.totalBytes += File.unpackedSize;
  }
  runTasksHereAndInPool(kVerifyTasks, [&Context] { runVerifyTask(Context); });
  return Context.result;
}

} // namespace orvale::launcher
