// shared::extractRequestedRanges: a server's answer (status, Content-Type,
// Content-Range, body) to a request for two ranges of a file.
#include "fuzzmain.h"

ASHGROVE_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  const QByteArray Input(reinterpret_cast<const char*>(Data), int(Size));
  fuzzmain::require(fuzzchecks::checkRangeAnswer(Input));
  return 0;
}
