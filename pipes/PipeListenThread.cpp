#include "pipes/PipeListenThread.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace telvaro {
namespace {

std::string ErrnoText(int err) { return std::system_category().message(err); }

[[noreturn]] void Fail(const std::string& path, const std::string& why) {
  throw EPipeException("Cannot create pipe " + path + ": " + why);
}

sockaddr_un MakeAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

}  // namespace

TPipeListenThread::TPipeListenThread(std::string path, std::uint32_t mode) : path_(std::move(path)) {
  if (path_.size() >= sizeof(sockaddr_un::sun_path)) Fail(path_, "the path is too long");
  struct stat st{};
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) Fail(path_, "a file that is not a socket has that name");
    // A socket file nobody accepts on is left over from a server that ended; a live
    // one belongs to another server.
    const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (probe < 0) Fail(path_, ErrnoText(errno));
    const sockaddr_un addr = MakeAddress(path_);
    const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int err = errno;
    ::close(probe);
    if (rc == 0) Fail(path_, "another server is listening on it");
    if (err != ECONNREFUSED) Fail(path_, ErrnoText(err));
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) Fail(path_, ErrnoText(errno));
  }
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(path_, ErrnoText(errno));
  std::error_code ec;
  socket_.assign(fd, ec);
  if (ec) {
    ::close(fd);
    Fail(path_, ec.message());
  }
  handle_ = static_cast<PipeHandle>(fd);
  const sockaddr_un addr = MakeAddress(path_);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) Fail(path_, ErrnoText(errno));
  ownsFile_ = true;
  if (::lstat(path_.c_str(), &st) == 0) {
    dev_ = st.st_dev;
    ino_ = st.st_ino;
  }
  if (::chmod(path_.c_str(), mode) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    const int err = errno;
    RemoveFile();
    Fail(path_, ErrnoText(err));
  }
}

TPipeListenThread::~TPipeListenThread() { Stop(); }

void TPipeListenThread::Start(AcceptHandler onAccept, ErrorHandler onError) {
  onAccept_ = std::move(onAccept);
  onError_ = std::move(onError);
  asio::co_spawn(io_, AcceptLoop(), asio::detached);
  thread_ = std::thread([this] { io_.run(); });
}

void TPipeListenThread::Stop() {
  if (thread_.joinable()) {
    io_.stop();
    thread_.join();
  }
  std::error_code ec;
  socket_.close(ec);
  RemoveFile();
}

asio::awaitable<void> TPipeListenThread::AcceptLoop() {
  for (;;) {
    std::error_code ec;
    const int fd = ::accept4(socket_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      asio::posix::stream_descriptor client(io_);
      client.assign(fd, ec);
      if (ec) {
        ::close(fd);
        onError_(ec.value());
        continue;
      }
      try {
        onAccept_(std::move(client));
      } catch (const std::bad_alloc&) {
        // The client's socket went with the handler's argument; the listener goes on.
        onError_(ENOMEM);
      }
      continue;
    }
    const int err = errno;
    if (err == EINTR || err == ECONNABORTED) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      co_await socket_.async_wait(asio::posix::descriptor_base::wait_read, asio::redirect_error(asio::use_awaitable, ec));
    } else {
      onError_(err);
      retry_.expires_after(AcceptRetryPause);
      co_await retry_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    if (ec) co_return;
  }
}

void TPipeListenThread::RemoveFile() noexcept {
  if (!ownsFile_) return;
  ownsFile_ = false;
  struct stat st{};
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) ::unlink(path_.c_str());
}

}  // namespace telvaro
