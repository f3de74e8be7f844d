#include "shared/codecs/codecs.h"

#include <cstring>

// CRUSH payload: an LZ77 bit stream, fields packed least significant bit
// first, no header, no end marker. A token is a flag bit, then either an
// 8-bit literal or a match (length class + extra bits, distance slot +
// extra bits). Decoding stops when the output buffer is full.
//
// Memory: none beyond the caller's buffers (the window is the output itself,
// at most 2 MiB back).
//
// Input checks: every bit read is checked against the payload end, every
// match against the start of the output and the end of the buffer. The
// encoder flushes to a byte boundary right after the last token, so a
// payload with whole bytes left over after the last token is refused.
namespace shared::codecs {

namespace {

// Longest token: flag 1 + length prefix 5 + length extra 9 + slot 4 +
// distance extra 20 bits.
constexpr unsigned kLongestTokenBits = 39;

class TBitReader
{
public:
  TBitReader(const std::uint8_t* Data, std::size_t Size) : m_pData(Data), m_Size(Size) {}

  // Tops the buffer up to at least 57 bits, or to the end of the payload.
  void refill()
  {
    if (m_Position + 8 <= m_Size) {
      std::uint64_t Word = 0;
      for (int Index = 7; Index >= 0; --Index)
        Word = (Word << 8) | m_pData[m_Position + Index];
      m_Buffer |= Word << m_Count;
      m_Position += (63 - m_Count) >> 3;
      m_Count |= 56;
      return;
    }
    while (m_Count <= 56 && m_Position < m_Size) {
      m_Buffer |= std::uint64_t(m_pData[m_Position++]) << m_Count;
      m_Count += 8;
    }
  }

  unsigned available() const { return m_Count; }

  // Caller guarantees available() >= Bits (Bits <= 32).
  std::uint32_t take(unsigned Bits)
  {
    const std::uint32_t Value = std::uint32_t(m_Buffer & ((std::uint64_t(1) << Bits) - 1));
    m_Buffer >>= Bits;
    m_Count -= Bits;
    return Value;
  }

  // Checked read: false when the payload has fewer than Bits bits left.
  bool get(unsigned Bits, std::uint32_t& Value)
  {
    if (m_Count < Bits) {
      refill();
      if (m_Count < Bits)
        return false;
    }
    Value = take(Bits);
    return true;
  }

  // Whole payload bytes that no read has touched.
  std::size_t untouchedBytes() const { return (m_Size - m_Position) + m_Count / 8; }

private:
  const std::uint8_t* m_pData;
  std::size_t m_Size;
  std::size_t m_Position = 0;
  std::uint64_t m_Buffer = 0;
  unsigned m_Count = 0;
};

struct TLengthClass
{
  unsigned extraBits;
  unsigned base;
};

constexpr TLengthClass kLengthClasses[6] = {{2, 0}, {2, 4}, {2, 8}, {3, 12}, {5, 20}, {9, 52}};
constexpr unsigned kMinMatch = 3;

} // namespace

bool decodeCrush(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
                 std::size_t OutputCapacity, std::size_t& Produced)
{
  Produced = 0;
  if (Input == nullptr || Output == nullptr || InputSize == 0 || OutputCapacity == 0)
    return false;

  TBitReader Reader(Input, InputSize);
  std::size_t Position = 0;
  while (Position < OutputCapacity) {
    std::uint32_t Value = 0;
    if (Reader.available() < kLongestTokenBits)
      Reader.refill();
    if (!Reader.get(1, Value))
      return false;
    if (Value == 0) {
      if (!Reader.get(8, Value))
        return false;
      Output[Position++] = std::uint8_t(Value);
      continue;
    }

    // Length class: up to five prefix bits, the first 1 bit ends it; five
    // 0 bits select the last class.
    unsigned Class = 0;
    for (; Class < 5; ++Class) {
      if (!Reader.get(1, Value))
        return false;
      if (Value != 0)
        break;
    }
    std::uint32_t Extra = 0;
    if (!Reader.get(kLengthClasses[Class].extraBits, Extra))
      return false;
    const std::size_t Length = kLengthClasses[Class].base + Extra + kMinMatch;

    std::uint32_t Slot = 0;
    if (!Reader.get(4, Slot))
      return false;
    std::size_t Distance = 0;
    if (Slot == 0) {
      if (!Reader.get(6, Extra))
        return false;
      Distance = std::size_t(Extra) + 1;
    } else {
      const unsigned Bits = Slot + 5;
      if (!Reader.get(Bits, Extra))
        return false;
      Distance = (std::size_t(1) << Bits) + Extra + 1;
    }

    if (Distance > Position || Length > OutputCapacity - Position)
      return false;
    std::uint8_t* Destination = Output + Position;
    const std::uint8_t* Source = Destination - Distance;
    if (Distance >= Length) {
      std::memcpy(Destination, Source, Length);
    } else {
      // Overlapping: the copy repeats the last Distance bytes.
      for (std::size_t Index = 0; Index < Length; ++Index)
        Destination[Index] = Source[Index];
    }
    Position += Length;
  }

  if (Reader.untouchedBytes() != 0)
    return false;
  Produced = Position;
  return true;
}

} // namespace shared::codecs
