#pragma once
// A pipe client's outgoing messages: a bounded FIFO that any thread fills and the
// client's writer on the pipe I/O thread empties.

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace telvaro {

/// One pipe message waiting to be sent: a private copy of its bytes.
using TPipeWrite = std::vector<std::uint8_t>;

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

  /// Appends `items` in one go, in order.
  Pushed Push(std::vector<TPipeWrite>&& items);
  /// Moves every queued message into the empty `out`; false when there is none, and the
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
