#include "shell/CommandLine.h"

#include <filesystem>
#include <memory>
#include <stdexcept>

#include <CLI/CLI.hpp>

namespace telvaro {
namespace {

/// The help text's usage line is the server's documented synopsis.
struct Synopsis : CLI::Formatter {
  std::string make_usage(const CLI::App*, std::string) const override {
    return "Usage: telvaroserver [--home DIR] [--console | --tui] [--version] [--help]\n";
  }
};

/// The server's options, written into `cl` when parsed.
void Describe(CLI::App& app, CommandLine& cl) {
  app.name("telvaroserver");
  app.formatter(std::make_shared<Synopsis>());
  app.description("The Telvaro communication server for Krestel terminals.");
  app.footer("SIGINT and SIGTERM shut the server down in order; SIGHUP reopens the log file.");
  app.set_version_flag("--version", "telvaroserver " TELVARO_VERSION, "print the version and exit");
  app.add_option("--home", cl.home,
                 "program directory holding telvaroserver.ini, events.txt, blacklist.txt, keys.txt and "
                 "upd_sw.mdb (default: the directory of the executable)")
      ->type_name("DIR");
  auto* console = app.add_flag_callback(
      "--console", [&cl] { cl.ui = CommandLine::Ui::Console; },
      "no window: log lines, label and panel changes on stdout (default when stdout is not a terminal)");
  auto* tui = app.add_flag_callback(
      "--tui", [&cl] { cl.ui = CommandLine::Ui::Tui; },
      "the operator window in this terminal (default on a terminal); q or F10 closes it");
  console->excludes(tui);
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  CLI::App app;
  Describe(app, cl);
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    cl.help = true;
  } catch (const CLI::CallForVersion&) {
    cl.version = true;
  } catch (const CLI::ParseError& e) {
    throw std::invalid_argument(e.what());
  }
  return cl;
}

std::string UsageText() {
  CommandLine unused;
  CLI::App app;
  Describe(app, unused);
  return app.help();
}

std::string ProgramDirectory(const std::string& home) {
  namespace fs = std::filesystem;
  fs::path dir = home.empty() ? fs::read_symlink("/proc/self/exe").parent_path() : fs::absolute(home);
  std::string s = dir.lexically_normal().string();
  if (s.empty() || s.back() != '/') s += '/';
  return s;
}

}  // namespace telvaro
