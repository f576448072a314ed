#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Points an environment variable such as XDG_CACHE_HOME at a fresh temporary
// folder for the life of the object, and restores it afterwards.
class TempHome {
public:
    explicit TempHome(const char* variable);
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    QString path() const { return mDir.path(); }

private:
    const char* mVariable;
    QTemporaryDir mDir;
    QByteArray mPrevious;
    bool mHadPrevious = false;
};

// Points XDG_CONFIG_HOME at a fresh temporary folder for the life of the
// object, so a test reads and writes only its own Quorant.conf.
class TempConfig {
public:
    TempConfig() = default;
    TempConfig(const TempConfig&) = delete;
    TempConfig& operator=(const TempConfig&) = delete;

    QString folder() const { return mHome.path(); }
    QString settingsFile() const;
    // Writes the settings file as the product would: [General] and the values.
    void writeSettings(const QString& iniText) const;
    QByteArray readSettingsBytes() const;

private:
    TempHome mHome{"XDG_CONFIG_HOME"};
};
