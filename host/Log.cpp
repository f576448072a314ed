#include "host/Log.h"

namespace host {

// Debug lines stay off unless the user's logging rules ask for them;
// information and warnings are always written.
Q_LOGGING_CATEGORY(lcDownload, "kelvane.download", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHandoff, "kelvane.handoff", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSaveFile, "kelvane.savefile", QtInfoMsg)

} // namespace host
