// Fuzz target of the readers of the program directory's text files: the input is
// written as each of telvaroserver.ini, blacklist.txt, events.txt and keys.txt, and every
// reader reads its file. None may crash; a reader's own error (an unreadable file) is
// allowed, as start-up reports it.

#include <fstream>
#include <stdexcept>

#include "base/Settings.h"
#include "files/KeyFile.h"
#include "records/Events.h"
#include "tests/support/TempDir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace telvaro;
  static test::TempDir dir("telvaro-fuzz");
  const std::string home = dir.withSlash();
  for (const char* name : {"telvaroserver.ini", "blacklist.txt", "events.txt", "keys.txt"})
    std::ofstream(home + name, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  try {
    TSettings settings;
    LoadSettings(home + "telvaroserver.ini", home, settings);
    std::vector<std::string> blackList;
    LoadBlackList(home, blackList);
    EventNames events;
    LoadEvents(home, events);
    LoadKeyTable(home);
  } catch (const std::runtime_error&) {
  }
  dir.Empty();
  return 0;
}
