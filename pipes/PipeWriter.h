#pragma once
// Writing one pipe client: the messages of its write queue handed to the socket up to
// SendBatch at a time, one sendmmsg call each, straight from the shared batches.

#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "pipes/WriteQueue.h"

namespace telvaro {

/// What one TPipeWriter::Write came to.
struct WriteStep {
  enum class Kind {
    Sent,    ///< some messages went out
    Idle,    ///< the queue is empty and now counts the writer as waiting for work
    Wait,    ///< the socket takes nothing more until it is writable again
    Failed,  ///< the connection failed with `error`
  };
  Kind kind = Kind::Idle;
  int error = 0;
};

/// Touched by one thread at a time: the pipe I/O thread.
class TPipeWriter {
 public:
  /// Messages handed to the kernel per sendmmsg call.
  static constexpr std::size_t SendBatch = 64;

  /// Sends up to SendBatch messages to the non-blocking socket `fd`, first taking what
  /// `queue` holds when nothing taken before is left; on Sent, `sizes` holds the size
  /// of each message that went out.
  WriteStep Write(int fd, TWriteQueue& queue, std::vector<std::uint32_t>& sizes);
  /// Drops the messages taken and not yet sent.
  void Clear() noexcept {
    outbox_.clear();
    next_ = 0;
  }

 private:
  std::deque<TPipeWrite> outbox_;  ///< batches taken from the queue, being sent
  std::size_t next_ = 0;           ///< the first unsent message of outbox_.front()
  std::array<mmsghdr, SendBatch> msgs_{};
  std::array<iovec, SendBatch> iov_{};
};

}  // namespace telvaro
