#include "shell/CommandLine.h"

#include <filesystem>
#include <stdexcept>

namespace telvaro {

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--home") {
      if (i + 1 >= args.size()) throw std::invalid_argument("--home needs a directory");
      cl.home = args[++i];
    } else if (a.rfind("--home=", 0) == 0) {
      cl.home = a.substr(7);
    } else if (a == "--console" || a == "--tui") {
      const auto ui = a == "--console" ? CommandLine::Ui::Console : CommandLine::Ui::Tui;
      if (cl.ui != CommandLine::Ui::Auto && cl.ui != ui)
        throw std::invalid_argument("--console and --tui exclude each other");
      cl.ui = ui;
    } else if (a == "--version") {
      cl.version = true;
    } else if (a == "--help" || a == "-h") {
      cl.help = true;
    } else {
      throw std::invalid_argument("unknown argument: " + a);
    }
  }
  return cl;
}

std::string UsageText() {
  return "Usage: telvaroserver [--home DIR] [--console | --tui] [--version] [--help]\n"
         "\n"
         "  --home DIR   program directory holding telvaroserver.ini, events.txt,\n"
         "               blacklist.txt, keys.txt and upd_sw.mdb (default: the\n"
         "               directory of the executable)\n"
         "  --console    no window: log lines, label and panel changes on stdout\n"
         "               (default when stdout is not a terminal)\n"
         "  --tui        the operator window in this terminal (default on a terminal);\n"
         "               q or F10 closes it\n"
         "  --version    print the version and exit\n"
         "  --help       print this text and exit\n"
         "\n"
         "SIGINT and SIGTERM shut the server down in order.\n";
}

std::string ProgramDirectory(const std::string& home) {
  namespace fs = std::filesystem;
  fs::path dir = home.empty() ? fs::read_symlink("/proc/self/exe").parent_path() : fs::absolute(home);
  std::string s = dir.lexically_normal().string();
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

}  // namespace telvaro
