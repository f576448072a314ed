#include "tests/support/TempConfig.h"

#include <QFile>

TempConfig::TempConfig()
    : mPrevious(qgetenv("XDG_CONFIG_HOME")), mHadPrevious(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")) {
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(mDir.path()));
}

TempConfig::~TempConfig() {
    if (mHadPrevious) {
        qputenv("XDG_CONFIG_HOME", mPrevious);
    } else {
        qunsetenv("XDG_CONFIG_HOME");
    }
}

QString TempConfig::settingsFile() const {
    return mDir.filePath(QStringLiteral("Quorant.conf"));
}

void TempConfig::writeSettings(const QString& iniText) const {
    QFile file(settingsFile());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(iniText.toUtf8());
    }
}

QByteArray TempConfig::readSettingsBytes() const {
    QFile file(settingsFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
