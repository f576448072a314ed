#include "tests/support/Sandbox.h"

#include "app/modPublic.h"
#include "host/App.h"

Sandbox::Sandbox() {
    host::setAppPathOverride(folder.path());
    modPublic::VersionFileName = QStringLiteral("veltrin_marlo.txt");
}

Sandbox::~Sandbox() {
    host::setAppPathOverride(std::nullopt);
}
