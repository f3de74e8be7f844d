// ashgrove-publish: publishes a game build for the launcher, and the tools
// around a publication: what an update costs, whether an upload is whole,
// which chunk files old versions left behind, decoding one container, and
// the release keys and signatures.

#include "chunkcollection.h"
#include "chunkfile.h"
#include "commands.h"
#include "cost.h"
#include "descriptionsource.h"
#include "progressline.h"
#include "publisher.h"
#include "verify.h"

#include "shared/downloadpool.h"
#include "shared/heap.h"
#include "shared/releasesignature.h"
#include "shared/zstdframes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

#include <optional>
#include <tuple>

using namespace orvale::publisher;

namespace {

#ifndef ASHGROVE_PUBLISHER_VERSION
#define ASHGROVE_PUBLISHER_VERSION "0.0.0"
#endif

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

// A wrong command line found after parsing: the message, the command's
// usage and where its help is.
int usageError(const cli::TCommandSpec& Command, const QString& Message)
{
  cli::TParseOutcome Outcome;
  Outcome.command = &Command;
  Outcome.error = Message;
  QTextStream(stderr) << cli::usageErrorText(cli::PublisherProgram, Outcome);
  return 2;
}

void printJson(const QJsonObject& Object)
{
  out() << QJsonDocument(Object).toJson(QJsonDocument::Indented);
}

std::optional<int> parseNumber(const QString& Text, int Minimum, int Maximum)
{
  bool Ok = false;
  const int Value = Text.toInt(&Ok);
  if (!Ok || Value < Minimum || Value > Maximum)
    return std::nullopt;
  return Value;
}

// Reads a number option given in Line into Target; a message when it is not
// a number from Minimum to Maximum.
std::optional<QString> takeNumber(const cli::TCommandLine& Line, const QString& Name, int Minimum, int Maximum,
                                  int& Target)
{
  if (!Line.isSet(Name))
    return std::nullopt;
  const auto Parsed = parseNumber(Line.value(Name), Minimum, Maximum);
  if (!Parsed)
    return QString("--%1 must be a number from %2 to %3").arg(Name).arg(Minimum).arg(Maximum);
  Target = *Parsed;
  return std::nullopt;
}

constexpr int DefaultValidDays = 30;
constexpr int MaxValidDays = 3650;

// --sign (or sign's key file), --role, --root, --name and --valid-days as
// given.
struct TSigningArguments
{
  QString keyFile;
  int validDays = DefaultValidDays;
  std::optional<shared::EDocumentRole> role;
  QString root;
  QString name;
};

// The signing options of Line; a message when they are wrong.
std::optional<QString> signingArguments(const cli::TCommandLine& Line, TSigningArguments& Signing)
{
  if (const auto Problem = takeNumber(Line, "valid-days", 1, MaxValidDays, Signing.validDays))
    return Problem;
  if (Line.isSet("role"))
    Signing.role = shared::documentRoleFromWord(Line.value("role").toUtf8());
  Signing.root = Line.value("root");
  Signing.name = Line.value("name");
  if (Line.isSet("root") && Line.isSet("name"))
    return QString("--root and --name exclude each other");
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
  Terms.expires = Terms.signedAt.addDays(Signing.validDays);
  return std::nullopt;
}

// --pack-below and --pack-size. A publication for every launcher
// (--codecs compatible) writes no packs: launchers from before them cannot
// install pieces in packs.
std::optional<QString> packOptions(const cli::TCommandLine& Line, TPublishOptions& Options)
{
  constexpr int MaxPackBytes = int(shared::kMaxPackBytes);
  int PackBelow = int(Options.packBelow);
  int PackSize = int(Options.packSize);
  if (const auto Problem = takeNumber(Line, "pack-below", 0, MaxPackBytes, PackBelow))
    return Problem;
  if (const auto Problem = takeNumber(Line, "pack-size", 1, MaxPackBytes, PackSize))
    return Problem;
  if (Line.value("codecs") == "compatible") {
    if (Line.isSet("pack-below") && PackBelow > 0)
      return QString("--codecs compatible writes no packs (launchers from before them cannot install them): "
                     "leave out --pack-below, or give --pack-below 0");
    PackBelow = 0;
  }
  Options.packBelow = std::uint64_t(PackBelow);
  Options.packSize = std::uint64_t(PackSize);
  return std::nullopt;
}

// The options of a publication; a message when they are wrong.
std::optional<QString> publishOptions(const cli::TCommandLine& Line, TPublishOptions& Options,
                                      TSigningArguments& Signing)
{
  Options.inputDirectory = Line.value("input");
  Options.outputDirectory = Line.value("output");
  Options.version = Line.value("version");
  Options.executable = Line.value("executable");
  Options.parameters = Line.values("parameter");
  Options.generation = Line.value("generation");
  Options.variant = Line.value("variant");
  Options.allowEmpty = Line.isSet("allow-empty");
  if (Line.isSet("codec"))
    parseCodec(Line.value("codec"), Options.packing.codec);
  if (Line.isSet("codecs") && !parseCodecSet(Line.value("codecs"), Options.packing.codecs))
    return QString("--codecs takes compatible, all or a list of zstd, lzma, deflate, lzip and stored (%1)")
        .arg(Line.value("codecs"));
  if (!Options.packing.codecs.contains(Options.packing.codec))
    return QString("--codec %1 is not among --codecs").arg(codecName(Options.packing.codec));
  for (const auto& [Name, Minimum, Maximum, Target] :
       {std::tuple<QString, int, int, int*>{"level", 0, 9, &Options.packing.lzmaPreset},
        {"deflate-level", 1, 9, &Options.packing.deflateLevel},
        {"zstd-level", 1, 19, &Options.packing.zstdLevel},
        {"description-zstd-level", 0, 19, &Options.descriptionZstdLevel},
        {"min-lzma-saving", 0, 100, &Options.packing.minimumLzmaSavingPercent},
        {"min-deflate-saving", 0, 100, &Options.packing.minimumDeflateSavingPercent}}) {
    if (const auto Problem = takeNumber(Line, Name, Minimum, Maximum, *Target))
      return Problem;
  }
  if (const auto Problem = packOptions(Line, Options))
    return Problem;
  int DictionarySize = int(Options.dictionarySize);
  if (const auto Problem =
          takeNumber(Line, "dictionary-size", 0, int(shared::TZstdDictionary::kMaxBytes), DictionarySize))
    return Problem;
  Options.dictionarySize = std::uint64_t(DictionarySize);
  if (Options.version.trimmed().isEmpty())
    return QString("--version needs a text");
  if (const auto Problem = signingArguments(Line, Signing))
    return Problem;
  Signing.keyFile = Line.value("sign");
  const bool AnyButKey = Line.isSet("valid-days") || Line.isSet("role") || Line.isSet("root") || Line.isSet("name");
  if (AnyButKey && Signing.keyFile.isEmpty())
    return QString("--valid-days, --role, --root and --name need --sign");
  return std::nullopt;
}

int runPublish(const cli::TCommandLine& Line)
{
  TPublishOptions Options;
  TSigningArguments Signing;
  if (const auto Problem = publishOptions(Line, Options, Signing))
    return usageError(*Line.command, *Problem);
  if (!Signing.keyFile.isEmpty()) {
    if (const auto Problem = loadSigning(Signing, Signing.role.value_or(shared::EDocumentRole::Package),
                                         QDir(Options.outputDirectory).filePath("package.json"), Options.signingKey,
                                         Options.signatureTerms))
      return fail(*Problem);
  }
  const bool Quiet = Line.isSet("quiet");
  TProgressLine Progress(!Quiet);
  TPublishReport Report;
  QString Error;
  const bool Ok = publishBuild(Options, Report, Error, [&](const TPublishProgress& State) {
    Progress.show(QString("publishing: %1 of %2 files").arg(State.filesRead).arg(State.files), State.bytesDone,
                  State.bytes);
  });
  Progress.finish();
  if (!Ok)
    return fail(Error);
  if (Line.isSet("json"))
    printJson(publishJson(Report, Progress.seconds()));
  else if (!Quiet)
    out() << publishText(Report, Progress.seconds(), Progress.rate(Report.inputBytes));
  if (Options.signingKey && !Line.isSet("json") && !Quiet)
    out() << QString("signed as %1\n").arg(Options.signatureTerms.document.text());
  return 0;
}

// Where the block indexes of the two descriptions may lie: a description
// kept outside its published folder ("releases/1.0.json") has no chunk
// files beside it, while the published folder of the other one holds them
// until they are collected, and --chunks names one more.
QStringList chunkPlaces(const TLoadedDescription& Old, const TLoadedDescription& New, const QString& ChunkFolder)
{
  const auto Place = [](const TLoadedDescription& Description) {
    return Description.folder.isEmpty() ? shared::urlWithoutFileName(QUrl(Description.location)).toString()
                                        : Description.folder;
  };
  QStringList Places{Place(Old), Place(New)};
  if (!ChunkFolder.isEmpty())
    Places << (isWebUrl(ChunkFolder) ? ChunkFolder : QFileInfo(ChunkFolder).absoluteFilePath());
  Places.removeDuplicates();
  return Places;
}

int runCost(const cli::TCommandLine& Line)
{
  int Top = 10;
  if (const auto Problem = takeNumber(Line, "top", 0, 1000000, Top))
    return usageError(*Line.command, *Problem);
  QString Error;
  const auto Old = loadDescription(Line.arguments[0], Error);
  const auto New = Old ? loadDescription(Line.arguments[1], Error) : std::nullopt;
  if (!New)
    return fail(Error);
  const QStringList Places = chunkPlaces(*Old, *New, Line.value("chunks"));
  const TBlockIndexSources Sources{blockIndexLoader(*Old, Places), blockIndexLoader(*New, Places)};
  auto Report = computeCost(Old->reader, New->reader, Error, Sources);
  if (!Report)
    return fail(QString("%1: %2").arg(New->location, Error));
  Report->indexPlaces = Places;
  if (Line.isSet("json"))
    printJson(costJson(*Report, Top));
  else
    out() << costText(*Report, Top);
  return 0;
}

int runVerify(const cli::TCommandLine& Line)
{
  std::vector<shared::TReleaseKey> Keys;
  for (const QString& Text : Line.values("key")) {
    const auto Key = shared::TReleaseKey::fromText(Text);
    if (!Key)
      return usageError(*Line.command, QString("--key needs a public key as keygen prints it, not \"%1\"").arg(Text));
    Keys.push_back(*Key);
  }
  const bool Quiet = Line.isSet("quiet");
  TProgressLine Progress(!Quiet);
  QString Error;
  const auto Report = verifyPublication(Line.arguments[0], Keys, Error, [&](const TVerifyProgress& State) {
    Progress.show(QString("verifying: %1 of %2 chunk files").arg(State.chunkFilesDone).arg(State.chunkFiles),
                  State.bytesDone, State.bytes);
  });
  Progress.finish();
  // The description itself could not be read: nothing was checked.
  if (!Report) {
    fail(Error);
    return 2;
  }
  if (Line.isSet("json"))
    printJson(verifyJson(*Report));
  else if (!Quiet || !Report->problems.empty())
    out() << verifyText(*Report);
  return Report->problems.empty() ? 0 : 1;
}

int runCollect(const cli::TCommandLine& Line)
{
  TCollectOptions Options;
  Options.folder = Line.arguments[0];
  Options.keep = Line.values("keep");
  Options.dryRun = Line.isSet("dry-run");
  QString Error;
  const auto Report = collectChunkFiles(Options, Error);
  if (!Report)
    return fail(Error);
  if (Line.isSet("json")) {
    printJson(collectJson(*Report, Options.dryRun));
  } else if (!Line.isSet("quiet")) {
    out() << collectText(*Report, Options.dryRun);
  } else {
    for (const QString& Failure : Report->failures)
      QTextStream(stderr) << "ashgrove-publish: cannot delete " << Failure << "\n";
  }
  return Report->failures.isEmpty() ? 0 : 1;
}

int runUnpack(const cli::TCommandLine& Line)
{
  QString Error;
  if (!unpackContainerFile(Line.arguments[0], Line.arguments[1], Error))
    return fail(Error);
  return 0;
}

int runKeygen(const cli::TCommandLine& Line)
{
  QString Error;
  const auto Key = shared::TSigningKey::generate(Error);
  if (!Key || !Key->writeNewKeyFiles(Line.arguments[0], Error))
    return fail(Error);
  out() << Key->publicKey().text() << "\n";
  return 0;
}

// Reads the file to sign, within the size of the largest document of its
// role the launcher reads; a message when it cannot.
std::optional<QString> readDocumentToSign(const QString& Path, shared::EDocumentRole Role, QByteArray& Document)
{
  const qint64 Limit =
      Role == shared::EDocumentRole::Configuration ? shared::MaxDocumentBytes : shared::MaxDescriptionBytes;
  QFile File(Path);
  if (File.open(QIODevice::ReadOnly))
    Document = File.read(Limit + 1);
  if (File.error() != QFileDevice::NoError)
    return QString("cannot read %1: %2").arg(Path, File.errorString());
  if (Document.size() > Limit)
    return QString("%1: larger than the %2 bytes the launcher accepts").arg(Path).arg(Limit);
  return std::nullopt;
}

int runSign(const cli::TCommandLine& Line)
{
  TSigningArguments Signing;
  if (const auto Problem = signingArguments(Line, Signing))
    return usageError(*Line.command, *Problem);
  Signing.keyFile = Line.arguments[0];
  std::optional<shared::TSigningKey> Key;
  shared::TSignatureTerms Terms;
  if (const auto Problem = loadSigning(Signing, *Signing.role, Line.arguments[1], Key, Terms))
    return fail(*Problem);
  QByteArray Document;
  if (const auto Problem = readDocumentToSign(Line.arguments[1], *Signing.role, Document))
    return fail(*Problem);
  QString Error;
  if (!shared::writeSignatureFile(Line.arguments[1], Document, *Key, Terms, Error))
    return fail(Error);
  out() << QString("%1%2: signed as %3\n").arg(Line.arguments[1], shared::SignatureFileSuffix, Terms.document.text());
  return 0;
}

int run(const cli::TCommandLine& Line)
{
  const QString& Name = Line.command->name;
  if (Name == "cost")
    return runCost(Line);
  if (Name == "verify")
    return runVerify(Line);
  if (Name == "gc")
    return runCollect(Line);
  if (Name == "unpack")
    return runUnpack(Line);
  if (Name == "keygen")
    return runKeygen(Line);
  if (Name == "sign")
    return runSign(Line);
  return runPublish(Line);
}

} // namespace

int main(int argc, char* argv[])
{
  shared::keepFreedMemoryForReuse();
  QCoreApplication Application(argc, argv);
  const cli::TParseOutcome Outcome = cli::parseCommandLine(cli::publisherCommands(), Application.arguments().mid(1));
  switch (Outcome.kind) {
  case cli::TParseOutcome::EKind::Help:
    out() << shared::helpText(Outcome.command ? cli::commandHelpPage(cli::PublisherProgram, *Outcome.command)
                                              : cli::publisherHelpPage());
    return 0;
  case cli::TParseOutcome::EKind::Version:
    out() << "ashgrove-publish " << ASHGROVE_PUBLISHER_VERSION << "\n";
    return 0;
  case cli::TParseOutcome::EKind::Error:
    QTextStream(stderr) << cli::usageErrorText(cli::PublisherProgram, Outcome);
    return 2;
  case cli::TParseOutcome::EKind::Run:
    break;
  }
  return run(Outcome.line);
}
