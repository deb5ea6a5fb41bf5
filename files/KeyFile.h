#pragma once
// The identification key table's file in the program directory.

#include <string>

#include "protocol/Identification.h"

namespace telvaro {

/// Reads "keys.txt" from `programDir` (which ends with "/") and parses it; when there
/// is no table, says why ("no key file ...", "cannot read ..." or the parser's reason).
KeyTableLoad LoadKeyTable(const std::string& programDir);

}  // namespace telvaro
