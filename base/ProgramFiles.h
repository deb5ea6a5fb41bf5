#pragma once
// The text files of the program directory (settings aside): black list, event names,
// key table.

#include <functional>
#include <string>
#include <string_view>

namespace telvaro {

/// Calls `onLine` with each line of the text file `name` in `programDir`, without its
/// line end (LF or CR LF). False when the file does not exist; throws
/// std::runtime_error when it exists but cannot be read.
bool ReadProgramFileLines(const std::string& programDir, std::string_view name,
                          const std::function<void(std::string& line)>& onLine);

}  // namespace telvaro
