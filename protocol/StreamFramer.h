#pragma once
// Cuts a terminal's TCP byte stream into messages. Knows nothing of sockets: the
// connection reads into Prepare(), commits what arrived, then takes messages with Next().
//
// The rule, which depends on the bytes alone and never on where the reads end:
// - The stream is "in step" at its start and right after each message. In step, a
//   message is a handshake (00 12, 15 digits, a version whose middle character is ".")
//   or a frame (signature CC CC CC CC, 16-bit payload length, payload, checksum).
// - Any byte that cannot begin a message is skipped, and the stream is out of step
//   until the next frame: out of step only a frame signature begins a message, so a
//   handshake pattern after skipped bytes is skipped too.
// - Skipped bytes are counted from the end of the last message (or the start); the
//   (MaxGarbage + 1)th makes the stream bad for good.
// Whether a byte can begin a message is decided only once the bytes that decide it
// have arrived (a tail that may still become a signature or a handshake is waited
// on), and a decision is never revised, so the messages and the verdict are the same
// whether the stream comes byte by byte, in one read, or cut anywhere.
//
// The buffer holds at most one largest frame (Capacity bytes), allocated as it is
// needed and released when the connection is idle.

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
    Bad,       ///< more than MaxGarbage bytes skipped since the last message; end the connection
  };

  /// Most bytes skipped between two messages before the stream counts as bad.
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

  /// Bytes received and not yet given out as a message: the start of one.
  std::size_t Buffered() const noexcept { return end_ - start_; }
  /// Bytes of memory the buffer holds.
  std::size_t Allocated() const noexcept { return buf_.capacity(); }

  /// Frees the buffer when nothing is buffered, so idle connections hold no memory.
  void ReleaseIfEmpty() noexcept;

 private:
  /// Skips `n` bytes that begin no message; false once too many were skipped.
  bool Skip(std::size_t n) noexcept;

  std::vector<std::uint8_t> buf_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  std::size_t garbage_ = 0;  ///< bytes skipped since the last message
  bool inStep_ = true;       ///< at the start or right after a message
  bool bad_ = false;
};

}  // namespace telvaro
