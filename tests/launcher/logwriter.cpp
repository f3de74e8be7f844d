// Logs through the launcher's log and then ends as its arguments say, for
// the tests of what reaches the log file:
//
//   logwriter DIRECTORY FILE info|warning|critical wait|exit|terminate|crash
//
// It logs an info line ("earlier line") and then "the line" at the given
// level, prints "logged" and then waits for the end of its input, returns
// from main, raises SIGTERM or writes through a null pointer.

#include "engine/logging.h"

#include <QCoreApplication>
#include <QDebug>

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
  QCoreApplication Application(argc, argv);
  if (argc != 5)
    return 2;
  orvale::launcher::setupLogging(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
  qInfo("earlier line");
  const QByteArray Level = argv[3];
  if (Level == "warning")
    qWarning("the line");
  else if (Level == "critical")
    qCritical("the line");
  else
    qInfo("the line");
  std::printf("logged\n");
  std::fflush(stdout);

  const QByteArray Ending = argv[4];
  if (Ending == "wait") {
    while (std::getchar() != EOF) {
    }
  } else if (Ending == "terminate") {
    std::raise(SIGTERM);
  } else if (Ending == "crash") {
    const struct rlimit NoCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &NoCore);
    volatile int* Nowhere = nullptr;
    *Nowhere = 1;
  }
  return 0;
}
