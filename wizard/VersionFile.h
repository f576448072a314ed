#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The version file the vendor publishes: line 1 the product name, line 2 the
// published version, line 3 the package's URL; later lines are ignored.
namespace versionfile {

// Splits text into lines the way the version file is read: a line ends at
// CR LF or at a lone CR, neither being part of it; a LF on its own stays in
// the line. A final line end adds no empty line. Nothing is trimmed.
QStringList SplitLines(const QString& text);

// The file's bytes are text in the system's 8-bit locale encoding.
QStringList ReadLines(const QByteArray& bytes);

// The lines of the file at `path`, or nothing when it cannot be opened or
// read. The file itself is left as it is.
std::optional<QStringList> ReadFile(const QString& path);

// "Update", the version without any full stop, ".EXE".
QString UpdateFileNameFor(const QString& serverVersion);

// True when `name` can only ever address a file directly inside the program
// folder on any platform the product runs on: no separator, no drive colon,
// no control character, none of the characters Windows forbids, not "." or
// "..", and at most 255 bytes.
bool IsPlainFileName(const QString& name);

// Why the lines of a version file cannot drive an update, or nothing when
// they can: fewer than three lines (a file with LF-only line ends reads as
// one line), an empty version or package address, a version that makes no
// plain file name, or a package address that can never be downloaded. The
// text ends in a full stop and is meant for the user.
std::optional<QString> Problem(const QStringList& lines);

// What a check takes from the lines of a version file: the published fields
// (empty where the file has no such line), the package's file name when the
// file has all three lines, and why the file cannot drive an update. When
// `problem` is set, the package URL and file name are empty, so nothing can
// be fetched or written on the strength of a file that was refused.
struct Published {
    QString productName;
    QString serverVersion;
    QString updateURL;
    QString updateFileName;
    std::optional<QString> problem;
};
Published Interpret(const QStringList& lines);

} // namespace versionfile
