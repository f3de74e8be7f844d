#pragma once

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>

namespace testsupport {

// Sample game builds for end-to-end tests: large files (cut into chunks)
// with random and text-like content, small files, an empty file, an
// executable, and a second version with typical changes.
void writeGameBuildV1(const QString& Directory, int LargeFileMegabytes = 24);
// Turns a copy of version 1 into version 2: bytes inserted in the middle of
// a large file, a region of another modified, a large file shortened, a
// file added, one removed, one grown, one shrunk, one made executable.
void changeGameBuildToV2(const QString& Directory);

// Text-like, well compressible bytes.
QByteArray textBytes(int Size, quint64 Seed);

// Count small text files of 1 to 4 KB below Directory/Folder that share
// their layout and many of their lines, as a game's item and quest tables
// do: what a Zstandard dictionary learns from. Each file differs, and so
// do the files of another Seed.
void writeSimilarTextFiles(const QString& Directory, const QString& Folder, int Count, quint64 Seed = 0);

// Relative paths of all files below Directory, except those in Ignored,
// mapped to their SHA-256 and executable flag ("<hex> x" or "<hex> -").
QMap<QString, QString> describeTree(const QString& Directory, const QSet<QString>& Ignored = {});

// The bytes an update from OldDescription to NewDescription must download at
// the least: the packed sizes of the new description's download records
// (chunks and whole-file records, each once) whose content the old one does
// not have.
qint64 updateDownloadFloor(const QByteArray& OldDescription, const QByteArray& NewDescription);
// The packed sizes of all download records of a description, each once.
qint64 fullDownloadSize(const QByteArray& Description);

} // namespace testsupport
