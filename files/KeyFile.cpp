#include "files/KeyFile.h"

#include <fstream>
#include <sstream>

namespace telvaro {

KeyTableLoad LoadKeyTable(const std::string& programDir) {
  const std::string path = programDir + std::string(KeyFileName);
  std::ifstream in(path, std::ios::binary);
  if (!in) return {std::nullopt, "no key file " + path};
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return {std::nullopt, "cannot read " + path};
  return ParseKeyTable(text.str());
}

}  // namespace telvaro
