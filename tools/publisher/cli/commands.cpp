#include "commands.h"

namespace orvale::publisher::cli {

const char* const PublisherProgram = "ashgrove-publish";

namespace {

TOptionSpec valueOption(const QString& Name, const QString& ValueName, const QString& Help)
{
  TOptionSpec Option;
  Option.name = Name;
  Option.value = EOptionValue::One;
  Option.valueName = ValueName;
  Option.help = Help;
  return Option;
}

TOptionSpec switchOption(const QString& Name, const QString& Help, const QString& ShortName = QString())
{
  TOptionSpec Option;
  Option.name = Name;
  Option.shortName = ShortName;
  Option.help = Help;
  return Option;
}

TOptionSpec required(TOptionSpec Option)
{
  Option.required = true;
  return Option;
}

TOptionSpec choice(TOptionSpec Option, const QStringList& Choices)
{
  Option.choices = Choices;
  return Option;
}

TOptionSpec repeatable(TOptionSpec Option)
{
  Option.repeatable = true;
  return Option;
}

TOptionSpec jsonOption(const QString& What)
{
  return switchOption("json", QString("Print %1 as one JSON object instead of text.").arg(What));
}

TOptionSpec quietOption(const QString& What)
{
  return switchOption("quiet", QString("Print %1; no progress line.").arg(What), "q");
}

TOptionSpec validDaysOption()
{
  return valueOption("valid-days", "N", "Days the signature is valid (1 to 3650; default 30).");
}

// How a signature names the document: its path relative to the folder the
// configuration document is published in, or a name as given.
std::vector<TOptionSpec> signedNameOptions()
{
  return {valueOption("root", "DIR",
                      "The folder the configuration document is published in; the signature names the document by "
                      "its path relative to it (default: the document's own folder for the configuration, else the "
                      "folder above the document's)."),
          valueOption("name", "NAME", "The name the signature gives the document, instead of its path below --root.")};
}

TCommandSpec publishCommand()
{
  TCommandSpec Command;
  Command.title = "publishing";
  Command.usage = "--input BUILD_DIR --output OUT_DIR --version TEXT [options]";
  Command.paragraphs
      << "Publishes the build into OUT_DIR: package.json, its compressed copy package.json.zst and the chunk files it "
         "names below chunks/ and packs/ (and the dictionary of small pieces below dictionaries/). Files up to 4 MiB "
         "are published whole, larger ones cut by their content, so that updates reuse unchanged regions. Chunk "
         "files already there from an earlier publication are checked and kept, and so are the places of small "
         "pieces in packs that the description in OUT_DIR names. The description is written last."
      << "Refused: an empty build (unless --allow-empty), a name that is not valid UTF-8, a symbolic link, an output "
         "folder inside the build folder, an --executable that is not a file of the build, a description larger "
         "than launchers accept (262144 files and chunks, 128 MiB).";
  Command.options = {
      required(valueOption("input", "BUILD_DIR", "The build folder.")),
      required(valueOption("output", "OUT_DIR", "The folder to publish into (made when missing).")),
      required(valueOption("version", "TEXT", "The version of the build, as players see it.")),
      valueOption("executable", "RELATIVE_PATH", "The game client, relative to the build folder."),
      repeatable(valueOption("parameter", "ARG", "An argument of the game client (one per option, in order).")),
      choice(valueOption("codec", "CODEC",
                         "How pieces are packed: auto (the default: stored, zstd or LZMA by what the saving is "
                         "worth), zstd, lzma, deflate, lzip or stored."),
             {"auto", "zstd", "lzma", "deflate", "lzip", "stored"}),
      valueOption("codecs", "compatible|all|LIST",
                  "The codecs the publication may use, as a comma-separated list (stored is always allowed), all "
                  "(the default) or compatible: stored, deflate, lzma and lzip, the formats every launcher reads. "
                  "Publish a launcher's own package with compatible; auto then uses Deflate where it would use zstd, "
                  "and no packs are written."),
      valueOption("pack-below", "BYTES",
                  "Pieces of fewer bytes (unpacked) go into pack files below packs/, which launchers fetch many "
                  "pieces of with one request, rather than into chunk files of their own (65536); 0 writes no "
                  "packs. Not with --codecs compatible: launchers from before packs cannot install them."),
      valueOption("pack-size", "BYTES", "A pack is closed before it would pass this size (1048576; at most 16777216)."),
      valueOption("dictionary-size", "BYTES",
                  "The most bytes of the Zstandard dictionary that pieces in packs are packed with where zstd is "
                  "used (32768; at most 1048576); 0 uses none. It is trained on the build's small files, or the one "
                  "the description in OUT_DIR lists is kept, and written below dictionaries/. None is used with "
                  "--codecs compatible, --pack-below 0 or a --codec other than auto and zstd."),
      valueOption("level", "0-9", "The LZMA and lzip preset (3)."),
      valueOption("deflate-level", "1-9", "The zlib level of Deflate (6)."),
      valueOption("zstd-level", "1-19", "The Zstandard level (3)."),
      valueOption("description-zstd-level", "0-19",
                  "The Zstandard level of package.json.zst, the compressed copy of the description that launchers "
                  "prefer where the configuration names it (9); 0 writes none."),
      valueOption("min-lzma-saving", "PERCENT", "With auto: LZMA only where it is this much smaller than zstd (10)."),
      valueOption("min-deflate-saving", "PERCENT",
                  "With auto: zstd (or Deflate) only where it is this much smaller than the piece (5)."),
      choice(valueOption("generation", "GENERATION", "The client generation: first or second."), {"first", "second"}),
      choice(valueOption("variant", "VARIANT", "The build variant: regular, preview, beta or test."),
             {"regular", "preview", "beta", "test"}),
      valueOption("sign", "KEY_FILE", "Sign the description: package.json.sig is written before package.json."),
      choice(valueOption("role", "ROLE", "With --sign: sign it as a package (the default) or a launcher description."),
             {"package", "launcher"}),
      validDaysOption(),
      switchOption("allow-empty", "Publish a build without files (players' installations would be emptied)."),
      jsonOption("the summary"),
      quietOption("nothing but errors"),
  };
  for (const TOptionSpec& Option : signedNameOptions())
    Command.options.push_back(Option);
  return Command;
}

TCommandSpec costCommand()
{
  TCommandSpec Command;
  Command.name = "cost";
  Command.title = "what an update costs";
  Command.usage = "cost OLD_DESCRIPTION NEW_DESCRIPTION [--json] [--top N] [--chunks DIR]";
  Command.paragraphs << "What players download to update from OLD to NEW, and for a fresh install of NEW, with the "
                        "files that cost the most. Where both offer blocks, missing chunks are counted by blocks, "
                        "assuming players find the blocks of the old data the update discards. The block indexes of "
                        "an old description kept outside its published folder are looked for beside it, then beside "
                        "NEW, then in --chunks DIR; cost says when it cannot find them.";
  Command.minimumArguments = Command.maximumArguments = 2;
  Command.argumentsText = "the old and the new description";
  Command.options = {jsonOption("the figures"), valueOption("top", "N", "Show the N files that cost the most (10)."),
                     valueOption("chunks", "DIR",
                                 "The published folder (or URL) that holds the old description's chunk files.")};
  return Command;
}

TCommandSpec verifyCommand()
{
  TCommandSpec Command;
  Command.name = "verify";
  Command.title = "checking a publication";
  Command.usage = "verify OUT_DIR|DESCRIPTION [--key PUBLIC_KEY]... [--json] [--quiet]";
  Command.paragraphs << "Checks a published folder, description file or http(s) URL as players receive it: every "
                        "chunk file, pack and block index file is there, whole, and decodes to its content, block by "
                        "block and piece by piece; "
                        "a signature beside the description signs it as a package or launcher description at its place and has not "
                        "expired; with --key it must be there and made by one of the keys given (else by the key it "
                        "names). One line per problem. Exit "
                        "status 1 when there is a problem, 2 when the description cannot be read.";
  Command.minimumArguments = Command.maximumArguments = 1;
  Command.argumentsText = "one published folder, description or URL";
  Command.options = {repeatable(valueOption("key", "PUBLIC_KEY", "A release key, as keygen prints it.")),
                     jsonOption("the result"), quietOption("only the problems")};
  return Command;
}

TCommandSpec collectCommand()
{
  TCommandSpec Command;
  Command.name = "gc";
  Command.title = "collecting old chunk files";
  Command.usage = "gc OUT_DIR --keep DESCRIPTION... [--dry-run] [--json] [--quiet]";
  Command.paragraphs << "Deletes the chunk files and block index files below OUT_DIR/chunks and the pack files below "
                        "OUT_DIR/packs that none of the kept descriptions names (OUT_DIR/package.json is always "
                        "kept; a pack stays whole while any kept description names a piece in it). Nothing is deleted when a kept "
                        "description cannot be read.";
  Command.minimumArguments = Command.maximumArguments = 1;
  Command.argumentsText = "one published folder";
  TOptionSpec Keep = repeatable(required(valueOption("keep", "DESCRIPTION", "The descriptions whose files stay.")));
  Keep.value = EOptionValue::List;
  Command.options = {Keep, switchOption("dry-run", "Print what would be deleted; delete nothing."),
                     jsonOption("the result"), quietOption("only what cannot be deleted")};
  return Command;
}

TCommandSpec unpackCommand()
{
  TCommandSpec Command;
  Command.name = "unpack";
  Command.title = "decoding a chunk file";
  Command.usage = "unpack CONTAINER_FILE OUTPUT_FILE";
  Command.paragraphs << "Decodes one chunk container of any format into OUTPUT_FILE.";
  Command.minimumArguments = Command.maximumArguments = 2;
  Command.argumentsText = "a container file and an output file";
  return Command;
}

TCommandSpec keygenCommand()
{
  TCommandSpec Command;
  Command.name = "keygen";
  Command.title = "making a release key";
  Command.usage = "keygen KEY_FILE";
  Command.paragraphs << "Makes an Ed25519 key pair: the private key in KEY_FILE (readable by its owner only), the "
                        "public key printed and written to KEY_FILE.pub. Never replaces a file.";
  Command.minimumArguments = Command.maximumArguments = 1;
  Command.argumentsText = "the file for the private key";
  return Command;
}

TCommandSpec signCommand()
{
  TCommandSpec Command;
  Command.name = "sign";
  Command.title = "signing a document";
  Command.usage = "sign KEY_FILE FILE --role ROLE [--root DIR | --name NAME] [--valid-days N]";
  Command.paragraphs << "Writes FILE.sig, the signature of FILE as the document of that role (the configuration "
                        "document, a package, asset or launcher description), named by its place.";
  Command.minimumArguments = Command.maximumArguments = 2;
  Command.argumentsText = "the private key file and the file to sign";
  Command.options = {required(choice(valueOption("role", "ROLE", "What FILE is: configuration, package, asset or "
                                                                  "launcher."),
                                     {"configuration", "package", "asset", "launcher"})),
                     validDaysOption()};
  for (const TOptionSpec& Option : signedNameOptions())
    Command.options.push_back(Option);
  return Command;
}

} // namespace

const std::vector<TCommandSpec>& publisherCommands()
{
  static const std::vector<TCommandSpec> Commands{publishCommand(), costCommand(),   verifyCommand(), collectCommand(),
                                                  unpackCommand(),  keygenCommand(), signCommand()};
  return Commands;
}

shared::THelpPage publisherHelpPage()
{
  const std::vector<shared::THelpSection> Closing{
      {"Descriptions", {"Descriptions are files, published folders or http(s) URLs."}, {}, false},
      {"Exit status",
       {"0 when all went well; 1 on a failure, or when verify finds a problem; 2 for a wrong command line, or when "
        "verify cannot read the description."},
       {},
       false}};
  return programHelpPage(PublisherProgram, "publishes game builds for the Ashgrove Online launcher",
                         {"Turns a game build folder into what the launcher downloads, and inspects what it made."},
                         publisherCommands(), Closing);
}

} // namespace orvale::publisher::cli
