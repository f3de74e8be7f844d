#pragma once

#include "shared/releasesignature.h"

#include <QMetaType>
#include <QString>

namespace testsupport {

// How a test publishes the signature beside a document.
enum class ESignatureVariant
{
  FirstKey,    // signed by the first of the two accepted test keys
  SecondKey,   // signed by the second accepted test key
  Unsigned,    // no signature file
  UnknownKey,  // signed by a key that is not accepted
  Expired,     // signed by the first key, expired a day ago
  Malformed,   // a signature file that is not one
  Replaced,    // signed by the first key, then the document was changed
  OtherName,   // signed by the first key for a document of another name
};

// A new random key pair; throws when none can be made.
shared::TSigningKey newReleaseKey();

// The accepted test keys: two, as a launcher holds them while a key is
// replaced by another.
const shared::TSigningKey& firstReleaseKey();
const shared::TSigningKey& secondReleaseKey();
// The settings value that accepts both.
QString acceptedReleaseKeys();

// Writes the signature file of the document at Path, made for Document (its
// role and name) and signed at SignedAt (now when not given), as Variant
// says (a replaced document gets a space appended after signing).
void signDocument(const QString& Path, const shared::TSignedDocument& Document,
                  ESignatureVariant Variant = ESignatureVariant::FirstKey, const QDateTime& SignedAt = QDateTime());
// The same for a document published in Www, the folder of the configuration
// document: named by its path relative to Www.
void signPublished(const QString& Www, const QString& RelativePath, shared::EDocumentRole Role,
                   ESignatureVariant Variant = ESignatureVariant::FirstKey, const QDateTime& SignedAt = QDateTime());

} // namespace testsupport

Q_DECLARE_METATYPE(testsupport::ESignatureVariant)
