#pragma once
// The server's command line: telvaroserver [--home DIR] [--console | --tui] [--version] [--help]

#include <optional>
#include <string>
#include <vector>

namespace telvaro {

struct CommandLine {
  enum class Ui { Auto, Console, Tui };
  std::string home;  ///< program directory; empty: the executable's directory
  Ui ui = Ui::Auto;
  bool version = false;
  bool help = false;
};

/// Parses the arguments after the program name; throws std::invalid_argument with a
/// message for the operator on anything it does not know.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

/// The usage text for --help.
std::string UsageText();

/// The program directory: `home` made absolute, or the directory of the running
/// executable; always ends with "/".
std::string ProgramDirectory(const std::string& home);

}  // namespace telvaro
