#include "pipes/PipeReader.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace telvaro {
namespace {

/// True when the peer has closed its end (a zero-byte read is then the end of the
/// stream rather than an empty message).
bool PeerGone(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

}  // namespace

ReadStep TPipeReader::Read(int fd) {
  std::uint8_t none = 0;
  for (;;) {
    // The size of the next message, so that a long one sent whole is read whole.
    const ssize_t size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) return {ReadStep::Kind::Wait, {}, 0};
      return {ReadStep::Kind::End, {}, err};
    }
    if (size == 0 && PeerGone(fd)) return {ReadStep::Kind::End, {}, 0};
    // Checked before the message is read, so a long one is never held in memory.
    if (!assembler_.Fits(static_cast<std::uint64_t>(size))) {
      assembler_.Discard();
      return {ReadStep::Kind::TooLong, {}, 0};
    }
    std::vector<std::uint8_t> msg(static_cast<std::size_t>(size));
    const ssize_t n = ::recv(fd, size ? msg.data() : &none, msg.size(), MSG_DONTWAIT);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) continue;
      return {ReadStep::Kind::End, {}, err};
    }
    msg.resize(static_cast<std::size_t>(n));
    // A data message of a control packet's size is only known to be one now.
    if (!assembler_.Fits(msg)) {
      assembler_.Discard();
      return {ReadStep::Kind::TooLong, {}, 0};
    }
    if (auto done = assembler_.Feed(std::move(msg))) return {ReadStep::Kind::Message, std::move(*done), 0};
  }
}

}  // namespace telvaro
