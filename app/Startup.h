#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

#include <optional>

// What the program decides before Qt starts: the run mode from the argument
// text, the windowing platform Qt should use, or that it cannot start.
namespace startup {

enum class RunMode {
    Interactive, // any other text, or none: the welcome step waits for the user
    SilentCheck, // "Check": no window, the published version is recorded, ends by its timer
    AutoStart,   // "/Auto": the window opens with the check under way
};

// The argument text after the program's name, compared whole and exactly.
RunMode ModeFor(const QString& command);

// How the program ends, for a shell or a service manager to read. A silent
// check never needs a display, so its failure shares the plain 1 that
// systemd reads as "FAILURE" (2 would show as "INVALIDARGUMENT").
enum class ExitStatus {
    Ok = 0,              // the window was closed; or a silent check recorded the published version
    NoDisplay = 1,       // a window was asked for where there is no display (see Decision::refusal)
    NothingRecorded = 1, // a silent check ended by its timer without recording the published version
};

// The desktop the program is built for.
enum class Desktop {
    Windows, // the native platform always has a screen
    MacOS,   // likewise
    Unix,    // X11 or Wayland, reached through DISPLAY or WAYLAND_DISPLAY
};
Desktop CurrentDesktop();

struct Decision {
    RunMode mode = RunMode::Interactive;
    // A value for QT_QPA_PLATFORM, when the program has to choose one.
    std::optional<QByteArray> platform;
    // Why the program cannot start at all; it then ends with this text.
    std::optional<QString> refusal;
    // For an argument text that names no mode: one line for the standard
    // error stream that says so and names the modes, the text quoted with its
    // control characters escaped. The run goes on as for any other text.
    std::optional<QString> notice;
};

// A window needs a display. On X11/Wayland desktops a session without one
// (a scheduler, a log-in script, ssh) names none; there a silent check falls
// back to Qt's offscreen platform, since it shows nothing, and a window is
// refused with a clear text instead of Qt's abort. A QT_QPA_PLATFORM the user
// set is always left alone. On every desktop a non-empty text that is no mode
// gets its notice.
Decision Decide(Desktop desktop, const QProcessEnvironment& environment, const QString& command);

} // namespace startup
