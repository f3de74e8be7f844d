#include "shared/payload.h"

#include "shared/codecs/codecs.h"
#include "shared/cputime.h"
#include "shared/zstdframes.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace shared {

namespace {

constexpr std::uint8_t kMarker = 0x70;

bool readVarint(const std::uint8_t*& Cursor, const std::uint8_t* End, std::uint64_t& Value)
{
  Value = 0;
  for (int Index = 0; Index < 10; ++Index) {
    if (Cursor == End)
      return false;
    const std::uint8_t Byte = *Cursor++;
    const std::uint64_t Bits = Byte & 0x7F;
    if (Index == 9 && Bits > 1)
      return false;  // does not fit 64 bits
    Value |= Bits << (7 * Index);
    if ((Byte & 0x80) == 0)
      return true;
  }
  return false;
}

void writeVarint(QByteArray& Out, std::uint64_t Value)
{
  do {
    std::uint8_t Byte = Value & 0x7F;
    Value >>= 7;
    if (Value != 0)
      Byte |= 0x80;
    Out.append(static_cast<char>(Byte));
  } while (Value != 0);
}

// Starts a decoder of raw LZMA1 data with the given properties and the
// declared dictionary, but one of at most Limit bytes.
bool startRawLzmaDecoder(lzma_stream& Stream, std::uint32_t Lc, std::uint32_t Lp, std::uint32_t Pb,
                         std::uint64_t DictionarySize, std::uint64_t Limit)
{
  lzma_options_lzma Options{};
  if (lzma_lzma_preset(&Options, 0))
    return false;
  Options.lc = Lc;
  Options.lp = Lp;
  Options.pb = Pb;
  const std::uint64_t Needed = std::max<std::uint64_t>(Limit, LZMA_DICT_SIZE_MIN);
  Options.dict_size = static_cast<std::uint32_t>(
      std::max<std::uint64_t>(LZMA_DICT_SIZE_MIN, std::min<std::uint64_t>(DictionarySize, Needed)));
  lzma_filter Filters[2] = {{LZMA_FILTER_LZMA1, &Options}, {LZMA_VLI_UNKNOWN, nullptr}};
  return lzma_raw_decoder(&Stream, Filters) == LZMA_OK;
}

// The properties of the legacy .lzma header: the properties byte and the
// 32-bit dictionary size.
struct TLzmaProperties
{
  std::uint32_t lc = 0;
  std::uint32_t lp = 0;
  std::uint32_t pb = 0;
  std::uint32_t dictionary = 0;
};

std::optional<TLzmaProperties> legacyLzmaProperties(const std::uint8_t* Header)
{
  const unsigned Properties = Header[0];
  if (Properties > 224)
    return std::nullopt;
  TLzmaProperties Result;
  Result.lc = Properties % 9;
  Result.lp = (Properties / 9) % 5;
  Result.pb = Properties / 45;
  if (Result.lc + Result.lp > LZMA_LCLP_MAX)
    return std::nullopt;
  for (int Index = 0; Index < 4; ++Index)
    Result.dictionary |= std::uint32_t(Header[1 + Index]) << (8 * Index);
  return Result;
}

// Decodes raw LZMA1 data (as found in .lzma and lzip payloads) into Output.
// Succeeds when the end marker is reached, or when the output is exactly
// full and the remaining input yields no further byte. The dictionary is
// never larger than the output needs, whatever the header says.
bool decodeRawLzma(const std::uint8_t* Input, std::size_t InputSize, std::uint32_t Lc,
                   std::uint32_t Lp, std::uint32_t Pb, std::uint64_t DictionarySize,
                   std::uint8_t* Output, std::size_t OutputCapacity, std::size_t& Produced)
{
  Produced = 0;
  lzma_stream Stream = LZMA_STREAM_INIT;
  if (!startRawLzmaDecoder(Stream, Lc, Lp, Pb, DictionarySize, OutputCapacity))
    return false;

  Stream.next_in = Input;
  Stream.avail_in = InputSize;
  Stream.next_out = Output;
  Stream.avail_out = OutputCapacity;
  lzma_ret Result = lzma_code(&Stream, LZMA_FINISH);
  Produced = OutputCapacity - Stream.avail_out;
  bool Ok = false;
  if (Result == LZMA_STREAM_END) {
    Ok = true;
  } else if ((Result == LZMA_OK || Result == LZMA_BUF_ERROR) && Stream.avail_out == 0) {
    // The output is full: the stream may still hold its end marker. Any
    // further decoded byte means the stream is longer than declared.
    std::uint8_t Extra = 0;
    Stream.next_out = &Extra;
    Stream.avail_out = 1;
    Result = lzma_code(&Stream, LZMA_FINISH);
    if (Stream.avail_out == 1)
      Ok = Result == LZMA_STREAM_END ||
           ((Result == LZMA_OK || Result == LZMA_BUF_ERROR) && Stream.avail_in == 0);
  }
  lzma_end(&Stream);
  return Ok;
}

bool decodeStored(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                  std::size_t OutputCapacity, std::size_t& Produced)
{
  if (PayloadSize > OutputCapacity)
    return false;
  std::memcpy(Output, Payload, PayloadSize);
  Produced = PayloadSize;
  return true;
}

bool decodeDeflate(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                   std::size_t OutputCapacity, std::size_t& Produced)
{
  z_stream Stream{};
  if (inflateInit2(&Stream, -MAX_WBITS) != Z_OK)
    return false;
  bool Ok = false;
  std::size_t InputLeft = PayloadSize;
  std::size_t OutputLeft = OutputCapacity;
  Stream.next_in = const_cast<Bytef*>(Payload);
  Stream.next_out = Output;
  for (;;) {
    // zlib counts in 32-bit units; feed large buffers in slices.
    const uInt InSlice = static_cast<uInt>(std::min<std::size_t>(InputLeft, 1u << 30));
    const uInt OutSlice = static_cast<uInt>(std::min<std::size_t>(OutputLeft, 1u << 30));
    Stream.avail_in = InSlice;
    Stream.avail_out = OutSlice;
    const int Result = inflate(&Stream, Z_NO_FLUSH);
    InputLeft -= InSlice - Stream.avail_in;
    OutputLeft -= OutSlice - Stream.avail_out;
    if (Result == Z_STREAM_END) {
      Ok = true;
      break;
    }
    if (Result != Z_OK)
      break;  // data error, or no progress possible (input exhausted or output full)
    if (OutputLeft == 0) {
      // Output full without the end of the stream: only the end-of-block
      // code may remain, never another byte.
      std::uint8_t Extra = 0;
      Stream.avail_in = static_cast<uInt>(std::min<std::size_t>(InputLeft, 1u << 30));
      Stream.next_out = &Extra;
      Stream.avail_out = 1;
      Ok = inflate(&Stream, Z_NO_FLUSH) == Z_STREAM_END && Stream.avail_out == 1;
      break;
    }
    if (InputLeft == 0)
      break;  // input ended before the end of the stream
  }
  inflateEnd(&Stream);
  Produced = OutputCapacity - OutputLeft;
  return Ok;
}

bool decodeLegacyLzma(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                      std::size_t OutputCapacity, std::size_t& Produced)
{
  // properties byte, 32-bit dictionary size, 8 bytes of a size field that is
  // not trusted (the packer writes garbage there), then the LZMA data.
  if (PayloadSize < 18)
    return false;
  const auto Properties = legacyLzmaProperties(Payload);
  if (!Properties)
    return false;
  return decodeRawLzma(Payload + 13, PayloadSize - 13, Properties->lc, Properties->lp, Properties->pb,
                       Properties->dictionary, Output, OutputCapacity, Produced);
}

bool decodeLzip(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                std::size_t OutputCapacity, std::size_t& Produced)
{
  if (PayloadSize < 6 || std::memcmp(Payload, "LZIP", 4) != 0)
    return false;
  const unsigned Version = Payload[4];
  if (Version > 1)
    return false;
  const unsigned DictionaryExponent = Payload[5] & 0x1F;
  if (DictionaryExponent < 12 || DictionaryExponent > 29)
    return false;
  const std::size_t TrailerSize = Version == 0 ? 12 : 20;
  if (PayloadSize < 6 + TrailerSize + 5)
    return false;
  const std::uint8_t* Data = Payload + 6;
  const std::size_t DataSize = PayloadSize - 6 - TrailerSize;
  if (!decodeRawLzma(Data, DataSize, 3, 0, 2, std::uint64_t(1) << DictionaryExponent, Output,
                     OutputCapacity, Produced))
    return false;

  const std::uint8_t* Trailer = Payload + PayloadSize - TrailerSize;
  std::uint32_t Crc = 0;
  for (int Index = 0; Index < 4; ++Index)
    Crc |= std::uint32_t(Trailer[Index]) << (8 * Index);
  std::uint64_t Size = 0;
  for (int Index = 0; Index < 8; ++Index)
    Size |= std::uint64_t(Trailer[4 + Index]) << (8 * Index);
  if (Size != Produced)
    return false;
  uLong Computed = crc32(0L, Z_NULL, 0);
  std::size_t Offset = 0;
  while (Offset < Produced) {
    const uInt Slice = static_cast<uInt>(std::min<std::size_t>(Produced - Offset, 1u << 30));
    Computed = crc32(Computed, Output + Offset, Slice);
    Offset += Slice;
  }
  return Computed == Crc;
}

QByteArray encodeLzma(const char* Data, std::size_t Size, bool LzipMember,
                      std::uint32_t DictionarySize, int Preset)
{
  lzma_options_lzma Options{};
  if (lzma_lzma_preset(&Options, std::uint32_t(std::clamp(Preset, 0, 9))))
    return QByteArray();
  Options.dict_size = DictionarySize;
  Options.lc = 3;
  Options.lp = 0;
  Options.pb = 2;
  lzma_filter Filters[2];
  Filters[0].id = LZMA_FILTER_LZMA1;
  Filters[0].options = &Options;
  Filters[1].id = LZMA_VLI_UNKNOWN;
  Filters[1].options = nullptr;

  lzma_stream Stream = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&Stream, Filters) != LZMA_OK)
    return QByteArray();
  std::vector<std::uint8_t> Out(Size + Size / 2 + 4096);
  Stream.next_in = reinterpret_cast<const std::uint8_t*>(Data);
  Stream.avail_in = Size;
  Stream.next_out = Out.data();
  Stream.avail_out = Out.size();
  lzma_ret Result = LZMA_OK;
  while (Result == LZMA_OK) {
    Result = lzma_code(&Stream, LZMA_FINISH);
    if (Result == LZMA_OK && Stream.avail_out == 0) {
      const std::size_t Used = Out.size();
      Out.resize(Out.size() * 2);
      Stream.next_out = Out.data() + Used;
      Stream.avail_out = Out.size() - Used;
    }
  }
  const std::size_t Encoded = Stream.total_out;
  lzma_end(&Stream);
  if (Result != LZMA_STREAM_END)
    return QByteArray();

  QByteArray Payload;
  if (LzipMember) {
    int Exponent = 12;
    while ((std::uint32_t(1) << Exponent) < DictionarySize)
      ++Exponent;
    Payload.append("LZIP", 4);
    Payload.append(char(1));
    Payload.append(char(Exponent));
    Payload.append(reinterpret_cast<const char*>(Out.data()), int(Encoded));
    uLong Crc = crc32(0L, Z_NULL, 0);
    std::size_t Offset = 0;
    while (Offset < Size) {
      const uInt Slice = static_cast<uInt>(std::min<std::size_t>(Size - Offset, 1u << 30));
      Crc = crc32(Crc, reinterpret_cast<const Bytef*>(Data) + Offset, Slice);
      Offset += Slice;
    }
    const std::uint64_t MemberSize = 6 + Encoded + 20;
    for (int Index = 0; Index < 4; ++Index)
      Payload.append(char((Crc >> (8 * Index)) & 0xFF));
    for (int Index = 0; Index < 8; ++Index)
      Payload.append(char((std::uint64_t(Size) >> (8 * Index)) & 0xFF));
    for (int Index = 0; Index < 8; ++Index)
      Payload.append(char((MemberSize >> (8 * Index)) & 0xFF));
  } else {
    Payload.append(char((2 * 5 + 0) * 9 + 3));
    for (int Index = 0; Index < 4; ++Index)
      Payload.append(char((DictionarySize >> (8 * Index)) & 0xFF));
    for (int Index = 0; Index < 8; ++Index)
      Payload.append(char(0xFF));  // size unknown: the end marker ends the data
    Payload.append(reinterpret_cast<const char*>(Out.data()), int(Encoded));
  }
  return Payload;
}

QByteArray encodeDeflate(const char* Data, std::size_t Size, int Level)
{
  z_stream Stream{};
  if (deflateInit2(&Stream, std::clamp(Level, 1, 9), Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
    return QByteArray();
  QByteArray Out;
  Out.resize(int(deflateBound(&Stream, uLong(Size))));
  Stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data));
  Stream.avail_in = uInt(Size);
  Stream.next_out = reinterpret_cast<Bytef*>(Out.data());
  Stream.avail_out = uInt(Out.size());
  const int Result = deflate(&Stream, Z_FINISH);
  const auto Written = Stream.total_out;
  deflateEnd(&Stream);
  if (Result != Z_STREAM_END)
    return QByteArray();
  Out.resize(int(Written));
  return Out;
}

std::uint32_t fittedDictionary(std::size_t Size, std::uint32_t Maximum)
{
  std::uint32_t Dictionary = LZMA_DICT_SIZE_MIN;
  while (Dictionary < Size && Dictionary < Maximum)
    Dictionary <<= 1;
  return Dictionary;
}

// The payload of a streaming decode, read block by block, with what is
// left of it counted.
class TPayloadInput
{
public:
  TPayloadInput(const TPayloadReader& Read, std::uint64_t Size) : m_Read(Read), m_Left(Size), m_Buffer(kStreamingBlockSize) {}

  // Reads the next block when the last one is used up; false on a read
  // error or a payload shorter than declared.
  bool refill()
  {
    if (m_Available > 0 || m_Left == 0)
      return true;
    const std::int64_t Read = m_Read(m_Buffer.data(), std::size_t(std::min<std::uint64_t>(m_Left, m_Buffer.size())));
    if (Read <= 0 || std::uint64_t(Read) > m_Left)
      return false;
    m_Left -= std::uint64_t(Read);
    m_Next = reinterpret_cast<const std::uint8_t*>(m_Buffer.data());
    m_Available = std::size_t(Read);
    return true;
  }
  // Reads exactly Size bytes (a header or trailer) into Target.
  bool readExactly(std::uint8_t* Target, std::size_t Size)
  {
    while (Size > 0) {
      if (!refill() || m_Available == 0)
        return false;
      const std::size_t Taken = std::min(Size, m_Available);
      std::memcpy(Target, m_Next, Taken);
      consume(Taken);
      Target += Taken;
      Size -= Taken;
    }
    return true;
  }
  // Makes at least Size of the remaining bytes visible at next() (Size at
  // most a block); false on a read error or when fewer remain.
  bool ensure(std::size_t Size)
  {
    while (m_Available < Size) {
      if (m_Left == 0)
        return false;
      std::memmove(m_Buffer.data(), m_Next, m_Available);
      const std::int64_t Read = m_Read(m_Buffer.data() + m_Available,
                                       std::size_t(std::min<std::uint64_t>(m_Left, m_Buffer.size() - m_Available)));
      if (Read <= 0 || std::uint64_t(Read) > m_Left)
        return false;
      m_Left -= std::uint64_t(Read);
      m_Next = reinterpret_cast<const std::uint8_t*>(m_Buffer.data());
      m_Available += std::size_t(Read);
    }
    return true;
  }
  // Bytes of the payload not yet handed out, the current block included.
  std::uint64_t remaining() const { return m_Left + m_Available; }
  const std::uint8_t* next() const { return m_Next; }
  std::size_t available() const { return m_Available; }
  void consume(std::size_t Size)
  {
    m_Next += Size;
    m_Available -= Size;
  }
  // Makes at most Limit of the remaining bytes visible (what lies beyond is
  // a trailer); returns the count.
  std::size_t visible(std::uint64_t Limit) const { return std::size_t(std::min<std::uint64_t>(m_Available, Limit)); }

private:
  const TPayloadReader& m_Read;
  std::uint64_t m_Left;
  std::vector<char> m_Buffer;
  const std::uint8_t* m_Next = nullptr;
  std::size_t m_Available = 0;
};

// The decoded side of a streaming decode: a block that is handed on when
// full, never more than the declared size.
class TPayloadOutput
{
public:
  TPayloadOutput(const TPayloadWriter& Write, std::uint64_t Expected)
    : m_Write(Write), m_Expected(Expected), m_Buffer(kStreamingBlockSize + 1)
  {
  }

  // Room for the next decoded bytes: one byte more than may still come, so
  // that a stream producing too much is seen.
  std::uint8_t* next() { return m_Buffer.data() + m_Used; }
  std::size_t room() const
  {
    return std::size_t(std::min<std::uint64_t>(m_Buffer.size() - m_Used, m_Expected - m_Produced + 1));
  }
  // Counts Size bytes decoded into next(); false when that passes the
  // declared size or handing on a full block fails.
  bool produced(std::size_t Size)
  {
    m_Used += Size;
    m_Produced += Size;
    if (m_Produced > m_Expected)
      return false;
    return m_Used < kStreamingBlockSize || flush();
  }
  bool flush()
  {
    const bool Ok = m_Used == 0 || m_Write(reinterpret_cast<const char*>(m_Buffer.data()), m_Used);
    m_Used = 0;
    return Ok;
  }
  bool complete() const { return m_Produced == m_Expected; }
  std::uint64_t total() const { return m_Produced; }

private:
  const TPayloadWriter& m_Write;
  std::uint64_t m_Expected;
  std::uint64_t m_Produced = 0;
  std::vector<std::uint8_t> m_Buffer;
  std::size_t m_Used = 0;
};

bool streamStored(TPayloadInput& Input, TPayloadOutput& Output, std::uint64_t UnpackedSize)
{
  if (Input.remaining() > UnpackedSize)
    return false;
  while (Input.remaining() > 0) {
    if (!Input.refill())
      return false;
    const std::size_t Size = std::min(Input.available(), Output.room());
    std::memcpy(Output.next(), Input.next(), Size);
    Input.consume(Size);
    if (!Output.produced(Size))
      return false;
  }
  while (!Output.complete()) {
    const std::size_t Size = std::size_t(std::min<std::uint64_t>(Output.room(), UnpackedSize - Output.total()));
    std::memset(Output.next(), 0, Size);
    if (!Output.produced(Size))
      return false;
  }
  return Output.flush();
}

bool streamDeflate(TPayloadInput& Input, TPayloadOutput& Output)
{
  z_stream Stream{};
  if (inflateInit2(&Stream, -MAX_WBITS) != Z_OK)
    return false;
  bool Ok = false;
  for (;;) {
    if (!Input.refill())
      break;
    Stream.next_in = const_cast<Bytef*>(Input.next());
    Stream.avail_in = uInt(Input.available());
    Stream.next_out = Output.next();
    Stream.avail_out = uInt(Output.room());
    const uInt OutBefore = Stream.avail_out;
    const int Result = inflate(&Stream, Z_NO_FLUSH);
    Input.consume(Input.available() - Stream.avail_in);
    if (!Output.produced(OutBefore - Stream.avail_out))
      break;
    if (Result == Z_STREAM_END) {
      Ok = Output.complete() && Output.flush();
      break;
    }
    if (Result != Z_OK)
      break;  // data error, or no progress possible (the input ended early)
  }
  inflateEnd(&Stream);
  return Ok;
}

// Raw LZMA1 data of DataSize bytes (a trailer may follow it in the input).
bool streamRawLzma(TPayloadInput& Input, std::uint64_t DataSize, TPayloadOutput& Output, std::uint64_t UnpackedSize,
                   std::uint32_t Lc, std::uint32_t Lp, std::uint32_t Pb, std::uint64_t DictionarySize,
                   const std::function<void(const std::uint8_t*, std::size_t)>& Observe = {})
{
  lzma_stream Stream = LZMA_STREAM_INIT;
  if (!startRawLzmaDecoder(Stream, Lc, Lp, Pb, DictionarySize, std::min(UnpackedSize, kMaxStreamingDictionarySize)))
    return false;
  bool Ok = false;
  std::uint64_t DataLeft = DataSize;
  for (;;) {
    if (!Input.refill())
      break;
    const std::size_t Visible = Input.visible(DataLeft);
    Stream.next_in = Input.next();
    Stream.avail_in = Visible;
    std::uint8_t* const OutStart = Output.next();
    Stream.next_out = OutStart;
    Stream.avail_out = Output.room();
    const std::size_t OutBefore = Stream.avail_out;
    const lzma_ret Result = lzma_code(&Stream, DataLeft == Visible ? LZMA_FINISH : LZMA_RUN);
    const std::size_t Consumed = Visible - Stream.avail_in;
    Input.consume(Consumed);
    DataLeft -= Consumed;
    const std::size_t Produced = OutBefore - Stream.avail_out;
    if (Observe)
      Observe(OutStart, Produced);
    if (!Output.produced(Produced))
      break;
    if (Result == LZMA_STREAM_END) {
      Ok = Output.complete();
      break;
    }
    if (Result == LZMA_BUF_ERROR) {
      // No progress possible: the data ended. Without an end marker that
      // is success once exactly the declared size came out.
      Ok = DataLeft == 0 && Output.complete();
      break;
    }
    if (Result != LZMA_OK)
      break;
  }
  lzma_end(&Stream);
  // The data not decoded (what followed an end marker) is skipped.
  while (Ok && DataLeft > 0) {
    if (!Input.refill())
      return false;
    const std::size_t Skipped = Input.visible(DataLeft);
    Input.consume(Skipped);
    DataLeft -= Skipped;
  }
  return Ok && Output.flush();
}

bool streamLegacyLzma(TPayloadInput& Input, TPayloadOutput& Output, std::uint64_t UnpackedSize)
{
  std::uint8_t Header[13];
  if (Input.remaining() < 18 || !Input.readExactly(Header, sizeof(Header)))
    return false;
  const auto Properties = legacyLzmaProperties(Header);
  return Properties && streamRawLzma(Input, Input.remaining(), Output, UnpackedSize, Properties->lc, Properties->lp,
                                     Properties->pb, Properties->dictionary);
}

bool streamLzip(TPayloadInput& Input, TPayloadOutput& Output, std::uint64_t UnpackedSize)
{
  std::uint8_t Header[6];
  if (Input.remaining() < 6 || !Input.readExactly(Header, sizeof(Header)) || std::memcmp(Header, "LZIP", 4) != 0)
    return false;
  const unsigned Version = Header[4];
  const unsigned DictionaryExponent = Header[5] & 0x1F;
  if (Version > 1 || DictionaryExponent < 12 || DictionaryExponent > 29)
    return false;
  const std::size_t TrailerSize = Version == 0 ? 12 : 20;
  if (Input.remaining() < TrailerSize + 5)
    return false;
  uLong Crc = crc32(0L, Z_NULL, 0);
  const auto Observe = [&Crc](const std::uint8_t* Data, std::size_t Size) { Crc = crc32(Crc, Data, uInt(Size)); };
  if (!streamRawLzma(Input, Input.remaining() - TrailerSize, Output, UnpackedSize, 3, 0, 2,
                     std::uint64_t(1) << DictionaryExponent, Observe))
    return false;
  std::uint8_t Trailer[20];
  if (!Input.readExactly(Trailer, TrailerSize))
    return false;
  std::uint32_t Expected = 0;
  for (int Index = 0; Index < 4; ++Index)
    Expected |= std::uint32_t(Trailer[Index]) << (8 * Index);
  std::uint64_t Size = 0;
  for (int Index = 0; Index < 8; ++Index)
    Size |= std::uint64_t(Trailer[4 + Index]) << (8 * Index);
  return Size == Output.total() && Expected == Crc;
}

// Whether the next frame of the input is a Zstandard or a skippable frame,
// not one of the legacy formats libzstd may also know (refused in memory as
// well).
bool nextFrameIsCurrent(TPayloadInput& Input)
{
  if (!Input.ensure(4))
    return false;
  std::uint32_t Magic = 0;
  for (int Index = 0; Index < 4; ++Index)
    Magic |= std::uint32_t(Input.next()[Index]) << (8 * Index);
  return Magic == ZSTD_MAGICNUMBER || (Magic & 0xFFFFFFF0u) == 0x184D2A50u;
}

// Zstandard frames one after another, skippable ones among them; the
// decoder's window is capped as in memory (decodeZstdFrames).
bool streamZstd(TPayloadInput& Input, TPayloadOutput& Output, const TZstdDictionary* Dictionary)
{
  const std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> Context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
  if (!Context || ZSTD_isError(ZSTD_DCtx_setParameter(Context.get(), ZSTD_d_windowLogMax, kZstdMaxWindowLog)) ||
      (Dictionary && ZSTD_isError(ZSTD_DCtx_refDDict(Context.get(), Dictionary->forDecoding()))))
    return false;
  std::size_t Pending = 0;  // 0 between frames
  for (;;) {
    if (!Input.refill())
      return false;
    if (Pending == 0 && Input.remaining() > 0 && !nextFrameIsCurrent(Input))
      return false;
    const std::size_t Room = Output.room();
    ZSTD_inBuffer In{Input.next(), Input.available(), 0};
    ZSTD_outBuffer Out{Output.next(), Room, 0};
    if (In.size == 0 && Pending == 0)
      break;
    Pending = ZSTD_decompressStream(Context.get(), &Out, &In);
    Input.consume(In.pos);
    if (ZSTD_isError(Pending) || !Output.produced(Out.pos))
      return false;
    if (In.size == 0 && Out.pos < Room && Pending != 0)
      return false;  // the payload ends inside a frame
  }
  return Output.complete() && Output.flush();
}

QByteArray encodeZstd(const char* Data, std::size_t Size, int Level)
{
  QByteArray Payload;
  if (!appendZstdFrame(Data, Size, Level, nullptr, Payload))
    return QByteArray();
  return Payload;
}

// The decoders that produce all of their output in one call; Produced is
// what they wrote from the start of Output.
bool decodeWhole(EPayloadFormat Format, const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                 std::size_t OutputCapacity, std::size_t& Produced)
{
  switch (Format) {
  case EPayloadFormat::Stored:
    return decodeStored(Payload, PayloadSize, Output, OutputCapacity, Produced);
  case EPayloadFormat::Deflate:
    return decodeDeflate(Payload, PayloadSize, Output, OutputCapacity, Produced);
  case EPayloadFormat::Lzip:
    return decodeLzip(Payload, PayloadSize, Output, OutputCapacity, Produced);
  case EPayloadFormat::Lzma20:
  case EPayloadFormat::Lzma25:
    return decodeLegacyLzma(Payload, PayloadSize, Output, OutputCapacity, Produced);
  case EPayloadFormat::Zpaq:
    return codecs::decodeZpaq(Payload, PayloadSize, Output, OutputCapacity, Produced);
  case EPayloadFormat::Csc:
    return codecs::decodeCsc(Payload, PayloadSize, Output, OutputCapacity, Produced);
  case EPayloadFormat::Crush:
    return codecs::decodeCrush(Payload, PayloadSize, Output, OutputCapacity, Produced);
  default:
    return false;
  }
}

} // namespace

bool isPackedPayload(const char* Data, std::size_t Size)
{
  std::size_t Offset = 0;
  while (Offset < Size && Data[Offset] == 0)
    ++Offset;
  return Size - Offset >= 2 && std::uint8_t(Data[Offset]) == kMarker &&
         std::uint8_t(Data[Offset + 1]) <= kMaxPayloadFormatId;
}

bool isPackedPayload(const QByteArray& Data)
{
  return isPackedPayload(Data.constData(), std::size_t(Data.size()));
}

std::optional<TPayloadHeader> readPayloadHeader(const char* Data, std::size_t Size)
{
  if (!isPackedPayload(Data, Size))
    return std::nullopt;
  const auto* Begin = reinterpret_cast<const std::uint8_t*>(Data);
  const auto* End = Begin + Size;
  const std::uint8_t* Cursor = Begin;
  while (*Cursor == 0)
    ++Cursor;
  TPayloadHeader Header;
  Header.format = EPayloadFormat(Cursor[1]);
  Cursor += 2;
  if (!readVarint(Cursor, End, Header.unpackedSize) || !readVarint(Cursor, End, Header.packedSize))
    return std::nullopt;
  Header.payloadOffset = std::size_t(Cursor - Begin);
  return Header;
}

bool decodePayload(EPayloadFormat Format, const std::uint8_t* Payload, std::size_t PayloadSize,
                   std::uint8_t* Output, std::size_t OutputCapacity, const TDecodedObserver& Observe,
                   const TZstdDictionary* Dictionary)
{
  if (PayloadSize == 0 || OutputCapacity == 0)
    return false;
  const TCpuScope Scope(ECpuActivity::Decode);
  if (Format == EPayloadFormat::Zstd)  // exact, observed frame by frame
    return decodeZstdFrames(Payload, PayloadSize, Output, OutputCapacity, Observe, Dictionary);
  std::size_t Produced = 0;
  if (!decodeWhole(Format, Payload, PayloadSize, Output, OutputCapacity, Produced))
    return false;
  Produced = std::min(Produced, OutputCapacity);
  std::memset(Output + Produced, 0, OutputCapacity - Produced);
  if (Observe)
    Observe(Output, OutputCapacity);
  return true;
}

bool canStreamPayload(EPayloadFormat Format)
{
  switch (Format) {
  case EPayloadFormat::Stored:
  case EPayloadFormat::Deflate:
  case EPayloadFormat::Lzip:
  case EPayloadFormat::Lzma20:
  case EPayloadFormat::Lzma25:
  case EPayloadFormat::Zstd:
    return true;
  default:
    return false;
  }
}

bool streamPayload(EPayloadFormat Format, std::uint64_t PayloadSize, std::uint64_t UnpackedSize, const TPayloadReader& Read,
                   const TPayloadWriter& Write, const TZstdDictionary* Dictionary)
{
  if (PayloadSize == 0 || UnpackedSize == 0)
    return false;
  const TCpuScope Scope(ECpuActivity::Decode);
  TPayloadInput Input(Read, PayloadSize);
  TPayloadOutput Output(Write, UnpackedSize);
  switch (Format) {
  case EPayloadFormat::Stored:
    return streamStored(Input, Output, UnpackedSize);
  case EPayloadFormat::Deflate:
    return streamDeflate(Input, Output);
  case EPayloadFormat::Lzip:
    return streamLzip(Input, Output, UnpackedSize);
  case EPayloadFormat::Lzma20:
  case EPayloadFormat::Lzma25:
    return streamLegacyLzma(Input, Output, UnpackedSize);
  case EPayloadFormat::Zstd:
    return streamZstd(Input, Output, Dictionary);
  default:
    return false;
  }
}

bool unpackPayload(const QByteArray& Data, QByteArray& Result)
{
  return unpackPayload(Data, Result, kMaxUnpackedPayloadSize);
}

bool unpackPayload(const QByteArray& Data, QByteArray& Result, std::uint64_t MaxUnpackedSize)
{
  return unpackPayload(Data, Result, MaxUnpackedSize, nullptr);
}

bool unpackPayload(const QByteArray& Data, QByteArray& Result, std::uint64_t MaxUnpackedSize,
                   const TZstdDictionary* Dictionary)
{
  const auto Header = readPayloadHeader(Data.constData(), std::size_t(Data.size()));
  bool Ok = false;
  if (Header && Header->unpackedSize != 0 && Header->packedSize != 0 &&
      Header->unpackedSize <= std::min(MaxUnpackedSize, kMaxUnpackedPayloadSize) &&
      Header->packedSize <= std::size_t(Data.size()) - Header->payloadOffset) {
    QByteArray Output(int(Header->unpackedSize), Qt::Uninitialized);
    Ok = decodePayload(Header->format,
                       reinterpret_cast<const std::uint8_t*>(Data.constData()) + Header->payloadOffset,
                       std::size_t(Header->packedSize), reinterpret_cast<std::uint8_t*>(Output.data()),
                       std::size_t(Output.size()), {}, Dictionary);
    if (Ok)
      Result = std::move(Output);
  }
  if (!Ok)
    Result = Data;
  return Ok;
}

QByteArray packPayload(EPayloadFormat Format, const char* Data, std::size_t Size, int Level)
{
  if (Size == 0 || Size > kMaxUnpackedPayloadSize)
    return QByteArray();
  QByteArray Payload;
  switch (Format) {
  case EPayloadFormat::Stored:
    Payload = QByteArray(Data, int(Size));
    break;
  case EPayloadFormat::Deflate:
    Payload = encodeDeflate(Data, Size, Level);
    break;
  case EPayloadFormat::Lzip:
    Payload = encodeLzma(Data, Size, true, fittedDictionary(Size, 1u << 25), Level);
    break;
  case EPayloadFormat::Lzma20:
    Payload = encodeLzma(Data, Size, false, fittedDictionary(Size, 1u << 20), Level);
    break;
  case EPayloadFormat::Lzma25:
    Payload = encodeLzma(Data, Size, false, fittedDictionary(Size, 1u << 25), Level);
    break;
  case EPayloadFormat::Zstd:
    Payload = encodeZstd(Data, Size, Level);
    break;
  default:
    return QByteArray();
  }
  if (Payload.isEmpty())
    return QByteArray();
  return containerAround(Format, Size, Payload);
}

QByteArray packZstdPayload(const char* Data, std::size_t Size, int Level, std::shared_ptr<const TZstdDictionary> Dictionary)
{
  if (Size == 0 || Size > kMaxUnpackedPayloadSize)
    return QByteArray();
  QByteArray Payload;
  if (!Dictionary || !appendZstdFrame(Data, Size, Level, Dictionary.get(), Payload))
    return QByteArray();
  return containerAround(EPayloadFormat::Zstd, Size, Payload);
}

QByteArray containerAround(EPayloadFormat Format, std::uint64_t UnpackedSize, const QByteArray& Payload)
{
  QByteArray Container;
  Container.reserve(Payload.size() + 24);
  Container.append(char(kMarker));
  Container.append(char(int(Format)));
  writeVarint(Container, UnpackedSize);
  writeVarint(Container, std::uint64_t(Payload.size()));
  Container.append(Payload);
  return Container;
}

} // namespace shared
