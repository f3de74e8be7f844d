#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

struct evp_pkey_st;

namespace shared {

// Signed releases. The maker signs every document the launcher acts on (the
// configuration document, the package and asset descriptions, the
// launcher's own description) with an Ed25519 key; the signature lies in a
// file of its own beside the document (the document's name with
// SignatureFileSuffix), so the documents stay byte for byte as they are.
//
// A public key is written as one line of text: ReleaseKeyPrefix followed by
// the standard base64 of its 32 raw bytes, e.g.
//   ashgrove-ed25519:0ZtSeyG1Ck8oZ0yMdpGQAJ/aZ8XHj/gNmnTlY7y4P8A=
//
// A signature vouches for one document in one place at one time. A
// signature file is exactly seven lines, each ended by "\n", and nothing
// else (no carriage returns, no spaces but the one after each field name):
//   ashgrove-signature 2
//   key <the public key as above>
//   role <configuration | package | asset | launcher>
//   name <the document's path relative to the configuration's folder>
//   signed <UTC time as yyyy-MM-ddTHH:mm:ssZ>
//   expires <UTC time as yyyy-MM-ddTHH:mm:ssZ, not before the signing time>
//   signature <standard base64 of the 64-byte Ed25519 signature>
// Base64 must be canonical, the times exactly in that form and the name a
// document name (isDocumentName); any other file is malformed. The signed
// message is the context line "ashgrove release signature 2\n", then the
// role, name, signed and expires lines as in the file, then the 32-byte
// SHA-256 of the document: the signature covers the document's bytes, which
// document it is, when it was made and until when it counts. Files of the
// first format ("ashgrove-signature 1", which named none of this) are
// refused as OldFormat.

extern const char* const ReleaseKeyPrefix;     // "ashgrove-ed25519:"
extern const char* const SignatureFileSuffix;  // ".sig"
// The most bytes a signature file may have (a real one has about 220).
constexpr qint64 MaxSignatureFileBytes = 1024;

// An Ed25519 public key whose signatures are accepted.
class TReleaseKey
{
public:
  // The key written as above; nothing for any other text (surrounding white
  // space included).
  static std::optional<TReleaseKey> fromText(const QByteArray& Text);
  static std::optional<TReleaseKey> fromText(const QString& Text) { return fromText(Text.toUtf8()); }

  QByteArray text() const;
  const QByteArray& raw() const { return m_Raw; }
  bool operator==(const TReleaseKey& Other) const { return m_Raw == Other.m_Raw; }

private:
  explicit TReleaseKey(QByteArray Raw) : m_Raw(std::move(Raw)) {}
  friend class TSigningKey;

  QByteArray m_Raw;  // 32 bytes
};

// Which document a signature is for.
enum class EDocumentRole
{
  Configuration,  // the configuration document
  Package,        // a game package's description
  Asset,          // an asset description
  Launcher,       // the launcher's own package description
};

// "configuration", "package", "asset", "launcher": the role line's word.
const char* documentRoleWord(EDocumentRole Role);
std::optional<EDocumentRole> documentRoleFromWord(const QByteArray& Word);

// One document in its place: its role and its name, the path of the
// document relative to the folder of the configuration document ("/"
// separators, "../" leading where it lies beside that folder). The name
// survives a move of the whole publication to another host or CDN.
struct TSignedDocument
{
  EDocumentRole role = EDocumentRole::Package;
  QString name;

  bool operator==(const TSignedDocument& Other) const { return role == Other.role && name == Other.name; }
  bool operator!=(const TSignedDocument& Other) const { return !(*this == Other); }
  // "the package description game/package.json"
  QString text() const;
  // "package game/package.json": one word per role, then the name.
  QString key() const;
};

// The most bytes a name may have in UTF-8 (a signature file stays within
// MaxSignatureFileBytes).
constexpr int MaxDocumentNameBytes = 512;
// Whether Name is a document name as signatures write it: not empty, at most
// MaxDocumentNameBytes, no control characters, relative, no empty or "."
// segments, ".." only at its start and not as its last segment.
bool isDocumentName(const QString& Name);
// The name of the document at DocumentPath for a configuration in the folder
// RootFolder: the relative path from one to the other, both cleaned (file
// system paths made absolute, or the paths of URLs).
QString documentNameBelow(const QString& RootFolder, const QString& DocumentPath);

// The parsed content of a signature file.
struct TReleaseSignature
{
  TReleaseKey key;
  TSignedDocument document;
  QDateTime signedAt;    // UTC, whole seconds
  QDateTime expires;     // UTC, whole seconds
  QByteArray signature;  // 64 bytes

  // Nothing unless File is a signature file exactly as described above.
  static std::optional<TReleaseSignature> parse(const QByteArray& File);
  QByteArray toFile() const;
};

// What checking a document against its signature found.
enum class ESignatureCheck
{
  Valid,
  Missing,        // no signature file, or an empty one
  Malformed,      // not a signature file as described above
  OldFormat,      // a signature file of the first format
  UnknownKey,     // signed by a key that is not accepted
  BadSignature,   // the signature does not match the document and its lines
  OtherDocument,  // a valid signature of these bytes, made for another role or name
  Expired,        // a valid signature whose expiry has passed
};

// "valid", "no signature", "malformed", "old format", "unknown key", "bad
// signature", "signed for another document", "expired".
const char* signatureCheckText(ESignatureCheck Check);

struct TSignatureCheck
{
  ESignatureCheck result = ESignatureCheck::Missing;
  // The signature file read, whenever it is well formed.
  std::optional<TReleaseSignature> signature;

  bool valid() const { return result == ESignatureCheck::Valid; }
};

// Whether the expiry counts.
enum class EExpiry
{
  Enforced,
  Ignored,
};

// Checks Document against the bytes of its signature file: valid only when
// the file is well formed, names one of Keys, its signature verifies, it
// was made for Expected (when given; a publisher's check may not know the
// place) and (when enforced) Now is not after its expiry.
TSignatureCheck checkReleaseSignature(const QByteArray& Document, const QByteArray& SignatureFile,
                                      const std::vector<TReleaseKey>& Keys,
                                      const std::optional<TSignedDocument>& Expected, EExpiry Expiry,
                                      const QDateTime& Now = QDateTime::currentDateTimeUtc());
// The reason of a refusal as logs and reports give it: the check's text,
// and for another document the one signed and Expected.
QString signatureRefusalText(const TSignatureCheck& Check, const std::optional<TSignedDocument>& Expected);

// What a new signature states besides the document's bytes.
struct TSignatureTerms
{
  TSignedDocument document;
  QDateTime signedAt;
  QDateTime expires;
};

// The private half: makes signatures. Copies share the key.
class TSigningKey
{
public:
  // A new random key pair.
  static std::optional<TSigningKey> generate(QString& Error);
  // Reads a private key file as writeNewKeyFiles writes it (PKCS #8, PEM).
  static std::optional<TSigningKey> readFile(const QString& Path, QString& Error);

  // Writes the private key to Path, created readable and writable by its
  // owner only (mode 0600 from the start), and the public key's text line to
  // Path + ".pub". Refuses when either file exists already; each file is
  // written completely or not at all.
  bool writeNewKeyFiles(const QString& Path, QString& Error) const;

  TReleaseKey publicKey() const;
  // The signature file for Document on Terms (times cut to whole seconds);
  // empty when signing fails or the terms cannot be written (a name that is
  // not a document name, an expiry before the signing time).
  QByteArray signatureFile(const QByteArray& Document, const TSignatureTerms& Terms) const;

private:
  explicit TSigningKey(std::shared_ptr<evp_pkey_st> Key) : m_pKey(std::move(Key)) {}

  std::shared_ptr<evp_pkey_st> m_pKey;
};

// Signs Document, the content of DocumentPath, and writes the signature file
// beside it (DocumentPath + SignatureFileSuffix) atomically: a temporary file
// is written, flushed and renamed into place. False with Error set on failure.
bool writeSignatureFile(const QString& DocumentPath, const QByteArray& Document, const TSigningKey& Key,
                        const TSignatureTerms& Terms, QString& Error);

} // namespace shared
