#include "app/Startup.h"

#include "host/Log.h"

namespace startup {

RunMode ModeFor(const QString& command) {
    if (command == QLatin1String("Check")) {
        return RunMode::SilentCheck;
    }
    if (command == QLatin1String("/Auto")) {
        return RunMode::AutoStart;
    }
    return RunMode::Interactive;
}

Desktop CurrentDesktop() {
#if defined(Q_OS_WIN)
    return Desktop::Windows;
#elif defined(Q_OS_MACOS)
    return Desktop::MacOS;
#else
    return Desktop::Unix;
#endif
}

namespace {
// A text typed by mistake (`--help`, `check`) opens the wizard all the same;
// the line tells the user why no help or check came.
void addNotice(Decision& decision, const QString& command) {
    if (decision.mode != RunMode::Interactive || command.isEmpty()) {
        return;
    }
    QString notice = QStringLiteral("kelvane: \"%1\" is not a mode; the modes are \"Check\" (silent check) and "
                                    "\"/Auto\" (start the check at once).")
                         .arg(host::EscapeControls(command));
    if (!decision.refusal) {
        notice += QStringLiteral(" Opening the wizard.");
    }
    decision.notice = notice;
}

Decision decide(Desktop desktop, const QProcessEnvironment& environment, const QString& command) {
    Decision decision;
    decision.mode = ModeFor(command);
    if (desktop != Desktop::Unix || !environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty()) {
        return decision;
    }
    const bool wayland = !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
    const bool x11 = !environment.value(QStringLiteral("DISPLAY")).isEmpty();
    if (decision.mode == RunMode::SilentCheck) {
        // The desktop's own platform when it can be reached, so that a box
        // the check raises is seen; offscreen when nothing else starts.
        QByteArray platforms;
        if (wayland) {
            platforms += "wayland;";
        }
        if (x11) {
            platforms += "xcb;";
        }
        decision.platform = platforms + "offscreen";
    } else if (!wayland && !x11) {
        decision.refusal = QStringLiteral("kelvane: no display found (neither DISPLAY nor WAYLAND_DISPLAY is set). "
                                          "Run it on a desktop, or under xvfb-run.");
    }
    return decision;
}
} // namespace

Decision Decide(Desktop desktop, const QProcessEnvironment& environment, const QString& command) {
    Decision decision = decide(desktop, environment, command);
    addNotice(decision, command);
    return decision;
}

} // namespace startup
