#pragma once

#include <QString>

namespace orvale::launcher {

// The declarations every text of the launcher's window shares (its font and
// colour), at PixelSize; style sheets of the window and the tiles put them
// into their own rules.
QString launcherTextDeclarations(int PixelSize);

} // namespace orvale::launcher
