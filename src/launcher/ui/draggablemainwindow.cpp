#include "launcher/ui/draggablemainwindow.h"

#include <QMouseEvent>

namespace orvale::launcher {

TDraggableMainWindow::TDraggableMainWindow(QWidget* Parent) : QMainWindow(Parent) {}

void TDraggableMainWindow::mousePressEvent(QMouseEvent* Event)
{
  m_DragAnchor = Event->screenPos().toPoint();
  Event->accept();
}

void TDraggableMainWindow::mouseReleaseEvent(QMouseEvent* Event)
{
  m_DragAnchor = QPoint(0, 0);
  Event->accept();
}

void TDraggableMainWindow::mouseMoveEvent(QMouseEvent* Event)
{
  Event->accept();
  if (m_DragAnchor.isNull())
    return;
  const QPoint Position = Event->screenPos().toPoint();
  move(pos() + (Position - m_DragAnchor));
  m_DragAnchor = Position;
}

} // namespace orvale::launcher
