#pragma once

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

// HTTP byte-range requests of parts of a file, and their answers: one range
// (206 with Content-Range), several (206 multipart/byteranges), or the whole
// file from a server that ignores ranges (200). Everything in an answer is
// untrusted: it yields exactly the requested bytes or nothing.
namespace shared {

// The bytes [offset, offset + length) of a file.
struct TByteRange
{
  std::uint64_t offset = 0;
  std::uint64_t length = 0;

  std::uint64_t end() const { return offset + length; }
  bool operator==(const TByteRange& Other) const { return offset == Other.offset && length == Other.length; }
};

// Adds Range to Ranges (ascending by offset), merged into the last range
// when it overlaps it or begins at most BridgeGapBytes after its end: a part
// of a multipart answer costs about a hundred bytes of headers, a small gap
// less.
void addMergedRange(std::vector<TByteRange>& Ranges, const TByteRange& Range, std::uint64_t BridgeGapBytes);

// Ranges in requests of at most PerRequest ranges each (at least one).
std::vector<std::vector<TByteRange>> groupIntoRequests(const std::vector<TByteRange>& Ranges, std::size_t PerRequest);

// How the launcher asks for pieces of one pack file: their ranges merged,
// gaps of at most kPackBridgeGapBytes bridged, at most
// kMaxPackRangesPerRequest to a request (a multipart answer); or the whole
// pack in one plain request when the merged ranges come to 80 % of it or
// more (the rest costs less than the parts' headers and the server's work).
constexpr std::uint64_t kPackBridgeGapBytes = 1024;
constexpr std::size_t kMaxPackRangesPerRequest = 64;

struct TPackFetchPlan
{
  bool whole = false;
  // The requests in pack order; whole: one, for [0, pack size).
  std::vector<std::vector<TByteRange>> requests;
  std::uint64_t bytes = 0;  // what the answers carry, without multipart headers
};

// The plan for the pieces' ranges (in any order) of a pack of PackSize bytes.
TPackFetchPlan planPackFetch(std::vector<TByteRange> Pieces, std::uint64_t PackSize);

// The value of a Range header asking for the ranges in their order:
// "bytes=0-99,200-299".
QByteArray rangeHeaderValue(const std::vector<TByteRange>& Ranges);

// The most body bytes an acceptable answer to a request for Ranges of a file
// of FileSize bytes has: the whole file (200), or the ranges with room for
// each part's multipart headers. A receiver stops reading beyond this.
std::uint64_t maxRangeResponseBytes(const std::vector<TByteRange>& Ranges, std::uint64_t FileSize);

// What a server answered to a range request.
struct TRangeResponse
{
  int status = 0;            // HTTP status code
  QByteArray contentType;    // Content-Type header value (may be empty)
  QByteArray contentRange;   // Content-Range header value (may be empty)
  QByteArray body;
};

// The bytes of each requested range, in the order of Requested, from an
// answer about a file of FileSize bytes. Accepted answers:
//   - 200 whose body is the whole file (FileSize bytes);
//   - 206 with Content-Range "bytes FIRST-LAST/TOTAL" and a body of exactly
//     that range;
//   - 206 multipart/byteranges with the boundary of its Content-Type, each
//     part with its own Content-Range and exactly that many bytes, closed by
//     the final delimiter.
// A server may merge ranges into one part. Refused (nothing returned): any
// other status; a TOTAL other than FileSize; a range that ends past the
// file; parts that overlap, that touch no requested range, or that are more
// than requested; a requested range that no single part holds whole;
// headers or preamble beyond a few KiB; a body above
// maxRangeResponseBytes; a requested range that is empty or lies outside
// the file.
std::optional<std::vector<QByteArray>> extractRequestedRanges(const TRangeResponse& Response,
                                                              const std::vector<TByteRange>& Requested,
                                                              std::uint64_t FileSize);

} // namespace shared
