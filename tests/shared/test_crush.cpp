#include "shared/codecs/codecs.h"
#include "shared/payload.h"

#include "decodertests.h"
#include "testsupport.h"

#include <QtTest>

#include <vector>

using shared::codecs::decodeCrush;

namespace {

// Writes CRUSH streams token by token (LSB-first bit fields), so tests can
// build exactly the lengths and distances they need.
class TCrushWriter
{
public:
  void put(std::uint32_t Value, unsigned Bits)
  {
    m_Buffer |= std::uint64_t(Value) << m_Count;
    m_Count += Bits;
    while (m_Count >= 8) {
      m_Bytes.append(char(m_Buffer & 0xFF));
      m_Buffer >>= 8;
      m_Count -= 8;
    }
  }

  void literal(std::uint8_t Byte)
  {
    put(0, 1);
    put(Byte, 8);
  }

  void match(unsigned Length, std::uint32_t Distance)
  {
    static const unsigned ExtraBits[6] = {2, 2, 2, 3, 5, 9};
    static const unsigned Base[6] = {0, 4, 8, 12, 20, 52};
    put(1, 1);
    const unsigned Code = Length - 3;
    unsigned Class = 5;
    for (unsigned Index = 0; Index < 5; ++Index) {
      if (Code < Base[Index + 1]) {
        Class = Index;
        break;
      }
    }
    for (unsigned Index = 0; Index < Class; ++Index)
      put(0, 1);
    if (Class < 5)
      put(1, 1);
    put(Code - Base[Class], ExtraBits[Class]);
    const std::uint32_t Offset = Distance - 1;
    if (Offset < 64) {
      put(0, 4);
      put(Offset, 6);
    } else {
      unsigned Bits = 6;
      while ((Offset >> (Bits + 1)) != 0)
        ++Bits;
      put(Bits - 5, 4);
      put(Offset - (1u << Bits), Bits);
    }
  }

  QByteArray finish()
  {
    if (m_Count > 0)
      put(0, 8 - m_Count);
    return m_Bytes;
  }

private:
  QByteArray m_Bytes;
  std::uint64_t m_Buffer = 0;
  unsigned m_Count = 0;
};

// Appends a match to the expected output the way the format defines it:
// byte by byte, so overlapping copies repeat the pattern.
void applyMatch(QByteArray& Expected, unsigned Length, std::uint32_t Distance)
{
  for (unsigned Index = 0; Index < Length; ++Index)
    Expected.append(Expected.at(Expected.size() - int(Distance)));
}

bool decode(const QByteArray& Payload, std::size_t Capacity, QByteArray* Result = nullptr)
{
  return testsupport::decodeGuarded(decodeCrush, Payload, Capacity, Result);
}

using TVector = testsupport::TPayloadVector;

std::vector<TVector> allVectors()
{
  return testsupport::payloadVectors(shared::EPayloadFormat::Crush);
}

} // namespace

class TestCrush : public QObject
{
  Q_OBJECT

private slots:
  void vectorsDecodeToTheirHash();
  void singleLiteral();
  void everyLengthClassAndDistanceSlot();
  void overlappingMatchesRepeatThePattern();
  void longestDistance();
  void matchesOutsideTheOutputFail();
  void streamAndBufferMustEndTogether();
  void truncatedVectorsFail();
  void bitFlipsNeverEscapeTheBuffers();
};

void TestCrush::vectorsDecodeToTheirHash()
{
  for (const TVector& Vector : allVectors()) {
    QByteArray Result;
    QVERIFY2(decode(Vector.payload, Vector.unpackedSize, &Result), qPrintable(Vector.name));
    QCOMPARE(testsupport::sha256Hex(Result), Vector.sha256);
  }
}

void TestCrush::singleLiteral()
{
  QByteArray Result;
  QVERIFY(decode(QByteArray::fromHex("8200"), 1, &Result));
  QCOMPARE(Result, QByteArray("A"));
  // The literal's last bit lies in the second byte.
  QVERIFY(!decode(QByteArray::fromHex("82"), 1));
}

void TestCrush::everyLengthClassAndDistanceSlot()
{
  // Lengths at both ends of every length class, distances at both ends of
  // the first distance slots.
  const unsigned Lengths[] = {3, 4, 6, 7, 10, 11, 14, 15, 22, 23, 54, 55, 100, 566};
  const std::uint32_t Distances[] = {1, 2, 63, 64, 65, 127, 128, 129, 255, 256, 511, 512, 1023, 1024, 3000};
  const QByteArray Seed = testsupport::pseudoRandomBytes(3000, 21);
  TCrushWriter Writer;
  QByteArray Expected;
  for (char Byte : Seed) {
    Writer.literal(std::uint8_t(Byte));
    Expected.append(Byte);
  }
  for (unsigned Length : Lengths) {
    for (std::uint32_t Distance : Distances) {
      Writer.match(Length, Distance);
      applyMatch(Expected, Length, Distance);
      Writer.literal(std::uint8_t(Length + Distance));
      Expected.append(char(Length + Distance));
    }
  }
  QByteArray Result;
  QVERIFY(decode(Writer.finish(), std::size_t(Expected.size()), &Result));
  QCOMPARE(Result, Expected);
}

void TestCrush::overlappingMatchesRepeatThePattern()
{
  TCrushWriter Writer;
  Writer.literal('a');
  Writer.literal('b');
  Writer.match(7, 2);
  Writer.match(5, 1);
  QByteArray Result;
  QVERIFY(decode(Writer.finish(), 14, &Result));
  QCOMPARE(Result, QByteArray("ababababaaaaaa"));
}

void TestCrush::longestDistance()
{
  // The largest distance the format can express is 2^21.
  const int Distance = 1 << 21;
  const QByteArray Prefix = testsupport::pseudoRandomBytes(Distance, 5);
  TCrushWriter Writer;
  for (char Byte : Prefix)
    Writer.literal(std::uint8_t(Byte));
  Writer.match(566, std::uint32_t(Distance));
  QByteArray Result;
  QVERIFY(decode(Writer.finish(), std::size_t(Distance) + 566, &Result));
  QCOMPARE(Result.left(Distance), Prefix);
  QCOMPARE(Result.mid(Distance), Prefix.left(566));
}

void TestCrush::matchesOutsideTheOutputFail()
{
  // A distance reaching one byte before the start of the output.
  {
    TCrushWriter Writer;
    Writer.literal('x');
    Writer.literal('y');
    Writer.match(3, 3);
    QVERIFY(!decode(Writer.finish(), 5));
  }
  // Reaching exactly the first byte is fine.
  {
    TCrushWriter Writer;
    Writer.literal('x');
    Writer.literal('y');
    Writer.match(3, 2);
    QByteArray Result;
    QVERIFY(decode(Writer.finish(), 5, &Result));
    QCOMPARE(Result, QByteArray("xyxyx"));
  }
  // A match at the very start of the output.
  {
    TCrushWriter Writer;
    Writer.match(3, 1);
    QVERIFY(!decode(Writer.finish(), 3));
  }
  // A match that would write past the end of the buffer.
  {
    TCrushWriter Writer;
    Writer.literal('x');
    Writer.match(10, 1);
    QVERIFY(!decode(Writer.finish(), 10));
    QVERIFY(decode(Writer.finish(), 11));
  }
  // Far distances with little output.
  {
    TCrushWriter Writer;
    for (int Index = 0; Index < 100; ++Index)
      Writer.literal('q');
    Writer.match(3, 1u << 20);
    QVERIFY(!decode(Writer.finish(), 103));
  }
}

void TestCrush::streamAndBufferMustEndTogether()
{
  TCrushWriter Writer;
  for (char Byte : QByteArray("hello world"))
    Writer.literal(std::uint8_t(Byte));
  const QByteArray Payload = Writer.finish();
  QVERIFY(decode(Payload, 11));
  // A buffer larger than what the stream holds: the stream is truncated.
  QVERIFY(!decode(Payload, 12));
  // Whole bytes after the last token do not belong to the stream.
  QVERIFY(!decode(Payload + QByteArray(1, '\0'), 11));
  // Nothing to decode.
  std::uint8_t Byte = 0;
  std::size_t Produced = 7;
  QVERIFY(!decodeCrush(reinterpret_cast<const std::uint8_t*>(Payload.constData()),
                       std::size_t(Payload.size()), &Byte, 0, Produced));
  QCOMPARE(Produced, std::size_t(0));
  QVERIFY(!decodeCrush(&Byte, 0, &Byte, 1, Produced));
}

void TestCrush::truncatedVectorsFail()
{
  for (const TVector& Vector : allVectors()) {
    const int Size = Vector.payload.size();
    // Every cut for the small vectors; for the large ones the first and last
    // 300 bytes and about 2000 cuts in between.
    const int Step = Size <= 30000 ? 1 : Size / 2000;
    for (int Cut = 1; Cut < Size; Cut += (Cut < 300 || Size - Cut < 300) ? 1 : Step) {
      if (decode(Vector.payload.left(Cut), Vector.unpackedSize))
        QFAIL(qPrintable(QString("%1 cut to %2 bytes was accepted").arg(Vector.name).arg(Cut)));
    }
  }
}

void TestCrush::bitFlipsNeverEscapeTheBuffers()
{
  // Flipped bits give wrong output or a failure; decode() itself checks the
  // guard byte and the produced size of every success.
  int Failures = 0;
  int Decodes = 0;
  for (const TVector& Vector : allVectors()) {
    const QByteArray Noise = testsupport::pseudoRandomBytes(800, quint64(Vector.payload.size()));
    for (int Index = 0; Index + 4 <= Noise.size(); Index += 4) {
      QByteArray Damaged = Vector.payload;
      const quint32 Where = quint32(std::uint8_t(Noise[Index])) | (quint32(std::uint8_t(Noise[Index + 1])) << 8) |
                            (quint32(std::uint8_t(Noise[Index + 2])) << 16);
      const int Offset = int(Where % quint32(Damaged.size()));
      Damaged[Offset] = char(Damaged[Offset] ^ (1 << (std::uint8_t(Noise[Index + 3]) & 7)));
      QByteArray Result;
      ++Decodes;
      if (!decode(Damaged, Vector.unpackedSize, &Result))
        ++Failures;
      else if (Offset != Damaged.size() - 1)  // the last byte holds the padding bits
        QVERIFY(testsupport::sha256Hex(Result) != Vector.sha256);
    }
  }
  // A flipped literal bit only changes a byte, but a flipped flag or length
  // bit shifts the rest of the stream, which then fails to end in step
  // with the buffer.
  QVERIFY2(Failures > 0, qPrintable(QString("%1 of %2 failed").arg(Failures).arg(Decodes)));
}

QTEST_GUILESS_MAIN(TestCrush)
#include "test_crush.moc"
