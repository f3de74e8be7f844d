#include "shared/byteranges.h"

#include <QList>

#include <algorithm>
#include <cstring>

namespace shared {

namespace {

// Room for one part's delimiter and headers, and for the preamble, the
// final delimiter and the epilogue of a multipart body. Real servers need
// about a hundred bytes per part.
constexpr std::uint64_t kPartAllowance = 1024;
constexpr std::uint64_t kFrameAllowance = 2048;
constexpr int kMaxBoundaryLength = 70;

std::optional<std::uint64_t> parseDecimal(const QByteArray& Text)
{
  if (Text.isEmpty() || Text.size() > 19)
    return std::nullopt;
  std::uint64_t Value = 0;
  for (const char Digit : Text) {
    if (Digit < '0' || Digit > '9')
      return std::nullopt;
    Value = Value * 10 + std::uint64_t(Digit - '0');
  }
  return Value;
}

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*") about a file of FileSize
// bytes, as the range it names.
std::optional<TByteRange> parseContentRange(const QByteArray& Value, std::uint64_t FileSize)
{
  const QByteArray Text = Value.trimmed();
  if (!Text.toLower().startsWith("bytes "))
    return std::nullopt;
  const QByteArray Range = Text.mid(6).trimmed();
  const int Dash = Range.indexOf('-');
  const int Slash = Range.indexOf('/');
  if (Dash <= 0 || Slash <= Dash + 1)
    return std::nullopt;
  const auto First = parseDecimal(Range.left(Dash));
  const auto Last = parseDecimal(Range.mid(Dash + 1, Slash - Dash - 1));
  const QByteArray Total = Range.mid(Slash + 1);
  if (!First || !Last || *Last < *First || *Last >= FileSize)
    return std::nullopt;
  if (Total != "*" && parseDecimal(Total) != FileSize)
    return std::nullopt;
  return TByteRange{*First, *Last - *First + 1};
}

std::optional<QByteArray> multipartBoundary(const QByteArray& ContentType)
{
  const QList<QByteArray> Parameters = ContentType.split(';');
  if (Parameters.first().trimmed().toLower() != "multipart/byteranges")
    return std::nullopt;
  for (int Index = 1; Index < Parameters.size(); ++Index) {
    const QByteArray Parameter = Parameters[Index].trimmed();
    const int Equals = Parameter.indexOf('=');
    if (Equals < 0 || Parameter.left(Equals).trimmed().toLower() != "boundary")
      continue;
    QByteArray Boundary = Parameter.mid(Equals + 1).trimmed();
    if (Boundary.size() >= 2 && Boundary.startsWith('"') && Boundary.endsWith('"'))
      Boundary = Boundary.mid(1, Boundary.size() - 2);
    if (Boundary.isEmpty() || Boundary.size() > kMaxBoundaryLength)
      return std::nullopt;
    return Boundary;
  }
  return std::nullopt;
}

// One part of an answer: the range it holds and where its bytes are in the
// body.
struct TPart
{
  TByteRange range;
  int bodyOffset = 0;
};

// Walks a multipart/byteranges body: delimiter, headers, exactly the bytes
// its Content-Range names, the next delimiter, up to the final one.
class TMultipartReader
{
public:
  TMultipartReader(const QByteArray& Body, const QByteArray& Boundary, std::uint64_t FileSize)
    : m_Body(Body), m_Delimiter("--" + Boundary), m_FileSize(FileSize)
  {
  }

  // The parts, at most MaxParts; nothing when the body is malformed.
  std::optional<std::vector<TPart>> parts(std::size_t MaxParts)
  {
    if (!skipPreamble())
      return std::nullopt;
    std::vector<TPart> Parts;
    for (;;) {
      if (at("--"))
        return Parts;  // the final delimiter; an epilogue is ignored
      if (Parts.size() == MaxParts || !skipLineEnd())
        return std::nullopt;
      const auto Range = partRange();
      if (!Range || std::uint64_t(m_Body.size() - m_Position) < Range->length)
        return std::nullopt;
      Parts.push_back({*Range, m_Position});
      m_Position += int(Range->length);
      if (!at("\r\n") || !at(m_Delimiter, 2))
        return std::nullopt;
      m_Position += 2 + m_Delimiter.size();
    }
  }

private:
  // Moves past the first delimiter, which starts the body or a line within
  // a short preamble.
  bool skipPreamble()
  {
    const int Found = m_Body.indexOf(m_Delimiter);
    if (Found < 0 || Found > int(kFrameAllowance) || (Found > 0 && m_Body[Found - 1] != '\n'))
      return false;
    m_Position = Found + m_Delimiter.size();
    return true;
  }

  // Transport padding (spaces, tabs) and the line end after a delimiter.
  bool skipLineEnd()
  {
    int Padding = 0;
    while (m_Position < m_Body.size() && (m_Body[m_Position] == ' ' || m_Body[m_Position] == '\t') &&
           Padding++ < 64)
      ++m_Position;
    if (!at("\r\n"))
      return false;
    m_Position += 2;
    return true;
  }

  // Reads the part's header lines up to the empty line; the range its one
  // Content-Range names (a part without headers has none).
  std::optional<TByteRange> partRange()
  {
    const int End = m_Body.indexOf("\r\n\r\n", m_Position);
    if (at("\r\n") || End < 0 || End - m_Position > int(kPartAllowance))
      return std::nullopt;
    const QByteArray Headers = m_Body.mid(m_Position, End - m_Position);
    m_Position = End + 4;
    std::optional<TByteRange> Range;
    for (const QByteArray& Line : Headers.split('\n')) {
      const int Colon = Line.indexOf(':');
      if (Colon < 0 || Line.left(Colon).trimmed().toLower() != "content-range")
        continue;
      if (Range)
        return std::nullopt;  // two ranges for one part
      Range = parseContentRange(Line.mid(Colon + 1), m_FileSize);
      if (!Range)
        return std::nullopt;
    }
    return Range;
  }

  // Whether Text stands in the body Skip bytes after the reading position.
  bool at(const QByteArray& Text, int Skip = 0) const
  {
    const int Start = m_Position + Skip;
    return Start + Text.size() <= m_Body.size() &&
           std::memcmp(m_Body.constData() + Start, Text.constData(), std::size_t(Text.size())) == 0;
  }

  const QByteArray& m_Body;
  const QByteArray m_Delimiter;
  const std::uint64_t m_FileSize;
  int m_Position = 0;
};

std::optional<std::vector<TPart>> answeredParts(const TRangeResponse& Response, std::size_t Requested,
                                                std::uint64_t FileSize)
{
  if (Response.status == 200) {
    if (std::uint64_t(Response.body.size()) != FileSize)
      return std::nullopt;
    return std::vector<TPart>{{{0, FileSize}, 0}};
  }
  if (Response.status != 206)
    return std::nullopt;
  if (const auto Boundary = multipartBoundary(Response.contentType))
    return TMultipartReader(Response.body, *Boundary, FileSize).parts(Requested);
  const auto Range = parseContentRange(Response.contentRange, FileSize);
  if (!Range || std::uint64_t(Response.body.size()) != Range->length)
    return std::nullopt;
  return std::vector<TPart>{{*Range, 0}};
}

bool overlaps(const TByteRange& Left, const TByteRange& Right)
{
  return Left.offset < Right.end() && Right.offset < Left.end();
}

// The parts are disjoint and each holds some requested byte.
bool partsAreSound(std::vector<TPart> Parts, const std::vector<TByteRange>& Requested)
{
  std::sort(Parts.begin(), Parts.end(),
            [](const TPart& Left, const TPart& Right) { return Left.range.offset < Right.range.offset; });
  for (std::size_t Index = 0; Index < Parts.size(); ++Index) {
    if (Index > 0 && Parts[Index - 1].range.end() > Parts[Index].range.offset)
      return false;
    const bool Asked = std::any_of(Requested.begin(), Requested.end(),
                                   [&](const TByteRange& Range) { return overlaps(Range, Parts[Index].range); });
    if (!Asked)
      return false;
  }
  return true;
}

} // namespace

void addMergedRange(std::vector<TByteRange>& Ranges, const TByteRange& Range, std::uint64_t BridgeGapBytes)
{
  if (!Ranges.empty() && Range.offset <= Ranges.back().end() + BridgeGapBytes) {
    Ranges.back().length = std::max(Ranges.back().end(), Range.end()) - Ranges.back().offset;
    return;
  }
  Ranges.push_back(Range);
}

std::vector<std::vector<TByteRange>> groupIntoRequests(const std::vector<TByteRange>& Ranges, std::size_t PerRequest)
{
  PerRequest = std::max<std::size_t>(PerRequest, 1);
  std::vector<std::vector<TByteRange>> Requests;
  for (std::size_t First = 0; First < Ranges.size(); First += PerRequest) {
    const auto End = Ranges.begin() + std::ptrdiff_t(std::min(Ranges.size(), First + PerRequest));
    Requests.emplace_back(Ranges.begin() + std::ptrdiff_t(First), End);
  }
  return Requests;
}

TPackFetchPlan planPackFetch(std::vector<TByteRange> Pieces, std::uint64_t PackSize)
{
  std::sort(Pieces.begin(), Pieces.end(),
            [](const TByteRange& Left, const TByteRange& Right) { return Left.offset < Right.offset; });
  std::vector<TByteRange> Ranges;
  for (const TByteRange& Piece : Pieces)
    addMergedRange(Ranges, Piece, kPackBridgeGapBytes);
  TPackFetchPlan Plan;
  for (const TByteRange& Range : Ranges)
    Plan.bytes += Range.length;
  if (Ranges.empty())
    return Plan;
  if (Plan.bytes >= PackSize / 5 * 4) {
    Plan.whole = true;
    Plan.bytes = PackSize;
    Plan.requests = {{{0, PackSize}}};
    return Plan;
  }
  Plan.requests = groupIntoRequests(Ranges, kMaxPackRangesPerRequest);
  return Plan;
}

QByteArray rangeHeaderValue(const std::vector<TByteRange>& Ranges)
{
  QByteArray Value = "bytes=";
  for (std::size_t Index = 0; Index < Ranges.size(); ++Index) {
    if (Index > 0)
      Value += ',';
    Value += QByteArray::number(qulonglong(Ranges[Index].offset)) + '-' +
             QByteArray::number(qulonglong(Ranges[Index].end() - 1));
  }
  return Value;
}

std::uint64_t maxRangeResponseBytes(const std::vector<TByteRange>& Ranges, std::uint64_t FileSize)
{
  std::uint64_t Multipart = kFrameAllowance;
  for (const TByteRange& Range : Ranges)
    Multipart += Range.length + kPartAllowance;
  return std::max(FileSize, Multipart);
}

std::optional<std::vector<QByteArray>> extractRequestedRanges(const TRangeResponse& Response,
                                                              const std::vector<TByteRange>& Requested,
                                                              std::uint64_t FileSize)
{
  const bool RequestIsSound =
      !Requested.empty() && std::all_of(Requested.begin(), Requested.end(), [&](const TByteRange& Range) {
        return Range.length > 0 && Range.offset < FileSize && Range.length <= FileSize - Range.offset;
      });
  if (!RequestIsSound || std::uint64_t(Response.body.size()) > maxRangeResponseBytes(Requested, FileSize))
    return std::nullopt;
  const auto Parts = answeredParts(Response, Requested.size(), FileSize);
  if (!Parts || !partsAreSound(*Parts, Requested))
    return std::nullopt;
  std::vector<QByteArray> Result;
  Result.reserve(Requested.size());
  for (const TByteRange& Range : Requested) {
    const auto Holder = std::find_if(Parts->begin(), Parts->end(), [&](const TPart& Part) {
      return Part.range.offset <= Range.offset && Range.end() <= Part.range.end();
    });
    if (Holder == Parts->end())
      return std::nullopt;
    Result.push_back(Response.body.mid(Holder->bodyOffset + int(Range.offset - Holder->range.offset),
                                       int(Range.length)));
  }
  return Result;
}

} // namespace shared
