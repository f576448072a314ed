#pragma once

#include <QString>

#include <cstdint>
#include <functional>

namespace host {

// Opens `file` with the program associated with it, `directory` as working
// directory. The opened program is not waited for; only the answer whether
// anything took the file is (on Linux, the desktop opener's exit status, for
// a few seconds at most). Returns the code of ShellExecuteOpen().
std::int32_t ShellOpen(const QString& file, const QString& directory);

// Replaces the operating system's open, typically by a recorder in tests. An
// empty handler restores the real one. Returns the handler in place before.
using ShellOpenHandler = std::function<std::int32_t(const QString& file, const QString& directory)>;
ShellOpenHandler SetShellOpenHandler(ShellOpenHandler handler);

} // namespace host
