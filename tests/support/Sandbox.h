#pragma once

#include "tests/support/Recorders.h"
#include "tests/support/TempConfig.h"

#include <QTemporaryDir>

// What a wizard test runs in: a settings file of its own, a program folder of
// its own (reported as the executable's folder), a cache folder of its own
// (XDG_CACHE_HOME), message boxes recorded rather than shown.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    // `name` inside the program folder.
    QString file(const QString& name) const { return folder.filePath(name); }

    TempConfig config;
    TempHome cache{"XDG_CACHE_HOME"};
    QTemporaryDir folder;
    MsgBoxRecorder boxes;
};
