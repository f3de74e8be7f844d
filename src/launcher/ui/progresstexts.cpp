#include "launcher/ui/progresstexts.h"

#include <algorithm>
#include <cmath>

namespace orvale::launcher {

std::optional<int> progressBarValue(TFileSize Done, TFileSize Total)
{
  if (Total == 0)
    return std::nullopt;
  const float Ratio = std::min(1.0f, float(Done) / float(Total));
  return int(std::lround(Ratio * float(ProgressBarResolution)));
}

QString formatMegabyteProgress(TFileSize Done, TFileSize Total)
{
  return QString("%1/%2 MB")
      .arg(QString::number(double(Done) / 1000000.0, 'f', 1), QString::number(double(Total) / 1000000.0, 'f', 1));
}

std::uint64_t transferRateFromTickMean(std::uint64_t SampleCount, double MeanBytesPerTick)
{
  if (SampleCount == 0 || !(MeanBytesPerTick > 0))
    return 0;
  return 10 * std::uint64_t(std::floor(MeanBytesPerTick));
}

QString formatTransferRate(std::uint64_t BytesPerSecond)
{
  const double Rate = double(BytesPerSecond);
  if (BytesPerSecond > 1073741824ULL)
    return QString("%1 GB/s").arg(QString::number(Rate / 1e9, 'f', 1));
  if (BytesPerSecond > 1048576ULL)
    return QString("%1 MB/s").arg(QString::number(Rate / 1e6, 'f', 1));
  if (BytesPerSecond > 1024ULL)
    return QString("%1 KB/s").arg(QString::number(Rate / 1000.0, 'f', 1));
  return QString("%1 B/s").arg(BytesPerSecond);
}

} // namespace orvale::launcher
