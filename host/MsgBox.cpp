#include "host/MsgBox.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace host {

namespace {
MsgBoxHandler& handlerSlot() {
    static MsgBoxHandler handler;
    return handler;
}

bool& boxesHold() {
    static bool hold = true;
    return hold;
}

QMessageBox::Icon toQt(MsgBoxIcon icon) {
    switch (icon) {
    case MsgBoxIcon::Critical:
        return QMessageBox::Critical;
    case MsgBoxIcon::Exclamation:
        return QMessageBox::Warning;
    case MsgBoxIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
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

void MsgBox(const QString& text, MsgBoxIcon icon, const QString& title) {
    const MsgBoxCall call{text, icon, title.isEmpty() ? ProgramTitle() : title};
    if (handlerSlot()) {
        handlerSlot()(call);
        return;
    }
    const bool canShow = qobject_cast<QApplication*>(QCoreApplication::instance()) &&
                         QGuiApplication::platformName() != QLatin1String("offscreen");
    if (!canShow || !boxesHold()) {
        std::fprintf(stderr, "%s: %s\n", qUtf8Printable(call.title), qUtf8Printable(call.text));
        std::fflush(stderr);
    }
    if (!canShow) {
        return;
    }
    if (!boxesHold()) {
        auto* box = new QMessageBox(toQt(call.icon), call.title, call.text, QMessageBox::Ok);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setModal(false);
        box->show();
        return;
    }
    QMessageBox box(toQt(call.icon), call.title, call.text, QMessageBox::Ok);
    box.exec();
}

} // namespace host
