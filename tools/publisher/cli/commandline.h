#pragma once

#include "shared/helppage.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

// The command line of a program with commands (as "ashgrove-publish cost
// OLD NEW --json"): what each command takes, parsing against that, and the
// help made from the same description.
namespace orvale::publisher::cli {

enum class EOptionValue
{
  None,  // a switch
  One,   // --name VALUE or --name=VALUE
  List,  // --name VALUE... : the arguments up to the next option
};

struct TOptionSpec
{
  QString name;       // the long name, without "--"
  QString shortName;  // one letter, or empty
  EOptionValue value = EOptionValue::None;
  QString valueName;  // "DIR"
  QString help;
  QStringList choices;      // the values allowed, when there is a fixed set
  bool repeatable = false;  // may be given more than once
  bool required = false;
};

struct TCommandSpec
{
  QString name;   // empty for the command given by options alone (publishing)
  QString title;  // what it is, in a few words: "publishing", "what an update costs"
  QString usage;  // the command line without the program's name
  QStringList paragraphs;
  int minimumArguments = 0;
  int maximumArguments = 0;
  QString argumentsText;  // what the arguments are, for messages: "the old and the new description"
  std::vector<TOptionSpec> options;
};

// A command line as parsed: the command, its arguments and the options given.
class TCommandLine
{
public:
  const TCommandSpec* command = nullptr;
  QStringList arguments;

  bool isSet(const QString& Name) const { return m_Values.contains(Name); }
  // The value of an option given once; empty when it is not given.
  QString value(const QString& Name) const;
  QStringList values(const QString& Name) const { return m_Values.value(Name); }
  void add(const QString& Name, const QStringList& Values) { m_Values[Name] += Values; }

private:
  QHash<QString, QStringList> m_Values;  // a switch has no values but is there
};

struct TParseOutcome
{
  enum class EKind
  {
    Run,
    Help,     // for the command, or the whole program when it is null
    Version,
    Error,    // a wrong command line
  };
  EKind kind = EKind::Error;
  TCommandLine line;
  const TCommandSpec* command = nullptr;  // for Help and Error
  QString error;
};

// Commands: the one without a name (if any) is taken when the first
// argument is an option. "--help" (or "-h") anywhere asks for the help of the
// command, "--help" or "help" first for that of the program, "help COMMAND"
// for that of COMMAND; "--version" alone for the version.
TParseOutcome parseCommandLine(const std::vector<TCommandSpec>& Commands, const QStringList& Arguments);

// The candidate closest to Typed (a few letters off, or Typed its start),
// or nothing.
QString closestMatch(const QString& Typed, const QStringList& Candidates);

// "--input DIR" and the like, as usage and help show them.
shared::THelpOption helpOption(const TOptionSpec& Option);
// The help of one command, and of the whole program.
shared::THelpPage commandHelpPage(const QString& Program, const TCommandSpec& Command);
shared::THelpPage programHelpPage(const QString& Program, const QString& Summary, const QStringList& Paragraphs,
                                  const std::vector<TCommandSpec>& Commands,
                                  const std::vector<shared::THelpSection>& Closing);
// What a wrong command line prints: the message, the command's usage and
// where the help is.
QString usageErrorText(const QString& Program, const TParseOutcome& Outcome);

} // namespace orvale::publisher::cli
