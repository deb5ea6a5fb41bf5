#pragma once
// The server's notices to the service manager (systemd): ready, the status line, the
// watchdog's pings and the start of the shutdown.

#include <chrono>
#include <string_view>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "base/OperatorLog.h"

namespace telvaro {

/// Sends "READY=1", "STATUS=" + the label on each change, "WATCHDOG=1" from the main
/// loop at half the interval the unit's WatchdogSec sets, and "STOPPING=1". Without a
/// service manager (no NOTIFY_SOCKET) every notice is a no-op. Create and destroy it
/// on the main loop.
class ServiceNotifier : private OperatorLog::Observer {
 public:
  ServiceNotifier(asio::io_context& loop, OperatorLog& log);
  ~ServiceNotifier() override;
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  /// Start-up is over: its closing line has been logged.
  void Ready();
  /// The orderly shutdown begins; the watchdog's pings end.
  void Stopping();

 private:
  void LineAppended(std::string_view) override {}
  void LabelChanged(std::string_view text) override;
  void PanelChanged(int, std::string_view) override {}
  void Ping();

  OperatorLog& log_;
  asio::steady_timer watchdog_;
  std::chrono::microseconds pingInterval_{0};  ///< 0: no watchdog
};

}  // namespace telvaro
