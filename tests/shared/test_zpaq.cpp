#include "shared/codecs/codecs.h"
#include "shared/codecs/sha1.h"
#include "shared/payload.h"

#include "testsupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QtTest>

#include <functional>
#include <thread>
#include <vector>

using shared::codecs::decodeZpaq;

namespace {

struct TResult
{
  bool ok = false;
  QByteArray output;  // the Produced bytes
};

TResult decode(const QByteArray& Payload, std::size_t Capacity)
{
  std::vector<std::uint8_t> Buffer(Capacity + 1, 0xEE);
  std::size_t Produced = 12345;
  TResult Result;
  Result.ok = decodeZpaq(reinterpret_cast<const std::uint8_t*>(Payload.constData()),
                         std::size_t(Payload.size()), Buffer.data(), Capacity, Produced);
  // The byte after the buffer is a guard: nothing may be written there.
  if (Buffer[Capacity] != 0xEE)
    qFatal("decoder wrote past the end of its output buffer");
  if (Result.ok)
    Result.output = QByteArray(reinterpret_cast<const char*>(Buffer.data()), int(Produced));
  else if (Produced != 0)
    qFatal("failed decode reported produced bytes");
  return Result;
}

QString vectorPath(const QString& File)
{
  return testsupport::testDataDirectory() + "/payloads/" + File;
}

// The payload of a container file, and its declared unpacked size.
QByteArray payloadOf(const QString& File, qint64* UnpackedSize = nullptr)
{
  const QByteArray Data = testsupport::readWholeFile(vectorPath(File));
  const auto Header = shared::readPayloadHeader(Data.constData(), std::size_t(Data.size()));
  if (!Header)
    qFatal("not a container: %s", qPrintable(File));
  if (UnpackedSize)
    *UnpackedSize = qint64(Header->unpackedSize);
  return Data.mid(int(Header->payloadOffset), int(Header->packedSize));
}

QByteArray rawOf(const QString& File)
{
  return testsupport::readWholeFile(vectorPath(File));
}

// Offsets inside a one-block payload that starts with the locator tag.
struct TLayout
{
  int level = 0;        // level byte
  int header = 0;       // first header byte (hh)
  int headerSize = 0;   // hsize
  std::vector<int> components;  // offset of every component's type byte
  int hcomp = 0;        // first HCOMP byte
  int hcompEnd = 0;     // offset of the final 0 of the header
};

TLayout layoutOf(const QByteArray& Payload)
{
  static const int Sizes[10] = {0, 2, 3, 2, 3, 4, 6, 6, 3, 5};
  TLayout Layout;
  Layout.level = 16;
  Layout.headerSize = quint8(Payload[18]) | quint8(Payload[19]) << 8;
  Layout.header = 20;
  const int Count = quint8(Payload[Layout.header + 4]);
  int Offset = Layout.header + 5;
  for (int Index = 0; Index < Count; ++Index) {
    Layout.components.push_back(Offset);
    Offset += Sizes[quint8(Payload[Offset])];
  }
  Layout.hcomp = Offset + 1;
  Layout.hcompEnd = Layout.header + Layout.headerSize - 1;
  return Layout;
}

QByteArray bigEndian32(quint32 Value)
{
  QByteArray Out;
  for (int Shift = 24; Shift >= 0; Shift -= 8)
    Out.append(char((Value >> Shift) & 0xFF));
  return Out;
}

QByteArray sha1Of(const QByteArray& Data)
{
  return QCryptographicHash::hash(Data, QCryptographicHash::Sha1);
}

// ---------------------------------------------------------------------------
// Writing ZPAQ streams by hand

const QByteArray kTag = QByteArray::fromHex("376B5374A03183D38CB228B0D3");

// Block header bytes: hh hm ph pm n, the component descriptors, 0, HCOMP, 0.
QByteArray blockHeader(int Hh, int Hm, int Ph, int Pm, int Count, const QByteArray& Components,
                       const QByteArray& Hcomp)
{
  QByteArray Header;
  for (int Value : {Hh, Hm, Ph, Pm, Count})
    Header.append(char(Value));
  Header += Components;
  Header.append('\0');
  Header += Hcomp;
  Header.append('\0');
  return Header;
}

// A block: optional tag, "zPQ", level, 1, hsize, header, segments, 0xFF.
QByteArray block(int Level, const QByteArray& Header, const QByteArray& Segments, bool Tag = true)
{
  QByteArray Out = Tag ? kTag : QByteArray();
  Out += "zPQ";
  Out.append(char(Level));
  Out.append(char(1));
  Out.append(char(Header.size() & 0xFF));
  Out.append(char(Header.size() >> 8));
  Out += Header;
  Out += Segments;
  Out.append(char(0xFF));
  return Out;
}

// A segment around already coded data; Output is what it decodes to (for
// the checksum), or a null array for a segment without checksum.
QByteArray segment(const QByteArray& Data, const QByteArray& Output, const QByteArray& Name = "")
{
  QByteArray Out;
  Out.append(char(1));
  Out += Name;
  Out.append('\0');
  Out += "comment";
  Out.append('\0');
  Out.append('\0');
  Out += Data;
  if (Output.isNull()) {
    Out.append(char(0xFE));
  } else {
    Out.append(char(0xFD));
    Out += sha1Of(Output);
  }
  return Out;
}

// Coded data of a block without components: counted runs, then a 0 count.
QByteArray storedData(const QByteArray& Bytes)
{
  if (Bytes.isEmpty())
    return bigEndian32(0);
  return bigEndian32(quint32(Bytes.size())) + Bytes + bigEndian32(0);
}

// The post-processor prefix that sends a PCOMP program.
QByteArray pcompPrefix(const QByteArray& Program)
{
  QByteArray Out;
  Out.append(char(1));
  Out.append(char(Program.size() & 0xFF));
  Out.append(char(Program.size() >> 8));
  return Out + Program;
}

// Arithmetic coder for a model whose prediction never changes (a single
// CONS 128 component: P(1) = 1/2, coded as 32769 in 16 bits).
class TConstantModelEncoder
{
public:
  void byte(quint8 Value)
  {
    encode(0, 0);  // not the end of the segment
    for (int Bit = 7; Bit >= 0; --Bit)
      encode((Value >> Bit) & 1, kProbability);
  }

  void bytes(const QByteArray& Values)
  {
    for (char Value : Values)
      byte(quint8(Value));
  }

  // Ends the segment and returns its coded data (with the zero end code).
  QByteArray endSegment()
  {
    encode(1, 0);
    m_out += QByteArray(4, '\0');
    QByteArray Out = m_out;
    m_out.clear();
    return Out;
  }

  static QByteArray header(int Ph = 0, int Pm = 0)
  {
    return blockHeader(0, 0, Ph, Pm, 1, QByteArray::fromHex("0180"), QByteArray(1, char(56)));
  }

private:
  static constexpr quint32 kProbability = 16384 * 2 + 1;

  void encode(int Y, quint32 Probability)
  {
    const quint32 Mid = m_low + quint32((quint64(m_high - m_low) * Probability) >> 16);
    if (Y)
      m_high = Mid;
    else
      m_low = Mid + 1;
    while ((m_high ^ m_low) < 0x01000000u) {
      m_out.append(char(m_high >> 24));
      m_high = m_high << 8 | 255;
      m_low <<= 8;
      m_low += m_low == 0;
    }
  }

  quint32 m_low = 1;
  quint32 m_high = 0xFFFFFFFFu;
  QByteArray m_out;
};

// PCOMP that outputs every input byte plus one (A > 255 only at the end of a
// segment, where it outputs nothing).
const QByteArray kAddOneProgram = QByteArray::fromHex("EFFF27020139" "38");

// ---------------------------------------------------------------------------
// A PCOMP program that exercises the ZPAQL instruction set. For input 0 it
// outputs the bytes of expectedInstructionResults(); at the end of a
// segment (A = 0xFFFFFFFF) it outputs nothing. It needs ph >= 1, pm = 4.

QByteArray instructionProgram()
{
  QByteArray P;
  auto put = [&P](std::initializer_list<int> Bytes) {
    for (int Byte : Bytes)
      P.append(char(Byte & 0xFF));
  };
  put({223, 0, 39, 3});       // A==0; JT over the long jump
  const int ToEnd = P.size();  // LJ end, patched below
  put({255, 0, 0});

  put({71, 200, 135, 100, 57});          // A=200 A+=100 OUT          -> 44
  put({215, 8, 57});                     // A>>=8 OUT                  -> 1
  put({71, 7, 79, 0, 153, 57});          // A=7 B=0 A/=B OUT           -> 0
  put({71, 7, 161, 57});                 // A=7 A%=B OUT               -> 0
  put({71, 250, 151, 3, 57});            // A=250 A*=3 OUT             -> 238
  put({71, 1, 79, 33, 201, 57});         // A=1 B=33 A<<=B (by 1) OUT  -> 2
  put({4, 2, 215, 24, 57});              // A=0 A-- A>>=24 OUT         -> 255
  put({71, 0x5A, 3, 57});                // A=0x5A A! OUT              -> 0xA5
  put({79, 3, 103, 0x11, 4, 2, 143, 0xDD});  // B=3 *B=0x11 A=0xFFFFFF22
  put({32, 57, 215, 8, 57, 68, 57});     // *B<>A OUT A>>=8 OUT A=*B OUT -> 0x11 0xFF 0x22
  put({71, 5, 59, 57, 215, 8, 57});      // A=5 HASH OUT A>>=8 OUT
  put({95, 1, 119, 7, 71, 9, 60, 70, 57, 215, 8, 57});  // D=1 *D=7 A=9 HASHD A=*D OUT A>>=8 OUT
  put({71, 3, 48, 57, 70, 57});          // A=3 *D<>A OUT A=*D OUT      -> hashd 3
  put({71, 77, 55, 5, 4, 7, 5, 57});     // A=77 R5=A A=0 A=R5 OUT      -> 77
  put({71, 10, 231, 20, 39, 2, 71, 99, 57});  // A<20 JT skips A=99 -> 10
  put({239, 20, 47, 2, 71, 99, 57});          // A>20 false, JF skips -> 10
  put({223, 10, 47, 2, 71, 42, 57});          // A==10 true, JF falls through -> 42
  const int Forward = P.size();
  put({255, 0, 0, 71, 13, 57});               // LJ over A=13 OUT
  const int ForwardTarget = P.size();
  put({71, 14, 57});                          // -> 14
  P[Forward + 1] = char(ForwardTarget & 0xFF);
  P[Forward + 2] = char(ForwardTarget >> 8);
  put({4, 55, 1, 87, 3});                     // R1=0 C=3
  const int Loop = P.size();
  put({7, 1, 135, 5, 55, 1, 66, 2, 80, 239, 0, 39});  // R1+=5 C-- (via A) A>0 JT loop
  put({(Loop - (P.size() + 1)) & 0xFF});
  put({7, 1, 57});                            // -> 15
  put({87, 10, 111, 0x33, 41, 69, 57});       // C=10 *C=0x33 *C++ A=*C OUT -> 0x34
  put({79, 19, 68, 57});                      // B=19 (M has 16 bytes: M[3]) A=*B OUT -> 0x22
  put({71, 17, 167, 5, 57, 71, 17, 159, 5, 57});  // 17%5 OUT 17/5 OUT -> 2 3
  put({71, 0xF0, 175, 0x3C, 57});              // A&=N   -> 0x30
  put({71, 0xFF, 183, 0x0F, 57});              // A&~=N  -> 0xF0
  put({71, 0x0F, 191, 0x30, 57});              // A|=N   -> 0x3F
  put({71, 0x5A, 199, 0xFF, 57});              // A^=N   -> 0xA5
  put({71, 1, 79, 2, 8, 57, 65, 57});          // A=1 B=2 B<>A OUT A=B OUT -> 2 1
  put({95, 0, 119, 5, 49, 70, 57});            // D=0 *D=5 *D++ A=*D OUT -> 6
  put({79, 4, 103, 9, 34, 68, 57});            // B=4 *B=9 *B-- A=*B OUT -> 8
  put({87, 5, 111, 0x0F, 43, 69, 57});         // C=5 *C=0x0F *C! A=*C OUT -> 0xF0
  put({71, 200, 79, 100, 137, 57});            // A=200 B=100 A-=B OUT -> 100
  const int End = P.size();
  put({56});                                  // HALT
  P[ToEnd + 1] = char(End & 0xFF);
  P[ToEnd + 2] = char(End >> 8);
  return P;
}

QByteArray expectedInstructionResults()
{
  const quint32 Hash = (5u + 0x22u + 512u) * 773u;
  const quint32 HashD = (7u + 9u + 512u) * 773u;
  QByteArray Out;
  for (quint32 Value : {44u, 1u, 0u, 0u, 238u, 2u, 255u, 0xA5u, 0x11u, 0xFFu, 0x22u, Hash, Hash >> 8,
                        HashD, HashD >> 8, HashD, 3u, 77u, 10u, 10u, 42u, 14u, 15u, 0x34u, 0x22u,
                        2u, 3u, 0x30u, 0xF0u, 0x3Fu, 0xA5u, 2u, 1u, 6u, 8u, 0xF0u, 100u})
    Out.append(char(Value & 0xFF));
  return Out;
}

} // namespace

class TestZpaq : public QObject
{
  Q_OBJECT

private slots:
  void sha1MatchesReference();
  void vectors_data();
  void vectors();
  void corruptVectorFails();
  void outputBufferBounds();
  void truncatedStreamsFail();
  void bitFlipsFailOrDecodeTheSameBytes();
  void hostileHeadersFail();
  void runawayProgramsAreStopped();
  void multipleBlocks();
  void storedBlocksAndSegments();
  void instructionSet();
  void modelledSegmentsAndPostProcessor();
  void concurrentDecodesShareMemoryBudget();
};

void TestZpaq::sha1MatchesReference()
{
  for (int Size : {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 100000}) {
    const QByteArray Data = testsupport::pseudoRandomBytes(Size, quint64(Size) + 1);
    const auto Digest = shared::codecs::sha1(reinterpret_cast<const std::uint8_t*>(Data.constData()),
                                             std::size_t(Data.size()));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(Digest.data()), 20), sha1Of(Data));
  }
  const QByteArray Abc("abc");
  const auto Digest = shared::codecs::sha1(reinterpret_cast<const std::uint8_t*>(Abc.constData()), 3);
  QCOMPARE(QByteArray(reinterpret_cast<const char*>(Digest.data()), 20).toHex(),
           QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
}

void TestZpaq::vectors_data()
{
  QTest::addColumn<QString>("Name");
  for (const char* Name : {"tiny", "text", "random", "mixed"})
    QTest::newRow(Name) << QString(Name);
}

void TestZpaq::vectors()
{
  QFETCH(QString, Name);
  qint64 Unpacked = 0;
  const QByteArray Payload = payloadOf(Name + ".6.pak", &Unpacked);
  const QByteArray Raw = rawOf(Name + ".raw");
  QCOMPARE(Unpacked, qint64(Raw.size()));

  QElapsedTimer Timer;
  Timer.start();
  const TResult Result = decode(Payload, std::size_t(Unpacked));
  const qint64 Nanoseconds = Timer.nsecsElapsed();
  QVERIFY(Result.ok);
  QCOMPARE(Result.output.size(), Raw.size());
  QVERIFY(Result.output == Raw);
  qInfo("zpaq %s: %lld bytes in %.3f s, %.2f MB/s", qPrintable(Name), Unpacked,
        double(Nanoseconds) / 1e9, double(Unpacked) * 1e3 / double(Nanoseconds));

  // A larger buffer is fine: the stream ends where it ends.
  if (Unpacked <= 65536) {
    const TResult Larger = decode(Payload, std::size_t(Unpacked) + 100);
    QVERIFY(Larger.ok);
    QVERIFY(Larger.output == Raw);
  }
}

void TestZpaq::corruptVectorFails()
{
  qint64 Unpacked = 0;
  const QByteArray Payload = payloadOf("bad.zpaq-corrupt.pak", &Unpacked);
  QVERIFY(!decode(Payload, std::size_t(Unpacked)).ok);
  QByteArray Result;
  QVERIFY(!shared::unpackPayload(rawOf("bad.zpaq-corrupt.pak"), Result));
}

void TestZpaq::outputBufferBounds()
{
  qint64 Unpacked = 0;
  const QByteArray Text = payloadOf("text.6.pak", &Unpacked);
  // One byte short: the output would not fit.
  QVERIFY(!decode(Text, std::size_t(Unpacked) - 1).ok);
  QVERIFY(!decode(payloadOf("tiny.6.pak"), 0).ok);
  // Empty input.
  std::uint8_t Byte = 0;
  std::size_t Produced = 1;
  QVERIFY(!decodeZpaq(&Byte, 0, &Byte, 1, Produced));
  QCOMPARE(Produced, std::size_t(0));
}

void TestZpaq::truncatedStreamsFail()
{
  const QByteArray Tiny = payloadOf("tiny.6.pak");
  for (int Size = 0; Size < Tiny.size(); ++Size)
    QVERIFY2(!decode(Tiny.left(Size), 1).ok, qPrintable(QString("cut at %1").arg(Size)));

  const QByteArray Text = payloadOf("text.6.pak");
  for (int Size = 1; Size < Text.size(); Size += Text.size() / 29 + 1)
    QVERIFY2(!decode(Text.left(Size), 65536).ok, qPrintable(QString("cut at %1").arg(Size)));
  for (int Cut = 1; Cut <= 25; ++Cut)
    QVERIFY2(!decode(Text.left(Text.size() - Cut), 65536).ok, qPrintable(QString("cut %1").arg(Cut)));
}

void TestZpaq::bitFlipsFailOrDecodeTheSameBytes()
{
  // The segment checksum catches changed output; a flip may only succeed
  // where it touches bytes that do not matter (the segment comment).
  const QByteArray Tiny = payloadOf("tiny.6.pak");
  const QByteArray TinyRaw = rawOf("tiny.raw");
  int Succeeded = 0;
  for (int Offset = 0; Offset < Tiny.size(); ++Offset) {
    QByteArray Flipped = Tiny;
    Flipped[Offset] = char(Flipped[Offset] ^ (1 << (Offset % 8)));
    const TResult Result = decode(Flipped, 1);
    if (Result.ok) {
      ++Succeeded;
      QVERIFY2(Result.output == TinyRaw, qPrintable(QString("flip at %1").arg(Offset)));
    }
  }
  qInfo("%d of %d single-bit changes of tiny.6 decode (to the same byte)", Succeeded, Tiny.size());

  const QByteArray Text = payloadOf("text.6.pak");
  const QByteArray TextRaw = rawOf("text.raw");
  for (int Step = 0; Step < 16; ++Step) {
    const int Offset = int((quint64(Step) * 7919 + 300) % quint64(Text.size()));
    QByteArray Flipped = Text;
    Flipped[Offset] = char(Flipped[Offset] ^ (0x80 >> (Step % 8)));
    const TResult Result = decode(Flipped, 65536);
    QVERIFY2(!Result.ok || Result.output == TextRaw, qPrintable(QString("flip at %1").arg(Offset)));
  }
}

void TestZpaq::hostileHeadersFail()
{
  const QByteArray Text = payloadOf("text.6.pak");
  const TLayout L = layoutOf(Text);
  QCOMPARE(L.components.size(), std::size_t(27));
  QCOMPARE(quint8(Text[L.hcompEnd]), quint8(0));

  struct TCase
  {
    const char* name;
    std::function<void(QByteArray&)> change;
  };
  auto set = [](int Offset, int Value) {
    return [Offset, Value](QByteArray& P) { P[Offset] = char(Value); };
  };
  // HCOMP replaced by a program of the same length (padded with HALT).
  auto hcomp = [&L](QByteArray Code) {
    if (Code.size() > L.hcompEnd - L.hcomp)
      qFatal("replacement HCOMP too long");
    return [&L, Code](QByteArray& P) {
      for (int Offset = L.hcomp; Offset < L.hcompEnd; ++Offset)
        P[Offset] = char(56);
      for (int Index = 0; Index < Code.size(); ++Index)
        P[L.hcomp + Index] = Code[Index];
    };
  };
  const int Isse = L.components[1];   // ISSE 14,0
  const int Mix = L.components[22];   // MIX 8,0,22,24,255
  const int Mix2 = L.components[24];  // MIX2 8,23,22,24,255
  const int Sse = L.components[25];   // SSE 19,24,32,255
  const std::vector<TCase> Cases = {
      {"no tag", set(0, 0x36)},
      {"no zPQ", set(14, 'p')},
      {"level 0", set(L.level, 0)},
      {"level 3", set(L.level, 3)},
      {"type byte 2", set(L.level + 1, 2)},
      {"hsize beyond the payload", set(19, 0xF0)},
      {"hsize too small", [](QByteArray& P) {
         P[18] = char(6);
         P[19] = char(0);
       }},
      {"hh 32", set(L.header, 32)},
      {"hh 255", set(L.header, 255)},
      {"hm 64", set(L.header + 1, 64)},
      {"ph 200", set(L.header + 2, 200)},
      {"pm 40", set(L.header + 3, 40)},
      {"unknown component type 10", set(L.components[0], 10)},
      {"component type 0", set(L.components[0], 0)},
      {"ISSE input is itself", set(Isse + 2, 1)},
      {"ISSE input after itself", set(Isse + 2, 200)},
      {"MIX inputs run past its index", set(Mix + 3, 23)},
      {"MIX with no inputs", set(Mix + 3, 0)},
      {"MIX first input out of range", set(Mix + 2, 22)},
      {"MIX2 input out of range", set(Mix2 + 3, 24)},
      {"SSE input out of range", set(Sse + 2, 25)},
      {"SSE table of 2^31 entries", set(Sse + 1, 26)},
      {"ICM table of 2^30 slots", set(L.components[0] + 1, 28)},
      {"ICM table of 1 GiB, over the memory limit", set(L.components[0] + 1, 24)},
      {"CM table of 2^29 counters", set(L.components[2] + 1, 29)},
      {"MATCH buffer of 2^40 bytes", set(L.components[11] + 2, 40)},
      {"component count larger than the list", set(L.header + 4, 60)},
      {"missing 0 after the components", set(L.hcomp - 1, 7)},
      {"missing 0 at the end of HCOMP", set(L.hcompEnd, 56)},
      {"undefined opcode in HCOMP", hcomp(QByteArray::fromHex("05"))},
      {"HCOMP running off its end", hcomp(QByteArray(L.hcompEnd - L.hcomp, char(1)))},
      {"HCOMP jump before the program", hcomp(QByteArray::fromHex("3F80"))},
      {"HCOMP jump after the program", hcomp(QByteArray::fromHex("4700") + QByteArray(190, char(1)) +
                                             QByteArray::fromHex("3F7F"))},
      {"HCOMP long jump outside the program", hcomp(QByteArray::fromHex("FFFFFF"))},
      {"segment start neither 01 nor FF", set(L.header + L.headerSize, 2)},
      {"end of block marker missing", [](QByteArray& P) { P[P.size() - 1] = char(0x01); }},
      {"checksum marker FC", set(Text.size() - 22, 0xFC)},
      {"checksum changed", set(Text.size() - 2, Text[Text.size() - 2] ^ 1)},
      {"garbage after the block", [](QByteArray& P) { P += "junk"; }},
      {"second block cut short", [&Text](QByteArray& P) { P += Text.left(40); }},
  };
  for (const TCase& Case : Cases) {
    QByteArray Changed = Text;
    Case.change(Changed);
    QVERIFY2(Changed != Text, Case.name);
    QVERIFY2(!decode(Changed, 65536).ok, Case.name);
  }

  // Mixers over 200 CONS 128 components: their output stays 0, so the
  // constant-model coder can write the data. One mixer of 200 inputs is
  // accepted, two exceed the bound on mixer inputs per block.
  TConstantModelEncoder Encoder;
  Encoder.byte(0);
  Encoder.bytes("xyz");
  const QByteArray Coded = Encoder.endSegment();
  auto mixers = [&Coded](int Count) {
    QByteArray Components;
    for (int Index = 0; Index < 200; ++Index)
      Components += QByteArray::fromHex("0180");
    for (int Index = 0; Index < Count; ++Index)
      Components += QByteArray::fromHex("070000C818FF");  // MIX 0,0,200,24,255
    return block(1, blockHeader(0, 0, 0, 0, 200 + Count, Components, QByteArray(1, char(56))),
                 segment(Coded, "xyz"));
  };
  const TResult OneMixer = decode(mixers(1), 3);
  QVERIFY(OneMixer.ok);
  QCOMPARE(OneMixer.output, QByteArray("xyz"));
  QVERIFY(!decode(mixers(2), 3).ok);

  // Level 1 blocks need components.
  QVERIFY(!decode(block(1, blockHeader(0, 0, 0, 0, 0, "", ""), segment(storedData(QByteArray("\0x", 2)), "x")),
                  10)
               .ok);
  QVERIFY(decode(block(2, blockHeader(0, 0, 0, 0, 0, "", ""), segment(storedData(QByteArray("\0x", 2)), "x")), 10)
              .ok);
}

void TestZpaq::runawayProgramsAreStopped()
{
  // HCOMP that loops forever after the first byte: JMP -2.
  QByteArray Text = payloadOf("text.6.pak");
  const TLayout L = layoutOf(Text);
  Text[L.hcomp] = char(63);
  Text[L.hcomp + 1] = char(0xFE);
  QVERIFY(!decode(Text, 65536).ok);

  // The same in PCOMP, in a stored block.
  const QByteArray Loop = QByteArray::fromHex("3FFE");
  const QByteArray Stream = block(2, blockHeader(0, 0, 0, 0, 0, "", ""),
                                  segment(storedData(pcompPrefix(Loop) + "abc"), QByteArray()));
  QVERIFY(!decode(Stream, 1000).ok);

  // A PCOMP that outputs more than the buffer holds: OUT in a loop.
  const QByteArray Spill = QByteArray::fromHex("393FFD");
  QVERIFY(!decode(block(2, blockHeader(0, 0, 0, 0, 0, "", ""),
                        segment(storedData(pcompPrefix(Spill) + "a"), QByteArray())),
                  1000)
               .ok);
}

void TestZpaq::multipleBlocks()
{
  const QByteArray Text = payloadOf("text.6.pak");
  const QByteArray Tiny = payloadOf("tiny.6.pak");
  const QByteArray Expected = rawOf("text.raw") + rawOf("tiny.raw");

  TResult Result = decode(Text + Tiny, std::size_t(Expected.size()));
  QVERIFY(Result.ok);
  QVERIFY(Result.output == Expected);

  // The locator tag before a block is optional.
  Result = decode(Text + Tiny.mid(13), std::size_t(Expected.size()));
  QVERIFY(Result.ok);
  QVERIFY(Result.output == Expected);

  // The second block must fit as well.
  QVERIFY(!decode(Text + Tiny, std::size_t(Expected.size()) - 1).ok);

  // A block from the reference packer followed by a stored one.
  const QByteArray Stored = block(2, blockHeader(0, 0, 0, 0, 0, "", ""),
                                  segment(storedData(QByteArray("\0tail", 5)), "tail"));
  Result = decode(Tiny + Stored + Tiny, 6);
  QVERIFY(Result.ok);
  QCOMPARE(Result.output, rawOf("tiny.raw") + "tail" + rawOf("tiny.raw"));
}

void TestZpaq::storedBlocksAndSegments()
{
  const QByteArray Header = blockHeader(0, 0, 0, 0, 0, "", "");
  // Several segments; the post-processor choice is made once per block.
  const QByteArray Data1 = bigEndian32(3) + QByteArray("\0ab", 3) + bigEndian32(2) + "cd" + bigEndian32(0);
  const QByteArray Stream =
      block(2, Header, segment(Data1, "abcd", "first") + segment(storedData("efg"), QByteArray()) +
                           segment(storedData(""), "") + segment(storedData("h"), "h"));
  TResult Result = decode(Stream, 8);
  QVERIFY(Result.ok);
  QCOMPARE(Result.output, QByteArray("abcdefgh"));
  QVERIFY(!decode(Stream, 7).ok);

  // Wrong checksum of the second segment.
  const QByteArray Wrong = block(2, Header, segment(Data1, "abcd") + segment(storedData("efg"), "efh"));
  QVERIFY(!decode(Wrong, 100).ok);
  // Post-processor selector 2 is unknown.
  QVERIFY(!decode(block(2, Header, segment(storedData("\2x"), QByteArray())), 100).ok);
  // A run longer than the data.
  QVERIFY(!decode(block(2, Header, segment(bigEndian32(100) + QByteArray("\0ab", 3), QByteArray())), 100).ok);

  // PCOMP: each byte plus one.
  const QByteArray Plus = block(2, Header, segment(storedData(pcompPrefix(kAddOneProgram) + "HAL"), "IBM") +
                                               segment(storedData("01"), "12"));
  Result = decode(Plus, 5);
  QVERIFY(Result.ok);
  QCOMPARE(Result.output, QByteArray("IBM12"));
  // The program must be complete within the first segment.
  QVERIFY(!decode(block(2, Header, segment(storedData(pcompPrefix(kAddOneProgram).left(5)), QByteArray())), 10)
               .ok);
  // An empty program is refused.
  QVERIFY(!decode(block(2, Header, segment(storedData(QByteArray("\1\0\0x", 4)), QByteArray())), 10).ok);
}

void TestZpaq::instructionSet()
{
  const QByteArray Program = instructionProgram();
  const QByteArray Expected = expectedInstructionResults();
  const QByteArray Header = blockHeader(0, 0, 1, 4, 0, "", "");
  const QByteArray Stream =
      block(2, Header, segment(storedData(pcompPrefix(Program) + QByteArray(1, '\0')), Expected) +
                           segment(storedData(QByteArray(1, '\0')), Expected));
  const TResult Result = decode(Stream, std::size_t(Expected.size()) * 2);
  QVERIFY(Result.ok);
  QCOMPARE(Result.output.toHex(), (Expected + Expected).toHex());
}

void TestZpaq::modelledSegmentsAndPostProcessor()
{
  // Two segments coded with one arithmetic coder state, PASS.
  {
    TConstantModelEncoder Encoder;
    Encoder.byte(0);
    Encoder.bytes("hello");
    const QByteArray First = Encoder.endSegment();
    Encoder.bytes(", world");
    const QByteArray Second = Encoder.endSegment();
    const QByteArray Stream = block(1, TConstantModelEncoder::header(),
                                    segment(First, "hello", "a") + segment(Second, QByteArray()));
    TResult Result = decode(Stream, 12);
    QVERIFY(Result.ok);
    QCOMPARE(Result.output, QByteArray("hello, world"));
    QVERIFY(!decode(Stream, 11).ok);

    // The end code after the end-of-segment flag must be zero.
    QByteArray BadEnd = First;
    BadEnd[BadEnd.size() - 2] = 1;
    QVERIFY(!decode(block(1, TConstantModelEncoder::header(), segment(BadEnd, QByteArray())), 12).ok);
  }

  // A PCOMP program sent inside the coded data; a second block.
  {
    TConstantModelEncoder Encoder;
    Encoder.bytes(pcompPrefix(kAddOneProgram));
    Encoder.bytes("HAL");
    const QByteArray First = Encoder.endSegment();
    Encoder.bytes("9");
    const QByteArray Second = Encoder.endSegment();

    TConstantModelEncoder Other;
    Other.byte(0);
    Other.bytes("!");
    const QByteArray Third = Other.endSegment();

    const QByteArray Stream =
        block(1, TConstantModelEncoder::header(), segment(First, "IBM") + segment(Second, ":")) +
        block(2, TConstantModelEncoder::header(), segment(Third, "!"), false);
    const TResult Result = decode(Stream, 5);
    QVERIFY(Result.ok);
    QCOMPARE(Result.output, QByteArray("IBM:!"));
  }
}

// Decodes on several threads at once hold their model memory within one
// budget: with a budget smaller than one block they run one after the other
// (the peak equals one block's share), and each still decodes correctly.
void TestZpaq::concurrentDecodesShareMemoryBudget()
{
  const std::uint64_t Original = shared::codecs::zpaqMemoryBudget();
  qint64 Unpacked = 0;
  const QByteArray Payload = payloadOf("text.6.pak", &Unpacked);
  const TResult Expected = decode(Payload, std::size_t(Unpacked));
  QVERIFY(Expected.ok);

  shared::codecs::setZpaqMemoryBudget(Original);
  QVERIFY(decode(Payload, std::size_t(Unpacked)).ok);
  const std::uint64_t OneBlock = shared::codecs::zpaqMemoryPeak();
  QVERIFY(OneBlock > 0);

  const auto DecodeOnThreads = [&](int Threads) {
    std::vector<std::thread> Workers;
    std::vector<int> Good(std::size_t(Threads), 0);
    for (int Index = 0; Index < Threads; ++Index) {
      Workers.emplace_back([&, Index] {
        for (int Round = 0; Round < 3; ++Round) {
          const TResult Result = decode(Payload, std::size_t(Unpacked));
          Good[std::size_t(Index)] += Result.ok && Result.output == Expected.output ? 1 : 0;
        }
      });
    }
    for (std::thread& Worker : Workers)
      Worker.join();
    return std::count(Good.begin(), Good.end(), 3) == Threads;
  };

  shared::codecs::setZpaqMemoryBudget(1);
  QVERIFY(DecodeOnThreads(4));
  QCOMPARE(shared::codecs::zpaqMemoryPeak(), OneBlock);

  // Room for two blocks: never more than two at once.
  shared::codecs::setZpaqMemoryBudget(2 * OneBlock);
  QVERIFY(DecodeOnThreads(4));
  QVERIFY(shared::codecs::zpaqMemoryPeak() <= 2 * OneBlock);

  shared::codecs::setZpaqMemoryBudget(Original);
}

QTEST_GUILESS_MAIN(TestZpaq)
#include "test_zpaq.moc"
