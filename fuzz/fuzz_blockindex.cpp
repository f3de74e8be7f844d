// shared::parseBlockIndex: the chunk file's and the chunk's sizes, then a
// block index file.
#include "fuzzmain.h"

ASHGROVE_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  const QByteArray Input(reinterpret_cast<const char*>(Data), int(Size));
  fuzzmain::require(fuzzchecks::checkBlockIndex(Input));
  return 0;
}
