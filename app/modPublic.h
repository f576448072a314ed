#pragma once

#include <QString>

namespace modPublic {

// File name of the installed edition's version file, "veltrin_marlo.txt" or
// "veltrin_zent.txt". The main window sets it once at load and hands it to
// the wizard, which keeps its local copy of the version file under this name.
inline QString VersionFileName;

} // namespace modPublic
