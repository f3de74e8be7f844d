#include "releasesigning.h"

#include "testsupport.h"

#include <QFile>

#include <stdexcept>

namespace testsupport {

shared::TSigningKey newReleaseKey()
{
  QString Error;
  const auto Key = shared::TSigningKey::generate(Error);
  if (!Key)
    throw std::runtime_error(Error.toStdString());
  return *Key;
}

namespace {

const shared::TSigningKey& unknownReleaseKey()
{
  static const shared::TSigningKey Key = newReleaseKey();
  return Key;
}

} // namespace

const shared::TSigningKey& firstReleaseKey()
{
  static const shared::TSigningKey Key = newReleaseKey();
  return Key;
}

const shared::TSigningKey& secondReleaseKey()
{
  static const shared::TSigningKey Key = newReleaseKey();
  return Key;
}

QString acceptedReleaseKeys()
{
  return QString::fromLatin1(firstReleaseKey().publicKey().text() + ", " + secondReleaseKey().publicKey().text());
}

void signDocument(const QString& Path, ESignatureVariant Variant)
{
  const QString SignaturePath = Path + shared::SignatureFileSuffix;
  QFile::remove(SignaturePath);
  const QByteArray Document = readWholeFile(Path);
  const QDateTime InAMonth = QDateTime::currentDateTimeUtc().addDays(30);
  QString Error;
  bool Written = true;
  switch (Variant) {
  case ESignatureVariant::FirstKey:
  case ESignatureVariant::Replaced:
    Written = shared::writeSignatureFile(Path, Document, firstReleaseKey(), InAMonth, Error);
    break;
  case ESignatureVariant::SecondKey:
    Written = shared::writeSignatureFile(Path, Document, secondReleaseKey(), InAMonth, Error);
    break;
  case ESignatureVariant::Unsigned:
    break;
  case ESignatureVariant::UnknownKey:
    Written = shared::writeSignatureFile(Path, Document, unknownReleaseKey(), InAMonth, Error);
    break;
  case ESignatureVariant::Expired:
    Written = shared::writeSignatureFile(Path, Document, firstReleaseKey(),
                                         QDateTime::currentDateTimeUtc().addDays(-1), Error);
    break;
  case ESignatureVariant::Malformed:
    writeWholeFile(SignaturePath, "ashgrove-signature 1\nkey nobody\n");
    break;
  }
  if (!Written)
    throw std::runtime_error(Error.toStdString());
  if (Variant == ESignatureVariant::Replaced)
    writeWholeFile(Path, Document + " ");
}

} // namespace testsupport
