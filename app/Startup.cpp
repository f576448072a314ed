#include "app/Startup.h"

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

Decision Decide(Desktop desktop, const QProcessEnvironment& environment, const QString& command) {
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

} // namespace startup
