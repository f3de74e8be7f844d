// ashgrove-publish: publishes a game build for the launcher, and decodes
// single chunk containers.

#include "publisher.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

namespace {

const char* const Usage =
    "usage:\n"
    "  ashgrove-publish --input BUILD_DIR --output OUT_DIR --version TEXT [--executable RELATIVE_PATH]\n"
    "                   [--parameter ARG]... [--codec lzma|deflate|lzip|stored] [--level 0-9, default 3]\n"
    "                   [--generation first|second] [--variant regular|preview|beta|test]\n"
    "  ashgrove-publish unpack CONTAINER_FILE OUTPUT_FILE\n";

int fail(const QString& Message)
{
  QTextStream(stderr) << "ashgrove-publish: " << Message << "\n";
  return 1;
}

} // namespace

int main(int argc, char* argv[])
{
  QCoreApplication Application(argc, argv);
  const QStringList Arguments = Application.arguments().mid(1);
  if (Arguments.isEmpty() || Arguments.first() == "--help" || Arguments.first() == "-h") {
    QTextStream(Arguments.isEmpty() ? stderr : stdout) << Usage;
    return Arguments.isEmpty() ? 2 : 0;
  }
  if (Arguments.first() == "unpack") {
    if (Arguments.size() != 3) {
      QTextStream(stderr) << Usage;
      return 2;
    }
    QString Error;
    if (!orvale::publisher::unpackContainerFile(Arguments[1], Arguments[2], Error))
      return fail(Error);
    return 0;
  }

  orvale::publisher::TPublishOptions Options;
  for (int Index = 0; Index < Arguments.size(); ++Index) {
    const QString& Option = Arguments[Index];
    const bool HasValue = Index + 1 < Arguments.size();
    const QString Value = HasValue ? Arguments[Index + 1] : QString();
    if (!HasValue)
      return fail(QString("the option %1 needs a value\n%2").arg(Option, Usage));
    if (Option == "--input")
      Options.inputDirectory = Value;
    else if (Option == "--output")
      Options.outputDirectory = Value;
    else if (Option == "--version")
      Options.version = Value;
    else if (Option == "--executable")
      Options.executable = Value;
    else if (Option == "--parameter")
      Options.parameters << Value;
    else if (Option == "--generation")
      Options.generation = Value;
    else if (Option == "--variant")
      Options.variant = Value;
    else if (Option == "--codec") {
      if (!orvale::publisher::parseCodec(Value, Options.codec))
        return fail(QString("unknown codec %1 (lzma, deflate, lzip or stored)").arg(Value));
    } else if (Option == "--level") {
      bool Ok = false;
      Options.lzmaPreset = Value.toInt(&Ok);
      if (!Ok || Options.lzmaPreset < 0 || Options.lzmaPreset > 9)
        return fail("the level must be a number from 0 to 9");
    } else {
      return fail(QString("unknown option %1\n%2").arg(Option, Usage));
    }
    ++Index;
  }
  if (Options.inputDirectory.isEmpty() || Options.outputDirectory.isEmpty() || Options.version.isEmpty())
    return fail(QString("--input, --output and --version are required\n%1").arg(Usage));

  orvale::publisher::TPublishReport Report;
  QString Error;
  if (!orvale::publisher::publishBuild(Options, Report, Error))
    return fail(Error);
  QTextStream(stdout) << QString("published %1 files, %2 bytes: %3 bytes in chunks (%4 new chunk files, %5 already "
                                 "there, %6 repeated pieces)\n")
                             .arg(Report.files)
                             .arg(Report.inputBytes)
                             .arg(Report.packedBytes)
                             .arg(Report.chunkFilesWritten)
                             .arg(Report.chunkFilesReused)
                             .arg(Report.duplicatePieces);
  return 0;
}
