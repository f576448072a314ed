#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the program knows of its own start: the command line and the folder
// of the running executable.
namespace host {

// The arguments after the program's name, joined by single blanks: `kelvane
// "Check "` gives "Check " and `kelvane Check /Auto` gives "Check /Auto".
QString Command();
QString JoinArguments(const QStringList& argumentsAfterProgram);

// Folder of the running executable in native form, without a trailing
// separator except at the root of a file system.
QString AppPath();

// Test hooks: replace what Command() and AppPath() report; std::nullopt
// restores the real values.
void setCommandOverride(std::optional<QString> command);
void setAppPathOverride(std::optional<QString> path);

} // namespace host
