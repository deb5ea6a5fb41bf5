#pragma once
// The dispatch side of an operator pipe: a blocking connection to PipeDir/NAME that
// sends and receives whole messages with the framing of long ones.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipes/PipeFraming.h"

namespace telvaro {

class TPipeClient {
 public:
  /// Connects to the pipe socket at `path`; throws std::system_error.
  explicit TPipeClient(const std::string& path);
  TPipeClient(TPipeClient&& other) noexcept;
  TPipeClient& operator=(TPipeClient&&) = delete;
  TPipeClient(const TPipeClient&) = delete;
  TPipeClient& operator=(const TPipeClient&) = delete;
  ~TPipeClient();

  /// Sends `msg`, framed when it is longer than MAX_BUFFER; throws std::system_error.
  void Send(PipeBytes msg);
  /// The next message, reassembled from its pieces, or nothing at the end of the connection.
  std::optional<std::vector<std::uint8_t>> Receive();

  /// The socket descriptor, for socket options such as a receive time-out.
  int Handle() const noexcept { return fd_; }

 private:
  /// The next socket message as it came, or nothing at the end of the connection.
  std::optional<std::vector<std::uint8_t>> ReceiveRaw();

  int fd_ = -1;
  TMessageAssembler assembler_{""};
};

}  // namespace telvaro
