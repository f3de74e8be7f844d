#pragma once

#include <QString>

#include <cstdint>

namespace orvale::publisher {

// "1 file", "2 files": Count with the noun in its number.
QString counted(std::uint64_t Count, const QString& One, const QString& Many);

} // namespace orvale::publisher
