// TPackageConfigurationReader on a package description and an asset
// description, separated by fuzzchecks::documentSeparator().
#include "fuzzmain.h"
#include "launcherfuzzchecks.h"

ASHGROVE_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  const QByteArray Input(reinterpret_cast<const char*>(Data), int(Size));
  fuzzmain::require(fuzzchecks::checkPackageConfiguration(Input));
  return 0;
}
