#pragma once

#include "engine/types.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace orvale::launcher {

// Resolution of the tiles' progress bars during a phase or download.
constexpr int ProgressBarResolution = 10000;

// Done / Total scaled to 0..10000 and rounded (single precision, as the bar
// shows it); empty when Total is 0, so that the bar keeps its value. Done
// beyond Total gives the full bar.
std::optional<int> progressBarValue(TFileSize Done, TFileSize Total);

// "%1/%2 MB" with both byte counts in millions, one decimal.
QString formatMegabyteProgress(TFileSize Done, TFileSize Total);

// Bytes per second from the downloader's rate statistic: ten progress ticks
// per second times the whole bytes of the mean tick; 0 without samples.
std::uint64_t transferRateFromTickMean(std::uint64_t SampleCount, double MeanBytesPerTick);

// The rate as the bar shows it: above 1073741824 B/s in GB/s, above
// 1048576 in MB/s, above 1024 in KB/s (decimal units, one decimal), else
// in whole B/s.
QString formatTransferRate(std::uint64_t BytesPerSecond);

} // namespace orvale::launcher
