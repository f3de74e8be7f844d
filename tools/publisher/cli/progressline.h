#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdint>
#include <cstdio>

// Progress of a long run on a terminal: one line on standard error, redrawn
// at most a few times a second, with the counts, the bytes, the rate and the
// time left. Off a terminal it draws nothing; the command prints its summary.
class TProgressLine
{
public:
  // Shown only when Enabled and standard error is a terminal.
  explicit TProgressLine(bool Enabled = true);

  void show(const QString& Counts, std::uint64_t BytesDone, std::uint64_t Bytes);
  // Ends the line (the summary goes below it).
  void finish();

  double seconds() const { return double(m_Clock.elapsed()) / 1000.0; }
  // "38.2 MB/s" for Bytes over the time so far.
  QString rate(std::uint64_t Bytes) const;

private:
  bool m_Terminal = false;
  bool m_Drawn = false;
  qint64 m_LastDrawMs = -1000;
  QElapsedTimer m_Clock;
};
