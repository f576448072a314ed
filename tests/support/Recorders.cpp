#include "tests/support/Recorders.h"

#include "host/Shell.h"

MsgBoxRecorder::MsgBoxRecorder() {
    host::SetMsgBoxHandler([this](const host::MsgBoxCall& call) { calls.append(call); });
}

MsgBoxRecorder::~MsgBoxRecorder() {
    host::SetMsgBoxHandler({});
}

ShellRecorder::ShellRecorder(std::int32_t answer) : result(answer) {
    host::SetShellOpenHandler([this](const QString& file, const QString& directory) {
        calls.append({file, directory});
        return result;
    });
}

ShellRecorder::~ShellRecorder() {
    host::SetShellOpenHandler({});
}
