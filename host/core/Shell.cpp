#include "host/Shell.h"

#include "host/ShellExecute.h"

namespace host {

namespace {
ShellOpenHandler& handlerSlot() {
    static ShellOpenHandler handler;
    return handler;
}
} // namespace

ShellOpenHandler SetShellOpenHandler(ShellOpenHandler handler) {
    ShellOpenHandler previous = std::move(handlerSlot());
    handlerSlot() = std::move(handler);
    return previous;
}

std::int32_t ShellOpen(const QString& file, const QString& directory) {
    if (handlerSlot()) {
        return handlerSlot()(file, directory);
    }
    return ShellExecuteOpen(file.toStdU16String(), directory.toStdU16String());
}

} // namespace host
