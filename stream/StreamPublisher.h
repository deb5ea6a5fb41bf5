#pragma once
// The record stream: a thread that publishes every record of the data channel to a NATS
// JetStream stream, so that dispatch applications on other machines and every
// instance's consumers see the records of all instances.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "queues/RecordQueue.h"
#include "base/OperatorLog.h"
#include "base/ServerMetrics.h"

namespace telvaro {

/// The stream's settings, from [Stream].
struct StreamOptions {
  std::string url{};                ///< NATS server URL(s), comma-separated
  std::string subject = "telvaro";  ///< subject prefix
  std::string name = "TELVARO";     ///< JetStream stream name
  std::int32_t maxAgeHours = 168;   ///< age limit of a stream created here
  std::size_t queueLimit = 1000000; ///< records waiting for the broker at most
  std::size_t window = 1024;        ///< unacknowledged publishes at most
  /// Longest wait for the acknowledgements of one window before its messages are sent again.
  std::chrono::milliseconds ackWait{2000};
};

/// The header that marks a record decoded from a data frame (value "D"): the records
/// the central database stores.
inline constexpr const char* FrameHeader = "Telvaro-Frame";

/// The subject of a record of terminal `id`: `<prefix>.rec.<id>`, with "_" for an empty
/// ID and every byte a subject cannot carry in a token ('.', '*', '>', blanks, control
/// and non-ASCII bytes) replaced by '_'.
std::string RecordSubject(std::string_view prefix, std::string_view id);

/// The prefix of this process's message IDs: host, process ID and start time, so that
/// two processes, or one process restarted, never share an ID.
std::string MessageIdPrefix();

/// The publishing thread. Records wait in `queue` (bounded by queueLimit, the oldest
/// dropped first); the thread publishes them asynchronously, at most `window` without an
/// acknowledgement, each with a "Nats-Msg-Id" that stays the same when it is sent again,
/// so the stream stores it once. A window not acknowledged within `ackWait` is sent
/// again; while the broker is away records stay queued and the client reconnects.
class StreamPublisher {
 public:
  /// Wait for the "Stream" event; also how long a stop request may wait.
  static constexpr auto aTimeOut = std::chrono::milliseconds(500);

  StreamPublisher(StreamOptions options, RecordQueue& queue, OperatorLog& log, ServerMetrics* metrics = nullptr);
  /// Stops the thread and closes the connection.
  ~StreamPublisher();
  StreamPublisher(const StreamPublisher&) = delete;
  StreamPublisher& operator=(const StreamPublisher&) = delete;

  /// Starts the thread; it connects, creates the stream when missing, and publishes.
  void Start();
  /// Publishes what is queued for at most `drain`, then stops; returns how many records
  /// were left unacknowledged (and are logged as lost).
  std::size_t Stop(std::chrono::milliseconds drain = std::chrono::seconds(5));

  /// Records queued or awaiting their acknowledgement.
  std::size_t Pending() const noexcept { return queue_.Size() + inFlight_.load(std::memory_order_relaxed); }
  /// Records the stream has acknowledged.
  std::uint64_t Acknowledged() const noexcept { return acknowledged_.load(std::memory_order_relaxed); }

 private:
  struct Nats;  ///< the client library's objects

  void Execute();
  /// Connects when not yet connected and makes sure the stream exists; false while the
  /// broker cannot be used.
  bool Ready();
  /// Publishes the queued records, a window at a time, until the queue is empty, the
  /// broker is away, or `until` has passed.
  void Drain(std::chrono::steady_clock::time_point until);
  /// Publishes one window: the messages to send again first, then new records.
  /// False when the broker is away.
  bool PublishWindow();
  void ReportDrops();
  void Lost();
  void Returned();

  StreamOptions options_;
  RecordQueue& queue_;
  LogReporter report_;
  ServerMetrics* metrics_;
  std::string idPrefix_;
  std::unique_ptr<Nats> nats_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> draining_{false};
  std::atomic<std::size_t> inFlight_{0};
  std::atomic<std::uint64_t> acknowledged_{0};
  std::atomic<bool> closing_{false};  ///< the connection is being closed: no loss to log
  std::atomic<bool> down_{false};  ///< "Stream disconnected" logged, return not yet; library threads too

  // Publishing-thread state.
  std::uint64_t sequence_ = 0;
  bool streamChecked_ = false;
  std::vector<TNTMobile> batch_;
};

}  // namespace telvaro
