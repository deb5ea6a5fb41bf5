#pragma once
// Names of the terminal's own event codes, read from "events.txt" at start-up.

#include <array>
#include <string>

namespace telvaro {

/// Event names by code, 1 to 256 (index 0 unused), already in their shown form (UTF-8).
using EventNames = std::array<std::string, 257>;

/// The names of the process; written only by LoadEvents during start-up, read by Print.
extern EventNames Events;

/// Fills `events` from "events.txt" (Windows-1251) in `programDir`. Every line is a first
/// word, a blank, the code 1 to 256 in decimal, a blank and the name (the rest of the
/// line); other lines set nothing, a later line for a code wins. All names are emptied
/// first; a missing file leaves them empty, an unreadable one throws std::runtime_error.
void LoadEvents(const std::string& programDir, EventNames& events = Events);

}  // namespace telvaro
