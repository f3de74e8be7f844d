#include "shared/codecs/sha1.h"

#include <cstring>

namespace shared::codecs {

namespace {

inline std::uint32_t rotateLeft(std::uint32_t Value, int Bits)
{
  return (Value << Bits) | (Value >> (32 - Bits));
}

void compressBlock(std::uint32_t State[5], const std::uint8_t* Block)
{
  std::uint32_t W[80];
  for (int Index = 0; Index < 16; ++Index)
    W[Index] = std::uint32_t(Block[4 * Index]) << 24 | std::uint32_t(Block[4 * Index + 1]) << 16 |
               std::uint32_t(Block[4 * Index + 2]) << 8 | std::uint32_t(Block[4 * Index + 3]);
  for (int Index = 16; Index < 80; ++Index)
    W[Index] = rotateLeft(W[Index - 3] ^ W[Index - 8] ^ W[Index - 14] ^ W[Index - 16], 1);

  std::uint32_t A = State[0], B = State[1], C = State[2], D = State[3], E = State[4];
  for (int Index = 0; Index < 80; ++Index) {
    std::uint32_t F, K;
    if (Index < 20) {
      F = (B & C) | (~B & D);
      K = 0x5A827999u;
    } else if (Index < 40) {
      F = B ^ C ^ D;
      K = 0x6ED9EBA1u;
    } else if (Index < 60) {
      F = (B & C) | (B & D) | (C & D);
      K = 0x8F1BBCDCu;
    } else {
      F = B ^ C ^ D;
      K = 0xCA62C1D6u;
    }
    const std::uint32_t Temp = rotateLeft(A, 5) + F + E + K + W[Index];
    E = D;
    D = C;
    C = rotateLeft(B, 30);
    B = A;
    A = Temp;
  }
  State[0] += A;
  State[1] += B;
  State[2] += C;
  State[3] += D;
  State[4] += E;
}

} // namespace

std::array<std::uint8_t, 20> sha1(const std::uint8_t* Data, std::size_t Size)
{
  std::uint32_t State[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  std::size_t Offset = 0;
  for (; Size - Offset >= 64; Offset += 64)
    compressBlock(State, Data + Offset);

  // Final block(s): the rest, 0x80, zeros, and the length in bits (big-endian).
  std::uint8_t Tail[128] = {};
  const std::size_t Rest = Size - Offset;
  if (Rest != 0)
    std::memcpy(Tail, Data + Offset, Rest);
  Tail[Rest] = 0x80;
  const std::size_t TailSize = Rest < 56 ? 64 : 128;
  const std::uint64_t Bits = std::uint64_t(Size) * 8;
  for (int Index = 0; Index < 8; ++Index)
    Tail[TailSize - 1 - Index] = std::uint8_t(Bits >> (8 * Index));
  compressBlock(State, Tail);
  if (TailSize == 128)
    compressBlock(State, Tail + 64);

  std::array<std::uint8_t, 20> Digest{};
  for (int Index = 0; Index < 5; ++Index)
    for (int Byte = 0; Byte < 4; ++Byte)
      Digest[4 * Index + Byte] = std::uint8_t(State[Index] >> (24 - 8 * Byte));
  return Digest;
}

} // namespace shared::codecs
