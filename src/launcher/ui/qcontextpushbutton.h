#pragma once

#include <QPushButton>
#include <QString>

class QAction;
class QContextMenuEvent;
class QMenu;

namespace orvale::launcher {

// A push button with a context menu. Users fill contextMenu() with actions;
// choosing one emits contextTriggered with the action's text. With an empty
// menu a right-click shows nothing.
class QContextPushButton : public QPushButton
{
  Q_OBJECT
public:
  explicit QContextPushButton(QWidget* parent = nullptr);

  // Owned by the button.
  QMenu* contextMenu() const { return m_pContextMenu; }

signals:
  void contextTriggered(QString actionText);

public slots:
  void onContextMenuActionTriggered(QAction* action);

protected:
  void contextMenuEvent(QContextMenuEvent* event) override;

private:
  QMenu* m_pContextMenu;
};

} // namespace orvale::launcher
