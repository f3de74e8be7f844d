#pragma once

// Helpers of the user-interface tests: packages with descriptions, an
// installation job, capturing log lines.

#include "launcher/launcherfilesystemhelper.h"
#include "launcher/package.h"
#include "shared/packageconfigurationreader.h"
#include "launcher/packageinstallation.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
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

// Collects the log lines of the test (and still passes them on).
class TLogCapture
{
public:
  TLogCapture() { current() = this; m_Previous = qInstallMessageHandler(&TLogCapture::handler); }
  ~TLogCapture()
  {
    qInstallMessageHandler(m_Previous);
    current() = nullptr;
  }
  QStringList lines() const
  {
    QMutexLocker Lock(&m_Mutex);
    return m_Lines;
  }
  int count(const QString& Part) const
  {
    int Count = 0;
    for (const QString& Line : lines())
      Count += Line.contains(Part) ? 1 : 0;
    return Count;
  }
  void clear()
  {
    QMutexLocker Lock(&m_Mutex);
    m_Lines.clear();
  }

private:
  static TLogCapture*& current()
  {
    static TLogCapture* Current = nullptr;
    return Current;
  }
  static void handler(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
  {
    if (TLogCapture* Capture = current()) {
      {
        QMutexLocker Lock(&Capture->m_Mutex);
        Capture->m_Lines << QString("%1 (%2:%3) %4").arg(int(Type)).arg(Context.file).arg(Context.line).arg(Message);
      }
      if (Capture->m_Previous)
        Capture->m_Previous(Type, Context, Message);
    }
  }

  mutable QMutex m_Mutex;
  QStringList m_Lines;
  QtMessageHandler m_Previous = nullptr;
};

} // namespace uitest
