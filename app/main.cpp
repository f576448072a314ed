#include "app/Startup.h"
#include "app/frmUPDATE.h"
#include "download/NetworkAsyncReader.h"
#include "host/App.h"
#include "host/Log.h"
#include "host/MsgBox.h"

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
    if (decision.refusal) {
        std::fprintf(stderr, "%s\n", qUtf8Printable(*decision.refusal));
        return 1;
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

    frmUPDATE window(new download::NetworkAsyncReader);
    QObject::connect(&window, &frmUPDATE::Unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    window.Start();
    if (window.isUnloaded()) {
        return 0;
    }
    return app.exec();
}
