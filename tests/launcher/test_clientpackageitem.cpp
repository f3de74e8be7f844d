#include "engine/packagefiledownloader.h"
#include "engine/types.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/progresstexts.h"
#include "launcher/ui/qcontextpushbutton.h"

#include "testhttpserver.h"
#include "uitesthelpers.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace orvale::launcher;
using testsupport::TTestHttpServer;
using uitest::makePackage;
using uitest::TPackageSetup;

Q_DECLARE_METATYPE(ELocalPackageStatus)

namespace {

// A tile placed in a shown host widget, as in the window.
struct TTileHost
{
  explicit TTileHost(std::shared_ptr<TPackage> Package, bool ShowNames = false)
    : tile(new TClientPackageLayoutItem(std::move(Package), ShowNames))
  {
    auto* Layout = new QVBoxLayout(&host);
    Layout->addLayout(tile);
    host.show();
  }

  QWidget host;
  TClientPackageLayoutItem* tile;
};

} // namespace

class TestClientPackageItem : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void buttonByStatus_data();
  void buttonByStatus();
  void unknownStatusHasNoMenu();
  void upToDateOffersVerify();
  void buttonClickNamesThePackage();
  void logoPaths_data();
  void logoPaths();
  void logoWithLinkTarget();
  void statusChangeRefreshesTheTile();
  void defaultCheckboxSignals();
  void nameAndVersionLabels();
  void rateFormatting_data();
  void rateFormatting();
  void progressValuesAndMegabytes();
  void phaseProgress();
  void downloadProgress();
  void downloadRateComesFromTheDownloader();
  void finishRestoresTheTile();
};

void TestClientPackageItem::initTestCase()
{
  registerLauncherMetaTypes();
}

void TestClientPackageItem::buttonByStatus_data()
{
  QTest::addColumn<ELocalPackageStatus>("Status");
  QTest::addColumn<QString>("Colour");
  QTest::addColumn<QString>("Action");
  QTest::addColumn<int>("ContextActions");
  QTest::newRow("unknown") << ELocalPackageStatus::Unknown << "Red" << "" << 0;
  QTest::newRow("not installed") << ELocalPackageStatus::NotInstalled << "Blue" << "Download" << 0;
  QTest::newRow("partial") << ELocalPackageStatus::PartiallyInstalled << "Orange" << "Update" << 0;
  QTest::newRow("update") << ELocalPackageStatus::UpdateAvailable << "Orange" << "Update" << 0;
  QTest::newRow("up to date") << ELocalPackageStatus::UpToDate << "Green" << "Play" << 1;
  QTest::newRow("out of range") << ELocalPackageStatus(17) << "Green" << "Play" << 1;
}

void TestClientPackageItem::buttonByStatus()
{
  QFETCH(ELocalPackageStatus, Status);
  QFETCH(QString, Colour);
  QFETCH(QString, Action);
  QFETCH(int, ContextActions);
  TPackageSetup Setup;
  Setup.status = Status;
  TTileHost Host(makePackage(Setup));
  QContextPushButton* Button = Host.tile->button();
  const QString Style = Button->styleSheet();
  for (const char* State : {"idle", "hover", "pressed"})
    QVERIFY2(Style.contains(QString("url(:/images/launcher/Button_%1_%2.png) 4 4 4 4 repeat scale;").arg(Colour, State)),
             qPrintable(Style));
  QVERIFY(Style.contains(QString("image: url(:/images/launcher/Icon_%1.png);").arg(Action)));
  QCOMPARE(Style, packageButtonStyleSheet(Colour, Action));
  QVERIFY(Style.startsWith("\n\n        QPushButton {\n"));
  QCOMPARE(Button->toolTip(), Action);
  QCOMPARE(Button->size(), QSize(98, 40));
  QCOMPARE(Button->minimumSize(), QSize(98, 40));
  QCOMPARE(Button->maximumSize(), QSize(98, 40));
  QCOMPARE(Button->contextMenu()->actions().size(), ContextActions);
  // The checkbox only for an up-to-date package, keeping its place.
  QCOMPARE(Host.tile->defaultClientCheckBox()->isVisible(), Status == ELocalPackageStatus::UpToDate);
  QVERIFY(Host.tile->defaultClientCheckBox()->sizePolicy().retainSizeWhenHidden());
  QVERIFY(Button->isVisible());
  QVERIFY(!Host.tile->progressBar()->isVisible());
}

void TestClientPackageItem::unknownStatusHasNoMenu()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::Unknown;
  TTileHost Host(makePackage(Setup));
  QVERIFY(QTest::qWaitForWindowExposed(&Host.host));
  QSignalSpy Verify(Host.tile, &TClientPackageLayoutItem::verifyButtonClicked);
  QContextPushButton* Button = Host.tile->button();
  QContextMenuEvent Event(QContextMenuEvent::Mouse, QPoint(5, 5), Button->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(Button, &Event);
  QApplication::processEvents();
  QVERIFY(!Button->contextMenu()->isVisible());
  QVERIFY(Button->toolTip().isEmpty());
  QCOMPARE(Verify.count(), 0);
}

void TestClientPackageItem::upToDateOffersVerify()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::UpToDate;
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  QVERIFY(QTest::qWaitForWindowExposed(&Host.host));
  QSignalSpy Verify(Host.tile, &TClientPackageLayoutItem::verifyButtonClicked);
  QSignalSpy Clicked(Host.tile, &TClientPackageLayoutItem::buttonClicked);
  QContextPushButton* Button = Host.tile->button();
  QContextMenuEvent Event(QContextMenuEvent::Mouse, QPoint(5, 5), Button->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(Button, &Event);
  QTRY_VERIFY(Button->contextMenu()->isVisible());
  QCOMPARE(Button->contextMenu()->actions().size(), 1);
  QCOMPARE(Button->contextMenu()->actions().at(0)->text(), QString("Verify"));
  Button->contextMenu()->actions().at(0)->trigger();
  Button->contextMenu()->close();
  QCOMPARE(Verify.count(), 1);
  QCOMPARE(Verify.at(0).at(0).value<std::shared_ptr<TPackage>>(), Package);
  QCOMPARE(Clicked.count(), 0);

  // A status change away from up to date takes the action away again.
  Package->setLocalStatus(ELocalPackageStatus::UpdateAvailable);
  QVERIFY(Button->contextMenu()->actions().isEmpty());
  Package->setLocalStatus(ELocalPackageStatus::UpToDate);
  QCOMPARE(Button->contextMenu()->actions().size(), 1);
}

void TestClientPackageItem::buttonClickNamesThePackage()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::NotInstalled;
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  QVERIFY(QTest::qWaitForWindowExposed(&Host.host));
  QSignalSpy Clicked(Host.tile, &TClientPackageLayoutItem::buttonClicked);
  QTest::mouseClick(Host.tile->button(), Qt::LeftButton);
  QCOMPARE(Clicked.count(), 1);
  QCOMPARE(Clicked.at(0).at(0).value<std::shared_ptr<TPackage>>(), Package);
}

void TestClientPackageItem::logoPaths_data()
{
  QTest::addColumn<bool>("WithDescription");
  QTest::addColumn<QString>("Generation");
  QTest::addColumn<QString>("Variant");
  QTest::addColumn<ELocalPackageStatus>("Status");
  QTest::addColumn<QString>("Path");
  const ELocalPackageStatus UpToDate = ELocalPackageStatus::UpToDate;
  const ELocalPackageStatus Update = ELocalPackageStatus::UpdateAvailable;
  QTest::newRow("first generation, not up to date")
      << true << "first" << "beta" << Update << ":/images/launcher/AshgroveLogo_Classic_disabled.png";
  QTest::newRow("first generation, up to date")
      << true << "first" << "test" << UpToDate << ":/images/launcher/AshgroveLogo_Classic.png";
  QTest::newRow("preview") << true << "second" << "preview" << UpToDate << ":/images/launcher/AshgroveLogo_Preview.png";
  QTest::newRow("beta") << true << "second" << "beta" << Update << ":/images/launcher/AshgroveLogo_Beta_disabled.png";
  QTest::newRow("test") << true << "second" << "test" << UpToDate << ":/images/launcher/AshgroveLogo_Test.png";
  QTest::newRow("regular") << true << "second" << "regular" << UpToDate << ":/images/launcher/AshgroveLogo_QT.png";
  QTest::newRow("unknown variant") << true << "" << "" << ELocalPackageStatus::NotInstalled
                                   << ":/images/launcher/AshgroveLogo_QT_disabled.png";
  QTest::newRow("no description") << false << "" << "" << ELocalPackageStatus::Unknown
                                  << ":/images/launcher/AshgroveLogo_QT_disabled.png";
}

void TestClientPackageItem::logoPaths()
{
  QFETCH(bool, WithDescription);
  QFETCH(QString, Generation);
  QFETCH(QString, Variant);
  QFETCH(ELocalPackageStatus, Status);
  QFETCH(QString, Path);
  TPackageSetup Setup;
  Setup.name = "Ashgrove Client";
  Setup.withDescription = WithDescription;
  Setup.generation = Generation;
  Setup.variant = Variant;
  Setup.status = Status;
  const auto Package = makePackage(Setup);
  QCOMPARE(packageLogoPath(Package->currentDescription(), Status), Path);
  TTileHost Host(Package);
  QLabel* Logo = Host.tile->logoLabel();
  QCOMPARE(Logo->styleSheet(), "\n          QLabel {\n            image: url(" + Path + ");\n          }\n        ");
  QCOMPARE(Logo->toolTip(), QString("Ashgrove Client"));
  // Every logo exists and has the size of the label.
  QCOMPARE(QImage(Path).size(), Logo->size());
  QCOMPARE(Logo->size(), QImage(":/images/launcher/LauncherLogo_QT.png").size());
}

void TestClientPackageItem::logoWithLinkTarget()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::NotInstalled;
  Setup.logoLinkTarget = "https://www.ashgrove-online.example/classic?a=1&b=\"2\"";
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  QLabel* Logo = Host.tile->logoLabel();
  QCOMPARE(Logo->textFormat(), Qt::RichText);
  QVERIFY(Logo->openExternalLinks());
  QCOMPARE(Logo->text(), QString("<a href=\"https://www.ashgrove-online.example/classic?a=1&amp;b=%222%22\">"
                                 "<img src=\":/images/launcher/AshgroveLogo_QT_disabled.png\"/></a>"));
  Package->setLocalStatus(ELocalPackageStatus::UpToDate);
  QVERIFY(Logo->text().contains("\":/images/launcher/AshgroveLogo_QT.png\""));
}

void TestClientPackageItem::statusChangeRefreshesTheTile()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::NotInstalled;
  Setup.variant = "beta";
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  QVERIFY(!Host.tile->defaultClientCheckBox()->isVisible());
  Package->setLocalStatus(ELocalPackageStatus::UpToDate);
  QVERIFY(Host.tile->button()->styleSheet().contains("Button_Green_idle.png"));
  QCOMPARE(Host.tile->button()->toolTip(), QString("Play"));
  QVERIFY(Host.tile->logoLabel()->styleSheet().contains("AshgroveLogo_Beta.png)"));
  QVERIFY(Host.tile->defaultClientCheckBox()->isVisible());
  Package->setLocalStatus(ELocalPackageStatus::PartiallyInstalled);
  QVERIFY(Host.tile->button()->styleSheet().contains("Button_Orange_pressed.png"));
  QVERIFY(Host.tile->logoLabel()->styleSheet().contains("AshgroveLogo_Beta_disabled.png)"));
  QVERIFY(!Host.tile->defaultClientCheckBox()->isVisible());
}

void TestClientPackageItem::defaultCheckboxSignals()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::UpToDate;
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  QCheckBox* Box = Host.tile->defaultClientCheckBox();
  QCOMPARE(Box->text(), QString("Default Client"));
  QSignalSpy Changed(Host.tile, &TClientPackageLayoutItem::defaultChanged);
  Box->setChecked(true);
  QCOMPARE(Changed.count(), 1);
  QCOMPARE(Changed.at(0).at(0).value<std::shared_ptr<TPackage>>(), Package);
  QCOMPARE(Changed.at(0).at(1).toBool(), true);
  Box->setChecked(false);
  QCOMPARE(Changed.count(), 2);
  QCOMPARE(Changed.at(1).at(1).toBool(), false);
  // Partially checked says nothing.
  Box->setTristate(true);
  Box->setCheckState(Qt::PartiallyChecked);
  QCOMPARE(Changed.count(), 2);
  // Setting the same state again emits nothing.
  Host.tile->setDefaultClientChecked(false);
  QCOMPARE(Changed.count(), 3);
  Host.tile->setDefaultClientChecked(false);
  QCOMPARE(Changed.count(), 3);
}

void TestClientPackageItem::nameAndVersionLabels()
{
  TPackageSetup Setup;
  Setup.name = "Ashgrove <b>Beta</b>";
  Setup.version = "2.7.1";
  {
    TTileHost Host(makePackage(Setup), true);
    QVERIFY(Host.tile->nameLabel());
    QCOMPARE(Host.tile->nameLabel()->text(), Setup.name);
    // Names are shown as plain text, whatever they contain.
    QCOMPARE(Host.tile->nameLabel()->textFormat(), Qt::PlainText);
    QCOMPARE(Host.tile->versionLabel()->text(), QString("2.7.1"));
  }
  {
    TTileHost Host(makePackage(Setup), false);
    QVERIFY(!Host.tile->nameLabel());
  }
  Setup.version = "";
  {
    TTileHost Host(makePackage(Setup));
    QCOMPARE(Host.tile->versionLabel()->text(), QString("?"));
  }
  Setup.withDescription = false;
  {
    TTileHost Host(makePackage(Setup));
    QVERIFY(Host.tile->versionLabel()->text().isEmpty());
  }
}

void TestClientPackageItem::rateFormatting_data()
{
  QTest::addColumn<quint64>("Rate");
  QTest::addColumn<QString>("Text");
  QTest::newRow("zero") << quint64(0) << "0 B/s";
  QTest::newRow("1024") << quint64(1024) << "1024 B/s";
  QTest::newRow("1025") << quint64(1025) << "1.0 KB/s";
  QTest::newRow("kilo") << quint64(512000) << "512.0 KB/s";
  QTest::newRow("binary mega is still kilo") << quint64(1048576) << "1048.6 KB/s";
  QTest::newRow("mega") << quint64(1048577) << "1.0 MB/s";
  QTest::newRow("mega 2") << quint64(12345678) << "12.3 MB/s";
  QTest::newRow("binary giga is still mega") << quint64(1073741824) << "1073.7 MB/s";
  QTest::newRow("giga") << quint64(1073741825) << "1.1 GB/s";
}

void TestClientPackageItem::rateFormatting()
{
  QFETCH(quint64, Rate);
  QFETCH(QString, Text);
  QCOMPARE(formatTransferRate(Rate), Text);
}

void TestClientPackageItem::progressValuesAndMegabytes()
{
  QCOMPARE(progressBarValue(1500000, 3000000), std::optional<int>(5000));
  QCOMPARE(progressBarValue(0, 3000000), std::optional<int>(0));
  QCOMPARE(progressBarValue(3000000, 3000000), std::optional<int>(10000));
  QCOMPARE(progressBarValue(1, 3), std::optional<int>(3333));
  QCOMPARE(progressBarValue(2, 3), std::optional<int>(6667));
  QCOMPARE(progressBarValue(5, 0), std::optional<int>());
  QCOMPARE(progressBarValue(7, 5), std::optional<int>(10000));
  // Large installations keep their precision in the ratio.
  QCOMPARE(progressBarValue(30000000000ULL, 60000000000ULL), std::optional<int>(5000));
  QCOMPARE(formatMegabyteProgress(1500000, 3000000), QString("1.5/3.0 MB"));
  QCOMPARE(formatMegabyteProgress(0, 0), QString("0.0/0.0 MB"));
  QCOMPARE(formatMegabyteProgress(1949999, 12345678901ULL), QString("1.9/12345.7 MB"));
  QCOMPARE(transferRateFromTickMean(0, 500.0), quint64(0));
  QCOMPARE(transferRateFromTickMean(3, 102.9), quint64(1020));
  QCOMPARE(transferRateFromTickMean(1, 102.5), quint64(1020));
}

void TestClientPackageItem::phaseProgress()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::UpdateAvailable;
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  const auto Job = uitest::makeInstallation(Package);
  Host.tile->onInstallationOrUpdateStarted(*Job);
  QProgressBar* Bar = Host.tile->progressBar();
  QVERIFY(Bar->isVisible());
  QVERIFY(!Host.tile->button()->isVisible());
  QVERIFY(Bar->format().isEmpty());
  QCOMPARE(Bar->size(), QSize(98, 40));

  const struct { void (TPackageInstallation::*signal)(TFileSize, TFileSize); const char* text; } Phases[] = {
      {&TPackageInstallation::scanProgress, "Scanning..."},
      {&TPackageInstallation::writeProgress, "Writing..."},
      {&TPackageInstallation::verificationProgress, "Verifying..."},
  };
  for (const auto& Phase : Phases) {
    // Phase signals come from worker threads and are queued.
    emit(Job.get()->*Phase.signal)(2500000, 10000000);
    QVERIFY(Bar->format() != QString(Phase.text));  // queued: nothing before the event loop runs
    QTRY_COMPARE(Bar->format(), QString(Phase.text));
    QCOMPARE(Bar->maximum(), 10000);
    QCOMPARE(Bar->value(), 2500);
    QCOMPARE(Host.tile->versionLabel()->text(), QString("2.5/10.0 MB"));
    emit(Job.get()->*Phase.signal)(0, 0);
    QTRY_COMPARE(Host.tile->versionLabel()->text(), QString("0.0/0.0 MB"));
    // A total of 0 leaves the bar where it was.
    QCOMPARE(Bar->value(), 2500);
  }
}

void TestClientPackageItem::downloadProgress()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::NotInstalled;
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  const auto Job = uitest::makeInstallation(Package);
  Host.tile->onInstallationOrUpdateStarted(*Job);
  QProgressBar* Bar = Host.tile->progressBar();

  emit Job->downloader()->progress(1500000, 3000000, 0, 3000000);
  QCOMPARE(Bar->maximum(), 10000);
  QCOMPARE(Bar->value(), 5000);
  QCOMPARE(Host.tile->versionLabel()->text(), QString("1.5/3.0 MB"));
  // No rate sample yet.
  QCOMPARE(Bar->format(), QString("0 B/s"));

  // Downloaded completely: the writing share counts.
  emit Job->downloader()->progress(3000000, 3000000, 1000000, 4000000);
  QCOMPARE(Bar->value(), 2500);
  QCOMPARE(Bar->format(), QString("Writing..."));
  QCOMPARE(Host.tile->versionLabel()->text(), QString("1.0/4.0 MB"));
}

void TestClientPackageItem::downloadRateComesFromTheDownloader()
{
  // A chunk that never arrives keeps the download running while the test
  // feeds the downloader's own byte counts and progress tick.
  TTestHttpServer Server;
  Server.setFault("*", TTestHttpServer::TFault::stall());
  QTemporaryDir Directory;
  QVERIFY(Directory.isValid());

  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::NotInstalled;
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  const auto Job = uitest::makeInstallation(Package);

  TChunkInPackage Chunk;
  Chunk.url = Server.url("/chunks/a");
  Chunk.packedSize = 3000000;
  Chunk.unpackedSize = 3000000;
  Chunk.unpackedHash = QByteArray(32, '\x11');
  TFileToDownload File;
  File.localFile = "a.bin";
  File.unpackedSize = 3000000;
  File.chunks = {Chunk};
  File.chunksToDownload = {0};
  TPackageFileDownloader* Downloader = Job->downloader();
  Downloader->downloadFiles(QDir(Directory.path()), EReplacementMode::ReplaceFiles, {File});

  Host.tile->onInstallationOrUpdateStarted(*Job);
  QProgressBar* Bar = Host.tile->progressBar();
  // The bar starts at the downloader's byte counts.
  QCOMPARE(Bar->maximum(), 3000000);
  QCOMPARE(Bar->value(), 0);

  Downloader->onDownloadProgress(Chunk.url, 10250);
  Downloader->onProgressTick();
  // Ten ticks per second of the mean 10250 bytes per tick.
  QCOMPARE(Bar->format(), QString("102.5 KB/s"));
  QCOMPARE(Bar->value(), 34);
  QCOMPARE(Host.tile->versionLabel()->text(), QString("0.0/3.0 MB"));
}

void TestClientPackageItem::finishRestoresTheTile()
{
  TPackageSetup Setup;
  Setup.status = ELocalPackageStatus::UpdateAvailable;
  Setup.version = "3.1";
  const auto Package = makePackage(Setup);
  TTileHost Host(Package);
  const auto Job = uitest::makeInstallation(Package);
  Host.tile->onInstallationOrUpdateStarted(*Job);
  emit Job->downloader()->progress(1000000, 2000000, 0, 2000000);
  QCOMPARE(Host.tile->versionLabel()->text(), QString("1.0/2.0 MB"));

  Package->setLocalStatus(ELocalPackageStatus::UpToDate);
  // A queued phase signal still on its way when the job ends.
  emit Job->verificationProgress(5, 10);
  Host.tile->onInstallationOrUpdateFinished(*Job);
  QApplication::processEvents();
  QVERIFY(!Host.tile->progressBar()->isVisible());
  QVERIFY(Host.tile->button()->isVisible());
  QCOMPARE(Host.tile->progressBar()->value(), 0);
  QCOMPARE(Host.tile->versionLabel()->text(), QString("3.1"));
  QVERIFY(Host.tile->button()->styleSheet().contains("Icon_Play.png"));

  // Progress of the finished job no longer reaches the tile.
  emit Job->downloader()->progress(1500000, 2000000, 0, 2000000);
  QCOMPARE(Host.tile->versionLabel()->text(), QString("3.1"));
}

QTEST_MAIN(TestClientPackageItem)
#include "test_clientpackageitem.moc"
