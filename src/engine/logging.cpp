#include "engine/logging.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace orvale::launcher {

namespace {

QPointer<QFile>& logFilePointer()
{
  static QPointer<QFile> File;
  return File;
}

// The log's lines collect in a buffer that reaches the file at every
// warning or worse, within kFlushInterval of its oldest line, when it is
// full, at exit and when the process ends by a signal: an install writes
// hundreds of thousands of lines, one write call per line cost more than
// the writing of the game's files.
class TLogWriter
{
public:
  static constexpr std::size_t kBufferBytes = 256 * 1024;
  static constexpr std::chrono::milliseconds kFlushInterval{500};

  static TLogWriter& instance()
  {
    // Never destroyed: messages may come until the very end of the process.
    static TLogWriter* Writer = new TLogWriter;
    return *Writer;
  }

  // Lines go to Descriptor from now on (-1: nowhere); what is buffered goes
  // to the previous one first.
  void setDescriptor(int Descriptor)
  {
    std::unique_lock Lock(m_Mutex);
    writeBuffered();
    m_Descriptor.store(Descriptor);
    if (Descriptor >= 0 && !m_Flusher.joinable() && !m_Stopped)
      m_Flusher = std::thread([this] { flushPeriodically(); });
  }

  void append(const QByteArray& Line, bool Urgent)
  {
    std::unique_lock Lock(m_Mutex);
    const std::size_t Used = m_Used.load(std::memory_order_relaxed);
    if (Used + std::size_t(Line.size()) > kBufferBytes)
      writeBuffered();
    if (std::size_t(Line.size()) > kBufferBytes) {
      writeAll(Line.constData(), std::size_t(Line.size()));
      return;
    }
    const std::size_t Start = m_Used.load(std::memory_order_relaxed);
    std::memcpy(m_Buffer + Start, Line.constData(), std::size_t(Line.size()));
    m_Used.store(Start + std::size_t(Line.size()), std::memory_order_release);
    if (Urgent || m_Stopped) {
      writeBuffered();
    } else if (Start == 0) {
      m_OldestLine = std::chrono::steady_clock::now();
      m_Wake.notify_one();
    }
  }

  // Writes what is buffered; at exit, also ends the periodic flushing, and
  // every later line is written at once.
  void flush(bool Exiting)
  {
    std::unique_lock Lock(m_Mutex);
    writeBuffered();
    if (!Exiting)
      return;
    m_Stopped = true;
    m_Wake.notify_one();
    std::thread Flusher = std::move(m_Flusher);
    Lock.unlock();
    if (Flusher.joinable())
      Flusher.join();
  }

  // From a signal handler: only calls that are safe there, no lock. A line
  // being flushed by another thread at that moment may be written twice.
  void writeFromSignalHandler()
  {
    const int Descriptor = m_Descriptor.load();
    const std::size_t Used = m_Used.load(std::memory_order_acquire);
    if (Descriptor >= 0 && Used > 0 && Used <= kBufferBytes)
      writeAll(m_Buffer, Used);
  }

private:
  TLogWriter() = default;

  void writeAll(const char* Data, std::size_t Size)
  {
    const int Descriptor = m_Descriptor.load();
    while (Descriptor >= 0 && Size > 0) {
      const ssize_t Written = ::write(Descriptor, Data, Size);
      if (Written < 0 && errno == EINTR)
        continue;
      if (Written <= 0)
        return;  // nowhere to report it: the log is what failed
      Data += Written;
      Size -= std::size_t(Written);
    }
  }

  // Under the lock.
  void writeBuffered()
  {
    const std::size_t Used = m_Used.load(std::memory_order_relaxed);
    if (Used == 0)
      return;
    writeAll(m_Buffer, Used);
    m_Used.store(0, std::memory_order_release);
  }

  void flushPeriodically()
  {
    std::unique_lock Lock(m_Mutex);
    while (!m_Stopped) {
      if (m_Used.load(std::memory_order_relaxed) == 0) {
        m_Wake.wait(Lock);
        continue;
      }
      const auto Due = m_OldestLine + kFlushInterval;
      if (std::chrono::steady_clock::now() >= Due)
        writeBuffered();
      else
        m_Wake.wait_until(Lock, Due);
    }
  }

  std::mutex m_Mutex;
  std::condition_variable m_Wake;
  std::thread m_Flusher;
  bool m_Stopped = false;
  std::chrono::steady_clock::time_point m_OldestLine;
  std::atomic<int> m_Descriptor{-1};
  std::atomic<std::size_t> m_Used{0};
  char m_Buffer[kBufferBytes];
};

// Signals that end the process: the buffered lines are written before it
// ends the way it would have without us.
constexpr int kEndingSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTERM, SIGINT, SIGHUP, SIGQUIT};

extern "C" void writeLogOnSignal(int Signal)
{
  TLogWriter::instance().writeFromSignalHandler();
  // The handler was reset to the default: the signal, raised again (or the
  // faulting instruction, run again), ends the process as it would have.
  std::raise(Signal);
}

void installExitHooks()
{
  static std::once_flag Once;
  std::call_once(Once, [] {
    std::atexit([] { TLogWriter::instance().flush(true); });
    for (int Signal : kEndingSignals) {
      struct sigaction Current = {};
      if (::sigaction(Signal, nullptr, &Current) != 0 || Current.sa_handler != SIG_DFL)
        continue;  // someone else handles it
      struct sigaction Handler = {};
      Handler.sa_handler = writeLogOnSignal;
      sigemptyset(&Handler.sa_mask);
      Handler.sa_flags = SA_RESETHAND | SA_NODEFER;
      ::sigaction(Signal, &Handler, nullptr);
    }
  });
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

// A line's level as it opens the message ("Info: "); empty for a level
// that has no name (its line ends after the location).
QLatin1String levelPrefix(QtMsgType Type)
{
  switch (Type) {
  case QtDebugMsg:
    return QLatin1String("Debug: ");
  case QtInfoMsg:
    return QLatin1String("Info: ");
  case QtWarningMsg:
    return QLatin1String("Warning: ");
  case QtCriticalMsg:
    return QLatin1String("Critical: ");
  case QtFatalMsg:
    return QLatin1String("Fatal: ");
  }
  return QLatin1String();
}

// The local time of a log line, made once a second: the local time of a
// moment reads the time zone file each time, which cost more than all the
// rest of a line.
QString currentTimeText()
{
  static std::mutex Mutex;
  static qint64 Second = -1;
  static QString Text;
  const qint64 Now = QDateTime::currentSecsSinceEpoch();
  std::lock_guard Lock(Mutex);
  if (Now != Second) {
    Second = Now;
    Text = QDateTime::fromSecsSinceEpoch(Now).toString("yyyy-MM-dd hh:mm:ss");
  }
  return Text;
}

// Put together piece by piece: the log takes a line per step of each of
// tens of thousands of pieces, and patterns with "%1" are parsed each time.
QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message,
                      const QString& TimeText)
{
  const QLatin1String Level = levelPrefix(Type);
  QString Line;
  Line.reserve(TimeText.size() + Message.size() + 40);
  Line += TimeText;
  Line += QLatin1String(" (");
  if (Context.file)
    Line += QString::fromUtf8(Context.file);
  Line += QLatin1Char(':');
  Line += QString::number(Context.line);
  Line += QLatin1String(") ");
  if (Level.size() > 0) {
    Line += Level;
    Line += Message;
  }
  return Line;
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
    QByteArray Line = formatLogLine(Type, Context, Message, currentTimeText()).toUtf8();
    Line += '\n';
    TLogWriter::instance().append(Line, Type != QtDebugMsg && Type != QtInfoMsg);
    InsideHandler = false;
  }
  if (Type == QtFatalMsg)
    std::abort();
}

} // namespace

QString threadTag()
{
  // Made once per thread: nearly every line of the log ends with it.
  thread_local const QString Tag = QString(" Thread: 0x%1").arg(quintptr(QThread::currentThreadId()), 0, 16);
  return Tag;
}

QString formatLogLine(QtMsgType Type, const QMessageLogContext& Context, const QString& Message,
                      const QDateTime& Now)
{
  return formatLogLine(Type, Context, Message, Now.toString("yyyy-MM-dd hh:mm:ss"));
}

void flushLog()
{
  TLogWriter::instance().flush(false);
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
    TLogWriter::instance().setDescriptor(-1);
    if (!logFilePointer()) {
      // Created once and never deleted: the handler may run until the very
      // end of the process.
      logFilePointer() = new QFile(Path);
    } else {
      logFilePointer()->close();
      logFilePointer()->setFileName(Path);
    }
    // Written by the log writer through the descriptor, never through QFile.
    if (!logFilePointer()->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
      throw std::runtime_error(QString("I/O error on file '%1': %2")
                                   .arg(Path, logFilePointer()->errorString())
                                   .toStdString());
    }
    installExitHooks();
    TLogWriter::instance().setDescriptor(logFilePointer()->handle());
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
