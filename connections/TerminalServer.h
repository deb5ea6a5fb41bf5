#pragma once
// The terminal listener: accepts TCP connections on all local IPv4 addresses and
// serves each on a pool of I/O threads (its reader a chain of handlers on a strand of its
// own, its command writer a coroutine), until Stop().

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "connections/TerminalConnection.h"

namespace telvaro {

/// One terminal connection as a snapshot shows it.
struct TerminalInfo {
  std::string id;          ///< the ID of its latest message; "" before its first
  std::string peer;        ///< the peer's address
  std::uint16_t port = 0;  ///< the peer's port
  std::chrono::system_clock::time_point connectedSince;
  std::optional<std::chrono::system_clock::time_point> lastMessage;  ///< none before the first
  std::uint64_t records = 0;  ///< records received
};

/// Raises the process's open-file limit to its hard limit; returns the limit in force.
std::uint64_t RaiseOpenFileLimit() noexcept;

class TerminalServer {
 public:
  /// `env` is copied; the objects it points to must outlive the server.
  explicit TerminalServer(const ConnectionEnv& env);
  /// Stops the server if it is still running.
  ~TerminalServer();
  TerminalServer(const TerminalServer&) = delete;
  TerminalServer& operator=(const TerminalServer&) = delete;

  /// Listens at `port` (0: any free port) and starts `threads` I/O threads (0: one
  /// per processor core). Throws std::runtime_error with the reason when the port
  /// cannot be bound. Call once.
  void Start(std::uint16_t port, int threads);

  /// Stops accepting, closes every connection, waits until every connection has run
  /// its end-of-connection steps, and joins the I/O threads. Idempotent.
  void Stop();

  /// The port listened at (useful after Start(0, ...)).
  std::uint16_t Port() const noexcept;
  bool Active() const noexcept;
  /// Connections currently served.
  std::size_t ConnectionCount() const;
  /// Every connection served now, the longest connected first (any thread; holds the
  /// connection list's lock while it copies).
  std::vector<TerminalInfo> Terminals() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace telvaro
