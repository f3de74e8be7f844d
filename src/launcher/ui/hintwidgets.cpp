#include "launcher/ui/hintwidgets.h"

#include <QLabel>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QRegion>
#include <QTransform>
#include <QWidget>

namespace orvale::launcher {

QLabel* createLinkLabel(QWidget* Parent, const QString& ImagePath, const QString& LinkTarget, const QString& ToolTip)
{
  auto* Label = new QLabel(Parent);
  Label->setTextFormat(Qt::RichText);
  Label->setText(QString("<a href=\"") + LinkTarget.toHtmlEscaped() + "\"><img src=\"" + ImagePath.toHtmlEscaped() +
                 "\"/></a>");
  Label->setToolTip(ToolTip);
  Label->setOpenExternalLinks(true);
  return Label;
}

QWidget* createHintSlotContainer(QWidget* Parent, QWidget* Content)
{
  auto* Container = new QWidget(Parent);
  Container->setMinimumSize(HintSlotWidth, HintSlotHeight);
  Container->setMaximumSize(HintSlotWidth, HintSlotHeight);
  Container->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  if (Content)
    Content->setParent(Container);
  return Container;
}

namespace {

QPolygonF pathPolygon(const QPainterPath& Path)
{
  return Path.toFillPolygon(QTransform());
}

// The path's polygon together with its outline stroked 1 pixel wide, so
// that the pixels on the slanted edges belong to the region as well.
QPolygonF pathPolygonWithEdges(const QPainterPath& Path)
{
  QPainterPathStroker Stroker;
  Stroker.setWidth(1);
  Stroker.setJoinStyle(Qt::RoundJoin);
  return pathPolygon(Path).united(pathPolygon(Stroker.createStroke(Path)));
}

QPainterPath closedPath(const QPointF& A, const QPointF& B, const QPointF& C, const QPointF& D)
{
  QPainterPath Path;
  Path.moveTo(A);
  Path.lineTo(B);
  Path.lineTo(C);
  Path.lineTo(D);
  Path.closeSubpath();
  return Path;
}

} // namespace

QPolygon leftHintMaskPolygon(const QSize& Size)
{
  const qreal W = Size.width();
  const qreal H = Size.height();
  return pathPolygon(closedPath({0, 0}, {W, 0}, {W - H / 2, H}, {0, H})).toPolygon();
}

QPolygon middleHintMaskPolygon(const QSize& Size)
{
  const qreal W = Size.width();
  const qreal H = Size.height();
  return pathPolygonWithEdges(closedPath({H / 2, 0}, {W, 0}, {W - H / 2, H}, {0, H})).toPolygon();
}

QPolygon rightHintMaskPolygon(const QSize& Size)
{
  const qreal W = Size.width();
  const qreal H = Size.height();
  return pathPolygonWithEdges(closedPath({H / 2, 0}, {W, 0}, {W, H}, {0, H})).toPolygon();
}

void setLeftHintMask(QWidget* Widget)
{
  Widget->setMask(QRegion(leftHintMaskPolygon(Widget->size())));
}

void setMiddleHintMask(QWidget* Widget)
{
  Widget->setMask(QRegion(middleHintMaskPolygon(Widget->size())));
}

void setRightHintMask(QWidget* Widget)
{
  Widget->setMask(QRegion(rightHintMaskPolygon(Widget->size())));
}

} // namespace orvale::launcher
