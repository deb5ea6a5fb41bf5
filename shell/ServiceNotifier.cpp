#include "shell/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <string>

namespace telvaro {

ServiceNotifier::ServiceNotifier(asio::io_context& loop, OperatorLog& log) : log_(log), watchdog_(loop) {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
    // Half the interval leaves room for a main loop that is busy for a moment.
    pingInterval_ = std::chrono::microseconds(usec / 2);
    Ping();
  }
  log_.AddObserver(this);
}

ServiceNotifier::~ServiceNotifier() { log_.RemoveObserver(this); }

void ServiceNotifier::Ready() { sd_notify(0, "READY=1"); }

void ServiceNotifier::Stopping() {
  watchdog_.cancel();
  pingInterval_ = {};
  sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::LabelChanged(std::string_view text) {
  const std::string status = "STATUS=" + std::string(text);
  sd_notify(0, status.c_str());
}

void ServiceNotifier::Ping() {
  sd_notify(0, "WATCHDOG=1");
  watchdog_.expires_after(pingInterval_);
  watchdog_.async_wait([this](const asio::error_code& ec) {
    if (!ec && pingInterval_.count() > 0) Ping();
  });
}

}  // namespace telvaro
