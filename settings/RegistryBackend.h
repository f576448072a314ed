#pragma once

#include <optional>
#include <string>

// The per-user store of text values that the product and Kelvane share. On
// Windows it is the registry; elsewhere a per-user settings file. This header
// is free of Qt so that the Windows backend builds with the Windows API alone.
namespace modRWRegistry {

enum class RootKey { CurrentUser };

// A failure raised while the store was reached (not a missing value).
struct StoreFailure {
    std::u16string description;
};

struct ReadResult {
    std::optional<std::u16string> value; // no value: missing, or not plain text
    std::optional<StoreFailure> failure;
};

// Reads the text value `strValue` under the sub-key `strPath` of `hKey`.
// Never creates anything.
ReadResult RegReadString(RootKey hKey, const std::u16string& strPath, const std::u16string& strValue);

// Writes `strData` as the text value `strValue`, creating the sub-key (or the
// file) when needed. Returns the failure, if one was raised.
std::optional<StoreFailure> RegWriteString(RootKey hKey, const std::u16string& strPath, const std::u16string& strValue,
                                           const std::u16string& strData);

} // namespace modRWRegistry
