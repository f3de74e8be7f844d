#include "shared/codecs/codecs.h"
#include "shared/payload.h"

#include "decodertests.h"
#include "testsupport.h"

#include <QtTest>

#include <algorithm>
#include <optional>
#include <vector>

using shared::codecs::decodeCsc;

namespace {

// ---------------------------------------------------------------------------
// A small CSC stream writer: range coder, raw bit coder, models and I/O
// blocks, driven token by token. It keeps the window bytes it has coded so
// the tests know what a correct decoder must output.

class TRangeEncoder
{
public:
  void bit(unsigned Bit, std::uint16_t& Probability)
  {
    const std::uint32_t Bound = (m_Range >> 12) * Probability;
    if (Bit) {
      m_Range = Bound;
      Probability += (4095 - Probability) >> 5;
    } else {
      m_Low += Bound;
      m_Range -= Bound;
      Probability -= Probability >> 5;
    }
    if (m_Range < (1u << 24)) {
      m_Range <<= 8;
      shiftLow();
    }
  }

  void tree(unsigned Bits, std::uint16_t* Probabilities, unsigned Value)
  {
    unsigned Node = 1;
    for (int Index = int(Bits) - 1; Index >= 0; --Index) {
      const unsigned Bit = (Value >> Index) & 1;
      bit(Bit, Probabilities[Node]);
      Node = 2 * Node + Bit;
    }
  }

  QByteArray finish()
  {
    for (int Index = 0; Index < 5; ++Index)
      shiftLow();
    QByteArray Result = m_Out;
    *this = TRangeEncoder();
    return Result;
  }

private:
  void shiftLow()
  {
    if (std::uint32_t(m_Low) < 0xFF000000u || (m_Low >> 32) != 0) {
      const std::uint8_t Carry = std::uint8_t(m_Low >> 32);
      std::uint8_t Byte = m_Cache;
      do {
        m_Out.append(char(std::uint8_t(Byte + Carry)));
        Byte = 0xFF;
      } while (--m_CacheSize != 0);
      m_Cache = std::uint8_t(m_Low >> 24);
    }
    ++m_CacheSize;
    m_Low = (m_Low & 0x00FFFFFFu) << 8;
  }

  std::uint64_t m_Low = 0;
  std::uint32_t m_Range = 0xFFFFFFFFu;
  std::uint8_t m_Cache = 0;
  std::uint64_t m_CacheSize = 1;
  QByteArray m_Out;
};

class TBitEncoder
{
public:
  void put(std::uint32_t Value, unsigned Bits)
  {
    for (int Index = int(Bits) - 1; Index >= 0; --Index) {
      m_Byte = std::uint8_t((m_Byte << 1) | ((Value >> Index) & 1));
      if (++m_Count == 8) {
        m_Out.append(char(m_Byte));
        m_Byte = 0;
        m_Count = 0;
      }
    }
  }

  void integer(std::uint32_t Value)
  {
    if (Value < 2) {
      put(0, 5);
      put(Value, 1);
      return;
    }
    unsigned Exponent = 1;
    while ((Value >> (Exponent + 1)) != 0)
      ++Exponent;
    put(Exponent, 5);
    put(Value - (1u << Exponent), Exponent);
  }

  QByteArray finish()
  {
    if (m_Count > 0)
      put(0, 8 - m_Count);
    QByteArray Result = m_Out;
    *this = TBitEncoder();
    return Result;
  }

private:
  QByteArray m_Out;
  std::uint8_t m_Byte = 0;
  unsigned m_Count = 0;
};

struct TEncoderModel
{
  std::vector<std::uint16_t> state = std::vector<std::uint16_t>(64 * 3, 2048);
  std::vector<std::uint16_t> literal = std::vector<std::uint16_t>(256 * 256, 2048);
  std::vector<std::uint16_t> repeat = std::vector<std::uint16_t>(64 * 3, 2048);
  std::vector<std::uint16_t> distance = std::vector<std::uint16_t>(168, 2048);
  std::uint16_t lengthSlot[2] = {2048, 2048};
  std::vector<std::uint16_t> length1 = std::vector<std::uint16_t>(8, 2048);
  std::vector<std::uint16_t> length2 = std::vector<std::uint16_t>(8, 2048);
  std::vector<std::uint16_t> length3 = std::vector<std::uint16_t>(128, 2048);
  std::uint16_t longLength = 2048;
  std::vector<std::uint16_t> distanceLow = std::vector<std::uint16_t>(29 * 16, 2048);
  std::vector<std::uint16_t> delta = std::vector<std::uint16_t>(256 * 256, 2048);
  std::uint16_t run = 2048;
};

unsigned reverse4(unsigned Value)
{
  return ((Value & 1) << 3) | ((Value & 2) << 1) | ((Value & 4) >> 1) | ((Value & 8) >> 3);
}

class TCscWriter
{
public:
  // --- data blocks -------------------------------------------------------
  void beginLz(std::uint32_t Type = 1)
  {
    m_Bits.integer(Type);
    if (Type == 2)
      m_Bits.integer(12345);  // ignored by the decoder
  }

  void literal(std::uint8_t Byte)
  {
    m_Range.bit(0, m_Model.state[3 * m_State]);
    m_Range.tree(8, m_Model.literal.data() + 256 * m_Context, Byte);
    m_State = (m_State * 4) & 63;
    m_Context = Byte;
    m_Window.append(char(Byte));
  }

  void literals(const QByteArray& Bytes)
  {
    for (char Byte : Bytes)
      literal(std::uint8_t(Byte));
  }

  void match(std::uint32_t Length, std::uint32_t Distance)
  {
    m_Range.bit(1, m_Model.state[3 * m_State]);
    m_Range.bit(1, m_Model.state[3 * m_State + 1]);
    matchCode(Length - 2, Distance - 1);
    for (int Index = 3; Index > 0; --Index)
      m_Repeat[Index] = m_Repeat[Index - 1];
    m_Repeat[0] = Distance;
    copy(Length, Distance);
  }

  void oneByteRepeat()
  {
    m_Range.bit(1, m_Model.state[3 * m_State]);
    m_Range.bit(0, m_Model.state[3 * m_State + 1]);
    m_Range.bit(0, m_Model.state[3 * m_State + 2]);
    m_State = (m_State * 4 + 2) & 63;
    copy(1, m_Repeat[0]);
  }

  void repeatMatch(unsigned Index, std::uint32_t Length)
  {
    m_Range.bit(1, m_Model.state[3 * m_State]);
    m_Range.bit(0, m_Model.state[3 * m_State + 1]);
    m_Range.bit(1, m_Model.state[3 * m_State + 2]);
    unsigned Node = 1;
    for (int Bit = 1; Bit >= 0; --Bit) {
      const unsigned Value = (Index >> Bit) & 1;
      m_Range.bit(Value, m_Model.repeat[3 * m_State + Node - 1]);
      Node = 2 * Node + Value;
    }
    length(Length - 2);
    m_State = (m_State * 4 + 3) & 63;
    const std::uint32_t Distance = m_Repeat[Index];
    for (unsigned Move = Index; Move > 0; --Move)
      m_Repeat[Move] = m_Repeat[Move - 1];
    m_Repeat[0] = Distance;
    copy(Length, Distance);
  }

  // Ends an LZ block (the length-2, distance-65 code).
  void endLz()
  {
    m_Range.bit(1, m_Model.state[3 * m_State]);
    m_Range.bit(1, m_Model.state[3 * m_State + 1]);
    matchCode(0, 64);
  }

  // CodedType, when given, replaces the block type written to the stream.
  void stored(const QByteArray& Bytes, std::optional<std::uint32_t> CodedType = {})
  {
    m_Bits.integer(CodedType.value_or(8));
    m_Bits.integer(std::uint32_t(Bytes.size()));
    for (char Byte : Bytes)
      m_Bits.put(std::uint8_t(Byte), 8);
    m_Window += Bytes;
  }

  void entropyOnly(const QByteArray& Bytes)
  {
    m_Bits.integer(7);
    m_Bits.integer(std::uint32_t(Bytes.size()));
    for (char Byte : Bytes) {
      m_Range.tree(8, m_Model.literal.data() + 256 * m_Context, std::uint8_t(Byte));
      m_Context = std::uint8_t(Byte);
    }
    m_Window += Bytes;
  }

  // A delta block of the given type whose decoded (filtered) content is
  // Result; runs of 12 or more equal stored bytes are coded as runs.
  void delta(std::uint32_t Type, const QByteArray& Result, std::optional<std::uint32_t> CodedType = {})
  {
    static const unsigned Channels[5] = {1, 2, 3, 4, 8};
    QByteArray Stored = Result;
    if (Result.size() >= 512) {
      const unsigned Count = Channels[Type - 16];
      std::uint8_t Sum = 0;
      int Next = 0;
      for (unsigned Channel = 0; Channel < Count; ++Channel) {
        for (int Index = int(Channel); Index < Result.size(); Index += int(Count)) {
          Stored[Next++] = char(std::uint8_t(Result[Index]) - Sum);
          Sum = std::uint8_t(Result[Index]);
        }
      }
    }
    m_Bits.integer(CodedType.value_or(Type));
    m_Bits.integer(std::uint32_t(Stored.size()));
    // The previous byte of the block is both the literal context and the
    // byte a run repeats.
    unsigned Previous = 0;
    int Index = 0;
    while (Index < Stored.size()) {
      int Same = 0;
      while (Index > 0 && Index + Same < Stored.size() && std::uint8_t(Stored[Index + Same]) == Previous)
        ++Same;
      if (Same >= 11) {
        m_Range.bit(1, m_Model.run);
        length(std::uint32_t(Same - 11));
        Index += Same;
        continue;
      }
      m_Range.bit(0, m_Model.run);
      const unsigned Byte = std::uint8_t(Stored[Index++]);
      m_Range.tree(8, m_Model.delta.data() + 256 * Previous, Byte);
      Previous = Byte;
    }
    m_Window += Result;
  }

  // Ends a data block: the reset flag, and on reset the coders start over.
  void endBlock(bool Reset)
  {
    m_Bits.integer(Reset ? 1 : 0);
    if (Reset)
      flushSegment();
  }

  void endStream()
  {
    m_Bits.integer(9);
    m_Bits.integer(0);
    flushSegment();
  }

  // Raw access for hostile streams.
  TRangeEncoder& range() { return m_Range; }
  TBitEncoder& bits() { return m_Bits; }
  TEncoderModel& model() { return m_Model; }
  unsigned state() const { return m_State; }

  // The payload: header, then per coder segment its RC blocks and BC blocks.
  QByteArray payload(std::uint32_t DictionarySize = 1u << 20, std::uint32_t IoBlockSize = 0x10000,
                     std::uint32_t RawBlockSize = 0x200000) const
  {
    QByteArray Result;
    auto bigEndian = [&Result](std::uint32_t Value, int Bytes) {
      for (int Index = Bytes - 1; Index >= 0; --Index)
        Result.append(char((Value >> (8 * Index)) & 0xFF));
    };
    bigEndian(DictionarySize, 4);
    bigEndian(IoBlockSize, 3);
    bigEndian(RawBlockSize, 3);
    for (const auto& Segment : m_Segments) {
      for (int Stream = 0; Stream < 2; ++Stream) {
        const QByteArray& Bytes = Stream == 0 ? Segment.first : Segment.second;
        for (int Offset = 0; Offset < Bytes.size(); Offset += int(IoBlockSize)) {
          const int Size = std::min(int(IoBlockSize), Bytes.size() - Offset);
          const char Flag = char((Stream == 0 ? 0x80 : 0x00) | (Size == int(IoBlockSize) ? 0x40 : 0x00));
          Result.append(Flag);
          if (Size != int(IoBlockSize))
            bigEndian(std::uint32_t(Size), 3);
          Result.append(Bytes.mid(Offset, Size));
        }
      }
    }
    return Result;
  }

  // The bytes of the LZ window so far (the output, for unfiltered blocks).
  const QByteArray& window() const { return m_Window; }

  void length(std::uint32_t Value)
  {
    if (Value < 143) {
      length1(Value);
      return;
    }
    length1(143);
    std::uint32_t Rest = Value - 143;
    while (Rest >= 143) {
      m_Range.bit(0, m_Model.longLength);
      Rest -= 143;
    }
    m_Range.bit(1, m_Model.longLength);
    length1(Rest);
  }

private:
  void length1(std::uint32_t Value)
  {
    if (Value < 8) {
      m_Range.bit(0, m_Model.lengthSlot[0]);
      m_Range.tree(3, m_Model.length1.data(), Value);
    } else if (Value < 16) {
      m_Range.bit(1, m_Model.lengthSlot[0]);
      m_Range.bit(0, m_Model.lengthSlot[1]);
      m_Range.tree(3, m_Model.length2.data(), Value - 8);
    } else {
      m_Range.bit(1, m_Model.lengthSlot[0]);
      m_Range.bit(1, m_Model.lengthSlot[1]);
      m_Range.tree(7, m_Model.length3.data(), Value - 16);
    }
  }

  void matchCode(std::uint32_t LengthCode, std::uint32_t DistanceCode)
  {
    length(LengthCode);
    unsigned Slot = DistanceCode;
    if (DistanceCode > 2) {
      Slot = 3;
      while (DistanceCode >= (1u << (Slot - 1)) + 1)
        ++Slot;
    }
    std::uint16_t* Tree = m_Model.distance.data();
    if (LengthCode == 0)
      m_Range.tree(3, Tree, Slot);
    else if (LengthCode <= 2)
      m_Range.tree(4, Tree + 8 + 16 * (LengthCode - 1), Slot);
    else if (LengthCode <= 5)
      m_Range.tree(5, Tree + 40 + 32 * (LengthCode - 3), Slot);
    else
      m_Range.tree(5, Tree + 136, Slot);
    m_State = (m_State * 4 + 1) & 63;
    if (Slot > 2) {
      const unsigned Extra = Slot - 2;
      const std::uint32_t Offset = DistanceCode - ((1u << Extra) + 1);
      if (Extra > 4)
        m_Bits.put(Offset >> 4, Extra - 4);
      m_Range.tree(4, m_Model.distanceLow.data() + 16 * (Extra - 1), reverse4(Offset & 15));
    }
  }

  void copy(std::uint32_t Length, std::uint32_t Distance)
  {
    // Hostile tests code copies from before the start; their bytes do not
    // matter, the decoder must refuse them.
    for (std::uint32_t Index = 0; Index < Length; ++Index) {
      const int From = m_Window.size() - int(Distance);
      m_Window.append(Distance != 0 && From >= 0 ? m_Window.at(From) : '?');
    }
    m_Context = std::uint8_t(m_Window.back());
  }

  void flushSegment() { m_Segments.push_back({m_Range.finish(), m_Bits.finish()}); }

  TRangeEncoder m_Range;
  TBitEncoder m_Bits;
  TEncoderModel m_Model;
  unsigned m_State = 0;
  unsigned m_Context = 0;
  std::uint32_t m_Repeat[4] = {0, 0, 0, 0};
  QByteArray m_Window;
  std::vector<std::pair<QByteArray, QByteArray>> m_Segments;
};

// ---------------------------------------------------------------------------

bool decode(const QByteArray& Payload, std::size_t Capacity, QByteArray* Result = nullptr)
{
  return testsupport::decodeGuarded(decodeCsc, Payload, Capacity, Result);
}

using TVector = testsupport::TPayloadVector;

TVector loadVector(const QString& Name)
{
  return testsupport::loadPayloadVector(Name, shared::EPayloadFormat::Csc);
}

std::vector<TVector> allVectors()
{
  return testsupport::payloadVectors(shared::EPayloadFormat::Csc);
}

void setBigEndian(QByteArray& Payload, int Offset, std::uint32_t Value, int Bytes)
{
  for (int Index = 0; Index < Bytes; ++Index)
    Payload[Offset + Index] = char((Value >> (8 * (Bytes - 1 - Index))) & 0xFF);
}

// A one-block stream: LZ literals "abc", optionally a hostile token, end.
template <typename Token>
QByteArray lzStream(Token&& AfterPrefix, QByteArray* Expected = nullptr)
{
  TCscWriter Writer;
  Writer.beginLz();
  Writer.literals("abc");
  AfterPrefix(Writer);
  Writer.endLz();
  Writer.endBlock(true);
  Writer.endStream();
  if (Expected)
    *Expected = Writer.window();
  return Writer.payload();
}

} // namespace

class TestCsc : public QObject
{
  Q_OBJECT

private slots:
  void vectorsDecodeToTheirHash();
  void corruptVectorFails();
  void everyTokenKind();
  void everyBlockKind();
  void filtersApplyToTheOutputOnly();
  void windowWrapsAtTheDictionarySize();
  void headerValues();
  void ioBlocks();
  void copiesOutsideTheRulesFail();
  void blockAndOutputSizes();
  void malformedBlockSequence();
  void runawayLengthEscapeStops();
  void truncatedVectorsFail();
  void damagedVectorsStayInsideTheBuffers();
};

void TestCsc::vectorsDecodeToTheirHash()
{
  for (const TVector& Vector : allVectors()) {
    QByteArray Result;
    QVERIFY2(decode(Vector.payload, Vector.unpackedSize, &Result), qPrintable(Vector.name));
    QCOMPARE(testsupport::sha256Hex(Result), Vector.sha256);
  }
}

void TestCsc::corruptVectorFails()
{
  const TVector Corrupt = loadVector("bad.csc-corrupt.pak");
  QVERIFY(!decode(Corrupt.payload, Corrupt.unpackedSize));
}

void TestCsc::everyTokenKind()
{
  TCscWriter Writer;
  Writer.beginLz();
  const QByteArray Seed = testsupport::pseudoRandomBytes(70000, 14);
  Writer.literals(Seed);
  // Lengths around the short-code classes and the 143 escape (code = length
  // - 2), distances in every slot the data allows.
  const std::uint32_t Lengths[] = {2, 3, 9, 10, 17, 18, 144, 145, 146, 287, 288, 289, 700};
  for (std::uint32_t Length : Lengths) {
    for (std::uint32_t Distance = 1; Distance <= 69000; Distance = Distance * 2 + 1) {
      // Length 2 has distance slots 0..7 only (and distance 65 is the end
      // code), length 3 and 4 slots 0..15.
      if ((Length == 2 && Distance > 64) || (Length <= 4 && Distance > 16000))
        continue;
      Writer.match(Length, Distance);
      Writer.literal(std::uint8_t(Length ^ Distance));
    }
  }
  Writer.match(5, 17);
  Writer.match(6, 300);
  Writer.match(7, 4000);
  Writer.match(8, 50000);
  Writer.oneByteRepeat();
  for (unsigned Index : {3u, 2u, 1u, 0u, 2u, 3u}) {
    Writer.repeatMatch(Index, 4 + Index);
    Writer.literal('r');
  }
  Writer.oneByteRepeat();
  Writer.endLz();
  Writer.endBlock(false);
  Writer.endStream();

  QByteArray Result;
  QVERIFY(decode(Writer.payload(), std::size_t(Writer.window().size()), &Result));
  QCOMPARE(Result, Writer.window());
}

void TestCsc::everyBlockKind()
{
  TCscWriter Writer;
  QByteArray Expected;
  Writer.beginLz();
  Writer.literals("first block, first block, first block");
  Writer.match(20, 14);
  Writer.endLz();
  Writer.endBlock(false);
  Writer.stored(testsupport::pseudoRandomBytes(777, 1));
  Writer.endBlock(true);
  Writer.entropyOnly("literal-only block that carries on the literal context");
  Writer.endBlock(false);
  // Every delta channel count, filtered (>= 512 bytes) and not.
  for (std::uint32_t Type = 16; Type <= 20; ++Type) {
    QByteArray Ramp;
    for (int Index = 0; Index < 1500; ++Index)
      Ramp.append(char((Index * int(Type)) / 3 + (Index % 7 == 0 ? 40 : 0)));
    Ramp += QByteArray(40, 'z');  // a run
    Writer.delta(Type, Ramp);
    Writer.endBlock(Type == 18);
    Writer.delta(Type, QByteArray("short") + QByteArray(30, 'k') + "delta");
    Writer.endBlock(false);
  }
  // Later matches reach back into every kind of block.
  Writer.beginLz(1);
  Writer.literal('!');
  Writer.match(50, 2000);
  Writer.match(30, 5000);
  Writer.endLz();
  Writer.endBlock(true);
  Writer.endStream();

  QByteArray Result;
  QVERIFY(decode(Writer.payload(), std::size_t(Writer.window().size()), &Result));
  QCOMPARE(Result, Writer.window());
}

void TestCsc::filtersApplyToTheOutputOnly()
{
  // An x86 block with a converted call, an English block, then a plain
  // block that copies both back: matches see the coded bytes, the output
  // the decoded ones.
  const QByteArray X86 = QByteArray::fromHex("e8050100ff90" "90e878563412" "e9050100ff");
  // The second English block ends in an escape byte with nothing to escape.
  const QByteArray English = QByteArray::fromHex("eb20fe904141f4f4");
  const QByteArray EnglishEnd = QByteArray::fromHex("4141fe");
  const std::uint32_t Coded = std::uint32_t(X86.size() + English.size() + EnglishEnd.size());
  TCscWriter Writer;
  Writer.beginLz(3);
  Writer.literals(X86);
  Writer.endLz();
  Writer.endBlock(false);
  Writer.beginLz(2);
  Writer.literals(English);
  Writer.endLz();
  Writer.endBlock(false);
  Writer.beginLz(2);
  Writer.literals(EnglishEnd);
  Writer.endLz();
  Writer.endBlock(false);
  Writer.beginLz(1);
  Writer.match(Coded, Coded);
  Writer.endLz();
  Writer.endBlock(true);
  Writer.endStream();

  QByteArray Result;
  QVERIFY(decode(Writer.payload(), std::size_t(Writer.window().size()), &Result));
  // E8 at 0, operand FF000105: x = 0x105, unswapped 0x0A0200, minus its
  // end offset 5: 0x0A01FB. The second E8 (offset 7) has an operand that is
  // outside the converted range; the E9 at 12 ends on the last byte and is
  // never converted.
  const QByteArray X86Out = QByteArray::fromHex("e8fb010aff90" "90e878563412" "e9050100ff");
  // 0xEB = "the", 0xFE escapes 0x90, the word 0xF4 ("that") is cut at the
  // block size.
  const QByteArray EnglishOut = QByteArray("the ") + char(0x90) + "AAt";
  QCOMPARE(Result.left(X86.size()), X86Out);
  QCOMPARE(Result.mid(X86.size(), English.size()), EnglishOut);
  QCOMPARE(Result.mid(X86.size() + English.size(), EnglishEnd.size()), QByteArray("AA\xfe"));
  QCOMPARE(Result.mid(int(Coded)), X86 + English + EnglishEnd);
}

void TestCsc::windowWrapsAtTheDictionarySize()
{
  const std::uint32_t Dictionary = 32 * 1024;
  const QByteArray Seed = testsupport::pseudoRandomBytes(int(Dictionary) - 3, 9);
  auto build = [&](auto&& Tail, QByteArray* Expected) {
    TCscWriter Writer;
    Writer.beginLz();
    Writer.literals(Seed);
    Tail(Writer);
    Writer.endLz();
    Writer.endBlock(true);
    Writer.endStream();
    *Expected = Writer.window();
    return Writer.payload(Dictionary);
  };
  QByteArray Expected;
  // Literals cross the window end; a copy from just after the write
  // position reads the previous round of the window.
  QByteArray Payload = build(
      [](TCscWriter& Writer) {
        Writer.literals("wrap around");
        Writer.match(6, 32000);
      },
      &Expected);
  QByteArray Result;
  QVERIFY(decode(Payload, std::size_t(Expected.size()), &Result));
  QCOMPARE(Result, Expected);

  // A copy whose target would cross the window end fails.
  Payload = build([](TCscWriter& Writer) { Writer.match(4, 100); }, &Expected);
  QVERIFY(!decode(Payload, std::size_t(Expected.size())));
  // So does a copy whose source would cross it.
  Payload = build(
      [](TCscWriter& Writer) {
        Writer.literals("0123456789");
        Writer.match(8, 10);
      },
      &Expected);
  QVERIFY(!decode(Payload, std::size_t(Expected.size())));
  // And a distance larger than the dictionary.
  Payload = build(
      [](TCscWriter& Writer) {
        Writer.literals(QByteArray(100, 'x'));
        Writer.match(5, 32 * 1024 + 1);
      },
      &Expected);
  QVERIFY(!decode(Payload, std::size_t(Expected.size())));
}

void TestCsc::headerValues()
{
  TCscWriter Writer;
  Writer.beginLz();
  Writer.literals("header");
  Writer.endLz();
  Writer.endBlock(true);
  Writer.endStream();
  QVERIFY(decode(Writer.payload(32 * 1024), 6));
  QVERIFY(!decode(Writer.payload(32 * 1024 - 1), 6));
  // The largest dictionary is accepted, and costs no more memory than the
  // output needs.
  QVERIFY(decode(Writer.payload(1u << 30), 6));
  QVERIFY(!decode(Writer.payload((1u << 30) + 1), 6));
  QVERIFY(!decode(Writer.payload(0xFFFFFFFFu), 6));
  QByteArray Zero = Writer.payload();
  setBigEndian(Zero, 4, 0, 3);  // I/O block size
  QVERIFY(!decode(Zero, 6));
  Zero = Writer.payload();
  setBigEndian(Zero, 7, 0, 3);  // data block size
  QVERIFY(!decode(Zero, 6));
  // Header only, or less.
  QVERIFY(!decode(Writer.payload().left(10), 6));
  QVERIFY(!decode(Writer.payload().left(4), 6));
}

void TestCsc::ioBlocks()
{
  TCscWriter Writer;
  Writer.beginLz();
  Writer.literals(testsupport::pseudoRandomBytes(3000, 3));
  Writer.endLz();
  Writer.endBlock(true);
  Writer.endStream();
  // Small I/O blocks, some of them exactly full (flag bit 6, no size).
  const QByteArray Small = Writer.payload(1u << 20, 100);
  QByteArray Result;
  QVERIFY(decode(Small, 3000, &Result));
  QCOMPARE(Result, Writer.window());
  QVERIFY(Small.contains(char(0xC0)));

  // Readers with a smaller block size see blocks that are too large.
  QByteArray Changed = Small;
  setBigEndian(Changed, 4, 99, 3);
  QVERIFY(!decode(Changed, 3000));

  const QByteArray Payload = Writer.payload();
  QCOMPARE(std::uint8_t(Payload[10]), std::uint8_t(0x80));  // RC block, size follows
  // Reserved flag bits.
  Changed = Payload;
  Changed[10] = char(0x81);
  QVERIFY(!decode(Changed, 3000));
  // Block size 0.
  Changed = Payload;
  setBigEndian(Changed, 11, 0, 3);
  QVERIFY(!decode(Changed, 3000));
  // Block size beyond the end of the payload.
  Changed = Payload;
  setBigEndian(Changed, 11, std::uint32_t(Payload.size()), 3);
  QVERIFY(!decode(Changed, 3000));
  // Every block turned into a range-coder block: the bit coder finds none.
  Changed = Payload;
  for (int Offset = 10; Offset < Changed.size();) {
    const int Size = (std::uint8_t(Changed[Offset + 1]) << 16) | (std::uint8_t(Changed[Offset + 2]) << 8) |
                     std::uint8_t(Changed[Offset + 3]);
    Changed[Offset] = char(0x80);
    Offset += 4 + Size;
  }
  QVERIFY(!decode(Changed, 3000));

  // After the end: one more block of a sub-stream is what an encoder's
  // flush may leave; more blocks, or bytes that are no block, are refused.
  QVERIFY(decode(Payload + QByteArray::fromHex("00000001aa"), 3000));
  QVERIFY(!decode(Payload + QByteArray::fromHex("00000001aa00000001bb"), 3000));
  QVERIFY(!decode(Payload + QByteArray::fromHex("00"), 3000));
}

void TestCsc::copiesOutsideTheRulesFail()
{
  QByteArray Expected;
  // Reference: a match reaching exactly the first byte.
  QVERIFY(decode(lzStream([](TCscWriter& Writer) { Writer.match(5, 3); }, &Expected), 8));
  QCOMPARE(Expected, QByteArray("abcabcab"));
  // One byte further back.
  QVERIFY(!decode(lzStream([](TCscWriter& Writer) { Writer.match(5, 4); }, &Expected), 8));
  // Far beyond the output.
  QVERIFY(!decode(lzStream([](TCscWriter& Writer) { Writer.match(5, 60000); }, &Expected), 8));
  // Repeats before any match: the repeat distances are still 0.
  QVERIFY(!decode(lzStream([](TCscWriter& Writer) { Writer.oneByteRepeat(); }, &Expected), 4));
  QVERIFY(!decode(lzStream([](TCscWriter& Writer) { Writer.repeatMatch(2, 3); }, &Expected), 6));
  // The largest distance code a stream can hold (slot 31, all extra bits).
  QVERIFY(!decode(lzStream(
                      [](TCscWriter& Writer) {
                        Writer.range().bit(1, Writer.model().state[3 * Writer.state()]);
                        Writer.range().bit(1, Writer.model().state[3 * Writer.state() + 1]);
                        Writer.length(4);
                        Writer.range().tree(5, Writer.model().distance.data() + 72, 31);
                        Writer.bits().put(0x1FFFFFF, 25);
                        Writer.range().tree(4, Writer.model().distanceLow.data() + 16 * 28, 15);
                        Writer.literals("more");
                      },
                      &Expected),
                  7));
}

void TestCsc::blockAndOutputSizes()
{
  QByteArray Expected;
  const QByteArray Payload = lzStream([](TCscWriter& Writer) { Writer.match(7, 3); }, &Expected);
  QCOMPARE(Expected.size(), 10);
  QVERIFY(decode(Payload, 10));
  // The output buffer is one byte short: the match would overrun it.
  QVERIFY(!decode(Payload, 9));
  // The stream ends before the buffer is full.
  QVERIFY(!decode(Payload, 11));

  // raw_blocksize bounds every block, literals included.
  TCscWriter Writer;
  Writer.beginLz();
  Writer.literals("12345");
  Writer.endLz();
  Writer.endBlock(false);
  Writer.stored("678");
  Writer.endBlock(true);
  Writer.endStream();
  QVERIFY(decode(Writer.payload(1u << 20, 0x10000, 5), 8));
  QVERIFY(!decode(Writer.payload(1u << 20, 0x10000, 4), 8));
  // A literal that would overrun the output buffer.
  QVERIFY(!decode(Writer.payload(), 3));
  // A stored block larger than the output.
  QVERIFY(!decode(Writer.payload(), 7));
  // A match longer than raw_blocksize allows.
  QByteArray Small = Payload;
  setBigEndian(Small, 7, 9, 3);
  QVERIFY(!decode(Small, 10));
}

void TestCsc::malformedBlockSequence()
{
  auto stream = [](auto&& Body) {
    TCscWriter Writer;
    Body(Writer);
    Writer.endStream();
    return Writer.payload();
  };
  // Reference: a stored block, then the end.
  QVERIFY(decode(stream([](TCscWriter& Writer) {
                   Writer.stored("ok");
                   Writer.endBlock(false);
                 }),
                 2));
  QVERIFY(decode(stream([](TCscWriter& Writer) {
                   Writer.delta(16, "ok");
                   Writer.endBlock(false);
                 }),
                 2));
  // Unknown block types, followed by a well-formed stored or delta body.
  for (std::uint32_t Type : {0u, 4u, 5u, 6u, 10u, 11u, 15u, 21u, 1000u}) {
    QVERIFY2(!decode(stream([Type](TCscWriter& Writer) {
                       Writer.stored("ok", Type);
                       Writer.endBlock(false);
                     }),
                     2),
             qPrintable(QString::number(Type)));
    QVERIFY2(!decode(stream([Type](TCscWriter& Writer) {
                       Writer.delta(16, "ok", Type);
                       Writer.endBlock(false);
                     }),
                     2),
             qPrintable(QString::number(Type)));
  }
  // A reset flag other than 0 or 1.
  QVERIFY(!decode(stream([](TCscWriter& Writer) {
                    Writer.stored("ok");
                    Writer.bits().integer(2);
                  }),
                  2));
  // Empty blocks.
  QVERIFY(!decode(stream([](TCscWriter& Writer) {
                    Writer.stored("");
                    Writer.endBlock(false);
                    Writer.stored("ok");
                    Writer.endBlock(false);
                  }),
                  2));
  QVERIFY(!decode(stream([](TCscWriter& Writer) {
                    Writer.beginLz();
                    Writer.endLz();
                    Writer.endBlock(false);
                    Writer.stored("ok");
                    Writer.endBlock(false);
                  }),
                  2));
  // Stored-block size above raw_blocksize (the default 2 MiB).
  QVERIFY(!decode(stream([](TCscWriter& Writer) {
                    Writer.bits().integer(8);
                    Writer.bits().integer(0x200001);
                  }),
                  0x200001));
  // A delta block that starts with a run.
  QVERIFY(!decode(stream([](TCscWriter& Writer) {
                    Writer.bits().integer(16);
                    Writer.bits().integer(20);
                    Writer.range().bit(1, Writer.model().run);
                    Writer.length(9);
                    Writer.endBlock(false);
                  }),
                  20));
  // No end block: the stream runs out.
  {
    TCscWriter Writer;
    Writer.stored("ok");
    Writer.endBlock(true);
    QVERIFY(!decode(Writer.payload(), 2));
  }
}

void TestCsc::runawayLengthEscapeStops()
{
  // A length escape followed by a long series of "one more 143" bits whose
  // probability soon makes them almost free: the decoder must stop at the
  // block limit instead of counting on.
  TCscWriter Writer;
  Writer.beginLz();
  Writer.literals("abc");
  Writer.range().bit(1, Writer.model().state[3 * Writer.state()]);
  Writer.range().bit(1, Writer.model().state[3 * Writer.state() + 1]);
  Writer.length(143 * 200000);
  Writer.range().tree(5, Writer.model().distance.data() + 136, 0);
  Writer.endLz();
  Writer.endBlock(true);
  Writer.endStream();
  const QByteArray Payload = Writer.payload();
  QVERIFY(Payload.size() < 20000);
  QVERIFY(!decode(Payload, 1000));
}

void TestCsc::truncatedVectorsFail()
{
  for (const TVector& Vector : allVectors()) {
    const int Size = Vector.payload.size();
    // Every cut within the first and last 200 bytes, about 300 in between.
    const int Step = std::max(1, Size / 300);
    for (int Cut = 1; Cut < Size; Cut += (Cut < 200 || Size - Cut < 200) ? 1 : Step) {
      if (decode(Vector.payload.left(Cut), Vector.unpackedSize))
        QFAIL(qPrintable(QString("%1 cut to %2 bytes was accepted").arg(Vector.name).arg(Cut)));
    }
  }
}

void TestCsc::damagedVectorsStayInsideTheBuffers()
{
  // Inverted bytes and flipped bits anywhere: the decoder fails or yields
  // other bytes, never touches memory outside its buffers (decode() checks
  // the guard byte and the produced size of every success).
  int Failures = 0;
  int Decodes = 0;
  for (const TVector& Vector : allVectors()) {
    if (Vector.payload.size() > 300000)
      continue;  // mixed.14 is covered by the truncation test; keep this fast
    // Stored bits (random.14) carry no redundancy: damage there only
    // changes bytes. Range-coded data is what must mostly be detected.
    const bool Coded = !Vector.name.startsWith("random");
    const QByteArray Noise = testsupport::pseudoRandomBytes(1200, quint64(Vector.payload.size()));
    for (int Index = 0; Index + 4 <= Noise.size(); Index += 4) {
      QByteArray Damaged = Vector.payload;
      const quint32 Where = quint32(std::uint8_t(Noise[Index])) | (quint32(std::uint8_t(Noise[Index + 1])) << 8) |
                            (quint32(std::uint8_t(Noise[Index + 2])) << 16);
      const int Offset = int(Where % quint32(Damaged.size()));
      if ((Noise[Index + 3] & 0x80) != 0) {
        for (int Byte = Offset; Byte < std::min(Offset + 4, Damaged.size()); ++Byte)
          Damaged[Byte] = char(~Damaged[Byte]);
      } else {
        Damaged[Offset] = char(Damaged[Offset] ^ (1 << (Noise[Index + 3] & 7)));
      }
      QByteArray Result;
      const bool Ok = decode(Damaged, Vector.unpackedSize, &Result);
      if (Coded) {
        ++Decodes;
        Failures += Ok ? 0 : 1;
      }
    }
  }
  QVERIFY2(Failures > Decodes / 2, qPrintable(QString("%1 of %2 failed").arg(Failures).arg(Decodes)));
}

QTEST_GUILESS_MAIN(TestCsc)
#include "test_csc.moc"
