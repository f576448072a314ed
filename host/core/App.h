#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// What the program knows of its own start: the command line and the folder
// of the running executable.
namespace host {

// The arguments after the program's name, joined by single blanks: `kelvane
// "Check "` gives "Check " and `kelvane Check /Auto` gives "Check /Auto".
// These are the arguments as the program was started with them: Qt's own
// options (-reverse, -platform ...) count too, since Qt removes them from
// what it keeps only when the application object is made.
QString Command();
QString JoinArguments(const QStringList& argumentsAfterProgram);

// Keeps the command line as given, before Qt sees it; main calls it first.
void CaptureCommandLine(int argc, const char* const* argv);

// Folder of the running executable in native form, without a trailing
// separator except at the root of a file system.
QString AppPath();

// Test hooks: replace what Command() and AppPath() report; std::nullopt
// restores the real values.
void SetCommandOverride(std::optional<QString> command);
void SetAppPathOverride(std::optional<QString> path);

} // namespace host
