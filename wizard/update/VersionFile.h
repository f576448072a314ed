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

// The file's bytes split into lines by the same rule, each line as it was
// (what a signature names, byte for byte) and as text in the system's 8-bit
// locale encoding. `problem` says when one of the first three lines is no
// text in that encoding: such a line is never taken, as its bytes would be
// replaced by stand-ins.
struct Text {
    QList<QByteArray> raw;
    QStringList lines;
    std::optional<QString> problem;
};
Text Decode(const QByteArray& bytes);

// The lines alone.
QStringList ReadLines(const QByteArray& bytes);

// "Update", the version without any full stop, ".EXE".
QString UpdateFileNameFor(const QString& serverVersion);

// True when `name` can only ever address a file directly inside the program
// folder on any platform the product runs on, and reads as what it is: no
// separator, no drive colon, no control character, none of the characters
// Windows forbids, no invisible format character (a bidirectional override,
// a zero-width one), no line or paragraph separator and no blank but the
// plain space, not "." or "..", and at most 255 bytes.
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
// The same for a file's text, whose own problem comes first.
Published Interpret(const Text& text);

} // namespace versionfile
