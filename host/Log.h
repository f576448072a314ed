#pragma once

#include <QLoggingCategory>

// Where Kelvane's technical detail goes: Qt's logging, so that the standard
// error stream (and, under a systemd user service, the journal) tells why
// something failed. A failure is one line at warning level, which is on by
// default; the steps that led to it are debug lines, turned on with
// QT_LOGGING_RULES, e.g. "kelvane.*.debug=true".
namespace host {

// Downloads: every read that fails, with its address, its file and the reason.
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
// Handing a package to the system: why the system refused it.
Q_DECLARE_LOGGING_CATEGORY(lcHandoff)
// Whole-file writes (the settings file's new content).
Q_DECLARE_LOGGING_CATEGORY(lcSaveFile)

} // namespace host
