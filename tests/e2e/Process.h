#pragma once
// A child process for end-to-end tests: started with its output on pipes, read line by
// line with deadlines, signalled, and always reaped.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace telvaro::test {

class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
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
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start " + program);
    }
  }
  ~Process() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  /// The next line of standard output, or nothing when none came within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return ReadFrom(out_, outBuf_, timeout);
  }
  std::optional<std::string> ReadErrLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    return ReadFrom(err_, errBuf_, timeout);
  }

  /// Reads lines until one satisfies `pred`; every line read is kept in `seen`.
  template <typename Pred>
  std::optional<std::string> WaitFor(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      auto line = ReadLine(left);
      if (!line) return std::nullopt;
      seen.push_back(*line);
      if (pred(*line)) return line;
    }
    return std::nullopt;
  }

  void Signal(int sig) { kill(pid_, sig); }

  /// Exit status (or 128 + signal), or nothing if it did not end within `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
      // Keep draining output so a chatty child never blocks on a full pipe.
      Drain(out_, outBuf_);
      Drain(err_, errBuf_);
      usleep(10000);
    }
  }

  std::vector<std::string> seen;

 private:
  static void Drain(int fd, std::string& buf) {
    pollfd p{fd, POLLIN, 0};
    char chunk[4096];
    while (poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      buf.append(chunk, static_cast<std::size_t>(n));
    }
  }

  static std::optional<std::string> ReadFrom(int fd, std::string& buf, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (const auto nl = buf.find('\n'); nl != std::string::npos) {
        std::string line = buf.substr(0, nl);
        buf.erase(0, nl + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buf.append(chunk, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool exited_ = false;
  std::string outBuf_, errBuf_;
};

}  // namespace telvaro::test
