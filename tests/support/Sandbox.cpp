#include "tests/support/Sandbox.h"

#include "host/App.h"

Sandbox::Sandbox() {
    host::SetAppPathOverride(folder.path());
}

Sandbox::~Sandbox() {
    host::SetAppPathOverride(std::nullopt);
}
