// ashgrove-publish: publishes a game build for the launcher, and the tools
// around a publication: what an update costs, whether an upload is whole,
// which chunk files old versions left behind, decoding one container, and
// the release keys and signatures.

#include "chunkcollection.h"
#include "chunkfile.h"
#include "cost.h"
#include "descriptionsource.h"
#include "progressline.h"
#include "publisher.h"
#include "verify.h"

#include "shared/downloadpool.h"
#include "shared/releasesignature.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <optional>

using namespace orvale::publisher;

namespace {

#ifndef ASHGROVE_PUBLISHER_VERSION
#define ASHGROVE_PUBLISHER_VERSION "0.0.0"
#endif

const char* const Usage =
    "usage:\n"
    "  ashgrove-publish --input BUILD_DIR --output OUT_DIR --version TEXT [--executable RELATIVE_PATH]\n"
    "                   [--parameter ARG]... [--codec auto|lzma|deflate|lzip|stored]\n"
    "                   [--level 0-9] [--deflate-level 1-9] [--min-lzma-saving PERCENT]\n"
    "                   [--min-deflate-saving PERCENT] [--generation first|second]\n"
    "                   [--variant regular|preview|beta|test]\n"
    "                   [--sign KEY_FILE [--role package|launcher] [--root DIR | --name NAME] [--valid-days N]]\n"
    "      Publishes the build into OUT_DIR (package.json and chunks/). --codec auto (the default) packs\n"
    "      each piece stored, with Deflate or with LZMA: LZMA only where it is at least --min-lzma-saving\n"
    "      percent (10) smaller than Deflate, Deflate only where it is at least --min-deflate-saving\n"
    "      percent (5) smaller than the piece. --level is the LZMA preset (3), --deflate-level the zlib\n"
    "      level (6). --sign writes package.json.sig, valid for N (30) days, before package.json: see sign.\n"
    "  ashgrove-publish cost OLD_DESCRIPTION NEW_DESCRIPTION [--json] [--top N]\n"
    "      What players download to update from OLD to NEW, and for a fresh install of NEW, with the\n"
    "      N (10) files that cost the most. Where both offer blocks, missing chunks are counted by\n"
    "      blocks, assuming players find the blocks of the old data the update discards.\n"
    "  ashgrove-publish verify OUT_DIR|DESCRIPTION [--key PUBLIC_KEY]...\n"
    "      Checks that every chunk file and block index file the description names is there, whole and\n"
    "      decodes to its content, block by block, and that a signature beside the description\n"
    "      signs it for a package or launcher description at its place and has not expired; with\n"
    "      --key it must be there and made by one of the keys given (else by the key it names).\n"
    "  ashgrove-publish gc OUT_DIR --keep DESCRIPTION... [--dry-run]\n"
    "      Deletes the chunk files below OUT_DIR/chunks that none of the kept descriptions (and not\n"
    "      OUT_DIR/package.json) names.\n"
    "  ashgrove-publish unpack CONTAINER_FILE OUTPUT_FILE\n"
    "      Decodes one chunk container.\n"
    "  ashgrove-publish keygen KEY_FILE\n"
    "      Makes an Ed25519 key pair: the private key in KEY_FILE (readable by its owner only), the\n"
    "      public key printed and written to KEY_FILE.pub. Never replaces a file.\n"
    "  ashgrove-publish sign KEY_FILE FILE --role configuration|package|asset|launcher\n"
    "                   [--root DIR | --name NAME] [--valid-days N]\n"
    "      Writes FILE.sig, the signature of FILE as the document of that role, valid for N (30) days.\n"
    "      It names the document by its path relative to DIR, the folder the configuration document\n"
    "      is published in (default: FILE's own folder for the configuration, else the folder above\n"
    "      FILE's), or by NAME as given.\n"
    "  ashgrove-publish --help | --version (alone)\n"
    "Descriptions are files, published folders or http(s) URLs. Exit status: 0 when all went well,\n"
    "1 on failure or when verify finds a problem, 2 for a wrong command line.\n";

QTextStream& out()
{
  static QTextStream Stream(stdout);
  return Stream;
}

int fail(const QString& Message)
{
  QTextStream(stderr) << "ashgrove-publish: " << Message << "\n";
  return 1;
}

int usageError(const QString& Message)
{
  QTextStream(stderr) << "ashgrove-publish: " << Message << "\n" << Usage;
  return 2;
}

std::optional<int> parseNumber(const QString& Text, int Minimum, int Maximum)
{
  bool Ok = false;
  const int Value = Text.toInt(&Ok);
  if (!Ok || Value < Minimum || Value > Maximum)
    return std::nullopt;
  return Value;
}

constexpr int DefaultValidDays = 30;
constexpr int MaxValidDays = 3650;

// --sign, --role, --root, --name and --valid-days as given.
struct TSigningArguments
{
  QString keyFile;
  std::optional<int> validDays;
  std::optional<shared::EDocumentRole> role;
  QString root;
  QString name;

  bool anyButKey() const { return validDays || role || !root.isEmpty() || !name.isEmpty(); }
};

// Takes one of the options that say how to sign; nothing when Option is
// another, else a message when its value is wrong (empty when it is right).
std::optional<QString> parseSigningOption(const QString& Option, const QString& Value, TSigningArguments& Signing)
{
  if (Option == "--valid-days") {
    Signing.validDays = parseNumber(Value, 1, MaxValidDays);
    return Signing.validDays ? QString() : QString("--valid-days must be a number from 1 to %1").arg(MaxValidDays);
  }
  if (Option == "--role") {
    Signing.role = shared::documentRoleFromWord(Value.toUtf8());
    return Signing.role ? QString() : QString("unknown role %1 (configuration, package, asset or launcher)").arg(Value);
  }
  if (Option == "--root") {
    Signing.root = Value;
    return Signing.name.isEmpty() ? QString() : QString("--root and --name exclude each other");
  }
  if (Option == "--name") {
    Signing.name = Value;
    return Signing.root.isEmpty() ? QString() : QString("--root and --name exclude each other");
  }
  return std::nullopt;
}

// The name a signature gives the document at Path: as given, or its path
// relative to the configuration's folder.
QString signedNameOf(const TSigningArguments& Signing, shared::EDocumentRole Role, const QString& Path)
{
  if (!Signing.name.isEmpty())
    return Signing.name;
  const QFileInfo Document(Path);
  QString Root = Signing.root;
  if (Root.isEmpty())
    Root = Role == shared::EDocumentRole::Configuration ? Document.absolutePath() : Document.absolutePath() + "/..";
  return shared::documentNameBelow(QFileInfo(Root).absoluteFilePath(), Document.absoluteFilePath());
}

// The key and the terms of the signature of the document at Path, or a
// message.
std::optional<QString> loadSigning(const TSigningArguments& Signing, shared::EDocumentRole Role, const QString& Path,
                                   std::optional<shared::TSigningKey>& Key, shared::TSignatureTerms& Terms)
{
  QString Error;
  Key = shared::TSigningKey::readFile(Signing.keyFile, Error);
  if (!Key)
    return Error;
  Terms.document = {Role, signedNameOf(Signing, Role, Path)};
  if (!shared::isDocumentName(Terms.document.name))
    return QString("\"%1\" cannot name %2 in a signature: give --root (the folder the configuration is "
                   "published in) or --name")
        .arg(Terms.document.name, Path);
  Terms.signedAt = QDateTime::currentDateTimeUtc();
  Terms.expires = Terms.signedAt.addDays(Signing.validDays.value_or(DefaultValidDays));
  return std::nullopt;
}

// Reads the options of a publication; a message when they are wrong.
std::optional<QString> parsePublishOptions(const QStringList& Arguments, TPublishOptions& Options,
                                           TSigningArguments& Signing)
{
  for (int Index = 0; Index < Arguments.size(); Index += 2) {
    const QString& Option = Arguments[Index];
    if (Index + 1 >= Arguments.size())
      return QString("the option %1 needs a value").arg(Option);
    const QString& Value = Arguments[Index + 1];
    const auto Number = [&](int Minimum, int Maximum, int& Target) -> std::optional<QString> {
      const auto Parsed = parseNumber(Value, Minimum, Maximum);
      if (!Parsed)
        return QString("%1 must be a number from %2 to %3").arg(Option).arg(Minimum).arg(Maximum);
      Target = *Parsed;
      return std::nullopt;
    };
    std::optional<QString> Problem;
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
      if (!parseCodec(Value, Options.packing.codec))
        Problem = QString("unknown codec %1 (auto, lzma, deflate, lzip or stored)").arg(Value);
    } else if (Option == "--level")
      Problem = Number(0, 9, Options.packing.lzmaPreset);
    else if (Option == "--deflate-level")
      Problem = Number(1, 9, Options.packing.deflateLevel);
    else if (Option == "--min-lzma-saving")
      Problem = Number(0, 100, Options.packing.minimumLzmaSavingPercent);
    else if (Option == "--min-deflate-saving")
      Problem = Number(0, 100, Options.packing.minimumDeflateSavingPercent);
    else if (Option == "--sign")
      Signing.keyFile = Value;
    else if (const auto SigningProblem = parseSigningOption(Option, Value, Signing)) {
      if (!SigningProblem->isEmpty())
        Problem = SigningProblem;
    } else
      Problem = QString("unknown option %1").arg(Option);
    if (Problem)
      return Problem;
  }
  if (Options.inputDirectory.isEmpty() || Options.outputDirectory.isEmpty() || Options.version.isEmpty())
    return QString("--input, --output and --version are required");
  if (Signing.anyButKey() && Signing.keyFile.isEmpty())
    return QString("--valid-days, --role, --root and --name need --sign");
  if (Signing.role && *Signing.role != shared::EDocumentRole::Package && *Signing.role != shared::EDocumentRole::Launcher)
    return QString("a published description is signed as a package or launcher description");
  return std::nullopt;
}

int runPublish(const QStringList& Arguments)
{
  TPublishOptions Options;
  TSigningArguments Signing;
  if (const auto Problem = parsePublishOptions(Arguments, Options, Signing))
    return usageError(*Problem);
  if (!Signing.keyFile.isEmpty()) {
    if (const auto Problem = loadSigning(Signing, Signing.role.value_or(shared::EDocumentRole::Package),
                                         QDir(Options.outputDirectory).filePath("package.json"), Options.signingKey,
                                         Options.signatureTerms))
      return fail(*Problem);
  }
  TProgressLine Line;
  TPublishReport Report;
  QString Error;
  const bool Ok = publishBuild(Options, Report, Error, [&](const TPublishProgress& Progress) {
    Line.show(QString("publishing: %1 of %2 files").arg(Progress.filesRead).arg(Progress.files), Progress.bytesDone,
              Progress.bytes);
  });
  Line.finish();
  if (!Ok)
    return fail(Error);
  out() << QString("published %1 files, %2 bytes in %3 s (%4): %5 bytes in chunk files (%6 stored, %7 Deflate, "
                   "%8 LZMA, %9 lzip; %10 new, %11 already there, %12 repeated pieces); %13 chunks offer blocks "
                   "(%14 bytes of block indexes)\n")
               .arg(Report.files)
               .arg(Report.inputBytes)
               .arg(Line.seconds(), 0, 'f', 1)
               .arg(Line.rate(Report.inputBytes))
               .arg(Report.packedBytes)
               .arg(Report.storedChunks)
               .arg(Report.deflateChunks)
               .arg(Report.lzmaChunks)
               .arg(Report.lzipChunks)
               .arg(Report.chunkFilesWritten)
               .arg(Report.chunkFilesReused)
               .arg(Report.duplicatePieces)
               .arg(Report.blockIndexFiles)
               .arg(Report.blockIndexBytes);
  if (Options.signingKey)
    out() << QString("signed as %1\n").arg(Options.signatureTerms.document.text());
  return 0;
}

int runCost(const QStringList& Arguments)
{
  QStringList Descriptions;
  bool Json = false;
  int Top = 10;
  for (int Index = 0; Index < Arguments.size(); ++Index) {
    if (Arguments[Index] == "--json") {
      Json = true;
    } else if (Arguments[Index] == "--top") {
      const auto Parsed = Index + 1 < Arguments.size() ? parseNumber(Arguments[++Index], 0, 1000000) : std::nullopt;
      if (!Parsed)
        return usageError("--top needs a number");
      Top = *Parsed;
    } else if (Arguments[Index].startsWith("--")) {
      return usageError(QString("unknown option %1").arg(Arguments[Index]));
    } else {
      Descriptions << Arguments[Index];
    }
  }
  if (Descriptions.size() != 2)
    return usageError("cost needs the old and the new description");
  QString Error;
  const auto Old = loadDescription(Descriptions[0], Error);
  const auto New = Old ? loadDescription(Descriptions[1], Error) : std::nullopt;
  if (!New)
    return fail(Error);
  const auto Report =
      computeCost(Old->reader, New->reader, Error, {blockIndexLoader(*Old), blockIndexLoader(*New)});
  if (!Report)
    return fail(QString("%1: %2").arg(New->location, Error));
  if (Json)
    out() << QJsonDocument(costJson(*Report, Top)).toJson(QJsonDocument::Indented);
  else
    out() << costText(*Report, Top);
  return 0;
}

int runVerify(const QStringList& Arguments)
{
  QStringList Locations;
  std::vector<shared::TReleaseKey> Keys;
  for (int Index = 0; Index < Arguments.size(); ++Index) {
    if (Arguments[Index] == "--key") {
      const auto Key = Index + 1 < Arguments.size() ? shared::TReleaseKey::fromText(Arguments[++Index]) : std::nullopt;
      if (!Key)
        return usageError("--key needs a public key as keygen prints it");
      Keys.push_back(*Key);
    } else if (Arguments[Index].startsWith("--")) {
      return usageError(QString("unknown option %1").arg(Arguments[Index]));
    } else {
      Locations << Arguments[Index];
    }
  }
  if (Locations.size() != 1)
    return usageError("verify needs one published folder, description or URL");
  TProgressLine Line;
  QString Error;
  const auto Report = verifyPublication(Locations[0], Keys, Error, [&](const TVerifyProgress& Progress) {
    Line.show(QString("verifying: %1 of %2 chunk files").arg(Progress.chunkFilesDone).arg(Progress.chunkFiles),
              Progress.bytesDone, Progress.bytes);
  });
  Line.finish();
  if (!Report)
    return fail(Error);
  out() << verifyText(*Report);
  return Report->problems.empty() ? 0 : 1;
}

int runCollect(const QStringList& Arguments)
{
  TCollectOptions Options;
  bool InKeepList = false;
  for (const QString& Argument : Arguments) {
    if (Argument == "--dry-run") {
      Options.dryRun = true;
    } else if (Argument == "--keep") {
      InKeepList = true;
    } else if (Argument.startsWith("--")) {
      return usageError(QString("unknown option %1").arg(Argument));
    } else if (InKeepList) {
      Options.keep << Argument;
    } else if (Options.folder.isEmpty()) {
      Options.folder = Argument;
    } else {
      return usageError(QString("gc takes one folder; put descriptions after --keep (%1)").arg(Argument));
    }
  }
  if (Options.folder.isEmpty() || Options.keep.isEmpty())
    return usageError("gc needs a folder and at least one description after --keep");
  QString Error;
  const auto Report = collectChunkFiles(Options, Error);
  if (!Report)
    return fail(Error);
  out() << collectText(*Report, Options.dryRun);
  return Report->failures.isEmpty() ? 0 : 1;
}

int runUnpack(const QStringList& Arguments)
{
  if (Arguments.size() != 2)
    return usageError("unpack needs a container file and an output file");
  QString Error;
  if (!unpackContainerFile(Arguments[0], Arguments[1], Error))
    return fail(Error);
  return 0;
}

int runKeygen(const QStringList& Arguments)
{
  if (Arguments.size() != 1 || Arguments[0].startsWith("--"))
    return usageError("keygen needs the file for the private key");
  QString Error;
  const auto Key = shared::TSigningKey::generate(Error);
  if (!Key || !Key->writeNewKeyFiles(Arguments[0], Error))
    return fail(Error);
  out() << Key->publicKey().text() << "\n";
  return 0;
}

// Reads the file to sign, within the size of the largest document the
// launcher reads; a message when it cannot.
std::optional<QString> readDocumentToSign(const QString& Path, QByteArray& Document)
{
  QFile File(Path);
  if (File.open(QIODevice::ReadOnly))
    Document = File.read(shared::MaxDocumentBytes + 1);
  if (File.error() != QFileDevice::NoError)
    return QString("cannot read %1: %2").arg(Path, File.errorString());
  if (Document.size() > shared::MaxDocumentBytes)
    return QString("%1: larger than the %2 bytes the launcher accepts").arg(Path).arg(shared::MaxDocumentBytes);
  return std::nullopt;
}

int runSign(const QStringList& Arguments)
{
  TSigningArguments Signing;
  QStringList Files;
  for (int Index = 0; Index < Arguments.size(); ++Index) {
    if (Arguments[Index].startsWith("--")) {
      if (Index + 1 >= Arguments.size())
        return usageError(QString("%1 needs a value").arg(Arguments[Index]));
      const auto Problem = parseSigningOption(Arguments[Index], Arguments[Index + 1], Signing);
      if (!Problem)
        return usageError(QString("unknown option %1").arg(Arguments[Index]));
      if (!Problem->isEmpty())
        return usageError(*Problem);
      ++Index;
    } else {
      Files << Arguments[Index];
    }
  }
  if (Files.size() != 2)
    return usageError("sign needs the private key file and the file to sign");
  if (!Signing.role)
    return usageError("sign needs --role configuration, package, asset or launcher");
  Signing.keyFile = Files[0];
  std::optional<shared::TSigningKey> Key;
  shared::TSignatureTerms Terms;
  if (const auto Problem = loadSigning(Signing, *Signing.role, Files[1], Key, Terms))
    return fail(*Problem);
  QByteArray Document;
  if (const auto Problem = readDocumentToSign(Files[1], Document))
    return fail(*Problem);
  QString Error;
  if (!shared::writeSignatureFile(Files[1], Document, *Key, Terms, Error))
    return fail(Error);
  out() << QString("%1%2: signed as %3\n").arg(Files[1], shared::SignatureFileSuffix, Terms.document.text());
  return 0;
}

} // namespace

int main(int argc, char* argv[])
{
  QCoreApplication Application(argc, argv);
  const QStringList Arguments = Application.arguments().mid(1);
  if (Arguments.isEmpty())
    return usageError("nothing to do");
  const QString& First = Arguments.first();
  if (First == "--help" || First == "-h") {
    out() << Usage;
    return 0;
  }
  if (Arguments == QStringList{"--version"}) {
    out() << "ashgrove-publish " << ASHGROVE_PUBLISHER_VERSION << "\n";
    return 0;
  }
  const QStringList Rest = Arguments.mid(1);
  if (First == "cost")
    return runCost(Rest);
  if (First == "verify")
    return runVerify(Rest);
  if (First == "gc")
    return runCollect(Rest);
  if (First == "unpack")
    return runUnpack(Rest);
  if (First == "keygen")
    return runKeygen(Rest);
  if (First == "sign")
    return runSign(Rest);
  return runPublish(Arguments);
}
