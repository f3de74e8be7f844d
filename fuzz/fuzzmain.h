#pragma once

// Shared by the fuzz targets: Qt messages are dropped (a warning per input
// would make the run crawl), and a broken promise of a check aborts, so
// that libFuzzer keeps the input as a crash.

#include "fuzzchecks.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace fuzzmain {

inline void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

inline void silenceQt()
{
  qInstallMessageHandler(dropMessage);
}

inline void require(const fuzzchecks::TOutcome& Outcome)
{
  if (Outcome.violation.isEmpty())
    return;
  std::fprintf(stderr, "broken promise: %s\n", qPrintable(Outcome.violation));
  std::abort();
}

} // namespace fuzzmain

#define ASHGROVE_FUZZ_INITIALIZE                                  \
  extern "C" int LLVMFuzzerInitialize(int*, char***)              \
  {                                                               \
    fuzzmain::silenceQt();                                        \
    return 0;                                                     \
  }
