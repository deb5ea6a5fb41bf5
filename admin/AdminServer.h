#pragma once
// The admin HTTP endpoint: metrics, health, the terminal connections and their queued
// tasks, served on a small pool of threads of its own. Every answer reads state under
// short locks or from atomics, so nothing here holds up the terminals or the main loop.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Metrics.h"
#include "base/OperatorLog.h"
#include "connections/TerminalServer.h"
#include "tasks/TaskDatabase.h"

namespace telvaro {

/// Where the endpoint listens and who may change things.
struct AdminOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 4002;  ///< 0: any free port
  /// A request that changes something must carry it as a bearer token; with none set,
  /// only a peer on this host may change things.
  std::string token{};
  std::size_t maxBody = 1 << 20;  ///< longest request body taken, bytes
  int threads = 2;                ///< requests served at once
};

/// The central database as the health check reports it.
enum class CentralDatabaseState { Off, Connected, Disconnected };

/// What the endpoint reports on and acts upon; everything must outlive the server.
struct AdminSources {
  OperatorLog* log = nullptr;                ///< the removal lines
  const MetricsRegistry* metrics = nullptr;  ///< rendered for /metrics
  const TerminalServer* terminals = nullptr;
  TaskDatabase* tasks = nullptr;
  std::function<CentralDatabaseState()> centralDatabase;
};

class AdminServer {
 public:
  /// Every source must be set.
  AdminServer(AdminSources sources, AdminOptions options);
  /// Stops serving.
  ~AdminServer();
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  /// Listens and starts serving; throws std::runtime_error "Could not open the HTTP port
  /// " + port + ": " + reason when the address cannot be listened at. Call once.
  void Start();
  /// Stops listening, lets the requests being served finish, and joins the threads.
  /// Idempotent.
  void Stop();

  /// The port listened at (useful with port 0).
  std::uint16_t Port() const noexcept;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace telvaro
