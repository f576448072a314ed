#pragma once

#include <QLoggingCategory>
#include <QString>

// Where Kelvane's technical detail goes: Qt's logging, so that the standard
// error stream (and, under a systemd user service, the journal) tells why
// something failed. A failure is one line at warning level, which is on by
// default; the steps that led to it are debug lines, turned on with
// QT_LOGGING_RULES, e.g. "kelvane.*.debug=true".
//
// Log lines quote what servers and files say. Every message is escaped on its
// way out (see InstallLogEscaping), so such a text stays inside its own line:
// a line feed in a version file cannot start a line that looks like one of
// Kelvane's own.
namespace host {

// Downloads: every read that fails, with its address, its file and the reason.
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
// Handing a package to the system: why the system refused it.
Q_DECLARE_LOGGING_CATEGORY(lcHandoff)
// Whole-file writes (the settings file's new content).
Q_DECLARE_LOGGING_CATEGORY(lcSaveFile)

// `text` with every character that could break or disguise a log line
// written as an escape: line feed, carriage return and tab as \n, \r and \t;
// the other C0 controls and DEL as \xHH; C1 controls, the line and paragraph
// separators and the invisible format characters (bidirectional overrides,
// zero-width characters, the byte order mark) as \uHHHH, or \UHHHHHHHH
// beyond the 16-bit range. Backslashes stay as they are, so Windows paths
// read as usual; every other character, letters of any script included, is
// unchanged.
QString EscapeControls(const QString& text);

// What a log line may quote of `text`: escaped as EscapeControls does, in
// UTF-8. A NUL inside would otherwise end the quote where it stands, since
// a "%s" stops there; logPrintable(text) gives it as a "%s" takes it.
QByteArray Printable(const QString& text);
#define logPrintable(text) host::Printable(text).constData()

// Installs a Qt message handler that passes every message, escaped by
// EscapeControls, to the handler that was installed before it. main calls it
// before anything is logged; later calls do nothing.
void InstallLogEscaping();

} // namespace host
