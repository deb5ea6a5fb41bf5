#pragma once
// A lasting copy of the operator log: every line, after its local date and time, appended
// to a file by a thread of its own, so that no thread that logs ever waits for the disk.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/OperatorLog.h"

namespace telvaro {

/// Appends each line of `log` to a file while it exists. Lines wait in a bounded queue;
/// the writer thread takes them in batches (when many are waiting, else every
/// FlushInterval) and writes each batch with one system call. When the queue is full
/// a line is dropped and counted; the count is written to the file after the lines that
/// were queued before it. `Reopen` (for SIGHUP, after logrotate moved the file) makes
/// the writer open the path anew before its next batch.
class LogFile : private OperatorLog::Observer {
 public:
  static constexpr std::size_t DefaultQueueLimit = 65536;  ///< lines
  static constexpr std::size_t BatchLines = 256;           ///< the writer is woken when this many wait
  static constexpr auto FlushInterval = std::chrono::milliseconds(200);

  /// Opens `path` for appending, creating it, and writes `earlier` (lines logged before
  /// the file was known) first; then observes `log`. Throws std::system_error when the
  /// file cannot be opened.
  LogFile(OperatorLog& log, std::string path, const std::vector<std::string>& earlier = {},
          std::size_t queueLimit = DefaultQueueLimit);
  /// Stops observing, writes what is queued and closes the file.
  ~LogFile() override;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  /// Asks the writer to close the file and open the path anew; returns at once.
  void Reopen();

  const std::string& Path() const noexcept { return path_; }

 private:
  struct Entry {
    std::chrono::system_clock::time_point time;
    std::string text;
  };

  void LineAppended(std::string_view line) override;
  void LabelChanged(std::string_view) override {}
  void PanelChanged(int, std::string_view) override {}
  void Queue(std::string_view line);
  void Run();
  /// Writes all of `data`; false when the file refused it.
  bool WriteAll(std::string_view data);
  void OpenAnew();

  OperatorLog& log_;
  const std::string path_;
  const std::size_t queueLimit_;
  int fd_ = -1;  ///< used by the writer thread only, once it runs

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Entry> queue_;
  std::uint64_t dropped_ = 0;
  bool reopen_ = false;
  bool stop_ = false;

  std::thread writer_;
};

}  // namespace telvaro
