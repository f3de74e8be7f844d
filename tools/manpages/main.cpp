// ashgrove-manpages: writes the manual pages of the launcher and of the
// publisher from the help texts the programs print for --help.
//
//   ashgrove-manpages <output folder> <version>

#include "commands.h"
#include "launcher/app/commandline.h"

#include <QCoreApplication>
#include <QDir>
#include <QSaveFile>

#include <cstdio>

namespace {

bool writePage(const QString& Path, const QString& Text)
{
  QSaveFile File(Path);
  const QByteArray Data = Text.toUtf8();
  if (File.open(QIODevice::WriteOnly) && File.write(Data) == Data.size() && File.commit())
    return true;
  std::fprintf(stderr, "ashgrove-manpages: cannot write %s: %s\n", qPrintable(Path), qPrintable(File.errorString()));
  return false;
}

} // namespace

int main(int argc, char* argv[])
{
  QCoreApplication Application(argc, argv);
  const QStringList Arguments = Application.arguments();
  if (Arguments.size() != 3) {
    std::fprintf(stderr, "usage: ashgrove-manpages <output folder> <version>\n");
    return 2;
  }
  const QDir Output(Arguments[1]);
  if (!QDir().mkpath(Output.path())) {
    std::fprintf(stderr, "ashgrove-manpages: cannot create %s\n", qPrintable(Output.path()));
    return 1;
  }
  const bool Ok =
      writePage(Output.filePath("ashgrove-launcher.1"), shared::manPage(orvale::launcher::launcherHelpPage(), Arguments[2])) &&
      writePage(Output.filePath("ashgrove-publish.1"),
                shared::manPage(orvale::publisher::cli::publisherHelpPage(), Arguments[2]));
  return Ok ? 0 : 1;
}
