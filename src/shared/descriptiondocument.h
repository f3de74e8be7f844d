#pragma once

#include "shared/payload.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

// How large a package or asset description may be, and its compressed copy.
//
// A description lists at most MaxDescriptionEntries entries (files and
// chunks together); an entry as the publisher writes it takes about 490
// bytes (a file published whole, with a path of 15 characters, indented),
// so MaxDescriptionEntryBytes on average leaves room for longer paths. The
// largest description, plain or decoded from its compressed copy, is the
// product: 128 MiB, enough for 100 000 files with room to spare. The
// launcher holds a description's text and its parsed form (about three
// times the text while it is parsed), so one description of 100 000 files
// (49 MB) takes about 200 MB at its peak.
namespace shared {

constexpr qint64 MaxDescriptionEntries = 262144;
constexpr qint64 MaxDescriptionEntryBytes = 512;
constexpr qint64 MaxDescriptionBytes = MaxDescriptionEntries * MaxDescriptionEntryBytes;
static_assert(std::uint64_t(MaxDescriptionBytes) <= kMaxUnpackedPayloadSize,
              "a compressed description is decoded within the bounds of a chunk payload");

// The publisher writes the compressed copy of a description beside it,
// under the description's file name with this suffix: a payload container
// (shared/payload.h) of Zstandard frames, which decodes to the description
// byte for byte, so that the description's signature vouches for it too.
extern const char* const CompressedDescriptionSuffix;
constexpr int DefaultDescriptionZstdLevel = 9;

// The compressed copy of Document at the Zstandard level (1 to 19); empty
// when it cannot be made.
QByteArray packDescription(const QByteArray& Document, int Level = DefaultDescriptionZstdLevel);

// Decodes a compressed copy into the document, of at most MaxBytes
// (MaxDescriptionBytes at most). Nothing, with the reason in Problem, when
// Packed is not a container of a format that decodes as a stream (Stored,
// Deflate, LZMA, Zstandard), declares more than MaxBytes, or does not decode
// to exactly the size it declares.
std::optional<QByteArray> unpackDescription(const QByteArray& Packed, qint64 MaxBytes, QString& Problem);

// The delta copy of a description against an earlier one (Base), which a
// launcher that has Base installed fetches instead of the compressed copy:
// a payload container of one Zstandard frame made with Base as its prefix,
// so that an update of a few files fetches a few KiB. Its name beside the
// description is deltaDescriptionName: the description's file name,
// ".from-", the first 16 hex digits of Base's SHA-256 and
// CompressedDescriptionSuffix. Empty when it cannot be made (Base and
// Document together above MaxDeltaWindowBytes, the decoder's window).
constexpr qint64 MaxDeltaWindowBytes = 64ll * 1024 * 1024;
QString deltaDescriptionName(const QString& DescriptionFileName, const QByteArray& Base);
QByteArray packDescriptionDelta(const QByteArray& Document, const QByteArray& Base, int Level = DefaultDescriptionZstdLevel);
// Decodes a delta copy against Base, with the bounds of unpackDescription
// (a Zstandard container only); nothing, with the reason in Problem, when it
// does not decode against Base to exactly the size it declares.
std::optional<QByteArray> unpackDescriptionDelta(const QByteArray& Packed, const QByteArray& Base, qint64 MaxBytes,
                                                 QString& Problem);

} // namespace shared
