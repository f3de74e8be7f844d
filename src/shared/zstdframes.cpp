#include "shared/zstdframes.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader (stable since 1.3)
#include <zstd.h>

#include <algorithm>

namespace shared {

namespace {

struct TDecoderDeleter
{
  void operator()(ZSTD_DCtx* Context) const { ZSTD_freeDCtx(Context); }
};

// One decoding context per thread: making one costs an allocation of about
// 100 KiB, and blocks are decoded by the thousand.
ZSTD_DCtx* threadDecoder()
{
  thread_local std::unique_ptr<ZSTD_DCtx, TDecoderDeleter> Context(ZSTD_createDCtx());
  return Context.get();
}

// Whether Data is a sequence of whole frames whose windows stay within the
// cap and whose declared content sizes fit into Capacity. Walking the frame
// and block headers costs nothing against decoding them.
bool framesFit(const std::uint8_t* Data, std::size_t Size, std::size_t Capacity)
{
  std::uint64_t Declared = 0;
  for (std::size_t Offset = 0; Offset < Size;) {
    const std::size_t FrameSize = ZSTD_findFrameCompressedSize(Data + Offset, Size - Offset);
    if (ZSTD_isError(FrameSize) || FrameSize == 0 || FrameSize > Size - Offset)
      return false;
    ZSTD_frameHeader Header{};
    if (ZSTD_getFrameHeader(&Header, Data + Offset, FrameSize) != 0)
      return false;
    if (Header.frameType == ZSTD_frame) {
      if (Header.windowSize > (std::uint64_t(1) << kZstdMaxWindowLog))
        return false;
      if (Header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN) {
        Declared += Header.frameContentSize;
        if (Header.frameContentSize > Capacity || Declared > Capacity)
          return false;
      }
    }
    Offset += FrameSize;
  }
  return true;
}

int fittedWindowLog(std::size_t Size)
{
  int Log = ZSTD_WINDOWLOG_MIN;
  while (Log < 24 && (std::size_t(1) << Log) < Size)
    ++Log;
  return Log;
}

} // namespace

bool decodeZstdFrames(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                      std::size_t OutputCapacity)
{
  ZSTD_DCtx* Context = threadDecoder();
  if (!Context || PayloadSize == 0 || !framesFit(Payload, PayloadSize, OutputCapacity))
    return false;
  const std::size_t Produced = ZSTD_decompressDCtx(Context, Output, OutputCapacity, Payload, PayloadSize);
  return !ZSTD_isError(Produced) && Produced == OutputCapacity;
}

struct TZstdEncoder::TContext
{
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ~TContext() { ZSTD_freeCCtx(context); }
};

TZstdEncoder::TZstdEncoder(int Level)
  : m_pContext(std::make_unique<TContext>()), m_Level(std::clamp(Level, kZstdMinLevel, kZstdMaxLevel))
{
}

TZstdEncoder::~TZstdEncoder() = default;

bool TZstdEncoder::appendFrame(const char* Data, std::size_t Size, QByteArray& Out)
{
  ZSTD_CCtx* Context = m_pContext->context;
  if (!Context || ZSTD_isError(ZSTD_CCtx_setParameter(Context, ZSTD_c_compressionLevel, m_Level)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(Context, ZSTD_c_checksumFlag, 0)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(Context, ZSTD_c_windowLog, fittedWindowLog(Size))))
    return false;
  const int Before = Out.size();
  const std::size_t Bound = ZSTD_compressBound(Size);
  if (Bound > std::size_t(INT32_MAX - Before))
    return false;
  Out.resize(Before + int(Bound));
  const std::size_t Written = ZSTD_compress2(Context, Out.data() + Before, Bound, Data, Size);
  if (ZSTD_isError(Written)) {
    Out.resize(Before);
    return false;
  }
  Out.resize(Before + int(Written));
  return true;
}

std::size_t zstdFrameBound(std::size_t Size)
{
  return ZSTD_compressBound(Size);
}

} // namespace shared
