#include "tests/support/TempConfig.h"

#include <QDir>
#include <QFile>

TempHome::TempHome(const char* variable)
    : mVariable(variable), mPrevious(qgetenv(variable)), mHadPrevious(qEnvironmentVariableIsSet(variable)) {
    qputenv(mVariable, QFile::encodeName(mDir.path()));
}

TempHome::~TempHome() {
    if (mHadPrevious) {
        qputenv(mVariable, mPrevious);
    } else {
        qunsetenv(mVariable);
    }
}

QString TempConfig::settingsFile() const {
    return QDir(mHome.path()).filePath(QStringLiteral("Quorant.conf"));
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
