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

// The size of the frame at the start of Data when it is whole, its window
// within the cap and its declared content size (if any) within Room; 0 when
// not.
std::size_t soundFrame(const std::uint8_t* Data, std::size_t Size, std::size_t Room, bool& Skippable)
{
  const std::size_t FrameSize = ZSTD_findFrameCompressedSize(Data, Size);
  if (ZSTD_isError(FrameSize) || FrameSize == 0 || FrameSize > Size)
    return 0;
  ZSTD_frameHeader Header{};
  if (ZSTD_getFrameHeader(&Header, Data, FrameSize) != 0)
    return 0;
  Skippable = Header.frameType == ZSTD_skippableFrame;
  if (!Skippable && (Header.windowSize > (std::uint64_t(1) << kZstdMaxWindowLog) ||
                     (Header.frameContentSize != ZSTD_CONTENTSIZE_UNKNOWN && Header.frameContentSize > Room)))
    return 0;
  return FrameSize;
}

int fittedWindowLog(std::size_t Size)
{
  int Log = ZSTD_WINDOWLOG_MIN;
  while (Log < 24 && (std::size_t(1) << Log) < Size)
    ++Log;
  return Log;
}

} // namespace

std::shared_ptr<const TZstdDictionary> TZstdDictionary::load(const QByteArray& Content)
{
  if (Content.isEmpty() || std::size_t(Content.size()) > kMaxBytes)
    return nullptr;
  std::shared_ptr<TZstdDictionary> Dictionary(new TZstdDictionary());
  Dictionary->m_Content = Content;
  Dictionary->m_pDecoding = ZSTD_createDDict(Content.constData(), std::size_t(Content.size()));
  if (!Dictionary->m_pDecoding)
    return nullptr;
  return Dictionary;
}

TZstdDictionary::~TZstdDictionary()
{
  ZSTD_freeDDict(m_pDecoding);
  for (const auto& [Level, Encoding] : m_Encoding)
    ZSTD_freeCDict(Encoding);
}

const ZSTD_CDict* TZstdDictionary::forEncoding(int Level) const
{
  std::lock_guard Lock(m_EncodingMutex);
  for (const auto& [Known, Encoding] : m_Encoding) {
    if (Known == Level)
      return Encoding;
  }
  ZSTD_CDict* Encoding = ZSTD_createCDict(m_Content.constData(), std::size_t(m_Content.size()), Level);
  if (Encoding)
    m_Encoding.emplace_back(Level, Encoding);
  return Encoding;
}

bool decodeZstdFrames(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                      std::size_t OutputCapacity, const std::function<void(const std::uint8_t*, std::size_t)>& Observe,
                      const TZstdDictionary* Dictionary)
{
  ZSTD_DCtx* Context = threadDecoder();
  if (!Context || PayloadSize == 0)
    return false;
  std::size_t Produced = 0;
  for (std::size_t Offset = 0; Offset < PayloadSize;) {
    bool Skippable = false;
    const std::size_t FrameSize =
        soundFrame(Payload + Offset, PayloadSize - Offset, OutputCapacity - Produced, Skippable);
    if (FrameSize == 0)
      return false;
    if (!Skippable) {
      const std::size_t Frame =
          Dictionary ? ZSTD_decompress_usingDDict(Context, Output + Produced, OutputCapacity - Produced,
                                                  Payload + Offset, FrameSize, Dictionary->forDecoding())
                     : ZSTD_decompressDCtx(Context, Output + Produced, OutputCapacity - Produced, Payload + Offset,
                                           FrameSize);
      if (ZSTD_isError(Frame))
        return false;
      if (Observe && Frame > 0)
        Observe(Output + Produced, Frame);
      Produced += Frame;
    }
    Offset += FrameSize;
  }
  return Produced == OutputCapacity;
}

struct TZstdEncoder::TContext
{
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ~TContext() { ZSTD_freeCCtx(context); }
};

namespace {

// One encoding context per thread for single frames: making one allocates
// hundreds of KiB, and small pieces are packed by the ten thousand.
ZSTD_CCtx* threadEncoder()
{
  thread_local TZstdEncoder::TContext Context;
  return Context.context;
}

// Appends one frame of Data to Out: with its content size, without
// checksum (the callers hash the content). Without a dictionary its window
// is fitted to the data (at most 2^24); with one, the dictionary's
// parameters fitted to the size apply, and the frame names the dictionary,
// so that a decoder without it refuses the frame.
bool compressFrame(ZSTD_CCtx* Context, int Level, const ZSTD_CDict* Dictionary, const char* Data, std::size_t Size,
                   QByteArray& Out)
{
  const int Before = Out.size();
  const std::size_t Bound = ZSTD_compressBound(Size);
  if (!Context || Bound > std::size_t(INT32_MAX - Before))
    return false;
  const bool Configured =
      !ZSTD_isError(ZSTD_CCtx_reset(Context, ZSTD_reset_session_and_parameters)) &&
      !ZSTD_isError(ZSTD_CCtx_setParameter(Context, ZSTD_c_checksumFlag, 0)) &&
      (Dictionary ? !ZSTD_isError(ZSTD_CCtx_setParameter(Context, ZSTD_c_dictIDFlag, 1)) &&
                        !ZSTD_isError(ZSTD_CCtx_refCDict(Context, Dictionary))
                  : !ZSTD_isError(ZSTD_CCtx_setParameter(Context, ZSTD_c_compressionLevel, Level)) &&
                        !ZSTD_isError(ZSTD_CCtx_setParameter(Context, ZSTD_c_windowLog, fittedWindowLog(Size))));
  if (!Configured)
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

} // namespace

TZstdEncoder::TZstdEncoder(int Level, std::shared_ptr<const TZstdDictionary> Dictionary)
  : m_pContext(std::make_unique<TContext>())
  , m_Level(std::clamp(Level, kZstdMinLevel, kZstdMaxLevel))
  , m_pDictionary(std::move(Dictionary))
{
}

TZstdEncoder::~TZstdEncoder() = default;

bool TZstdEncoder::appendFrame(const char* Data, std::size_t Size, QByteArray& Out)
{
  const ZSTD_CDict* Dictionary = m_pDictionary ? m_pDictionary->forEncoding(m_Level) : nullptr;
  if (m_pDictionary && !Dictionary)
    return false;
  return compressFrame(m_pContext->context, m_Level, Dictionary, Data, Size, Out);
}

bool appendZstdFrame(const char* Data, std::size_t Size, int Level, const TZstdDictionary* Dictionary, QByteArray& Out)
{
  const int Clamped = std::clamp(Level, kZstdMinLevel, kZstdMaxLevel);
  const ZSTD_CDict* Digested = Dictionary ? Dictionary->forEncoding(Clamped) : nullptr;
  if (Dictionary && !Digested)
    return false;
  return compressFrame(threadEncoder(), Clamped, Digested, Data, Size, Out);
}

std::size_t zstdFrameBound(std::size_t Size)
{
  return ZSTD_compressBound(Size);
}

} // namespace shared
