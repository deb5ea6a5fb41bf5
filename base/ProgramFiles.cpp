#include "base/ProgramFiles.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

namespace telvaro {

bool ReadProgramFileLines(const std::string& programDir, std::string_view name,
                          const std::function<void(std::string& line)>& onLine) {
  std::string path = programDir;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT) return false;
    throw std::runtime_error(fmt::format("Cannot read {}: {}", path, std::strerror(errno)));
  }
  std::string line;
  while (std::getline(in, line)) {
    // Files written on Windows end their lines with CR LF; the CR is not part of the line.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    onLine(line);
  }
  if (in.bad()) throw std::runtime_error(fmt::format("Cannot read {}", path));
  return true;
}

}  // namespace telvaro
