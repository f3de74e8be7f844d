#pragma once

// Entry points shared by the libFuzzer targets (fuzz/) and the replay of
// their regression inputs in the normal test suite. Each check feeds one
// input through a decoder or parser and tests the promises of its interface
// that hold for every input. It returns what it observed: a non-empty
// `violation` names the first broken promise; `accepted` tells whether the
// input took the success path (decoded, or parsed as a document).
//
// Header only, so that the fuzzers need neither Qt Test nor the test
// support library.

#include "shared/blocks.h"
#include "shared/byteranges.h"
#include "shared/codecs/codecs.h"
#include "shared/payload.h"
#include "shared/randomhints.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

namespace fuzzchecks {

struct TOutcome
{
  QString violation;      // empty: every promise held
  bool accepted = false;  // the input took the success path
};

// Largest unpacked size the payload target lets a container declare. Larger
// declarations are refused by the bounded unpackPayload before anything is
// allocated (the check verifies that as well); the bound keeps a single input
// of the slowest format (ZPAQ, well below 1 MiB/s under the sanitizers) from
// running into the fuzzer's time-out.
constexpr std::uint64_t kPayloadFuzzLimit = 256u * 1024;

// Codec inputs: three bytes of output capacity (little endian), then the
// payload. The capacity is masked to below 4 MiB, or to below 128 KiB for
// ZPAQ, whose decoding costs far more per byte.
constexpr std::size_t kCodecCapacityBytes = 3;
constexpr std::size_t kCodecCapacityMask = 0x3FFFFF;
constexpr std::size_t kZpaqCapacityMask = 0x1FFFF;

inline QByteArray codecInput(std::size_t Capacity, const QByteArray& Payload)
{
  QByteArray Input;
  for (std::size_t Index = 0; Index < kCodecCapacityBytes; ++Index)
    Input.append(char((Capacity >> (8 * Index)) & 0xFF));
  return Input + Payload;
}

// The payload of a container decoded by shared::streamPayload, fed in odd
// slices; a null array when the stream is refused.
inline QByteArray streamedPayload(const QByteArray& Data, const shared::TPayloadHeader& Header)
{
  std::size_t Position = Header.payloadOffset;
  QByteArray Streamed("");
  const bool Ok = shared::streamPayload(
    Header.format, Header.packedSize, Header.unpackedSize,
    [&](char* Buffer, std::size_t Size) {
      const std::size_t Taken = std::min<std::size_t>({Size, 4093, std::size_t(Data.size()) - Position});
      std::memcpy(Buffer, Data.constData() + Position, Taken);
      Position += Taken;
      return std::int64_t(Taken);
    },
    [&](const char* Bytes, std::size_t Size) {
      Streamed.append(Bytes, int(Size));
      return true;
    });
  return Ok ? Streamed : QByteArray();
}

// The container promises: a refused container leaves the input as the
// result; an accepted one has the declared size, a known format, sizes that
// are not 0 and a payload inside the data; bytes after the payload do not
// change the result; a tighter limit than the declared size refuses it.
// Zstandard payloads decode alike as a stream and in memory.
inline TOutcome checkPayload(const QByteArray& Data, std::uint64_t Limit = kPayloadFuzzLimit)
{
  TOutcome Outcome;
  const auto Header = shared::readPayloadHeader(Data.constData(), std::size_t(Data.size()));
  const bool Container = shared::isPackedPayload(Data);
  if (Header && !Container)
    return {"readPayloadHeader accepted data that is not a container", false};

  QByteArray Result;
  Outcome.accepted = shared::unpackPayload(Data, Result, Limit);
  if (!Outcome.accepted) {
    if (Result != Data)
      Outcome.violation = "refused container: the result is not the input";
    else if (Header && Header->format == shared::EPayloadFormat::Zstd && Header->unpackedSize > 0 &&
             Header->unpackedSize <= Limit && Header->packedSize > 0 &&
             Header->packedSize <= std::uint64_t(Data.size()) - Header->payloadOffset &&
             !streamedPayload(Data, *Header).isNull())
      Outcome.violation = "the streaming decode accepted a Zstandard payload refused in memory";
    return Outcome;
  }

  if (!Container || !Header)
    return {"accepted data without a valid container header", true};
  static const int Known[] = {0, 3, 4, 5, 6, 9, 10, 14, 21};
  if (std::find(std::begin(Known), std::end(Known), int(Header->format)) == std::end(Known))
    return {QString("accepted the unknown format id %1").arg(int(Header->format)), true};
  if (Header->unpackedSize == 0 || Header->packedSize == 0)
    return {"accepted a container with a size of 0", true};
  if (Header->unpackedSize > Limit)
    return {"accepted a container above the limit", true};
  if (Header->packedSize > std::uint64_t(Data.size()) - Header->payloadOffset)
    return {"accepted a payload that runs past the data", true};
  if (std::uint64_t(Result.size()) != Header->unpackedSize)
    return {QString("result has %1 bytes, the header declares %2").arg(Result.size()).arg(Header->unpackedSize),
            true};

  // Decoding again costs as much as the first time: only for small results.
  if (Header->unpackedSize <= 64 * 1024) {
    QByteArray Longer = Data;
    Longer.append(char(0x5A));
    QByteArray LongerResult;
    if (!shared::unpackPayload(Longer, LongerResult, Limit) || LongerResult != Result)
      return {"a byte after the payload changed the result", true};
  }

  QByteArray Tight;
  if (shared::unpackPayload(Data, Tight, Header->unpackedSize - 1) || Tight != Data)
    return {"a limit below the declared size did not refuse the container", true};
  if (Header->format == shared::EPayloadFormat::Zstd && streamedPayload(Data, *Header) != Result)
    return {"the streaming decode of a Zstandard payload differs from the decode in memory", true};
  return Outcome;
}

using TCodec = bool (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t, std::size_t&);

// A decoder run twice, into buffers filled with different patterns: success
// must report at most the capacity, and the produced bytes must not depend
// on what the buffer held before (a match that reaches into bytes not yet
// written would show here, where the address sanitizer sees nothing).
inline TOutcome checkCodec(TCodec Decode, const std::uint8_t* Input, std::size_t InputSize,
                           std::size_t CapacityMask = kCodecCapacityMask)
{
  TOutcome Outcome;
  if (InputSize < kCodecCapacityBytes)
    return Outcome;
  std::size_t Capacity = 0;
  for (std::size_t Index = 0; Index < kCodecCapacityBytes; ++Index)
    Capacity |= std::size_t(Input[Index]) << (8 * Index);
  Capacity &= CapacityMask;
  // The payload in a buffer of its own size, so that a read past its end
  // is caught even when the caller's buffer is larger.
  const std::size_t PayloadSize = InputSize - kCodecCapacityBytes;
  std::unique_ptr<std::uint8_t[]> Payload(new std::uint8_t[PayloadSize ? PayloadSize : 1]);
  if (PayloadSize != 0)
    std::memcpy(Payload.get(), Input + kCodecCapacityBytes, PayloadSize);
  const std::uint8_t* PayloadData = PayloadSize ? Payload.get() : nullptr;

  std::unique_ptr<std::uint8_t[]> First(new std::uint8_t[Capacity ? Capacity : 1]);
  std::memset(First.get(), 0x00, Capacity);
  std::size_t FirstProduced = 0;
  Outcome.accepted = Decode(PayloadData, PayloadSize, First.get(), Capacity, FirstProduced);
  if (!Outcome.accepted)
    return Outcome;
  if (FirstProduced > Capacity)
    return {QString("produced %1 bytes into %2").arg(FirstProduced).arg(Capacity), true};

  std::unique_ptr<std::uint8_t[]> Second(new std::uint8_t[Capacity ? Capacity : 1]);
  std::memset(Second.get(), 0xA5, Capacity);
  std::size_t SecondProduced = 0;
  if (!Decode(PayloadData, PayloadSize, Second.get(), Capacity, SecondProduced) ||
      SecondProduced != FirstProduced)
    return {"a second run gave another result", true};
  if (FirstProduced != 0 && std::memcmp(First.get(), Second.get(), FirstProduced) != 0)
    return {"the decoded bytes depend on the earlier content of the output buffer", true};
  return Outcome;
}

inline TOutcome checkCodec(TCodec Decode, const QByteArray& Input, std::size_t CapacityMask = kCodecCapacityMask)
{
  return checkCodec(Decode, reinterpret_cast<const std::uint8_t*>(Input.constData()), std::size_t(Input.size()),
                    CapacityMask);
}

inline bool sameHint(const shared::THint& Left, const shared::THint& Right)
{
  return Left.title == Right.title && Left.richText == Right.richText && Left.imageUrl == Right.imageUrl &&
         Left.category == Right.category && Left.url == Right.url && Left.displayAfter == Right.displayAfter &&
         Left.displayUntil == Right.displayUntil && Left.hasEmergency == Right.hasEmergency &&
         Left.emergency == Right.emergency;
}

// The selection at one moment: the first emergency hint wins; otherwise the
// featured hint is one of the list, not an emergency carrier, and inside its
// display window.
inline QString checkSelection(const std::vector<shared::THint>& Hints, const QDateTime& Now)
{
  const std::optional<shared::THint> Featured = shared::selectFeaturedHint(Hints, Now);
  const shared::THint* FirstEmergency = nullptr;
  for (const shared::THint& Hint : Hints) {
    if (Hint.hasEmergency && Hint.emergency) {
      FirstEmergency = &Hint;
      break;
    }
  }
  if (FirstEmergency) {
    if (!Featured || !sameHint(*Featured, *FirstEmergency))
      return "the first emergency hint is not featured";
    return QString();
  }
  if (!Featured)
    return QString();
  bool Listed = false;
  for (const shared::THint& Hint : Hints)
    Listed = Listed || sameHint(Hint, *Featured);
  if (!Listed)
    return "the featured hint is not one of the parsed hints";
  if (Featured->hasEmergency)
    return "a hint that carries \"emergency\": false was featured";
  if ((Featured->displayAfter.isValid() && Featured->displayAfter > Now) ||
      (Featured->displayUntil.isValid() && Featured->displayUntil < Now))
    return "the featured hint is outside its display window";
  return QString();
}

// Parsing never throws; invalid JSON gives no hints; every kept hint has a
// rich text behind the style prefix; the selection keeps its rules at the
// edges of every display window and at a few fixed moments.
inline TOutcome checkHints(const QByteArray& Document)
{
  TOutcome Outcome;
  QJsonParseError Error;
  const QJsonDocument Json = QJsonDocument::fromJson(Document, &Error);
  const std::vector<shared::THint> Hints = shared::parseHints(Document);
  Outcome.accepted = Error.error == QJsonParseError::NoError;
  if (!Outcome.accepted) {
    if (!Hints.empty())
      Outcome.violation = "invalid JSON gave hints";
    return Outcome;
  }
  if (Hints.size() > std::size_t(Json.array().size()))
    return {"more hints than array elements", true};
  const QString Prefix = QString::fromLatin1(shared::HintRichTextPrefix);
  for (const shared::THint& Hint : Hints) {
    if (!Hint.richText.startsWith(Prefix) || Hint.richText.size() == Prefix.size())
      return {"a hint without rich text behind the style prefix", true};
  }

  std::vector<QDateTime> Moments = {QDateTime::fromMSecsSinceEpoch(0, Qt::UTC),
                                    QDateTime::fromMSecsSinceEpoch(1700000000123, Qt::UTC),
                                    QDateTime::fromMSecsSinceEpoch(4102444800000, Qt::UTC)};
  for (const shared::THint& Hint : Hints) {
    if (Moments.size() >= 24)
      break;
    if (Hint.displayAfter.isValid())
      Moments.push_back(Hint.displayAfter.toUTC());
    if (Hint.displayUntil.isValid())
      Moments.push_back(Hint.displayUntil.toUTC());
  }
  for (const QDateTime& Moment : Moments) {
    const QString Violation = checkSelection(Hints, Moment);
    if (!Violation.isEmpty())
      return {Violation + " at " + Moment.toString(Qt::ISODateWithMs), true};
  }
  return Outcome;
}

// Block index inputs: the chunk file's size and the chunk's unpacked size
// (8 bytes each, little endian), then the index file.
constexpr int kBlockIndexSizesBytes = 16;

inline QByteArray blockIndexInput(std::uint64_t ChunkFileSize, std::uint64_t UnpackedSize, const QByteArray& Index)
{
  QByteArray Input;
  for (const std::uint64_t Value : {ChunkFileSize, UnpackedSize}) {
    for (int Byte = 0; Byte < 8; ++Byte)
      Input.append(char((Value >> (8 * Byte)) & 0xFF));
  }
  return Input + Index;
}

// shared::parseBlockIndex: an accepted index lists blocks that follow each
// other on both sides, each within the bounds, adding up to the chunk and
// ending at the end of the chunk file, and it is written back byte for byte.
inline TOutcome checkBlockIndex(const QByteArray& Input)
{
  if (Input.size() < kBlockIndexSizesBytes)
    return {};
  std::uint64_t Sizes[2] = {0, 0};
  for (int Byte = 0; Byte < kBlockIndexSizesBytes; ++Byte)
    Sizes[Byte / 8] |= std::uint64_t(std::uint8_t(Input[Byte])) << (8 * (Byte % 8));
  const QByteArray Data = Input.mid(kBlockIndexSizesBytes);
  const auto Index = shared::parseBlockIndex(Data, Sizes[0], Sizes[1]);
  if (!Index)
    return {};
  if (Index->blocks.empty() || Index->blocks.size() > shared::kMaxBlocksPerIndex)
    return {"accepted an index without blocks or with too many", true};
  std::uint64_t Unpacked = 0;
  std::uint64_t Packed = Index->blocks.front().packedOffset;
  for (const shared::TBlock& Block : Index->blocks) {
    if (Block.unpackedOffset != Unpacked || Block.packedOffset != Packed)
      return {"accepted blocks that do not follow each other", true};
    if (Block.unpackedSize == 0 || Block.unpackedSize > shared::kMaxBlockSize || Block.packedSize == 0 ||
        Block.hash.size() != 32)
      return {"accepted a block out of bounds", true};
    Unpacked += Block.unpackedSize;
    Packed += Block.packedSize;
  }
  if (Unpacked != Sizes[1] || Packed != Sizes[0])
    return {"accepted blocks that do not add up to the chunk file", true};
  if (shared::serializeBlockIndex(*Index) != Data)
    return {"an accepted index is not written back as it was read", true};
  return {QString(), true};
}

// Range answer inputs: one byte for the status (even: 206, odd: 200), the
// Content-Type and the Content-Range value each ended by a line feed, then
// the body. The answer is about a file of kRangeFileSize bytes of which
// kRangesAsked were asked.
constexpr std::uint64_t kRangeFileSize = 1000;
inline const std::vector<shared::TByteRange>& rangesAsked()
{
  static const std::vector<shared::TByteRange> Ranges = {{10, 10}, {100, 50}};
  return Ranges;
}

inline QByteArray rangeAnswerInput(int Status, const QByteArray& ContentType, const QByteArray& ContentRange,
                                   const QByteArray& Body)
{
  return QByteArray(1, char(Status == 200 ? 1 : 0)) + ContentType + '\n' + ContentRange + '\n' + Body;
}

// shared::extractRequestedRanges: an accepted answer yields each asked
// range with its length, from a body within the bound, and a whole file
// yields the asked slices of it.
inline TOutcome checkRangeAnswer(const QByteArray& Input)
{
  const int TypeEnd = Input.indexOf('\n', 1);
  const int RangeEnd = TypeEnd < 0 ? -1 : Input.indexOf('\n', TypeEnd + 1);
  if (Input.isEmpty() || RangeEnd < 0)
    return {};
  shared::TRangeResponse Response;
  Response.status = (std::uint8_t(Input[0]) & 1) ? 200 : 206;
  Response.contentType = Input.mid(1, TypeEnd - 1);
  Response.contentRange = Input.mid(TypeEnd + 1, RangeEnd - TypeEnd - 1);
  Response.body = Input.mid(RangeEnd + 1);
  const auto Ranges = shared::extractRequestedRanges(Response, rangesAsked(), kRangeFileSize);
  if (!Ranges)
    return {};
  if (std::uint64_t(Response.body.size()) > shared::maxRangeResponseBytes(rangesAsked(), kRangeFileSize))
    return {"accepted a body above the bound", true};
  if (Ranges->size() != rangesAsked().size())
    return {"accepted answer does not give every asked range", true};
  for (std::size_t Index = 0; Index < Ranges->size(); ++Index) {
    const shared::TByteRange& Asked = rangesAsked()[Index];
    if (std::uint64_t((*Ranges)[Index].size()) != Asked.length)
      return {"a range has another length than asked", true};
    if (Response.status == 200 && (*Ranges)[Index] != Response.body.mid(int(Asked.offset), int(Asked.length)))
      return {"a range is not the asked slice of the whole file", true};
  }
  return {QString(), true};
}

} // namespace fuzzchecks
