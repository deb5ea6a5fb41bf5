#pragma once
// Reading one pipe client: each socket message read whole (its size learnt first, so a
// long message sent as one is not cut), and the socket messages put back together into
// the messages they carry.

#include <cstdint>
#include <string>

#include "pipes/PipeFraming.h"

namespace telvaro {

/// What one TPipeReader::Read came to.
struct ReadStep {
  enum class Kind {
    Message,  ///< `message` is complete
    Wait,     ///< nothing more to read until the socket is readable again
    End,      ///< the connection ended; `error` says why (0: the client left)
    TooLong,  ///< the client's message passed the limit; the connection must end
  };
  Kind kind = Kind::Wait;
  TPipeStream message;
  int error = 0;
};

/// Touched by one thread at a time: the pipe I/O thread.
class TPipeReader {
 public:
  /// Long messages are put together in a temporary file in `tempDir` (memory when none
  /// can be made there); none may pass `limit` bytes.
  TPipeReader(std::string tempDir, std::uint64_t limit) : assembler_(std::move(tempDir), limit) {}

  /// Reads the non-blocking socket `fd` until a message is complete, nothing is
  /// waiting, or the connection ends.
  ReadStep Read(int fd);

 private:
  TMessageAssembler assembler_;
};

}  // namespace telvaro
