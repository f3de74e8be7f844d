// shared::unpackPayload over every format id: the whole input is the
// container (leading zero bytes, marker, id, sizes, payload). Zstandard
// payloads (id 9) are decoded as a stream as well, which must agree.
#include "fuzzmain.h"

ASHGROVE_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  const QByteArray Input = QByteArray::fromRawData(reinterpret_cast<const char*>(Data), int(Size));
  fuzzmain::require(fuzzchecks::checkPayload(Input));
  return 0;
}
