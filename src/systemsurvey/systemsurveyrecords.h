#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

namespace systemsurvey {

// One screen.
struct TMonitorInfo
{
  int width = 0;           // geometry width in logical pixels
  int height = 0;          // geometry height in logical pixels
  bool primary = false;    // the primary screen
  quint64 refreshRate = 0; // Hz, fraction discarded
};

struct TOperatingSystemInfo
{
  QString baseSystem;
  QString name;
  QString release;
};

struct TCpuInfo
{
  QString manufacturer;
  QString brandName;
  bool is64Bit = false;
  bool sse = false;
  bool sse2 = false;
  quint64 NUMANumber = 0;
  quint64 physicalNumber = 0;    // distinct physical packages
  quint64 coreNumber = 0;        // cores per physical package
  quint64 logicalCoreNumber = 0; // logical processors
  double clockSpeed = 0.0;       // highest current clock, MHz
};

struct TGpuInfo
{
  QString deviceString;
  quint64 videoMemorySize = 0;
  quint32 vendorId = 0;
  quint32 deviceId = 0;
  QString driverVersion;
};

// Everything one survey reports.
struct TSystemSurvey
{
  std::vector<TMonitorInfo> monitors;
  TOperatingSystemInfo operatingSystem;
  quint64 mainMemorySize = 0; // bytes
  TCpuInfo cpu;
  std::vector<TGpuInfo> gpus;
};

} // namespace systemsurvey
