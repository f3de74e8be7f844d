#pragma once

#include "shared/helppage.h"

#include <QCommandLineOption>

#include <optional>
#include <vector>

// The launcher's command line: its options and its help, which --help
// prints and the manual page is made from.
namespace orvale::launcher {

// Long name of the option that skips the self-update check.
extern const char* const SkipSelfUpdateOptionName;

// The options the launcher acts on, in the order the parser takes them:
// first launch, skip self-update, show the window, patch.
std::vector<QCommandLineOption> launcherOptions();

::shared::THelpPage launcherHelpPage();

// Why the window system cannot be reached, from the values of
// QT_QPA_PLATFORM, DISPLAY and WAYLAND_DISPLAY; nothing when it can (or when
// the platform named needs no display, such as "offscreen").
std::optional<QString> displayProblem(const QString& Platform, const QString& X11Display, const QString& WaylandDisplay);

} // namespace orvale::launcher
