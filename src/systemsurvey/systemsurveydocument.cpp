#include "systemsurvey/systemsurveydocument.h"

#include "systemsurvey/clientidentifier.h"
#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace systemsurvey {

namespace {

// Counts are written as unsigned 32-bit numbers.
qint64 as32Bit(quint64 Value)
{
  return qint64(quint32(Value));
}

QJsonObject monitorToJson(const TMonitorInfo& Monitor)
{
  QJsonObject Object;
  Object.insert(QStringLiteral("width"), Monitor.width);
  Object.insert(QStringLiteral("height"), Monitor.height);
  Object.insert(QStringLiteral("primary"), Monitor.primary);
  Object.insert(QStringLiteral("refreshRate"), as32Bit(Monitor.refreshRate));
  return Object;
}

QJsonObject operatingSystemToJson(const TOperatingSystemInfo& OperatingSystem)
{
  QJsonObject Object;
  Object.insert(QStringLiteral("baseSystem"), OperatingSystem.baseSystem);
  Object.insert(QStringLiteral("name"), OperatingSystem.name);
  if (!OperatingSystem.release.isEmpty())
    Object.insert(QStringLiteral("release"), OperatingSystem.release);
  return Object;
}

QJsonObject cpuToJson(const TCpuInfo& Cpu)
{
  QJsonObject Object;
  Object.insert(QStringLiteral("manufacturer"), Cpu.manufacturer);
  Object.insert(QStringLiteral("brandName"), Cpu.brandName);
  Object.insert(QStringLiteral("64Bit"), Cpu.is64Bit);
  Object.insert(QStringLiteral("sse"), Cpu.sse);
  Object.insert(QStringLiteral("sse2"), Cpu.sse2);
  Object.insert(QStringLiteral("NUMANumber"), as32Bit(Cpu.NUMANumber));
  Object.insert(QStringLiteral("physicalNumber"), as32Bit(Cpu.physicalNumber));
  Object.insert(QStringLiteral("coreNumber"), as32Bit(Cpu.coreNumber));
  Object.insert(QStringLiteral("logicalCoreNumber"), as32Bit(Cpu.logicalCoreNumber));
  Object.insert(QStringLiteral("clockSpeed"), Cpu.clockSpeed);
  return Object;
}

QJsonObject gpuToJson(const TGpuInfo& Gpu)
{
  QJsonObject Object;
  Object.insert(QStringLiteral("deviceString"), Gpu.deviceString);
  Object.insert(QStringLiteral("videoMemorySize"), qint64(Gpu.videoMemorySize));
  // Identifiers are reported whenever they are known, independently of each
  // other and of the driver version.
  if (Gpu.vendorId != 0)
    Object.insert(QStringLiteral("vendorId"), qint64(Gpu.vendorId));
  if (Gpu.deviceId != 0)
    Object.insert(QStringLiteral("deviceId"), qint64(Gpu.deviceId));
  if (!Gpu.driverVersion.isEmpty())
    Object.insert(QStringLiteral("driverVersion"), Gpu.driverVersion);
  return Object;
}

} // namespace

TSystemSurveyCreator::TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> pValueRetriever)
  : m_pValueRetriever(std::move(pValueRetriever))
{
}

TSystemSurveyCreator::~TSystemSurveyCreator() = default;

TSystemSurvey TSystemSurveyCreator::createSurvey()
{
  TSystemSurvey Survey;
  Survey.monitors = m_pValueRetriever->retrieveMonitors();
  Survey.monitors.erase(std::remove_if(Survey.monitors.begin(), Survey.monitors.end(),
                                       [](const TMonitorInfo& Monitor) {
                                         return Monitor.width <= 0 || Monitor.height <= 0;
                                       }),
                        Survey.monitors.end());
  Survey.operatingSystem = m_pValueRetriever->retrieveOperatingSystem();
  Survey.mainMemorySize = m_pValueRetriever->retrieveMainMemorySize();
  Survey.cpu = m_pValueRetriever->retrieveCpu();
  Survey.gpus = m_pValueRetriever->retrieveGpus();
  return Survey;
}

TSystemSurveyToJsonConverter::~TSystemSurveyToJsonConverter() = default;

QJsonDocument TSystemSurveyToJsonConverter::convertToJson(const TSystemSurvey& Survey)
{
  QJsonArray Monitors;
  for (const TMonitorInfo& Monitor : Survey.monitors)
    Monitors.append(monitorToJson(Monitor));
  QJsonArray Gpus;
  for (const TGpuInfo& Gpu : Survey.gpus)
    Gpus.append(gpuToJson(Gpu));

  QJsonObject Object;
  Object.insert(QStringLiteral("dataType"), 0);
  Object.insert(QStringLiteral("clientID"), clientIdentifier());
  Object.insert(QStringLiteral("monitors"), Monitors);
  Object.insert(QStringLiteral("operatingSystem"), operatingSystemToJson(Survey.operatingSystem));
  Object.insert(QStringLiteral("mainMemorySize"), qint64(Survey.mainMemorySize));
  Object.insert(QStringLiteral("cpu"), cpuToJson(Survey.cpu));
  Object.insert(QStringLiteral("gpu"), Gpus);
  return QJsonDocument(Object);
}

TSystemSurveyAsJsonDocumentCreator::TSystemSurveyAsJsonDocumentCreator(
  std::shared_ptr<TSystemSurveyCreator> pSurveyCreator, std::shared_ptr<TSystemSurveyToJsonConverter> pJsonConverter)
  : m_pSurveyCreator(std::move(pSurveyCreator)), m_pJsonConverter(std::move(pJsonConverter))
{
}

TSystemSurveyAsJsonDocumentCreator::~TSystemSurveyAsJsonDocumentCreator() = default;

QJsonDocument TSystemSurveyAsJsonDocumentCreator::createDocument()
{
  return m_pJsonConverter->convertToJson(m_pSurveyCreator->createSurvey());
}

} // namespace systemsurvey
