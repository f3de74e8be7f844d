// TLauncherConfigurationReader on one configuration document. Its exception
// for invalid JSON is expected; any other exception escapes and libFuzzer
// reports it.
#include "fuzzmain.h"
#include "launcherfuzzchecks.h"

ASHGROVE_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  const QByteArray Input(reinterpret_cast<const char*>(Data), int(Size));
  fuzzmain::require(fuzzchecks::checkLauncherConfiguration(Input));
  return 0;
}
