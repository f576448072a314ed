#include "settings/RegistryBackend.h"

#include "host/AnsiText_win.h"
#include "settings/RegistryApi_win.h"

#include <windows.h>

#include <cstddef>
#include <string_view>

// The registry is reached only through the ANSI entry points, because the
// product itself stores its values that way; the key is opened and closed
// within each call, so nothing is held between calls.
namespace modRWRegistry {

namespace detail {
RegistryApi& registryApi() {
    static RegistryApi api{&::RegOpenKeyA, &::RegQueryValueExA, &::RegCreateKeyA, &::RegSetValueExA, &::RegCloseKey};
    return api;
}
} // namespace detail

namespace {

// The product's values are short texts. A larger size is not one of them and
// must not turn into an allocation the size of whatever the registry claims.
constexpr DWORD kMaxValueBytes = 1024 * 1024;

std::u16string rootName(RootKey root) {
    switch (root) {
    case RootKey::CurrentUser:
        break;
    }
    return u"HKEY_CURRENT_USER";
}

HKEY rootHandle(RootKey root) {
    switch (root) {
    case RootKey::CurrentUser:
        return HKEY_CURRENT_USER;
    }
    return HKEY_CURRENT_USER;
}

// Closes the key on every way out, including an allocation failure.
class KeyCloser {
public:
    explicit KeyCloser(HKEY key) : mKey(key) {}
    ~KeyCloser() { detail::registryApi().closeKey(mKey); }
    KeyCloser(const KeyCloser&) = delete;
    KeyCloser& operator=(const KeyCloser&) = delete;

private:
    HKEY mKey;
};

std::u16string fromAnsiCodePage(const char* bytes, int length) {
    if (length <= 0) {
        return std::u16string();
    }
    const int wideLength = ::MultiByteToWideChar(CP_ACP, 0, bytes, length, nullptr, 0);
    if (wideLength <= 0) {
        return std::u16string();
    }
    std::u16string text(static_cast<std::size_t>(wideLength), u'\0');
    ::MultiByteToWideChar(CP_ACP, 0, bytes, length, reinterpret_cast<wchar_t*>(text.data()), wideLength);
    return text;
}

std::u16string decimal(unsigned long number) {
    const std::string digits = std::to_string(number);
    return std::u16string(digits.begin(), digits.end());
}

std::u16string notExpressible() {
    return u" cannot be expressed in the system's code page (" + decimal(::GetACP()) + u")";
}

// The system's own text for a registry status, in the user's language, with
// the number for a search or a support call.
std::u16string systemMessage(LONG status) {
    char* buffer = nullptr;
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::u16string text = fromAnsiCodePage(buffer, static_cast<int>(length));
    ::LocalFree(buffer);
    // The message closes its own sentence; the description closes it again.
    while (!text.empty() && std::u16string_view(u" \r\n.\u3002").find(text.back()) != std::u16string_view::npos) {
        text.pop_back();
    }
    const std::u16string code = u"error " + decimal(static_cast<DWORD>(status));
    return text.empty() ? code : text + u" (" + code + u")";
}

std::optional<std::u16string> readOpenKey(HKEY key, const std::string& name) {
    const detail::RegistryApi& api = detail::registryApi();

    // Type and size only. The status is not needed: a missing value leaves
    // the type at 0, which is not REG_SZ.
    DWORD type = 0;
    DWORD size = 0;
    api.queryValue(key, name.c_str(), nullptr, &type, nullptr, &size);
    if (type != REG_SZ || size > kMaxValueBytes) {
        return std::nullopt;
    }

    std::string buffer(size, ' ');
    DWORD filled = size;
    if (api.queryValue(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &filled) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    // Without a buffer the ANSI query may report an upper bound (the size of
    // the text as the registry keeps it); only the bytes filled in are text.
    if (filled > size) {
        filled = size;
    }

    std::u16string text = fromAnsiCodePage(buffer.data(), static_cast<int>(filled));
    // A value stored without its terminating NUL reads whole; one with text
    // behind a NUL ends there.
    const std::size_t end = text.find(u'\0');
    if (end != std::u16string::npos) {
        text.resize(end);
    }
    return text;
}

} // namespace

ReadResult RegReadString(RootKey hKey, const std::u16string& strPath, const std::u16string& strValue) {
    ReadResult result;
    const std::optional<std::string> path = host::toAnsiCodePage(strPath, true);
    const std::optional<std::string> name = host::toAnsiCodePage(strValue, true);
    if (!path || !name) {
        return result;
    }
    HKEY key = nullptr;
    if (detail::registryApi().openKey(rootHandle(hKey), path->c_str(), &key) != ERROR_SUCCESS) {
        return result;
    }
    const KeyCloser closer(key);
    result.value = readOpenKey(key, *name);
    return result;
}

std::optional<StoreFailure> RegWriteString(RootKey hKey, const std::u16string& strPath, const std::u16string& strValue,
                                           const std::u16string& strData) {
    const auto notSaved = [&](const std::u16string& reason) {
        return StoreFailure{strValue + u" was not saved in the registry key \"" + rootName(hKey) + u"\\" + strPath +
                            u"\": " + reason + u"."};
    };
    // Conversions are checked before the key is created, so a text that
    // cannot be stored leaves the registry as it was. A look-alike in the
    // path or name would reach another key or value; a look-alike in the
    // data would record a text the caller never gave.
    const std::optional<std::string> path = host::toAnsiCodePage(strPath, true);
    if (!path) {
        return notSaved(u"the key's path" + notExpressible());
    }
    const std::optional<std::string> name = host::toAnsiCodePage(strValue, true);
    if (!name) {
        return notSaved(u"its name" + notExpressible());
    }
    const std::optional<std::string> data = host::toAnsiCodePage(strData, true);
    if (!data) {
        return notSaved(u"the text \"" + strData + u"\"" + notExpressible());
    }
    const detail::RegistryApi& api = detail::registryApi();
    HKEY key = nullptr;
    // A key that cannot be created leaves nothing to write into or close.
    const LONG created = api.createKey(rootHandle(hKey), path->c_str(), &key);
    if (created != ERROR_SUCCESS) {
        return notSaved(u"the key cannot be created: " + systemMessage(created));
    }
    const KeyCloser closer(key);
    // The length is the byte count of the ANSI text, so a double-byte code
    // page keeps the whole text. No terminating NUL is counted.
    const LONG set = api.setValue(key, name->c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data->c_str()),
                                  static_cast<DWORD>(data->size()));
    if (set != ERROR_SUCCESS) {
        return notSaved(systemMessage(set));
    }
    return std::nullopt;
}

} // namespace modRWRegistry
