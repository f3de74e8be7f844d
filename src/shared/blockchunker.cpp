#include "shared/blockchunker.h"

#include <algorithm>
#include <array>

namespace shared {

namespace {

constexpr std::array<std::uint64_t, 256> gearTable()
{
  std::array<std::uint64_t, 256> Table{};
  std::uint64_t State = 0x41534847524F5645ull;
  for (std::uint64_t& Entry : Table) {
    State += 0x9E3779B97F4A7C15ull;
    std::uint64_t Value = State;
    Value = (Value ^ (Value >> 30)) * 0xBF58476D1CE4E5B9ull;
    Value = (Value ^ (Value >> 27)) * 0x94D049BB133111EBull;
    Entry = Value ^ (Value >> 31);
  }
  return Table;
}

constexpr std::array<std::uint64_t, 256> kGear = gearTable();

// The first position in [Begin, End) where the gear value, carried in
// Rolling, has none of Mask's bits set; End when there is none.
std::size_t findCut(const std::uint8_t* Data, std::size_t Begin, std::size_t End, std::uint64_t Mask,
                    std::uint64_t& Rolling)
{
  std::uint64_t Value = Rolling;
  for (std::size_t Position = Begin; Position < End; ++Position) {
    Value = (Value << 1) + kGear[Data[Position]];
    if ((Value & Mask) == 0) {
      Rolling = Value;
      return Position;
    }
  }
  Rolling = Value;
  return End;
}

} // namespace

std::size_t nextBlockLength(const std::uint8_t* Data, std::size_t Available)
{
  if (Available <= BlockMinimumSize)
    return Available;
  const std::size_t Limit = std::min(Available, BlockMaximumSize);
  const std::size_t Normal = std::min(Limit, BlockNormalSize);
  std::uint64_t Rolling = 0;
  std::size_t Cut = findCut(Data, BlockMinimumSize, Normal, BlockMaskBeforeNormal, Rolling);
  if (Cut == Normal)
    Cut = findCut(Data, Normal, Limit, BlockMaskAfterNormal, Rolling);
  return Cut == Limit ? Limit : Cut + 1;
}

std::vector<std::uint32_t> cutBlocks(const std::uint8_t* Data, std::size_t Size)
{
  std::vector<std::uint32_t> Lengths;
  Lengths.reserve(Size / BlockNormalSize + 1);
  for (std::size_t Offset = 0; Offset < Size;) {
    const std::size_t Length = nextBlockLength(Data + Offset, Size - Offset);
    Lengths.push_back(std::uint32_t(Length));
    Offset += Length;
  }
  return Lengths;
}

} // namespace shared
