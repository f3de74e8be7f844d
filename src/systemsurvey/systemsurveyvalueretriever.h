#pragma once

#include "systemsurvey/systemsurveyrecords.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QStringList>

#include <vector>

namespace systemsurvey {

// Maps the 12-character vendor identification of the processor (CPUID
// function 0: EBX, EDX, ECX) to a manufacturer name; anything not in the
// table gives "Unknown Manufacturer".
QString manufacturerFromVendorIdentification(const QByteArray& VendorIdentification);

// Turns the 48 bytes of CPUID functions 0x80000002..0x80000004 into the brand
// name: text up to the first NUL, UTF-8, whitespace simplified.
QString brandNameFromCpuidBytes(const QByteArray& BrandBytes);

// Turns the standard output of the release program into the reported text:
// up to the first NUL byte, Latin-1, whitespace simplified.
QString releaseTextFromOutput(const QByteArray& Output);

// Collects the hardware and operating-system facts of this machine. Every
// operation degrades to a default instead of failing. Call on the GUI thread.
class TSystemSurveyValueRetriever
{
public:
  TSystemSurveyValueRetriever() = default;
  virtual ~TSystemSurveyValueRetriever();

  virtual std::vector<TMonitorInfo> retrieveMonitors();
  virtual TCpuInfo retrieveCpu();
  virtual TOperatingSystemInfo retrieveOperatingSystem();
  virtual quint64 retrieveMainMemorySize();
  virtual void retrieveCpuCounts(quint64& NUMANumber, quint64& PhysicalNumber, quint64& CoreNumber,
                                 quint64& LogicalCoreNumber);
  virtual double retrieveClockSpeed();
  virtual std::vector<TGpuInfo> retrieveGpus();

  // Upper bound of the time retrieveOperatingSystem() may spend waiting for
  // the release program, both queries together.
  static constexpr int DefaultReleaseQueryBudgetMs = 5000;

protected:
  // The processor information file ("/proc/cpuinfo").
  virtual QString cpuInfoPath() const;
  // The release program and its fallback ("lsb_release", "lsb-release").
  virtual QStringList releaseProgramNames() const;
  // Total wait budget of retrieveOperatingSystem() in milliseconds.
  virtual int releaseQueryBudgetMs() const;

  // Runs the release program with "-s" and Argument and returns its simplified
  // output, or an empty string when no program runs to its end before Deadline.
  QString queryRelease(const QString& Argument, const QDeadlineTimer& Deadline) const;
};

} // namespace systemsurvey
