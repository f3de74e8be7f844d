#include "launcher/types.h"

namespace orvale::launcher {

void registerLauncherMetaTypes()
{
  qRegisterMetaType<TFileSize>("TFileSize");
  qRegisterMetaType<TFileSize>("orvale::launcher::TFileSize");
}

} // namespace orvale::launcher
