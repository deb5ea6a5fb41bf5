#include "pipes/PipeServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "base/OperatorLog.h"

namespace telvaro {
namespace {

using Item = std::vector<std::uint8_t>;

/// Pause between repeated failures to accept a client, so that a shortage of
/// descriptors does not turn the listener into a busy loop.
constexpr auto AcceptRetryPause = std::chrono::seconds(1);
/// Messages handed to the kernel per sendmmsg call.
constexpr std::size_t SendBatch = 64;

std::string ErrnoText(int err) { return std::system_category().message(err); }

/// True when the peer has closed its end (a zero-byte read is then the end of the
/// stream rather than an empty message).
bool PeerGone(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

/// Errors by which a client that simply left shows up.
bool ClientLeft(int err) { return err == 0 || err == EPIPE || err == ECONNRESET; }

sockaddr_un MakeAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return addr;
}

}  // namespace

template <typename F>
void TPipeServer::Deliver(F&& handler) {
  ++FDeliveryDepth;
  try {
    handler();
  } catch (const std::exception& e) {
    HandlerFailed(e.what());
  } catch (...) {
    HandlerFailed("unknown error");
  }
  --FDeliveryDepth;
}

struct TPipeServer::Client {
  Client(Session& s, asio::io_context& io, int fd);

  const PipeHandle pipe;
  const int fd;
  Session* const session;
  asio::io_context* const io;

  // Pipe I/O thread only.
  std::optional<asio::posix::stream_descriptor> sd;  ///< owns fd
  TMessageAssembler assembler;
  std::deque<Item> outbox;  ///< taken from the queue, being sent
  bool ended = false;

  // Guarded by qlock.
  std::mutex qlock;
  std::deque<Item> queue;
  std::uint64_t bytes = 0;  ///< queued plus outbox bytes
  bool writeScheduled = false;
  bool closing = false;

  // Main loop only.
  bool listed = false;
};

/// One activation: the listening socket, the pipe I/O thread and the connections it serves.
struct TPipeServer::Session : std::enable_shared_from_this<Session> {
  Session(TPipeServer& server, std::string path)
      : server(&server), path(std::move(path)), tempDir(TempDirectory()), name(server.FPipeName),
        wantSent(static_cast<bool>(server.OnPipeSent)), limit(server.options_.queueLimit), mode(server.options_.mode),
        report(server.FReport) {}

  ~Session() { Stop(); }

  TPipeServer* const server;  ///< main loop only
  const std::string path;
  const std::string tempDir;
  const std::string name;
  const bool wantSent;
  const std::uint64_t limit;
  const std::uint32_t mode;
  OperatorLog* const report;

  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::optional<asio::posix::stream_descriptor> listener;
  asio::steady_timer retry{io};
  std::map<int, std::shared_ptr<Client>> clients;  ///< every open connection; I/O thread
  std::thread thread;
  bool ownsFile = false;
  dev_t dev = 0;
  ino_t ino = 0;

  [[noreturn]] void Fail(const std::string& why) {
    throw EPipeException("Cannot create pipe " + path + ": " + why);
  }

  /// Binds the socket file (main loop); throws EPipeException.
  void Open() {
    if (path.size() >= sizeof(sockaddr_un::sun_path)) Fail("the path is too long");
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0) {
      if (!S_ISSOCK(st.st_mode)) Fail("a file that is not a socket has that name");
      // A socket file nobody accepts on is left over from a server that ended; a live
      // one belongs to another server.
      const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      if (probe < 0) Fail(ErrnoText(errno));
      const sockaddr_un addr = MakeAddress(path);
      const int rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
      const int err = errno;
      ::close(probe);
      if (rc == 0) Fail("another server is listening on it");
      if (err != ECONNREFUSED) Fail(ErrnoText(err));
      if (::unlink(path.c_str()) != 0 && errno != ENOENT) Fail(ErrnoText(errno));
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail(ErrnoText(errno));
    listener.emplace(io, fd);
    const sockaddr_un addr = MakeAddress(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) Fail(ErrnoText(errno));
    ownsFile = true;
    if (::lstat(path.c_str(), &st) == 0) {
      dev = st.st_dev;
      ino = st.st_ino;
    }
    if (::chmod(path.c_str(), mode) != 0 || ::listen(fd, SOMAXCONN) != 0) {
      const int err = errno;
      RemoveFile();
      Fail(ErrnoText(err));
    }
  }

  void Run() {
    asio::post(io, [this] { Accept(); });
    thread = std::thread([this] { io.run(); });
  }

  /// Ends the I/O thread and closes every socket (main loop). Events it had posted and
  /// that have not run yet come to nothing, since they find the session gone.
  void Stop() {
    if (thread.joinable()) {
      io.stop();
      thread.join();
    }
    for (auto& [fd, c] : clients) c->sd.reset();
    clients.clear();
    listener.reset();
    RemoveFile();
  }

  /// Removes the socket file unless another server has replaced it meanwhile.
  void RemoveFile() {
    if (!ownsFile) return;
    ownsFile = false;
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && st.st_dev == dev && st.st_ino == ino) ::unlink(path.c_str());
  }

  /// Runs `f` on the main loop while this session is still the server's.
  template <typename F>
  void ToMain(F&& f) {
    asio::post(server->FMain, [w = weak_from_this(), f = std::forward<F>(f)]() mutable {
      if (auto s = w.lock()) f(*s->server);
    });
  }

  // ---- pipe I/O thread ----

  void Accept() {
    for (;;) {
      const int fd = ::accept4(listener->native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd >= 0) {
        auto c = std::make_shared<Client>(*this, io, fd);
        clients.emplace(fd, c);
        ToMain([c](TPipeServer& s) { s.Connected(c); });
        continue;
      }
      const int err = errno;
      if (err == EINTR || err == ECONNABORTED) continue;
      if (err == EAGAIN || err == EWOULDBLOCK) {
        listener->async_wait(asio::posix::descriptor_base::wait_read, [this](std::error_code ec) {
          if (!ec) Accept();
        });
        return;
      }
      const auto handle = static_cast<PipeHandle>(listener->native_handle());
      ToMain([handle, err](TPipeServer& s) {
        s.Deliver([&] {
          if (s.OnPipeError) s.OnPipeError(s, handle, pcListener, err);
        });
      });
      retry.expires_after(AcceptRetryPause);
      retry.async_wait([this](std::error_code ec) {
        if (!ec) Accept();
      });
      return;
    }
  }

  /// Reads messages until the socket is drained or one is to be delivered; reading then
  /// waits until its handler has run (Resume).
  void Read(const std::shared_ptr<Client>& c) {
    std::uint8_t none = 0;
    while (!c->ended) {
      // The size of the next message, so that a long one sent whole is read whole.
      const ssize_t size = ::recv(c->fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
      if (size < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          c->sd->async_wait(asio::posix::descriptor_base::wait_read, [this, c](std::error_code ec) {
            if (!ec && !c->ended) Read(c);
          });
          return;
        }
        return End(c, errno);
      }
      if (size == 0 && PeerGone(c->fd)) return End(c, 0);
      Item msg(static_cast<std::size_t>(size));
      const ssize_t n = ::recv(c->fd, size ? msg.data() : &none, msg.size(), MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
        return End(c, errno);
      }
      msg.resize(static_cast<std::size_t>(n));
      if (auto done = c->assembler.Feed(std::move(msg))) {
        ToMain([c, stream = std::move(*done)](TPipeServer& s) mutable { s.Delivered(c, stream); });
        return;
      }
    }
  }

  void Write(const std::shared_ptr<Client>& c) {
    std::array<mmsghdr, SendBatch> msgs{};
    std::array<iovec, SendBatch> iov{};
    while (!c->ended) {
      if (c->outbox.empty()) {
        std::lock_guard lock(c->qlock);
        if (c->queue.empty()) {
          c->writeScheduled = false;
          return;
        }
        c->outbox.swap(c->queue);
      }
      const std::size_t k = std::min(c->outbox.size(), SendBatch);
      for (std::size_t i = 0; i < k; ++i) {
        iov[i] = {c->outbox[i].data(), c->outbox[i].size()};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int sent = ::sendmmsg(c->fd, msgs.data(), static_cast<unsigned>(k), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          c->sd->async_wait(asio::posix::descriptor_base::wait_write, [this, c](std::error_code ec) {
            if (!ec && !c->ended) Write(c);
          });
          return;
        }
        return End(c, errno);
      }
      std::uint64_t done = 0;
      for (int i = 0; i < sent; ++i) {
        const auto size = static_cast<std::uint32_t>(c->outbox.front().size());
        done += size;
        c->outbox.pop_front();
        if (wantSent) {
          ToMain([c, size](TPipeServer& s) {
            if (c->listed)
              s.Deliver([&] {
                if (s.OnPipeSent) s.OnPipeSent(s, c->pipe, size);
              });
          });
        }
      }
      std::lock_guard lock(c->qlock);
      c->bytes -= std::min(c->bytes, done);
    }
  }

  /// Ends a connection: nothing more is read or written; the main loop removes the
  /// client and then has the socket closed (Close).
  void End(const std::shared_ptr<Client>& c, int err) {
    if (c->ended) return;
    c->ended = true;
    {
      std::lock_guard lock(c->qlock);
      c->closing = true;
      c->queue.clear();
      c->bytes = 0;
    }
    c->outbox.clear();
    c->sd->cancel();
    ::shutdown(c->fd, SHUT_RDWR);
    if (!ClientLeft(err)) {
      ToMain([c, err](TPipeServer& s) {
        s.Deliver([&] {
          if (s.OnPipeError) s.OnPipeError(s, c->pipe, pcWorker, err);
        });
      });
    }
    ToMain([c](TPipeServer& s) { s.Ended(c); });
  }

  /// Closes the socket of a client the main loop has removed; its descriptor number may
  /// be reused only from now on.
  void Close(const std::shared_ptr<Client>& c) {
    c->sd.reset();
    clients.erase(c->fd);
  }
};

TPipeServer::Client::Client(Session& s, asio::io_context& io, int fd)
    : pipe(static_cast<PipeHandle>(fd)), fd(fd), session(&s), io(&io), sd(std::in_place, io, fd),
      assembler(s.tempDir) {}

TPipeServer::TPipeServer(asio::io_context& mainLoop, TPipeOptions options)
    : FMain(mainLoop), options_(std::move(options)) {}

TPipeServer::~TPipeServer() {
  FDestroying = true;
  DoShutdown();
}

void TPipeServer::SetPipeName(const std::string& value) {
  if (value == FPipeName) return;
  if (FActive) throw EPipeException("Cannot change property while server is active!");
  if (value.empty() || value.size() > MAX_NAME || value.find_first_of("\\/") != std::string::npos)
    throw EPipeException("Invalid pipe name specified!");
  FPipeName = value;
}

void TPipeServer::SetOptions(const TPipeOptions& value) {
  if (value == options_) return;
  if (FActive) throw EPipeException("Cannot change property while server is active!");
  options_ = value;
}

std::string PipeSocketPath(const std::string& dir, const std::string& name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  return path + name;
}

void TPipeServer::SetActive(bool value) {
  if (value == FActive) return;
  if (value)
    DoStartup();
  else
    DoShutdown();
}

void TPipeServer::DoStartup() {
  if (FActive) return;
  auto s = std::make_shared<Session>(*this, PipeSocketPath(options_.dir, FPipeName));
  s->Open();
  s->Run();
  FSession = std::move(s);
  FActive = true;
}

void TPipeServer::DoShutdown() {
  if (!FActive || FInShutDown) return;
  if (FDeliveryDepth > 0 && !FDestroying) {
    // Asked from inside one of our handlers: deactivate once it has returned.
    asio::post(FMain, [w = std::weak_ptr<Session>(FSession)] {
      if (auto s = w.lock()) s->server->DoShutdown();
    });
    return;
  }
  FInShutDown = true;
  try {
    const auto session = std::move(FSession);
    session->Stop();
    for (;;) {
      std::shared_ptr<Client> c;
      {
        std::unique_lock lock(FListLock);
        if (FClients.empty()) break;
        c = std::move(FClients.back());
        FClients.pop_back();
      }
      c->listed = false;
      if (!FDestroying)
        Deliver([&] {
          if (OnPipeDisconnect) OnPipeDisconnect(*this, c->pipe);
        });
    }
  } catch (...) {
    FActive = false;
    FInShutDown = false;
    throw;
  }
  FActive = false;
  FInShutDown = false;
}

void TPipeServer::HandlerFailed(const std::string& message) {
  try {
    if (OnHandlerError)
      OnHandlerError(*this, message);
    else if (FReport)
      FReport->Append("Pipe " + FPipeName + " event handler error: " + message);
  } catch (...) {
    // Reporting must not end the delivery loop.
  }
}

void TPipeServer::Connected(const std::shared_ptr<Client>& c) {
  {
    std::unique_lock lock(FListLock);
    FClients.push_back(c);
  }
  c->listed = true;
  Deliver([&] {
    if (OnPipeConnect) OnPipeConnect(*this, c->pipe);
  });
  asio::post(*c->io, [c] { c->session->Read(c); });
}

void TPipeServer::Delivered(const std::shared_ptr<Client>& c, TPipeStream& stream) {
  if (!c->listed) return;
  Deliver([&] {
    if (OnPipeMessage) OnPipeMessage(*this, c->pipe, stream);
  });
  if (FSession && c->session == FSession.get()) asio::post(*c->io, [c] { c->session->Read(c); });
}

void TPipeServer::Ended(const std::shared_ptr<Client>& c) {
  if (c->listed) {
    {
      std::unique_lock lock(FListLock);
      std::erase(FClients, c);
    }
    c->listed = false;
    if (!FDestroying)
      Deliver([&] {
        if (OnPipeDisconnect) OnPipeDisconnect(*this, c->pipe);
      });
  }
  if (FSession && c->session == FSession.get()) asio::post(*c->io, [c] { c->session->Close(c); });
}

std::shared_ptr<TPipeServer::Client> TPipeServer::FindLocked(PipeHandle pipe) const {
  for (auto it = FClients.rbegin(); it != FClients.rend(); ++it)
    if ((*it)->pipe == pipe) return *it;
  return nullptr;
}

int TPipeServer::ClientCount() const {
  std::shared_lock lock(FListLock);
  return static_cast<int>(FClients.size());
}

std::vector<PipeHandle> TPipeServer::ClientList() const {
  std::shared_lock lock(FListLock);
  std::vector<PipeHandle> out;
  out.reserve(FClients.size());
  for (const auto& c : FClients) out.push_back(c->pipe);
  return out;
}

bool TPipeServer::Enqueue(const std::shared_ptr<Client>& c, std::vector<Item>&& items) {
  std::uint64_t add = 0;
  for (const auto& i : items) add += i.size();
  const std::uint64_t limit = c->session->limit;
  {
    std::lock_guard lock(c->qlock);
    // Bytes for a connection that is ending go with the rest of its queue.
    if (c->closing) return true;
    if (c->bytes + add <= limit) {
      for (auto& i : items) c->queue.push_back(std::move(i));
      c->bytes += add;
      if (!c->writeScheduled) {
        c->writeScheduled = true;
        asio::post(*c->io, [c] { c->session->Write(c); });
      }
      return true;
    }
    // A client that stopped reading must not make the server's memory grow without bound.
    c->closing = true;
    for (const auto& i : c->queue) c->bytes -= std::min<std::uint64_t>(c->bytes, i.size());
    c->queue.clear();
  }
  if (c->session->report)
    c->session->report->Append("Pipe client " + std::to_string(c->pipe) + " of " + c->session->name +
                               " disconnected: more than " + std::to_string(limit) + " bytes queued");
  asio::post(*c->io, [c] { c->session->End(c, 0); });
  return false;
}

bool TPipeServer::Write(PipeHandle pipe, PipeBytes data) {
  std::shared_lock lock(FListLock);
  const auto c = FindLocked(pipe);
  if (!c) return false;
  return Enqueue(c, FrameMessage(data));
}

}  // namespace telvaro
