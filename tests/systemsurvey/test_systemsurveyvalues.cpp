#include "systemsurvey/systemsurveyvalueretriever.h"

#include "testsupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

using namespace systemsurvey;

namespace {

// Reads the processor information from a file of the test's choosing and
// runs release programs given by absolute path.
class TFakeSystemRetriever : public TSystemSurveyValueRetriever
{
public:
  QString m_CpuInfoPath;
  QStringList m_ReleasePrograms;
  int m_ReleaseQueryBudgetMs = DefaultReleaseQueryBudgetMs;

protected:
  QString cpuInfoPath() const override { return m_CpuInfoPath; }
  QStringList releaseProgramNames() const override { return m_ReleasePrograms; }
  int releaseQueryBudgetMs() const override { return m_ReleaseQueryBudgetMs; }
};

// Replaces the counting operations only, to see that retrieveCpu() takes its
// figures from them.
class TFixedCountsRetriever : public TSystemSurveyValueRetriever
{
public:
  void retrieveCpuCounts(quint64& NUMANumber, quint64& PhysicalNumber, quint64& CoreNumber,
                         quint64& LogicalCoreNumber) override
  {
    NUMANumber = 3;
    PhysicalNumber = 5;
    CoreNumber = 7;
    LogicalCoreNumber = 11;
  }
  double retrieveClockSpeed() override { return 1234.5; }
};

// One processor block in the format of /proc/cpuinfo.
QByteArray cpuBlock(int Processor, int PhysicalId, int Cores, const QByteArray& MegaHertz,
                    const QByteArray& ModelName = "Intel(R) Xeon(R) CPU E5-2620 v4 @ 2.10GHz")
{
  QByteArray Block;
  Block += "processor\t: " + QByteArray::number(Processor) + "\n";
  Block += "vendor_id\t: GenuineIntel\n";
  Block += "model name\t: " + ModelName + "\n";
  Block += "cpu MHz\t\t: " + MegaHertz + "\n";
  Block += "physical id\t: " + QByteArray::number(PhysicalId) + "\n";
  Block += "siblings\t: 4\n";
  Block += "core id\t\t: " + QByteArray::number(Processor % 4) + "\n";
  Block += "cpu cores\t: " + QByteArray::number(Cores) + "\n";
  Block += "flags\t\t: fpu vme sse sse2 lm\n";
  Block += "power management:\n\n";
  return Block;
}

QString cpuInfoValue(const QByteArray& Contents, const QByteArray& Key)
{
  for (const QByteArray& Line : Contents.split('\n')) {
    const int Colon = Line.indexOf(':');
    if (Colon > 0 && Line.left(Colon).trimmed() == Key)
      return QString::fromUtf8(Line.mid(Colon + 1)).trimmed();
  }
  return QString();
}

} // namespace

class TestSystemSurveyValues : public QObject
{
  Q_OBJECT

private slots:
  void init();

  void cpuCounts_data();
  void cpuCounts();
  void clockSpeed_data();
  void clockSpeed();
  void retrieveCpuTakesCountsFromOverridableOperations();

  void vendorTable_data();
  void vendorTable();
  void brandNameFromCpuidBytes_data();
  void brandNameFromCpuidBytes();
  void processorIdentificationAgreesWithKernel();

  void releaseQuery();
  void releaseQueryFallsBackOnlyWhenFirstProgramCannotStart();
  void releaseQueryWithoutAnyProgram();
  void releaseQueryGivesUpOnHangingProgram();
  void releaseQueryIgnoresKilledProgram();
  void releaseQueryClosesInputOfProgram();

  void mainMemorySizeMatchesKernel();
  void gpusOnLinux();
  void monitorsOfOffscreenScreen();

private:
  QString writeScript(const QString& Name, const QByteArray& Body, bool Executable = true);

  std::unique_ptr<QTemporaryDir> m_pDirectory;
};

void TestSystemSurveyValues::init()
{
  m_pDirectory = std::make_unique<QTemporaryDir>();
  QVERIFY(m_pDirectory->isValid());
}

QString TestSystemSurveyValues::writeScript(const QString& Name, const QByteArray& Body, bool Executable)
{
  const QString Path = m_pDirectory->filePath(Name);
  testsupport::writeWholeFile(Path, "#!/bin/sh\n" + Body + "\n");
  QFile::Permissions Permissions = QFile::ReadOwner | QFile::WriteOwner;
  if (Executable)
    Permissions |= QFile::ExeOwner;
  QFile::setPermissions(Path, Permissions);
  return Path;
}

void TestSystemSurveyValues::cpuCounts_data()
{
  QTest::addColumn<QByteArray>("Contents");
  QTest::addColumn<bool>("Missing");
  QTest::addColumn<quint64>("PhysicalNumber");
  QTest::addColumn<quint64>("CoreNumber");
  QTest::addColumn<quint64>("LogicalCoreNumber");

  QByteArray TwoPackages;
  for (int Processor = 0; Processor < 8; ++Processor)
    TwoPackages += cpuBlock(Processor, Processor / 4, 4, "2100.000");
  QTest::newRow("8 processors, 2 packages of 4 cores") << TwoPackages << false << quint64(2) << quint64(4)
                                                      << quint64(8);

  QByteArray SamePackage;
  for (int Processor = 0; Processor < 4; ++Processor)
    SamePackage += cpuBlock(Processor, 0, 2, "2100.000");
  QTest::newRow("repeated physical id counts once") << SamePackage << false << quint64(1) << quint64(2)
                                                    << quint64(4);

  QByteArray LastCoresWins = cpuBlock(0, 0, 2, "1.0") + cpuBlock(1, 1, 6, "1.0");
  QTest::newRow("last cpu cores line wins") << LastCoresWins << false << quint64(2) << quint64(6) << quint64(2);

  QByteArray BadCores = cpuBlock(0, 0, 4, "1.0") + "cpu cores\t: many\n";
  QTest::newRow("unreadable cpu cores gives 0") << BadCores << false << quint64(1) << quint64(0) << quint64(1);

  QByteArray KvmModel;
  for (int Processor = 0; Processor < 2; ++Processor)
    KvmModel += cpuBlock(Processor, 0, 2, "2000.0", "Common KVM processor");
  QTest::newRow("model name mentioning processor is no processor")
    << KvmModel << false << quint64(1) << quint64(2) << quint64(2);

  QTest::newRow("without physical id and cpu cores")
    << QByteArray("processor\t: 0\nBogoMIPS\t: 48.00\n\nprocessor\t: 1\nBogoMIPS\t: 48.00\n") << false << quint64(0)
    << quint64(0) << quint64(2);

  QTest::newRow("empty file") << QByteArray() << false << quint64(0) << quint64(0) << quint64(0);
  QTest::newRow("missing file") << QByteArray() << true << quint64(0) << quint64(0) << quint64(0);
}

void TestSystemSurveyValues::cpuCounts()
{
  QFETCH(QByteArray, Contents);
  QFETCH(bool, Missing);
  QFETCH(quint64, PhysicalNumber);
  QFETCH(quint64, CoreNumber);
  QFETCH(quint64, LogicalCoreNumber);

  TFakeSystemRetriever Retriever;
  Retriever.m_CpuInfoPath = m_pDirectory->filePath("cpuinfo");
  if (!Missing)
    testsupport::writeWholeFile(Retriever.m_CpuInfoPath, Contents);

  // Start from garbage: every output must be written.
  quint64 Numa = 99, Physical = 99, Cores = 99, Logical = 99;
  Retriever.retrieveCpuCounts(Numa, Physical, Cores, Logical);
  QCOMPARE(Numa, quint64(0));
  QCOMPARE(Physical, PhysicalNumber);
  QCOMPARE(Cores, CoreNumber);
  QCOMPARE(Logical, LogicalCoreNumber);
}

void TestSystemSurveyValues::clockSpeed_data()
{
  QTest::addColumn<QByteArray>("Contents");
  QTest::addColumn<bool>("Missing");
  QTest::addColumn<double>("ClockSpeed");

  QTest::newRow("highest of three") << cpuBlock(0, 0, 1, "800.0") + cpuBlock(1, 0, 1, "3400.5")
                                         + cpuBlock(2, 0, 1, "1200.0")
                                    << false << 3400.5;
  QTest::newRow("unreadable value ignored") << cpuBlock(0, 0, 1, "fast") + cpuBlock(1, 0, 1, "2096.018") << false
                                            << 2096.018;
  QTest::newRow("no cpu MHz line") << QByteArray("processor\t: 0\n") << false << 0.0;
  QTest::newRow("missing file") << QByteArray() << true << 0.0;
}

void TestSystemSurveyValues::clockSpeed()
{
  QFETCH(QByteArray, Contents);
  QFETCH(bool, Missing);
  QFETCH(double, ClockSpeed);

  TFakeSystemRetriever Retriever;
  Retriever.m_CpuInfoPath = m_pDirectory->filePath("cpuinfo");
  if (!Missing)
    testsupport::writeWholeFile(Retriever.m_CpuInfoPath, Contents);
  QCOMPARE(Retriever.retrieveClockSpeed(), ClockSpeed);
}

void TestSystemSurveyValues::retrieveCpuTakesCountsFromOverridableOperations()
{
  TFixedCountsRetriever Retriever;
  const TCpuInfo Cpu = Retriever.retrieveCpu();
  QCOMPARE(Cpu.NUMANumber, quint64(3));
  QCOMPARE(Cpu.physicalNumber, quint64(5));
  QCOMPARE(Cpu.coreNumber, quint64(7));
  QCOMPARE(Cpu.logicalCoreNumber, quint64(11));
  QCOMPARE(Cpu.clockSpeed, 1234.5);
  QVERIFY(!Cpu.manufacturer.isEmpty());
  QVERIFY(!Cpu.brandName.isEmpty());

  // The default operations read the injected file.
  TFakeSystemRetriever FileRetriever;
  FileRetriever.m_CpuInfoPath = m_pDirectory->filePath("cpuinfo");
  testsupport::writeWholeFile(FileRetriever.m_CpuInfoPath,
                              cpuBlock(0, 0, 3, "999.5") + cpuBlock(1, 1, 3, "1999.5") + cpuBlock(2, 1, 3, "5.0"));
  const TCpuInfo FileCpu = FileRetriever.retrieveCpu();
  QCOMPARE(FileCpu.logicalCoreNumber, quint64(3));
  QCOMPARE(FileCpu.physicalNumber, quint64(2));
  QCOMPARE(FileCpu.coreNumber, quint64(3));
  QCOMPARE(FileCpu.NUMANumber, quint64(0));
  QCOMPARE(FileCpu.clockSpeed, 1999.5);
}

void TestSystemSurveyValues::vendorTable_data()
{
  QTest::addColumn<QByteArray>("Vendor");
  QTest::addColumn<QString>("Manufacturer");

  QTest::newRow("AMDisbetter!") << QByteArray("AMDisbetter!") << "AMD";
  QTest::newRow("AuthenticAMD") << QByteArray("AuthenticAMD") << "AMD";
  QTest::newRow("CentaurHauls") << QByteArray("CentaurHauls") << "Centaur";
  QTest::newRow("CyrixInstead") << QByteArray("CyrixInstead") << "Cyrix";
  QTest::newRow("GenuineIntel") << QByteArray("GenuineIntel") << "Intel";
  QTest::newRow("TransmetaCPU") << QByteArray("TransmetaCPU") << "Transmeta";
  QTest::newRow("GenuineTMx86") << QByteArray("GenuineTMx86") << "Transmeta";
  QTest::newRow("Geode by NSC") << QByteArray("Geode by NSC") << "National Semiconductor";
  QTest::newRow("NexGenDriven") << QByteArray("NexGenDriven") << "NexGen";
  QTest::newRow("RiseRiseRise") << QByteArray("RiseRiseRise") << "Rise";
  QTest::newRow("SiS") << QByteArray("SiS SiS SiS ") << "SiS";
  QTest::newRow("UMC") << QByteArray("UMC UMC UMC ") << "UMC";
  QTest::newRow("VIA") << QByteArray("VIA VIA VIA ") << "VIA";
  QTest::newRow("Vortex86 SoC") << QByteArray("Vortex86 SoC") << " Vortex";
  QTest::newRow("KVMKVMKVMKVM") << QByteArray("KVMKVMKVMKVM") << "KVM";
  QTest::newRow("Microsoft Hv") << QByteArray("Microsoft Hv") << "Microsoft Hyper-V or Windows Virtual PC";
  QTest::newRow("VMwareVMware") << QByteArray("VMwareVMware") << "VMware";
  QTest::newRow("XenVMMXenVMM") << QByteArray("XenVMMXenVMM") << " Xen HVM";

  QTest::newRow("unknown vendor") << QByteArray("HygonGenuine") << "Unknown Manufacturer";
  QTest::newRow("case differs") << QByteArray("genuineintel") << "Unknown Manufacturer";
  QTest::newRow("trailing blank missing") << QByteArray("VIA VIA VIA") << "Unknown Manufacturer";
  QTest::newRow("longer than 12") << QByteArray("GenuineIntel!") << "Unknown Manufacturer";
  QTest::newRow("with NUL bytes") << QByteArray("Genuine\0ntel", 12) << "Unknown Manufacturer";
  QTest::newRow("empty") << QByteArray() << "Unknown Manufacturer";
}

void TestSystemSurveyValues::vendorTable()
{
  QFETCH(QByteArray, Vendor);
  QFETCH(QString, Manufacturer);
  QCOMPARE(manufacturerFromVendorIdentification(Vendor), Manufacturer);
}

void TestSystemSurveyValues::brandNameFromCpuidBytes_data()
{
  QTest::addColumn<QByteArray>("Bytes");
  QTest::addColumn<QString>("BrandName");

  QByteArray Padded("       Intel(R) Core(TM)  i7-8700 CPU @ 3.20GHz");
  QTest::newRow("leading blanks and inner run") << Padded << "Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz";

  QByteArray WithNul("AMD Ryzen 7 5800X 8-Core Processor   ");
  WithNul.append('\0');
  WithNul.append("garbage after the end");
  QTest::newRow("text ends at the first NUL") << WithNul << "AMD Ryzen 7 5800X 8-Core Processor";

  QTest::newRow("all NUL") << QByteArray(48, '\0') << QString();
  QTest::newRow("UTF-8") << QByteArray("Caf\xc3\xa9 \tCPU\0", 10) << QString::fromUtf8("Caf\xc3\xa9 CPU");
}

void TestSystemSurveyValues::brandNameFromCpuidBytes()
{
  QFETCH(QByteArray, Bytes);
  QFETCH(QString, BrandName);
  QCOMPARE(systemsurvey::brandNameFromCpuidBytes(Bytes), BrandName);
}

void TestSystemSurveyValues::processorIdentificationAgreesWithKernel()
{
#if !defined(__x86_64__) && !defined(__i386__)
  QSKIP("no CPU identification instruction on this architecture");
#endif
  QFile CpuInfo("/proc/cpuinfo");
  if (!CpuInfo.open(QIODevice::ReadOnly))
    QSKIP("/proc/cpuinfo is not readable");
  const QByteArray Contents = CpuInfo.readAll();
  const QString Vendor = cpuInfoValue(Contents, "vendor_id");
  if (Vendor.isEmpty())
    QSKIP("/proc/cpuinfo names no vendor");

  TSystemSurveyValueRetriever Retriever;
  const TCpuInfo Cpu = Retriever.retrieveCpu();
  QCOMPARE(Cpu.manufacturer, manufacturerFromVendorIdentification(Vendor.toLatin1()));
  // The kernel may name the model from its own tables, so the brand is only
  // checked for its form.
  QVERIFY(!Cpu.brandName.isEmpty());
  QCOMPARE(Cpu.brandName, Cpu.brandName.simplified());

  const QStringList Flags = cpuInfoValue(Contents, "flags").split(' ', Qt::SkipEmptyParts);
  QCOMPARE(Cpu.sse, Flags.contains("sse"));
  QCOMPARE(Cpu.sse2, Flags.contains("sse2"));
  QCOMPARE(Cpu.is64Bit, Flags.contains("lm"));
  // The counts of this machine come from the same file.
  QCOMPARE(Cpu.logicalCoreNumber, quint64(Contents.count("processor\t:")));
}

void TestSystemSurveyValues::releaseQuery()
{
  // The program must be called as "<program> -s -i" and "<program> -s -r".
  const QString Program = writeScript("lsb_release",
                                      "[ \"$1\" = -s ] || exit 3\n"
                                      "case \"$2\" in\n"
                                      "  -i) printf '  Ashgrove\\t\\tLinux \\000trailing bytes' ;;\n"
                                      "  -r) printf '\\n  12.4 \\n' ;;\n"
                                      "  *) exit 4 ;;\n"
                                      "esac");
  TFakeSystemRetriever Retriever;
  Retriever.m_ReleasePrograms = QStringList{Program, writeScript("lsb-release", "printf Wrong")};
  const TOperatingSystemInfo OperatingSystem = Retriever.retrieveOperatingSystem();
  QCOMPARE(OperatingSystem.baseSystem, QString("Linux"));
  QCOMPARE(OperatingSystem.name, QString("Ashgrove Linux"));
  QCOMPARE(OperatingSystem.release, QString("12.4"));
}

void TestSystemSurveyValues::releaseQueryFallsBackOnlyWhenFirstProgramCannotStart()
{
  const QString Fallback = writeScript("lsb-release", "case \"$2\" in -i) printf Fallback ;; -r) printf 7 ;; esac");

  TFakeSystemRetriever Missing;
  Missing.m_ReleasePrograms = QStringList{m_pDirectory->filePath("absent"), Fallback};
  TOperatingSystemInfo OperatingSystem = Missing.retrieveOperatingSystem();
  QCOMPARE(OperatingSystem.name, QString("Fallback"));
  QCOMPARE(OperatingSystem.release, QString("7"));

  TFakeSystemRetriever NotExecutable;
  NotExecutable.m_ReleasePrograms =
    QStringList{writeScript("lsb_release", "printf First", /*Executable*/ false), Fallback};
  OperatingSystem = NotExecutable.retrieveOperatingSystem();
  QCOMPARE(OperatingSystem.name, QString("Fallback"));

  // A program that starts and fails is the answer; no fallback.
  TFakeSystemRetriever Failing;
  Failing.m_ReleasePrograms = QStringList{writeScript("failing", "exit 1"), Fallback};
  OperatingSystem = Failing.retrieveOperatingSystem();
  QCOMPARE(OperatingSystem.name, QString());
  QCOMPARE(OperatingSystem.release, QString());
  QCOMPARE(OperatingSystem.baseSystem, QString("Linux"));
}

void TestSystemSurveyValues::releaseQueryWithoutAnyProgram()
{
  TFakeSystemRetriever Retriever;
  Retriever.m_ReleasePrograms = QStringList{m_pDirectory->filePath("lsb_release"), m_pDirectory->filePath("lsb-release")};
  const TOperatingSystemInfo OperatingSystem = Retriever.retrieveOperatingSystem();
  QCOMPARE(OperatingSystem.baseSystem, QString("Linux"));
  QCOMPARE(OperatingSystem.name, QString());
  QCOMPARE(OperatingSystem.release, QString());

  // The same through the search path, with the real program names.
  const QByteArray SavedPath = qgetenv("PATH");
  qputenv("PATH", m_pDirectory->path().toLocal8Bit());
  TSystemSurveyValueRetriever Real;
  const TOperatingSystemInfo Empty = Real.retrieveOperatingSystem();
  qputenv("PATH", SavedPath);
  QCOMPARE(Empty.baseSystem, QString("Linux"));
  QCOMPARE(Empty.name, QString());
  QCOMPARE(Empty.release, QString());
}

void TestSystemSurveyValues::releaseQueryGivesUpOnHangingProgram()
{
  const QString Marker = m_pDirectory->filePath("fallback-ran");
  TFakeSystemRetriever Retriever;
  Retriever.m_ReleasePrograms = QStringList{writeScript("lsb_release", "exec sleep 120"),
                                            writeScript("lsb-release", "touch '" + Marker.toLocal8Bit() + "'")};
  Retriever.m_ReleaseQueryBudgetMs = 1500;

  QElapsedTimer Timer;
  Timer.start();
  const TOperatingSystemInfo OperatingSystem = Retriever.retrieveOperatingSystem();
  const qint64 Elapsed = Timer.elapsed();

  QCOMPARE(OperatingSystem.baseSystem, QString("Linux"));
  QCOMPARE(OperatingSystem.name, QString());
  QCOMPARE(OperatingSystem.release, QString());
  // Both queries share one budget; the unbounded waits would take minutes.
  QVERIFY2(Elapsed < 10000, qPrintable(QString("took %1 ms").arg(Elapsed)));
  QVERIFY(Elapsed >= 1400);
  QVERIFY(!QFile::exists(Marker));
}

void TestSystemSurveyValues::releaseQueryIgnoresKilledProgram()
{
  TFakeSystemRetriever Retriever;
  Retriever.m_ReleasePrograms = QStringList{writeScript("lsb_release", "printf Partial\nkill -9 $$")};
  const TOperatingSystemInfo OperatingSystem = Retriever.retrieveOperatingSystem();
  QCOMPARE(OperatingSystem.name, QString());
  QCOMPARE(OperatingSystem.release, QString());
}

void TestSystemSurveyValues::releaseQueryClosesInputOfProgram()
{
  TFakeSystemRetriever Retriever;
  Retriever.m_ReleasePrograms = QStringList{writeScript("lsb_release", "cat > /dev/null\nprintf Debian")};
  Retriever.m_ReleaseQueryBudgetMs = 20000;
  QElapsedTimer Timer;
  Timer.start();
  const TOperatingSystemInfo OperatingSystem = Retriever.retrieveOperatingSystem();
  QCOMPARE(OperatingSystem.name, QString("Debian"));
  QCOMPARE(OperatingSystem.release, QString("Debian"));
  QVERIFY2(Timer.elapsed() < 15000, "the program waited for input until the deadline");
}

void TestSystemSurveyValues::mainMemorySizeMatchesKernel()
{
  QFile MemInfo("/proc/meminfo");
  if (!MemInfo.open(QIODevice::ReadOnly))
    QSKIP("/proc/meminfo is not readable");
  const QString Total = cpuInfoValue(MemInfo.readAll(), "MemTotal");
  QVERIFY(Total.endsWith(" kB"));
  const quint64 Kilobytes = Total.chopped(3).trimmed().toULongLong();
  QVERIFY(Kilobytes > 0);

  TSystemSurveyValueRetriever Retriever;
  const quint64 Size = Retriever.retrieveMainMemorySize();
  // Both count whole pages; the kernel reports kilobytes.
  QCOMPARE(Size / 1024, Kilobytes);
}

void TestSystemSurveyValues::gpusOnLinux()
{
  TSystemSurveyValueRetriever Retriever;
  const std::vector<TGpuInfo> Gpus = Retriever.retrieveGpus();
  QCOMPARE(Gpus.size(), std::size_t(1));
  QCOMPARE(Gpus[0].deviceString, QString("not implemented"));
  QCOMPARE(Gpus[0].videoMemorySize, quint64(0));
  QCOMPARE(Gpus[0].vendorId, quint32(0));
  QCOMPARE(Gpus[0].deviceId, quint32(0));
  QVERIFY(Gpus[0].driverVersion.isEmpty());
}

void TestSystemSurveyValues::monitorsOfOffscreenScreen()
{
  const QList<QScreen*> Screens = QGuiApplication::screens();
  QVERIFY(!Screens.isEmpty());
  TSystemSurveyValueRetriever Retriever;
  const std::vector<TMonitorInfo> Monitors = Retriever.retrieveMonitors();
  QCOMPARE(Monitors.size(), std::size_t(Screens.size()));
  int Primaries = 0;
  for (int Index = 0; Index < Screens.size(); ++Index) {
    const TMonitorInfo& Monitor = Monitors[std::size_t(Index)];
    QCOMPARE(Monitor.width, Screens[Index]->geometry().width());
    QCOMPARE(Monitor.height, Screens[Index]->geometry().height());
    QVERIFY(Monitor.width > 0);
    QCOMPARE(Monitor.refreshRate, quint64(Screens[Index]->refreshRate()));
    QCOMPARE(Monitor.primary, Screens[Index] == QGuiApplication::primaryScreen());
    Primaries += Monitor.primary ? 1 : 0;
  }
  QCOMPARE(Primaries, 1);
}

QTEST_MAIN(TestSystemSurveyValues)
#include "test_systemsurveyvalues.moc"
