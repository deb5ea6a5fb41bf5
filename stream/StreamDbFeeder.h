#pragma once
// The central database writer's records taken from the record stream: a durable pull
// consumer that every instance shares, so the records of all instances reach the
// database through whichever writers run, and none is lost when an instance ends.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "queues/RecordQueue.h"
#include "stream/StreamPublisher.h"
#include "base/OperatorLog.h"
#include "base/ServerMetrics.h"

namespace telvaro {

/// Takes the records of data frames from the stream into the writer's queue, in order,
/// and acknowledges each once the writer reports it done (after its transaction
/// commits, or its rejection was logged). Records of other frames are acknowledged at
/// once. What is handed over but not acknowledged when an instance ends comes again
/// after the consumer's acknowledgement wait, to any instance; the database's upsert
/// keeps such a record one row.
class StreamDbFeeder {
 public:
  /// Records the writer's queue holds before the feeder waits for it.
  static constexpr std::size_t HighWater = 2000;
  /// How long the stream waits for an acknowledgement before it delivers again.
  static constexpr std::chrono::seconds AckWait{30};

  /// Reads the stream of `options` through the durable consumer `durable` into `queue`.
  StreamDbFeeder(StreamOptions options, std::string durable, RecordQueue& queue, OperatorLog& log,
                 ServerMetrics* metrics = nullptr, std::chrono::milliseconds ackWait = AckWait);
  /// Stops; see Stop.
  ~StreamDbFeeder();
  StreamDbFeeder(const StreamDbFeeder&) = delete;
  StreamDbFeeder& operator=(const StreamDbFeeder&) = delete;

  void Start();
  /// Stops the thread, empties the queue and leaves every record not yet acknowledged
  /// to the stream, which delivers it again. Stop the writer first.
  void Stop();

  /// The writer's StoredHandler: the `n` oldest records handed over are done.
  void Stored(std::size_t n);

  /// Records acknowledged since the start, those not for the database included.
  std::uint64_t Acknowledged() const noexcept { return acknowledged_.load(std::memory_order_relaxed); }

 private:
  struct Nats;

  void Execute();
  bool Ready();
  /// Takes one batch from the consumer; false when none came.
  bool Fetch();
  void Lost();
  void Returned();

  StreamOptions options_;
  std::string durable_;
  RecordQueue& queue_;
  LogReporter report_;
  ServerMetrics* metrics_;
  std::chrono::milliseconds ackWait_;
  std::unique_ptr<Nats> nats_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> down_{false};
  std::atomic<std::uint64_t> acknowledged_{0};
  bool loggedSubscribeError_ = false;  ///< feeder thread
};

}  // namespace telvaro
