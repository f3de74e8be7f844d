#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace shared {
class TZstdDictionary;
}

// Checks of what a chunk file holds, shared by publishing (which reuses the
// chunk files an earlier publication left) and the verify command.
namespace orvale::publisher {

// What keeps Content from being the chunk file of a piece of UnpackedSize
// bytes with the SHA-256 UnpackedHash: a container that decodes to exactly
// the piece when Packed (with Dictionary, when its frames were written
// with one), else the piece itself. Nothing when it is one.
std::optional<QString> chunkContentProblem(const QByteArray& Content, bool Packed, std::uint64_t UnpackedSize,
                                           const QByteArray& UnpackedHash,
                                           const shared::TZstdDictionary* Dictionary = nullptr);

// Writes a file the publisher names by its content (a chunk file, a block
// index or a pack) under its final name, replacing atomically a file that
// is there; not flushed (the publication flushes the file system once).
// False with Error set when it cannot be written.
bool writeChunkFile(const QString& Path, const QByteArray& Data, QString& Error);

// Decodes one container file into Output; false with Error when the data is
// not a container or cannot be decoded.
bool unpackContainerFile(const QString& Input, const QString& Output, QString& Error);

} // namespace orvale::publisher
