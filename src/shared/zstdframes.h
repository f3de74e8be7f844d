#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

// Zstandard frames (RFC 8878), as payloads of container format 9 and as the
// ranges of blocks: one or more frames, skippable frames allowed, the
// content checksum checked where a frame carries one. Decoding is strict:
// the frames must decode to exactly the declared size, and a frame whose
// window is larger than kZstdMaxWindowLog is refused whether it is decoded
// in memory or as a stream (a window costs a streaming decode its size in
// memory).
namespace shared {

// 64 MiB, as the largest LZMA dictionary of a streaming decode: far more
// than the 16 MiB pieces the publisher writes (it fits the window to the
// piece, at most 2^24).
constexpr int kZstdMaxWindowLog = 26;
constexpr int kZstdMinLevel = 1;
constexpr int kZstdMaxLevel = 19;

// Decodes the frames of Payload into exactly OutputCapacity bytes at
// Output, frame by frame without a window buffer, and hands each frame's
// bytes to Observe (when given) right after decoding them. False when the
// payload is not a sequence of whole frames, a frame is corrupt or fails its
// checksum, a window is too large, or the frames decode to more or fewer
// bytes.
bool decodeZstdFrames(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                      std::size_t OutputCapacity,
                      const std::function<void(const std::uint8_t*, std::size_t)>& Observe = {});

// Writes Zstandard frames at one level, with one compression context for
// all of them (worth keeping: a context at a high level holds megabytes of
// tables). Not for use by several threads at once.
class TZstdEncoder
{
public:
  explicit TZstdEncoder(int Level);
  ~TZstdEncoder();
  TZstdEncoder(const TZstdEncoder&) = delete;
  TZstdEncoder& operator=(const TZstdEncoder&) = delete;

  // Appends one frame holding Size bytes of Data to Out: with its content
  // size, without checksum (the callers hash the content), its window
  // fitted to the data (at most 2^24). False when libzstd fails; Out is
  // then as it was.
  bool appendFrame(const char* Data, std::size_t Size, QByteArray& Out);

private:
  struct TContext;
  std::unique_ptr<TContext> m_pContext;
  int m_Level;
};

// The most bytes a frame of Size bytes of content takes.
std::size_t zstdFrameBound(std::size_t Size);

} // namespace shared
