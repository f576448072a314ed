#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The operating system's "open" of a file: the program associated with the
// file runs, in the given working directory, and nobody waits for it to end.
// Outside Windows a file that is not a program goes to the desktop's opener,
// whose answer (did anything take the file?) is awaited for a short while.
namespace host {

// Result codes in the manner of the Windows shell: above 32 the file was
// handed over, 0 to 32 the shell refused (2: no such file, 5: access denied,
// 11: not a program that can be started, 31: nothing can open this file).
std::int32_t ShellExecuteOpen(const std::u16string& file, const std::u16string& directory);

constexpr bool ShellRefused(std::int32_t result) {
    return result >= 0 && result <= 32;
}

// Test hook, outside Windows only: how long ShellExecuteOpen waits for the
// desktop's opener to answer (5 s by default). An opener still running then
// counts as having taken the file and is left running. Returns the previous
// bound.
std::chrono::milliseconds SetOpenerWaitForTest(std::chrono::milliseconds bound);

} // namespace host
