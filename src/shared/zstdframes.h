#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

struct ZSTD_CDict_s;
struct ZSTD_DDict_s;

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

// A Zstandard dictionary: frames of small pieces written with one that was
// trained on pieces like them come out far smaller. Digested once for
// decoding, and once per level for encoding; one object serves every
// thread (libzstd's digested dictionaries are read only).
class TZstdDictionary
{
public:
  // The most bytes a dictionary may have: it is held whole in memory, and
  // the publisher trains 32 KiB.
  static constexpr std::size_t kMaxBytes = 1024 * 1024;

  // Nothing when Content is empty, larger than kMaxBytes or not something
  // libzstd takes as a dictionary.
  static std::shared_ptr<const TZstdDictionary> load(const QByteArray& Content);
  ~TZstdDictionary();
  TZstdDictionary(const TZstdDictionary&) = delete;
  TZstdDictionary& operator=(const TZstdDictionary&) = delete;

  const QByteArray& content() const { return m_Content; }
  const ZSTD_DDict_s* forDecoding() const { return m_pDecoding; }
  // Null when libzstd cannot digest it at that level.
  const ZSTD_CDict_s* forEncoding(int Level) const;

private:
  TZstdDictionary() = default;

  QByteArray m_Content;
  ZSTD_DDict_s* m_pDecoding = nullptr;
  mutable std::mutex m_EncodingMutex;
  mutable std::vector<std::pair<int, ZSTD_CDict_s*>> m_Encoding;  // by level
};

// Decodes the frames of Payload into exactly OutputCapacity bytes at
// Output, frame by frame without a window buffer, and hands each frame's
// bytes to Observe (when given) right after decoding them. False when the
// payload is not a sequence of whole frames, a frame is corrupt or fails its
// checksum, a window is too large, or the frames decode to more or fewer
// bytes. Frames written with a dictionary decode only with it (Dictionary).
bool decodeZstdFrames(const std::uint8_t* Payload, std::size_t PayloadSize, std::uint8_t* Output,
                      std::size_t OutputCapacity,
                      const std::function<void(const std::uint8_t*, std::size_t)>& Observe = {},
                      const TZstdDictionary* Dictionary = nullptr);

// Writes Zstandard frames at one level, with one compression context for
// all of them (worth keeping: a context at a high level holds megabytes of
// tables). Not for use by several threads at once.
class TZstdEncoder
{
public:
  // With a dictionary, every frame is written with it (and names it).
  explicit TZstdEncoder(int Level, std::shared_ptr<const TZstdDictionary> Dictionary = {});
  ~TZstdEncoder();
  TZstdEncoder(const TZstdEncoder&) = delete;
  TZstdEncoder& operator=(const TZstdEncoder&) = delete;

  // Appends one frame holding Size bytes of Data to Out: with its content
  // size, without checksum (the callers hash the content), its window
  // fitted to the data (at most 2^24). False when libzstd fails; Out is
  // then as it was.
  bool appendFrame(const char* Data, std::size_t Size, QByteArray& Out);

  struct TContext;  // libzstd's context (appendZstdFrame keeps one per thread)

private:
  std::unique_ptr<TContext> m_pContext;
  int m_Level;
  std::shared_ptr<const TZstdDictionary> m_pDictionary;
};

// Appends one frame of Size bytes of Data to Out as TZstdEncoder does, with
// a context kept per thread: for many single frames (small pieces), each
// of which would otherwise make a context of its own.
bool appendZstdFrame(const char* Data, std::size_t Size, int Level, const TZstdDictionary* Dictionary, QByteArray& Out);

// The most bytes a frame of Size bytes of content takes.
std::size_t zstdFrameBound(std::size_t Size);

} // namespace shared
