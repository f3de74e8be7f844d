#include "launcher/ui/messageboxes.h"

#include <QDebug>
#include <QPushButton>

namespace orvale::launcher {

bool dialogsAnsweredAutomatically()
{
  // Exactly "1": a variable left over with another value ("0", "false", an
  // empty one) must not silence the boxes of an ordinary run.
  return qgetenv("ASHGROVE_AUTO_ANSWER_DIALOGS") == "1";
}

namespace {

void logBox(const QMessageBox& Box)
{
  qInfo().noquote() << QString("Dialog: %1: %2").arg(Box.windowTitle(), Box.text());
}

} // namespace

int execMessageBox(QMessageBox& Box)
{
  if (!dialogsAnsweredAutomatically())
    return Box.exec();
  logBox(Box);
  QAbstractButton* Default = Box.defaultButton();
  if (!Default && !Box.buttons().isEmpty())
    Default = Box.buttons().first();
  return Default ? Box.standardButton(Default) : QMessageBox::NoButton;
}

void showMessageBoxWithoutWaiting(QMessageBox& Box)
{
  // A box that does not wait cannot hang a run; it is only logged as well.
  if (dialogsAnsweredAutomatically())
    logBox(Box);
  Box.show();
}

} // namespace orvale::launcher
