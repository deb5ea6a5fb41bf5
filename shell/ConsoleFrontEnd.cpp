#include "shell/ConsoleFrontEnd.h"

#include <string>

namespace telvaro {

ConsoleFrontEnd::ConsoleFrontEnd(OperatorLog& log, std::FILE* out, std::FILE* err)
    : log_(log), out_(out), err_(err) {
  log_.AddObserver(this);
}

ConsoleFrontEnd::~ConsoleFrontEnd() { log_.RemoveObserver(this); }

void ConsoleFrontEnd::ShowMessage(std::string_view text) { WriteLine(err_, "Error: ", text); }

void ConsoleFrontEnd::LineAppended(std::string_view line) { WriteLine(out_, {}, line); }

void ConsoleFrontEnd::LabelChanged(std::string_view text) { WriteLine(out_, "== label: ", text); }

void ConsoleFrontEnd::PanelChanged(int panel, std::string_view text) {
  const std::string prefix = "== panel " + std::to_string(panel) + ": ";
  WriteLine(out_, prefix, text);
}

void ConsoleFrontEnd::WriteLine(std::FILE* f, std::string_view prefix, std::string_view text) {
  // One write per line keeps a line whole when standard output is shared, and a
  // reader (a service manager, a pipe) sees each line as soon as it is logged.
  std::string line;
  line.reserve(prefix.size() + text.size() + 1);
  line.append(prefix).append(text) += '\n';
  std::fwrite(line.data(), 1, line.size(), f);
  std::fflush(f);
}

}  // namespace telvaro
