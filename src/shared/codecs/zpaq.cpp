#include "shared/codecs/codecs.h"
#include "shared/codecs/sha1.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

// ZPAQ (levels 1 and 2) decoder.
//
// A stream is a sequence of blocks. Each block header describes a context
// model (a list of components) and carries HCOMP, a program for the ZPAQL
// virtual machine that computes the components' contexts after every byte.
// The coded data of a block's segments is decoded bit by bit with a binary
// arithmetic decoder driven by the model's prediction; the decoded bytes go
// through a post-processor (PASS, or a PCOMP program sent at the start of the
// first segment). A segment may end with the SHA-1 of its output, which is
// verified.
//
// Everything in a stream is untrusted. The decoder bounds what a stream can
// make it do:
//
//  - Memory. The tables a block header asks for (component tables plus the H
//    and M arrays of both machines) are counted before anything is allocated.
//    One block may use at most min(kMaxBlockMemory, kBaseBlockMemory +
//    kBlockMemoryPerOutputByte * output capacity). Streams of the reference
//    packer (method "5", one block per 16 MiB - 4 KiB of input) ask for
//    about 100 MiB for inputs up to 1 MiB (a 64 MiB SSE table, 1-2 MiB per
//    hash table); the hash tables and the match model grow with the input,
//    by one size step from 256 KiB to 1 MiB, so a full 16 MiB block comes to
//    roughly 350 MiB (700 MiB if the tables grew twice as fast). The limit
//    for 16 MiB of output is 1.28 GiB. All blocks of one stream together
//    may allocate at most the per-block limit plus
//    kCumulativeMemoryPerOutputByte per byte of output capacity, so a stream
//    of many tiny blocks cannot make the decoder clear gigabytes over and
//    over.
//  - Memory across decodes. Chunks are decoded on several threads at once;
//    the model memory of all ZPAQ blocks being decoded in the process at the
//    same moment is held to a shared budget (kMaxBlockMemory unless set
//    otherwise). A block waits until its tables fit into what is left, and
//    always runs when no other block holds memory, so progress is certain and
//    the total stays at max(budget, one block).
//  - Size exponents. Machine arrays: H at most 2^kMaxHBits words, M at most
//    2^kMaxMBits bytes (the reference packer uses 2^9 and 2^16). Component
//    tables: at most 2^kMaxTableBits entries (the packer's largest, the SSE
//    table, has 2^24); the memory limit above is the tighter bound.
//  - Work per bit. At most kMaxMixerInputs mixer inputs over all MIX
//    components of a block (the packer uses under 50), so the per-bit cost of a
//    model is at most a few times that of a real one.
//  - Work per byte. Every ZPAQL instruction (HCOMP and PCOMP) is counted
//    against one budget of kBaseSteps + kStepsPerOutputByte * output capacity
//    (the packer's HCOMP runs about 160 instructions per byte), so a
//    program that loops forever fails instead of spinning. The number of
//    decoded bytes (the post-processor's input) is limited to twice the
//    output capacity plus room for a PCOMP program: a transform that needs
//    more than two coded bytes per output byte is not something a packer
//    would write, and the limit bounds the modelling work.
//
// Any malformed input makes the decoder return false; nothing is read or
// written outside the caller's buffers.
namespace shared::codecs {

namespace {

constexpr unsigned kMaxHBits = 24;
constexpr unsigned kMaxMBits = 26;
constexpr unsigned kMaxTableBits = 28;
constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kBaseBlockMemory = 256 * kMiB;
constexpr std::uint64_t kBlockMemoryPerOutputByte = 64;
constexpr std::uint64_t kMaxBlockMemory = 1536 * kMiB;
constexpr std::uint64_t kCumulativeMemoryPerOutputByte = 256;
constexpr unsigned kMaxMixerInputs = 256;
constexpr std::uint64_t kBaseSteps = std::uint64_t(1) << 24;
constexpr std::uint64_t kStepsPerOutputByte = 2048;
constexpr std::uint64_t kDecodedSlack = 70000;  // PCOMP program (< 64 KiB) and its header

const std::uint8_t kBlockStart[16] = {0x37, 0x6B, 0x53, 0x74, 0xA0, 0x31, 0x83, 0xD3,
                                      0x8C, 0xB2, 0x28, 0xB0, 0xD3, 'z',  'P',  'Q'};

// ---------------------------------------------------------------------------
// Fixed tables

struct TTables
{
  std::int16_t stretch[32768];
  std::int16_t squash[4096];
  std::int32_t dt[1024];      // count-based adaptation rates of CM and SSE
  std::int32_t dt2k[256];     // MATCH: 2048 / length
  std::uint8_t next[256][2];  // bit-history state transitions
  std::uint32_t stateProbability[256];  // initial ICM probability per state (23 bits)

  TTables();
};

// Number of bit-history states that stand for N0 zeros and N1 ones.
int stateCount(int N0, int N1)
{
  if (N0 < N1)
    std::swap(N0, N1);
  static const int Bound[6] = {20, 48, 15, 8, 6, 5};
  if (N1 < 0 || N1 >= 6 || N0 > Bound[N1])
    return 0;
  return 1 + (N1 > 0 && N0 + N1 <= 17);
}

void discountCount(int& Count)
{
  Count = (Count >= 1) + (Count >= 2) + (Count >= 3) + (Count >= 4) + (Count >= 5) + (Count >= 7) +
          (Count >= 8);
}

void nextCounts(int& N0, int& N1, int Y)
{
  if (N0 < N1) {
    nextCounts(N1, N0, 1 - Y);
    return;
  }
  if (Y) {
    ++N1;
    discountCount(N0);
  } else {
    ++N0;
    discountCount(N1);
  }
  while (stateCount(N0, N1) == 0) {
    if (N1 < 2) {
      --N0;
    } else {
      N0 = (N0 * (N1 - 1) + N1 / 2) / N1;
      --N1;
    }
  }
}

TTables::TTables()
{
  for (int Index = 0; Index < 32768; ++Index)
    stretch[Index] = std::int16_t(
        int(std::log((Index + 0.5) / (32767.5 - Index)) * 64 + 0.5 + 100000) - 100000);
  for (int Index = 0; Index < 4096; ++Index)
    squash[Index] = std::int16_t(int(32768.0 / (1 + std::exp((Index - 2048) * (-1.0 / 64)))));
  for (int Index = 0; Index < 1024; ++Index)
    dt[Index] = (1 << 17) / (Index * 2 + 3) * 2;
  dt2k[0] = 0;
  for (int Index = 1; Index < 256; ++Index)
    dt2k[Index] = 2048 / Index;

  // Number the (n0, n1) pairs by increasing total, then by increasing n1.
  constexpr int N = 50;
  static std::uint8_t Number[N][N][2];
  std::memset(Number, 0, sizeof(Number));
  int State = 0;
  for (int Total = 0; Total < N; ++Total)
    for (int N1 = 0; N1 <= Total; ++N1) {
      const int N0 = Total - N1;
      const int Count = stateCount(N0, N1);
      if (Count != 0) {
        Number[N0][N1][0] = std::uint8_t(State);
        Number[N0][N1][1] = std::uint8_t(State + Count - 1);
        State += Count;
      }
    }
  std::memset(next, 0, sizeof(next));
  std::memset(stateProbability, 0, sizeof(stateProbability));
  for (int N0 = 0; N0 < N; ++N0)
    for (int N1 = 0; N1 < N; ++N1)
      for (int Which = 0; Which < stateCount(N0, N1); ++Which) {
        const int S = Number[N0][N1][Which];
        int Zeros = N0, Ones = N1;
        nextCounts(Zeros, Ones, 0);
        next[S][0] = Number[Zeros][Ones][0];
        Zeros = N0;
        Ones = N1;
        nextCounts(Zeros, Ones, 1);
        next[S][1] = Number[Zeros][Ones][1];
        stateProbability[S] = std::uint32_t(((N1 * 2 + 1) << 22) / (N0 + N1 + 1));
      }
}

const TTables& tables()
{
  static const TTables Tables;
  return Tables;
}

inline int clamp2k(int Value)
{
  return Value < -2048 ? -2048 : (Value > 2047 ? 2047 : Value);
}

inline int clamp512k(int Value)
{
  return Value < -(1 << 19) ? -(1 << 19) : (Value > (1 << 19) - 1 ? (1 << 19) - 1 : Value);
}

// A zero-filled array of trivial values. Large arrays are mapped straight
// from the kernel: their pages are zero without being written, so a large
// table that a short input touches only in places costs little, and they
// are backed by huge pages where the system allows it (the model tables are
// accessed at random, which otherwise costs a TLB miss on most accesses).
template <typename T>
class TTable
{
public:
  TTable() = default;
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;
  TTable(TTable&& Other) noexcept { swap(Other); }
  TTable& operator=(TTable&& Other) noexcept
  {
    TTable Moved(std::move(Other));
    swap(Moved);
    return *this;
  }
  ~TTable() { release(); }

  // Allocates Count zero values (throws std::bad_alloc on failure).
  void allocate(std::size_t Count)
  {
    release();
    if (Count == 0)
      return;
    const std::size_t Bytes = Count * sizeof(T);
#if defined(__linux__)
    if (Bytes >= kMapThreshold) {
      // Map a huge page more than needed and start at a huge-page boundary:
      // only whole aligned huge pages can back the table.
      const std::size_t Mapped = Bytes + kHugePage;
      void* Memory = ::mmap(nullptr, Mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (Memory == MAP_FAILED)
        throw std::bad_alloc();
      const std::uintptr_t Start =
          (reinterpret_cast<std::uintptr_t>(Memory) + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1);
#if defined(MADV_HUGEPAGE)
      ::madvise(reinterpret_cast<void*>(Start), Bytes, MADV_HUGEPAGE);
#endif
      m_mapping = Memory;
      m_mappedBytes = Mapped;
      m_data = reinterpret_cast<T*>(Start);
      m_size = Count;
      return;
    }
#endif
    m_data = static_cast<T*>(std::calloc(Count, sizeof(T)));
    if (m_data == nullptr)
      throw std::bad_alloc();
    m_size = Count;
  }

  void fill(const T& Value) { std::fill(m_data, m_data + m_size, Value); }

  void release()
  {
#if defined(__linux__)
    if (m_mapping != nullptr)
      ::munmap(m_mapping, m_mappedBytes);
    else
#endif
      std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    m_mapping = nullptr;
    m_mappedBytes = 0;
  }

  T* data() { return m_data; }
  const T* data() const { return m_data; }
  std::size_t size() const { return m_size; }
  T& operator[](std::size_t Index) { return m_data[Index]; }
  const T& operator[](std::size_t Index) const { return m_data[Index]; }

private:
  static constexpr std::size_t kMapThreshold = std::size_t(1) << 20;
  static constexpr std::size_t kHugePage = std::size_t(2) << 20;

  void swap(TTable& Other) noexcept
  {
    std::swap(m_data, Other.m_data);
    std::swap(m_size, Other.m_size);
    std::swap(m_mapping, Other.m_mapping);
    std::swap(m_mappedBytes, Other.m_mappedBytes);
  }

  T* m_data = nullptr;
  std::size_t m_size = 0;
  void* m_mapping = nullptr;  // mmap'ed region (larger than the table), or null
  std::size_t m_mappedBytes = 0;
};

// ---------------------------------------------------------------------------
// ZPAQL machine

struct TOutputSink
{
  std::uint8_t* data = nullptr;
  std::size_t capacity = 0;
  std::size_t size = 0;
};

class TMachine
{
public:
  // Memory the arrays of a machine with these size exponents need.
  static std::uint64_t memoryNeeded(unsigned HBits, unsigned MBits)
  {
    return (std::uint64_t(4) << HBits) + (std::uint64_t(1) << MBits);
  }

  void setup(const std::uint8_t* Code, std::size_t CodeSize, unsigned HBits, unsigned MBits)
  {
    // Two zero bytes after the program: an operand fetch never leaves the
    // array, and falling off the end meets opcode 0 (an error).
    m_code.assign(Code, Code + CodeSize);
    m_code.resize(CodeSize + 2, 0);
    m_codeSize = CodeSize;
    m_h.allocate(std::size_t(1) << HBits);
    m_m.allocate(std::size_t(1) << MBits);
    m_hMask = std::uint32_t((std::uint64_t(1) << HBits) - 1);
    m_mMask = std::uint32_t((std::uint64_t(1) << MBits) - 1);
    m_a = m_b = m_c = m_d = 0;
    m_f = false;
    m_r.fill(0);
  }

  // Frees the arrays (the machine is unusable until the next setup).
  void release()
  {
    m_code = {};
    m_codeSize = 0;
    m_h.release();
    m_m.release();
  }

  std::uint32_t h(std::uint32_t Index) const { return m_h[Index & m_hMask]; }

  // Runs the program once with A = Input until HALT. OUT writes to Sink
  // (when given). Fails on an undefined instruction, a jump out of the
  // program, output beyond the sink, or when Budget runs out.
  bool run(std::uint32_t Input, std::uint64_t& Budget, TOutputSink* Sink);

private:
  std::vector<std::uint8_t> m_code;
  std::size_t m_codeSize = 0;
  TTable<std::uint32_t> m_h;
  TTable<std::uint8_t> m_m;
  std::uint32_t m_hMask = 0;
  std::uint32_t m_mMask = 0;
  std::uint32_t m_a = 0, m_b = 0, m_c = 0, m_d = 0;
  bool m_f = false;
  std::array<std::uint32_t, 256> m_r{};
};

bool TMachine::run(std::uint32_t Input, std::uint64_t& Budget, TOutputSink* Sink)
{
  const std::uint8_t* const Code = m_code.data();
  const std::size_t Size = m_codeSize;
  std::uint32_t* const H = m_h.data();
  std::uint8_t* const M = m_m.data();
  std::uint32_t* const R = m_r.data();
  const std::uint32_t HMask = m_hMask;
  const std::uint32_t MMask = m_mMask;
  std::uint32_t A = Input, B = m_b, C = m_c, D = m_d;
  bool F = m_f;
  std::size_t Pc = 0;
  bool Ok = false;
  std::uint64_t Left = Budget;

#define ZPAQL_MB M[B & MMask]
#define ZPAQL_MC M[C & MMask]
#define ZPAQL_HD H[D & HMask]
  // The eight sources of an operand: A B C D *B *C *D and the next byte N.
#define ZPAQL_WITH_Y(BASE, OPERATION)                 \
  case BASE + 0: { const std::uint32_t Y = A; OPERATION; } break;        \
  case BASE + 1: { const std::uint32_t Y = B; OPERATION; } break;        \
  case BASE + 2: { const std::uint32_t Y = C; OPERATION; } break;        \
  case BASE + 3: { const std::uint32_t Y = D; OPERATION; } break;        \
  case BASE + 4: { const std::uint32_t Y = ZPAQL_MB; OPERATION; } break; \
  case BASE + 5: { const std::uint32_t Y = ZPAQL_MC; OPERATION; } break; \
  case BASE + 6: { const std::uint32_t Y = ZPAQL_HD; OPERATION; } break; \
  case BASE + 7: { const std::uint32_t Y = Code[Pc++]; OPERATION; } break;
  // Relative jump: the operand is at Pc; the target is the byte after the
  // operand plus the signed operand. A target outside the program is an
  // error (size_t arithmetic wraps below zero to a huge value).
#define ZPAQL_JUMP                                                               \
  Pc += std::size_t(std::ptrdiff_t(((Code[Pc] + 128) & 255) - 127));            \
  if (Pc >= Size)                                                               \
    goto Done;

  // Sequential execution cannot leave the program unnoticed: the code is
  // followed by two zero bytes, and 0 is an invalid opcode.
  for (;;) {
    if (Left == 0)
      goto Done;
    --Left;
    switch (Code[Pc++]) {
    case 1: ++A; break;
    case 2: --A; break;
    case 3: A = ~A; break;
    case 4: A = 0; break;
    case 7: A = R[Code[Pc++]]; break;
    case 8: std::swap(A, B); break;
    case 9: ++B; break;
    case 10: --B; break;
    case 11: B = ~B; break;
    case 12: B = 0; break;
    case 15: B = R[Code[Pc++]]; break;
    case 16: std::swap(A, C); break;
    case 17: ++C; break;
    case 18: --C; break;
    case 19: C = ~C; break;
    case 20: C = 0; break;
    case 23: C = R[Code[Pc++]]; break;
    case 24: std::swap(A, D); break;
    case 25: ++D; break;
    case 26: --D; break;
    case 27: D = ~D; break;
    case 28: D = 0; break;
    case 31: D = R[Code[Pc++]]; break;
    case 32: {  // *B<>A: only the low 8 bits of A take part
      const std::uint32_t Old = ZPAQL_MB;
      ZPAQL_MB = std::uint8_t(A);
      A = (A & ~std::uint32_t(255)) | Old;
      break;
    }
    case 33: ++ZPAQL_MB; break;
    case 34: --ZPAQL_MB; break;
    case 35: ZPAQL_MB = std::uint8_t(~ZPAQL_MB); break;
    case 36: ZPAQL_MB = 0; break;
    case 39:  // JT N
      if (F) {
        ZPAQL_JUMP
      } else {
        ++Pc;
      }
      break;
    case 40: {
      const std::uint32_t Old = ZPAQL_MC;
      ZPAQL_MC = std::uint8_t(A);
      A = (A & ~std::uint32_t(255)) | Old;
      break;
    }
    case 41: ++ZPAQL_MC; break;
    case 42: --ZPAQL_MC; break;
    case 43: ZPAQL_MC = std::uint8_t(~ZPAQL_MC); break;
    case 44: ZPAQL_MC = 0; break;
    case 47:  // JF N
      if (!F) {
        ZPAQL_JUMP
      } else {
        ++Pc;
      }
      break;
    case 48: std::swap(A, ZPAQL_HD); break;
    case 49: ++ZPAQL_HD; break;
    case 50: --ZPAQL_HD; break;
    case 51: ZPAQL_HD = ~ZPAQL_HD; break;
    case 52: ZPAQL_HD = 0; break;
    case 55: R[Code[Pc++]] = A; break;
    case 56:  // HALT
      Ok = true;
      goto Done;
    case 57:  // OUT
      if (Sink) {
        if (Sink->size >= Sink->capacity)
          goto Done;
        Sink->data[Sink->size++] = std::uint8_t(A);
      }
      break;
    case 59: A = (A + ZPAQL_MB + 512) * 773; break;            // HASH
    case 60: ZPAQL_HD = (ZPAQL_HD + A + 512) * 773; break;     // HASHD
    case 63:                                                   // JMP N
      ZPAQL_JUMP
      break;
    ZPAQL_WITH_Y(64, A = Y)
    ZPAQL_WITH_Y(72, B = Y)
    ZPAQL_WITH_Y(80, C = Y)
    ZPAQL_WITH_Y(88, D = Y)
    ZPAQL_WITH_Y(96, ZPAQL_MB = std::uint8_t(Y))
    ZPAQL_WITH_Y(104, ZPAQL_MC = std::uint8_t(Y))
    ZPAQL_WITH_Y(112, ZPAQL_HD = Y)
    ZPAQL_WITH_Y(128, A += Y)
    ZPAQL_WITH_Y(136, A -= Y)
    ZPAQL_WITH_Y(144, A *= Y)
    ZPAQL_WITH_Y(152, A = Y ? A / Y : 0)
    ZPAQL_WITH_Y(160, A = Y ? A % Y : 0)
    ZPAQL_WITH_Y(168, A &= Y)
    ZPAQL_WITH_Y(176, A &= ~Y)
    ZPAQL_WITH_Y(184, A |= Y)
    ZPAQL_WITH_Y(192, A ^= Y)
    ZPAQL_WITH_Y(200, A <<= (Y & 31))
    ZPAQL_WITH_Y(208, A >>= (Y & 31))
    ZPAQL_WITH_Y(216, F = A == Y)
    ZPAQL_WITH_Y(224, F = A < Y)
    ZPAQL_WITH_Y(232, F = A > Y)
    case 255:  // LJ N1 N2: absolute jump
      Pc = std::size_t(Code[Pc]) + 256 * std::size_t(Code[Pc + 1]);
      if (Pc >= Size)
        goto Done;
      break;
    default:  // 0 and the unassigned opcodes
      goto Done;
    }
  }
#undef ZPAQL_MB
#undef ZPAQL_MC
#undef ZPAQL_HD
#undef ZPAQL_WITH_Y
#undef ZPAQL_JUMP

Done:
  Budget = Left;
  m_a = A;
  m_b = B;
  m_c = C;
  m_d = D;
  m_f = F;
  return Ok;
}

// ---------------------------------------------------------------------------
// Mixer arithmetic. The weights are 20-bit and the inputs 12-bit signed
// values, so every product and sum fits 32 bits; the vector versions give
// exactly the results of the plain ones.

// Sum of (weight >> 8) * input.
inline int mixerDot(const std::int32_t* Weights, const std::int32_t* Inputs, unsigned Count)
{
  int Dot = 0;
  for (unsigned Index = 0; Index < Count; ++Index)
    Dot += (Weights[Index] >> 8) * Inputs[Index];
  return Dot;
}

// weight += (error * input + 4096) >> 13, limited to 20 bits.
inline void mixerTrain(std::int32_t* Weights, const std::int32_t* Inputs, unsigned Count, int Error)
{
  for (unsigned Index = 0; Index < Count; ++Index)
    Weights[Index] = clamp512k(Weights[Index] + ((Error * Inputs[Index] + (1 << 12)) >> 13));
}

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

bool hasVectorMixer()
{
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// The vector versions work in groups of eight; the last group is masked.
// They read (never change) up to seven values past the end of both arrays:
// the input array and the weight tables have that much slack.
__attribute__((target("avx2"))) inline __m256i mixerTailMask(unsigned Left)
{
  const __m256i Lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(int(Left)), Lanes);
}

__attribute__((target("avx2"))) int mixerDotVector(const std::int32_t* Weights,
                                                   const std::int32_t* Inputs, unsigned Count)
{
  __m256i Sum = _mm256_setzero_si256();
  for (unsigned Index = 0; Index < Count; Index += 8) {
    const __m256i W = _mm256_srai_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Weights + Index)), 8);
    const __m256i In = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Inputs + Index));
    __m256i Product = _mm256_mullo_epi32(W, In);
    if (Count - Index < 8)
      Product = _mm256_and_si256(Product, mixerTailMask(Count - Index));
    Sum = _mm256_add_epi32(Sum, Product);
  }
  __m128i Half = _mm_add_epi32(_mm256_castsi256_si128(Sum), _mm256_extracti128_si256(Sum, 1));
  Half = _mm_add_epi32(Half, _mm_shuffle_epi32(Half, 0x4E));
  Half = _mm_add_epi32(Half, _mm_shuffle_epi32(Half, 0xB1));
  return _mm_cvtsi128_si32(Half);
}

__attribute__((target("avx2"))) void mixerTrainVector(std::int32_t* Weights,
                                                      const std::int32_t* Inputs, unsigned Count,
                                                      int Error)
{
  const __m256i E = _mm256_set1_epi32(Error);
  const __m256i Round = _mm256_set1_epi32(1 << 12);
  const __m256i Low = _mm256_set1_epi32(-(1 << 19));
  const __m256i High = _mm256_set1_epi32((1 << 19) - 1);
  for (unsigned Index = 0; Index < Count; Index += 8) {
    __m256i* Target = reinterpret_cast<__m256i*>(Weights + Index);
    const __m256i In = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Inputs + Index));
    __m256i Step = _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(E, In), Round), 13);
    if (Count - Index < 8)
      Step = _mm256_and_si256(Step, mixerTailMask(Count - Index));
    const __m256i Old = _mm256_loadu_si256(Target);
    const __m256i W = _mm256_max_epi32(_mm256_min_epi32(_mm256_add_epi32(Old, Step), High), Low);
    _mm256_storeu_si256(Target, W);
  }
}

#else

bool hasVectorMixer()
{
  return false;
}

inline int mixerDotVector(const std::int32_t* Weights, const std::int32_t* Inputs, unsigned Count)
{
  return mixerDot(Weights, Inputs, Count);
}

inline void mixerTrainVector(std::int32_t* Weights, const std::int32_t* Inputs, unsigned Count,
                             int Error)
{
  mixerTrain(Weights, Inputs, Count, Error);
}

#endif

// ---------------------------------------------------------------------------
// Model

enum EComponentType : std::uint8_t
{
  ComponentCons = 1,
  ComponentCm = 2,
  ComponentIcm = 3,
  ComponentMatch = 4,
  ComponentAvg = 5,
  ComponentMix2 = 6,
  ComponentMix = 7,
  ComponentIsse = 8,
  ComponentSse = 9,
};

// Descriptor size (type byte included) per component type.
constexpr int kComponentSize[10] = {0, 2, 3, 2, 3, 4, 6, 6, 3, 5};

constexpr unsigned kMatchMaxLength = 255;

struct TComponent
{
  std::uint8_t type = 0;
  std::uint8_t arg[5] = {};  // the descriptor bytes after the type
  std::uint32_t mask = 0;    // index mask of the main table
  std::uint32_t limit = 0;   // CM, SSE: count limit
  std::uint32_t cxt = 0;     // CM, SSE: counter index; MIX, MIX2: weight row; ICM, ISSE: state
  std::uint32_t slot = 0;    // ICM, ISSE: offset of the current slot in the hash table
  unsigned hashBits = 0;     // ICM, ISSE: log2 of the number of slots
  // MATCH
  std::uint32_t length = 0;
  std::uint32_t offset = 0;
  std::uint32_t position = 0;
  std::uint32_t bitPosition = 0;
  std::uint32_t predictedBit = 0;
  std::uint32_t bufferMask = 0;
  std::uint32_t context = 0;  // the context hash of the byte being coded

  TTable<std::uint32_t> table;      // CM, SSE counters; ICM probabilities; MATCH index
  TTable<std::int32_t> weights;     // MIX weights; ISSE weight pairs
  TTable<std::uint16_t> weights16;  // MIX2 weights
  TTable<std::uint8_t> bytes;       // ICM, ISSE hash table; MATCH history
};

struct TBlockHeader
{
  unsigned hh = 0, hm = 0, ph = 0, pm = 0;
  std::vector<TComponent> components;
  const std::uint8_t* hcomp = nullptr;
  std::size_t hcompSize = 0;
};

// Checks the argument bytes of one component and returns the memory its
// tables need; false when the descriptor is invalid or exceeds the limits.
bool componentMemory(const TComponent& Component, std::size_t Index, unsigned& MixerInputs,
                     std::uint64_t& Bytes)
{
  const std::uint8_t* Arg = Component.arg;
  const unsigned Bits = Arg[0];
  Bytes = 0;
  switch (Component.type) {
  case ComponentCons:
    return true;
  case ComponentCm:
    if (Bits > kMaxTableBits)
      return false;
    Bytes = std::uint64_t(4) << Bits;
    return true;
  case ComponentIcm:
    if (Bits + 2 > kMaxTableBits)
      return false;
    Bytes = (std::uint64_t(64) << Bits) + 1024;
    return true;
  case ComponentMatch:
    if (Bits > kMaxTableBits || Arg[1] > kMaxTableBits)
      return false;
    Bytes = (std::uint64_t(4) << Bits) + (std::uint64_t(1) << Arg[1]);
    return true;
  case ComponentAvg:
    return Arg[0] < Index && Arg[1] < Index;
  case ComponentMix2:
    if (Bits > kMaxTableBits || Arg[1] >= Index || Arg[2] >= Index)
      return false;
    Bytes = std::uint64_t(2) << Bits;
    return true;
  case ComponentMix: {
    const unsigned Inputs = Arg[2];
    MixerInputs += Inputs;
    if (Bits > kMaxTableBits || Inputs == 0 || Arg[1] >= Index || Inputs > Index - Arg[1] ||
        MixerInputs > kMaxMixerInputs)
      return false;
    Bytes = ((std::uint64_t(4) * Inputs) << Bits) + 32;
    return true;
  }
  case ComponentIsse:
    if (Bits + 2 > kMaxTableBits || Arg[1] >= Index)
      return false;
    Bytes = (std::uint64_t(64) << Bits) + 2048;
    return true;
  case ComponentSse:
    if (Bits + 5 > kMaxTableBits || Arg[1] >= Index)
      return false;
    Bytes = std::uint64_t(128) << Bits;
    return true;
  default:
    return false;
  }
}

class TPredictor
{
public:
  // Takes the components of a block header (tables are allocated here) and
  // the machine that runs HCOMP.
  void setup(std::vector<TComponent> Components, TMachine* Hcomp, std::uint64_t* Budget);

  // Frees the tables of the previous block.
  void release()
  {
    m_components.clear();
    m_count = 0;
  }

  // Probability that the next bit is 1, 15 bits.
  int probability() const { return m_probability; }
  // Trains the model with the coded bit (running HCOMP after a whole byte)
  // and predicts the next bit. False when HCOMP fails.
  bool update(int Y);

private:
  template <bool Train>
  void step(int Y, unsigned OldNode);

  const TTables& m_tables = tables();
  std::vector<TComponent> m_components;
  std::size_t m_count = 0;
  std::vector<std::uint8_t> m_hashed;  // ICM and ISSE components
  std::vector<std::uint8_t> m_rows;    // MIX and SSE components
  bool m_vectorMixer = false;
  // Predictions of the current and of the previous bit (training uses the
  // latter), with slack for the vector mixer.
  std::int32_t m_predictions[2][256 + 8] = {};
  std::int32_t* m_p = m_predictions[0];
  std::int32_t* m_pOld = m_predictions[1];
  int m_probability = 16384;
  std::uint32_t m_h[256] = {};
  std::uint32_t m_c8 = 1;
  std::uint32_t m_hmap4 = 1;
  TMachine* m_pHcomp = nullptr;
  std::uint64_t* m_pBudget = nullptr;
};

void TPredictor::setup(std::vector<TComponent> Components, TMachine* Hcomp, std::uint64_t* Budget)
{
  m_components = std::move(Components);
  m_count = m_components.size();
  m_pHcomp = Hcomp;
  m_pBudget = Budget;
  m_c8 = 1;
  m_hmap4 = 1;
  std::memset(m_predictions, 0, sizeof(m_predictions));
  m_p = m_predictions[0];
  m_pOld = m_predictions[1];
  std::fill(std::begin(m_h), std::end(m_h), 0);

  m_hashed.clear();
  m_rows.clear();
  m_vectorMixer = hasVectorMixer();
  const TTables& T = m_tables;
  for (std::size_t Index = 0; Index < m_count; ++Index) {
    TComponent& Component = m_components[Index];
    const std::uint8_t* Arg = Component.arg;
    if (Component.type == ComponentIcm || Component.type == ComponentIsse)
      m_hashed.push_back(std::uint8_t(Index));
    if (Component.type == ComponentMix || Component.type == ComponentSse)
      m_rows.push_back(std::uint8_t(Index));
    switch (Component.type) {
    case ComponentCons:
      m_predictions[0][Index] = m_predictions[1][Index] = (int(Arg[0]) - 128) * 4;
      break;
    case ComponentCm:
      Component.table.allocate(std::size_t(1) << Arg[0]);
      Component.table.fill(0x80000000u);
      Component.mask = std::uint32_t((std::size_t(1) << Arg[0]) - 1);
      Component.limit = std::uint32_t(Arg[1]) * 4;
      break;
    case ComponentIcm:
      Component.hashBits = Arg[0] + 2u;
      Component.bytes.allocate(std::size_t(16) << Component.hashBits);
      Component.table.allocate(256);
      std::copy(T.stateProbability, T.stateProbability + 256, Component.table.data());
      break;
    case ComponentMatch:
      Component.table.allocate(std::size_t(1) << Arg[0]);
      Component.mask = std::uint32_t((std::size_t(1) << Arg[0]) - 1);
      Component.bytes.allocate(std::size_t(1) << Arg[1]);
      Component.bytes[0] = 1;
      Component.bufferMask = std::uint32_t((std::size_t(1) << Arg[1]) - 1);
      break;
    case ComponentAvg:
      break;
    case ComponentMix2:
      Component.weights16.allocate(std::size_t(1) << Arg[0]);
      Component.weights16.fill(32768);
      Component.mask = std::uint32_t((std::size_t(1) << Arg[0]) - 1);
      break;
    case ComponentMix:
      Component.weights.allocate((std::size_t(Arg[2]) << Arg[0]) + 8);  // slack for the vector mixer
      std::fill(Component.weights.data(), Component.weights.data() + (std::size_t(Arg[2]) << Arg[0]),
                65536 / Arg[2]);
      Component.mask = std::uint32_t((std::size_t(1) << Arg[0]) - 1);
      break;
    case ComponentIsse:
      Component.hashBits = Arg[0] + 2u;
      Component.bytes.allocate(std::size_t(16) << Component.hashBits);
      Component.weights.allocate(512);
      for (int State = 0; State < 256; ++State) {
        Component.weights[2 * State] = 1 << 15;
        Component.weights[2 * State + 1] =
            clamp512k(T.stretch[T.stateProbability[State] >> 8] * 1024);
      }
      break;
    case ComponentSse:
      Component.table.allocate(std::size_t(32) << Arg[0]);
      Component.mask = std::uint32_t((std::size_t(32) << Arg[0]) - 1);
      // Every row of 32 starts as the same interpolation table.
      for (std::size_t Entry = 0; Entry < 32; ++Entry)
        Component.table[Entry] =
            std::uint32_t(T.squash[Entry * 64 - 992 + 2048]) << 17 | Arg[2];
      for (std::size_t Done = 32; Done < Component.table.size(); Done *= 2)
        std::memcpy(Component.table.data() + Done, Component.table.data(), Done * sizeof(std::uint32_t));
      Component.limit = std::uint32_t(Arg[3]) * 4;
      break;
    }
  }
  step<false>(0, 0);
}

// Finds (or makes) the 16-byte slot of a context in an ICM/ISSE hash table:
// one of three neighbouring slots whose check byte matches, else the least
// used of them, cleared.
inline std::uint32_t findSlot(std::uint8_t* Table, std::size_t Size, unsigned HashBits,
                              std::uint32_t Context)
{
  const std::uint8_t Check = std::uint8_t(Context >> HashBits);
  const std::uint32_t H0 = std::uint32_t((std::size_t(Context) * 16) & (Size - 16));
  if (Table[H0] == Check)
    return H0;
  const std::uint32_t H1 = H0 ^ 16;
  if (Table[H1] == Check)
    return H1;
  const std::uint32_t H2 = H0 ^ 32;
  if (Table[H2] == Check)
    return H2;
  std::uint32_t Chosen;
  if (Table[H0 + 1] <= Table[H1 + 1] && Table[H0 + 1] <= Table[H2 + 1])
    Chosen = H0;
  else if (Table[H1 + 1] < Table[H2 + 1])
    Chosen = H1;
  else
    Chosen = H2;
  std::memset(Table + Chosen, 0, 16);
  Table[Chosen] = Check;
  return Chosen;
}

bool TPredictor::update(int Y)
{
  const unsigned OldNode = m_hmap4 & 15;
  m_c8 = m_c8 * 2 + std::uint32_t(Y);
  if (m_c8 >= 256) {
    // HCOMP depends on the byte only, so it can compute the next contexts
    // before the components learn the last bit (MATCH keeps its own copy of
    // the context the byte was coded in).
    if (!m_pHcomp->run(m_c8 - 256, *m_pBudget, nullptr))
      return false;
    m_hmap4 = 1;
    m_c8 = 1;
    for (std::size_t Index = 0; Index < m_count; ++Index)
      m_h[Index] = m_pHcomp->h(std::uint32_t(Index));
  } else if (m_c8 >= 16 && m_c8 < 32) {
    m_hmap4 = ((m_hmap4 & 15) << 5) | std::uint32_t(Y) << 4 | 1;
  } else {
    m_hmap4 = (m_hmap4 & 0x1F0) | (((m_hmap4 & 15) * 2 + std::uint32_t(Y)) & 15);
  }
  std::swap(m_p, m_pOld);
  step<true>(Y, OldNode);
  return true;
}

// One pass over the components: each learns the last bit (Train; with the
// predictions of that bit in m_pOld) and predicts the next one into m_p.
// Training a component never reads another component's state, so doing
// both in one pass gives the same result as two passes.
template <bool Train>
void TPredictor::step(int Y, unsigned OldNode)
{
  const TTables& T = m_tables;
  const std::int16_t* const Stretch = T.stretch;
  const std::int16_t* const Squash = T.squash + 2048;
  std::int32_t* const P = m_p;
  const std::int32_t* const Old = m_pOld;
  const std::uint32_t C8 = m_c8;
  const bool NewSlot = C8 == 1 || (C8 & 0xF0) == 16;
  const unsigned Node = m_hmap4 & 15;
  const int Target = Y * 32767;
  TComponent* const Components = m_components.data();
  // Locals, not members: the loop stores bytes, which the compiler must
  // otherwise assume to change any member.
  const std::size_t Count = m_count;
  const std::uint32_t* const Hashes = m_h;
  const std::uint32_t Hmap4 = m_hmap4;
  const bool VectorMixer = m_vectorMixer;

  // The large tables are read at addresses known before the pass: request
  // those cache lines first, so that the misses overlap instead of stalling
  // the pass one after the other. The hash-table slots of a byte's first
  // nibble are known once HCOMP has run; those of the second nibble are
  // requested one bit early, for both values the fourth bit can take.
  // (Written out here: in a helper function the compiler takes the
  // prefetches for a call without effect and drops it.)
  if (C8 == 1 || (C8 >= 8 && C8 < 16))
    for (const std::uint8_t Index : m_hashed) {
      const TComponent& Cr = Components[Index];
      const std::size_t Mask = Cr.bytes.size() - 16;
      if (C8 == 1) {
        __builtin_prefetch(Cr.bytes.data() + ((std::size_t(Hashes[Index] + 16) * 16) & Mask));
      } else {
        __builtin_prefetch(Cr.bytes.data() + ((std::size_t(Hashes[Index] + 32 * C8) * 16) & Mask));
        __builtin_prefetch(Cr.bytes.data() +
                           ((std::size_t(Hashes[Index] + 32 * C8 + 16) * 16) & Mask));
      }
    }
  for (const std::uint8_t Index : m_rows) {
    const TComponent& Cr = Components[Index];
    if (Cr.type == ComponentSse) {
      const std::uint32_t* Row = Cr.table.data() + (((Hashes[Index] + C8) * 32) & Cr.mask);
      __builtin_prefetch(Row);
      __builtin_prefetch(Row + 16);
    } else {
      const unsigned Inputs = Cr.arg[2];
      const char* Row = reinterpret_cast<const char*>(
          Cr.weights.data() + ((Hashes[Index] + (C8 & Cr.arg[4])) & Cr.mask) * Inputs);
      for (unsigned Line = 0; Line < Inputs * 4; Line += 64)
        __builtin_prefetch(Row + Line);
      __builtin_prefetch(Row + Inputs * 4 - 1);
    }
  }

  // Counter update shared by CM and SSE.
  auto train = [&T, Target](TComponent& Cr) {
    std::uint32_t& Counter = Cr.table[Cr.cxt];
    const std::uint32_t Count = Counter & 1023;
    const std::int64_t Error = std::int64_t(Target - int(Counter >> 17));
    Counter += (std::uint32_t(Error * T.dt[Count]) & 0xFFFFFC00u) + (Count < Cr.limit ? 1 : 0);
  };

  for (std::size_t Index = 0; Index < Count; ++Index) {
    TComponent& Cr = Components[Index];
    const std::uint8_t* Arg = Cr.arg;
    switch (Cr.type) {
    case ComponentCons:
      break;

    case ComponentCm:
      if (Train)
        train(Cr);
      Cr.cxt = (Hashes[Index] ^ Hmap4) & Cr.mask;
      P[Index] = Stretch[Cr.table[Cr.cxt] >> 17];
      break;

    case ComponentIcm: {
      // Fields in locals: the byte stores below would make the compiler
      // reload every one of them.
      std::uint8_t* const Bytes = Cr.bytes.data();
      std::uint32_t* const Probabilities = Cr.table.data();
      std::uint32_t Slot = Cr.slot;
      if (Train) {
        const std::uint32_t State = Cr.cxt;
        Probabilities[State] += std::uint32_t((Target - int(Probabilities[State] >> 8)) >> 2);
        Bytes[Slot + OldNode] = T.next[State][Y];
      }
      if (NewSlot) {
        Slot = findSlot(Bytes, Cr.bytes.size(), Cr.hashBits, Hashes[Index] + 16 * C8);
        Cr.slot = Slot;
      }
      const std::uint32_t State = Bytes[Slot + Node];
      Cr.cxt = State;
      P[Index] = Stretch[Probabilities[State] >> 8];
      break;
    }

    case ComponentMatch:
      if (Train) {
        if (Cr.length > 0 && Cr.predictedBit != std::uint32_t(Y))
          Cr.length = 0;
        std::uint8_t* const Buffer = Cr.bytes.data();
        Buffer[Cr.position] = std::uint8_t(Buffer[Cr.position] * 2 + Y);
        if (++Cr.bitPosition == 8) {
          Cr.bitPosition = 0;
          Cr.position = (Cr.position + 1) & Cr.bufferMask;
          std::uint32_t& Last = Cr.table[Cr.context & Cr.mask];
          if (Cr.length == 0) {
            Cr.offset = Cr.position - Last;
            if ((Cr.offset & Cr.bufferMask) != 0) {
              const std::uint32_t Mask = Cr.bufferMask;
              while (Cr.length < kMatchMaxLength &&
                     Buffer[(Cr.position - Cr.length - 1) & Mask] ==
                         Buffer[(Cr.position - Cr.length - Cr.offset - 1) & Mask])
                ++Cr.length;
            }
          } else if (Cr.length < kMatchMaxLength) {
            ++Cr.length;
          }
          Last = Cr.position;
        }
      }
      if (C8 == 1) {
        // The index entry is read and written when the byte is complete.
        Cr.context = Hashes[Index];
        __builtin_prefetch(Cr.table.data() + (Cr.context & Cr.mask));
      }
      if (Cr.length == 0) {
        P[Index] = 0;
      } else {
        Cr.predictedBit =
            (Cr.bytes[(Cr.position - Cr.offset) & Cr.bufferMask] >> (7 - Cr.bitPosition)) & 1;
        const int Strength = T.dt2k[Cr.length];
        P[Index] = Stretch[Cr.predictedBit ? 32768 - Strength : Strength];
      }
      break;

    case ComponentAvg:
      P[Index] = (P[Arg[0]] * Arg[2] + P[Arg[1]] * (256 - Arg[2])) >> 8;
      break;

    case ComponentMix2: {
      if (Train) {
        const int Error = ((Target - Squash[Old[Index]]) * Arg[3]) >> 5;
        int W = Cr.weights16[Cr.cxt];
        W += (Error * (Old[Arg[1]] - Old[Arg[2]]) + (1 << 12)) >> 13;
        Cr.weights16[Cr.cxt] = std::uint16_t(W < 0 ? 0 : (W > 65535 ? 65535 : W));
      }
      Cr.cxt = (Hashes[Index] + (C8 & Arg[4])) & Cr.mask;
      const int W = Cr.weights16[Cr.cxt];
      P[Index] = (W * P[Arg[1]] + (65536 - W) * P[Arg[2]]) >> 16;
      break;
    }

    case ComponentMix: {
      const unsigned Inputs = Arg[2];
      if (Train) {
        const int Error = ((Target - Squash[Old[Index]]) * Arg[3]) >> 4;
        std::int32_t* W = Cr.weights.data() + Cr.cxt;
        if (VectorMixer)
          mixerTrainVector(W, Old + Arg[1], Inputs, Error);
        else
          mixerTrain(W, Old + Arg[1], Inputs, Error);
      }
      Cr.cxt = ((Hashes[Index] + (C8 & Arg[4])) & Cr.mask) * Inputs;
      const std::int32_t* W = Cr.weights.data() + Cr.cxt;
      const int Dot = VectorMixer ? mixerDotVector(W, P + Arg[1], Inputs)
                                    : mixerDot(W, P + Arg[1], Inputs);
      P[Index] = clamp2k(Dot >> 8);
      break;
    }

    case ComponentIsse: {
      std::uint8_t* const Bytes = Cr.bytes.data();
      std::int32_t* const Weights = Cr.weights.data();
      const unsigned Input = Arg[1];
      std::uint32_t Slot = Cr.slot;
      if (Train) {
        const std::uint32_t State = Cr.cxt;
        const int Error = Target - Squash[Old[Index]];
        std::int32_t* const W = Weights + 2 * State;
        const int W0 = clamp512k(W[0] + ((Error * Old[Input] + (1 << 12)) >> 13));
        const int W1 = clamp512k(W[1] + ((Error + 16) >> 5));
        W[0] = W0;
        W[1] = W1;
        Bytes[Slot + OldNode] = T.next[State][Y];
      }
      if (NewSlot) {
        Slot = findSlot(Bytes, Cr.bytes.size(), Cr.hashBits, Hashes[Index] + 16 * C8);
        Cr.slot = Slot;
      }
      const std::uint32_t State = Bytes[Slot + Node];
      Cr.cxt = State;
      const std::int32_t* const W = Weights + 2 * State;
      P[Index] = clamp2k((W[0] * P[Input] + W[1] * 64) >> 16);
      break;
    }

    case ComponentSse: {
      if (Train)
        train(Cr);
      std::uint32_t Base = (Hashes[Index] + C8) * 32;
      int Q = P[Arg[1]] + 992;
      Q = Q < 0 ? 0 : (Q > 1983 ? 1983 : Q);
      const int W = Q & 63;
      Base += std::uint32_t(Q >> 6);
      const std::uint32_t Low = Cr.table[Base & Cr.mask] >> 10;
      const std::uint32_t High = Cr.table[(Base + 1) & Cr.mask] >> 10;
      P[Index] = Stretch[(Low * std::uint32_t(64 - W) + High * std::uint32_t(W)) >> 13];
      Cr.cxt = (Base + std::uint32_t(W >> 5)) & Cr.mask;
      break;
    }
    }
  }
  m_probability = T.squash[P[Count - 1] + 2048];
}

// ---------------------------------------------------------------------------
// Process-wide budget for the model memory of concurrent decodes

class TMemoryBudget
{
public:
  static TMemoryBudget& instance()
  {
    static TMemoryBudget Budget;
    return Budget;
  }

  // Blocks until Bytes fit into the budget, or until nothing else is held.
  void acquire(std::uint64_t Bytes)
  {
    std::unique_lock<std::mutex> Lock(m_mutex);
    m_released.wait(Lock, [&] { return m_inUse == 0 || Bytes <= m_budget - std::min(m_budget, m_inUse); });
    m_inUse += Bytes;
    m_peak = std::max(m_peak, m_inUse);
  }

  void release(std::uint64_t Bytes)
  {
    {
      const std::lock_guard<std::mutex> Lock(m_mutex);
      m_inUse -= std::min(m_inUse, Bytes);
    }
    m_released.notify_all();
  }

  void setBudget(std::uint64_t Bytes)
  {
    {
      const std::lock_guard<std::mutex> Lock(m_mutex);
      m_budget = Bytes;
      m_peak = m_inUse;
    }
    m_released.notify_all();
  }

  std::uint64_t budget()
  {
    const std::lock_guard<std::mutex> Lock(m_mutex);
    return m_budget;
  }

  std::uint64_t peak()
  {
    const std::lock_guard<std::mutex> Lock(m_mutex);
    return m_peak;
  }

private:
  std::mutex m_mutex;
  std::condition_variable m_released;
  std::uint64_t m_budget = kMaxBlockMemory;
  std::uint64_t m_inUse = 0;
  std::uint64_t m_peak = 0;
};

// The share of the budget one block holds while its tables exist.
class TBudgetHold
{
public:
  TBudgetHold() = default;
  TBudgetHold(const TBudgetHold&) = delete;
  TBudgetHold& operator=(const TBudgetHold&) = delete;
  ~TBudgetHold() { release(); }

  void acquire(std::uint64_t Bytes)
  {
    release();
    TMemoryBudget::instance().acquire(Bytes);
    m_bytes = Bytes;
  }

  void release()
  {
    if (m_bytes != 0)
      TMemoryBudget::instance().release(m_bytes);
    m_bytes = 0;
  }

private:
  std::uint64_t m_bytes = 0;
};

// ---------------------------------------------------------------------------
// Stream decoder

class TDecoder
{
public:
  TDecoder(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
           std::size_t OutputCapacity)
      : m_in(Input), m_inSize(InputSize)
  {
    m_sink.data = Output;
    m_sink.capacity = OutputCapacity;
    const std::uint64_t Capacity = OutputCapacity;
    m_blockMemoryLimit = std::min(kMaxBlockMemory, kBaseBlockMemory + kBlockMemoryPerOutputByte * Capacity);
    m_memoryLeft = m_blockMemoryLimit + kCumulativeMemoryPerOutputByte * Capacity;
    m_steps = kBaseSteps + kStepsPerOutputByte * Capacity;
    m_decodedLeft = 2 * Capacity + kDecodedSlack;
  }

  bool decode(std::size_t& Produced);

private:
  enum : int
  {
    kEndOfSegment = -1,
    kError = -2,
  };
  enum class EPost
  {
    Select,
    LengthLow,
    LengthHigh,
    Program,
    Pass,
    Run,
  };

  bool atBlockStart(std::size_t& HeaderStart) const;
  bool decodeBlock();
  bool readHeader(TBlockHeader& Header);
  bool reserveMemory(std::uint64_t Bytes);
  bool decodeSegment();
  bool skipString();
  int decodeBit(std::uint32_t Probability);
  int nextByte();
  bool postProcess(int Byte);

  const std::uint8_t* m_in;
  std::size_t m_inSize;
  std::size_t m_pos = 0;
  TOutputSink m_sink;

  // Declared before the tables, so that it is given back after they are freed.
  TBudgetHold m_budgetHold;
  std::uint64_t m_blockMemoryLimit = 0;
  std::uint64_t m_blockMemory = 0;
  std::uint64_t m_memoryLeft = 0;
  std::uint64_t m_steps = 0;
  std::uint64_t m_decodedLeft = 0;

  // Per block
  bool m_modelled = false;
  unsigned m_ph = 0, m_pm = 0;
  TMachine m_hcomp;
  TMachine m_pcomp;
  TPredictor m_predictor;
  std::uint32_t m_low = 1, m_high = 0xFFFFFFFFu, m_x = 0;
  EPost m_post = EPost::Select;
  std::size_t m_programSize = 0;
  std::vector<std::uint8_t> m_program;
};

bool TDecoder::reserveMemory(std::uint64_t Bytes)
{
  if (Bytes > m_blockMemoryLimit - m_blockMemory || Bytes > m_memoryLeft)
    return false;
  m_blockMemory += Bytes;
  m_memoryLeft -= Bytes;
  return true;
}

// A block starts with the 13-byte locator tag and "zPQ", or with "zPQ" alone.
bool TDecoder::atBlockStart(std::size_t& HeaderStart) const
{
  const std::size_t Left = m_inSize - m_pos;
  if (Left >= 16 && std::memcmp(m_in + m_pos, kBlockStart, 16) == 0) {
    HeaderStart = m_pos + 16;
    return true;
  }
  if (Left >= 3 && std::memcmp(m_in + m_pos, kBlockStart + 13, 3) == 0) {
    HeaderStart = m_pos + 3;
    return true;
  }
  return false;
}

bool TDecoder::decode(std::size_t& Produced)
{
  do {
    std::size_t HeaderStart = 0;
    if (!atBlockStart(HeaderStart))
      return false;
    m_pos = HeaderStart;
    if (!decodeBlock())
      return false;
  } while (m_pos < m_inSize);
  Produced = m_sink.size;
  return true;
}

bool TDecoder::readHeader(TBlockHeader& Header)
{
  if (m_inSize - m_pos < 4)
    return false;
  const unsigned Level = m_in[m_pos];
  if ((Level != 1 && Level != 2) || m_in[m_pos + 1] != 1)
    return false;
  const std::size_t HeaderSize = std::size_t(m_in[m_pos + 2]) | std::size_t(m_in[m_pos + 3]) << 8;
  m_pos += 4;
  if (HeaderSize > m_inSize - m_pos || HeaderSize < 7)
    return false;
  const std::uint8_t* Bytes = m_in + m_pos;
  m_pos += HeaderSize;

  Header.hh = Bytes[0];
  Header.hm = Bytes[1];
  Header.ph = Bytes[2];
  Header.pm = Bytes[3];
  const std::size_t Count = Bytes[4];
  if (Header.hh > kMaxHBits || Header.hm > kMaxMBits || Header.ph > kMaxHBits || Header.pm > kMaxMBits)
    return false;
  if (Level == 1 && Count == 0)
    return false;

  std::uint64_t Memory = TMachine::memoryNeeded(Header.hh, Header.hm);
  unsigned MixerInputs = 0;
  std::size_t Offset = 5;
  Header.components.resize(Count);
  for (std::size_t Index = 0; Index < Count; ++Index) {
    TComponent& Component = Header.components[Index];
    if (Offset >= HeaderSize)
      return false;
    Component.type = Bytes[Offset];
    if (Component.type < ComponentCons || Component.type > ComponentSse)
      return false;
    const std::size_t Size = std::size_t(kComponentSize[Component.type]);
    if (Size > HeaderSize - Offset)
      return false;
    std::memcpy(Component.arg, Bytes + Offset + 1, Size - 1);
    Offset += Size;
    std::uint64_t ComponentBytes = 0;
    if (!componentMemory(Component, Index, MixerInputs, ComponentBytes))
      return false;
    Memory += ComponentBytes;
  }
  // COMP list terminator, then HCOMP up to and including the final 0 byte.
  if (Offset >= HeaderSize || Bytes[Offset] != 0 || Bytes[HeaderSize - 1] != 0 ||
      HeaderSize - Offset < 2)
    return false;
  Header.hcomp = Bytes + Offset + 1;
  Header.hcompSize = HeaderSize - Offset - 1;
  m_blockMemory = 0;
  return reserveMemory(Memory);
}

bool TDecoder::decodeBlock()
{
  // The previous block's tables go before the next block's are allocated.
  m_predictor.release();
  m_hcomp.release();
  m_pcomp.release();
  m_budgetHold.release();
  TBlockHeader Header;
  if (!readHeader(Header))
    return false;
  // The tables of the header, and the post-processor's arrays should the
  // block carry a PCOMP program.
  m_budgetHold.acquire(m_blockMemory + TMachine::memoryNeeded(Header.ph, Header.pm));
  m_modelled = !Header.components.empty();
  m_ph = Header.ph;
  m_pm = Header.pm;
  m_hcomp.setup(Header.hcomp, Header.hcompSize, Header.hh, Header.hm);
  if (m_modelled)
    m_predictor.setup(std::move(Header.components), &m_hcomp, &m_steps);
  m_low = 1;
  m_high = 0xFFFFFFFFu;
  m_x = 0;
  m_post = EPost::Select;
  m_program.clear();

  for (;;) {
    if (m_pos >= m_inSize)
      return false;
    const std::uint8_t Marker = m_in[m_pos++];
    if (Marker == 0xFF)
      return true;
    if (Marker != 1 || !decodeSegment())
      return false;
  }
}

bool TDecoder::skipString()
{
  const void* End = std::memchr(m_in + m_pos, 0, m_inSize - m_pos);
  if (End == nullptr)
    return false;
  m_pos = std::size_t(static_cast<const std::uint8_t*>(End) - m_in) + 1;
  return true;
}

bool TDecoder::decodeSegment()
{
  // File name, comment, reserved byte.
  if (!skipString() || !skipString() || m_pos >= m_inSize || m_in[m_pos++] != 0)
    return false;

  const std::size_t SegmentStart = m_sink.size;
  for (;;) {
    const int Byte = nextByte();
    if (Byte == kError)
      return false;
    if (Byte == kEndOfSegment)
      break;
    if (m_decodedLeft == 0)
      return false;
    --m_decodedLeft;
    if (!postProcess(Byte))
      return false;
  }
  if (!postProcess(-1))
    return false;

  if (m_pos >= m_inSize)
    return false;
  const std::uint8_t Marker = m_in[m_pos++];
  if (Marker == 0xFE)
    return true;
  if (Marker != 0xFD || m_inSize - m_pos < 20)
    return false;
  const auto Digest = sha1(m_sink.data + SegmentStart, m_sink.size - SegmentStart);
  if (std::memcmp(Digest.data(), m_in + m_pos, 20) != 0)
    return false;
  m_pos += 20;
  return true;
}

// Binary arithmetic decoder; Probability is P(1) in 16 bits (0 only for the
// end-of-segment flag). Returns the bit, or kError.
inline int TDecoder::decodeBit(std::uint32_t Probability)
{
  if (m_x < m_low || m_x > m_high)
    return kError;
  const std::uint32_t Mid = m_low + std::uint32_t((std::uint64_t(m_high - m_low) * Probability) >> 16);
  int Y;
  if (m_x <= Mid) {
    Y = 1;
    m_high = Mid;
  } else {
    Y = 0;
    m_low = Mid + 1;
  }
  while ((m_high ^ m_low) < 0x01000000u) {
    if (m_pos >= m_inSize)
      return kError;
    m_high = m_high << 8 | 255;
    m_low <<= 8;
    m_low += m_low == 0;
    m_x = m_x << 8 | m_in[m_pos++];
  }
  return Y;
}

// Next decoded byte of the current segment, kEndOfSegment or kError.
int TDecoder::nextByte()
{
  if (!m_modelled) {
    // Stored: runs of bytes, each after a 32-bit big-endian count; 0 ends.
    if (m_x == 0) {
      if (m_inSize - m_pos < 4)
        return kError;
      m_x = std::uint32_t(m_in[m_pos]) << 24 | std::uint32_t(m_in[m_pos + 1]) << 16 |
            std::uint32_t(m_in[m_pos + 2]) << 8 | m_in[m_pos + 3];
      m_pos += 4;
      if (m_x == 0)
        return kEndOfSegment;
    }
    if (m_pos >= m_inSize)
      return kError;
    --m_x;
    return m_in[m_pos++];
  }

  if (m_x == 0) {
    if (m_inSize - m_pos < 4)
      return kError;
    for (int Index = 0; Index < 4; ++Index)
      m_x = m_x << 8 | m_in[m_pos++];
  }
  const int End = decodeBit(0);
  if (End == kError)
    return kError;
  if (End) {
    // The four bytes shifted in after the flag are the segment's zero end code.
    return m_x == 0 ? kEndOfSegment : kError;
  }
  unsigned C = 1;
  while (C < 256) {
    const int Y = decodeBit(std::uint32_t(m_predictor.probability()) * 2 + 1);
    if (Y == kError || !m_predictor.update(Y))
      return kError;
    C = C * 2 + unsigned(Y);
  }
  return int(C - 256);
}

// Feeds one decoded byte (or -1 at the end of a segment) to the
// post-processor.
bool TDecoder::postProcess(int Byte)
{
  switch (m_post) {
  case EPost::Select:
    if (Byte == 0)
      m_post = EPost::Pass;
    else if (Byte == 1)
      m_post = EPost::LengthLow;
    else
      return false;
    return true;
  case EPost::Pass:
    if (Byte >= 0) {
      if (m_sink.size >= m_sink.capacity)
        return false;
      m_sink.data[m_sink.size++] = std::uint8_t(Byte);
    }
    return true;
  case EPost::LengthLow:
    if (Byte < 0)
      return false;
    m_programSize = std::size_t(Byte);
    m_post = EPost::LengthHigh;
    return true;
  case EPost::LengthHigh:
    if (Byte < 0)
      return false;
    m_programSize += std::size_t(Byte) << 8;
    if (m_programSize == 0)
      return false;
    m_program.clear();
    m_program.reserve(m_programSize);
    m_post = EPost::Program;
    return true;
  case EPost::Program:
    if (Byte < 0)
      return false;
    m_program.push_back(std::uint8_t(Byte));
    if (m_program.size() == m_programSize) {
      if (!reserveMemory(TMachine::memoryNeeded(m_ph, m_pm)))
        return false;
      m_pcomp.setup(m_program.data(), m_program.size(), m_ph, m_pm);
      m_post = EPost::Run;
    }
    return true;
  case EPost::Run:
    return m_pcomp.run(Byte < 0 ? 0xFFFFFFFFu : std::uint32_t(Byte), m_steps, &m_sink);
  }
  return false;
}

} // namespace

void setZpaqMemoryBudget(std::uint64_t Bytes)
{
  TMemoryBudget::instance().setBudget(Bytes);
}

std::uint64_t zpaqMemoryBudget()
{
  return TMemoryBudget::instance().budget();
}

std::uint64_t zpaqMemoryPeak()
{
  return TMemoryBudget::instance().peak();
}

bool decodeZpaq(const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
                std::size_t OutputCapacity, std::size_t& Produced)
{
  Produced = 0;
  if (Input == nullptr || InputSize == 0 || (Output == nullptr && OutputCapacity != 0))
    return false;
  try {
    TDecoder Decoder(Input, InputSize, Output, OutputCapacity);
    return Decoder.decode(Produced);
  } catch (...) {
    // std::bad_alloc: the tables did not fit into memory.
    return false;
  }
}

} // namespace shared::codecs
