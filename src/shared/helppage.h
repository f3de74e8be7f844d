#pragma once

#include <QString>
#include <QStringList>

#include <vector>

// The help of a command-line program, written once and shown two ways: as
// the text of --help and as its manual page, so that the two cannot differ.
namespace shared {

struct THelpOption
{
  QStringList names;  // "-q", "--quiet"
  QString valueName;  // as shown after the names ("DIR", "<patchexecutable>"); empty for a switch
  QString text;       // one paragraph
};

struct THelpSection
{
  QString title;              // "Options", "cost OLD_DESCRIPTION NEW_DESCRIPTION"
  QStringList paragraphs;     // before the options
  std::vector<THelpOption> options;
  bool subsection = false;    // below the section before it (a command of a program)
};

struct THelpPage
{
  QString program;     // "ashgrove-publish"
  QString summary;     // one line: what the program is
  QStringList usage;   // the forms of the command line, each without the program's name
  QStringList paragraphs;
  std::vector<THelpSection> sections;
};

// The names of an option as --help shows them: "-q, --quiet", "--input DIR".
QString optionNamesText(const THelpOption& Option);

// Plain text, lines wrapped at 79 columns: "usage: PROGRAM ..." lines, the
// paragraphs, then each section with its options.
QString helpText(const THelpPage& Page);

// The same as a manual page in roff (man macros) of section 1.
QString manPage(const THelpPage& Page, const QString& Version);

} // namespace shared
