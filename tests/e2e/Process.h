#pragma once
// A child process for end-to-end tests: started with its output on pipes that two reader
// threads empty all the time (so a chatty child never blocks on a full pipe), read line
// by line with deadlines, signalled, and always reaped.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace telvaro::test {

using namespace std::chrono_literals;

class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> raw;
    for (auto& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    const int rc = posix_spawn(&pid_, program.c_str(), &fa, nullptr, raw.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
      close(out[0]);
      close(err[0]);
      throw std::runtime_error("cannot start " + program);
    }
    outReader_ = std::thread([this, fd = out[0]] { Pump(fd, out_); });
    errReader_ = std::thread([this, fd = err[0]] { Pump(fd, err_); });
  }
  ~Process() {
    if (!status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    // The pipes reach their end once the child is gone.
    outReader_.join();
    errReader_.join();
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  /// Reads standard output on from the last line taken until a line satisfies `pred`;
  /// nothing when none did before the deadline or the end of the output.
  template <typename Pred>
  std::optional<std::string> WaitFor(Pred pred, std::chrono::milliseconds timeout = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_);
    while (true) {
      while (out_.taken < out_.lines.size()) {
        const std::string& line = out_.lines[out_.taken++];
        if (pred(line)) return line;
      }
      if (out_.ended) return std::nullopt;
      if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && out_.taken == out_.lines.size())
        return std::nullopt;
    }
  }

  /// Waits until `pred` holds for the whole standard output so far; false when it did not
  /// before the deadline or the end of the output.
  template <typename Pred>
  bool WaitForOutput(Pred pred, std::chrono::milliseconds timeout = 60s) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] { return pred(std::as_const(out_.lines)) || out_.ended; }) &&
           pred(std::as_const(out_.lines));
  }

  /// Waits for a line of standard output that starts with `prefix`.
  std::optional<std::string> WaitForPrefix(const std::string& prefix, std::chrono::milliseconds timeout = 60s) {
    return WaitFor([&](const std::string& l) { return l.starts_with(prefix); }, timeout);
  }

  /// Every line of standard output so far (all of it once `Wait` has seen the end).
  std::vector<std::string> Output() {
    std::lock_guard lock(m_);
    return out_.lines;
  }
  /// Every line of standard error so far.
  std::vector<std::string> Errors() {
    std::lock_guard lock(m_);
    return err_.lines;
  }

  void Signal(int sig) {
    if (!status_) kill(pid_, sig);
  }

  /// Ends the program with SIGTERM: its exit status, or nothing when it did not end.
  std::optional<int> Terminate() {
    Signal(SIGTERM);
    if (const auto status = Wait(15s)) return status;
    // Under the thread sanitizer, which defers a signal to a point where the thread it
    // reached takes it, about one SIGTERM in twenty right after start-up is never acted
    // on; the server built without it has not shown this. A second one is.
    Signal(SIGTERM);
    return Wait(45s);
  }

  /// Exit status (or 128 + signal), or nothing if it did not end within `timeout`. Once
  /// it returns a status, the child's whole output has been read.
  std::optional<int> Wait(std::chrono::milliseconds timeout = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(10ms);
    }
    std::unique_lock lock(m_);
    cv_.wait(lock, [this] { return out_.ended && err_.ended; });
    return status_;
  }

 private:
  struct Stream {
    std::vector<std::string> lines;
    std::string partial;
    std::size_t taken = 0;  ///< lines already looked at by WaitFor
    bool ended = false;
  };

  void Pump(int fd, Stream& s) {
    char chunk[4096];
    while (true) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      std::lock_guard lock(m_);
      if (n <= 0) {
        if (!s.partial.empty()) s.lines.push_back(std::move(s.partial));
        s.ended = true;
        cv_.notify_all();
        break;
      }
      s.partial.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t nl; (nl = s.partial.find('\n')) != std::string::npos;) {
        s.lines.push_back(s.partial.substr(0, nl));
        s.partial.erase(0, nl + 1);
      }
      cv_.notify_all();
    }
    close(fd);
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
  std::mutex m_;
  std::condition_variable cv_;
  Stream out_, err_;
  std::thread outReader_, errReader_;
};

}  // namespace telvaro::test
