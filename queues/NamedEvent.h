#pragma once
// Named manual-reset events: created or opened by name within the process, so a new
// consumer thread finds the event its producers signal.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

namespace telvaro {

class ManualResetEvent {
 public:
  /// Wakes the waiters when the event was not signalled; setting a signalled event
  /// again costs only the lock, so a producer may signal every item it adds.
  void Set() {
    {
      std::lock_guard lock(mutex_);
      if (std::exchange(signalled_, true)) return;
    }
    cv_.notify_all();
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }
  /// True when the event was (or became) signalled within `timeout`.
  bool Wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return signalled_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

/// Creates the event `name` (not signalled) or opens the existing one.
std::shared_ptr<ManualResetEvent> CreateNamedEvent(const std::string& name);
/// The existing event `name`, or null when nobody has created it yet.
std::shared_ptr<ManualResetEvent> OpenNamedEvent(const std::string& name);
/// Signals the event `name` if it exists; signalling before it was created does nothing.
void SetNamedEvent(const std::string& name);

/// Names of the queue events.
inline constexpr const char* DBEventName = "DB";
inline constexpr const char* ClientsEventName = "Clients";
inline constexpr const char* StreamEventName = "Stream";

}  // namespace telvaro
