#pragma once

// Free of Qt: shared by the Windows registry store and the shell hand-off,
// which reach the system through its ANSI entry points.
#include <windows.h>

#include <climits>
#include <cstddef>
#include <optional>
#include <string>

namespace host {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

// `text` in the system's ANSI code page. With `exact`, nothing when the ANSI
// text would not name the same thing: a character without an ANSI form would
// become a look-alike ('w' for 'ŵ') or '?', and an embedded NUL would cut the
// name short, so a path or value name would reach a different file or value.
inline std::optional<std::string> toAnsiCodePage(const std::u16string& text, bool exact) {
    if (exact && text.find(u'\0') != std::u16string::npos) {
        return std::nullopt;
    }
    if (text.empty()) {
        return std::string();
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        return std::nullopt;
    }
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int wideLength = static_cast<int>(text.size());
    // UTF-8 as the ANSI code page (a Windows option) expresses every
    // character and accepts neither these flags nor the lost-character report.
    const bool utf8 = ::GetACP() == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL lostCharacter = FALSE;
    BOOL* lostReport = utf8 ? nullptr : &lostCharacter;
    const int length = ::WideCharToMultiByte(CP_ACP, flags, wide, wideLength, nullptr, 0, nullptr, lostReport);
    if (length <= 0 || (exact && lostCharacter)) {
        return std::nullopt;
    }
    std::string ansi(static_cast<std::size_t>(length), '\0');
    if (::WideCharToMultiByte(CP_ACP, flags, wide, wideLength, ansi.data(), length, nullptr, nullptr) != length) {
        return std::nullopt;
    }
    return ansi;
}

} // namespace host
