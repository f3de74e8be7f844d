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

bool decodeCsc(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
               std::size_t OutputCapacity, std::size_t& Produced);

bool decodeCrush(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
                 std::size_t OutputCapacity, std::size_t& Produced);

} // namespace shared::codecs
