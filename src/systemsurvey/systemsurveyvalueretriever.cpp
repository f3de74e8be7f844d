#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QSet>
#include <QTextStream>
#include <QThread>
#include <QtDebug>

#include <algorithm>
#include <cstring>
#include <functional>

#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define ASHGROVE_HAVE_CPUID 1
#endif

namespace systemsurvey {

namespace {

const char* const UnknownManufacturer = "Unknown Manufacturer";
const char* const BrandNameNotSupported = "Acquiring Brand Name not supported";

QString threadTag()
{
  return QString(" Thread: 0x%1").arg(quintptr(QThread::currentThreadId()), 0, 16);
}

// Calls Handler(Key, Value) for every "key : value" line of the processor
// information file; the key is trimmed, the value is the trimmed text after
// the first colon. Returns false when the file cannot be read.
bool forEachCpuInfoField(const QString& Path,
                         const std::function<void(const QString& Key, const QString& Value)>& Handler)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly | QIODevice::Text))
    return false;
  QTextStream Stream(&File);
  QString Line;
  while (Stream.readLineInto(&Line)) {
    const int Colon = Line.indexOf(QLatin1Char(':'));
    if (Colon < 0)
      continue;
    Handler(Line.left(Colon).trimmed(), Line.mid(Colon + 1).trimmed());
  }
  return true;
}

int remainingMs(const QDeadlineTimer& Deadline)
{
  const qint64 Remaining = Deadline.remainingTime();
  if (Remaining < 0) // never expires
    return 30000;
  return int(std::min<qint64>(Remaining, 30000));
}

#ifdef ASHGROVE_HAVE_CPUID
void appendRegister(QByteArray& Bytes, unsigned int Register)
{
  char Buffer[4];
  std::memcpy(Buffer, &Register, sizeof Buffer);
  Bytes.append(Buffer, sizeof Buffer);
}
#endif

} // namespace

QString manufacturerFromVendorIdentification(const QByteArray& VendorIdentification)
{
  struct TVendor
  {
    const char* identification;
    const char* manufacturer;
  };
  static const TVendor Vendors[] = {
    {"AMDisbetter!", "AMD"},
    {"AuthenticAMD", "AMD"},
    {"CentaurHauls", "Centaur"},
    {"CyrixInstead", "Cyrix"},
    {"GenuineIntel", "Intel"},
    {"TransmetaCPU", "Transmeta"},
    {"GenuineTMx86", "Transmeta"},
    {"Geode by NSC", "National Semiconductor"},
    {"NexGenDriven", "NexGen"},
    {"RiseRiseRise", "Rise"},
    {"SiS SiS SiS ", "SiS"},
    {"UMC UMC UMC ", "UMC"},
    {"VIA VIA VIA ", "VIA"},
    {"Vortex86 SoC", " Vortex"},
    {"KVMKVMKVMKVM", "KVM"},
    {"Microsoft Hv", "Microsoft Hyper-V or Windows Virtual PC"},
    {"VMwareVMware", "VMware"},
    {"XenVMMXenVMM", " Xen HVM"},
  };
  for (const TVendor& Vendor : Vendors) {
    if (VendorIdentification == QByteArray(Vendor.identification))
      return QString::fromLatin1(Vendor.manufacturer);
  }
  return QString::fromLatin1(UnknownManufacturer);
}

QString brandNameFromCpuidBytes(const QByteArray& BrandBytes)
{
  const int End = BrandBytes.indexOf('\0');
  const QByteArray Text = End < 0 ? BrandBytes : BrandBytes.left(End);
  return QString::fromUtf8(Text).simplified();
}

QString releaseTextFromOutput(const QByteArray& Output)
{
  const int End = Output.indexOf('\0');
  const QByteArray Text = End < 0 ? Output : Output.left(End);
  return QString::fromLatin1(Text).simplified();
}

TSystemSurveyValueRetriever::~TSystemSurveyValueRetriever() = default;

std::vector<TMonitorInfo> TSystemSurveyValueRetriever::retrieveMonitors()
{
  std::vector<TMonitorInfo> Monitors;
  if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
    return Monitors;
  const QList<QScreen*> Screens = QGuiApplication::screens();
  const QScreen* pPrimaryScreen = QGuiApplication::primaryScreen();
  Monitors.resize(std::size_t(Screens.size()));
  for (int Index = 0; Index < Screens.size(); ++Index) {
    const QScreen* pScreen = Screens.at(Index);
    TMonitorInfo& Monitor = Monitors[std::size_t(Index)];
    const qreal RefreshRate = pScreen->refreshRate();
    Monitor.refreshRate = RefreshRate >= 1.0 ? quint64(RefreshRate) : 0;
    const QRect Geometry = pScreen->geometry();
    Monitor.width = Geometry.right() - Geometry.left() + 1;
    Monitor.height = Geometry.bottom() - Geometry.top() + 1;
    Monitor.primary = pScreen == pPrimaryScreen;
  }
  return Monitors;
}

TCpuInfo TSystemSurveyValueRetriever::retrieveCpu()
{
  TCpuInfo Cpu;
#ifdef ASHGROVE_HAVE_CPUID
  unsigned int Eax = 0, Ebx = 0, Ecx = 0, Edx = 0;
  __cpuid(0, Eax, Ebx, Ecx, Edx);
  const unsigned int MaximumFunction = Eax;
  QByteArray Vendor;
  appendRegister(Vendor, Ebx);
  appendRegister(Vendor, Edx);
  appendRegister(Vendor, Ecx);
  Cpu.manufacturer = manufacturerFromVendorIdentification(Vendor);

  __cpuid(0x80000000u, Eax, Ebx, Ecx, Edx);
  const unsigned int MaximumExtendedFunction = Eax;
  if (MaximumExtendedFunction <= 0x80000003u) {
    Cpu.brandName = QString::fromLatin1(BrandNameNotSupported);
  } else {
    QByteArray Brand;
    for (unsigned int Function = 0x80000002u; Function <= 0x80000004u; ++Function) {
      __cpuid(Function, Eax, Ebx, Ecx, Edx);
      appendRegister(Brand, Eax);
      appendRegister(Brand, Ebx);
      appendRegister(Brand, Ecx);
      appendRegister(Brand, Edx);
    }
    Cpu.brandName = brandNameFromCpuidBytes(Brand);
  }
  if (MaximumExtendedFunction > 0x80000000u) {
    __cpuid(0x80000001u, Eax, Ebx, Ecx, Edx);
    Cpu.is64Bit = (Edx >> 29) & 1u;
  }
  if (MaximumFunction >= 1) {
    __cpuid(1, Eax, Ebx, Ecx, Edx);
    Cpu.sse = (Edx >> 25) & 1u;
    Cpu.sse2 = (Edx >> 26) & 1u;
  }
#else
  Cpu.manufacturer = QString::fromLatin1(UnknownManufacturer);
  Cpu.brandName = QString::fromLatin1(BrandNameNotSupported);
#endif
  retrieveCpuCounts(Cpu.NUMANumber, Cpu.physicalNumber, Cpu.coreNumber, Cpu.logicalCoreNumber);
  Cpu.clockSpeed = retrieveClockSpeed();
  return Cpu;
}

TOperatingSystemInfo TSystemSurveyValueRetriever::retrieveOperatingSystem()
{
  // One deadline for both queries: a release program that hangs must not
  // block the GUI thread for longer than a few seconds in total.
  const QDeadlineTimer Deadline(releaseQueryBudgetMs());
  TOperatingSystemInfo OperatingSystem;
  OperatingSystem.baseSystem = QStringLiteral("Linux");
  OperatingSystem.name = queryRelease(QStringLiteral("-i"), Deadline);
  OperatingSystem.release = queryRelease(QStringLiteral("-r"), Deadline);
  return OperatingSystem;
}

quint64 TSystemSurveyValueRetriever::retrieveMainMemorySize()
{
  const long Pages = sysconf(_SC_PHYS_PAGES);
  const long PageSize = sysconf(_SC_PAGESIZE);
  if (Pages == -1 || PageSize == -1)
    return 0;
  return quint64(Pages) * quint64(PageSize);
}

void TSystemSurveyValueRetriever::retrieveCpuCounts(quint64& NUMANumber, quint64& PhysicalNumber,
                                                    quint64& CoreNumber, quint64& LogicalCoreNumber)
{
  NUMANumber = 0;
  PhysicalNumber = 0;
  CoreNumber = 0;
  LogicalCoreNumber = 0;
  // Fields are recognised by their key only: values such as the model name
  // "Common KVM processor" must not count as processors.
  QSet<QString> PhysicalIds;
  forEachCpuInfoField(cpuInfoPath(), [&](const QString& Key, const QString& Value) {
    if (Key == QLatin1String("processor")) {
      ++LogicalCoreNumber;
    } else if (Key == QLatin1String("physical id")) {
      PhysicalIds.insert(Value);
    } else if (Key == QLatin1String("cpu cores")) {
      bool Ok = false;
      const quint64 Cores = Value.toULongLong(&Ok);
      CoreNumber = Ok ? Cores : 0;
    }
  });
  PhysicalNumber = quint64(PhysicalIds.size());
}

double TSystemSurveyValueRetriever::retrieveClockSpeed()
{
  double ClockSpeed = 0.0;
  forEachCpuInfoField(cpuInfoPath(), [&](const QString& Key, const QString& Value) {
    if (Key != QLatin1String("cpu MHz"))
      return;
    bool Ok = false;
    const double Speed = Value.toDouble(&Ok);
    if (Ok && Speed > ClockSpeed)
      ClockSpeed = Speed;
  });
  return ClockSpeed;
}

std::vector<TGpuInfo> TSystemSurveyValueRetriever::retrieveGpus()
{
  TGpuInfo Gpu;
  Gpu.deviceString = QStringLiteral("not implemented");
  return {Gpu};
}

QString TSystemSurveyValueRetriever::cpuInfoPath() const
{
  return QStringLiteral("/proc/cpuinfo");
}

QStringList TSystemSurveyValueRetriever::releaseProgramNames() const
{
  return {QStringLiteral("lsb_release"), QStringLiteral("lsb-release")};
}

int TSystemSurveyValueRetriever::releaseQueryBudgetMs() const
{
  return DefaultReleaseQueryBudgetMs;
}

QString TSystemSurveyValueRetriever::queryRelease(const QString& Argument, const QDeadlineTimer& Deadline) const
{
  const QStringList Arguments{QStringLiteral("-s"), Argument};
  QProcess Process;
  bool Started = false;
  for (const QString& Program : releaseProgramNames()) {
    if (Deadline.hasExpired())
      break;
    Process.start(Program, Arguments, QIODevice::ReadWrite);
    if (Process.waitForStarted(remainingMs(Deadline))) {
      Started = true;
      break;
    }
    // Only a program that cannot be started at all is replaced by the next one.
    if (Process.error() != QProcess::FailedToStart) {
      Process.kill();
      Process.waitForFinished(1000);
      break;
    }
  }
  if (!Started)
    return QString();
  // Nothing is sent to the program; an open input must not keep it waiting.
  Process.closeWriteChannel();
  if (!Process.waitForFinished(remainingMs(Deadline))) {
    qWarning().noquote() << "retrieveOperatingSystem: " + Process.program() + " -s " + Argument
                                + " did not finish in time, killed" + threadTag();
    Process.kill();
    Process.waitForFinished(1000);
    return QString();
  }
  if (Process.exitStatus() != QProcess::NormalExit)
    return QString();
  return releaseTextFromOutput(Process.readAllStandardOutput());
}

} // namespace systemsurvey
