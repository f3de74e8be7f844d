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
//
// The lines go through a buffer: a warning or worse writes it at once (with
// the lines before it), debug and info lines reach the file within half a
// second, and whatever is buffered is written at exit and when a signal
// ends the process (a crash, SIGTERM, SIGINT, SIGHUP, SIGQUIT).
void setupLogging();
// Same, with an explicit directory and file name (used by setupLogging and
// the tests).
void setupLogging(const QString& Directory, const QString& FileName);

// The line written for one message, without the end of line.
QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message,
                      const QDateTime& Now);

// " Thread: " followed by the current thread id: the end of every trace line.
QString threadTag();

// Writes the buffered lines to the log file now.
void flushLog();

// The log file, or null when logging to a file is not set up.
QFile* logFile();

} // namespace orvale::launcher
