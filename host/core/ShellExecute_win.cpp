#include "host/ShellExecute.h"

#include "host/AnsiText_win.h"

#include <windows.h>

#include <shellapi.h>

// shell32 is linked directly: the loader takes it from the system folder
// before the program starts, so it is always there when this runs and no
// search path can substitute another library for it.
namespace host {

namespace {
constexpr std::int32_t kFileNotFound = 2; // SE_ERR_FNF
constexpr std::int32_t kPathNotFound = 3; // SE_ERR_PNF
} // namespace

std::int32_t ShellExecuteOpen(const std::u16string& file, const std::u16string& directory) {
    // A path with characters the ANSI code page lacks is refused here rather
    // than handed over as a look-alike that may name another file.
    const std::optional<std::string> ansiFile = toAnsiCodePage(file, true);
    if (!ansiFile) {
        return kFileNotFound;
    }
    const std::optional<std::string> ansiDirectory = toAnsiCodePage(directory, true);
    if (!ansiDirectory) {
        return kPathNotFound;
    }
    const HINSTANCE result =
        ::ShellExecuteA(nullptr, "open", ansiFile->c_str(), "", ansiDirectory->c_str(), SW_SHOWNORMAL);
    // The result is a status code dressed as a handle; only its low 32 bits,
    // read signed, carry it.
    return static_cast<std::int32_t>(reinterpret_cast<INT_PTR>(result));
}

} // namespace host
