#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

class QFile;

namespace orvale::launcher {

// Opens "<executable file name>.log" in the writable data directory (created
// when missing) and installs the message handler that appends one
// time-stamped line per message. Failures are logged as warnings and leave
// the messages on Qt's default output.
void setupLogging();
// Same, with an explicit directory and file name (used by setupLogging and
// the tests).
void setupLogging(const QString& Directory, const QString& FileName);

// The line written for one message, without the end of line.
QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message,
                      const QDateTime& Now);

// " Thread: " followed by the current thread id: the end of every trace line.
QString threadTag();

// The log file, or null when logging to a file is not set up.
QFile* logFile();

} // namespace orvale::launcher
