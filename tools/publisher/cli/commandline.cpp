#include "commandline.h"

#include <algorithm>

namespace orvale::publisher::cli {

namespace {

int editDistance(const QString& Left, const QString& Right)
{
  std::vector<int> Row(std::size_t(Right.size()) + 1);
  for (int Column = 0; Column <= Right.size(); ++Column)
    Row[std::size_t(Column)] = Column;
  for (int Line = 1; Line <= Left.size(); ++Line) {
    int Diagonal = Row[0];
    Row[0] = Line;
    for (int Column = 1; Column <= Right.size(); ++Column) {
      const int Above = Row[std::size_t(Column)];
      const int Substitution = Diagonal + (Left[Line - 1] == Right[Column - 1] ? 0 : 1);
      Row[std::size_t(Column)] = std::min({Above + 1, Row[std::size_t(Column) - 1] + 1, Substitution});
      Diagonal = Above;
    }
  }
  return Row.back();
}

QString didYouMean(const QString& Typed, const QStringList& Candidates)
{
  const QString Match = closestMatch(Typed, Candidates);
  return Match.isEmpty() ? QString() : QString(" (did you mean %1?)").arg(Match);
}

const TCommandSpec* findCommand(const std::vector<TCommandSpec>& Commands, const QString& Name)
{
  const auto Found = std::find_if(Commands.begin(), Commands.end(), [&](const TCommandSpec& Command) { return Command.name == Name; });
  return Found == Commands.end() ? nullptr : &*Found;
}

bool isOption(const QString& Argument)
{
  return Argument.size() > 1 && Argument.startsWith('-');
}

TParseOutcome outcome(TParseOutcome::EKind Kind, const TCommandSpec* Command, const QString& Error = QString())
{
  TParseOutcome Outcome;
  Outcome.kind = Kind;
  Outcome.command = Command;
  Outcome.error = Error;
  return Outcome;
}

// Reads the options and arguments of one command.
class TCommandParser
{
public:
  TCommandParser(const TCommandSpec& Command, const QStringList& Arguments) : m_Command(Command), m_Arguments(Arguments)
  {
    m_Line.command = &Command;
  }

  TParseOutcome parse()
  {
    bool OptionsEnded = false;
    while (m_Index < m_Arguments.size()) {
      const QString Argument = m_Arguments[m_Index++];
      if (!OptionsEnded && Argument == "--") {
        OptionsEnded = true;
      } else if (!OptionsEnded && isOption(Argument)) {
        if (!takeOption(Argument))
          return outcome(TParseOutcome::EKind::Error, &m_Command, m_Error);
      } else {
        m_Line.arguments << Argument;
      }
    }
    if (const QString Problem = missing(); !Problem.isEmpty())
      return outcome(TParseOutcome::EKind::Error, &m_Command, Problem);
    TParseOutcome Outcome = outcome(TParseOutcome::EKind::Run, &m_Command);
    Outcome.line = m_Line;
    return Outcome;
  }

private:
  const TOptionSpec* find(const QString& Written) const
  {
    for (const TOptionSpec& Option : m_Command.options) {
      if (Written == "--" + Option.name || (!Option.shortName.isEmpty() && Written == "-" + Option.shortName))
        return &Option;
    }
    return nullptr;
  }

  QString commandName() const { return m_Command.name.isEmpty() ? QString("publishing") : m_Command.name; }

  bool fail(const QString& Error)
  {
    m_Error = Error;
    return false;
  }

  bool takeOption(const QString& Argument)
  {
    const int Equals = Argument.startsWith("--") ? Argument.indexOf('=') : -1;
    const QString Written = Equals < 0 ? Argument : Argument.left(Equals);
    const TOptionSpec* Option = find(Written);
    if (!Option) {
      QStringList Names;
      for (const TOptionSpec& Known : m_Command.options)
        Names << "--" + Known.name;
      return fail(QString("%1 takes no option %2%3").arg(commandName(), Written, didYouMean(Written, Names)));
    }
    if (m_Line.isSet(Option->name) && !Option->repeatable)
      return fail(QString("--%1 is given twice").arg(Option->name));
    QStringList Values;
    if (Option->value == EOptionValue::None) {
      if (Equals >= 0)
        return fail(QString("--%1 takes no value").arg(Option->name));
    } else if (Equals >= 0) {
      Values << Argument.mid(Equals + 1);
    } else if (m_Index < m_Arguments.size() && (Option->value == EOptionValue::One || !isOption(m_Arguments[m_Index]))) {
      // A single value may itself start with "-" (--parameter --windowed).
      Values << m_Arguments[m_Index++];
    }
    if (Option->value != EOptionValue::None && Values.isEmpty())
      return fail(QString("--%1 needs a value (%2)").arg(Option->name, Option->valueName));
    while (Option->value == EOptionValue::List && m_Index < m_Arguments.size() && !isOption(m_Arguments[m_Index]))
      Values << m_Arguments[m_Index++];
    for (const QString& Value : Values) {
      if (!Option->choices.isEmpty() && !Option->choices.contains(Value))
        return fail(QString("--%1 cannot be %2: it is one of %3%4")
                        .arg(Option->name, Value.isEmpty() ? QString("empty") : Value, Option->choices.join(", "),
                             didYouMean(Value, Option->choices)));
    }
    m_Line.add(Option->name, Values);
    return true;
  }

  QString missing() const
  {
    QStringList Required;
    for (const TOptionSpec& Option : m_Command.options) {
      if (Option.required && !m_Line.isSet(Option.name))
        Required << "--" + Option.name;
    }
    if (!Required.isEmpty())
      return QString("%1 needs %2").arg(commandName(), Required.join(", "));
    const int Count = m_Line.arguments.size();
    if (Count < m_Command.minimumArguments || Count > m_Command.maximumArguments) {
      if (m_Command.maximumArguments == 0)
        return QString("%1 takes no argument (%2)").arg(commandName(), m_Line.arguments.first());
      return QString("%1 needs %2 (given: %3)")
          .arg(commandName(), m_Command.argumentsText, Count == 0 ? QString("none") : m_Line.arguments.join(" "));
    }
    return QString();
  }

  const TCommandSpec& m_Command;
  const QStringList& m_Arguments;
  int m_Index = 0;
  TCommandLine m_Line;
  QString m_Error;
};

} // namespace

QString TCommandLine::value(const QString& Name) const
{
  const QStringList Values = m_Values.value(Name);
  return Values.isEmpty() ? QString() : Values.last();
}

QString closestMatch(const QString& Typed, const QStringList& Candidates)
{
  QString Best;
  int BestDistance = 3;
  for (const QString& Candidate : Candidates) {
    const int Distance = editDistance(Typed, Candidate);
    if (Distance < BestDistance && Distance < Candidate.size() / 2 + 1) {
      Best = Candidate;
      BestDistance = Distance;
    }
  }
  if (Best.isEmpty() && Typed.size() >= 3) {
    for (const QString& Candidate : Candidates) {
      if (Candidate.startsWith(Typed))
        return Candidate;
    }
  }
  return Best;
}

TParseOutcome parseCommandLine(const std::vector<TCommandSpec>& Commands, const QStringList& Arguments)
{
  if (Arguments.isEmpty())
    return outcome(TParseOutcome::EKind::Error, nullptr, "nothing to do");
  const QString& First = Arguments.first();
  if (First == "--help" || First == "-h" || (First == "help" && Arguments.size() == 1))
    return outcome(TParseOutcome::EKind::Help, nullptr);
  if (Arguments == QStringList{"--version"})
    return outcome(TParseOutcome::EKind::Version, nullptr);
  if (First == "help") {
    const TCommandSpec* Command = findCommand(Commands, Arguments[1]);
    if (Command && Arguments.size() == 2)
      return outcome(TParseOutcome::EKind::Help, Command);
  }
  const TCommandSpec* Command = isOption(First) ? findCommand(Commands, QString()) : findCommand(Commands, First);
  if (!Command || Command->name.isEmpty() == !isOption(First)) {
    QStringList Names;
    for (const TCommandSpec& Known : Commands) {
      if (!Known.name.isEmpty())
        Names << Known.name;
    }
    const QString Typed = First == "help" ? Arguments.value(1) : First;
    return outcome(TParseOutcome::EKind::Error, nullptr,
                   QString("unknown command %1%2").arg(Typed, didYouMean(Typed, Names)));
  }
  const QStringList Rest = Command->name.isEmpty() ? Arguments : QStringList(Arguments.mid(1));
  const int End = Rest.indexOf("--");
  for (int Index = 0; Index < (End < 0 ? Rest.size() : End); ++Index) {
    if (Rest[Index] == "--help" || Rest[Index] == "-h")
      return outcome(TParseOutcome::EKind::Help, Command);
  }
  return TCommandParser(*Command, Rest).parse();
}

shared::THelpOption helpOption(const TOptionSpec& Option)
{
  shared::THelpOption Help;
  if (!Option.shortName.isEmpty())
    Help.names << "-" + Option.shortName;
  Help.names << "--" + Option.name;
  if (Option.value != EOptionValue::None)
    Help.valueName = Option.valueName + (Option.value == EOptionValue::List ? "..." : "");
  Help.text = Option.help;
  return Help;
}

shared::THelpPage commandHelpPage(const QString& Program, const TCommandSpec& Command)
{
  shared::THelpPage Page;
  Page.program = Program;
  Page.usage << Command.usage;
  Page.paragraphs = Command.paragraphs;
  shared::THelpSection Options{"Options", {}, {}, false};
  for (const TOptionSpec& Option : Command.options)
    Options.options.push_back(helpOption(Option));
  Options.options.push_back({{"-h", "--help"}, QString(), "Show this help and end."});
  Page.sections.push_back(Options);
  return Page;
}

shared::THelpPage programHelpPage(const QString& Program, const QString& Summary, const QStringList& Paragraphs,
                                  const std::vector<TCommandSpec>& Commands,
                                  const std::vector<shared::THelpSection>& Closing)
{
  shared::THelpPage Page;
  Page.program = Program;
  Page.summary = Summary;
  Page.paragraphs = Paragraphs;
  Page.sections.push_back({"Commands", {QString("%1 COMMAND --help shows the help of one command.").arg(Program)}, {}, false});
  for (const TCommandSpec& Command : Commands) {
    Page.usage << Command.usage;
    const QString Name = Command.name.isEmpty() ? QString("Without a command") : Command.name;
    shared::THelpSection Section{QString("%1 (%2)").arg(Name, Command.title), Command.paragraphs, {}, true};
    for (const TOptionSpec& Option : Command.options)
      Section.options.push_back(helpOption(Option));
    Page.sections.push_back(Section);
  }
  Page.usage << "COMMAND --help | --help | --version";
  Page.sections.insert(Page.sections.end(), Closing.begin(), Closing.end());
  return Page;
}

QString usageErrorText(const QString& Program, const TParseOutcome& Outcome)
{
  QString Text = QString("%1: %2\n").arg(Program, Outcome.error);
  if (Outcome.command) {
    Text += QString("usage: %1 %2\n").arg(Program, Outcome.command->usage);
    Text += QString("see '%1 %2--help'\n").arg(Program, Outcome.command->name.isEmpty() ? QString() : Outcome.command->name + ' ');
  } else {
    Text += QString("see '%1 --help'\n").arg(Program);
  }
  return Text;
}

} // namespace orvale::publisher::cli
