#include "engine/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>

#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace orvale::launcher {

namespace {

QPointer<QFile>& logFilePointer()
{
  static QPointer<QFile> File;
  return File;
}

QMutex& logMutex()
{
  static QMutex Mutex;
  return Mutex;
}

QtMessageHandler& previousHandler()
{
  static QtMessageHandler Handler = nullptr;
  return Handler;
}

// Set while this thread is inside the handler: a message raised by the
// handler itself (a failing write warns) goes to the previous handler
// instead of re-entering and dead-locking on the mutex.
thread_local bool InsideHandler = false;

QString levelText(QtMsgType Type)
{
  switch (Type) {
  case QtDebugMsg:
    return "Debug: %1";
  case QtInfoMsg:
    return "Info: %1";
  case QtWarningMsg:
    return "Warning: %1";
  case QtCriticalMsg:
    return "Critical: %1";
  case QtFatalMsg:
    return "Fatal: %1";
  }
  return QString();
}

void forwardToPrevious(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
  if (QtMessageHandler Previous = previousHandler())
    Previous(Type, Context, Message);
}

void messageHandler(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
{
  if (InsideHandler) {
    forwardToPrevious(Type, Context, Message);
    return;
  }
  QFile* File = logFilePointer().data();
  if (!File || !File->isOpen()) {
    forwardToPrevious(Type, Context, Message);
  } else {
    InsideHandler = true;
    const QString Line = formatLogLine(Type, Context, Message, QDateTime::currentDateTime());
    {
      QMutexLocker Lock(&logMutex());
      QTextStream Stream(File);
      Stream << Line << Qt::endl;
      Stream.flush();
    }
    InsideHandler = false;
  }
  if (Type == QtFatalMsg)
    std::abort();
}

} // namespace

QString threadTag()
{
  return QString(" Thread: 0x%1").arg(quintptr(QThread::currentThreadId()), 0, 16);
}

QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message,
                      const QDateTime& Now)
{
  const QString Location =
      QString("(%1:%2)").arg(Context.file ? QString::fromUtf8(Context.file) : QString()).arg(Context.line);
  const QString Level = levelText(Type);
  return QString("%1 %2 %3")
      .arg(Now.toString("yyyy-MM-dd hh:mm:ss"), Location, Level.isEmpty() ? QString() : Level.arg(Message));
}

QFile* logFile()
{
  return logFilePointer().data();
}

void setupLogging(const QString& Directory, const QString& FileName)
{
  try {
    QDir Dir(Directory);
    if (!Dir.exists() && !Dir.mkpath("."))
      throw std::runtime_error("Failed to create subdirectory.");
    const QString Path = QDir::cleanPath(Directory + QDir::separator() + FileName);
    if (!logFilePointer()) {
      // Created once and never deleted: the handler may run until the very
      // end of the process.
      logFilePointer() = new QFile(Path);
    } else {
      logFilePointer()->close();
      logFilePointer()->setFileName(Path);
    }
    if (!logFilePointer()->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
      throw std::runtime_error(QString("I/O error on file '%1': %2")
                                   .arg(Path, logFilePointer()->errorString())
                                   .toStdString());
    }
    QtMessageHandler Previous = qInstallMessageHandler(messageHandler);
    if (Previous != messageHandler)
      previousHandler() = Previous;
  } catch (const std::exception& Error) {
    qWarning().noquote() << QString("couldn't setup logging. exception: %1").arg(QString::fromUtf8(Error.what()));
  } catch (...) {
    qWarning() << "couldn't setup logging";
  }
}

void setupLogging()
{
  setupLogging(QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation),
               QFileInfo(QCoreApplication::applicationFilePath()).fileName() + ".log");
}

} // namespace orvale::launcher
