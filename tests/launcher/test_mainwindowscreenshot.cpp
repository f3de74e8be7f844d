// Renders the main window in a realistic state (five packages in different
// states, one of them installing, three hints whose images come from a
// local server) and keeps the picture as a build artifact:
// <build>/artifacts/mainwindow.png. With ASHGROVE_SCREENSHOT_HOLD_MS set the
// window stays open that long, for looking at it on a real display.

#include "engine/packagefiledownloader.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/launchermainwindow.h"
#include "shared/downloadpool.h"

#include "testhttpserver.h"
#include "testsupport.h"
#include "uitesthelpers.h"

#include <QBuffer>
#include <QCheckBox>
#include <QLabel>
#include <QDir>
#include <QGroupBox>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QRadialGradient>
#include <QScreen>
#include <QSet>
#include <QStyle>
#include <QtTest>

using namespace orvale::launcher;
using testsupport::TTestHttpServer;
using uitest::makePackage;
using uitest::TPackageSetup;

namespace {

// A hint picture of our own: a sky, a landmark and a headline.
QByteArray hintPicture(const QColor& Sky, const QColor& Glow, int Landmark, const QString& Headline)
{
  QImage Image(580, 160, QImage::Format_ARGB32_Premultiplied);
  QPainter Painter(&Image);
  Painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient Fill(0, 0, 0, 160);
  Fill.setColorAt(0, Sky.darker(180));
  Fill.setColorAt(0.7, Sky);
  Fill.setColorAt(1, Glow);
  Painter.fillRect(Image.rect(), Fill);
  QRadialGradient Sun(QPointF(430, 110), 140);
  Sun.setColorAt(0, QColor(Glow.red(), Glow.green(), Glow.blue(), 200));
  Sun.setColorAt(1, QColor(0, 0, 0, 0));
  Painter.fillRect(Image.rect(), Sun);
  Painter.setPen(Qt::NoPen);
  Painter.setBrush(QColor(12, 14, 18));
  QPainterPath Ground;
  Ground.moveTo(0, 160);
  for (int X = 0; X <= 580; X += 10)
    Ground.lineTo(X, 128 - 10 * std::sin(X / 60.0) - (Landmark == 2 ? 12 * std::sin(X / 23.0) : 0));
  Ground.lineTo(580, 160);
  Painter.drawPath(Ground);
  if (Landmark == 0) {
    // A keep with two towers.
    Painter.drawRect(QRectF(400, 70, 70, 60));
    Painter.drawRect(QRectF(385, 45, 22, 85));
    Painter.drawRect(QRectF(463, 52, 22, 78));
    for (int I = 0; I < 4; ++I)
      Painter.drawRect(QRectF(385 + I * 6, 39, 4, 8));
  } else if (Landmark == 1) {
    // A great ash tree.
    Painter.drawRect(QRectF(447, 70, 10, 60));
    for (int I = 0; I < 9; ++I)
      Painter.drawEllipse(QPointF(452 + 34 * std::cos(I * 0.7), 62 + 18 * std::sin(I * 1.3)), 26, 20);
  } else {
    // Banners over a camp.
    for (int I = 0; I < 3; ++I) {
      QPainterPath Tent;
      Tent.moveTo(360 + I * 60, 132);
      Tent.lineTo(390 + I * 60, 92);
      Tent.lineTo(420 + I * 60, 132);
      Painter.drawPath(Tent);
      Painter.drawRect(QRectF(389 + I * 60, 64, 2, 30));
      Painter.setBrush(Glow);
      Painter.drawRect(QRectF(391 + I * 60, 66, 16, 10));
      Painter.setBrush(QColor(12, 14, 18));
    }
  }
  QFont Font("Liberation Serif");
  Font.setPixelSize(30);
  Font.setBold(true);
  Painter.setFont(Font);
  // The slots' slanted edges cut the left 40 pixels (80 here).
  Painter.setPen(QColor(0, 0, 0, 160));
  Painter.drawText(QPointF(98, 56), Headline);
  Painter.setPen(QColor(250, 238, 200));
  Painter.drawText(QPointF(96, 54), Headline);
  Painter.end();
  QByteArray Data;
  QBuffer Buffer(&Data);
  Buffer.open(QIODevice::WriteOnly);
  Image.save(&Buffer, "PNG");
  return Data;
}

shared::THint hint(const QString& Category, const QUrl& Image, const QString& Text, const QString& Url)
{
  shared::THint Hint;
  Hint.category = Category;
  Hint.imageUrl = Image.toString();
  Hint.richText = QString("<style>a { color: #c0c0c0; }</style>") + Text;
  Hint.url = Url;
  return Hint;
}

} // namespace

class TestMainWindowScreenshot : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void windowWithFivePackagesAndThreeHints();
  void windowWithOnePackageAndNoHints();
};

void TestMainWindowScreenshot::initTestCase()
{
  registerLauncherMetaTypes();
  qputenv("ASHGROVE_AUTO_ANSWER_DIALOGS", "1");
}

void TestMainWindowScreenshot::windowWithFivePackagesAndThreeHints()
{
  TTestHttpServer Server;
  Server.setBody("/hints/cat1.png", hintPicture(QColor(46, 70, 104), QColor(232, 150, 70), 0, "Patch 1.4"), "image/png");
  Server.setBody("/hints/cat2.png", hintPicture(QColor(38, 82, 60), QColor(190, 210, 120), 1, "Ashfall Event"),
                 "image/png");
  Server.setBody("/hints/cat3.png", hintPicture(QColor(70, 44, 70), QColor(230, 110, 80), 2, "Guild Wars"),
                 "image/png");
  Server.setFault("/chunks/classic-0001", TTestHttpServer::TFault::stall());

  std::vector<std::shared_ptr<TPackage>> Packages;
  auto Add = [&](const QString& Name, ELocalPackageStatus Status, const QString& Generation, const QString& Variant,
                 const QString& Version, bool IsDefault = false) {
    TPackageSetup Setup;
    Setup.index = int(Packages.size());
    Setup.name = Name;
    Setup.status = Status;
    Setup.generation = Generation;
    Setup.variant = Variant;
    Setup.version = Version;
    Setup.isDefault = IsDefault;
    Packages.push_back(makePackage(Setup));
  };
  Add("Ashgrove Online", ELocalPackageStatus::UpToDate, "second", "regular", "1.4.2", true);
  Add("Ashgrove Preview", ELocalPackageStatus::UpdateAvailable, "second", "preview", "1.5.0");
  Add("Ashgrove Beta", ELocalPackageStatus::NotInstalled, "second", "beta", "1.5.0-b3");
  Add("Ashgrove Test", ELocalPackageStatus::Unknown, "second", "test", "");
  Add("Ashgrove Classic", ELocalPackageStatus::PartiallyInstalled, "first", "regular", "0.9.8");

  auto Pool = std::make_shared<shared::TDownloadPool>(6, shared::makeNetworkAccessManagerWrapper(), true);
  auto Trace = std::make_shared<TCloudflareCdnTrace>(QUrl(), Pool);
  const auto Configuration = std::make_shared<TLauncherConfigurationReader>(QByteArray("{}"), QUrl("http://127.0.0.1/"));
  TLauncherMainWindow Window(Configuration, Trace, Pool, nullptr, Packages, true);

  // The classic client is downloading: a chunk that never arrives keeps the
  // download running while the test sets its byte counts.
  QTemporaryDir Directory;
  QVERIFY(Directory.isValid());
  const auto Job = uitest::makeInstallation(Packages[4]);
  TChunkInPackage Chunk;
  Chunk.url = Server.url("/chunks/classic-0001");
  Chunk.packedSize = 734003200;
  Chunk.unpackedSize = 734003200;
  Chunk.unpackedHash = QByteArray(32, '\x22');
  TFileToDownload File;
  File.localFile = "data/classic.pak";
  File.unpackedSize = Chunk.unpackedSize;
  File.chunks = {Chunk};
  File.chunksToDownload = {0};
  Job->downloader()->downloadFiles(QDir(Directory.path()), EReplacementMode::ReplaceFiles, {File});
  Window.onInstallationOrUpdateStarted(*Job);
  // A thousand progress ticks of 244234 bytes: a third downloaded at 2.4 MB/s.
  for (TFileSize Downloaded = 244234; Downloaded <= 244234000; Downloaded += 244234) {
    Job->downloader()->onDownloadProgress(Chunk.url, Downloaded);
    Job->downloader()->onProgressTick();
  }
  QCOMPARE(Window.packageTile(4)->progressBar()->format(), QString("2.4 MB/s"));

  Window.setHints({hint("cat1", Server.url("/hints/cat1.png"), "Patch 1.4: the Ember Vale opens",
                        "https://www.ashgrove-online.example/news/patch-1-4"),
                   hint("cat2", Server.url("/hints/cat2.png"), "Ashfall event: double harvest",
                        "https://www.ashgrove-online.example/events/ashfall"),
                   hint("cat3", Server.url("/hints/cat3.png"), "Guild wars season 3 begins",
                        "https://www.ashgrove-online.example/guilds")});
  Window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Window));
  // The pictures arrive after the hints.
  const auto PicturesShown = [&Window] {
    for (int Index = 0; Index < HintSlotCount; ++Index) {
      const QList<QLabel*> Labels = Window.hintSlot(Index)->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
      if (Labels.isEmpty() || !Labels[0]->pixmap() || Labels[0]->pixmap()->isNull())
        return false;
    }
    return true;
  };
  QTRY_VERIFY(PicturesShown());
  QTest::qWait(200);

  const QByteArray Hold = qgetenv("ASHGROVE_SCREENSHOT_HOLD_MS");
  if (!Hold.isEmpty())
    QTest::qWait(Hold.toInt());

  const QImage Picture = Window.grab().toImage();
  const QString Artifacts = testsupport::binaryDirectory() + "/artifacts";
  QVERIFY(QDir().mkpath(Artifacts));
  QVERIFY(Picture.save(Artifacts + "/mainwindow.png"));
  qInfo().noquote() << "Screenshot:" << Artifacts + "/mainwindow.png" << Picture.size() << "on"
                    << QGuiApplication::platformName();

  // In a real X server, also what the screen shows: the window as the
  // server composed it, not only as the widgets paint themselves.
  if (QGuiApplication::platformName() == "xcb") {
    QScreen* Screen = Window.screen();
    QVERIFY(Screen);
    const QImage OnScreen = Screen->grabWindow(Window.winId()).toImage();
    QCOMPARE(OnScreen.size(), Picture.size());
    // Not a blank or unmapped window: the picture has the window's many colours.
    QSet<QRgb> Colours;
    for (int Y = 0; Y < OnScreen.height(); Y += 4)
      for (int X = 0; X < OnScreen.width(); X += 4)
        Colours.insert(OnScreen.pixel(X, Y));
    QVERIFY2(Colours.size() > 500, qPrintable(QString("%1 colours").arg(Colours.size())));
    QVERIFY(OnScreen.save(Artifacts + "/mainwindow-xvfb.png"));
    qInfo().noquote() << "Screen capture:" << Artifacts + "/mainwindow-xvfb.png";
  }

  // The same with the mouse over the middle hint.
  QWidget* HoveredFrame = Window.hintSlot(1)->parentWidget();
  QList<QWidget*> UnderMouse = HoveredFrame->findChildren<QWidget*>();
  UnderMouse << HoveredFrame;
  for (QWidget* Widget : UnderMouse) {
    Widget->setAttribute(Qt::WA_UnderMouse, true);
    Widget->style()->unpolish(Widget);
    Widget->style()->polish(Widget);
  }
  QVERIFY(Window.grab().toImage().save(Artifacts + "/mainwindow-hover.png"));

  // The window keeps its size limits with two rows of tiles and the hints.
  QCOMPARE(Picture.width(), 800);
  QVERIFY2(Window.height() >= 450 && Window.height() <= 600, qPrintable(QString::number(Window.height())));
  QVERIFY(Window.hintRowWidget()->isVisible());
  QVERIFY(!Window.hintSpacer() || Window.mainLayout()->indexOf(Window.hintSpacer()) < 0);

  // Nothing is squeezed: every tile lies inside the window and above the
  // hint area, and tiles do not overlap.
  const QRect HintArea(Window.hintGroupBox()->mapTo(&Window, QPoint(0, 0)), Window.hintGroupBox()->size());
  // The hint area sits on the bottom edge: its open lower border may
  // reach past it.
  QVERIFY(HintArea.left() >= 0 && HintArea.right() < Window.width());
  QVERIFY(HintArea.top() > 0 && HintArea.bottom() < Window.height() + 14);
  QList<QRect> Tiles;
  for (const auto& Entry : Window.packageTiles()) {
    const QRect Tile = Entry.second->geometry();
    QVERIFY2(QRect(QPoint(0, 0), Window.centralWidget()->size()).contains(Tile), qPrintable(Entry.second->package()->name()));
    const QRect InWindow(Window.centralWidget()->mapTo(&Window, Tile.topLeft()), Tile.size());
    QVERIFY2(InWindow.bottom() < HintArea.top(), qPrintable(Entry.second->package()->name()));
    for (const QRect& Other : Tiles)
      QVERIFY(!Other.intersects(Tile));
    Tiles << Tile;
  }
  // The installing tile shows its transfer.
  QProgressBar* Bar = Window.packageTile(4)->progressBar();
  QVERIFY(Bar->isVisible());
  // (The downloader's own ticks lower the mean while nothing arrives.)
  QVERIFY2(Bar->format().endsWith("B/s"), qPrintable(Bar->format()));
  QVERIFY(Bar->value() > 3000 && Bar->value() < 3500);
  // The hint pictures arrived: the centre of each slot is not the plain
  // background of an empty slot.
  for (int Index = 0; Index < 3; ++Index) {
    QVERIFY(Window.shownHint(Index));
    QWidget* Slot = Window.hintSlot(Index);
    const QPoint Centre = Slot->mapTo(&Window, QPoint(Slot->width() / 2, 20));
    const QColor Colour = Picture.pixelColor(Centre);
    QVERIFY2(Colour.red() + Colour.green() + Colour.blue() > 60, qPrintable(Colour.name()));
  }
}

void TestMainWindowScreenshot::windowWithOnePackageAndNoHints()
{
  // The smallest window: one package, no hints document.
  TPackageSetup Setup;
  Setup.name = "Ashgrove Online";
  Setup.status = ELocalPackageStatus::NotInstalled;
  Setup.version = "1.0";
  const std::vector<std::shared_ptr<TPackage>> Packages{makePackage(Setup)};
  auto Pool = std::make_shared<shared::TDownloadPool>(6, shared::makeNetworkAccessManagerWrapper(), true);
  auto Trace = std::make_shared<TCloudflareCdnTrace>(QUrl(), Pool);
  const auto Configuration = std::make_shared<TLauncherConfigurationReader>(QByteArray("{}"), QUrl("http://127.0.0.1/"));
  TLauncherMainWindow Window(Configuration, Trace, Pool, nullptr, Packages, true);
  Window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Window));
  QTest::qWait(100);
  const QImage Picture = Window.grab().toImage();
  const QString Artifacts = testsupport::binaryDirectory() + "/artifacts";
  QVERIFY(QDir().mkpath(Artifacts));
  QVERIFY(Picture.save(Artifacts + "/mainwindow-single.png"));
  QCOMPARE(Window.height(), 450);

  // The hint area hugs the bottom edge with the logo and the links; the
  // free height stays above it, showing the background.
  const QRect HintArea(Window.hintGroupBox()->mapTo(&Window, QPoint(0, 0)), Window.hintGroupBox()->size());
  QVERIFY2(HintArea.height() <= Window.hintGroupBox()->sizeHint().height(), qPrintable(QString::number(HintArea.height())));
  QVERIFY(HintArea.bottom() >= Window.height() - 1);
  const QRect Tile = Window.packageTile(0)->geometry();
  QVERIFY(Tile.top() < 40);
}

QTEST_MAIN(TestMainWindowScreenshot)
#include "test_mainwindowscreenshot.moc"
