#pragma once

#include <cstddef>
#include <cstdint>

// Decoders for the payload formats of the chunk container that no system
// library covers. Every decoder works on one complete payload held in memory
// and writes into a caller-provided buffer:
//
//  - `Input`/`InputSize`: the payload bytes (exactly the payload, no container
//    header). The decoder never reads outside them.
//  - `Output`/`OutputCapacity`: the buffer for the decoded bytes, sized to the
//    unpacked size the container declares. The decoder never writes outside it;
//    a stream that would produce more is malformed.
//  - `Produced`: receives the number of bytes written on success.
//
// A decoder returns false for any malformed or hostile input; it never throws,
// aborts or runs without bound. Memory it allocates for itself is bounded by
// limits documented beside each decoder.
namespace shared::codecs {

bool decodeZpaq(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
                std::size_t OutputCapacity, std::size_t& Produced);

// ZPAQ decodes running at the same time share one budget for their model
// memory (1.5 GiB by default): a decode waits until its block's tables fit,
// and runs at once when no other decode holds memory. Setting the budget
// also restarts the peak, the most memory held at once since then.
void setZpaqMemoryBudget(std::uint64_t Bytes);
std::uint64_t zpaqMemoryBudget();
std::uint64_t zpaqMemoryPeak();

bool decodeCsc(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
               std::size_t OutputCapacity, std::size_t& Produced);

bool decodeCrush(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
                 std::size_t OutputCapacity, std::size_t& Produced);

} // namespace shared::codecs
