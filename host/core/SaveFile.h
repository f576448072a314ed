#pragma once

#include "host/Failure.h"

#include <QByteArray>
#include <QString>

namespace host {

// Writes `bytes` as the whole content of `path`, atomically: the bytes go to a
// temporary file in the same folder, which replaces the target only once it
// is complete and flushed. Every byte must reach the file: a disk that fills
// up, even for a file of a few bytes, is a failure. On failure the target is
// left as it was, no temporary file remains, and a WriteFailed failure with the
// system's reason (such as "No space left on device") is returned.
Outcome SaveWholeFile(const QString& path, const QByteArray& bytes);

} // namespace host
