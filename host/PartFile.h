#pragma once

#include <QString>

#include <optional>

// The files a download is streamed into before it is whole: "Kelvane-",
// six random characters, ".part", in the target's folder. No package or
// version file is ever named so, and a part file found when no copy of the
// updater works on the folder is a leftover of a crash.
namespace host {

bool IsPartFileName(const QString& fileName);

// The template QTemporaryFile takes for a part file in `folder`.
QString PartFileTemplate(const QString& folder);

// Removes every part file directly in `folder`; returns how many went.
int RemovePartFiles(const QString& folder);

// Moves `from` over `to` in one step: `to` holds either its old content or
// the new, never a mix or nothing. Returns the system's reason on failure.
std::optional<QString> ReplaceFile(const QString& from, const QString& to);

} // namespace host
