// The CDN trace page parser, directly and through the trace object.
#include "fuzzmain.h"
#include "cdntracefuzzchecks.h"

ASHGROVE_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  const QByteArray Input(reinterpret_cast<const char*>(Data), int(Size));
  fuzzmain::require(fuzzchecks::checkCdnTrace(Input));
  return 0;
}
