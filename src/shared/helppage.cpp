#include "shared/helppage.h"

namespace shared {

namespace {

constexpr int kWidth = 79;
constexpr int kOptionColumn = 26;

// Words of Text laid out in lines of at most kWidth columns, each starting
// with Indent (the first with FirstIndent); a word longer than a line
// stands alone.
QString wrapped(const QString& Text, const QString& FirstIndent, const QString& Indent)
{
  QString Result;
  QString Line = FirstIndent;
  bool LineHasWord = false;
  for (const QString& Word : Text.split(' ', Qt::SkipEmptyParts)) {
    if (LineHasWord && Line.size() + 1 + Word.size() > kWidth) {
      Result += Line + '\n';
      Line = Indent;
      LineHasWord = false;
    }
    if (LineHasWord)
      Line += ' ';
    Line += Word;
    LineHasWord = true;
  }
  return Result + Line + '\n';
}

QString optionText(const THelpOption& Option)
{
  const QString Names = "  " + optionNamesText(Option);
  const QString Indent(kOptionColumn, ' ');
  if (Names.size() + 2 > kOptionColumn)
    return Names + '\n' + wrapped(Option.text, Indent, Indent);
  return wrapped(Option.text, Names.leftJustified(kOptionColumn, ' '), Indent);
}

// Text as roff reads it: backslashes written as escapes, minus signs as
// minus signs, and a line that would start with a control character made
// plain.
QString roffText(const QString& Text)
{
  QString Escaped;
  for (const QChar Character : Text) {
    if (Character == '\\')
      Escaped += "\\e";
    else if (Character == '-')
      Escaped += "\\-";
    else
      Escaped += Character;
  }
  if (Escaped.startsWith('.') || Escaped.startsWith('\''))
    Escaped.prepend("\\&");
  return Escaped;
}

QString roffOptionNames(const THelpOption& Option)
{
  QStringList Names;
  for (const QString& Name : Option.names)
    Names << "\\fB" + roffText(Name) + "\\fR";
  QString Text = Names.join(", ");
  if (!Option.valueName.isEmpty())
    Text += " \\fI" + roffText(Option.valueName) + "\\fR";
  return Text;
}

} // namespace

QString optionNamesText(const THelpOption& Option)
{
  QString Text = Option.names.join(", ");
  if (!Option.valueName.isEmpty())
    Text += ' ' + Option.valueName;
  return Text;
}

QString helpText(const THelpPage& Page)
{
  QString Text;
  for (int Index = 0; Index < Page.usage.size(); ++Index) {
    const QString Lead = Index == 0 ? QString("usage: ") : QString("       ");
    Text += wrapped(Page.program + ' ' + Page.usage[Index], Lead, QString(Lead.size() + Page.program.size() + 1, ' '));
  }
  for (const QString& Paragraph : Page.paragraphs)
    Text += '\n' + wrapped(Paragraph, QString(), QString());
  for (const THelpSection& Section : Page.sections) {
    Text += '\n' + Section.title + ":\n";
    for (const QString& Paragraph : Section.paragraphs)
      Text += wrapped(Paragraph, "  ", "  ");
    for (const THelpOption& Option : Section.options)
      Text += optionText(Option);
  }
  return Text;
}

QString manPage(const THelpPage& Page, const QString& Version)
{
  QString Roff;
  Roff += QString(".TH %1 1 \"\" \"%2\" \"User Commands\"\n").arg(Page.program.toUpper(), roffText(Page.program + ' ' + Version));
  Roff += ".SH NAME\n" + roffText(Page.program) + " \\- " + roffText(Page.summary) + "\n";
  Roff += ".SH SYNOPSIS\n";
  for (int Index = 0; Index < Page.usage.size(); ++Index) {
    if (Index > 0)
      Roff += ".br\n";
    Roff += "\\fB" + roffText(Page.program) + "\\fR " + roffText(Page.usage[Index]) + "\n";
  }
  Roff += ".SH DESCRIPTION\n";
  for (int Index = 0; Index < Page.paragraphs.size(); ++Index)
    Roff += (Index > 0 ? ".PP\n" : "") + roffText(Page.paragraphs[Index]) + "\n";
  for (const THelpSection& Section : Page.sections) {
    Roff += (Section.subsection ? ".SS " : ".SH ") + roffText(Section.subsection ? Section.title : Section.title.toUpper()) + "\n";
    for (const QString& Paragraph : Section.paragraphs)
      Roff += ".PP\n" + roffText(Paragraph) + "\n";
    for (const THelpOption& Option : Section.options)
      Roff += ".TP\n" + roffOptionNames(Option) + "\n" + roffText(Option.text) + "\n";
  }
  return Roff;
}

} // namespace shared
