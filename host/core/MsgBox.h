#pragma once

#include <QString>

#include <functional>

namespace host {

enum class MsgBoxIcon { None, Critical, Exclamation };

// What one message box would show: the text, the icon and the title as the
// user sees it (the program's title when the caller gave none).
struct MsgBoxCall {
    QString text;
    MsgBoxIcon icon = MsgBoxIcon::None;
    QString title;
};

// The program's title, shown by a message box that has no title of its own.
QString ProgramTitle();

// Shows a modal message box with an OK button and returns when it is closed.
// The event loop keeps running while it is open. Where no one can see a box
// (no presenter, or the offscreen platform of a silent run), the text goes to
// the standard error stream instead, so nothing ever waits for a click that
// cannot come.
void MsgBox(const QString& text, MsgBoxIcon icon = MsgBoxIcon::None, const QString& title = QString());

// Whether a box holds the program until it is closed (the default). A run
// that nobody watches (the silent check) turns this off: every text then goes
// to the standard error stream, and a box that can be shown appears without
// waiting for its click, so the run still ends on time.
void SetMsgBoxesHoldProgram(bool hold);

// Replaces the real dialog, typically by a recorder in tests. An empty handler
// restores the real dialog. Returns the handler that was in place before.
using MsgBoxHandler = std::function<void(const MsgBoxCall&)>;
MsgBoxHandler SetMsgBoxHandler(MsgBoxHandler handler);

// What shows a box on the screen: the GUI part installs one (see
// host/gui/MsgBoxDialog.h); without it every text goes to the standard error
// stream, as for a run nobody can see.
struct MsgBoxPresenter {
    // Whether a box can be seen now (a screen, not the offscreen platform).
    std::function<bool()> canShow;
    // Shows the box; `hold`: returns only when it is closed.
    std::function<void(const MsgBoxCall&, bool hold)> show;
};
void SetMsgBoxPresenter(MsgBoxPresenter presenter);

} // namespace host
