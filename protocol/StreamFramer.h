#pragma once
// Cuts a terminal's TCP byte stream into messages: a handshake where a message
// starts, or a whole frame from its signature. Bytes that cannot begin a message are
// skipped up to the next frame signature. Knows nothing of sockets: the connection
// reads into Prepare(), commits what arrived, then takes messages with Next().

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/Bytes.h"

namespace telvaro {

class StreamFramer {
 public:
  enum class Status {
    Message,   ///< a complete message is in the output argument
    NeedMore,  ///< no complete message yet
    Bad,       ///< more than MaxGarbage bytes where no message can begin; end the connection
  };

  /// Longest run of bytes without any possible message start that is still waited on.
  static constexpr std::size_t MaxGarbage = 16;
  /// The buffer never holds more than one largest frame.
  static constexpr std::size_t Capacity = 65535 + 8;

  /// Room for the next read: at most `want` bytes, never past Capacity buffered.
  /// Empty only when a whole largest frame is buffered, which Next() always consumes.
  std::span<std::uint8_t> Prepare(std::size_t want);
  /// Marks `n` bytes of the last Prepare() as received.
  void Commit(std::size_t n) noexcept;

  /// The next message; its bytes stay valid until the next Prepare().
  Status Next(Bytes& message);

  /// Bytes received and not yet given out as a message.
  std::size_t Buffered() const noexcept { return end_ - start_; }

  /// Frees the buffer when nothing is buffered, so idle connections hold no memory.
  void ReleaseIfEmpty() noexcept;

 private:
  std::vector<std::uint8_t> buf_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  std::size_t garbage_ = 0;
  bool bad_ = false;
};

}  // namespace telvaro
