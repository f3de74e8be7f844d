#include "systemsurvey/clientidentifier.h"

#include <QCryptographicHash>
#include <QNetworkInterface>

namespace systemsurvey {

const char* const ClientIdentifierSalt = "4e7a2c19-8b3d-4f05-9c6e-2d81a5f0b7c3";

QString clientIdentifierFromHardwareAddresses(const QStringList& HardwareAddresses)
{
  QCryptographicHash Hash(QCryptographicHash::Sha1);
  Hash.addData(ClientIdentifierSalt);
  for (const QString& Address : HardwareAddresses)
    Hash.addData(Address.toUtf8());
  return QString::fromLatin1(Hash.result().toHex());
}

QStringList networkHardwareAddresses()
{
  QStringList Addresses;
  const QList<QNetworkInterface> Interfaces = QNetworkInterface::allInterfaces();
  for (const QNetworkInterface& Interface : Interfaces) {
    const QString Address = Interface.hardwareAddress();
    if (!Address.isEmpty())
      Addresses.append(Address);
  }
  return Addresses;
}

QString clientIdentifier()
{
  static const QString Identifier = clientIdentifierFromHardwareAddresses(networkHardwareAddresses());
  return Identifier;
}

} // namespace systemsurvey
