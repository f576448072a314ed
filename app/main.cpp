#include "app/Startup.h"
#include "app/frmUPDATE.h"
#include "download/NetworkAsyncReader.h"
#include "host/App.h"
#include "host/Log.h"
#include "host/MsgBox.h"
#include "host/gui/MsgBoxDialog.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    // Log lines quote servers and files: none of their text may start a line
    // of its own.
    host::InstallLogEscaping();
    // The mode is read from the command line as it was given, before Qt takes
    // its own options out of it, so main and the window agree on it.
    host::CaptureCommandLine(argc, argv);
    const startup::Decision decision =
        startup::Decide(startup::CurrentDesktop(), QProcessEnvironment::systemEnvironment(), host::Command());
    for (const std::optional<QString>& line : {decision.notice, decision.refusal}) {
        if (line) {
            std::fprintf(stderr, "%s\n", qUtf8Printable(*line));
        }
    }
    if (decision.refusal) {
        return int(startup::ExitStatus::NoDisplay);
    }
    if (decision.platform) {
        qputenv("QT_QPA_PLATFORM", *decision.platform);
    }
    // Nobody watches a silent check: a box it raises must not keep it from
    // ending by its timer.
    host::SetMsgBoxesHoldProgram(decision.mode != startup::RunMode::SilentCheck);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    host::gui::UseMessageBoxDialogs();

    frmUPDATE window(new download::NetworkAsyncReader);
    QObject::connect(&window, &frmUPDATE::Unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    window.Start();
    if (!window.isUnloaded()) {
        app.exec();
    }
    return int(window.exitStatus());
}
