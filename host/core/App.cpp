#include "host/App.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringDecoder>

namespace host {

namespace {
std::optional<QString>& commandOverride() {
    static std::optional<QString> value;
    return value;
}
std::optional<QStringList>& capturedArguments() {
    static std::optional<QStringList> value;
    return value;
}
std::optional<QString>& appPathOverride() {
    static std::optional<QString> value;
    return value;
}
} // namespace

QString JoinArguments(const QStringList& argumentsAfterProgram) {
    return argumentsAfterProgram.join(QLatin1Char(' '));
}

void CaptureCommandLine(int argc, const char* const* argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        // Every character as given: QString::fromLocal8Bit drops a leading
        // byte order mark, and "\xEF\xBB\xBF/Auto" would read as a mode;
        // a character cut short at the end stays a stand-in, never nothing.
        QStringDecoder decoder(QStringConverter::System,
                               QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless);
        arguments.append(decoder.decode(QByteArray(argv[i])));
    }
    capturedArguments() = arguments;
}

QString Command() {
    if (commandOverride()) {
        return *commandOverride();
    }
    if (capturedArguments()) {
        return JoinArguments(*capturedArguments());
    }
    return JoinArguments(QCoreApplication::arguments().mid(1));
}

QString AppPath() {
    if (appPathOverride()) {
        return *appPathOverride();
    }
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

void SetCommandOverride(std::optional<QString> command) {
    commandOverride() = std::move(command);
}

void SetAppPathOverride(std::optional<QString> path) {
    appPathOverride() = std::move(path);
}

} // namespace host
