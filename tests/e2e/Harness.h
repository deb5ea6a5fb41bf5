#pragma once
// The fixture of the end-to-end tests: a program directory of its own with a settings
// file on a free port, and the three programs run in it as child processes.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/Process.h"
#include "tests/support/TempDir.h"

namespace telvaro::test {

namespace fs = std::filesystem;

/// A TCP port that nothing listens on just now.
inline std::uint16_t FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  socklen_t len = sizeof a;
  std::uint16_t port = 0;
  if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (s >= 0) close(s);
  if (port == 0) throw std::runtime_error("no free port");
  return port;
}

/// A socket listening on `port` on every IPv4 address, so that nobody else can.
class PortHolder {
 public:
  explicit PortHolder(std::uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 1) != 0)
      throw std::runtime_error("cannot hold port " + std::to_string(port));
  }
  ~PortHolder() { close(fd_); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;

 private:
  int fd_;
};

/// How many of `lines` satisfy `pred`.
template <typename Pred>
std::size_t CountLines(const std::vector<std::string>& lines, Pred pred) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), pred));
}

class E2ETest : public ::testing::Test {
 protected:
  /// The program directory, also the directory of the pipe sockets.
  const std::string& Home() const { return home_.path(); }

  /// Writes telvaroserver.ini: the test's port and PipeDir, `server` further [Server]
  /// lines, then `rest` (further sections), then the admin endpoint's port (0, off,
  /// unless UseHttp was called).
  void WriteIni(const std::string& server = "DelayBeforeCmd=50\n", const std::string& rest = "[DB]\nNoBase=1\n") {
    std::ofstream(Home() + "/telvaroserver.ini")
        << "[Server]\nPort=" << port_ << "\nPipeDir=" << Home() << "\n" << server << rest << "\n[Http]\nPort="
        << httpPort_ << "\n";
  }

  /// Gives the server's admin endpoint a free port of its own; returns it.
  std::uint16_t UseHttp() { return httpPort_ = FreePort(); }

  /// Starts the server in console mode and waits for the closing line of its start-up.
  std::unique_ptr<Process> StartServer() {
    auto server = std::make_unique<Process>(TELVARO_SERVER, std::vector<std::string>{"--console", "--home", Home()});
    const auto closing = server->WaitFor([](const std::string& l) {
      return l.starts_with("Server started successfully at ") || l.starts_with("There was some errors");
    });
    if (!closing) ADD_FAILURE() << "the server did not finish its start-up";
    return server;
  }

  /// Ends the server with SIGTERM; its exit status, or -1 when it did not end.
  static int Stop(Process& server) { return server.Terminate().value_or(-1); }

  /// Starts telvaroctl with this program directory.
  std::unique_ptr<Process> Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"--home", Home()});
    return std::make_unique<Process>(TELVARO_CTL, args);
  }

  /// Runs telvaroctl to its end; its exit status.
  int RunCtl(std::vector<std::string> args) { return Ctl(std::move(args))->Wait().value_or(-1); }

  /// Starts a `telvaroctl tail` and waits until the server counts it as client `nth`.
  std::unique_ptr<Process> Tail(Process& server, bool json, int nth = 1) {
    auto tail = Ctl(json ? std::vector<std::string>{"tail", "--json"} : std::vector<std::string>{"tail"});
    if (!server.WaitForPrefix("== panel 2: Clients: " + std::to_string(nth)))
      ADD_FAILURE() << "the data pipe did not take the tail client";
    return tail;
  }

  /// Starts telvarosim against this server.
  std::unique_ptr<Process> Sim(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", std::to_string(port_)});
    return std::make_unique<Process>(TELVARO_SIM, args);
  }

  /// Names of the files in the program directory that are sockets.
  std::vector<std::string> Sockets() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(Home()))
      if (e.is_socket()) names.push_back(e.path().filename().string());
    return names;
  }

  std::uint16_t Port() const { return port_; }

 private:
  TempDir home_{"telvaro-e2e"};
  std::uint16_t port_ = FreePort();
  std::uint16_t httpPort_ = 0;
};

}  // namespace telvaro::test
