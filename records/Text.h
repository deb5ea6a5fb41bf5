#pragma once
// Text for the operator: the single-byte Windows-1251 text of records, commands and
// pipe messages shown as UTF-8, with control characters made visible so that no peer
// can send escape sequences to the operator's terminal.

#include <string>
#include <string_view>

namespace telvaro {

/// Appends Windows-1251 `text` to `out` as UTF-8. Control characters (below 0x20, and
/// 0x7F) and the one byte without a character (0x98) appear as "\xNN", NN in capitals.
void AppendDisplayText(std::string& out, std::string_view text);

/// `text` (Windows-1251) as AppendDisplayText shows it.
std::string DisplayText(std::string_view text);

}  // namespace telvaro
