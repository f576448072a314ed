#pragma once

#include <QString>

namespace modPublic {

// File name of the installed edition's version file, "veltrin_marlo.txt" or
// "veltrin_zent.txt". The main window sets it once at load; the wizard keeps
// its local copy of the version file under this name in its folder.
inline QString VersionFileName;

} // namespace modPublic
