#include "host/MsgBox.h"
#include "host/Log.h"

#include <QCoreApplication>

#include <cstdio>

namespace host {

namespace {
MsgBoxHandler& handlerSlot() {
    static MsgBoxHandler handler;
    return handler;
}

MsgBoxPresenter& presenterSlot() {
    static MsgBoxPresenter presenter;
    return presenter;
}

bool& boxesHold() {
    static bool hold = true;
    return hold;
}
} // namespace

QString ProgramTitle() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("Kelvane") : name;
}

void SetMsgBoxesHoldProgram(bool hold) {
    boxesHold() = hold;
}

MsgBoxHandler SetMsgBoxHandler(MsgBoxHandler handler) {
    MsgBoxHandler previous = std::move(handlerSlot());
    handlerSlot() = std::move(handler);
    return previous;
}

void SetMsgBoxPresenter(MsgBoxPresenter presenter) {
    presenterSlot() = std::move(presenter);
}

void MsgBox(const QString& text, MsgBoxIcon icon, const QString& title) {
    const MsgBoxCall call{text, icon, title.isEmpty() ? ProgramTitle() : title};
    if (handlerSlot()) {
        handlerSlot()(call);
        return;
    }
    const MsgBoxPresenter& presenter = presenterSlot();
    const bool canShow = presenter.canShow && presenter.show && presenter.canShow();
    if (!canShow || !boxesHold()) {
        std::fprintf(stderr, "%s: %s\n", logPrintable(call.title), logPrintable(call.text));
        std::fflush(stderr);
    }
    if (canShow) {
        presenter.show(call, boxesHold());
    }
}

} // namespace host
