#include "releasesigning.h"

#include "testsupport.h"

#include <QFile>

#include <algorithm>

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

void signDocument(const QString& Path, const shared::TSignedDocument& Document, ESignatureVariant Variant,
                  const QDateTime& SignedAt)
{
  const QString SignaturePath = Path + shared::SignatureFileSuffix;
  QFile::remove(SignaturePath);
  const QByteArray Bytes = readWholeFile(Path);
  const QDateTime Now = QDateTime::currentDateTimeUtc();
  shared::TSignatureTerms Terms{Document, SignedAt.isValid() ? SignedAt : Now, Now.addDays(30)};
  QString Error;
  bool Written = true;
  switch (Variant) {
  case ESignatureVariant::FirstKey:
  case ESignatureVariant::Replaced:
    Written = shared::writeSignatureFile(Path, Bytes, firstReleaseKey(), Terms, Error);
    break;
  case ESignatureVariant::SecondKey:
    Written = shared::writeSignatureFile(Path, Bytes, secondReleaseKey(), Terms, Error);
    break;
  case ESignatureVariant::Unsigned:
    break;
  case ESignatureVariant::UnknownKey:
    Written = shared::writeSignatureFile(Path, Bytes, unknownReleaseKey(), Terms, Error);
    break;
  case ESignatureVariant::Expired:
    Terms.signedAt = std::min(Terms.signedAt, Now.addDays(-2));
    Terms.expires = Now.addDays(-1);
    Written = shared::writeSignatureFile(Path, Bytes, firstReleaseKey(), Terms, Error);
    break;
  case ESignatureVariant::Malformed:
    writeWholeFile(SignaturePath, "ashgrove-signature 2\nkey nobody\n");
    break;
  case ESignatureVariant::OtherName:
    Terms.document.name = "other/" + Terms.document.name;
    Written = shared::writeSignatureFile(Path, Bytes, firstReleaseKey(), Terms, Error);
    break;
  }
  if (!Written)
    throw std::runtime_error(Error.toStdString());
  if (Variant == ESignatureVariant::Replaced)
    writeWholeFile(Path, Bytes + " ");
}

void signPublished(const QString& Www, const QString& RelativePath, shared::EDocumentRole Role,
                   ESignatureVariant Variant, const QDateTime& SignedAt)
{
  signDocument(Www + "/" + RelativePath, {Role, RelativePath}, Variant, SignedAt);
}

} // namespace testsupport
