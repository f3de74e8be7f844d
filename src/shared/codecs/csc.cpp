#include "shared/codecs/codecs.h"

namespace shared::codecs {

// Not decodable yet: containers of this format are rejected.
bool decodeCsc(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t, std::size_t& Produced)
{
  Produced = 0;
  return false;
}

} // namespace shared::codecs
