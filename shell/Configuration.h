#pragma once
// What the connections, their parsers and the log lines take from the settings, as the
// values they are built with once at start-up.

#include "base/Settings.h"
#include "connections/TerminalConnection.h"
#include "records/TerminalRecord.h"

namespace telvaro {

/// The log line's options of `s`.
RenderOptions RenderOptionsOf(const TSettings& s);

/// The connections' settings of `s`: command pause, database queue and its bound, the
/// parsers' fuel events, download directory and decimal separator, and the log line's
/// options. The log, stores, file sink, black list and key table are the caller's.
ConnectionEnv ConnectionEnvOf(const TSettings& s);

}  // namespace telvaro
