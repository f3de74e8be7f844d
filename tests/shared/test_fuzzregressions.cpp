// Replays the inputs that the fuzzers of the payload container, the codecs,
// the hints parser, the block index and the range answers found or kept (tests/shared/regressions/<target>/)
// through the same checks the fuzzers run. A file named "bad-..." must take
// the failure path (refused, not decoded, no hints), one named "ok-..." the
// success path; every file must keep all promises of the interface.
#include "fuzzchecks.h"
#include "fuzzreplay.h"
#include "testsupport.h"

#include <QDir>
#include <QtTest>

using fuzzreplay::readInput;
using fuzzreplay::verifyOutcome;

namespace {

void addRows(const QString& Target)
{
  fuzzreplay::addRows("shared", Target);
}

} // namespace

class TestFuzzRegressions : public QObject
{
  Q_OBJECT

private slots:
  void payload_data() { addRows("payload"); }
  void payload()
  {
    QFETCH(QString, path);
    const QByteArray Data = readInput(path);
    verifyOutcome(path, fuzzchecks::checkPayload(Data));
    if (QTest::currentTestFailed())
      return;
    // The unbounded call takes the same path: none of these inputs declares
    // more than the fuzzer's limit and still decodes.
    QByteArray Result;
    const bool Accepted = shared::unpackPayload(Data, Result);
    QCOMPARE(Accepted, fuzzchecks::checkPayload(Data).accepted);
    if (!Accepted)
      QCOMPARE(Result, Data);
  }

  void csc_data() { addRows("csc"); }
  void csc()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkCodec(shared::codecs::decodeCsc, readInput(path)));
  }

  void crush_data() { addRows("crush"); }
  void crush()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkCodec(shared::codecs::decodeCrush, readInput(path)));
  }

  void zpaq_data() { addRows("zpaq"); }
  void zpaq()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkCodec(shared::codecs::decodeZpaq, readInput(path),
                                               fuzzchecks::kZpaqCapacityMask));
  }

  void hints_data() { addRows("hints"); }
  void hints()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkHints(readInput(path)));
  }

  void blockindex_data() { addRows("blockindex"); }
  void blockindex()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkBlockIndex(readInput(path)));
  }

  void byteranges_data() { addRows("byteranges"); }
  void byteranges()
  {
    QFETCH(QString, path);
    verifyOutcome(path, fuzzchecks::checkRangeAnswer(readInput(path)));
  }

  // The checks themselves must notice broken promises, or the replay proves
  // nothing: a decoder that reports more than its capacity, one whose output
  // depends on the buffer's earlier content, and a refused container whose
  // result is not the input.
  void checksDetectBrokenPromises()
  {
    const auto Overreporting = [](const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t Capacity,
                                   std::size_t& Produced) {
      Produced = Capacity + 1;
      return true;
    };
    QVERIFY(!fuzzchecks::checkCodec(Overreporting, fuzzchecks::codecInput(4, "x")).violation.isEmpty());

    const auto ReadsUnwritten = [](const std::uint8_t*, std::size_t, std::uint8_t* Output, std::size_t Capacity,
                                   std::size_t& Produced) {
      // Copies the byte behind the first one before writing it.
      Output[0] = Output[Capacity - 1];
      Produced = 1;
      return true;
    };
    QVERIFY(!fuzzchecks::checkCodec(ReadsUnwritten, fuzzchecks::codecInput(4, "x")).violation.isEmpty());

    const auto Honest = [](const std::uint8_t* Input, std::size_t InputSize, std::uint8_t* Output,
                           std::size_t Capacity, std::size_t& Produced) {
      Produced = std::min(InputSize, Capacity);
      std::memcpy(Output, Input, Produced);
      return true;
    };
    const fuzzchecks::TOutcome Fine = fuzzchecks::checkCodec(Honest, fuzzchecks::codecInput(4, "xy"));
    QVERIFY2(Fine.violation.isEmpty(), qPrintable(Fine.violation));
    QVERIFY(Fine.accepted);

    // A stored container that decodes, and the same with its payload cut.
    const QByteArray Stored = shared::packPayload(shared::EPayloadFormat::Stored, "abc", 3);
    QVERIFY(fuzzchecks::checkPayload(Stored).accepted);
    const fuzzchecks::TOutcome Cut = fuzzchecks::checkPayload(Stored.left(Stored.size() - 1));
    QVERIFY(Cut.violation.isEmpty());
    QVERIFY(!Cut.accepted);
  }
};

QTEST_GUILESS_MAIN(TestFuzzRegressions)
#include "test_fuzzregressions.moc"
