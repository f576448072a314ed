#pragma once

// The message boxes of host/MsgBox.h as real dialogs, for a program with a
// window: a modal QMessageBox, or one that does not hold the program when
// boxes may not (a silent check). The offscreen platform shows none.
namespace host::gui {

// Makes host::MsgBox show its boxes as dialogs from now on.
void UseMessageBoxDialogs();

} // namespace host::gui
