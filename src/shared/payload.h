#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// The self-describing chunk container:
//
//   [0x00]*  0x70  id  varint(unpacked size)  varint(packed size)  payload
//
// Every number in a header is untrusted. A container is refused (decoding
// fails) when its payload runs past the data, when a size is 0, or when the
// unpacked size exceeds kMaxUnpackedPayloadSize. That bound is far above the
// largest chunk the publisher writes (16 MiB) and above any local file that is
// read through a compressed blob, and it keeps a forged header from making
// the decoder allocate gigabytes.
namespace shared {

class TZstdDictionary;

enum class EPayloadFormat : int
{
  Stored = 0,
  Deflate = 3,
  Lzip = 4,
  Lzma20 = 5,
  Zpaq = 6,
  Zstd = 9,  // one or more Zstandard frames (shared/zstdframes.h)
  Lzma25 = 10,
  Csc = 14,
  Crush = 21,
};

constexpr std::uint64_t kMaxUnpackedPayloadSize = 256ull * 1024 * 1024;
// The most unpacked bytes a container of a format that can only be decoded
// whole in memory (ZPAQ, CSC, CRUSH) may declare for a streaming caller:
// the largest chunk the publisher writes, and the block size of ZPAQ's
// reference packer.
constexpr std::uint64_t kMaxUnstreamedPayloadSize = 16ull * 1024 * 1024;
// The largest LZMA dictionary a streaming decode allocates (the publisher
// uses at most 32 MiB). A stream that reaches further back fails. The
// largest Zstandard window is as large (kZstdMaxWindowLog).
constexpr std::uint64_t kMaxStreamingDictionarySize = 64ull * 1024 * 1024;
// The input and output blocks of a streaming decode, each.
constexpr std::size_t kStreamingBlockSize = 1024 * 1024;
constexpr int kMaxPayloadFormatId = 23;

struct TPayloadHeader
{
  EPayloadFormat format = EPayloadFormat::Stored;  // format id, 0 to 23 (also ids no decoder knows)
  std::uint64_t unpackedSize = 0;  // declared size of the decoded data
  std::uint64_t packedSize = 0;    // declared size of the payload
  std::size_t payloadOffset = 0;   // where the payload starts in the data
};

// True when, after leading 0x00 bytes, at least two bytes remain, the first
// is 0x70 and the second at most 23.
bool isPackedPayload(const QByteArray& Data);
bool isPackedPayload(const char* Data, std::size_t Size);

// Reads the header. Empty when the data is not a container or the header is
// malformed (varint longer than 10 bytes, truncated header). The sizes are
// returned as written; checking them against the data is the caller's job.
std::optional<TPayloadHeader> readPayloadHeader(const char* Data, std::size_t Size);

// Decodes a container. On success Result holds exactly the declared unpacked
// size of bytes (a decoder that produced fewer leaves the rest zero). On
// failure (not a container, malformed header, undecodable payload) the
// function returns false and Result is a copy of the input.
bool unpackPayload(const QByteArray& Data, QByteArray& Result);
// As above, but refuses containers that declare more than MaxUnpackedSize
// bytes (a caller that knows the expected size never allocates more).
bool unpackPayload(const QByteArray& Data, QByteArray& Result, std::uint64_t MaxUnpackedSize);
// As above, for a container whose Zstandard frames were written with
// Dictionary (none: null).
bool unpackPayload(const QByteArray& Data, QByteArray& Result, std::uint64_t MaxUnpackedSize,
                   const TZstdDictionary* Dictionary);

// Takes decoded bytes in order, each once (to hash them while they are in
// the cache).
using TDecodedObserver = std::function<void(const std::uint8_t* Data, std::size_t Size)>;

// Decodes the payload of one format into Output (OutputCapacity bytes, the
// declared unpacked size; it need not be initialised). On success every
// byte of Output is written (a decoder that produced fewer leaves the rest
// zero) and Observe has seen all of them: Zstd frame by frame as they are
// decoded, the other formats at the end. Used by unpackPayload, the
// downloader, the tools and the fuzzers. Dictionary: the one Zstd frames
// were written with (the other formats have none).
bool decodePayload(EPayloadFormat Format, const std::uint8_t* Payload, std::size_t PayloadSize,
                   std::uint8_t* Output, std::size_t OutputCapacity, const TDecodedObserver& Observe = {},
                   const TZstdDictionary* Dictionary = nullptr);

// Whether payloads of Format can be decoded as a stream (streamPayload):
// Stored, Deflate, Lzip, the LZMA ids and Zstd.
bool canStreamPayload(EPayloadFormat Format);

// Reads the next bytes of a payload into Buffer (at most Size); returns how
// many, 0 at its end, below 0 on a read error.
using TPayloadReader = std::function<std::int64_t(char* Buffer, std::size_t Size)>;
// Takes the next decoded bytes; returns false to stop the decode as failed.
using TPayloadWriter = std::function<bool(const char* Data, std::size_t Size)>;

// Decodes a payload of PayloadSize bytes of a streamable format block by
// block into exactly UnpackedSize bytes handed to Write (a Stored payload
// shorter than that is padded with zeros, as unpackPayload does). Fails when
// the payload is malformed, produces more or fewer bytes, or reading or
// writing fails. Working memory: two blocks of kStreamingBlockSize, the
// zlib window, for LZMA a dictionary of the declared size but at most
// min(UnpackedSize, kMaxStreamingDictionarySize), for Zstd the frame's
// window (at most 2^kZstdMaxWindowLog) and a 128 KiB block.
bool streamPayload(EPayloadFormat Format, std::uint64_t PayloadSize, std::uint64_t UnpackedSize,
                   const TPayloadReader& Read, const TPayloadWriter& Write,
                   const TZstdDictionary* Dictionary = nullptr);

// Writes a container of the given format around Data. Supported formats for
// writing: Stored, Deflate, Lzip, Lzma20, Lzma25 (for the two LZMA ids the
// dictionary is fitted to the data) and Zstd (one frame). Returns an empty
// array when the format cannot be written.
// Level: the LZMA preset (0 to 9) for Lzip and the LZMA ids, the zlib level
// (1 to 9) for Deflate, the Zstandard level (1 to 19) for Zstd.
QByteArray packPayload(EPayloadFormat Format, const char* Data, std::size_t Size, int Level = 6);
// A Zstd container whose frame is written with Dictionary: it decodes only
// with that dictionary. Empty when it cannot be written.
QByteArray packZstdPayload(const char* Data, std::size_t Size, int Level,
                           std::shared_ptr<const TZstdDictionary> Dictionary);

// The container of an encoded payload: the header (format id, unpacked size,
// payload size) followed by Payload.
QByteArray containerAround(EPayloadFormat Format, std::uint64_t UnpackedSize, const QByteArray& Payload);

} // namespace shared
