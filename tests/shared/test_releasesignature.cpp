// Release keys and signature files: the text forms read strictly, whatever
// a server or a settings file holds, and the key files made by keygen.

#include "shared/releasesignature.h"

#include "releasesigning.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <functional>

using namespace shared;

using TMutation = std::function<QByteArray(const QByteArray&)>;

Q_DECLARE_METATYPE(shared::ESignatureCheck)
Q_DECLARE_METATYPE(shared::EDocumentRole)
Q_DECLARE_METATYPE(TMutation)

namespace {

using testsupport::newReleaseKey;

const TSigningKey& signingKey()
{
  return testsupport::firstReleaseKey();
}

const QDateTime Expiry = QDateTime(QDate(2031, 5, 6), QTime(7, 8, 9), Qt::UTC);
const QDateTime SignedAt = QDateTime(QDate(2031, 4, 6), QTime(6, 0, 0), Qt::UTC);
const QByteArray Document = R"({"version": "2.0", "files": []})";
const TSignedDocument Place{EDocumentRole::Package, "game/package.json"};

TSignatureTerms terms(const QDateTime& Expires = Expiry, const TSignedDocument& Signed = Place)
{
  return {Signed, SignedAt, Expires};
}

// Line Index of the file replaced by Line.
TMutation replaceLine(int Index, const QByteArray& Line)
{
  return [=](const QByteArray& File) {
    QList<QByteArray> Lines = File.split('\n');
    Lines[Index] = Line;
    return Lines.join('\n');
  };
}

TMutation replace(const QByteArray& Before, const QByteArray& After)
{
  return [=](QByteArray File) { return File.replace(Before, After); };
}

} // namespace

class TestReleaseSignature : public QObject
{
  Q_OBJECT

private slots:
  void keyText_data();
  void keyText();
  void signatureFile_data();
  void signatureFile();
  void documentAndPlace_data();
  void documentAndPlace();
  void documentNames_data();
  void documentNames();
  void expiry();
  void keyFiles();
};

void TestReleaseSignature::keyText_data()
{
  QTest::addColumn<QByteArray>("Text");
  QTest::addColumn<bool>("Accepted");
  const QByteArray Base64 = QByteArray(32, '\x5a').toBase64();
  QTest::newRow("key") << "ashgrove-ed25519:" + Base64 << true;
  QTest::newRow("empty") << QByteArray() << false;
  QTest::newRow("prefix only") << QByteArray("ashgrove-ed25519:") << false;
  QTest::newRow("no prefix") << Base64 << false;
  QTest::newRow("other prefix") << "ashgrove-rsa:" + Base64 << false;
  QTest::newRow("upper case prefix") << "ASHGROVE-ED25519:" + Base64 << false;
  QTest::newRow("31 bytes") << "ashgrove-ed25519:" + QByteArray(31, '\x5a').toBase64() << false;
  QTest::newRow("33 bytes") << "ashgrove-ed25519:" + QByteArray(33, '\x5a').toBase64() << false;
  QTest::newRow("no padding") << "ashgrove-ed25519:" + Base64.chopped(1) << false;
  QTest::newRow("not canonical") << "ashgrove-ed25519:" + Base64.chopped(2) + "R=" << false;
  QTest::newRow("url alphabet") << "ashgrove-ed25519:" + QByteArray(32, '\xfb').toBase64(QByteArray::Base64UrlEncoding)
                                << false;
  QTest::newRow("space after") << "ashgrove-ed25519:" + Base64 + " " << false;
  QTest::newRow("line break after") << "ashgrove-ed25519:" + Base64 + "\n" << false;
  QTest::newRow("space inside") << "ashgrove-ed25519: " + Base64 << false;
  QTest::newRow("nul inside") << "ashgrove-ed25519:" + Base64.left(10) + QByteArray(1, '\0') + Base64.mid(10) << false;
}

void TestReleaseSignature::keyText()
{
  QFETCH(QByteArray, Text);
  QFETCH(bool, Accepted);
  const auto Key = TReleaseKey::fromText(Text);
  QCOMPARE(bool(Key), Accepted);
  if (Key)
    QCOMPARE(Key->text(), Text);
}

void TestReleaseSignature::signatureFile_data()
{
  QTest::addColumn<TMutation>("Mutation");
  QTest::addColumn<ESignatureCheck>("Expected");
  const QByteArray Key = signingKey().publicKey().text();
  const QByteArray OtherKey = newReleaseKey().publicKey().text();
  const auto Same = [](const QByteArray& File) { return File; };
  QTest::newRow("as signed") << TMutation(Same) << ESignatureCheck::Valid;
  QTest::newRow("empty") << TMutation([](const QByteArray&) { return QByteArray(); }) << ESignatureCheck::Missing;
  QTest::newRow("no final line break") << TMutation([](const QByteArray& File) { return File.chopped(1); })
                                       << ESignatureCheck::Malformed;
  QTest::newRow("carriage returns") << replace("\n", "\r\n") << ESignatureCheck::Malformed;
  QTest::newRow("blank line after") << TMutation([](const QByteArray& File) { return File + "\n"; })
                                    << ESignatureCheck::Malformed;
  QTest::newRow("line added") << TMutation([](const QByteArray& File) { return File + "comment x\n"; })
                              << ESignatureCheck::Malformed;
  QTest::newRow("line missing") << replace("expires ", "") << ESignatureCheck::Malformed;
  QTest::newRow("first format") << replaceLine(0, "ashgrove-signature 1") << ESignatureCheck::OldFormat;
  QTest::newRow("version 3") << replaceLine(0, "ashgrove-signature 3") << ESignatureCheck::Malformed;
  QTest::newRow("no header") << TMutation([](const QByteArray& File) { return File.mid(File.indexOf('\n') + 1); })
                             << ESignatureCheck::Malformed;
  QTest::newRow("lines swapped") << TMutation([](const QByteArray& File) {
    QList<QByteArray> Lines = File.split('\n');
    std::swap(Lines[1], Lines[2]);
    return Lines.join('\n');
  }) << ESignatureCheck::Malformed;
  QTest::newRow("two spaces") << replace("key ", "key  ") << ESignatureCheck::Malformed;
  QTest::newRow("tab") << replace("key ", "key\t") << ESignatureCheck::Malformed;
  QTest::newRow("field renamed") << replace("signature ", "sig ") << ESignatureCheck::Malformed;
  QTest::newRow("nul byte") << replace("expires", QByteArray("exp\0res", 7)) << ESignatureCheck::Malformed;
  QTest::newRow("key not a key") << replaceLine(1, "key ashgrove-ed25519:AAAA") << ESignatureCheck::Malformed;
  QTest::newRow("other key") << replaceLine(1, "key " + OtherKey) << ESignatureCheck::UnknownKey;
  QTest::newRow("time with milliseconds") << replace("07:08:09Z", "07:08:09.000Z") << ESignatureCheck::Malformed;
  QTest::newRow("time with offset") << replace("07:08:09Z", "07:08:09+00:00") << ESignatureCheck::Malformed;
  QTest::newRow("local time") << replace("07:08:09Z", "07:08:09") << ESignatureCheck::Malformed;
  QTest::newRow("lower case z") << replace("07:08:09Z", "07:08:09z") << ESignatureCheck::Malformed;
  QTest::newRow("february 30") << replace("2031-05-06", "2031-02-30") << ESignatureCheck::Malformed;
  QTest::newRow("year 10000") << replace("2031-05-06", "10000-05-06") << ESignatureCheck::Malformed;
  QTest::newRow("expiry moved") << replace("07:08:09Z", "07:08:10Z") << ESignatureCheck::BadSignature;
  QTest::newRow("signing time moved") << replace("06:00:00Z", "06:00:01Z") << ESignatureCheck::BadSignature;
  QTest::newRow("signed after its expiry") << replace("2031-04-06", "2031-06-06") << ESignatureCheck::Malformed;
  QTest::newRow("role changed") << replaceLine(2, "role launcher") << ESignatureCheck::BadSignature;
  QTest::newRow("unknown role") << replaceLine(2, "role manual") << ESignatureCheck::Malformed;
  QTest::newRow("name changed") << replaceLine(3, "name launcher/package.json") << ESignatureCheck::BadSignature;
  QTest::newRow("absolute name") << replaceLine(3, "name /game/package.json") << ESignatureCheck::Malformed;
  QTest::newRow("empty name") << replaceLine(3, "name ") << ESignatureCheck::Malformed;
  QTest::newRow("name not UTF-8") << replaceLine(3, "name game/\xff.json") << ESignatureCheck::Malformed;
  QTest::newRow("signing time missing") << replace("signed ", "") << ESignatureCheck::Malformed;
  QTest::newRow("signature flipped") << TMutation([](const QByteArray& File) {
    const int At = File.indexOf("\nsignature ") + 11;
    QByteArray Raw = QByteArray::fromBase64(File.mid(At, 88));
    Raw[5] = char(Raw[5] ^ 1);
    return File.left(At) + Raw.toBase64() + "\n";
  }) << ESignatureCheck::BadSignature;
  QTest::newRow("signature cut") << TMutation([](const QByteArray& File) { return File.chopped(5) + "\n"; })
                                 << ESignatureCheck::Malformed;
  QTest::newRow("signature not canonical") << TMutation([](const QByteArray& File) {
    return File.chopped(4) + "B==\n";  // 64 bytes end in "==": a last digit with bits set that nothing encodes
  }) << ESignatureCheck::Malformed;
}

// Every file other than the one signed is refused with its reason.
void TestReleaseSignature::signatureFile()
{
  QFETCH(TMutation, Mutation);
  QFETCH(ESignatureCheck, Expected);
  const QByteArray Signed = signingKey().signatureFile(Document, terms());
  QVERIFY(Signed.startsWith("ashgrove-signature 2\nkey ashgrove-ed25519:"));
  QVERIFY(Signed.contains("\nrole package\nname game/package.json\nsigned 2031-04-06T06:00:00Z\n"
                          "expires 2031-05-06T07:08:09Z\nsignature "));
  const QByteArray File = Mutation(Signed);
  const std::vector<TReleaseKey> Keys{signingKey().publicKey()};
  const QDateTime Before = Expiry.addDays(-1);
  QCOMPARE(checkReleaseSignature(Document, File, Keys, Place, EExpiry::Enforced, Before).result, Expected);
  QCOMPARE(bool(TReleaseSignature::parse(File)), Expected != ESignatureCheck::Malformed &&
                                                      Expected != ESignatureCheck::Missing &&
                                                      Expected != ESignatureCheck::OldFormat);
  if (Expected == ESignatureCheck::Valid)
    QCOMPARE(TReleaseSignature::parse(File)->toFile(), File);
}

void TestReleaseSignature::documentAndPlace_data()
{
  QTest::addColumn<EDocumentRole>("Role");
  QTest::addColumn<QString>("Name");
  QTest::addColumn<ESignatureCheck>("Expected");
  QTest::addColumn<QString>("Reason");
  QTest::newRow("its place") << EDocumentRole::Package << "game/package.json" << ESignatureCheck::Valid << "valid";
  QTest::newRow("another role") << EDocumentRole::Launcher << "game/package.json" << ESignatureCheck::OtherDocument
                                << "signed for the package description game/package.json, not for the launcher "
                                   "description game/package.json";
  QTest::newRow("another name") << EDocumentRole::Package << "beta/package.json" << ESignatureCheck::OtherDocument
                                << "signed for the package description game/package.json, not for the package "
                                   "description beta/package.json";
  QTest::newRow("the configuration") << EDocumentRole::Configuration << "velmetadata.json"
                                     << ESignatureCheck::OtherDocument
                                     << "signed for the package description game/package.json, not for the "
                                        "configuration velmetadata.json";
}

// A valid signature counts only for the document it names; the refusal
// names both.
void TestReleaseSignature::documentAndPlace()
{
  QFETCH(EDocumentRole, Role);
  QFETCH(QString, Name);
  QFETCH(ESignatureCheck, Expected);
  QFETCH(QString, Reason);
  const QByteArray File = signingKey().signatureFile(Document, terms());
  const std::vector<TReleaseKey> Keys{signingKey().publicKey()};
  const TSignedDocument Asked{Role, Name};
  const auto Check = checkReleaseSignature(Document, File, Keys, Asked, EExpiry::Enforced, SignedAt);
  QCOMPARE(Check.result, Expected);
  QCOMPARE(signatureRefusalText(Check, Asked), Reason);
  // Without a place to compare with (a publisher's check), only the bytes count.
  QCOMPARE(checkReleaseSignature(Document, File, Keys, std::nullopt, EExpiry::Enforced, SignedAt).result,
           ESignatureCheck::Valid);
  QCOMPARE(Check.signature->document, Place);
  QCOMPARE(Check.signature->signedAt, SignedAt);
}

void TestReleaseSignature::documentNames_data()
{
  QTest::addColumn<QString>("Root");
  QTest::addColumn<QString>("Path");
  QTest::addColumn<QString>("Name");
  QTest::addColumn<bool>("Valid");
  QTest::newRow("below") << "/www" << "/www/game/package.json" << "game/package.json" << true;
  QTest::newRow("the configuration") << "/www" << "/www/velmetadata.json" << "velmetadata.json" << true;
  QTest::newRow("beside") << "/www/launcher" << "/www/game/package.json" << "../game/package.json" << true;
  QTest::newRow("dot segments") << "/www/./a/../" << "/www//game/./package.json" << "game/package.json" << true;
  QTest::newRow("space") << "/www" << "/www/my game/package.json" << "my game/package.json" << true;
  QTest::newRow("the root itself") << "/www" << "/www" << "." << false;
  QTest::newRow("only climbing") << "/www/a/b" << "/www" << "../../" << false;
  QTest::newRow("climbing inside") << "" << "" << "game/../package.json" << false;
  QTest::newRow("line break") << "" << "" << "game/pack\nage.json" << false;
  QTest::newRow("empty segment") << "" << "" << "game//package.json" << false;
  QTest::newRow("too long") << "" << "" << QString(MaxDocumentNameBytes + 1, 'a') << false;
}

void TestReleaseSignature::documentNames()
{
  QFETCH(QString, Root);
  QFETCH(QString, Path);
  QFETCH(QString, Name);
  QFETCH(bool, Valid);
  if (!Root.isEmpty())
    QCOMPARE(documentNameBelow(Root, Path), Name);
  QCOMPARE(isDocumentName(Name), Valid);
  // Nothing is signed under a name that cannot be checked.
  QCOMPARE(signingKey().signatureFile(Document, terms(Expiry, {EDocumentRole::Package, Name})).isEmpty(), !Valid);
}

void TestReleaseSignature::expiry()
{
  // Milliseconds are cut off at signing; the expiry second itself is valid.
  const QByteArray File = signingKey().signatureFile(Document, terms(Expiry.addMSecs(999)));
  const std::vector<TReleaseKey> Keys{signingKey().publicKey()};
  const auto Check = [&](const QByteArray& Checked, const std::vector<TReleaseKey>& Accepted, EExpiry Rule,
                         const QDateTime& Now) {
    return checkReleaseSignature(Checked, File, Accepted, Place, Rule, Now).result;
  };
  QCOMPARE(Check(Document, Keys, EExpiry::Enforced, Expiry), ESignatureCheck::Valid);
  QCOMPARE(Check(Document, Keys, EExpiry::Enforced, Expiry.addSecs(1)), ESignatureCheck::Expired);
  QCOMPARE(Check(Document, Keys, EExpiry::Ignored, Expiry.addYears(5)), ESignatureCheck::Valid);
  // An expired signature of another document is a bad one, not an expired one.
  QCOMPARE(Check(Document + " ", Keys, EExpiry::Enforced, Expiry.addSecs(1)), ESignatureCheck::BadSignature);
  QCOMPARE(Check(Document, {}, EExpiry::Enforced, Expiry), ESignatureCheck::UnknownKey);
}

void TestReleaseSignature::keyFiles()
{
  QTemporaryDir Directory;
  const QString Path = Directory.filePath("release.key");
  const mode_t Mask = ::umask(0);  // the mode must not rely on the umask
  QString Error;
  const bool Written = signingKey().writeNewKeyFiles(Path, Error);
  ::umask(Mask);
  QVERIFY2(Written, qPrintable(Error));
  struct stat Status = {};
  QCOMPARE(::stat(QFile::encodeName(Path).constData(), &Status), 0);
  QCOMPARE(Status.st_mode & 07777, mode_t(0600));
  QCOMPARE(testsupport::readWholeFile(Path + ".pub"), signingKey().publicKey().text() + "\n");
  QCOMPARE(QDir(Directory.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"release.key", "release.key.pub"}));

  // The key read back makes the same signatures (Ed25519 is deterministic).
  const auto Read = TSigningKey::readFile(Path, Error);
  QVERIFY2(Read, qPrintable(Error));
  QCOMPARE(Read->signatureFile(Document, terms()), signingKey().signatureFile(Document, terms()));

  // Existing files are never replaced: neither the private key, nor the
  // public one, nor what a link points to.
  const QByteArray Private = testsupport::readWholeFile(Path);
  QVERIFY(!newReleaseKey().writeNewKeyFiles(Path, Error));
  QVERIFY2(Error.contains("exists already"), qPrintable(Error));
  QCOMPARE(testsupport::readWholeFile(Path), Private);
  testsupport::writeWholeFile(Directory.filePath("only.key.pub"), "mine");
  QVERIFY(!newReleaseKey().writeNewKeyFiles(Directory.filePath("only.key"), Error));
  QVERIFY(!QFile::exists(Directory.filePath("only.key")));
  QCOMPARE(testsupport::readWholeFile(Directory.filePath("only.key.pub")), QByteArray("mine"));
  QVERIFY(QFile::link(Directory.filePath("elsewhere"), Directory.filePath("link.key")));
  QVERIFY(!newReleaseKey().writeNewKeyFiles(Directory.filePath("link.key"), Error));
  QVERIFY(!QFile::exists(Directory.filePath("elsewhere")));

  // Files that are no Ed25519 private key are refused with the path.
  testsupport::writeWholeFile(Directory.filePath("public.key"), signingKey().publicKey().text());
  QVERIFY(!TSigningKey::readFile(Directory.filePath("public.key"), Error));
  QVERIFY2(Error.contains("public.key: not an Ed25519 private key"), qPrintable(Error));
  QVERIFY(!TSigningKey::readFile(Directory.filePath("missing.key"), Error));
}

QTEST_GUILESS_MAIN(TestReleaseSignature)
#include "test_releasesignature.moc"
