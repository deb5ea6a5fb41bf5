#pragma once
// What the connections and their parsers take from the settings, as the values they are
// built with once at start-up.

#include "base/Settings.h"
#include "connections/TerminalConnection.h"

namespace telvaro {

/// The connections' settings of `s`: command pause, database queue and its bound, and
/// the parsers' fuel events, download directory and decimal separator. The log, stores,
/// file sink, black list and key table are the caller's.
ConnectionEnv ConnectionEnvOf(const TSettings& s);

}  // namespace telvaro
