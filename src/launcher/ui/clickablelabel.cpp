#include "launcher/ui/clickablelabel.h"

#include <QMouseEvent>

namespace orvale::launcher {

ClickableLabel::ClickableLabel(QWidget* parent, Qt::WindowFlags f) : QLabel(parent, f) {}

void ClickableLabel::mousePressEvent(QMouseEvent* event)
{
  // Other buttons (a right-click looking for a context menu) must not open
  // a link behind the player's back.
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  event->accept();
  emit clicked();
}

} // namespace orvale::launcher
