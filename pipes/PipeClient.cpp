#include "pipes/PipeClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace telvaro {
namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

TPipeClient::TPipeClient(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path)
    throw std::system_error(ENAMETOOLONG, std::generic_category(), path);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd_ < 0) ThrowErrno("socket");
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(fd_);
    fd_ = -1;
    throw std::system_error(err, std::generic_category(), "connecting to " + path);
  }
}

TPipeClient::TPipeClient(TPipeClient&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), assembler_(std::move(other.assembler_)) {}

TPipeClient::~TPipeClient() {
  if (fd_ >= 0) ::close(fd_);
}

void TPipeClient::Send(PipeBytes msg) {
  for (const auto& piece : FrameMessage(msg)) {
    if (::send(fd_, piece.data(), piece.size(), MSG_NOSIGNAL) < 0) ThrowErrno("sending to the pipe");
  }
}

std::optional<std::vector<std::uint8_t>> TPipeClient::ReceiveRaw() {
  for (;;) {
    const ssize_t size = ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (size < 0) {
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) return std::nullopt;
      ThrowErrno("reading the pipe");
    }
    std::vector<std::uint8_t> msg(static_cast<std::size_t>(size));
    std::uint8_t none = 0;
    const ssize_t n = ::recv(fd_, size ? msg.data() : &none, msg.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) return std::nullopt;
      ThrowErrno("reading the pipe");
    }
    // Messages on the pipes are never empty, so a zero-byte read is the end.
    if (n == 0) return std::nullopt;
    msg.resize(static_cast<std::size_t>(n));
    return msg;
  }
}

std::optional<std::vector<std::uint8_t>> TPipeClient::Receive() {
  for (;;) {
    auto raw = ReceiveRaw();
    if (!raw) return std::nullopt;
    if (auto done = assembler_.Feed(std::move(*raw))) return done->ReadRest();
  }
}

}  // namespace telvaro
