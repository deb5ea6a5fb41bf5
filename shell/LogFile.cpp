#include "shell/LogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>
#include <utility>

#include <fmt/format.h>

namespace telvaro {
namespace {

int OpenForAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
}

/// Writes the local date and time of `t` as "yyyy-mm-dd hh:mm:ss.zzz ", reusing the
/// calendar fields of the second before when `t` falls in the same second.
class Stamp {
 public:
  void Append(std::string& out, std::chrono::system_clock::time_point t) {
    const auto since = t.time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(since);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since - secs).count();
    if (secs.count() != second_) {
      second_ = secs.count();
      const std::time_t tt = static_cast<std::time_t>(second_);
      std::tm tm{};
      localtime_r(&tt, &tm);
      text_ = fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                          tm.tm_hour, tm.tm_min, tm.tm_sec);
    }
    fmt::format_to(std::back_inserter(out), "{}.{:03} ", text_, ms);
  }

 private:
  long long second_ = -1;
  std::string text_;
};

}  // namespace

LogFile::LogFile(OperatorLog& log, std::string path, const std::vector<std::string>& earlier, std::size_t queueLimit)
    : log_(log), path_(std::move(path)), queueLimit_(queueLimit), fd_(OpenForAppend(path_)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "Could not open the log file " + path_);
  for (const auto& line : earlier) Queue(line);
  writer_ = std::thread([this] { Run(); });
  log_.AddObserver(this);
}

LogFile::~LogFile() {
  log_.RemoveObserver(this);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
  ::close(fd_);
}

void LogFile::Reopen() {
  {
    std::lock_guard lock(mutex_);
    reopen_ = true;
  }
  wake_.notify_one();
}

void LogFile::LineAppended(std::string_view line) { Queue(line); }

void LogFile::Queue(std::string_view line) {
  // The clock is read without a system call; the calendar is the writer's work.
  const auto now = std::chrono::system_clock::now();
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= queueLimit_) {
      ++dropped_;
      return;
    }
    queue_.push_back({now, std::string(line)});
    // Waking the writer for each line would cost a system call per line.
    wake = queue_.size() == BatchLines;
  }
  if (wake) wake_.notify_one();
}

void LogFile::Run() {
  std::vector<Entry> batch;
  std::string text;
  Stamp stamp;
  std::uint64_t lost = 0;  ///< lines the file refused, reported with the next drop count
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait_for(lock, FlushInterval,
                   [this] { return stop_ || reopen_ || queue_.size() >= BatchLines; });
    batch.swap(queue_);
    const std::uint64_t dropped = std::exchange(dropped_, 0) + std::exchange(lost, 0);
    const bool reopen = std::exchange(reopen_, false);
    const bool stop = stop_;
    lock.unlock();

    text.clear();
    for (const Entry& e : batch) {
      stamp.Append(text, e.time);
      text.append(e.text) += '\n';
    }
    // Lines are dropped only while the queue is full, so after every line taken here
    // and before any line queued from now on.
    if (dropped > 0) {
      stamp.Append(text, std::chrono::system_clock::now());
      text += fmt::format("Log file: {} lines were dropped\n", dropped);
    }
    if (!text.empty() && !WriteAll(text)) lost = batch.size() + dropped;
    batch.clear();
    // Lines logged before the request still go to the file that was moved away.
    if (reopen) OpenAnew();

    lock.lock();
    if (stop && queue_.empty()) return;
  }
}

bool LogFile::WriteAll(std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void LogFile::OpenAnew() {
  const int fd = OpenForAppend(path_);
  if (fd < 0) {
    // The old file stays open: lines go on to it rather than nowhere.
    log_.Append("Could not reopen the log file " + path_ + ": " + std::generic_category().message(errno));
    return;
  }
  ::close(fd_);
  fd_ = fd;
}

}  // namespace telvaro
