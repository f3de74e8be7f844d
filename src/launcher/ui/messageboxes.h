#pragma once

#include <QMessageBox>
#include <QString>

namespace orvale::launcher {

// Every modal box of the launcher goes through these functions. When the
// environment variable ASHGROVE_AUTO_ANSWER_DIALOGS is "1" (automated runs
// and tests; any other value counts as unset), a box is not shown: its title and text are logged as
// "Dialog: <title>: <text>" and it is answered with its default button, so
// that no run can hang on a box nobody sees.
bool dialogsAnsweredAutomatically();

// Runs Box modally (exec) or answers it automatically; returns the result.
int execMessageBox(QMessageBox& Box);
// Shows Box without waiting (show); in automatic mode it is logged as well.
void showMessageBoxWithoutWaiting(QMessageBox& Box);

} // namespace orvale::launcher
