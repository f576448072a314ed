#pragma once

// Free of Qt. The five registry functions the store calls, reached through
// one table so that tests can count the keys opened and closed, and stage
// answers that a real registry gives only rarely.
#include <windows.h>

namespace modRWRegistry::detail {

struct RegistryApi {
    decltype(&::RegOpenKeyA) openKey;
    decltype(&::RegQueryValueExA) queryValue;
    decltype(&::RegCreateKeyA) createKey;
    decltype(&::RegSetValueExA) setValue;
    decltype(&::RegCloseKey) closeKey;
};

// The table in use; it starts with advapi32's own functions.
RegistryApi& registryApi();

} // namespace modRWRegistry::detail
