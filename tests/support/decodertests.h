#pragma once

// What the tests of the raw payload decoders share: a call that catches
// writes past the output buffer, and the recorded test vectors.

#include "shared/payload.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// A raw decoder of one payload format (shared/codecs/codecs.h).
using TRawDecoder = bool (*)(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
                             std::size_t OutputCapacity, std::size_t& Produced);

// Decodes Payload into Capacity bytes with one guard byte behind them. Ends
// the test program when the decoder writes past its buffer or reports
// success with fewer bytes than Capacity. Result receives the bytes on
// success when given.
bool decodeGuarded(TRawDecoder Decode, const QByteArray& Payload, std::size_t Capacity,
                   QByteArray* Result = nullptr);

// One recorded container from the shared test data: its payload, declared
// unpacked size and, when known, the SHA-256 of the decoded data.
struct TPayloadVector
{
  QString name;
  QByteArray payload;
  std::size_t unpackedSize = 0;
  QByteArray sha256;
};

// Loads testdata/payloads/<Name>; ends the test program when it is not a
// container of Format.
TPayloadVector loadPayloadVector(const QString& Name, shared::EPayloadFormat Format,
                                 const QByteArray& Sha256 = QByteArray());
// The recorded vectors of Format whose content is known: "tiny", "text",
// "random" and "mixed".
std::vector<TPayloadVector> payloadVectors(shared::EPayloadFormat Format);

} // namespace testsupport
