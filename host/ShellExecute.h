#pragma once

#include <cstdint>
#include <string>

// The operating system's "open" of a file: the program associated with the
// file runs, in the given working directory, and nobody waits for it.
namespace host {

// Result codes in the manner of the Windows shell: above 32 the file was
// handed over, 0 to 32 the shell refused (2: no such file, 5: access denied,
// 11: not a program that can be started, 31: nothing can open this file).
std::int32_t ShellExecuteOpen(const std::u16string& file, const std::u16string& directory);

constexpr bool ShellRefused(std::int32_t result) {
    return result >= 0 && result <= 32;
}

} // namespace host
