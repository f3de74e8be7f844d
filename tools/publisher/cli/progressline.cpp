#include "progressline.h"

#include <QTextStream>

#include <unistd.h>

namespace {

constexpr qint64 kRedrawMs = 250;

QString durationText(double Seconds)
{
  const qint64 Whole = qint64(Seconds + 0.5);
  return QString("%1:%2").arg(Whole / 60).arg(Whole % 60, 2, 10, QChar('0'));
}

} // namespace

TProgressLine::TProgressLine(bool Enabled) : m_Terminal(Enabled && isatty(STDERR_FILENO) == 1)
{
  m_Clock.start();
}

QString TProgressLine::rate(std::uint64_t Bytes) const
{
  const double Seconds = std::max(seconds(), 0.001);
  return QString("%1 MB/s").arg(double(Bytes) / 1e6 / Seconds, 0, 'f', 1);
}

void TProgressLine::show(const QString& Counts, std::uint64_t BytesDone, std::uint64_t Bytes)
{
  if (!m_Terminal)
    return;
  const qint64 Now = m_Clock.elapsed();
  if (Now - m_LastDrawMs < kRedrawMs && BytesDone < Bytes)
    return;
  m_LastDrawMs = Now;
  QString Left = "--:--";
  if (BytesDone > 0 && Now > 0)
    Left = durationText(double(Bytes - std::min(BytesDone, Bytes)) * seconds() / double(BytesDone));
  const QString Line = QString("%1, %2 of %3 MB, %4, %5 left")
                           .arg(Counts)
                           .arg(double(BytesDone) / 1e6, 0, 'f', 1)
                           .arg(double(Bytes) / 1e6, 0, 'f', 1)
                           .arg(rate(BytesDone), Left);
  QTextStream(stderr) << "\r" << Line.leftJustified(79) << Qt::flush;
  m_Drawn = true;
}

void TProgressLine::finish()
{
  if (m_Drawn)
    QTextStream(stderr) << "\n" << Qt::flush;
  m_Drawn = false;
}
