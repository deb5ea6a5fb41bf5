#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "tools/telvaroctl/Ctl.h"

namespace telvaro::ctl {

std::string HomeDirectory(const CommonOptions& o) {
  namespace fs = std::filesystem;
  std::string home;
  if (o.home) {
    home = *o.home;
  } else {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    home = ec ? std::string(".") : exe.parent_path().string();
    // Installed, the program lives in /usr/bin and the server's settings elsewhere.
    if (!fs::exists(fs::path(home) / "telvaroserver.ini", ec) &&
        fs::exists(fs::path(TELVARO_CONFIG_DIR) / "telvaroserver.ini", ec))
      home = TELVARO_CONFIG_DIR;
  }
  if (home.empty() || home.back() != '/') home += '/';
  return home;
}

void CheckTerminalId(const CommonOptions& o, const std::string& id) {
  if (o.anyId) return;
  if (id.size() != 15 || !std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isdigit(c); }))
    throw UsageError("the terminal ID \"" + id + "\" is not an IMEI of 15 digits (--any-id takes it as it is)");
}

}  // namespace telvaro::ctl
