#include "host/gui/MsgBoxDialog.h"

#include "host/MsgBox.h"

#include <QApplication>
#include <QMessageBox>

namespace host::gui {

namespace {
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

void UseMessageBoxDialogs() {
    MsgBoxPresenter presenter;
    presenter.canShow = [] {
        return qobject_cast<QApplication*>(QCoreApplication::instance()) &&
               QGuiApplication::platformName() != QLatin1String("offscreen");
    };
    presenter.show = [](const MsgBoxCall& call, bool hold) {
        if (!hold) {
            auto* box = new QMessageBox(toQt(call.icon), call.title, call.text, QMessageBox::Ok);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setModal(false);
            box->show();
            return;
        }
        QMessageBox box(toQt(call.icon), call.title, call.text, QMessageBox::Ok);
        box.exec();
    };
    SetMsgBoxPresenter(std::move(presenter));
}

} // namespace host::gui
