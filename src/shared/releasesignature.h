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
// A signature file is exactly four lines, each ended by "\n", and nothing
// else (no carriage returns, no spaces but the one after each field name):
//   ashgrove-signature 1
//   key <the public key as above>
//   expires <UTC time as yyyy-MM-ddTHH:mm:ssZ>
//   signature <standard base64 of the 64-byte Ed25519 signature>
// Base64 must be canonical and the time exactly in that form; any other file
// is malformed. The signed message is the context line "ashgrove release
// signature 1\n", then "expires <the same text>\n", then the 32-byte SHA-256
// of the document: the signature covers the document's bytes and its expiry
// and cannot be taken for a signature of anything else.

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

// The parsed content of a signature file.
struct TReleaseSignature
{
  TReleaseKey key;
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
  Missing,       // no signature file, or an empty one
  Malformed,     // not a signature file as described above
  UnknownKey,    // signed by a key that is not accepted
  BadSignature,  // the signature does not match the document and expiry
  Expired,       // a valid signature whose expiry has passed
};

// "valid", "no signature", "malformed", "unknown key", "bad signature", "expired".
const char* signatureCheckText(ESignatureCheck Check);

// Whether the expiry counts.
enum class EExpiry
{
  Enforced,
  Ignored,
};

// Checks Document against the bytes of its signature file: valid only when
// the file is well formed, names one of Keys, its signature verifies and
// (when enforced) Now is not after its expiry.
ESignatureCheck checkReleaseSignature(const QByteArray& Document, const QByteArray& SignatureFile,
                                      const std::vector<TReleaseKey>& Keys, EExpiry Expiry,
                                      const QDateTime& Now = QDateTime::currentDateTimeUtc());

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
  // The signature file for Document, expiring at Expires (cut to whole
  // seconds); empty when signing fails.
  QByteArray signatureFile(const QByteArray& Document, const QDateTime& Expires) const;

private:
  explicit TSigningKey(std::shared_ptr<evp_pkey_st> Key) : m_pKey(std::move(Key)) {}

  std::shared_ptr<evp_pkey_st> m_pKey;
};

// Signs Document, the content of DocumentPath, and writes the signature file
// beside it (DocumentPath + SignatureFileSuffix) atomically: a temporary file
// is written, flushed and renamed into place. False with Error set on failure.
bool writeSignatureFile(const QString& DocumentPath, const QByteArray& Document, const TSigningKey& Key,
                        const QDateTime& Expires, QString& Error);

} // namespace shared
