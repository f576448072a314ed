#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Points XDG_CONFIG_HOME at a fresh temporary folder for the life of the
// object, so a test reads and writes only its own Quorant.conf.
class TempConfig {
public:
    TempConfig();
    ~TempConfig();
    TempConfig(const TempConfig&) = delete;
    TempConfig& operator=(const TempConfig&) = delete;

    QString folder() const { return mDir.path(); }
    QString settingsFile() const;
    // Writes the settings file as the product would: [General] and the values.
    void writeSettings(const QString& iniText) const;
    QByteArray readSettingsBytes() const;

private:
    QTemporaryDir mDir;
    QByteArray mPrevious;
    bool mHadPrevious = false;
};
