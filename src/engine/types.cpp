// The engine's value types, registered for queued connections.

#include "engine/types.h"

#include "engine/package.h"
#include "engine/packagedifference.h"
#include "engine/packagefiledownloader.h"

namespace orvale::launcher {

void registerLauncherMetaTypes()
{
  qRegisterMetaType<TFileSize>("TFileSize");
  qRegisterMetaType<TFileSize>("orvale::launcher::TFileSize");
  qRegisterMetaType<EPackageDownloaderError>("EPackageDownloaderError");
  qRegisterMetaType<EPackageDownloaderError>("orvale::launcher::EPackageDownloaderError");
  qRegisterMetaType<TPackageDifference>("TPackageDifference");
  qRegisterMetaType<std::shared_ptr<TPackage>>("std::shared_ptr<TPackage>");
}

} // namespace orvale::launcher
