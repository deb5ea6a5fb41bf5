#pragma once
// What the stream's publisher and consumers share: a connection that reconnects by
// itself, and the stream looked up or created.

#include <nats/nats.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "stream/StreamPublisher.h"

namespace telvaro {

/// The client library's last error text, or the status's own.
std::string StatusText(natsStatus s);

/// Set by the client library's last callback about a connection, so that its owner can
/// wait for it before it goes: no callback may run into an object already destroyed.
class ClosedLatch {
 public:
  static void OnClosed(natsConnection*, void* latch) {
    auto& l = *static_cast<ClosedLatch*>(latch);
    {
      std::lock_guard lock(l.mutex_);
      l.closed_ = true;
    }
    l.cv_.notify_all();
  }
  /// True when the connection was closed within `limit`.
  bool Wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return closed_; });
  }
  /// Ready for the next connection.
  void Reset() {
    std::lock_guard lock(mutex_);
    closed_ = false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool closed_ = false;
};

/// Connection callbacks, run on the client library's threads.
struct ConnectionEvents {
  natsConnectionHandler lost = nullptr;      ///< the connection was lost, or the first connect failed
  natsConnectionHandler returned = nullptr;  ///< connected again, or first connected in the background
  void* closure = nullptr;
  ClosedLatch* closed = nullptr;             ///< set when the library is done with the connection
};

/// Connects to `url` (comma-separated servers) with reconnects without end. A first
/// connect that fails goes on in the background: then the status is
/// NATS_NOT_YET_CONNECTED and `events.lost` has been called. `options` must be
/// destroyed after the connection.
natsStatus OpenConnection(natsConnection** connection, natsOptions** options, const std::string& url,
                          const ConnectionEvents& events);

/// Closes and destroys `connection` after the library's last callback about it (or
/// after 5 s); null does nothing.
void CloseConnection(natsConnection*& connection, ClosedLatch& closed);

/// Makes sure the stream `options.name` exists: used as it is when it does, created
/// with file storage, the age limit and the subjects under `options.subject` otherwise.
/// Logs what it did or why it failed.
bool EnsureStream(jsCtx* js, const StreamOptions& options, LogReporter& report);

}  // namespace telvaro
