#include "launcher/funnelevents.h"
#include "engine/installationmanager.h"
#include "launcher/launcherfilesystemhelper.h"
#include "launcher/ui/clickablelabel.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/launchermainwindow.h"
#include "launcher/ui/qcontextpushbutton.h"
#include "shared/downloadpool.h"

#include "testhttpserver.h"
#include "testsupport.h"
#include "uitesthelpers.h"

#include <QAction>
#include <QBuffer>
#include <QCheckBox>
#include <QDate>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpacerItem>
#include <QTranslator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace orvale::launcher;
using testsupport::TTestHttpServer;
using uitest::makePackage;
using uitest::TPackageSetup;

namespace {

const QByteArray TraceReply = "fl=29f123\nh=cdn.example.test\nip= 203.0.113.7 \nts=1700000000.123\ncolo=FRA\n";

// Receives the URLs the window hands to the desktop, instead of a browser.
class TUrlCatcher : public QObject
{
  Q_OBJECT
public:
  explicit TUrlCatcher(const QStringList& Schemes) : m_Schemes(Schemes)
  {
    for (const QString& Scheme : m_Schemes)
      QDesktopServices::setUrlHandler(Scheme, this, "openUrl");
  }
  ~TUrlCatcher() override
  {
    for (const QString& Scheme : m_Schemes)
      QDesktopServices::unsetUrlHandler(Scheme);
  }
  QList<QUrl> urls;

public slots:
  void openUrl(const QUrl& Url) { urls << Url; }

private:
  QStringList m_Schemes;
};

// A named pipe that notices whether anything opens it for reading: a thread
// keeps trying to open it for writing without waiting, which succeeds only
// while a reader has it open, and closes it again at once. So a reader sees
// an empty file instead of blocking for ever, and the test can tell.
class TPipeWatch
{
public:
  explicit TPipeWatch(const QString& Path) : m_Path(QFile::encodeName(Path))
  {
    if (::mkfifo(m_Path.constData(), 0600) != 0)
      qFatal("mkfifo failed");
    m_Thread = std::thread([this] {
      while (!m_Stop) {
        const int Descriptor = ::open(m_Path.constData(), O_WRONLY | O_NONBLOCK);
        if (Descriptor >= 0) {
          m_Opened = true;
          ::close(Descriptor);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  ~TPipeWatch()
  {
    m_Stop = true;
    m_Thread.join();
  }
  bool opened() const { return m_Opened; }

private:
  QByteArray m_Path;
  std::atomic<bool> m_Stop{false};
  std::atomic<bool> m_Opened{false};
  std::thread m_Thread;
};

// A window with its services, as the controller builds it.
struct TWindowUnderTest
{
  explicit TWindowUnderTest(std::vector<std::shared_ptr<TPackage>> Packages, const QUrl& TraceUrl = QUrl(),
                            TInstallationManager* Manager = nullptr)
    : packages(Packages), pool(std::make_shared<shared::TDownloadPool>(6, shared::makeNetworkAccessManagerWrapper(), true)),
      trace(std::make_shared<TCloudflareCdnTrace>(TraceUrl, pool)),
      configuration(std::make_shared<TLauncherConfigurationReader>(QByteArray("{}"), QUrl("http://127.0.0.1/"))),
      window(configuration, trace, pool, Manager, Packages, false)
  {
  }

  std::vector<std::shared_ptr<TPackage>> packages;
  std::shared_ptr<shared::TDownloadPool> pool;
  std::shared_ptr<TCloudflareCdnTrace> trace;
  std::shared_ptr<TLauncherConfigurationReader> configuration;
  TLauncherMainWindow window;
};

std::vector<std::shared_ptr<TPackage>> packages(int Count, ELocalPackageStatus Status = ELocalPackageStatus::UpToDate)
{
  std::vector<std::shared_ptr<TPackage>> Result;
  for (int Index = 0; Index < Count; ++Index) {
    TPackageSetup Setup;
    Setup.index = Index;
    Setup.name = QString("Client %1").arg(Index);
    Setup.status = Status;
    Result.push_back(makePackage(Setup));
  }
  return Result;
}

shared::THint hint(const QString& Category, const QString& Text, const QString& Url = "https://www.ashgrove-online.example/n",
                   const QString& Image = QString())
{
  shared::THint Hint;
  Hint.category = Category;
  Hint.richText = "<style>a { color: #c0c0c0; }</style>" + Text;
  Hint.url = Url;
  Hint.imageUrl = Image;
  return Hint;
}

QByteArray png(int Width, int Height)
{
  QImage Image(Width, Height, QImage::Format_RGB32);
  Image.fill(QColor(30, 120, 200));
  QByteArray Data;
  QBuffer Buffer(&Data);
  Buffer.open(QIODevice::WriteOnly);
  Image.save(&Buffer, "PNG");
  return Data;
}

QList<ClickableLabel*> slotLabels(QWidget* Slot)
{
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return Slot->findChildren<ClickableLabel*>(QString(), Qt::FindDirectChildrenOnly);
}

QLabel* labelWithText(QWidget* Window, const QString& Part)
{
  for (QLabel* Label : Window->findChildren<QLabel*>()) {
    if (Label->text().contains(Part))
      return Label;
  }
  return nullptr;
}

} // namespace

class TestMainWindow : public QObject
{
  Q_OBJECT

private slots:
  void initTestCase();
  void init();
  void windowFrameAndFunnelEvent();
  void fourTilesPerRow();
  void tilesStartWithTheDefaultFlag();
  void checkingAnotherDefaultUnchecksTheFirst();
  void uncheckingTheDefaultClearsIt();
  void setDefaultEmitsNothing();
  void tileRequestsBecomeWindowSignals();
  void followsTheInstallationManager();
  void noPackagesShowsConnectionProblem();
  void hintRowNeedsAllThreeCategories();
  void allThreeHintsReplaceTheSpacer();
  void laterHintOfACategoryWins();
  void categoryComparisonIsExact();
  void captionsLoadNoResources_data();
  void captionsLoadNoResources();
  void hintImagesComeOnlyFromTheWeb_data();
  void hintImagesComeOnlyFromTheWeb();
  void hintImagesAndLinks();
  void hintLinkTargets_data();
  void hintLinkTargets();
  void hintImageFetchHasADeadline();
  void failureBoxes_data();
  void failureBoxes();
  void downloadFailureWithoutTraceUrl();
  void downloadFailureWhileTraceLoads();
  void failedTraceIsNotRequestedAgain();
  void closedBoxIsNotShownAgain();
  void aboutBoxWithTranslation();
  void aboutBoxWithoutTranslation();
  void linksOfTheWindow();

private:
  QList<QPair<QString, QString>> m_FunnelEvents;
};

void TestMainWindow::initTestCase()
{
  registerLauncherMetaTypes();
  qputenv("ASHGROVE_AUTO_ANSWER_DIALOGS", "1");
  setFunnelEventSink([this](const QString& Step, const QString& Key) { m_FunnelEvents << qMakePair(Step, Key); });
}

void TestMainWindow::init()
{
  m_FunnelEvents.clear();
}

void TestMainWindow::windowFrameAndFunnelEvent()
{
  TWindowUnderTest Test(packages(2));
  TLauncherMainWindow& Window = Test.window;
  QCOMPARE(Window.windowTitle(), QString("Ashgrove Online"));
  const Qt::WindowFlags Flags = Window.windowFlags();
  for (Qt::WindowType Flag : {Qt::WindowTitleHint, Qt::WindowMinimizeButtonHint, Qt::CustomizeWindowHint,
                              Qt::WindowCloseButtonHint, Qt::MSWindowsFixedSizeDialogHint})
    QVERIFY(Flags.testFlag(Flag));
  QVERIFY(!Flags.testFlag(Qt::WindowMaximizeButtonHint));
  QCOMPARE(Window.minimumWidth(), 800);
  QCOMPARE(Window.maximumWidth(), 800);
  QCOMPARE(Window.minimumHeight(), 450);
  QCOMPARE(Window.maximumHeight(), 600);
  QCOMPARE(Window.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
  QCOMPARE(Window.sizePolicy().verticalPolicy(), QSizePolicy::MinimumExpanding);
  QVERIFY(Window.styleSheet().contains("border-image: url(:/images/launcher/BackgroundImage.jpg) 0 0 450 0;"));
  QVERIFY(labelWithText(&Window, "v0.0.12"));
  QCOMPARE(labelWithText(&Window, "v0.0.12")->text(), QString("v0.0.12"));
  QCOMPARE(Window.defaultPackageIndex(), -1);
  // One funnel event at the end of the construction.
  QCOMPARE(m_FunnelEvents.size(), 1);
  QCOMPARE(m_FunnelEvents[0].first, QString("launcher_started"));
  QCOMPARE(m_FunnelEvents[0].second, QString("FunnelStartedFirst"));
  // The background image is in the resource tree, 800 wide, with the 450
  // pixels the border image keeps.
  const QImage Background(":/images/launcher/BackgroundImage.jpg");
  QCOMPARE(Background.width(), 800);
  QVERIFY(Background.height() >= 450);
}

void TestMainWindow::fourTilesPerRow()
{
  TWindowUnderTest Test(packages(5));
  QCOMPARE(Test.window.packageTiles().size(), std::size_t(5));
  auto* Grid = qobject_cast<QGridLayout*>(Test.window.packageTile(0)->parent());
  QVERIFY(Grid);
  QCOMPARE(Grid->rowCount(), 2);
  QCOMPARE(Grid->columnCount(), 4);
  for (int Index = 0; Index < 5; ++Index) {
    int Row = -1, Column = -1, RowSpan = 0, ColumnSpan = 0;
    Grid->getItemPosition(Grid->indexOf(Test.window.packageTile(Index)), &Row, &Column, &RowSpan, &ColumnSpan);
    QCOMPARE(Row, Index / 4);
    QCOMPARE(Column, Index % 4);
  }
}

void TestMainWindow::tilesStartWithTheDefaultFlag()
{
  auto List = packages(3);
  List[1]->setIsDefault(true);
  TWindowUnderTest Test(List);
  QVERIFY(!Test.window.packageTile(0)->defaultClientCheckBox()->isChecked());
  QVERIFY(Test.window.packageTile(1)->defaultClientCheckBox()->isChecked());
  QVERIFY(!Test.window.packageTile(2)->defaultClientCheckBox()->isChecked());
}

void TestMainWindow::checkingAnotherDefaultUnchecksTheFirst()
{
  TWindowUnderTest Test(packages(3));
  TLauncherMainWindow& Window = Test.window;
  Window.setDefault(Test.packages[0], true);
  QCOMPARE(Window.defaultPackageIndex(), 0);
  QSignalSpy Changed(&Window, &TLauncherMainWindow::defaultChanged);

  Window.packageTile(1)->defaultClientCheckBox()->setChecked(true);
  QCOMPARE(Changed.count(), 1);
  QCOMPARE(Changed.at(0).at(0).value<std::shared_ptr<TPackage>>(), Test.packages[1]);
  QCOMPARE(Changed.at(0).at(1).toBool(), true);
  QCOMPARE(Window.defaultPackageIndex(), 1);
  QVERIFY(!Window.packageTile(0)->defaultClientCheckBox()->isChecked());
  QVERIFY(Window.packageTile(1)->defaultClientCheckBox()->isChecked());
  QVERIFY(!Window.packageTile(2)->defaultClientCheckBox()->isChecked());
}

void TestMainWindow::uncheckingTheDefaultClearsIt()
{
  TWindowUnderTest Test(packages(3));
  TLauncherMainWindow& Window = Test.window;
  QSignalSpy Changed(&Window, &TLauncherMainWindow::defaultChanged);
  Window.packageTile(2)->defaultClientCheckBox()->setChecked(true);
  QCOMPARE(Window.defaultPackageIndex(), 2);
  Window.packageTile(2)->defaultClientCheckBox()->setChecked(false);
  QCOMPARE(Changed.count(), 2);
  QCOMPARE(Changed.at(1).at(0).value<std::shared_ptr<TPackage>>(), Test.packages[2]);
  QCOMPARE(Changed.at(1).at(1).toBool(), false);
  QCOMPARE(Window.defaultPackageIndex(), -1);
  for (const auto& Entry : Window.packageTiles())
    QVERIFY(!Entry.second->defaultClientCheckBox()->isChecked());
}

void TestMainWindow::setDefaultEmitsNothing()
{
  TWindowUnderTest Test(packages(3));
  TLauncherMainWindow& Window = Test.window;
  QSignalSpy Changed(&Window, &TLauncherMainWindow::defaultChanged);
  Window.setDefault(Test.packages[1], true);
  Window.setDefault(Test.packages[2], true);
  QVERIFY(!Window.packageTile(1)->defaultClientCheckBox()->isChecked());
  QVERIFY(Window.packageTile(2)->defaultClientCheckBox()->isChecked());
  QCOMPARE(Window.defaultPackageIndex(), 2);
  Window.setDefault(Test.packages[2], false);
  QVERIFY(!Window.packageTile(2)->defaultClientCheckBox()->isChecked());
  QCOMPARE(Window.defaultPackageIndex(), -1);
  QCOMPARE(Changed.count(), 0);
}

void TestMainWindow::tileRequestsBecomeWindowSignals()
{
  TWindowUnderTest Test(packages(2));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Window));
  QSignalSpy Clicked(&Window, &TLauncherMainWindow::clientPackageButtonClicked);
  QSignalSpy Verify(&Window, &TLauncherMainWindow::clientPackageVerifyButtonClicked);
  QTest::mouseClick(Window.packageTile(1)->button(), Qt::LeftButton);
  QCOMPARE(Clicked.count(), 1);
  QCOMPARE(Clicked.at(0).at(0).value<std::shared_ptr<TPackage>>(), Test.packages[1]);
  Window.packageTile(0)->button()->contextMenu()->actions().at(0)->trigger();
  QCOMPARE(Verify.count(), 1);
  QCOMPARE(Verify.at(0).at(0).value<std::shared_ptr<TPackage>>(), Test.packages[0]);
  QCOMPARE(Clicked.count(), 1);
}

void TestMainWindow::followsTheInstallationManager()
{
  auto Configuration = std::make_shared<TLauncherConfigurationReader>(QByteArray("{\"packages\": []}"), QUrl("http://h/"));
  initLauncherResources();
  TInstallationManager Manager(Configuration, std::make_shared<TLauncherFilesystemHelper>());
  TWindowUnderTest Test(packages(2, ELocalPackageStatus::UpdateAvailable), QUrl(), &Manager);
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  const auto Job = uitest::makeInstallation(Test.packages[1]);
  emit Manager.installationOrUpdateStarted(*Job);
  QVERIFY(Window.packageTile(1)->progressBar()->isVisible());
  QVERIFY(!Window.packageTile(1)->button()->isVisible());
  QVERIFY(Window.packageTile(0)->button()->isVisible());

  uitest::TLogCapture Log;
  emit Manager.installationOrUpdateFinished(*Job);
  QVERIFY(!Window.packageTile(1)->progressBar()->isVisible());
  QVERIFY(Window.packageTile(1)->button()->isVisible());
  const QStringList Lines = Log.lines().filter("onInstallationOrUpdateFinished package: Client 1 error reason: 0 Thread: 0x");
  QCOMPARE(Lines.size(), 1);
  QVERIFY(!Window.messageBox());
}

void TestMainWindow::noPackagesShowsConnectionProblem()
{
  TWindowUnderTest Test({});
  QMessageBox* Box = Test.window.messageBox();
  QVERIFY(Box);
  QCOMPARE(Box->parent(), &Test.window);
  QVERIFY(Box->isVisible());
  QCOMPARE(Box->windowTitle(), QString("Connection problem"));
  QCOMPARE(Box->text(), QString("Could not connect to the update service.\n\nPlease try again later.\n"));
  QCOMPARE(Box->icon(), QMessageBox::Critical);
  QVERIFY(Test.window.packageTiles().empty());
  Box->close();
}

void TestMainWindow::hintRowNeedsAllThreeCategories()
{
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  Window.setHints({hint("cat1", "First"), hint("cat2", "Second")});
  QVERIFY(!Window.hintRowWidget()->isVisible());
  QVERIFY(Window.mainLayout()->indexOf(Window.hintSpacer()) >= 0);
  QCOMPARE(Window.hintSpacer()->sizeHint(), QSize(700, 84));
  QVERIFY(Window.hintGroupBox()->isVisible());
  QVERIFY(Window.shownHint(0) && Window.shownHint(1));
  QVERIFY(!Window.shownHint(2));

  // An empty list leaves the row hidden as well.
  Window.setHints({});
  QVERIFY(!Window.hintRowWidget()->isVisible());
  QVERIFY(Window.hintGroupBox()->isVisible());
  QVERIFY(Window.mainLayout()->indexOf(Window.hintSpacer()) >= 0);
}

void TestMainWindow::allThreeHintsReplaceTheSpacer()
{
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  Window.setHints({hint("cat3", "Third"), hint("cat1", "First"), hint("cat2", "Second")});
  QVERIFY(Window.hintRowWidget()->isVisible());
  QVERIFY(Window.mainLayout()->indexOf(Window.hintSpacer()) < 0);
  auto* GroupLayout = qobject_cast<QBoxLayout*>(Window.hintGroupBox()->layout());
  QCOMPARE(GroupLayout->indexOf(Window.hintRowWidget()), 0);
  QCOMPARE(GroupLayout->contentsMargins(), QMargins(0, 0, 0, 0));
  const char* Texts[] = {"First", "Second", "Third"};
  for (int Index = 0; Index < 3; ++Index) {
    QWidget* Slot = Window.hintSlot(Index);
    QCOMPARE(Slot->size(), QSize(276, 80));
    QVERIFY(!Slot->mask().isEmpty());
    // The slot sits in its hover frame, which carries the slot's outline.
    QWidget* Frame = Slot->parentWidget();
    QCOMPARE(Frame->size(), QSize(286, 84));
    QVERIFY(Frame->styleSheet().contains("QWidget:hover { background-color: #8ED838; }"));
    QVERIFY(!Frame->mask().isEmpty());
    QCOMPARE(Frame->parentWidget(), Window.hintRowWidget());
    QVERIFY(Window.shownHint(Index)->richText.endsWith(Texts[Index]));
    const QList<ClickableLabel*> Labels = slotLabels(Slot);
    QCOMPARE(Labels.size(), 2);
    QCOMPARE(Labels[1]->geometry(), QRect(0, 50, 280, 30));
    QVERIFY(Labels[1]->text().endsWith(Texts[Index]));
    QVERIFY(Labels[1]->styleSheet().contains(QString("padding-left: %1px;").arg(Index == 0 ? 10 : 18)));
  }
  // Left frame square at the upper left, middle and right frames slanted.
  QVERIFY(Window.hintSlot(0)->parentWidget()->mask().contains(QPoint(2, 2)));
  QVERIFY(!Window.hintSlot(1)->parentWidget()->mask().contains(QPoint(2, 2)));
  QVERIFY(!Window.hintSlot(2)->parentWidget()->mask().contains(QPoint(2, 2)));
  QVERIFY(Window.hintSlot(2)->parentWidget()->mask().contains(QPoint(283, 81)));
}

void TestMainWindow::laterHintOfACategoryWins()
{
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  Window.setHints({hint("cat1", "Older", "https://a.example/older"), hint("cat2", "Second"), hint("cat3", "Third"),
                   hint("cat1", "Newer", "https://a.example/newer")});
  QVERIFY(Window.shownHint(0)->richText.endsWith("Newer"));
  const QList<ClickableLabel*> Labels = slotLabels(Window.hintSlot(0));
  // Only the newer hint's image and caption are left in the slot.
  QCOMPARE(Labels.size(), 2);
  for (ClickableLabel* Label : Labels)
    QCOMPARE(Label->toolTip(), QString("https://a.example/newer"));
  // One frame per slot, also after a replacement, and it stays in the row.
  QCOMPARE(Window.hintRowWidget()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(), 3);
  QCOMPARE(Window.hintSlot(0)->parentWidget()->parentWidget(), Window.hintRowWidget());
  QVERIFY(Window.hintRowWidget()->isVisible());
}

void TestMainWindow::captionsLoadNoResources_data()
{
  // %1: the named pipe, as a path; %2: as a file URL.
  QTest::addColumn<QString>("Caption");
  QTest::addColumn<QString>("Shown");  // the label's text; empty: the hint's own
  QTest::newRow("plain markup") << "<b>News</b> <i>today</i>" << "";
  QTest::newRow("image") << "<b>News</b><img src=\"%2\">" << "News";
  QTest::newRow("sized image") << "News<img width=8 height=8 src='%1'>" << "News";
  QTest::newRow("style import") << "<style>@import \"%1\";</style>News" << "News";
  QTest::newRow("style import url") << "<style>@import url(%2);</style>News" << "News";
  QTest::newRow("style sheet link") << "<link rel=\"stylesheet\" type=\"text/css\" href=\"%1\"/>News" << "News";
  QTest::newRow("table background") << "<table background='%1'><tr><td>News</td></tr></table>" << "News";
  QTest::newRow("css background") << "<p style=\"background-image: url(%2)\">News</p>" << "News";
  QTest::newRow("resource tree") << "News<img src=\":/images/launcher/icircle.png\">" << "News";
}

// A caption names a named pipe as a resource: the window must not read it
// (that would block it until a writer comes) nor any other resource.
void TestMainWindow::captionsLoadNoResources()
{
  QFETCH(QString, Caption);
  QFETCH(QString, Shown);
  QTemporaryDir Dir;
  const QString Pipe = Dir.filePath("pipe");
  TPipeWatch Watch(Pipe);
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  const shared::THint First = hint("cat1", Caption.arg(Pipe, QUrl::fromLocalFile(Pipe).toString()));
  Window.setHints({First, hint("cat2", "Second"), hint("cat3", "Third")});
  Window.grab();
  QVERIFY(!Watch.opened());
  const QList<ClickableLabel*> Labels = slotLabels(Window.hintSlot(0));
  QCOMPARE(Labels.size(), 2);
  QCOMPARE(Labels[1]->text(), Shown.isEmpty() ? First.richText : Shown);
}

void TestMainWindow::hintImagesComeOnlyFromTheWeb_data()
{
  // %1: the named pipe's path; %2: a PNG file's path; %3: the test server.
  QTest::addColumn<QString>("ImageUrl");
  QTest::newRow("pipe") << "file://%1";
  QTest::newRow("local file") << "file://%2";
  QTest::newRow("plain path") << "%2";
  QTest::newRow("embedded data") << "data:image/png;base64,%4";
  QTest::newRow("redirect to the pipe") << "%3/to-pipe";
  QTest::newRow("endless body") << "%3/endless.png";
  QTest::newRow("gzip bomb") << "%3/bomb.png";
}

// Hint pictures come from web servers only, within their size bound: local
// files (a named pipe would block the window), embedded data, redirects to
// files, endless bodies and compressed bodies give a hint without picture.
void TestMainWindow::hintImagesComeOnlyFromTheWeb()
{
  QFETCH(QString, ImageUrl);
  QTemporaryDir Dir;
  const QString Pipe = Dir.filePath("pipe");
  TPipeWatch Watch(Pipe);
  const QString Png = Dir.filePath("hint.png");
  testsupport::writeWholeFile(Png, png(290, 80));
  TTestHttpServer Server;
  Server.setFault("/to-pipe", TTestHttpServer::TFault::redirect(QUrl::fromLocalFile(Pipe)));
  Server.setFault("/endless.png", TTestHttpServer::TFault::endlessBody());
  Server.setBody("/bomb.png", testsupport::gzipOfZeros(64 * 1024 * 1024), "image/png", "gzip");
  const QString Image = ImageUrl.arg(Pipe, Png, Server.url("").toString(), QString::fromLatin1(png(290, 80).toBase64()));
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  uitest::TLogCapture Log;
  QElapsedTimer Clock;
  Clock.start();
  Window.setHints({hint("cat1", "First", "https://a.example/1", Image), hint("cat2", "Second"), hint("cat3", "Third")});
  QTRY_COMPARE_WITH_TIMEOUT(Log.lines().filter("Hint image").size(), 1, HintImageTimeoutMs);
  QVERIFY2(Clock.elapsed() < HintImageTimeoutMs, qPrintable(QString::number(Clock.elapsed())));
  QVERIFY(!Watch.opened());
  const QList<ClickableLabel*> Labels = slotLabels(Window.hintSlot(0));
  QVERIFY(!Labels[0]->pixmap() || Labels[0]->pixmap()->isNull());
  QVERIFY(Labels[1]->text().endsWith("First"));
}

void TestMainWindow::categoryComparisonIsExact()
{
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  Window.setHints({hint("Cat1", "Capital"), hint("cat2", "Second"), hint("cat3", "Third"), hint("news", "Other")});
  QVERIFY(!Window.shownHint(0));
  QVERIFY(!Window.hintRowWidget()->isVisible());
  QVERIFY(Window.mainLayout()->indexOf(Window.hintSpacer()) >= 0);
}

void TestMainWindow::hintImagesAndLinks()
{
  TTestHttpServer Server;
  Server.setBody("/wide.png", png(580, 100), "image/png");
  TUrlCatcher Catcher({"https", "file"});
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  Window.setHints({hint("cat1", "Wide", "https://www.ashgrove-online.example/wide", Server.url("/wide.png").toString()),
                   hint("cat2", "Local", "file:///etc/passwd", Server.url("/missing.png").toString()),
                   hint("cat3", "None", "https://www.ashgrove-online.example/none")});

  // 580 x 100 covers 290 x 80 when scaled to 464 x 80; centred in the slot.
  const QList<ClickableLabel*> Wide = slotLabels(Window.hintSlot(0));
  QTRY_VERIFY(Wide[0]->pixmap() && !Wide[0]->pixmap()->isNull());
  QCOMPARE(Server.requestCount("/wide.png"), 1);
  QCOMPARE(Wide[0]->pixmap()->size(), QSize(464, 80));
  QCOMPARE(Wide[0]->geometry(), QRect((276 - 464) / 2, 0, 464, 80));
  QCOMPARE(Wide[0]->cursor().shape(), Qt::PointingHandCursor);
  // A failed image leaves an empty picture; caption and link still work.
  const QList<ClickableLabel*> Missing = slotLabels(Window.hintSlot(1));
  QTRY_COMPARE(Server.requestCount("/missing.png"), 1);
  QVERIFY(!Missing[0]->pixmap() || Missing[0]->pixmap()->isNull());
  QCOMPARE(Missing[0]->size(), QSize(290, 80));

  QTest::mouseClick(Wide[0], Qt::LeftButton);
  QTest::mouseClick(Wide[1], Qt::LeftButton);
  QCOMPARE(Catcher.urls, QList<QUrl>({QUrl("https://www.ashgrove-online.example/wide"),
                                      QUrl("https://www.ashgrove-online.example/wide")}));
  // A hint cannot open local files or other programs.
  QTest::mouseClick(Missing[1], Qt::LeftButton);
  QCOMPARE(Catcher.urls.size(), 2);
}

void TestMainWindow::hintLinkTargets_data()
{
  QTest::addColumn<QString>("Link");
  QTest::addColumn<QUrl>("Opened");  // empty: not opened
  QTest::newRow("plain") << "https://www.ashgrove-online.example/news" << QUrl("https://www.ashgrove-online.example/news");
  QTest::newRow("surrounding space") << "  http://a.example/n \n" << QUrl("http://a.example/n");
  QTest::newRow("capitals") << "HTTPS://A.example/N" << QUrl("https://a.example/N");
  QTest::newRow("space and braces") << "https://a.example/a b?q={x}|y"
                                    << QUrl::fromEncoded("https://a.example/a%20b?q=%7Bx%7D%7Cy");
  QTest::newRow("percent sign") << "https://a.example/100%" << QUrl::fromEncoded("https://a.example/100%25");
  QTest::newRow("local file") << "file:///etc/passwd" << QUrl();
  QTest::newRow("path") << "/etc/passwd" << QUrl();
  QTest::newRow("script") << "javascript:alert(1)" << QUrl();
  QTest::newRow("mail") << "mailto:news@ashgrove-online.example" << QUrl();
  QTest::newRow("no host") << "http:///news" << QUrl();
  QTest::newRow("no scheme") << "//a.example/news" << QUrl();
  QTest::newRow("empty") << "" << QUrl();
}

void TestMainWindow::hintLinkTargets()
{
  QFETCH(QString, Link);
  QFETCH(QUrl, Opened);
  QCOMPARE(hintLinkTarget(Link), Opened);
}

void TestMainWindow::hintImageFetchHasADeadline()
{
  TTestHttpServer Server;
  Server.setFault("/stalled.png", TTestHttpServer::TFault::stall());
  Server.setBody("/fine.png", png(290, 80), "image/png");
  TWindowUnderTest Test(packages(1));
  TLauncherMainWindow& Window = Test.window;
  Window.show();
  uitest::TLogCapture Log;
  QElapsedTimer Timer;
  Timer.start();
  Window.setHints({hint("cat1", "Stalled", "https://a.example/s", Server.url("/stalled.png").toString()),
                   hint("cat2", "Fine", "https://a.example/f", Server.url("/fine.png").toString()),
                   hint("cat3", "Fine too", "https://a.example/f", Server.url("/fine.png").toString())});
  // The window does not wait for the pictures: the hints are there at once.
  QVERIFY2(Timer.elapsed() < 1000, qPrintable(QString::number(Timer.elapsed())));
  QVERIFY(Window.hintRowWidget()->isVisible());
  const QList<ClickableLabel*> Stalled = slotLabels(Window.hintSlot(0));
  QVERIFY(Stalled[1]->text().endsWith("Stalled"));
  QTRY_VERIFY(slotLabels(Window.hintSlot(1))[0]->pixmap() && !slotLabels(Window.hintSlot(1))[0]->pixmap()->isNull());
  QCOMPARE(slotLabels(Window.hintSlot(1))[0]->pixmap()->size(), QSize(290, 80));
  QTRY_COMPARE_WITH_TIMEOUT(Log.lines().filter("Hint image not received within 5000 ms").size(), 1, HintImageTimeoutMs + 3000);
  const qint64 Elapsed = Timer.elapsed();
  QVERIFY2(Elapsed >= HintImageTimeoutMs - 100, qPrintable(QString::number(Elapsed)));
  QCOMPARE(Server.requestCount("/stalled.png"), 1);
  // The stalled hint stays without its picture.
  QVERIFY(!Stalled[0]->pixmap() || Stalled[0]->pixmap()->isNull());
}

void TestMainWindow::failureBoxes_data()
{
  QTest::addColumn<int>("Reason");
  QTest::addColumn<QString>("Dialog");
  QTest::newRow("save") << int(SaveFailed)
                        << "Dialog: Installation failed: The installation of Client 0 failed.\n\nMake sure you have enough "
                           "free disk space and the application isn't currently running, then try again.";
  QTest::newRow("verification") << int(VerificationFailed)
                                << "Dialog: Installation failed: The installation of Client 0 failed.\n\nVerification of "
                                   "game data failed!";
  QTest::newRow("none") << int(NoDownloaderError) << "";
}

void TestMainWindow::failureBoxes()
{
  QFETCH(int, Reason);
  QFETCH(QString, Dialog);
  TWindowUnderTest Test(packages(1, ELocalPackageStatus::UpdateAvailable));
  TLauncherMainWindow& Window = Test.window;
  const auto Job = uitest::makeInstallation(Test.packages[0]);
  Window.onInstallationOrUpdateStarted(*Job);
  if (Reason == VerificationFailed)
    Job->onVerifyFinished(false);
  else if (Reason != NoDownloaderError)
    Job->onDownloadFailed(EPackageDownloaderError(Reason));
  QCOMPARE(int(Job->errorReason()), Reason);

  uitest::TLogCapture Log;
  Window.onInstallationOrUpdateFinished(*Job);
  QCOMPARE(Log.lines().filter(QString("onInstallationOrUpdateFinished package: Client 0 error reason: %1 Thread: ").arg(Reason)).size(),
           1);
  const QStringList Dialogs = Log.lines().filter("Dialog: ");
  if (Dialog.isEmpty()) {
    QVERIFY(Dialogs.isEmpty());
  } else {
    QCOMPARE(Dialogs.size(), 1);
    QVERIFY2(Dialogs[0].endsWith(Dialog), qPrintable(Dialogs[0]));
  }
  // The modal boxes are not the window's download box.
  QVERIFY(!Window.messageBox());
  QVERIFY(Window.packageTile(0)->button()->isVisibleTo(&Window));
}

void TestMainWindow::downloadFailureWithoutTraceUrl()
{
  TWindowUnderTest Test(packages(1, ELocalPackageStatus::UpdateAvailable));
  TLauncherMainWindow& Window = Test.window;
  QSignalSpy PoolRequests(Test.pool.get(), &shared::TDownloadPool::failed);
  const auto Job = uitest::makeInstallation(Test.packages[0]);
  Job->onDownloadFailed(DownloadFailed);
  Window.onInstallationOrUpdateFinished(*Job);
  QMessageBox* Box = Window.messageBox();
  QVERIFY(Box);
  QVERIFY(Box->isVisible());
  QCOMPARE(Box->windowTitle(), QString("Download failed"));
  QCOMPARE(Box->icon(), QMessageBox::Critical);
  QCOMPARE(Box->text(), QString("The installation of Client 0 failed.\n\nNot all files necessary could be downloaded. "
                                "Please try again later.\n\nDiagnostic information: Failed to obtain information."));
  // No network traffic at all.
  QCOMPARE(PoolRequests.count(), 0);
  QCOMPARE(Test.pool->outstandingDownloadCount(), std::size_t(0));
  QVERIFY(Test.trace->failed());
  Box->close();
}

void TestMainWindow::downloadFailureWhileTraceLoads()
{
  TTestHttpServer Server;
  Server.setBody("/cdn-cgi/trace", TraceReply, "text/plain");
  TWindowUnderTest Test(packages(2, ELocalPackageStatus::UpdateAvailable), Server.url("/cdn-cgi/trace"));
  TLauncherMainWindow& Window = Test.window;
  QSignalSpy TraceSpy(Test.trace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived);
  const auto Job = uitest::makeInstallation(Test.packages[1]);
  Job->onDownloadFailed(DownloadFailed);
  Window.onInstallationOrUpdateFinished(*Job);
  QMessageBox* Box = Window.messageBox();
  QVERIFY(Box->isVisible());
  QVERIFY2(Box->text().endsWith("Diagnostic information: Loading, please wait..."), qPrintable(Box->text()));
  QVERIFY(Box->text().startsWith("The installation of Client 1 failed."));

  // The same box shows the values once the trace is there.
  QVERIFY(TraceSpy.wait(5000));
  QVERIFY(Box->isVisible());
  QCOMPARE(Box->text(), downloadFailedText("Client 1", "FL: 29f123, TS: 1700000000.123, COLO: FRA, IP: 203.0.113.7"));
  QCOMPARE(Server.requestCount("/cdn-cgi/trace"), 1);

  // Later failures use the trace at once, without another request; the
  // trace's other receivers stay connected.
  const auto Second = uitest::makeInstallation(Test.packages[0]);
  Second->onDownloadFailed(DownloadFailed);
  Window.onInstallationOrUpdateFinished(*Second);
  QCOMPARE(Box->text(), downloadFailedText("Client 0", "FL: 29f123, TS: 1700000000.123, COLO: FRA, IP: 203.0.113.7"));
  QCOMPARE(Server.requestCount("/cdn-cgi/trace"), 1);
  emit Test.trace->diagnosticsTraceReceived(false);
  QCOMPARE(TraceSpy.count(), 2);
  Box->close();
}

void TestMainWindow::failedTraceIsNotRequestedAgain()
{
  TTestHttpServer Server;
  Server.setFault("/cdn-cgi/trace", TTestHttpServer::TFault::status(500));
  TWindowUnderTest Test(packages(1, ELocalPackageStatus::UpdateAvailable), Server.url("/cdn-cgi/trace"));
  TLauncherMainWindow& Window = Test.window;
  QSignalSpy TraceSpy(Test.trace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived);
  const auto Job = uitest::makeInstallation(Test.packages[0]);
  Job->onDownloadFailed(DownloadFailed);
  Window.onInstallationOrUpdateFinished(*Job);
  QVERIFY(Window.messageBox()->text().endsWith("Loading, please wait..."));
  QVERIFY(TraceSpy.wait(5000));
  QVERIFY(Window.messageBox()->text().endsWith("Diagnostic information: Failed to obtain information."));
  Window.onInstallationOrUpdateFinished(*Job);
  QVERIFY(Window.messageBox()->text().endsWith("Diagnostic information: Failed to obtain information."));
  QTest::qWait(50);
  QCOMPARE(Server.requestCount("/cdn-cgi/trace"), 1);
  Window.messageBox()->close();
}

void TestMainWindow::closedBoxIsNotShownAgain()
{
  TTestHttpServer Server;
  Server.setBody("/cdn-cgi/trace", TraceReply, "text/plain");
  Server.setFault("/cdn-cgi/trace", TTestHttpServer::TFault::trickle(8, 50));
  TWindowUnderTest Test(packages(1, ELocalPackageStatus::UpdateAvailable), Server.url("/cdn-cgi/trace"));
  TLauncherMainWindow& Window = Test.window;
  QSignalSpy TraceSpy(Test.trace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived);
  const auto Job = uitest::makeInstallation(Test.packages[0]);
  Job->onDownloadFailed(DownloadFailed);
  Window.onInstallationOrUpdateFinished(*Job);
  QVERIFY(Window.messageBox()->isVisible());
  Window.messageBox()->close();
  QVERIFY(TraceSpy.wait(10000));
  QVERIFY(!Window.messageBox()->isVisible());
  QVERIFY(Window.messageBox()->text().endsWith("Loading, please wait..."));
}

void TestMainWindow::aboutBoxWithTranslation()
{
  const QString Translation = testsupport::binaryDirectory() + "/bin/launcher.en.qm";
  QVERIFY2(QFile::exists(Translation), qPrintable(Translation));
  QTranslator Translator;
  QVERIFY(Translator.load("launcher.en", testsupport::binaryDirectory() + "/bin"));
  QCoreApplication::installTranslator(&Translator);

  QCOMPARE(aboutBoxTitle(), QString("About Ashgrove Online"));
  const QString Text = aboutBoxText();
  QVERIFY(!Text.contains('%'));
  QVERIFY(Text.contains("2002"));
  QVERIFY(Text.contains(QString::number(QDate::currentDate().year())));
  QCOMPARE(Text.count("https://www.gnu.org/licenses/lgpl-3.0.html"), 2);
  QCOMPARE(Text.count("https://code.qt.io/cgit/qt/qtbase.git/"), 2);
  QVERIFY(Text.contains("<a href=\"https://www.gnu.org/licenses/lgpl-3.0.html\">https://www.gnu.org/licenses/lgpl-3.0.html</a>"));

  TWindowUnderTest Test(packages(1));
  uitest::TLogCapture Log;
  // The About link asks for the box.
  QLabel* AboutLink = labelWithText(&Test.window, "icircle.png");
  QVERIFY(AboutLink);
  QVERIFY(!AboutLink->openExternalLinks());
  QCOMPARE(AboutLink->toolTip(), QString("About"));
  emit AboutLink->linkActivated("about");
  const QStringList Dialogs = Log.lines().filter("Dialog: About Ashgrove Online: ");
  QCOMPARE(Dialogs.size(), 1);
  QVERIFY(Dialogs[0].contains("https://code.qt.io/cgit/qt/qtbase.git/"));
  QCoreApplication::removeTranslator(&Translator);
}

void TestMainWindow::aboutBoxWithoutTranslation()
{
  QCOMPARE(aboutBoxTitle(), QString("launcher.about.title"));
  QCOMPARE(aboutBoxText(), QString("launcher.about.text"));
  TWindowUnderTest Test(packages(1));
  uitest::TLogCapture Log;
  Test.window.onAboutDialogRequested("about");
  QCOMPARE(Log.lines().filter("Dialog: launcher.about.title: launcher.about.text").size(), 1);
}

void TestMainWindow::linksOfTheWindow()
{
  TWindowUnderTest Test(packages(1));
  QLabel* Twitter = labelWithText(&Test.window, "Twitter.png");
  QLabel* Discord = labelWithText(&Test.window, "Discord.png");
  QLabel* Maker = labelWithText(&Test.window, "VeldanLogo.png");
  QVERIFY(Twitter && Discord && Maker);
  QCOMPARE(Twitter->toolTip(), QString("Follow us on Twitter"));
  QCOMPARE(Discord->toolTip(), QString("Follow us on Discord"));
  QVERIFY(Twitter->text().contains(QString("href=\"%1\"").arg(TwitterPageUrl)));
  QVERIFY(Discord->text().contains(QString("href=\"%1\"").arg(DiscordInvitationUrl)));
  QCOMPARE(Maker->toolTip(), QString(MakerWebSite));
  QVERIFY(Maker->text().contains(QString("href=\"%1\"").arg(MakerWebSite)));
  for (QLabel* Label : {Twitter, Discord, Maker})
    QVERIFY(Label->openExternalLinks());
  // Every image the window and its tiles name is in the resource tree.
  for (const char* Name : {"BackgroundImage.jpg", "icircle.png", "Twitter.png", "Discord.png", "VeldanLogo.png",
                           "hint-background.png", "clientpackage-background.png", "ProgressBar_BG.png", "ProgressBar.png",
                           "checkbox-checked.png", "checkbox-unchecked.png", "scrollbar-texture-vertical.png",
                           "scrollbar-handle-vertical.png", "scrollbar-buttonup-up.png", "scrollbar-buttonup-down.png",
                           "scrollbar-buttondown-up.png", "scrollbar-buttondown-down.png", "LauncherLogo_QT.png",
                           "LauncherLogo_UpdatingLauncher.png", "Icon_.png", "Icon_Download.png", "Icon_Update.png",
                           "Icon_Play.png"})
    QVERIFY2(!QImage(QString(":/images/launcher/") + Name).isNull(), Name);
  for (const char* Colour : {"Red", "Blue", "Orange", "Green"})
    for (const char* State : {"idle", "hover", "pressed"})
      QCOMPARE(QImage(QString(":/images/launcher/Button_%1_%2.png").arg(Colour, State)).size(), QSize(98, 40));
  for (const char* Variant : {"Classic", "Preview", "Beta", "Test", "QT"})
    for (const char* Suffix : {"", "_disabled"})
      QCOMPARE(QImage(QString(":/images/launcher/AshgroveLogo_%1%2.png").arg(Variant, Suffix)).size(),
               QImage(":/images/launcher/LauncherLogo_QT.png").size());
}

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
