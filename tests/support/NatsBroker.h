#pragma once
// A real nats-server with JetStream for one test: its store in a temporary directory, a
// free loopback port, stopped and removed when the test ends. It can be stopped, killed,
// paused and started again on the same port and store, as a broker outage would.

#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

extern char** environ;

namespace telvaro::test {

class NatsBroker {
 public:
  /// The nats-server program: $TELVARO_NATS_SERVER, or the Debian package's; "" when neither exists.
  static std::string Program() {
    if (const char* p = std::getenv("TELVARO_NATS_SERVER"); p && *p) return p;
    for (const char* p : {"/usr/sbin/nats-server", "/usr/bin/nats-server"})
      if (std::filesystem::exists(p)) return p;
    return {};
  }

  NatsBroker() : store_("telvaro-nats"), port_(FreePort()) { Start(); }
  ~NatsBroker() { Signal(SIGKILL); }
  NatsBroker(const NatsBroker&) = delete;
  NatsBroker& operator=(const NatsBroker&) = delete;

  std::string Url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

  /// Starts the server and waits until it takes connections.
  void Start() {
    if (pid_ > 0) return;
    const std::string program = Program();
    if (program.empty()) throw std::runtime_error("nats-server not found");
    std::vector<std::string> args{program, "-js", "-a", "127.0.0.1", "-p", std::to_string(port_),
                                  "-sd", store_.path(), "-l", store_.path() + "/server.log"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("could not start nats-server");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Accepts()) {
      if (std::chrono::steady_clock::now() > until) throw std::runtime_error("nats-server did not start");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  /// Stops the server in order (SIGTERM) and waits for it.
  void Stop() { Signal(SIGTERM); }
  /// Ends the server at once (SIGKILL), as a crash would.
  void Kill() { Signal(SIGKILL); }
  /// Freezes the server: connections stay open, nothing is answered. Returns once every
  /// thread of it has stopped; a loaded machine may otherwise let it answer a few more.
  void Pause() const {
    ::kill(pid_, SIGSTOP);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!Stopped() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void Resume() const { ::kill(pid_, SIGCONT); }

 private:
  /// Whether every thread of the server is stopped ('T' in its /proc stat line).
  bool Stopped() const {
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid_) + "/task";
    std::error_code ec;
    for (const auto& t : std::filesystem::directory_iterator(tasks, ec)) {
      std::ifstream stat(t.path() / "stat");
      std::string line;
      std::getline(stat, line);
      // The state follows the command name, which is in parentheses.
      const auto close = line.rfind(')');
      if (close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'T') return false;
    }
    return !ec;
  }
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("no free port");
    ::close(fd);
    return ntohs(a.sin_port);
  }

  bool Accepts() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    const bool ok = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  }

  void Signal(int sig) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);  // a paused server must be able to act on the signal
    ::kill(pid_, sig);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  TempDir store_;
  int port_;
  pid_t pid_ = -1;
};

}  // namespace telvaro::test
