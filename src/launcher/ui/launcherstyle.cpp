#include "launcher/ui/launcherstyle.h"

namespace orvale::launcher {

QString launcherTextDeclarations(int PixelSize)
{
  return QString(R"(
          font-family: "Liberation Sans";
          font-variant: small-caps;
          font-size: %1px;
          font-weight: bold;
          color: #DADABC;
)")
      .arg(PixelSize);
}

} // namespace orvale::launcher
