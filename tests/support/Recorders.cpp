#include "tests/support/Recorders.h"

#include "host/Shell.h"

MsgBoxRecorder::MsgBoxRecorder() {
    host::setMsgBoxHandler([this](const host::MsgBoxCall& call) { calls.append(call); });
}

MsgBoxRecorder::~MsgBoxRecorder() {
    host::setMsgBoxHandler({});
}

ShellRecorder::ShellRecorder(std::int32_t answer) : result(answer) {
    host::setShellOpenHandler([this](const QString& file, const QString& directory) {
        calls.append({file, directory});
        return result;
    });
}

ShellRecorder::~ShellRecorder() {
    host::setShellOpenHandler({});
}
