// TLauncherSettings::loadFromFile on the input written to a temporary file.
// Every input gets a file name of its own: the INI reader caches files by
// name and would otherwise hand back an earlier input of the same size and
// time stamp. The launcher reads its settings inside its GUI application, so
// the fuzzer runs inside one as well (offscreen): the INI reader decodes
// "@Variant(...)" values of GUI types such as pixmaps, which need it.
#include "fuzzmain.h"
#include "launcherfuzzchecks.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <memory>

namespace {

std::unique_ptr<QTemporaryDir> g_pDirectory;
// Never destroyed: at exit Qt's own globals are already gone.
QGuiApplication* g_pApplication = nullptr;
std::uint64_t g_Counter = 0;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* pArgc, char*** pArgv)
{
  fuzzmain::silenceQt();
  qputenv("QT_QPA_PLATFORM", "offscreen");
  g_pApplication = new QGuiApplication(*pArgc, *pArgv);
  g_pDirectory = std::make_unique<QTemporaryDir>();
  if (!g_pDirectory->isValid()) {
    std::fprintf(stderr, "cannot create a temporary directory\n");
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  const QString Path = g_pDirectory->filePath(QString("launchersettings-%1.ini").arg(++g_Counter));
  {
    QFile File(Path);
    if (!File.open(QIODevice::WriteOnly) || File.write(reinterpret_cast<const char*>(Data), qint64(Size)) != qint64(Size)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(Path));
      std::abort();
    }
  }
  const fuzzchecks::TOutcome Outcome = fuzzchecks::checkSettingsFile(Path);
  QFile::remove(Path);
  fuzzmain::require(Outcome);
  return 0;
}
