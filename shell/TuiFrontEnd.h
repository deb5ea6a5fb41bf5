#pragma once
// The operator window in the terminal, drawn with ncurses on the main loop: title,
// label, the log view and the five status panels.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <asio.hpp>

#include "base/OperatorLog.h"

namespace telvaro {

/// Where the window is drawn: the controlling terminal by default.
struct TuiTerminal {
  std::FILE* in = stdin;
  std::FILE* out = stdout;
  const char* type = nullptr;  ///< terminfo name; nullptr reads $TERM
};

/// The operator window. It redraws from the log's store at most every FrameInterval,
/// and only when something changed, so threads appending lines never wait for it.
/// Keys: Up/Down a line, PgUp/PgDn a page, Home/End top and bottom (End follows the
/// newest line again), Left/Right scroll sideways; `q` or F10 call `onClose` once.
/// A message box stays over the log until Enter, Space or Esc.
///
/// One window per process, created, used and destroyed on the thread that runs `io`.
/// The terminal is restored by the destructor, by an uncaught exception's termination
/// and by a fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT).
class TuiFrontEnd {
 public:
  static constexpr const char* Title = "Telvaro Server Krestel";
  static constexpr std::chrono::milliseconds FrameInterval{50};  ///< at most 20 redraws a second

  /// Takes over the terminal; throws std::runtime_error when it cannot be used.
  TuiFrontEnd(asio::io_context& io, OperatorLog& log, std::function<void()> onClose,
              TuiTerminal terminal = {});
  ~TuiFrontEnd();
  TuiFrontEnd(const TuiFrontEnd&) = delete;
  TuiFrontEnd& operator=(const TuiFrontEnd&) = delete;

  /// Shows `text` (UTF-8) in a framed box with "OK"; the loop runs on meanwhile.
  void ShowMessage(std::string text);

 private:
  struct Screen;  // the ncurses screen and what is needed to give the terminal back

  void Tick();
  void HandleKey(int result, unsigned key);
  void Scroll(long delta);
  void Draw();
  int LogRows() const;

  OperatorLog& log_;
  std::function<void()> onClose_;
  asio::steady_timer timer_;
  std::unique_ptr<Screen> screen_;

  bool dirty_ = true;
  bool closeCalled_ = false;
  std::uint64_t drawnVersion_ = 0;
  bool follow_ = true;     ///< the view shows the newest lines
  std::size_t top_ = 0;    ///< first line shown while not following
  std::size_t total_ = 0;  ///< lines in the log at the last redraw
  int column_ = 0;         ///< first column shown
  std::deque<std::string> messages_;
  std::vector<std::string> visible_;
};

}  // namespace telvaro
