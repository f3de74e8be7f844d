#pragma once

// Types of the engine's signals.

#include <QMetaType>

#include <cstdint>

namespace orvale::launcher {

// Byte count used in every progress signal.
using TFileSize = std::uint64_t;

// Registers the value types that travel through queued connections.
void registerLauncherMetaTypes();

} // namespace orvale::launcher
