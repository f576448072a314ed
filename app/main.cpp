#include "app/frmUPDATE.h"
#include "host/App.h"
#include "host/NetworkAsyncReader.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>

namespace {
// The command line as the window will see it, before Qt exists.
QString commandFromArgv(int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    return host::JoinArguments(arguments);
}

bool displayNamed() {
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}
} // namespace

int main(int argc, char* argv[]) {
    const bool silentCheck = commandFromArgv(argc, argv) == QLatin1String("Check");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        if (silentCheck) {
            // A silent check runs at log-in or from a scheduler, where there
            // may be no display at all; it shows no window, so any platform
            // will do, the desktop's own when it can be reached.
            QByteArray platforms;
            if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
                platforms += "wayland;";
            }
            if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
                platforms += "xcb;";
            }
            qputenv("QT_QPA_PLATFORM", platforms + "offscreen");
        } else if (!displayNamed()) {
            std::fprintf(stderr, "kelvane: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set). "
                                 "Run it on a desktop, or under xvfb-run.\n");
            return 1;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvane"));
    QApplication::setQuitOnLastWindowClosed(false);

    frmUPDATE window(new host::NetworkAsyncReader);
    QObject::connect(&window, &frmUPDATE::Unloaded, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    window.Start();
    if (window.isUnloaded()) {
        return 0;
    }
    return app.exec();
}
