#pragma once

#include <QString>
#include <QStringList>

namespace systemsurvey {

// Fixed text that starts the client identifier digest.
extern const char* const ClientIdentifierSalt;

// Lowercase hex SHA-1 over ClientIdentifierSalt followed by the hardware
// address texts, in the given order; empty addresses contribute nothing.
QString clientIdentifierFromHardwareAddresses(const QStringList& HardwareAddresses);

// The hardware address texts of all network interfaces, in the order the
// system lists them.
QStringList networkHardwareAddresses();

// The identifier of this machine, computed once per process.
QString clientIdentifier();

} // namespace systemsurvey
