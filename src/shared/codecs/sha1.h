#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace shared::codecs {

// SHA-1 digest of a byte range (used to check ZPAQ segments).
std::array<std::uint8_t, 20> sha1(const std::uint8_t* Data, std::size_t Size);

} // namespace shared::codecs
