#pragma once
// The operator log without a window: every line on standard output as it is
// appended, status changes as lines of their own, a message box on standard error.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/OperatorLog.h"

namespace telvaro {

/// Writes the log to `out` while it exists: each appended line, then "== label: TEXT"
/// and "== panel N: TEXT" on each change, one line each. Lines are queued under the
/// log's lock, so they come out in the order they were appended; a writer thread of its
/// own writes and flushes whatever has queued with one write at a time, so a thread that
/// logs never waits for the console unless PendingLimit bytes are already waiting.
/// Create and destroy it on the main loop.
class ConsoleFrontEnd : private OperatorLog::Observer {
 public:
  /// Bytes waiting for the console beyond which a thread that logs waits for the writer.
  static constexpr std::size_t PendingLimit = 4 << 20;

  explicit ConsoleFrontEnd(OperatorLog& log, std::FILE* out = stdout, std::FILE* err = stderr);
  /// Stops observing and writes what is still queued.
  ~ConsoleFrontEnd() override;
  ConsoleFrontEnd(const ConsoleFrontEnd&) = delete;
  ConsoleFrontEnd& operator=(const ConsoleFrontEnd&) = delete;

  /// The message box: "Error: TEXT" on the error stream, after every line queued before
  /// it. Nobody can close it, so the caller then ends the process with exit status 1.
  void ShowMessage(std::string_view text);

 private:
  void LineAppended(std::string_view line) override;
  void LabelChanged(std::string_view text) override;
  void PanelChanged(int panel, std::string_view text) override;
  /// Queues PREFIX TEXT and a newline for the writer.
  void Queue(std::string_view prefix, std::string_view text);
  /// Returns once everything queued before the call has been written.
  void Drain();
  void Run();

  OperatorLog& log_;
  std::FILE* out_;
  std::FILE* err_;

  std::mutex mutex_;
  std::condition_variable wake_;     ///< the writer: lines queued, or stop
  std::condition_variable written_;  ///< waiting loggers: a batch went out
  std::string pending_;              ///< lines not yet taken by the writer
  std::uint64_t queued_ = 0;         ///< batches begun: grows when pending_ gets its first byte
  std::uint64_t done_ = 0;           ///< batches written
  bool stop_ = false;

  std::thread writer_;
};

}  // namespace telvaro
