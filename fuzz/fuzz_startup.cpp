// The start-up decision from the command line and the environment. Input:
// one byte for the desktop, then NUL-separated parts: the arguments
// (separated by 0x1F), then NAME=VALUE environment entries.
#include "FuzzCheck.h"

#include "app/Startup.h"
#include "host/App.h"
#include "host/Log.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    using startup::Desktop;
    const Desktop desktop = static_cast<Desktop>(data[0] % 3);
    const QList<QByteArray> parts =
        QByteArray(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1)).split('\0');

    std::vector<std::string> arguments{"kelvane"};
    for (const QByteArray& argument : parts.at(0).split('\x1f')) {
        arguments.push_back(argument.toStdString());
    }
    if (parts.at(0).isEmpty()) {
        arguments.pop_back();
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    host::CaptureCommandLine(int(argv.size()), argv.data());
    const QString command = host::Command();

    QProcessEnvironment environment;
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const qsizetype equals = parts.at(i).indexOf('=');
        if (equals > 0) {
            environment.insert(QString::fromLocal8Bit(parts.at(i).left(equals)),
                               QString::fromLocal8Bit(parts.at(i).mid(equals + 1)));
        }
    }

    const startup::Decision decision = startup::Decide(desktop, environment, command);
    // The argument text is compared whole and exactly: only the one argument
    // "Check" (or "/Auto"), as given, selects the mode.
    const bool one = arguments.size() == 2;
    FUZZ_CHECK((decision.mode == startup::RunMode::SilentCheck) == (one && arguments[1] == "Check"));
    FUZZ_CHECK((decision.mode == startup::RunMode::AutoStart) == (one && arguments[1] == "/Auto"));

    FUZZ_CHECK(!(decision.platform && decision.refusal));
    // Every text that is no mode, and only such a text, gets its one line,
    // which promises the wizard only where it opens.
    FUZZ_CHECK(bool(decision.notice) == (decision.mode == startup::RunMode::Interactive && !command.isEmpty()));
    if (decision.notice) {
        FUZZ_CHECK(host::EscapeControls(*decision.notice) == *decision.notice);
        FUZZ_CHECK(decision.notice->endsWith(QLatin1String(" Opening the wizard.")) == !decision.refusal);
    }
    const auto has = [&environment](const char* name) {
        return !environment.value(QString::fromLatin1(name)).isEmpty();
    };
    if (desktop != Desktop::Unix || has("QT_QPA_PLATFORM")) {
        // The user's platform choice and the native desktops are left alone.
        FUZZ_CHECK(!decision.platform && !decision.refusal);
        return 0;
    }
    if (decision.mode == startup::RunMode::SilentCheck) {
        // A silent check always starts, on offscreen when nothing else does.
        FUZZ_CHECK(decision.platform && decision.platform->endsWith("offscreen"));
        FUZZ_CHECK(decision.platform->contains("xcb") == has("DISPLAY"));
        FUZZ_CHECK(decision.platform->contains("wayland") == has("WAYLAND_DISPLAY"));
        return 0;
    }
    FUZZ_CHECK(!decision.platform);
    FUZZ_CHECK(bool(decision.refusal) == (!has("DISPLAY") && !has("WAYLAND_DISPLAY")));
    return 0;
}
