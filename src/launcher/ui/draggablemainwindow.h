#pragma once

#include <QMainWindow>
#include <QPoint>

class QMouseEvent;

namespace orvale::launcher {

// A main window that can be dragged by any part of its surface that does
// not take the mouse itself. The drag anchor is the screen position of the
// last mouse position; (0, 0) means no drag is under way.
class TDraggableMainWindow : public QMainWindow
{
public:
  explicit TDraggableMainWindow(QWidget* Parent = nullptr);

  const QPoint& dragAnchor() const { return m_DragAnchor; }

protected:
  void mousePressEvent(QMouseEvent* Event) override;
  void mouseReleaseEvent(QMouseEvent* Event) override;
  void mouseMoveEvent(QMouseEvent* Event) override;

private:
  QPoint m_DragAnchor;
};

} // namespace orvale::launcher
