#pragma once

// Captures the log lines a test provokes, to check what was reported.

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace testsupport {

// Collects the log lines of the test (and still passes them on).
class TLogCapture
{
public:
  TLogCapture() { current() = this; m_Previous = qInstallMessageHandler(&TLogCapture::handler); }
  ~TLogCapture()
  {
    qInstallMessageHandler(m_Previous);
    current() = nullptr;
  }
  QStringList lines() const
  {
    QMutexLocker Lock(&m_Mutex);
    return m_Lines;
  }
  int count(const QString& Part) const
  {
    int Count = 0;
    for (const QString& Line : lines())
      Count += Line.contains(Part) ? 1 : 0;
    return Count;
  }
  void clear()
  {
    QMutexLocker Lock(&m_Mutex);
    m_Lines.clear();
  }

private:
  static TLogCapture*& current()
  {
    static TLogCapture* Current = nullptr;
    return Current;
  }
  static void handler(QtMsgType Type, const QMessageLogContext& Context, const QString& Message)
  {
    if (TLogCapture* Capture = current()) {
      {
        QMutexLocker Lock(&Capture->m_Mutex);
        Capture->m_Lines << QString("%1 (%2:%3) %4").arg(int(Type)).arg(Context.file).arg(Context.line).arg(Message);
      }
      if (Capture->m_Previous)
        Capture->m_Previous(Type, Context, Message);
    }
  }

  mutable QMutex m_Mutex;
  QStringList m_Lines;
  QtMessageHandler m_Previous = nullptr;
};

} // namespace testsupport
