#pragma once
// What the connections, their parsers, the log lines and the fuel report take from the
// settings, as the values they are built with once at start-up.

#include "base/Settings.h"
#include "connections/TerminalConnection.h"
#include "records/TerminalRecord.h"
#include "tasks/TaskDatabase.h"

namespace telvaro {

/// The log line's options of `s`.
RenderOptions RenderOptionsOf(const TSettings& s);

/// The fuel report's format of `s`.
ReportFormat ReportFormatOf(const TSettings& s);

/// The connections' settings of `s`: command pause, database queue and its bound, the
/// parsers' fuel events, download directory and decimal separator, and the log line's
/// options. The log, stores, file sink, black list and key table are the caller's.
ConnectionEnv ConnectionEnvOf(const TSettings& s);

}  // namespace telvaro
