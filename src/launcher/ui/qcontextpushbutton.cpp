#include "launcher/ui/qcontextpushbutton.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>

namespace orvale::launcher {

QContextPushButton::QContextPushButton(QWidget* parent) : QPushButton(parent), m_pContextMenu(new QMenu(this))
{
  connect(m_pContextMenu, &QMenu::triggered, this, &QContextPushButton::onContextMenuActionTriggered);
}

void QContextPushButton::onContextMenuActionTriggered(QAction* action)
{
  if (action)
    emit contextTriggered(action->text());
}

void QContextPushButton::contextMenuEvent(QContextMenuEvent* event)
{
  event->accept();
  if (m_pContextMenu->actions().isEmpty())
    return;
  m_pContextMenu->popup(event->globalPos());
}

} // namespace orvale::launcher
