#pragma once
// A pipe client's outgoing messages: a bounded FIFO that any thread fills and the
// client's writer on the pipe I/O thread empties. Messages travel in batches laid out
// back to back in one buffer, which every client they go to shares.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "pipes/PipeFraming.h"

namespace telvaro {

/// Pipe messages back to back in one buffer, built once and then only read.
class TPipeBatch {
 public:
  /// Appends `msg` as one pipe message.
  void Add(PipeBytes msg);
  /// Appends the pipe messages that carry `msg`: itself when it fits MAX_BUFFER, else
  /// start packet, pieces and end packet.
  void AddFramed(PipeBytes msg);
  void Reserve(std::size_t messages, std::size_t bytes);

  std::size_t Count() const noexcept { return ends_.size(); }
  /// All the bytes of all the messages.
  std::uint64_t Bytes() const noexcept { return bytes_.size(); }
  /// The `i`-th message.
  PipeBytes Message(std::size_t i) const noexcept {
    const std::uint32_t begin = i == 0 ? 0 : ends_[i - 1];
    return {bytes_.data() + begin, ends_[i] - begin};
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint32_t> ends_;  ///< where each message ends in bytes_
};

/// A batch queued for one client; the clients it goes to share it.
using TPipeWrite = std::shared_ptr<const TPipeBatch>;

/// Thread-safe: every member may be called from any thread.
class TWriteQueue {
 public:
  /// What became of the messages handed to Push.
  enum class Pushed {
    Queued,      ///< queued; the writer is busy and will find them
    WakeWriter,  ///< queued, and the writer waits for work: wake it
    Dropped,     ///< the connection is ending; they go with the rest of its queue
    OverLimit,   ///< they would pass the bound: the queue is now emptied and closed
  };

  /// A queue that holds at most `limit` bytes not yet sent.
  explicit TWriteQueue(std::uint64_t limit) noexcept : limit_(limit) {}

  /// Appends the messages of `batch` in one go, in order.
  Pushed Push(TPipeWrite batch);
  /// Moves every queued batch into the empty `out`; false when there is none, and the
  /// queue then counts the writer as waiting until the next Push wakes it.
  bool TakeAll(std::deque<TPipeWrite>& out);
  /// `bytes` of taken messages went out.
  void Sent(std::uint64_t bytes) noexcept;
  /// Empties the queue and drops whatever is pushed from now on.
  void Close() noexcept;

 private:
  const std::uint64_t limit_;
  std::mutex lock_;
  // Guarded by lock_.
  std::deque<TPipeWrite> items_;
  std::uint64_t bytes_ = 0;  ///< queued, plus taken and not yet sent
  bool writerWaiting_ = false;
  bool closed_ = false;
};

}  // namespace telvaro
