#pragma once

namespace orvale::launcher {

// Registers the launcher's images (":/images/launcher/") with the resource
// system. The window and the tiles do it themselves; code that shows an
// image before them (the splash screens) calls it first. Safe to call more
// than once and from static initialisation.
void initLauncherUiResources();

} // namespace orvale::launcher
