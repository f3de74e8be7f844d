#include "launcher/ui/clickablelabel.h"
#include "launcher/ui/draggablemainwindow.h"
#include "launcher/ui/hintwidgets.h"
#include "launcher/ui/messageboxes.h"
#include "launcher/ui/qcontextpushbutton.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QRegion>
#include <QSignalSpy>
#include <QtTest>

using namespace orvale::launcher;

namespace {

void sendMouse(QWidget* Widget, QEvent::Type Type, const QPoint& ScreenPosition, Qt::MouseButton Button = Qt::LeftButton)
{
  const QPointF Local = Widget->mapFromGlobal(ScreenPosition);
  const Qt::MouseButtons Buttons = Type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Button);
  QMouseEvent Event(Type, Local, Local, QPointF(ScreenPosition), Type == QEvent::MouseMove ? Qt::NoButton : Button,
                    Buttons, Qt::NoModifier);
  QApplication::sendEvent(Widget, &Event);
}

} // namespace

class TestSmallWidgets : public QObject
{
  Q_OBJECT

private slots:
  void clickableLabelEmitsOnPress();
  void contextButtonWithEmptyMenuShowsNothing();
  void contextButtonReportsChosenAction();
  void linkLabel();
  void hintSlotContainer();
  void maskPolygonsForTheSlotSize();
  void masksCoverTheirEdgePixels();
  void masksFollowTheWidgetSize();
  void dragMovesByTheMouseDistance();
  void pressAtScreenOriginStartsNoDrag();
  void dialogsAreAnsweredOnlyForOne_data();
  void dialogsAreAnsweredOnlyForOne();
};

void TestSmallWidgets::clickableLabelEmitsOnPress()
{
  ClickableLabel Label;
  Label.setText("Some selectable caption text");
  Label.setTextInteractionFlags(Qt::TextSelectableByMouse);
  Label.resize(200, 30);
  Label.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Label));
  QSignalSpy Clicked(&Label, &ClickableLabel::clicked);

  QTest::mousePress(&Label, Qt::LeftButton, Qt::NoModifier, QPoint(5, 10));
  QCOMPARE(Clicked.count(), 1);  // before any release
  QTest::mouseMove(&Label, QPoint(150, 10));
  QTest::mouseRelease(&Label, Qt::LeftButton, Qt::NoModifier, QPoint(150, 10));
  QCOMPARE(Clicked.count(), 1);
  QVERIFY(!Label.hasSelectedText());

  // Only the left button clicks.
  QTest::mousePress(&Label, Qt::RightButton, Qt::NoModifier, QPoint(5, 10));
  QTest::mouseRelease(&Label, Qt::RightButton, Qt::NoModifier, QPoint(5, 10));
  QCOMPARE(Clicked.count(), 1);
}

void TestSmallWidgets::contextButtonWithEmptyMenuShowsNothing()
{
  QContextPushButton Button;
  Button.resize(98, 40);
  Button.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Button));
  QSignalSpy Triggered(&Button, &QContextPushButton::contextTriggered);
  QVERIFY(Button.contextMenu());
  QCOMPARE(Button.contextMenu()->parent(), &Button);

  QContextMenuEvent Event(QContextMenuEvent::Mouse, QPoint(10, 10), Button.mapToGlobal(QPoint(10, 10)));
  QApplication::sendEvent(&Button, &Event);
  QApplication::processEvents();
  QVERIFY(!Button.contextMenu()->isVisible());
  QVERIFY(!QApplication::activePopupWidget());
  QCOMPARE(Triggered.count(), 0);
}

void TestSmallWidgets::contextButtonReportsChosenAction()
{
  QContextPushButton Button;
  Button.resize(98, 40);
  Button.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Button));
  QSignalSpy Triggered(&Button, &QContextPushButton::contextTriggered);
  QAction* Verify = Button.contextMenu()->addAction("Verify");

  const QPoint Global = Button.mapToGlobal(QPoint(10, 10));
  QContextMenuEvent Event(QContextMenuEvent::Mouse, QPoint(10, 10), Global);
  QApplication::sendEvent(&Button, &Event);
  QTRY_VERIFY(Button.contextMenu()->isVisible());
  QCOMPARE(Button.contextMenu()->pos(), Global);

  Verify->trigger();
  QCOMPARE(Triggered.count(), 1);
  QCOMPARE(Triggered.at(0).at(0).toString(), QString("Verify"));
  Button.contextMenu()->close();
}

void TestSmallWidgets::linkLabel()
{
  QWidget Parent;
  QLabel* Label = createLinkLabel(&Parent, ":/images/launcher/Twitter.png", "https://x.example/a?b=1&c=2", "Follow");
  QCOMPARE(Label->parent(), &Parent);
  QCOMPARE(Label->textFormat(), Qt::RichText);
  QCOMPARE(Label->text(),
           QString("<a href=\"https://x.example/a?b=1&amp;c=2\"><img src=\":/images/launcher/Twitter.png\"/></a>"));
  QCOMPARE(Label->toolTip(), QString("Follow"));
  QVERIFY(Label->openExternalLinks());
}

void TestSmallWidgets::hintSlotContainer()
{
  QWidget Parent;
  auto* Content = new QLabel("content");
  QWidget* Container = createHintSlotContainer(&Parent, Content);
  QCOMPARE(Container->parent(), &Parent);
  QCOMPARE(Content->parent(), Container);
  QVERIFY(!Container->layout());
  QCOMPARE(Container->minimumSize(), QSize(276, 80));
  QCOMPARE(Container->maximumSize(), QSize(276, 80));
  QCOMPARE(Container->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
  QCOMPARE(Container->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
}

void TestSmallWidgets::maskPolygonsForTheSlotSize()
{
  const QSize Size(276, 80);
  // The left slot: right edge slanted by half the height (40 pixels).
  QCOMPARE(leftHintMaskPolygon(Size), QPolygon({{0, 0}, {276, 0}, {236, 80}, {0, 80}, {0, 0}}));

  const QRegion Left(leftHintMaskPolygon(Size));
  const QRegion Middle(middleHintMaskPolygon(Size));
  const QRegion Right(rightHintMaskPolygon(Size));
  // Inside all three.
  for (const QRegion* Region : {&Left, &Middle, &Right})
    QVERIFY(Region->contains(QPoint(138, 40)));
  // Upper left corner: only the left slot is square there.
  QVERIFY(Left.contains(QPoint(2, 2)));
  QVERIFY(!Middle.contains(QPoint(10, 2)));
  QVERIFY(!Right.contains(QPoint(10, 2)));
  // Lower right corner: only the right slot is square there.
  QVERIFY(!Left.contains(QPoint(270, 77)));
  QVERIFY(!Middle.contains(QPoint(270, 77)));
  QVERIFY(Right.contains(QPoint(270, 77)));
  // Lower left corner: the middle slot's parallelogram reaches it, the
  // left and right slots are square there.
  QVERIFY(Left.contains(QPoint(2, 78)));
  QVERIFY(Right.contains(QPoint(2, 78)));
  QVERIFY(Middle.contains(QPoint(3, 78)));
  QVERIFY(!Middle.contains(QPoint(2, 40)));
  // The slant is half the height: at mid height the edge lies at 20 px.
  QVERIFY(!Right.contains(QPoint(17, 40)));
  QVERIFY(Right.contains(QPoint(23, 40)));
  QVERIFY(Left.contains(QPoint(253, 40)));
  QVERIFY(!Left.contains(QPoint(259, 40)));
  // Nothing outside the widget.
  for (const QRegion* Region : {&Left, &Middle, &Right}) {
    QVERIFY(QRect(-1, -1, 278, 82).contains(Region->boundingRect()));
  }
}

void TestSmallWidgets::masksCoverTheirEdgePixels()
{
  const QSize Size(276, 80);
  // The middle and right outlines are the fill polygon widened by the
  // stroked edge: a superset that adds pixels along the slanted edge.
  auto Plain = [](const QPointF& A, const QPointF& B, const QPointF& C, const QPointF& D) {
    return QRegion(QPolygonF({A, B, C, D, A}).toPolygon());
  };
  const QRegion PlainMiddle = Plain({40, 0}, {276, 0}, {236, 80}, {0, 80});
  const QRegion PlainRight = Plain({40, 0}, {276, 0}, {276, 80}, {0, 80});
  const QRegion Middle(middleHintMaskPolygon(Size));
  const QRegion Right(rightHintMaskPolygon(Size));
  QCOMPARE(Middle.intersected(PlainMiddle), PlainMiddle);
  QCOMPARE(Right.intersected(PlainRight), PlainRight);
  QVERIFY(!Middle.subtracted(PlainMiddle).isEmpty());
  QVERIFY(!Right.subtracted(PlainRight).isEmpty());
}

void TestSmallWidgets::masksFollowTheWidgetSize()
{
  QWidget Frame;
  Frame.resize(286, 84);
  setMiddleHintMask(&Frame);
  // The hover frame's slant is 42 pixels.
  QVERIFY(!Frame.mask().contains(QPoint(38, 1)));
  QVERIFY(Frame.mask().contains(QPoint(44, 1)));
  QVERIFY(!Frame.mask().contains(QPoint(248, 82)));
  QVERIFY(Frame.mask().contains(QPoint(240, 80)));

  setLeftHintMask(&Frame);
  QVERIFY(Frame.mask().contains(QPoint(1, 1)));
  setRightHintMask(&Frame);
  QVERIFY(!Frame.mask().contains(QPoint(1, 1)));
  QVERIFY(Frame.mask().contains(QPoint(284, 82)));

  // A widget of height 0 gets a degenerate outline covering no pixel.
  QWidget Flat;
  Flat.resize(100, 0);
  setLeftHintMask(&Flat);
  QVERIFY(Flat.mask().isEmpty());
  QVERIFY(QRegion(leftHintMaskPolygon(QSize(100, 0))).isEmpty());
}

void TestSmallWidgets::dragMovesByTheMouseDistance()
{
  TDraggableMainWindow Window;
  Window.resize(300, 200);
  Window.move(100, 100);
  Window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Window));
  const QPoint Start = Window.pos();

  sendMouse(&Window, QEvent::MouseButtonPress, QPoint(150, 150));
  QCOMPARE(Window.dragAnchor(), QPoint(150, 150));
  sendMouse(&Window, QEvent::MouseMove, QPoint(180, 160));
  QCOMPARE(Window.pos(), Start + QPoint(30, 10));
  QCOMPARE(Window.dragAnchor(), QPoint(180, 160));
  sendMouse(&Window, QEvent::MouseMove, QPoint(175, 170));
  QCOMPARE(Window.pos(), Start + QPoint(25, 20));
  sendMouse(&Window, QEvent::MouseButtonRelease, QPoint(175, 170));
  QCOMPARE(Window.dragAnchor(), QPoint(0, 0));

  // After the release moving the mouse does not move the window.
  sendMouse(&Window, QEvent::MouseMove, QPoint(250, 250));
  QCOMPARE(Window.pos(), Start + QPoint(25, 20));
}

void TestSmallWidgets::pressAtScreenOriginStartsNoDrag()
{
  TDraggableMainWindow Window;
  Window.resize(300, 200);
  Window.move(0, 0);
  Window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Window));
  const QPoint Start = Window.pos();

  sendMouse(&Window, QEvent::MouseButtonPress, QPoint(0, 0));
  QCOMPARE(Window.dragAnchor(), QPoint(0, 0));
  sendMouse(&Window, QEvent::MouseMove, QPoint(40, 40));
  QCOMPARE(Window.pos(), Start);
}

void TestSmallWidgets::dialogsAreAnsweredOnlyForOne_data()
{
  QTest::addColumn<QByteArray>("Value");  // null: not set
  QTest::addColumn<bool>("Answered");
  QTest::newRow("1") << QByteArray("1") << true;
  QTest::newRow("unset") << QByteArray() << false;
  QTest::newRow("empty") << QByteArray("") << false;
  QTest::newRow("0") << QByteArray("0") << false;
  QTest::newRow("false") << QByteArray("false") << false;
  QTest::newRow("true") << QByteArray("true") << false;
  QTest::newRow("11") << QByteArray("11") << false;
  QTest::newRow("1 with space") << QByteArray(" 1") << false;
}

void TestSmallWidgets::dialogsAreAnsweredOnlyForOne()
{
  QFETCH(QByteArray, Value);
  QFETCH(bool, Answered);
  if (Value.isNull())
    qunsetenv("ASHGROVE_AUTO_ANSWER_DIALOGS");
  else
    qputenv("ASHGROVE_AUTO_ANSWER_DIALOGS", Value);
  QCOMPARE(dialogsAnsweredAutomatically(), Answered);
  qunsetenv("ASHGROVE_AUTO_ANSWER_DIALOGS");
}

QTEST_MAIN(TestSmallWidgets)
#include "test_smallwidgets.moc"
