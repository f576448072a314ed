#pragma once

#include "host/MsgBox.h"

#include <QList>
#include <QString>

#include <cstdint>

// Stand-ins for what would leave the test process: message boxes are recorded
// instead of shown, shell opens are recorded instead of run. Each restores the
// real service when it goes out of scope.
class MsgBoxRecorder {
public:
    MsgBoxRecorder();
    ~MsgBoxRecorder();
    MsgBoxRecorder(const MsgBoxRecorder&) = delete;
    MsgBoxRecorder& operator=(const MsgBoxRecorder&) = delete;

    QList<host::MsgBoxCall> calls;
};

struct ShellCall {
    QString file;
    QString directory;
};

class ShellRecorder {
public:
    // `result` is what every recorded open answers (above 32: opened).
    explicit ShellRecorder(std::int32_t result = 42);
    ~ShellRecorder();
    ShellRecorder(const ShellRecorder&) = delete;
    ShellRecorder& operator=(const ShellRecorder&) = delete;

    std::int32_t result;
    QList<ShellCall> calls;
};
