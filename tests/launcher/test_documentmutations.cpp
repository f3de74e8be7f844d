// Feeds many deterministic mutations of valid documents through every reader
// of network input: the package and asset description reader, the
// configuration document reader, the hints parser and the CDN trace parser.
// Each mutant must keep the promises the fuzz checks test (take the
// documented failure or default path, never throw anything else, keep the
// results consistent); under the sanitizers of the fuzz build a crash or an
// out-of-bounds access shows here too. The mutations are the kinds of bad
// input a server can send: cut-off documents, every value replaced by a
// value of the wrong type or a hostile number, a wrapped top level, deep
// nesting, invalid UTF-8, duplicate keys, non-hex hashes, strange URL
// schemes, and seeded random byte edits.
#include "cdntracefuzzchecks.h"
#include "launcherfuzzchecks.h"
#include "testsupport.h"

#include "shared/packageconfigurationreader.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <functional>
#include <random>

namespace {

using TCheck = std::function<fuzzchecks::TOutcome(const QByteArray&)>;

QList<QByteArray> seedDocuments(const QString& Target)
{
  const QDir Directory(testsupport::sourceDirectory() + "/fuzz/seeds/" + Target);
  QList<QByteArray> Documents;
  for (const QString& Name : Directory.entryList(QDir::Files, QDir::Name))
    Documents << testsupport::readWholeFile(Directory.filePath(Name));
  return Documents;
}

// Values put in place of every value of a document, one at a time.
QList<QJsonValue> hostileValues()
{
  QJsonArray Deep;
  for (int Level = 0; Level < 200; ++Level)
    Deep = QJsonArray{Deep};
  return {QJsonValue(QJsonValue::Null), QJsonValue(true), QJsonValue(-1), QJsonValue(-9.3e18),
          QJsonValue(1e300), QJsonValue(-1e300), QJsonValue(0.5), QJsonValue(18446744073709551615.0),
          QJsonValue(2147483648.0), QJsonValue(""), QJsonValue("x"), QJsonValue("-7"), QJsonValue("99999999999999999999999"),
          QJsonValue("zz-not-hex-zz"), QJsonValue("file:///dev/zero"), QJsonValue("javascript:alert(1)"),
          QJsonValue("ftp://example.org/x"), QJsonValue("../../../../etc/passwd"), QJsonValue(QJsonArray()),
          QJsonValue(QJsonObject()), QJsonValue(QJsonArray{1, "a", QJsonObject()}), QJsonValue(Deep)};
}

// Every document obtained by replacing one value of Root (at any depth,
// including the root itself) by one of the hostile values.
void replaceEachValue(const QJsonValue& Value, const std::function<QJsonValue(const QJsonValue&)>& Rebuild,
                      QList<QByteArray>& Out)
{
  for (const QJsonValue& Hostile : hostileValues()) {
    const QJsonValue Root = Rebuild(Hostile);
    Out << (Root.isArray() ? QJsonDocument(Root.toArray()) : QJsonDocument(Root.toObject()))
               .toJson(QJsonDocument::Compact);
  }
  if (Value.isObject()) {
    const QJsonObject Object = Value.toObject();
    for (auto It = Object.begin(); It != Object.end(); ++It) {
      const QString Key = It.key();
      replaceEachValue(It.value(), [=](const QJsonValue& Replacement) {
        QJsonObject Changed = Object;
        Changed[Key] = Replacement;
        return Rebuild(Changed);
      }, Out);
    }
  } else if (Value.isArray()) {
    const QJsonArray Array = Value.toArray();
    for (int Index = 0; Index < Array.size(); ++Index) {
      replaceEachValue(Array.at(Index), [=](const QJsonValue& Replacement) {
        QJsonArray Changed = Array;
        Changed[Index] = Replacement;
        return Rebuild(Changed);
      }, Out);
    }
  }
}

QList<QByteArray> typeMutations(const QByteArray& Document)
{
  QList<QByteArray> Out;
  const QJsonDocument Json = QJsonDocument::fromJson(Document);
  if (Json.isNull())
    return Out;
  const QJsonValue Root = Json.isArray() ? QJsonValue(Json.array()) : QJsonValue(Json.object());
  // Scalar top levels are not JSON documents at all: the text mutations
  // cover those.
  replaceEachValue(Root, [](const QJsonValue& Replacement) {
    return Replacement.isArray() || Replacement.isObject() ? Replacement : QJsonValue(QJsonArray{Replacement});
  }, Out);
  return Out;
}

// Textual mutations that a JSON tree cannot express.
QList<QByteArray> textMutations(const QByteArray& Document)
{
  QList<QByteArray> Out;
  // Cut off at every position.
  for (int Length = 0; Length < Document.size(); ++Length)
    Out << Document.left(Length);
  // Wrapped, repeated, or replaced top levels.
  Out << "[" + Document + "]" << "{\"x\":" + Document + "}" << Document + Document << "null" << "[]" << "{}"
      << "\"" + Document.toHex() + "\"" << "1e999" << QByteArray(100000, '[') << QByteArray(100000, '{')
      << QByteArray(5000, '[') + Document + QByteArray(5000, ']');
  // Invalid UTF-8 and NUL bytes at regular positions: a lone continuation
  // byte, a truncated sequence, an overlong "/", a surrogate, 0xFF.
  const QList<QByteArray> Bytes = {"\x80", "\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xFF", QByteArray(1, '\0')};
  for (int Position = 0; Position < Document.size(); Position += 5) {
    for (const QByteArray& Insert : Bytes)
      Out << Document.left(Position) + Insert + Document.mid(Position);
  }
  // Duplicate keys: every key of the document repeated with an ill-typed
  // value before and after the original.
  int From = 0;
  while ((From = Document.indexOf("\":", From)) >= 0) {
    const int Start = Document.lastIndexOf('"', From - 1);
    if (Start >= 0) {
      const QByteArray Key = Document.mid(Start, From - Start + 2);
      const int Open = Document.lastIndexOf('{', Start);
      if (Open >= 0)
        Out << Document.left(Open + 1) + Key + "[[{}]]," + Document.mid(Open + 1);
      Out << Document.left(Start) + Key + "\"dup\"," + Document.mid(Start);
    }
    From += 2;
  }
  // Huge number literals in place of every number.
  for (int Position = 0; Position < Document.size(); ++Position) {
    const char Byte = Document.at(Position);
    if (Byte >= '0' && Byte <= '9' && (Position == 0 || !(Document.at(Position - 1) >= '0' && Document.at(Position - 1) <= '9'))) {
      for (const QByteArray& Number : {QByteArray("1e400"), QByteArray("-1e400"), QByteArray(400, '9'),
                                       QByteArray("-0"), QByteArray("00012"), QByteArray("1.")})
        Out << Document.left(Position) + Number + Document.mid(Position);
    }
  }
  return Out;
}

// Seeded random edits: byte flips, insertions, deletions, copies of spans.
QList<QByteArray> randomMutations(const QByteArray& Document, std::uint32_t Seed, int Count)
{
  std::mt19937 Random(Seed);
  static const QByteArray Tokens[] = {"{", "}", "[", "]", ",", ":", "\"", "\\", "\\u0000", "\\ud800", "-", "e",
                                      "1e308", "true", "null", "\n", "=", "%00", "://"};
  QList<QByteArray> Out;
  for (int Round = 0; Round < Count; ++Round) {
    QByteArray Mutant = Document;
    const int Edits = 1 + int(Random() % 4);
    for (int Edit = 0; Edit < Edits; ++Edit) {
      const int Size = Mutant.size();
      const int Position = Size ? int(Random() % std::uint32_t(Size)) : 0;
      switch (Random() % 5) {
      case 0:
        if (Size)
          Mutant[Position] = char(Mutant.at(Position) ^ (1 << (Random() % 8)));
        break;
      case 1:
        Mutant.insert(Position, char(Random() % 256));
        break;
      case 2:
        Mutant.remove(Position, 1 + int(Random() % 8));
        break;
      case 3:
        Mutant.insert(Position, Tokens[Random() % (sizeof(Tokens) / sizeof(Tokens[0]))]);
        break;
      default:
        if (Size) {
          const int Source = int(Random() % std::uint32_t(Size));
          Mutant.insert(Position, Mutant.mid(Source, 1 + int(Random() % 32)));
        }
        break;
      }
    }
    Out << Mutant;
  }
  return Out;
}

// Runs every mutant through the check; reports the first broken promise with
// the mutant that broke it. Returns how many mutants were accepted.
int runMutants(const QString& Kind, const QList<QByteArray>& Mutants, const TCheck& Check)
{
  int Accepted = 0;
  for (const QByteArray& Mutant : Mutants) {
    fuzzchecks::TOutcome Outcome;
    try {
      Outcome = Check(Mutant);
    } catch (const std::exception& Error) {
      Outcome.violation = QString("exception: ") + Error.what();
    } catch (...) {
      Outcome.violation = "unknown exception";
    }
    if (!Outcome.violation.isEmpty()) {
      QTest::qFail(qPrintable(Kind + ": " + Outcome.violation + "\ninput: " + QString::fromLatin1(Mutant.left(400).toPercentEncoding("{}[]\":,. _-"))),
                   __FILE__, __LINE__);
      return -1;
    }
    Accepted += Outcome.accepted ? 1 : 0;
  }
  qInfo("%s: %d mutants, %d accepted", qPrintable(Kind), int(Mutants.size()), Accepted);
  return Accepted;
}

// All mutation kinds of all seed documents of one reader. Type mutations keep
// the document JSON, so the reader must take its success path for every one
// of them: ill-typed members take their defaults, they do not fail the whole
// document.
void runAllMutations(const QString& Target, const TCheck& Check, bool TypeMutantsAccepted)
{
  const QList<QByteArray> Seeds = seedDocuments(Target);
  QVERIFY2(!Seeds.isEmpty(), qPrintable("no seed documents for " + Target));
  std::uint32_t Seed = 20261208;
  for (const QByteArray& Document : Seeds) {
    const QList<QByteArray> Typed = typeMutations(Document);
    const int TypedAccepted = runMutants(Target + " type mutation", Typed, Check);
    if (QTest::currentTestFailed())
      return;
    if (TypeMutantsAccepted)
      QCOMPARE(TypedAccepted, Typed.size());
    runMutants(Target + " text mutation", textMutations(Document), Check);
    if (QTest::currentTestFailed())
      return;
    runMutants(Target + " random mutation", randomMutations(Document, Seed++, 10000), Check);
    if (QTest::currentTestFailed())
      return;
  }
}

} // namespace

class TestDocumentMutations : public QObject
{
  Q_OBJECT

private slots:
  // The readers log every refused document: keep the output to the results.
  void initTestCase()
  {
    qInstallMessageHandler([](QtMsgType Type, const QMessageLogContext&, const QString& Message) {
      if (Type == QtInfoMsg || Type == QtFatalMsg)
        fprintf(stderr, "%s\n", qPrintable(Message));
    });
  }

  // The package description and the asset description are mutated each in
  // turn, the other one kept valid.
  void packageDescription()
  {
    const QList<QByteArray> Seeds = seedDocuments("packageconfiguration");
    QVERIFY(!Seeds.isEmpty());
    const QString Hash(64, 'c');
    const QByteArray Asset =
        QJsonDocument(QJsonObject{{"version", 7},
                                  {"chunks", QJsonArray{QJsonObject{{"url", "a0"}, {"packedsize", 4}, {"unpackedsize", 8}}}},
                                  {"files", QJsonArray{QJsonObject{{"localfile", "a.dat"}, {"unpackedsize", 8},
                                                                   {"unpackedhash", Hash}, {"chunks", QJsonArray{0}}}}}})
            .toJson();
    runAllMutations("packageconfiguration", [](const QByteArray& Data) {
      return fuzzchecks::checkPackageConfiguration(Data);
    }, false);
    if (QTest::currentTestFailed())
      return;
    // Mutated asset descriptions behind a valid package description.
    const QByteArray Package =
        QJsonDocument(QJsonObject{{"version", "3"},
                                  {"files", QJsonArray{QJsonObject{{"localfile", "b"}, {"unpackedsize", 1},
                                                                   {"unpackedhash", Hash}, {"url", "b"}}}}})
            .toJson();
    const TCheck AssetCheck = [&](const QByteArray& Mutant) {
      return fuzzchecks::checkPackageConfiguration(fuzzchecks::joinDocuments(Package, Mutant));
    };
    // Ill-typed optional members take their defaults; a top level that is
    // no longer an object, or ill-typed members a description needs, make
    // the description unusable.
    const QList<QByteArray> Typed = typeMutations(Asset);
    const auto Descriptions = std::count_if(Typed.begin(), Typed.end(), [](const QByteArray& Mutant) {
      const QJsonDocument Parsed = QJsonDocument::fromJson(Mutant);
      return Parsed.isObject() && shared::descriptionDocumentProblem(Parsed.object(), "asset description", false).isEmpty();
    });
    QVERIFY(Descriptions > 0 && Descriptions < Typed.size());
    QCOMPARE(runMutants("asset type mutation", Typed, AssetCheck), int(Descriptions));
    runMutants("asset text mutation", textMutations(Asset), AssetCheck);
    runMutants("asset random mutation", randomMutations(Asset, 7, 10000), AssetCheck);
  }

  // Sizes and hashes of hostile documents take their documented defaults:
  // a size that is negative, fractional beyond range, of the wrong type or
  // not a number reads 0; a numeric string reads its value; hash text keeps
  // only what is hex; no value makes the reader allocate by what it claims.
  void packageDescriptionDefaults()
  {
    using namespace orvale::launcher;
    const QByteArray Document = R"({"version": "1",
      "dictionaries": [{"url": "d/x.dict", "size": 100, "hash": "cccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccccc"}],
      "chunks": [
        {"url": "c0", "packedsize": -5, "unpackedsize": 1e300, "unpackedhash": "zz0A0b!!"},
        {"url": "c1", "packedsize": "20", "unpackedsize": [1], "unpackedhash": 12, "dictionary": 0,
         "blockindex": "c1.blocks", "blockindexsize": 9, "blockindexhash": "dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"},
        {"url": "c2", "packedsize": "-3", "unpackedsize": "1e5", "packedhash": "0g1", "unpack": false, "dictionary": 0},
        {"url": "c3", "packedsize": 18446744073709551615, "unpackedsize": 4294967296}],
      "files": [{"localfile": "a", "unpackedsize": "0", "unpackedhash": "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
                 "chunks": [0, 1, 2, 3, 1e300, -1, 2147483648, "1"]},
                {"localfile": "b", "unpackedsize": 99999999999999999999999999, "chunks": 3,
                 "unpackedhash": "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb"}]})";
    const TPackageConfigurationReader Reader(Document, QByteArray(), QUrl("https://h/p/package.json"), QUrl());
    QVERIFY(Reader.isValid());
    QCOMPARE(int(Reader.chunks().size()), 4);
    QCOMPARE(Reader.chunks()[0].packedSize, std::uint64_t(0));
    QCOMPARE(Reader.chunks()[0].unpackedSize, std::uint64_t(0));
    QCOMPARE(Reader.chunks()[0].unpackedHash, QByteArray::fromHex("0A0b"));
    QCOMPARE(Reader.chunks()[1].packedSize, std::uint64_t(20));
    QCOMPARE(Reader.chunks()[1].unpackedSize, std::uint64_t(0));
    QVERIFY(Reader.chunks()[1].unpackedHash.isEmpty());
    QCOMPARE(Reader.chunks()[2].packedSize, std::uint64_t(0));
    QCOMPARE(Reader.chunks()[2].packedHash, QByteArray::fromHex("0g1"));
    QCOMPARE(Reader.chunks()[3].unpackedSize, std::uint64_t(4294967296));
    // A piece packed with a dictionary names it, and offers no blocks (they
    // would not decode on their own); a stored piece needs none.
    QVERIFY(!Reader.chunks()[0].dictionary);
    QVERIFY(Reader.chunks()[1].dictionary);
    QCOMPARE(Reader.chunks()[1].dictionary->url.toString(), Reader.chunks()[0].url.toString().replace("c0", "d/x.dict"));
    QCOMPARE(Reader.chunks()[1].dictionary->size, std::uint64_t(100));
    QCOMPARE(Reader.chunks()[1].dictionary->hash, QByteArray(32, char(0xcc)));
    QVERIFY(!Reader.chunks()[1].offersBlocks());
    QVERIFY(!Reader.chunks()[2].dictionary);
    const auto File = Reader.findFile("a");
    QVERIFY(File != Reader.files().end());
    QCOMPARE(File->unpackedSize, std::uint64_t(0));
    QCOMPARE(File->unpackedHash, QByteArray(32, char(0xaa)));
    // Indices that no int32 holds read -1, outside every chunk vector, so
    // they can never alias a real chunk; an ill-typed index takes the
    // default 0 like every other ill-typed member.
    const std::vector<std::int32_t> Expected = {0, 1, 2, 3, -1, -1, -1, 0};
    QCOMPARE(File->chunkIndices, Expected);
    const auto Other = Reader.findFile("b");
    QVERIFY(Other != Reader.files().end());
    QCOMPARE(Other->unpackedSize, std::uint64_t(0));
    QCOMPARE(Other->unpackedHash, QByteArray(32, char(0xbb)));
    QVERIFY(Other->chunkIndices.empty());
  }

  void configurationDocument()
  {
    runAllMutations("launcherconfiguration", [](const QByteArray& Data) {
      return fuzzchecks::checkLauncherConfiguration(Data);
    }, true);
  }

  void hints()
  {
    runAllMutations("hints", [](const QByteArray& Data) { return fuzzchecks::checkHints(Data); }, true);
  }

  void cdnTrace()
  {
    const QList<QByteArray> Seeds = seedDocuments("cdntrace");
    QVERIFY(!Seeds.isEmpty());
    std::uint32_t Seed = 99;
    for (const QByteArray& Document : Seeds) {
      runMutants("cdntrace text mutation", textMutations(Document), fuzzchecks::checkCdnTrace);
      runMutants("cdntrace random mutation", randomMutations(Document, Seed++, 10000), fuzzchecks::checkCdnTrace);
    }
  }
};

QTEST_MAIN(TestDocumentMutations)
#include "test_documentmutations.moc"
