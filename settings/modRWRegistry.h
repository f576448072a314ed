#pragma once

#include <QString>

#include <optional>

// The product's per-user settings, under its own key Software\Quorant.
namespace modRWRegistry {

// Sub-key of the current user's settings that holds the product's values.
inline const QString kProductKey = QStringLiteral("Software\\Quorant");

// The value's text, or "" when there is none. A name that is empty or made
// of blanks shows "strValue do not null" and reads nothing; a failure of the
// store shows its description and yields "".
QString GetAppSetting(const QString& strValue);

// The same read, telling a missing value ("") apart from a store that could
// not be read at all (std::nullopt, after its description was shown), so a
// caller can refuse to guess where the value decides what to do.
std::optional<QString> TryGetAppSetting(const QString& strValue);

// Stores `strData` under the value name. The same blank-name rule applies; a
// failure of the store shows its description and nothing more happens.
// Returns whether the value was stored.
bool SaveAppSetting(const QString& strValue, const QString& strData);

} // namespace modRWRegistry
