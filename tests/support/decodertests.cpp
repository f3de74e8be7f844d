#include "decodertests.h"

#include "testsupport.h"

#include <QtGlobal>

namespace testsupport {

bool decodeGuarded(TRawDecoder Decode, const QByteArray& Payload, std::size_t Capacity, QByteArray* Result)
{
  std::vector<std::uint8_t> Output(Capacity + 1, 0xA5);  // one guard byte
  std::size_t Produced = 0;
  const bool Ok = Decode(reinterpret_cast<const std::uint8_t*>(Payload.constData()), std::size_t(Payload.size()),
                         Output.data(), Capacity, Produced);
  if (Output[Capacity] != 0xA5)
    qFatal("decoder wrote past its output buffer");
  if (Ok && Produced != Capacity)
    qFatal("decoder reported success with %zu of %zu bytes", Produced, Capacity);
  if (Ok && Result)
    *Result = QByteArray(reinterpret_cast<const char*>(Output.data()), int(Capacity));
  return Ok;
}

TPayloadVector loadPayloadVector(const QString& Name, shared::EPayloadFormat Format, const QByteArray& Sha256)
{
  TPayloadVector Vector;
  Vector.name = Name;
  Vector.sha256 = Sha256;
  const QByteArray Data = readWholeFile(testDataDirectory() + "/payloads/" + Name);
  const auto Header = shared::readPayloadHeader(Data.constData(), std::size_t(Data.size()));
  if (!Header || Header->format != Format)
    qFatal("not a container of format %d: %s", int(Format), qPrintable(Name));
  Vector.payload = Data.mid(int(Header->payloadOffset), int(Header->packedSize));
  Vector.unpackedSize = std::size_t(Header->unpackedSize);
  return Vector;
}

std::vector<TPayloadVector> payloadVectors(shared::EPayloadFormat Format)
{
  const QString Id = QString::number(int(Format));
  return {loadPayloadVector("tiny." + Id + ".pak", Format,
                            "559aead08264d5795d3909718cdd05abd49572e84fe55590eef31a88a08fdffd"),
          loadPayloadVector("text." + Id + ".pak", Format,
                            "a247cf217a2461943d1a0a06422fd98cbd0afe54c23d937e44e4901e4bbde96b"),
          loadPayloadVector("random." + Id + ".pak", Format,
                            "3d19ebc9a3f5399fe3d8d50c16efa6fbb985e9dee46817c2d40305bc1c9d3b20"),
          loadPayloadVector("mixed." + Id + ".pak", Format,
                            "4f95eee2ab76bc54732cc681b16e62867e710658a626a95dbd1c1971717bfbe6")};
}

} // namespace testsupport
