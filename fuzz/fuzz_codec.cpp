// One codec of src/shared/codecs called directly: three bytes of output
// capacity, then the payload (see fuzzchecks::checkCodec). Built once per
// codec, selected by ASHGROVE_FUZZ_CODEC_<NAME>.
#include "fuzzmain.h"

namespace {

#if defined(ASHGROVE_FUZZ_CODEC_CSC)
constexpr fuzzchecks::TCodec kCodec = shared::codecs::decodeCsc;
constexpr std::size_t kCapacityMask = fuzzchecks::kCodecCapacityMask;
#elif defined(ASHGROVE_FUZZ_CODEC_CRUSH)
constexpr fuzzchecks::TCodec kCodec = shared::codecs::decodeCrush;
constexpr std::size_t kCapacityMask = fuzzchecks::kCodecCapacityMask;
#elif defined(ASHGROVE_FUZZ_CODEC_ZPAQ)
constexpr fuzzchecks::TCodec kCodec = shared::codecs::decodeZpaq;
constexpr std::size_t kCapacityMask = fuzzchecks::kZpaqCapacityMask;
#else
#error "no codec selected"
#endif

} // namespace

ASHGROVE_FUZZ_INITIALIZE

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
  fuzzmain::require(fuzzchecks::checkCodec(kCodec, Data, Size, kCapacityMask));
  return 0;
}
