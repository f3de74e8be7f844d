#include "systemsurvey/clientidentifier.h"
#include "systemsurvey/systemsurveydocument.h"
#include "systemsurvey/systemsurveyvalueretriever.h"

#include "testsupport.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <cstdio>

using namespace systemsurvey;

namespace {

const char* const PrintClientIdentifierVariable = "ASHGROVE_PRINT_CLIENT_IDENTIFIER";

// Returns fixed values and records the order of the calls.
class TFakeRetriever : public TSystemSurveyValueRetriever
{
public:
  std::vector<TMonitorInfo> m_Monitors;
  TOperatingSystemInfo m_OperatingSystem;
  quint64 m_MainMemorySize = 0;
  TCpuInfo m_Cpu;
  std::vector<TGpuInfo> m_Gpus;
  QStringList m_Calls;

  std::vector<TMonitorInfo> retrieveMonitors() override
  {
    m_Calls << "monitors";
    return m_Monitors;
  }
  TCpuInfo retrieveCpu() override
  {
    m_Calls << "cpu";
    return m_Cpu;
  }
  TOperatingSystemInfo retrieveOperatingSystem() override
  {
    m_Calls << "operatingSystem";
    return m_OperatingSystem;
  }
  quint64 retrieveMainMemorySize() override
  {
    m_Calls << "mainMemorySize";
    return m_MainMemorySize;
  }
  std::vector<TGpuInfo> retrieveGpus() override
  {
    m_Calls << "gpus";
    return m_Gpus;
  }
};

TMonitorInfo monitor(int Width, int Height, bool Primary, quint64 RefreshRate)
{
  TMonitorInfo Monitor;
  Monitor.width = Width;
  Monitor.height = Height;
  Monitor.primary = Primary;
  Monitor.refreshRate = RefreshRate;
  return Monitor;
}

std::shared_ptr<TFakeRetriever> workstation()
{
  auto pRetriever = std::make_shared<TFakeRetriever>();
  pRetriever->m_Monitors = {monitor(2560, 1440, false, 144), monitor(1280, 0, false, 60),
                            monitor(1920, 1080, true, 60), monitor(0, 720, false, 50)};
  pRetriever->m_OperatingSystem = {"Linux", "Debian", "12"};
  pRetriever->m_MainMemorySize = 34359738368ull; // 32 GiB, beyond 32 bits
  TCpuInfo& Cpu = pRetriever->m_Cpu;
  Cpu.manufacturer = "Intel";
  Cpu.brandName = "Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz";
  Cpu.is64Bit = true;
  Cpu.sse = true;
  Cpu.sse2 = false;
  Cpu.physicalNumber = 2;
  Cpu.coreNumber = 6;
  Cpu.logicalCoreNumber = 24;
  Cpu.clockSpeed = 3400.5;
  TGpuInfo Full{"GeForce GTX 1080", 8589934592ull, 0x10de, 0x1b80, "535.54.03"};
  TGpuInfo DeviceOnly{"Some adapter", 0, 0, 0x1234, ""};
  TGpuInfo VendorOnly{"Other adapter", 256, 0x1002, 0, ""};
  TGpuInfo Linux{"not implemented", 0, 0, 0, ""};
  pRetriever->m_Gpus = {Full, DeviceOnly, VendorOnly, Linux};
  return pRetriever;
}

QJsonObject documentOf(const std::shared_ptr<TSystemSurveyValueRetriever>& pRetriever)
{
  TSystemSurveyAsJsonDocumentCreator Creator(std::make_shared<TSystemSurveyCreator>(pRetriever),
                                             std::make_shared<TSystemSurveyToJsonConverter>());
  const QJsonDocument Document = Creator.createDocument();
  return Document.object();
}

QStringList sortedKeys(const QJsonObject& Object)
{
  QStringList Keys = Object.keys();
  Keys.sort();
  return Keys;
}

QStringList sortedList(QStringList List)
{
  List.sort();
  return List;
}

bool isLowercaseSha1(const QString& Text)
{
  return QRegularExpression("^[0-9a-f]{40}$").match(Text).hasMatch();
}

} // namespace

class TestSystemSurveyDocument : public QObject
{
  Q_OBJECT

private slots:
  void surveyCreatorOrderAndMonitorFilter();
  void documentMembersAndTypes();
  void gpuOptionalMembers();
  void releaseOnlyWhenKnown();
  void documentOfThisMachine();

  void clientIdentifierVectors();
  void clientIdentifierStableWithinProcess();
  void clientIdentifierStableAcrossProcesses();
};

void TestSystemSurveyDocument::surveyCreatorOrderAndMonitorFilter()
{
  auto pRetriever = workstation();
  TSystemSurveyCreator Creator(pRetriever);
  const TSystemSurvey Survey = Creator.createSurvey();
  QCOMPARE(pRetriever->m_Calls, QStringList({"monitors", "operatingSystem", "mainMemorySize", "cpu", "gpus"}));
  QCOMPARE(Survey.monitors.size(), std::size_t(2));
  QCOMPARE(Survey.monitors[0].width, 2560);
  QCOMPARE(Survey.monitors[1].width, 1920);
  QVERIFY(Survey.monitors[1].primary);
  QCOMPARE(Survey.mainMemorySize, quint64(34359738368ull));
  QCOMPARE(Survey.cpu.logicalCoreNumber, quint64(24));
  QCOMPARE(Survey.gpus.size(), std::size_t(4));
  QCOMPARE(Survey.operatingSystem.release, QString("12"));
}

void TestSystemSurveyDocument::documentMembersAndTypes()
{
  const QJsonObject Document = documentOf(workstation());
  QCOMPARE(sortedKeys(Document), sortedList({"dataType", "clientID", "monitors", "operatingSystem",
                                             "mainMemorySize", "cpu", "gpu"}));
  QVERIFY(Document.value("dataType").isDouble());
  QCOMPARE(Document.value("dataType").toInt(-1), 0);
  QVERIFY(Document.value("clientID").isString());
  QVERIFY(isLowercaseSha1(Document.value("clientID").toString()));
  QCOMPARE(Document.value("clientID").toString(), clientIdentifier());
  QVERIFY(Document.value("mainMemorySize").isDouble());
  QCOMPARE(Document.value("mainMemorySize").toVariant().toLongLong(), 34359738368ll);

  const QJsonArray Monitors = Document.value("monitors").toArray();
  QCOMPARE(Monitors.size(), 2);
  const QJsonObject First = Monitors.at(0).toObject();
  QCOMPARE(sortedKeys(First), sortedList({"width", "height", "primary", "refreshRate"}));
  QCOMPARE(First.value("width").toInt(), 2560);
  QCOMPARE(First.value("height").toInt(), 1440);
  QVERIFY(First.value("primary").isBool());
  QCOMPARE(First.value("primary").toBool(), false);
  QCOMPARE(First.value("refreshRate").toInt(), 144);
  const QJsonObject Second = Monitors.at(1).toObject();
  QCOMPARE(Second.value("width").toInt(), 1920);
  QCOMPARE(Second.value("height").toInt(), 1080);
  QCOMPARE(Second.value("primary").toBool(), true);
  QCOMPARE(Second.value("refreshRate").toInt(), 60);

  const QJsonObject OperatingSystem = Document.value("operatingSystem").toObject();
  QCOMPARE(sortedKeys(OperatingSystem), sortedList({"baseSystem", "name", "release"}));
  QCOMPARE(OperatingSystem.value("baseSystem").toString(), QString("Linux"));
  QCOMPARE(OperatingSystem.value("name").toString(), QString("Debian"));
  QCOMPARE(OperatingSystem.value("release").toString(), QString("12"));

  const QJsonObject Cpu = Document.value("cpu").toObject();
  QCOMPARE(sortedKeys(Cpu), sortedList({"manufacturer", "brandName", "64Bit", "sse", "sse2", "NUMANumber",
                                        "physicalNumber", "coreNumber", "logicalCoreNumber", "clockSpeed"}));
  QCOMPARE(Cpu.value("manufacturer").toString(), QString("Intel"));
  QCOMPARE(Cpu.value("brandName").toString(), QString("Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz"));
  QVERIFY(Cpu.value("64Bit").isBool());
  QCOMPARE(Cpu.value("64Bit").toBool(), true);
  QCOMPARE(Cpu.value("sse").toBool(), true);
  QVERIFY(Cpu.value("sse2").isBool());
  QCOMPARE(Cpu.value("sse2").toBool(), false);
  QVERIFY(Cpu.value("NUMANumber").isDouble());
  QCOMPARE(Cpu.value("NUMANumber").toInt(-1), 0);
  QCOMPARE(Cpu.value("physicalNumber").toInt(), 2);
  QCOMPARE(Cpu.value("coreNumber").toInt(), 6);
  QCOMPARE(Cpu.value("logicalCoreNumber").toInt(), 24);
  QVERIFY(Cpu.value("clockSpeed").isDouble());
  QCOMPARE(Cpu.value("clockSpeed").toDouble(), 3400.5);

  QVERIFY(Document.value("gpu").isArray());
  QCOMPARE(Document.value("gpu").toArray().size(), 4);
}

void TestSystemSurveyDocument::gpuOptionalMembers()
{
  const QJsonArray Gpus = documentOf(workstation()).value("gpu").toArray();
  QCOMPARE(Gpus.size(), 4);

  const QJsonObject Full = Gpus.at(0).toObject();
  QCOMPARE(sortedKeys(Full), sortedList({"deviceString", "videoMemorySize", "vendorId", "deviceId", "driverVersion"}));
  QCOMPARE(Full.value("deviceString").toString(), QString("GeForce GTX 1080"));
  QCOMPARE(Full.value("videoMemorySize").toVariant().toLongLong(), 8589934592ll);
  QCOMPARE(Full.value("vendorId").toInt(), 0x10de);
  QCOMPARE(Full.value("deviceId").toInt(), 0x1b80);
  QCOMPARE(Full.value("driverVersion").toString(), QString("535.54.03"));

  // A known device id is reported without a driver version.
  const QJsonObject DeviceOnly = Gpus.at(1).toObject();
  QCOMPARE(sortedKeys(DeviceOnly), sortedList({"deviceString", "videoMemorySize", "deviceId"}));
  QCOMPARE(DeviceOnly.value("deviceId").toInt(), 0x1234);

  const QJsonObject VendorOnly = Gpus.at(2).toObject();
  QCOMPARE(sortedKeys(VendorOnly), sortedList({"deviceString", "videoMemorySize", "vendorId"}));
  QCOMPARE(VendorOnly.value("vendorId").toInt(), 0x1002);
  QCOMPARE(VendorOnly.value("videoMemorySize").toInt(), 256);

  const QJsonObject Linux = Gpus.at(3).toObject();
  QCOMPARE(sortedKeys(Linux), sortedList({"deviceString", "videoMemorySize"}));
  QCOMPARE(Linux.value("deviceString").toString(), QString("not implemented"));
  QVERIFY(Linux.value("videoMemorySize").isDouble());
  QCOMPARE(Linux.value("videoMemorySize").toInt(-1), 0);
}

void TestSystemSurveyDocument::releaseOnlyWhenKnown()
{
  auto pRetriever = workstation();
  pRetriever->m_OperatingSystem = {"Linux", "", ""};
  const QJsonObject OperatingSystem = documentOf(pRetriever).value("operatingSystem").toObject();
  QCOMPARE(sortedKeys(OperatingSystem), sortedList({"baseSystem", "name"}));
  QVERIFY(OperatingSystem.value("name").isString());
  QCOMPARE(OperatingSystem.value("name").toString(), QString());
}

void TestSystemSurveyDocument::documentOfThisMachine()
{
  const QJsonObject Document = documentOf(std::make_shared<TSystemSurveyValueRetriever>());
  const QJsonArray Gpus = Document.value("gpu").toArray();
  QCOMPARE(Gpus.size(), 1);
  QCOMPARE(sortedKeys(Gpus.at(0).toObject()), sortedList({"deviceString", "videoMemorySize"}));
  QCOMPARE(Gpus.at(0).toObject().value("deviceString").toString(), QString("not implemented"));

  // The offscreen platform has one primary screen.
  const QJsonArray Monitors = Document.value("monitors").toArray();
  QCOMPARE(Monitors.size(), QGuiApplication::screens().size());
  QVERIFY(Monitors.at(0).toObject().value("width").toInt() > 0);
  QCOMPARE(Monitors.at(0).toObject().value("primary").toBool(),
           QGuiApplication::screens().at(0) == QGuiApplication::primaryScreen());

  const QJsonObject OperatingSystem = Document.value("operatingSystem").toObject();
  QCOMPARE(OperatingSystem.value("baseSystem").toString(), QString("Linux"));
  QVERIFY(OperatingSystem.contains("name"));
  QVERIFY(Document.value("mainMemorySize").toDouble() > 0);
  const QJsonObject Cpu = Document.value("cpu").toObject();
  QCOMPARE(Cpu.size(), 10);
  QVERIFY(Cpu.value("logicalCoreNumber").toInt() >= 1);
}

void TestSystemSurveyDocument::clientIdentifierVectors()
{
  // Expected digests computed independently with sha1sum.
  QCOMPARE(clientIdentifierFromHardwareAddresses({}), QString("92e2e06092811a9df2c396baa917efa14d840184"));
  QCOMPARE(clientIdentifierFromHardwareAddresses({"00:00:00:00:00:00", "52:54:00:12:34:56"}),
           QString("ae66ab53737092cfe5beb1b2117fe69c673c51a2"));
  // Interfaces without a hardware address contribute nothing.
  QCOMPARE(clientIdentifierFromHardwareAddresses({"", "52:54:00:12:34:56", ""}),
           QString("25f8cfb3f0392c4be8cd10cb10b866586068335a"));
  // A new interface changes the identifier; so does another order.
  QCOMPARE(clientIdentifierFromHardwareAddresses({"52:54:00:12:34:56", "00:00:00:00:00:00"}),
           QString("a03c939c05b706644695131e215c7ec41f30cd91"));
}

void TestSystemSurveyDocument::clientIdentifierStableWithinProcess()
{
  const QString First = clientIdentifier();
  QVERIFY(isLowercaseSha1(First));
  QCOMPARE(clientIdentifier(), First);
  QCOMPARE(First, clientIdentifierFromHardwareAddresses(networkHardwareAddresses()));
}

void TestSystemSurveyDocument::clientIdentifierStableAcrossProcesses()
{
  for (int Run = 0; Run < 2; ++Run) {
    QProcess Child;
    QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
    Environment.insert(PrintClientIdentifierVariable, "1");
    Child.setProcessEnvironment(Environment);
    Child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(Child.waitForFinished(30000));
    QCOMPARE(Child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(Child.exitCode(), 0);
    QCOMPARE(QString::fromLatin1(Child.readAllStandardOutput()).trimmed(), clientIdentifier());
  }
}

int main(int argc, char* argv[])
{
  // Child mode of clientIdentifierStableAcrossProcesses.
  if (qEnvironmentVariableIsSet(PrintClientIdentifierVariable)) {
    QCoreApplication Application(argc, argv);
    std::printf("%s\n", qPrintable(clientIdentifier()));
    return 0;
  }
  QApplication Application(argc, argv);
  TestSystemSurveyDocument Test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&Test, argc, argv);
}

#include "test_systemsurveydocument.moc"
