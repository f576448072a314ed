#include "host/App.h"

#include <QCoreApplication>
#include <QDir>

namespace host {

namespace {
std::optional<QString>& commandOverride() {
    static std::optional<QString> value;
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

QString Command() {
    if (commandOverride()) {
        return *commandOverride();
    }
    return JoinArguments(QCoreApplication::arguments().mid(1));
}

QString AppPath() {
    if (appPathOverride()) {
        return *appPathOverride();
    }
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

void setCommandOverride(std::optional<QString> command) {
    commandOverride() = std::move(command);
}

void setAppPathOverride(std::optional<QString> path) {
    appPathOverride() = std::move(path);
}

} // namespace host
