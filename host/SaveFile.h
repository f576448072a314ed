#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace host {

// Writes `bytes` as the whole content of `path`, atomically: the bytes go to a
// temporary file in the same folder, which replaces the target only once it
// is complete and flushed. On failure the target is left as it was and the
// system's reason is returned.
std::optional<QString> SaveWholeFile(const QString& path, const QByteArray& bytes);

} // namespace host
