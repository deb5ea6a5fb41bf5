#pragma once
// The operator log without a window: every line on standard output as it is
// appended, status changes as lines of their own, a message box on standard error.

#include <cstdio>
#include <string_view>

#include "base/OperatorLog.h"

namespace telvaro {

/// Writes the log to `out` while it exists: each appended line, then "== label: TEXT"
/// and "== panel N: TEXT" on each change, one line each, flushed per line. Lines are
/// written under the log's lock, so they come out in the order they were appended.
/// Create and destroy it on the main loop.
class ConsoleFrontEnd : private OperatorLog::Observer {
 public:
  explicit ConsoleFrontEnd(OperatorLog& log, std::FILE* out = stdout, std::FILE* err = stderr);
  ~ConsoleFrontEnd() override;
  ConsoleFrontEnd(const ConsoleFrontEnd&) = delete;
  ConsoleFrontEnd& operator=(const ConsoleFrontEnd&) = delete;

  /// The message box: "Error: TEXT" on the error stream. Nobody can close it, so the
  /// caller then ends the process with exit status 1.
  void ShowMessage(std::string_view text);

 private:
  void LineAppended(std::string_view line) override;
  void LabelChanged(std::string_view text) override;
  void PanelChanged(int panel, std::string_view text) override;
  void WriteLine(std::FILE* f, std::string_view prefix, std::string_view text);

  OperatorLog& log_;
  std::FILE* out_;
  std::FILE* err_;
};

}  // namespace telvaro
