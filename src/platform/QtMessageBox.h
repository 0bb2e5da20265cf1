// The message-box port under Qt: a real QMessageBox. On the GUI thread it is modal (start-up has
// no window yet); from a service thread it is shown on the GUI thread without a modal loop, so
// the status window keeps refreshing, and a question waits only in the thread that asked.
#pragma once

namespace pv::platform {

// Call once the QApplication exists; from then on MessageBox() shows dialogs.
void InstallQtMessageBoxes();

}  // namespace pv::platform
