#pragma once

#include <QPolygon>
#include <QSize>
#include <QString>

class QLabel;
class QWidget;

namespace orvale::launcher {

// A label showing the image at ImagePath as a link to LinkTarget, with a
// tooltip; external links open in the desktop's browser.
QLabel* createLinkLabel(QWidget* Parent, const QString& ImagePath, const QString& LinkTarget, const QString& ToolTip);

// Size of the container of one hint slot.
constexpr int HintSlotWidth = 276;
constexpr int HintSlotHeight = 80;

// A plain widget of the fixed size 276 x 80 that takes Content as its child
// (without a layout).
QWidget* createHintSlotContainer(QWidget* Parent, QWidget* Content);

// The slanted outlines of the three hint slots for a widget of the given
// size: the left slot has a slanted right edge, the middle one is a
// parallelogram, the right one has a slanted left edge. The slant is half
// the height. The middle and right outlines include their edge pixels.
QPolygon leftHintMaskPolygon(const QSize& Size);
QPolygon middleHintMaskPolygon(const QSize& Size);
QPolygon rightHintMaskPolygon(const QSize& Size);

// Set the widget's mask to the outline for its current size.
void setLeftHintMask(QWidget* Widget);
void setMiddleHintMask(QWidget* Widget);
void setRightHintMask(QWidget* Widget);

} // namespace orvale::launcher
