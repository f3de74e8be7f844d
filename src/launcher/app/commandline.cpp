#include "launcher/app/commandline.h"

namespace orvale::launcher {

const char* const SkipSelfUpdateOptionName = "skip-selfupdate";

std::vector<QCommandLineOption> launcherOptions()
{
  return {QCommandLineOption(QStringList{"l", "first-launch"}, "Automatically download default packages when starting up."),
          QCommandLineOption(QStringList{"s", SkipSelfUpdateOptionName}, "Do not perform self-update check on launch."),
          QCommandLineOption(QStringList{"u", "show-ui"}, "Show list of available packages after intial checks."),
          QCommandLineOption(QStringList{"p", "patch"}, "Start update of <patchexecutable> without user interaction.",
                             "patchexecutable")};
}

::shared::THelpPage launcherHelpPage()
{
  ::shared::THelpPage Page;
  Page.program = "ashgrove-launcher";
  Page.summary = "launcher and patcher of Ashgrove Online";
  Page.usage << "[--first-launch] [--skip-selfupdate] [--show-ui] [--patch CLIENT_EXECUTABLE]"
             << "--help | --version";
  Page.paragraphs
      << "The launcher and patcher of Ashgrove Online. It keeps itself current, reads the game's configuration from "
         "the web, brings every installed package up to date with the least download, and starts the game client."
      << "Without options it starts the default client at once when that is up to date, else it shows its window. "
         "Only one launcher runs at a time: a second one ends at once. Unknown options are ignored.";
  ::shared::THelpSection Options{"Options", {}, {}, false};
  std::vector<QCommandLineOption> All = launcherOptions();
  All.emplace_back(QStringList{"h", "help"}, "Show this help and end.");
  All.emplace_back(QStringList{"v", "version"}, "Show the launcher's version and end.");
  for (const QCommandLineOption& Option : All) {
    QStringList Names;
    for (const QString& Name : Option.names())
      Names << (Name.size() == 1 ? "-" : "--") + Name;
    Options.options.push_back({Names, Option.valueName().isEmpty() ? QString() : '<' + Option.valueName() + '>',
                               Option.description()});
  }
  Page.sections.push_back(Options);
  Page.sections.push_back(
      {"Files",
       {"launchersettings.ini beside the executable: settings that overlay the compiled-in ones key by key.",
        "$XDG_DATA_HOME/Veldan GmbH/Ashgrove Online (~/.local/share/...): the log ashgrove-launcher.log, the cached "
        "configuration and the installed packages."},
       {},
       false});
  Page.sections.push_back(
      {"Exit status",
       {"0 after a normal end (the client started, the window closed, a second launcher), 1 after a fatal error "
        "(no display, configuration not available, disk failure, client not startable)."},
       {},
       false});
  return Page;
}

std::optional<QString> displayProblem(const QString& Platform, const QString& X11Display, const QString& WaylandDisplay)
{
  // The platform may carry arguments ("xcb:foo"); Qt tries the names of a
  // list ("wayland;xcb") in turn.
  QStringList Platforms;
  for (const QString& Entry : Platform.split(';', Qt::SkipEmptyParts))
    Platforms << Entry.section(':', 0, 0).trimmed();
  if (Platforms.isEmpty())
    Platforms << "xcb" << "wayland";
  for (const QString& Name : Platforms) {
    const bool X11 = Name == "xcb";
    const bool Wayland = Name.startsWith("wayland");
    if ((!X11 && !Wayland) || (X11 && !X11Display.isEmpty()) || (Wayland && !WaylandDisplay.isEmpty()))
      return std::nullopt;
  }
  if (Platform.isEmpty())
    return QString("no display: neither DISPLAY nor WAYLAND_DISPLAY is set; start the launcher in a desktop session");
  return QString("no display for the platform %1: %2 is not set").arg(Platform,
                                                                      Platforms.contains("xcb") ? "DISPLAY" : "WAYLAND_DISPLAY");
}

} // namespace orvale::launcher
