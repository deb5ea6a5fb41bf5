#pragma once
// A temporary pipe directory, pipe options pointing at it, a main loop the test thread
// runs until a condition holds, and raw socket messages for checking the wire.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <asio/io_context.hpp>

#include "pipes/PipeServer.h"

#include "tests/support/TempDir.h"

namespace telvaro::test {

/// Pipes in a fresh directory, and the main loop their events arrive on.
class PipeFixture : public ::testing::Test {
 protected:
  /// Options that put the socket files into the test's directory.
  TPipeOptions Options() const {
    TPipeOptions o;
    o.dir = dir_.path();
    return o;
  }

  /// Runs the main loop until `done` holds; fails the test after a generous bound, so
  /// a fault shows as a failure rather than a hang.
  bool RunUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > giveUp) {
        ADD_FAILURE() << "condition not reached";
        return false;
      }
      main_.restart();
      main_.run_one_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  /// Runs what is ready on the main loop now.
  void Drain() {
    main_.restart();
    main_.poll();
  }

  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }

  TempDir dir_;
  asio::io_context main_;
};

/// The next socket message on `fd` as it came, or nothing at the end of the connection.
inline std::optional<std::vector<std::uint8_t>> ReceiveRaw(int fd) {
  const ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (size <= 0) return std::nullopt;
  std::vector<std::uint8_t> msg(static_cast<std::size_t>(size));
  const ssize_t n = ::recv(fd, msg.data(), msg.size(), 0);
  if (n <= 0) return std::nullopt;
  msg.resize(static_cast<std::size_t>(n));
  return msg;
}

/// Sends `msg` on `fd` as one socket message whatever its length (the send buffer is
/// raised to fit it), as a client may send a long message.
inline void SendWhole(int fd, const std::vector<std::uint8_t>& msg) {
  // The kernel refuses a message that does not fit the send buffer at once.
  const int want = static_cast<int>(msg.size() + 65536);
  int have = 0;
  socklen_t len = sizeof have;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &have, &len) == 0 && have < want)
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
  if (::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL) < 0)
    throw std::system_error(errno, std::generic_category(), "sending to the pipe");
}

}  // namespace telvaro::test
