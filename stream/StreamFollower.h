#pragma once
// Follows the record stream as it grows: an ordered consumer of every record's
// message, for the data pipe of an instance that shows every instance's records, and for
// dispatch tools on other machines.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <atomic>
#include <string>
#include <vector>

#include "queues/RecordQueue.h"
#include "records/TerminalRecord.h"
#include "base/OperatorLog.h"
#include "stream/StreamPublisher.h"

namespace telvaro {

/// One record read from the stream.
struct StreamRecord {
  std::string subject;
  std::vector<std::uint8_t> data;  ///< the 2696-byte record, unless a foreign publisher sent something else
  bool dataFrame = false;          ///< marked as decoded from a data frame
  /// The record, when `data` has a record's size.
  std::optional<TNTMobile> Record() const;
};

/// An ordered consumer of `<subject>.rec.>`: no acknowledgements, no state on the server
/// past the subscription. It connects in the background and reconnects by itself.
class StreamFollower {
 public:
  /// Follows the stream of `options` from its start (`fromStart`) or from now on.
  StreamFollower(StreamOptions options, bool fromStart);
  ~StreamFollower();
  StreamFollower(const StreamFollower&) = delete;
  StreamFollower& operator=(const StreamFollower&) = delete;

  /// The next record, or nothing when none came within `timeout` (the broker may be away).
  std::optional<StreamRecord> Next(std::chrono::milliseconds timeout);
  /// True once subscribed.
  bool Following() const noexcept;
  /// Why the last Next could not subscribe, or "".
  const std::string& Problem() const noexcept { return problem_; }

 private:
  struct Nats;
  bool Subscribed();

  StreamOptions options_;
  bool fromStart_;
  std::unique_ptr<Nats> nats_;
  std::string problem_;
};

/// Every instance's records for this instance's data pipe: a thread that follows the
/// stream from now on and queues each record for the data channel.
class StreamPipeFeeder {
 public:
  StreamPipeFeeder(StreamOptions options, RecordQueue& toSend, OperatorLog& log);
  /// Stops the thread.
  ~StreamPipeFeeder();
  StreamPipeFeeder(const StreamPipeFeeder&) = delete;
  StreamPipeFeeder& operator=(const StreamPipeFeeder&) = delete;

  void Start();
  /// Stops the thread; its longest wait is half a second.
  void Stop();

 private:
  void Execute();

  StreamOptions options_;
  RecordQueue& toSend_;
  LogReporter report_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace telvaro
