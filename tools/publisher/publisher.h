#pragma once

#include "shared/payload.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

namespace orvale::publisher {

enum class ECodec
{
  Lzma,
  Deflate,
  Lzip,
  Stored,
};

struct TPublishOptions
{
  QString inputDirectory;
  QString outputDirectory;
  QString version;
  QString executable;       // relative to the build folder; may be empty
  QStringList parameters;   // command-line arguments of the game client
  QString generation;       // "first", "second" or empty
  QString variant;          // "regular", "preview", "beta", "test" or empty
  ECodec codec = ECodec::Lzma;
  int lzmaPreset = 3;
  // Files up to this size are published whole through their own download
  // record; larger ones are cut by content-defined chunking.
  std::uint64_t wholeFileLimit = 4194304;
};

struct TPublishReport
{
  int files = 0;
  int chunkFilesWritten = 0;     // new chunk files in the output folder
  int chunkFilesReused = 0;      // already present from an earlier publication
  int duplicatePieces = 0;       // pieces whose content was published once already
  std::uint64_t inputBytes = 0;
  std::uint64_t packedBytes = 0; // packed size of all distinct chunks
};

bool parseCodec(const QString& Text, ECodec& Codec);

// Publishes the build. Same input, same output, byte for byte. Chunk files
// are named by their content, so publishing several versions into the same
// folder stores every piece once. Returns false with Error set on failure.
bool publishBuild(const TPublishOptions& Options, TPublishReport& Report, QString& Error,
                  const std::function<void(const QString&)>& Progress = {});

// Decodes one container file into Output; false with Error when the data is
// not a container or cannot be decoded.
bool unpackContainerFile(const QString& Input, const QString& Output, QString& Error);

} // namespace orvale::publisher
