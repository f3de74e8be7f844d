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
Q_DECLARE_METATYPE(TMutation)

namespace {

using testsupport::newReleaseKey;

const TSigningKey& signingKey()
{
  return testsupport::firstReleaseKey();
}

const QDateTime Expiry = QDateTime(QDate(2031, 5, 6), QTime(7, 8, 9), Qt::UTC);
const QByteArray Document = R"({"version": "2.0", "files": []})";

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
  QTest::newRow("version 2") << replaceLine(0, "ashgrove-signature 2") << ESignatureCheck::Malformed;
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
  const QByteArray Signed = signingKey().signatureFile(Document, Expiry);
  QVERIFY(Signed.startsWith("ashgrove-signature 1\nkey ashgrove-ed25519:"));
  QVERIFY(Signed.contains("\nexpires 2031-05-06T07:08:09Z\nsignature "));
  const QByteArray File = Mutation(Signed);
  const std::vector<TReleaseKey> Keys{signingKey().publicKey()};
  const QDateTime Before = Expiry.addDays(-1);
  QCOMPARE(checkReleaseSignature(Document, File, Keys, EExpiry::Enforced, Before), Expected);
  QCOMPARE(bool(TReleaseSignature::parse(File)), Expected != ESignatureCheck::Malformed && Expected != ESignatureCheck::Missing);
  if (Expected == ESignatureCheck::Valid)
    QCOMPARE(TReleaseSignature::parse(File)->toFile(), File);
}

void TestReleaseSignature::expiry()
{
  // Milliseconds are cut off at signing; the expiry second itself is valid.
  const QByteArray File = signingKey().signatureFile(Document, Expiry.addMSecs(999));
  const std::vector<TReleaseKey> Keys{signingKey().publicKey()};
  QCOMPARE(checkReleaseSignature(Document, File, Keys, EExpiry::Enforced, Expiry), ESignatureCheck::Valid);
  QCOMPARE(checkReleaseSignature(Document, File, Keys, EExpiry::Enforced, Expiry.addSecs(1)), ESignatureCheck::Expired);
  QCOMPARE(checkReleaseSignature(Document, File, Keys, EExpiry::Ignored, Expiry.addYears(5)), ESignatureCheck::Valid);
  // An expired signature of another document is a bad one, not an expired one.
  QCOMPARE(checkReleaseSignature(Document + " ", File, Keys, EExpiry::Enforced, Expiry.addSecs(1)),
           ESignatureCheck::BadSignature);
  QCOMPARE(checkReleaseSignature(Document, File, {}, EExpiry::Enforced, Expiry), ESignatureCheck::UnknownKey);
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
  QCOMPARE(Read->signatureFile(Document, Expiry), signingKey().signatureFile(Document, Expiry));

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
