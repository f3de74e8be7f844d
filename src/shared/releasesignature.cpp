#include "shared/releasesignature.h"

#include "shared/filesystemhelper.h"
#include "shared/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace shared {

const char* const ReleaseKeyPrefix = "ashgrove-ed25519:";
const char* const SignatureFileSuffix = ".sig";

namespace {

constexpr int kPublicKeyBytes = 32;
constexpr int kSignatureBytes = 64;
// A PEM private key file is about 120 bytes.
constexpr qint64 kMaxPrivateKeyFileBytes = 16 * 1024;

const char* const kHeaderLine = "ashgrove-signature 2";
const char* const kOldHeaderLine = "ashgrove-signature 1\n";
const char* const kContextLine = "ashgrove release signature 2\n";
constexpr int kSignatureFileLines = 7;

// The bytes Text encodes when it is the canonical base64 of exactly Size
// bytes; nothing otherwise.
std::optional<QByteArray> decodeCanonicalBase64(const QByteArray& Text, int Size)
{
  const QByteArray Decoded = QByteArray::fromBase64(Text);
  if (Decoded.size() != Size || Decoded.toBase64() != Text)
    return std::nullopt;
  return Decoded;
}

QByteArray timeText(const QDateTime& Time)
{
  return Time.toUTC().toString(Qt::ISODate).toLatin1();
}

// The time Text names when it is written exactly as timeText writes it.
std::optional<QDateTime> parseTimeText(const QByteArray& Text)
{
  const QDateTime Time = QDateTime::fromString(QString::fromLatin1(Text), Qt::ISODate);
  if (!Time.isValid() || Time.timeSpec() != Qt::UTC || timeText(Time) != Text)
    return std::nullopt;
  return Time;
}

QDateTime wholeSeconds(const QDateTime& Time)
{
  return QDateTime::fromSecsSinceEpoch(Time.toSecsSinceEpoch(), Qt::UTC);
}

// The lines between the key and the signature, as the file and the signed
// message hold them.
QByteArray termLines(const TSignedDocument& Document, const QDateTime& SignedAt, const QDateTime& Expires)
{
  return QByteArray("role ") + documentRoleWord(Document.role) + "\nname " + Document.name.toUtf8() + "\nsigned " +
         timeText(SignedAt) + "\nexpires " + timeText(Expires) + "\n";
}

QByteArray signedMessage(const QByteArray& Document, const TReleaseSignature& Signature)
{
  return QByteArray(kContextLine) + termLines(Signature.document, Signature.signedAt, Signature.expires) +
         TSha256::hash(Document);
}

// The value of a line "<Name> <value>"; nothing when the line is another.
std::optional<QByteArray> fieldValue(const QByteArray& Line, const char* Name)
{
  const QByteArray Prefix = QByteArray(Name) + ' ';
  if (!Line.startsWith(Prefix))
    return std::nullopt;
  return Line.mid(Prefix.size());
}

std::shared_ptr<EVP_PKEY> ownKey(EVP_PKEY* Key)
{
  return std::shared_ptr<EVP_PKEY>(Key, EVP_PKEY_free);
}

bool verifyEd25519(const TReleaseKey& Key, const QByteArray& Message, const QByteArray& Signature)
{
  const auto PublicKey = ownKey(EVP_PKEY_new_raw_public_key(
      EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(Key.raw().constData()), std::size_t(Key.raw().size())));
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> Context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!PublicKey || !Context || EVP_DigestVerifyInit(Context.get(), nullptr, nullptr, nullptr, PublicKey.get()) != 1)
    return false;
  return EVP_DigestVerify(Context.get(), reinterpret_cast<const unsigned char*>(Signature.constData()),
                          std::size_t(Signature.size()), reinterpret_cast<const unsigned char*>(Message.constData()),
                          std::size_t(Message.size())) == 1;
}

QString systemError(const QString& Path, const char* What)
{
  return QString("%1: %2: %3").arg(Path, What, QString::fromLocal8Bit(std::strerror(errno)));
}

// Creates Path with Data, readable and writable by its owner only, and never
// replaces an existing file: the data goes to a temporary file beside it
// (created with mode 0600), which is flushed and then linked to Path, which
// fails when Path exists.
bool createPrivateFile(const QString& Path, const QByteArray& Data, QString& Error)
{
  QByteArray Template = QFile::encodeName(Path + ".XXXXXX");
  const int Descriptor = ::mkstemp(Template.data());  // mode 0600
  if (Descriptor < 0) {
    Error = systemError(Path, "cannot create a temporary file beside it");
    return false;
  }
  QFile File;
  if (!File.open(Descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle))
    ::close(Descriptor);
  bool Ok = File.isOpen() && File.write(Data) == Data.size() && File.flush() && ::fsync(Descriptor) == 0;
  if (!Ok)
    Error = systemError(Path, "cannot write");
  File.close();
  if (Ok && ::link(Template.constData(), QFile::encodeName(Path).constData()) != 0) {
    Error = errno == EEXIST ? QString("%1: exists already, not replaced").arg(Path) : systemError(Path, "cannot create");
    Ok = false;
  }
  ::unlink(Template.constData());
  if (!Ok)
    return false;
  try {
    flushDirectoryToDisk(QFileInfo(Path).absolutePath());
  } catch (const std::runtime_error& Failure) {
    Error = QString::fromUtf8(Failure.what());
    return false;
  }
  return true;
}

bool writeFileAtomically(const QString& Path, const QByteArray& Data, QString& Error)
{
  try {
    TFileSystemHelper().writeFileAtomically(Path, Data);
    return true;
  } catch (const std::runtime_error& Failure) {
    Error = QString::fromUtf8(Failure.what());
    return false;
  }
}

} // namespace

std::optional<TReleaseKey> TReleaseKey::fromText(const QByteArray& Text)
{
  if (!Text.startsWith(ReleaseKeyPrefix))
    return std::nullopt;
  const auto Raw = decodeCanonicalBase64(Text.mid(int(std::strlen(ReleaseKeyPrefix))), kPublicKeyBytes);
  if (!Raw)
    return std::nullopt;
  return TReleaseKey(*Raw);
}

QByteArray TReleaseKey::text() const
{
  return ReleaseKeyPrefix + m_Raw.toBase64();
}

const char* documentRoleWord(EDocumentRole Role)
{
  switch (Role) {
  case EDocumentRole::Configuration:
    return "configuration";
  case EDocumentRole::Package:
    return "package";
  case EDocumentRole::Asset:
    return "asset";
  case EDocumentRole::Launcher:
    return "launcher";
  }
  return "package";
}

std::optional<EDocumentRole> documentRoleFromWord(const QByteArray& Word)
{
  for (EDocumentRole Role :
       {EDocumentRole::Configuration, EDocumentRole::Package, EDocumentRole::Asset, EDocumentRole::Launcher}) {
    if (Word == documentRoleWord(Role))
      return Role;
  }
  return std::nullopt;
}

QString TSignedDocument::text() const
{
  switch (role) {
  case EDocumentRole::Configuration:
    return QString("the configuration %1").arg(name);
  case EDocumentRole::Package:
    return QString("the package description %1").arg(name);
  case EDocumentRole::Asset:
    return QString("the asset description %1").arg(name);
  case EDocumentRole::Launcher:
    return QString("the launcher description %1").arg(name);
  }
  return name;
}

QString TSignedDocument::key() const
{
  return QString("%1 %2").arg(QString::fromLatin1(documentRoleWord(role)), name);
}

bool isDocumentName(const QString& Name)
{
  if (Name.isEmpty() || Name.toUtf8().size() > MaxDocumentNameBytes || Name.startsWith('/'))
    return false;
  if (std::any_of(Name.begin(), Name.end(), [](QChar Character) { return Character.unicode() < 0x20 || Character.unicode() == 0x7f; }))
    return false;
  const QStringList Segments = Name.split('/');
  bool Climbing = true;
  for (const QString& Segment : Segments) {
    if (Segment.isEmpty() || Segment == ".")
      return false;
    if (Segment == "..") {
      if (!Climbing)
        return false;
      continue;
    }
    Climbing = false;
  }
  return !Climbing;
}

QString documentNameBelow(const QString& RootFolder, const QString& DocumentPath)
{
  return QDir(QDir::cleanPath(RootFolder)).relativeFilePath(QDir::cleanPath(DocumentPath));
}

std::optional<TReleaseSignature> TReleaseSignature::parse(const QByteArray& File)
{
  if (File.size() > MaxSignatureFileBytes || !File.endsWith('\n'))
    return std::nullopt;
  const QList<QByteArray> Lines = File.left(File.size() - 1).split('\n');
  if (Lines.size() != kSignatureFileLines || Lines[0] != kHeaderLine)
    return std::nullopt;
  const auto KeyText = fieldValue(Lines[1], "key");
  const auto RoleWord = fieldValue(Lines[2], "role");
  const auto NameText = fieldValue(Lines[3], "name");
  const auto SignedText = fieldValue(Lines[4], "signed");
  const auto ExpiresText = fieldValue(Lines[5], "expires");
  const auto SignatureText = fieldValue(Lines[6], "signature");
  if (!KeyText || !RoleWord || !NameText || !SignedText || !ExpiresText || !SignatureText)
    return std::nullopt;
  const auto Key = TReleaseKey::fromText(*KeyText);
  const auto Role = documentRoleFromWord(*RoleWord);
  const QString Name = QString::fromUtf8(*NameText);
  const auto SignedAt = parseTimeText(*SignedText);
  const auto Expires = parseTimeText(*ExpiresText);
  const auto Signature = decodeCanonicalBase64(*SignatureText, kSignatureBytes);
  if (!Key || !Role || Name.toUtf8() != *NameText || !isDocumentName(Name) || !SignedAt || !Expires ||
      *Expires < *SignedAt || !Signature)
    return std::nullopt;
  return TReleaseSignature{*Key, {*Role, Name}, *SignedAt, *Expires, *Signature};
}

QByteArray TReleaseSignature::toFile() const
{
  return QByteArray(kHeaderLine) + "\nkey " + key.text() + "\n" + termLines(document, signedAt, expires) +
         "signature " + signature.toBase64() + "\n";
}

const char* signatureCheckText(ESignatureCheck Check)
{
  switch (Check) {
  case ESignatureCheck::Valid:
    return "valid";
  case ESignatureCheck::Missing:
    return "no signature";
  case ESignatureCheck::Malformed:
    return "malformed";
  case ESignatureCheck::OldFormat:
    return "old format";
  case ESignatureCheck::UnknownKey:
    return "unknown key";
  case ESignatureCheck::BadSignature:
    return "bad signature";
  case ESignatureCheck::OtherDocument:
    return "signed for another document";
  case ESignatureCheck::Expired:
    return "expired";
  }
  return "malformed";
}

TSignatureCheck checkReleaseSignature(const QByteArray& Document, const QByteArray& SignatureFile,
                                      const std::vector<TReleaseKey>& Keys,
                                      const std::optional<TSignedDocument>& Expected, EExpiry Expiry,
                                      const QDateTime& Now)
{
  TSignatureCheck Check;
  if (SignatureFile.isEmpty())
    return Check;
  Check.signature = TReleaseSignature::parse(SignatureFile);
  if (!Check.signature) {
    Check.result = SignatureFile.startsWith(kOldHeaderLine) ? ESignatureCheck::OldFormat : ESignatureCheck::Malformed;
    return Check;
  }
  const TReleaseSignature& Signature = *Check.signature;
  if (std::find(Keys.begin(), Keys.end(), Signature.key) == Keys.end())
    Check.result = ESignatureCheck::UnknownKey;
  else if (!verifyEd25519(Signature.key, signedMessage(Document, Signature), Signature.signature))
    Check.result = ESignatureCheck::BadSignature;
  else if (Expected && Signature.document != *Expected)
    Check.result = ESignatureCheck::OtherDocument;
  else if (Expiry == EExpiry::Enforced && Now > Signature.expires)
    Check.result = ESignatureCheck::Expired;
  else
    Check.result = ESignatureCheck::Valid;
  return Check;
}

QString signatureRefusalText(const TSignatureCheck& Check, const std::optional<TSignedDocument>& Expected)
{
  if (Check.result == ESignatureCheck::OtherDocument && Check.signature && Expected)
    return QString("signed for %1, not for %2").arg(Check.signature->document.text(), Expected->text());
  return QString::fromLatin1(signatureCheckText(Check.result));
}

std::optional<TSigningKey> TSigningKey::generate(QString& Error)
{
  EVP_PKEY* Key = nullptr;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> Context(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr),
                                                                      EVP_PKEY_CTX_free);
  if (!Context || EVP_PKEY_keygen_init(Context.get()) != 1 || EVP_PKEY_keygen(Context.get(), &Key) != 1) {
    Error = "cannot make an Ed25519 key pair";
    return std::nullopt;
  }
  return TSigningKey(ownKey(Key));
}

std::optional<TSigningKey> TSigningKey::readFile(const QString& Path, QString& Error)
{
  QFile File(Path);
  if (!File.open(QIODevice::ReadOnly)) {
    Error = QString("cannot read %1: %2").arg(Path, File.errorString());
    return std::nullopt;
  }
  const QByteArray Data = File.read(kMaxPrivateKeyFileBytes + 1);
  std::unique_ptr<BIO, decltype(&BIO_free)> Input(BIO_new_mem_buf(Data.constData(), int(Data.size())), BIO_free);
  // No pass phrase is ever asked for (OpenSSL's default would prompt on the
  // terminal): an encrypted key is not one this tool reads.
  pem_password_cb* const NoPassPhrase = [](char*, int, int, void*) { return -1; };
  const auto Key = ownKey(Data.size() <= kMaxPrivateKeyFileBytes && Input
                              ? PEM_read_bio_PrivateKey(Input.get(), nullptr, NoPassPhrase, nullptr)
                              : nullptr);
  if (!Key || EVP_PKEY_id(Key.get()) != EVP_PKEY_ED25519) {
    Error = QString("%1: not an Ed25519 private key").arg(Path);
    return std::nullopt;
  }
  return TSigningKey(Key);
}

bool TSigningKey::writeNewKeyFiles(const QString& Path, QString& Error) const
{
  const QString PublicPath = Path + ".pub";
  for (const QString& Existing : {Path, PublicPath}) {
    if (QFileInfo(Existing).exists() || QFileInfo(Existing).isSymLink()) {
      Error = QString("%1: exists already, not replaced").arg(Existing);
      return false;
    }
  }
  std::unique_ptr<BIO, decltype(&BIO_free)> Output(BIO_new(BIO_s_mem()), BIO_free);
  if (!Output || PEM_write_bio_PrivateKey(Output.get(), m_pKey.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    Error = "cannot encode the private key";
    return false;
  }
  char* Pem = nullptr;
  const long PemSize = BIO_get_mem_data(Output.get(), &Pem);
  const QByteArray PrivateData(Pem, int(PemSize));
  return createPrivateFile(Path, PrivateData, Error) && writeFileAtomically(PublicPath, publicKey().text() + "\n", Error);
}

TReleaseKey TSigningKey::publicKey() const
{
  QByteArray Raw(kPublicKeyBytes, '\0');
  std::size_t Size = std::size_t(Raw.size());
  if (EVP_PKEY_get_raw_public_key(m_pKey.get(), reinterpret_cast<unsigned char*>(Raw.data()), &Size) != 1)
    Raw.clear();
  Raw.resize(int(Size));
  return TReleaseKey(Raw);
}

QByteArray TSigningKey::signatureFile(const QByteArray& Document, const TSignatureTerms& Terms) const
{
  TReleaseSignature Result{publicKey(), Terms.document, wholeSeconds(Terms.signedAt), wholeSeconds(Terms.expires), {}};
  if (!isDocumentName(Terms.document.name) || Result.expires < Result.signedAt)
    return QByteArray();
  const QByteArray Message = signedMessage(Document, Result);
  QByteArray Signature(kSignatureBytes, '\0');
  std::size_t Size = std::size_t(Signature.size());
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> Context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!Context || EVP_DigestSignInit(Context.get(), nullptr, nullptr, nullptr, m_pKey.get()) != 1 ||
      EVP_DigestSign(Context.get(), reinterpret_cast<unsigned char*>(Signature.data()), &Size,
                     reinterpret_cast<const unsigned char*>(Message.constData()), std::size_t(Message.size())) != 1 ||
      Size != std::size_t(kSignatureBytes))
    return QByteArray();
  Result.signature = Signature;
  return Result.toFile();
}

bool writeSignatureFile(const QString& DocumentPath, const QByteArray& Document, const TSigningKey& Key,
                        const TSignatureTerms& Terms, QString& Error)
{
  if (!isDocumentName(Terms.document.name)) {
    Error = QString("cannot sign %1: \"%2\" is not a document name (a relative path below or beside the "
                    "configuration's folder)")
                .arg(DocumentPath, Terms.document.name);
    return false;
  }
  const QByteArray Signature = Key.signatureFile(Document, Terms);
  if (Signature.isEmpty()) {
    Error = QString("cannot sign %1").arg(DocumentPath);
    return false;
  }
  return writeFileAtomically(DocumentPath + SignatureFileSuffix, Signature, Error);
}

} // namespace shared
