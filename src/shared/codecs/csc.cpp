#include "shared/codecs/codecs.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

// CSC payload: a 10-byte property header, then I/O blocks that carry two
// interleaved sub-streams, a range-coded one (adaptive binary models) and a
// raw bit one. Both decode into data blocks: LZ77 blocks (plain, x86 or
// English-dictionary filtered), stored-bit blocks, literal-only blocks and
// delta blocks, ended by an end block. The LZ window holds the coded form
// of x86 and English blocks; their filters are undone on the output only.
//
// Checks beyond what the format needs for valid streams: every copy must
// stay inside the bytes produced so far, the window and the block limit;
// every block (literals included) inside raw_blocksize and the output
// buffer; the first byte of each range-coder start must be 0 (an encoder
// never writes anything else there); the reset flag must be 0 or 1; after
// the end block the payload may only hold well-formed I/O blocks, at most
// one untouched block per sub-stream (what the coders' flush can leave).
//
// Memory bounds (OutputCapacity = the container's declared unpacked size):
//  - LZ window: min(dict_size, OutputCapacity) bytes. dict_size itself must
//    lie in 32 KiB .. 1 GiB, but a window larger than the output is never
//    needed because no match may reach before the start of the output.
//  - one scratch block of at most min(raw_blocksize, OutputCapacity) bytes
//    (raw_blocksize is a 24-bit field, so below 16 MiB), only for the
//    dictionary and delta filters;
//  - the queue of I/O blocks read ahead for the other sub-stream: at most one
//    entry per five payload bytes;
//  - fixed model tables, about 270 KiB.
// Time is linear in input plus output: every loop either produces output
// (bounded by the capacity) or consumes coded input, and the long-length
// escape is capped by the block limit.
namespace shared::codecs {

namespace {

constexpr std::uint32_t kMinDictionarySize = 32u * 1024;
constexpr std::uint32_t kMaxDictionarySize = 1024u * 1024 * 1024;
constexpr std::size_t kPropertySize = 10;

enum EBlockType : std::uint32_t
{
  BlockNormal = 1,
  BlockEnglish = 2,
  BlockX86 = 3,
  BlockEntropy = 7,
  BlockStored = 8,
  BlockEnd = 9,
  BlockDeltaFirst = 16,
  BlockDeltaLast = 20,
};

constexpr unsigned kDeltaChannels[5] = {1, 2, 3, 4, 8};

struct TSpan
{
  const std::uint8_t* begin = nullptr;
  const std::uint8_t* end = nullptr;
};

// Splits the payload into its two sub-streams. Blocks are taken in payload
// order; a block of the other sub-stream met on the way is queued for it.
class TBlockSplitter
{
public:
  enum EStream { RangeCoded = 0, BitCoded = 1 };

  TBlockSplitter(const std::uint8_t* Data, std::size_t Size, std::uint32_t BlockSize)
    : m_pData(Data), m_Size(Size), m_BlockSize(BlockSize)
  {
  }

  // Next block of the sub-stream; false when there is none or the block
  // header is malformed.
  bool next(EStream Stream, TSpan& Span)
  {
    auto& Queue = m_Queued[Stream];
    if (!Queue.empty()) {
      Span = Queue.front();
      Queue.pop_front();
      return true;
    }
    for (;;) {
      EStream Found = RangeCoded;
      if (!parse(Found, Span))
        return false;
      if (Found == Stream)
        return true;
      m_Queued[Found].push_back(Span);
    }
  }

  // After the last data block: the rest of the payload must be well-formed
  // blocks, and each sub-stream may have at most one block nobody has read
  // (the decoder stops inside the flush bytes of the coders).
  bool finishedCleanly()
  {
    std::size_t Unread[2] = {m_Queued[0].size(), m_Queued[1].size()};
    while (m_Cursor < m_Size) {
      EStream Found = RangeCoded;
      TSpan Span;
      if (!parse(Found, Span))
        return false;
      ++Unread[Found];
    }
    return Unread[0] <= 1 && Unread[1] <= 1;
  }

private:
  bool parse(EStream& Stream, TSpan& Span)
  {
    if (m_Cursor >= m_Size)
      return false;
    const std::uint8_t Flag = m_pData[m_Cursor++];
    if ((Flag & 0x3F) != 0)
      return false;
    Stream = (Flag & 0x80) ? RangeCoded : BitCoded;
    std::size_t Length = m_BlockSize;
    if ((Flag & 0x40) == 0) {
      if (m_Size - m_Cursor < 3)
        return false;
      Length = (std::size_t(m_pData[m_Cursor]) << 16) | (std::size_t(m_pData[m_Cursor + 1]) << 8) |
               m_pData[m_Cursor + 2];
      m_Cursor += 3;
      if (Length == 0 || Length > m_BlockSize)
        return false;
    }
    if (m_Size - m_Cursor < Length)
      return false;
    Span.begin = m_pData + m_Cursor;
    Span.end = Span.begin + Length;
    m_Cursor += Length;
    return true;
  }

  const std::uint8_t* m_pData;
  std::size_t m_Size;
  std::uint32_t m_BlockSize;
  std::size_t m_Cursor = kPropertySize;
  std::deque<TSpan> m_Queued[2];
};

// Byte source over one sub-stream. A read past the last block yields 0 and
// sets the failure flag, which the block loops check; the bytes read in the
// meantime are bounded by the loop structure.
class TByteSource
{
public:
  TByteSource(TBlockSplitter& Splitter, TBlockSplitter::EStream Stream, bool& Failed)
    : m_Splitter(Splitter), m_Stream(Stream), m_Failed(Failed)
  {
  }

  std::uint8_t next()
  {
    if (m_pCurrent == m_pEnd && !fetch())
      return 0;
    return *m_pCurrent++;
  }

  // The unread bytes of the current block (fetching the next block when the
  // current one is used up); false at the end of the sub-stream.
  bool span(const std::uint8_t*& Begin, const std::uint8_t*& End)
  {
    if (m_pCurrent == m_pEnd && !fetch())
      return false;
    Begin = m_pCurrent;
    End = m_pEnd;
    return true;
  }

  void skip(std::size_t Count) { m_pCurrent += Count; }

  // Drops the unread rest of the current block; the next read starts a new one.
  void dropBlock() { m_pCurrent = m_pEnd; }

private:
  bool fetch()
  {
    TSpan Span;
    if (m_Failed || !m_Splitter.next(m_Stream, Span)) {
      m_Failed = true;
      return false;
    }
    m_pCurrent = Span.begin;
    m_pEnd = Span.end;
    return true;
  }

  TBlockSplitter& m_Splitter;
  TBlockSplitter::EStream m_Stream;
  bool& m_Failed;
  const std::uint8_t* m_pCurrent = nullptr;
  const std::uint8_t* m_pEnd = nullptr;
};

using TProbability = std::uint16_t;
constexpr TProbability kInitialProbability = 2048;

// Binary range decoder; the lower part of the range codes a 1 bit and the
// range is normalised before each split.
class TRangeDecoder
{
public:
  explicit TRangeDecoder(TByteSource& Source) : m_pSource(&Source) {}

  // Starts on a fresh block: one byte that a valid encoder always writes as
  // 0, then the 32-bit code.
  bool start()
  {
    m_pSource->dropBlock();
    if (m_pSource->next() != 0)
      return false;
    m_Code = 0;
    for (int Index = 0; Index < 4; ++Index)
      m_Code = (m_Code << 8) | m_pSource->next();
    m_Range = 0xFFFFFFFFu;
    // The code is an offset into the range; from here on the update rules
    // keep it below the range.
    return m_Code < m_Range;
  }

  unsigned bit(TProbability& Probability)
  {
    if (m_Range < (1u << 24)) {
      m_Range <<= 8;
      m_Code = (m_Code << 8) | m_pSource->next();
    }
    const std::uint32_t Bound = (m_Range >> 12) * Probability;
    if (m_Code < Bound) {
      m_Range = Bound;
      Probability += (4095 - Probability) >> 5;
      return 1;
    }
    m_Range -= Bound;
    m_Code -= Bound;
    Probability -= Probability >> 5;
    return 0;
  }

  // Most significant bit first on nodes 1 .. 2^Bits - 1.
  template <unsigned Bits>
  unsigned tree(TProbability* Probabilities)
  {
    unsigned Node = 1;
    for (unsigned Index = 0; Index < Bits; ++Index)
      Node = 2 * Node + bit(Probabilities[Node]);
    return Node - (1u << Bits);
  }

private:
  TByteSource* m_pSource;
  std::uint32_t m_Range = 0xFFFFFFFFu;
  std::uint32_t m_Code = 0;
};

// Raw bits, most significant first.
class TBitDecoder
{
public:
  explicit TBitDecoder(TByteSource& Source) : m_pSource(&Source) {}

  void start()
  {
    m_pSource->dropBlock();
    m_Value = 0;
    m_Count = 0;
  }

  // 1 <= Bits <= 16.
  std::uint32_t direct(unsigned Bits)
  {
    while (m_Count < Bits) {
      m_Value = (m_Value << 8) | m_pSource->next();
      m_Count += 8;
    }
    m_Count -= Bits;
    return (m_Value >> m_Count) & ((1u << Bits) - 1);
  }

  // 1 <= Bits <= 32.
  std::uint32_t wide(unsigned Bits)
  {
    if (Bits <= 16)
      return direct(Bits);
    const std::uint32_t High = direct(Bits - 16);
    return (High << 16) | direct(16);
  }

  // Size whole bytes (direct(8) each): after any read fewer than 8 bits
  // are buffered, so every byte takes exactly one new input byte.
  bool bytes(std::uint8_t* Target, std::size_t Size)
  {
    std::uint32_t Value = m_Value;
    const unsigned Shift = m_Count;
    std::size_t Done = 0;
    while (Done < Size) {
      const std::uint8_t* Begin = nullptr;
      const std::uint8_t* End = nullptr;
      if (!m_pSource->span(Begin, End))
        return false;
      const std::size_t Take = std::min<std::size_t>(Size - Done, std::size_t(End - Begin));
      for (std::size_t Index = 0; Index < Take; ++Index) {
        Value = (Value << 8) | Begin[Index];
        Target[Done + Index] = std::uint8_t(Value >> Shift);
      }
      m_pSource->skip(Take);
      Done += Take;
    }
    m_Value = Value;
    return true;
  }

  std::uint32_t integer()
  {
    const std::uint32_t Exponent = direct(5);
    if (Exponent == 0)
      return direct(1);
    return (1u << Exponent) + wide(Exponent);
  }

private:
  TByteSource* m_pSource;
  std::uint32_t m_Value = 0;
  unsigned m_Count = 0;
};

struct TModel
{
  TProbability state[64 * 3];
  TProbability literal[256 * 256];
  TProbability repeat[64 * 3];
  TProbability distance[168];
  TProbability lengthSlot[2];
  TProbability length1[8];
  TProbability length2[8];
  TProbability length3[128];
  TProbability longLength;
  TProbability distanceLow[29 * 16];
  TProbability delta[256 * 256];
  TProbability run;

  TModel()
  {
    // Every member is a TProbability or an array of them.
    static_assert(sizeof(TModel) % sizeof(TProbability) == 0, "model layout");
    TProbability* First = reinterpret_cast<TProbability*>(this);
    std::fill(First, First + sizeof(TModel) / sizeof(TProbability), kInitialProbability);
  }
};

constexpr std::uint8_t reverse4(unsigned Value)
{
  return std::uint8_t(((Value & 1) << 3) | ((Value & 2) << 1) | ((Value & 4) >> 1) | ((Value & 8) >> 3));
}

// Words of the English-text filter for symbols 0x82 .. 0xFB.
constexpr const char* kWords[0xFC - 0x82] = {
    "ac",  "ad",  "ai",  "al",  "am",  "an",  "ar",  "as",  "at",  "ea",  "ec",  "ed",  "ee",
    "el",  "en",  "er",  "es",  "et",  "id",  "ie",  "ig",  "il",  "in",  "io",  "is",  "it",
    "of",  "ol",  "on",  "oo",  "or",  "os",  "ou",  "ow",  "ul",  "un",  "ur",  "us",  "ba",
    "be",  "ca",  "ce",  "co",  "ch",  "de",  "di",  "ge",  "gh",  "ha",  "he",  "hi",  "ho",
    "ra",  "re",  "ri",  "ro",  "rs",  "la",  "le",  "li",  "lo",  "ld",  "ll",  "ly",  "se",
    "si",  "so",  "sh",  "ss",  "st",  "ma",  "me",  "mi",  "ne",  "nc",  "nd",  "ng",  "nt",
    "pa",  "pe",  "ta",  "te",  "ti",  "to",  "th",  "tr",  "wa",  "ve",  "all", "and", "but",
    "dow", "for", "had", "hav", "her", "him", "his", "man", "mor", "not", "now", "one", "out",
    "she", "the", "was", "wer", "whi", "whe", "wit", "you", "any", "are", "that", "said", "with",
    "have", "this", "from", "were", "tion"};

// Expands Size dictionary-coded bytes of Source into exactly Size bytes.
void expandEnglish(const std::uint8_t* Source, std::uint8_t* Target, std::size_t Size)
{
  std::size_t Read = 0;
  std::size_t Written = 0;
  while (Written < Size && Read < Size) {
    const std::uint8_t Symbol = Source[Read];
    if (Symbol >= 0x82 && Symbol <= 0xFB) {
      for (const char* Letter = kWords[Symbol - 0x82]; *Letter != 0 && Written < Size; ++Letter)
        Target[Written++] = std::uint8_t(*Letter);
      ++Read;
    } else if (Symbol == 0xFE && Read + 1 < Size && Source[Read + 1] >= 0x82) {
      Target[Written++] = Source[Read + 1];
      Read += 2;
    } else {
      Target[Written++] = Symbol;
      ++Read;
    }
  }
  // Every step writes at least one byte and reads at most two, so the
  // input cannot run out first; keep the output defined regardless.
  std::fill(Target + Written, Target + Size, std::uint8_t(0x20));
}

std::uint32_t unswapAddress(std::uint32_t Value)
{
  const std::uint32_t Swapped = (((Value >> 24) & 0xFF) << 7) | (((Value >> 16) & 0xFF) << 8) |
                                (((Value >> 8) & 0xFF) << 16) | (Value << 24);
  return Swapped >> 7;
}

// Turns the absolute call/jump targets the encoder wrote back into relative
// ones. Offsets are relative to the block start.
void inverseX86(std::uint8_t* Block, std::size_t Size)
{
  std::size_t Next = 5;
  for (std::size_t Index = 5; Index < Size; ++Index) {
    if (Index < Next || (Block[Index - 5] & 0xFE) != 0xE8)
      continue;
    Next = Index + 4;
    std::uint8_t* Operand = Block + Index - 4;
    const std::uint32_t Value = std::uint32_t(Operand[0]) | (std::uint32_t(Operand[1]) << 8) |
                                (std::uint32_t(Operand[2]) << 16) | (std::uint32_t(Operand[3]) << 24);
    std::uint32_t Address = Value - 0xFF000000u;
    if (Address < 0x02000000u) {
      Address = (unswapAddress(Address) - std::uint32_t(Index)) & 0x01FFFFFFu;
      const std::uint32_t Stored = Address + 0xFF000000u;
      Operand[0] = std::uint8_t(Stored);
      Operand[1] = std::uint8_t(Stored >> 8);
      Operand[2] = std::uint8_t(Stored >> 16);
      Operand[3] = std::uint8_t(Stored >> 24);
    }
  }
}

// The block holds the byte differences channel by channel; one running sum
// goes through all channels in that order.
void inverseDelta(const std::uint8_t* Stored, std::uint8_t* Target, std::size_t Size, unsigned Channels)
{
  std::uint8_t Sum = 0;
  std::size_t Read = 0;
  for (unsigned Channel = 0; Channel < Channels; ++Channel) {
    for (std::size_t Index = Channel; Index < Size; Index += Channels) {
      Sum = std::uint8_t(Stored[Read++] + Sum);
      Target[Index] = Sum;
    }
  }
}

class TCscDecoder
{
public:
  TCscDecoder(const std::uint8_t* Input, std::size_t InputSize, std::uint32_t DictionarySize,
              std::uint32_t IoBlockSize, std::uint32_t RawBlockSize, std::uint8_t* Output,
              std::size_t OutputCapacity)
    : m_Splitter(Input, InputSize, IoBlockSize),
      m_RangeSource(m_Splitter, TBlockSplitter::RangeCoded, m_Failed),
      m_BitSource(m_Splitter, TBlockSplitter::BitCoded, m_Failed),
      m_Coder(m_RangeSource),
      m_Bits(m_BitSource),
      m_DictionarySize(DictionarySize),
      m_RawBlockSize(RawBlockSize),
      m_pOutput(Output),
      m_Capacity(OutputCapacity)
  {
  }

  bool run(std::size_t& Produced);

private:
  bool prepare();
  bool resetCoders();
  bool decodeLz(std::size_t Limit, std::size_t& Size);
  bool decodeLength(TRangeDecoder& Coder, std::size_t Limit, std::size_t& Length);
  void decodeLength1(TRangeDecoder& Coder, std::uint32_t& Value);
  bool decodeStored(std::size_t Size);
  bool decodeEntropy(std::size_t Size);
  bool decodeDelta(std::size_t Size, std::size_t ChannelIndex);
  bool copyMatch(std::size_t Distance, std::size_t Length, std::size_t BlockBytes, std::size_t Limit,
                 std::size_t& WindowPosition);
  void putWindow(const std::uint8_t* Bytes, std::size_t Size);

  TBlockSplitter m_Splitter;
  bool m_Failed = false;
  TByteSource m_RangeSource;
  TByteSource m_BitSource;
  TRangeDecoder m_Coder;
  TBitDecoder m_Bits;
  std::uint32_t m_DictionarySize;
  std::uint32_t m_RawBlockSize;
  std::uint8_t* m_pOutput;
  std::size_t m_Capacity;
  std::size_t m_Position = 0;  // bytes of output (and of window stream) so far

  std::unique_ptr<TModel> m_pModel;
  std::unique_ptr<std::uint8_t[]> m_Window;
  std::size_t m_WindowPosition = 0;
  std::vector<std::uint8_t> m_Scratch;
  std::uint32_t m_Repeat[4] = {0, 0, 0, 0};
  unsigned m_State = 0;
  unsigned m_Context = 0;
};

bool TCscDecoder::prepare()
{
  try {
    m_pModel = std::make_unique<TModel>();
    // Not cleared: no match may read a byte that was not written first.
    m_Window.reset(new std::uint8_t[std::min<std::size_t>(m_DictionarySize, m_Capacity)]);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool TCscDecoder::resetCoders()
{
  m_Bits.start();
  return m_Coder.start() && !m_Failed;
}

bool TCscDecoder::run(std::size_t& Produced)
{
  if (!prepare() || !resetCoders())
    return false;
  for (;;) {
    const std::uint32_t Type = m_Bits.integer();
    if (m_Failed)
      return false;
    const std::size_t Start = m_Position;
    const std::size_t Limit = std::min<std::size_t>(m_RawBlockSize, m_Capacity - Start);
    std::size_t Size = 0;
    switch (Type) {
    case BlockNormal:
    case BlockEnglish:
    case BlockX86: {
      if (Type == BlockEnglish)
        (void)m_Bits.integer();  // the encoder's own bookkeeping, not needed here
      if (!decodeLz(Limit, Size))
        return false;
      if (Type == BlockEnglish) {
        try {
          m_Scratch.assign(m_pOutput + Start, m_pOutput + Start + Size);
        } catch (const std::bad_alloc&) {
          return false;
        }
        expandEnglish(m_Scratch.data(), m_pOutput + Start, Size);
      } else if (Type == BlockX86) {
        inverseX86(m_pOutput + Start, Size);
      }
      break;
    }
    case BlockEntropy:
    case BlockStored:
      Size = m_Bits.integer();
      if (m_Failed || Size > m_RawBlockSize || Size > m_Capacity - Start)
        return false;
      if (!(Type == BlockStored ? decodeStored(Size) : decodeEntropy(Size)))
        return false;
      break;
    case BlockEnd:
      break;
    default:
      if (Type < BlockDeltaFirst || Type > BlockDeltaLast)
        return false;
      Size = m_Bits.integer();
      if (m_Failed || Size > m_RawBlockSize || Size > m_Capacity - Start)
        return false;
      if (!decodeDelta(Size, Type - BlockDeltaFirst))
        return false;
      break;
    }
    if (m_Failed || (Size == 0 && Type != BlockEnd))
      return false;
    m_Position = Start + Size;

    const std::uint32_t Reset = m_Bits.integer();
    if (m_Failed || Reset > 1)
      return false;
    if (Type == BlockEnd)
      break;
    if (Reset == 1 && !resetCoders())
      return false;
  }
  if (m_Position != m_Capacity || !m_Splitter.finishedCleanly())
    return false;
  Produced = m_Position;
  return true;
}

void TCscDecoder::decodeLength1(TRangeDecoder& Coder, std::uint32_t& Value)
{
  TModel& Model = *m_pModel;
  if (Coder.bit(Model.lengthSlot[0]) == 0)
    Value = Coder.tree<3>(Model.length1);
  else if (Coder.bit(Model.lengthSlot[1]) == 0)
    Value = 8 + Coder.tree<3>(Model.length2);
  else
    Value = 16 + Coder.tree<7>(Model.length3);
}

// Length code: a short code of 0..143, where 143 is an escape: it adds 143
// per 0 bit of the long-length model, then one more short code. Limit caps
// the escape loop.
bool TCscDecoder::decodeLength(TRangeDecoder& Coder, std::size_t Limit, std::size_t& Length)
{
  std::uint32_t Value = 0;
  decodeLength1(Coder, Value);
  std::size_t Total = Value;
  if (Value == 143) {
    while (Coder.bit(m_pModel->longLength) == 0) {
      Total += 143;
      if (Total > Limit || m_Failed)
        return false;
    }
    decodeLength1(Coder, Value);
    Total += Value;
  }
  Length = Total;
  return !m_Failed;
}

void TCscDecoder::putWindow(const std::uint8_t* Bytes, std::size_t Size)
{
  while (Size > 0) {
    const std::size_t Room = std::min<std::size_t>(m_DictionarySize - m_WindowPosition, Size);
    std::memcpy(m_Window.get() + m_WindowPosition, Bytes, Room);
    m_WindowPosition += Room;
    if (m_WindowPosition == m_DictionarySize)
      m_WindowPosition = 0;
    Bytes += Room;
    Size -= Room;
  }
}

// Copies Length bytes from Distance back in the window to the window and to
// the output. Copies never cross the window end; a distance must lie inside
// both the window and the bytes produced so far.
bool TCscDecoder::copyMatch(std::size_t Distance, std::size_t Length, std::size_t BlockBytes,
                            std::size_t Limit, std::size_t& WindowPosition)
{
  const std::size_t Written = m_Position + BlockBytes;
  if (Distance == 0 || Distance > Written || Distance > m_DictionarySize || Length > Limit - BlockBytes)
    return false;
  const std::size_t Target = WindowPosition;
  if (Length > m_DictionarySize - Target)
    return false;
  const std::size_t Source = Target >= Distance ? Target - Distance : Target + m_DictionarySize - Distance;
  if (Length > m_DictionarySize - Source)
    return false;
  std::uint8_t* Window = m_Window.get();
  if (Source < Target && Target - Source < Length) {
    for (std::size_t Index = 0; Index < Length; ++Index)
      Window[Target + Index] = Window[Source + Index];
  } else {
    std::memmove(Window + Target, Window + Source, Length);
  }
  std::memcpy(m_pOutput + Written, Window + Target, Length);
  WindowPosition = Target + Length;
  if (WindowPosition == m_DictionarySize)
    WindowPosition = 0;
  return true;
}

bool TCscDecoder::decodeLz(std::size_t Limit, std::size_t& Size)
{
  // The hot state lives in locals: the byte stores below may alias any
  // member, which would otherwise force reloads after every byte.
  TRangeDecoder Coder = m_Coder;
  std::size_t WindowPosition = m_WindowPosition;
  unsigned State = m_State;
  unsigned Context = m_Context;
  const std::size_t DictionarySize = m_DictionarySize;
  TModel& Model = *m_pModel;
  std::uint8_t* Window = m_Window.get();
  std::uint8_t* Output = m_pOutput + m_Position;
  std::size_t Count = 0;
  for (;;) {
    if (m_Failed)
      return false;
    const unsigned StateBase = 3 * State;
    if (Coder.bit(Model.state[StateBase]) == 0) {
      if (Count >= Limit)
        return false;
      const unsigned Literal = Coder.tree<8>(Model.literal + 256 * Context);
      Window[WindowPosition] = std::uint8_t(Literal);
      if (++WindowPosition == DictionarySize)
        WindowPosition = 0;
      Output[Count++] = std::uint8_t(Literal);
      Context = Literal;
      State = (State * 4) & 63;
      continue;
    }

    std::size_t Distance = 0;
    std::size_t Length = 0;
    if (Coder.bit(Model.state[StateBase + 1]) == 1) {
      std::size_t Code = 0;
      if (!decodeLength(Coder, Limit, Code))
        return false;
      unsigned Slot = 0;
      if (Code == 0)
        Slot = Coder.tree<3>(Model.distance);
      else if (Code <= 2)
        Slot = Coder.tree<4>(Model.distance + 8 + 16 * (Code - 1));
      else if (Code <= 5)
        Slot = Coder.tree<5>(Model.distance + 40 + 32 * (Code - 3));
      else
        Slot = Coder.tree<5>(Model.distance + 136);
      State = (State * 4 + 1) & 63;
      std::uint32_t DistanceCode = Slot;
      if (Slot > 2) {
        const unsigned Extra = Slot - 2;
        const std::uint32_t High = Extra > 4 ? m_Bits.wide(Extra - 4) : 0;
        const unsigned Low = Coder.tree<4>(Model.distanceLow + 16 * (Extra - 1));
        DistanceCode = (1u << Extra) + 1 + 16 * High + reverse4(Low);
      }
      if (m_Failed)
        return false;
      if (Code == 0 && DistanceCode == 64)
        break;  // end of block
      Distance = std::size_t(DistanceCode) + 1;
      Length = Code + 2;
      m_Repeat[3] = m_Repeat[2];
      m_Repeat[2] = m_Repeat[1];
      m_Repeat[1] = m_Repeat[0];
      m_Repeat[0] = std::uint32_t(Distance);
    } else if (Coder.bit(Model.state[StateBase + 2]) == 0) {
      Distance = m_Repeat[0];
      Length = 1;
      State = (State * 4 + 2) & 63;
    } else {
      // 2-bit tree whose nodes 1..3 sit at repeat[StateBase + node - 1].
      unsigned Node = 1;
      Node = 2 * Node + Coder.bit(Model.repeat[StateBase + Node - 1]);
      Node = 2 * Node + Coder.bit(Model.repeat[StateBase + Node - 1]);
      const unsigned Index = Node - 4;
      std::size_t Code = 0;
      if (!decodeLength(Coder, Limit, Code))
        return false;
      Length = Code + 2;
      State = (State * 4 + 3) & 63;
      Distance = m_Repeat[Index];
      for (unsigned Move = Index; Move > 0; --Move)
        m_Repeat[Move] = m_Repeat[Move - 1];
      m_Repeat[0] = std::uint32_t(Distance);
    }
    if (m_Failed || !copyMatch(Distance, Length, Count, Limit, WindowPosition))
      return false;
    Count += Length;
    Context = Output[Count - 1];
  }
  m_Coder = Coder;
  m_WindowPosition = WindowPosition;
  m_State = State;
  m_Context = Context;
  Size = Count;
  return true;
}

bool TCscDecoder::decodeStored(std::size_t Size)
{
  std::uint8_t* Output = m_pOutput + m_Position;
  if (!m_Bits.bytes(Output, Size))
    return false;
  putWindow(Output, Size);
  return true;
}

// Literal-only block: each byte coded with the literal model under the
// running literal context, without token flags.
bool TCscDecoder::decodeEntropy(std::size_t Size)
{
  TRangeDecoder Coder = m_Coder;
  unsigned Context = m_Context;
  TModel& Model = *m_pModel;
  std::uint8_t* Output = m_pOutput + m_Position;
  for (std::size_t Index = 0; Index < Size; ++Index) {
    Context = Coder.tree<8>(Model.literal + 256 * Context);
    if (m_Failed)
      return false;
    Output[Index] = std::uint8_t(Context);
  }
  m_Coder = Coder;
  m_Context = Context;
  putWindow(Output, Size);
  return true;
}

// Run-length coded bytes (a run repeats the previous byte 11 or more
// times), then the inverse delta filter for blocks of 512 bytes and more.
bool TCscDecoder::decodeDelta(std::size_t Size, std::size_t ChannelIndex)
{
  TRangeDecoder Coder = m_Coder;
  TModel& Model = *m_pModel;
  std::uint8_t* Output = m_pOutput + m_Position;
  unsigned Previous = 0;
  std::size_t Count = 0;
  while (Count < Size) {
    if (m_Failed)
      return false;
    if (Coder.bit(Model.run) == 0) {
      Previous = Coder.tree<8>(Model.delta + 256 * Previous);
      Output[Count++] = std::uint8_t(Previous);
      continue;
    }
    if (Count == 0)
      return false;
    std::size_t Run = 0;
    if (!decodeLength(Coder, Size, Run))
      return false;
    Run = std::min(Run + 11, Size - Count);
    std::memset(Output + Count, int(Previous), Run);
    Count += Run;
  }
  if (m_Failed)
    return false;
  m_Coder = Coder;
  if (Size >= 512) {
    try {
      m_Scratch.assign(Output, Output + Size);
    } catch (const std::bad_alloc&) {
      return false;
    }
    inverseDelta(m_Scratch.data(), Output, Size, kDeltaChannels[ChannelIndex]);
  }
  putWindow(Output, Size);
  return true;
}

std::uint32_t readBigEndian(const std::uint8_t* Data, int Bytes)
{
  std::uint32_t Value = 0;
  for (int Index = 0; Index < Bytes; ++Index)
    Value = (Value << 8) | Data[Index];
  return Value;
}

} // namespace

bool decodeCsc(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
               std::size_t OutputCapacity, std::size_t& Produced)
{
  Produced = 0;
  if (Input == nullptr || Output == nullptr || InputSize <= kPropertySize || OutputCapacity == 0)
    return false;
  const std::uint32_t DictionarySize = readBigEndian(Input, 4);
  const std::uint32_t IoBlockSize = readBigEndian(Input + 4, 3);
  const std::uint32_t RawBlockSize = readBigEndian(Input + 7, 3);
  if (DictionarySize < kMinDictionarySize || DictionarySize > kMaxDictionarySize || IoBlockSize == 0 ||
      RawBlockSize == 0)
    return false;
  try {
    TCscDecoder Decoder(Input, InputSize, DictionarySize, IoBlockSize, RawBlockSize, Output,
                        OutputCapacity);
    return Decoder.run(Produced);
  } catch (...) {
    return false;
  }
}

} // namespace shared::codecs
