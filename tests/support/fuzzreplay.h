#pragma once

// Rows and verdicts shared by the replays of the fuzzers' regression inputs
// (tests/<folder>/regressions/<target>/). A file named "bad-..." must take
// the failure path, one named "ok-..." the success path; every file must
// keep all promises of the interface.

#include "fuzzchecks.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

namespace fuzzreplay {

// One row per regression input of the target. An empty folder gives one row
// without a file, which fails: a replay must never pass by having nothing to
// replay.
inline void addRows(const QString& Folder, const QString& Target)
{
  QTest::addColumn<QString>("path");
  const QDir Directory(testsupport::sourceDirectory() + "/tests/" + Folder + "/regressions/" + Target);
  const QStringList Names = Directory.entryList(QDir::Files, QDir::Name);
  if (Names.isEmpty())
    QTest::newRow(qPrintable("no inputs for " + Target)) << QString();
  for (const QString& Name : Names)
    QTest::newRow(qPrintable(Name)) << Directory.filePath(Name);
}

inline QByteArray readInput(const QString& Path)
{
  if (Path.isEmpty())
    return QByteArray();
  return testsupport::readWholeFile(Path);
}

// The outcome must keep every promise and take the path the file name asks for.
inline void verifyOutcome(const QString& Path, const fuzzchecks::TOutcome& Outcome)
{
  QVERIFY2(!Path.isEmpty(), "the regression folder is empty");
  QVERIFY2(Outcome.violation.isEmpty(), qPrintable(Outcome.violation));
  const QString Name = QFileInfo(Path).fileName();
  if (Name.startsWith("bad-"))
    QVERIFY2(!Outcome.accepted, "expected to take the failure path");
  if (Name.startsWith("ok-"))
    QVERIFY2(Outcome.accepted, "expected to take the success path");
}

} // namespace fuzzreplay
