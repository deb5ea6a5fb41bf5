#include "connections/TerminalServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <array>
#include <condition_variable>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "protocol/ProxyHeader.h"
#include "protocol/StreamFramer.h"

namespace telvaro {
namespace {

using asio::ip::tcp;
using Strand = asio::strand<asio::io_context::executor_type>;

/// Pause after a refused accept (out of descriptors), so the listener never spins.
constexpr auto AcceptRetryPause = std::chrono::milliseconds(100);
/// How long a balancer may take to send the PROXY header of a new connection.
constexpr auto ProxyHeaderTimeout = std::chrono::seconds(10);
/// Keep-alive timing: a dead link ends after about 4 minutes of silence.
constexpr int KeepIdleSeconds = 120;
constexpr int KeepIntervalSeconds = 30;
constexpr int KeepProbes = 4;

void EnableKeepAlive(tcp::socket& socket) {
  std::error_code ec;
  socket.set_option(asio::socket_base::keep_alive(true), ec);
  const int fd = socket.native_handle();
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KeepIdleSeconds, sizeof KeepIdleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KeepIntervalSeconds, sizeof KeepIntervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KeepProbes, sizeof KeepProbes);
}

/// One accepted connection. Touched only on its strand, except `entry` (server's lock).
struct Session {
  Session(tcp::socket s, const ConnectionEnv& env, std::string peer)
      : socket(std::move(s)), timer(socket.get_executor()), conn(env, std::move(peer)) {}

  tcp::socket socket;
  asio::steady_timer timer;  ///< the pause before a command write
  TerminalConnection conn;
  StreamFramer framer;
  bool closing = false;      ///< the server is stopping: write nothing more
  std::list<std::shared_ptr<Session>>::iterator entry;
};

}  // namespace

std::uint64_t RaiseOpenFileLimit() noexcept {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
  if (lim.rlim_cur < lim.rlim_max) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  return lim.rlim_cur;
}

struct TerminalServer::Impl {
  explicit Impl(const ConnectionEnv& e) : env(e), acceptStrand(asio::make_strand(ioc)) {}

  asio::awaitable<void> AcceptLoop();
  void StartSession(tcp::socket socket);
  asio::awaitable<void> Serve(std::shared_ptr<Session> s);
  asio::awaitable<void> Converse(Session& s);
  asio::awaitable<bool> ReadProxyHeader(Session& s);
  asio::awaitable<bool> Batch(Session& s, Bytes message);
  void ConnectionError(const Session& s, const std::string& reason);

  ConnectionEnv env;
  asio::io_context ioc;
  Strand acceptStrand;
  std::optional<tcp::acceptor> acceptor;
  std::vector<std::thread> threads;
  std::uint16_t port = 0;

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::list<std::shared_ptr<Session>> sessions;
  bool accepting = false;  ///< the accept loop has not ended
  bool stopping = false;
};

asio::awaitable<void> TerminalServer::Impl::AcceptLoop() {
  bool failing = false;
  while (acceptor->is_open()) {
    tcp::socket socket(asio::make_strand(ioc));
    std::error_code ec;
    co_await acceptor->async_accept(socket, asio::redirect_error(asio::use_awaitable, ec));
    if (!acceptor->is_open()) break;
    if (ec) {
      // Typically out of descriptors: report once per run of failures and retry.
      if (!failing) env.log->Append("Could not accept a connection: " + ec.message());
      failing = true;
      asio::steady_timer pause(acceptStrand, AcceptRetryPause);
      co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      continue;
    }
    failing = false;
    StartSession(std::move(socket));
  }
  std::lock_guard lock(mutex);
  accepting = false;
  changed.notify_all();
}

void TerminalServer::Impl::StartSession(tcp::socket socket) {
  std::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // gone before it could be served
  EnableKeepAlive(socket);
  socket.non_blocking(true, ec);
  auto s = std::make_shared<Session>(std::move(socket), env, peer.address().to_string());
  {
    std::lock_guard lock(mutex);
    if (stopping) return;
    sessions.push_front(s);
    s->entry = sessions.begin();
  }
  auto executor = s->socket.get_executor();
  asio::co_spawn(executor, Serve(std::move(s)), asio::detached);
}

asio::awaitable<void> TerminalServer::Impl::Serve(std::shared_ptr<Session> s) {
  try {
    co_await Converse(*s);
  } catch (const std::exception& e) {
    // An error ends only this connection; its end steps follow. Waits cancelled by a
    // stop are the stop, not an error.
    if (!s->closing) ConnectionError(*s, e.what());
  }
  try {
    s->conn.End();
  } catch (const std::exception&) {
  }
  std::error_code ec;
  s->socket.shutdown(tcp::socket::shutdown_both, ec);
  s->socket.close(ec);
  std::lock_guard lock(mutex);
  sessions.erase(s->entry);
  changed.notify_all();
}

void TerminalServer::Impl::ConnectionError(const Session& s, const std::string& reason) {
  try {
    env.log->Append("Connection error with " + s.conn.Peer() + ": " + reason);
  } catch (const std::exception&) {
    // Only an allocation can fail here; the connection ends all the same.
  }
}

asio::awaitable<bool> TerminalServer::Impl::ReadProxyHeader(Session& s) {
  using namespace asio::experimental::awaitable_operators;
  constexpr auto Await = asio::experimental::as_tuple(asio::use_awaitable);
  const auto refuse = [&](const std::string& why) {
    env.log->Append("No valid PROXY header from " + s.conn.Peer() + ": " + why);
  };
  std::array<std::uint8_t, ProxyFixedSize + MaxProxyBody> header;
  std::size_t received = 0;
  s.timer.expires_after(ProxyHeaderTimeout);
  for (;;) {
    const ProxyParse r = ParseProxyHeader(Bytes(header.data(), received));
    if (r.status == ProxyParse::Status::Bad) {
      refuse(r.error);
      co_return false;
    }
    if (r.status == ProxyParse::Status::Complete) {
      s.timer.cancel();
      const ProxyHeader& h = r.header;
      if (h.family == ProxyHeader::Family::Inet && h.HasAddress()) {
        asio::ip::address_v4::bytes_type a;
        std::copy_n(h.source.begin(), a.size(), a.begin());
        s.conn.SetPeer(asio::ip::address_v4(a).to_string());
      } else if (h.HasAddress()) {
        asio::ip::address_v6::bytes_type a;
        std::copy_n(h.source.begin(), a.size(), a.begin());
        s.conn.SetPeer(asio::ip::address_v6(a).to_string());
      }
      co_return true;
    }
    // Never more than the header still needs: the bytes after it are the framer's.
    const auto read = co_await (
        s.socket.async_read_some(asio::buffer(header.data() + received, r.needed), Await) ||
        s.timer.async_wait(Await));
    if (read.index() == 1) {
      if (!s.closing) refuse("none within " + std::to_string(ProxyHeaderTimeout.count()) + " s");
      co_return false;
    }
    const auto [ec, n] = std::get<0>(read);
    if (ec) {
      if (ec != asio::error::eof && !s.closing) ConnectionError(s, ec.message());
      co_return false;
    }
    received += n;
  }
}

asio::awaitable<void> TerminalServer::Impl::Converse(Session& s) {
  if (env.proxyProtocol && !co_await ReadProxyHeader(s)) co_return;
  for (;;) {
    // Wait with no buffer held, so an idle connection costs only its socket and state.
    co_await s.socket.async_wait(tcp::socket::wait_read, asio::use_awaitable);
    std::error_code ec;
    const std::size_t ready = s.socket.available(ec);
    const std::span<std::uint8_t> room = s.framer.Prepare(ready > 0 ? ready : 1);
    const std::size_t n = s.socket.read_some(asio::buffer(room.data(), room.size()), ec);
    if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
    if (ec) {
      // The peer closing its side is the normal end; anything else is worth a line.
      if (ec != asio::error::eof && !s.closing) ConnectionError(s, ec.message());
      co_return;
    }
    s.framer.Commit(n);

    Bytes message;
    for (;;) {
      const StreamFramer::Status status = s.framer.Next(message);
      if (status == StreamFramer::Status::NeedMore) break;
      if (status == StreamFramer::Status::Bad) co_return;
      if (!co_await Batch(s, message)) co_return;
    }
    s.framer.ReleaseIfEmpty();
    s.conn.ReleaseIdle();
  }
}

asio::awaitable<bool> TerminalServer::Impl::Batch(Session& s, Bytes message) {
  if (!s.conn.Parse(message)) co_return false;
  if (std::optional<TCmd> cmd = s.conn.FetchCommand()) {
    std::error_code ec;
    if (env.cmdDelay.count() > 0) {
      s.timer.expires_after(env.cmdDelay);
      co_await s.timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    // At shutdown the command is not written and stays queued for the next connection.
    if (!s.closing) {
      const std::string_view bytes = cmd->WireBytes();
      co_await asio::async_write(s.socket, asio::buffer(bytes.data(), bytes.size()),
                                 asio::redirect_error(asio::use_awaitable, ec));
      if (ec) s.conn.CommandFailed(*cmd, ec.message());
      else s.conn.CommandWritten(*cmd);
    }
  }
  const bool accepted = s.conn.Route();
  co_return accepted && !s.closing && s.socket.is_open();
}

TerminalServer::TerminalServer(const ConnectionEnv& env) : impl_(std::make_unique<Impl>(env)) {}

TerminalServer::~TerminalServer() { Stop(); }

void TerminalServer::Start(std::uint16_t port, int threads) {
  RaiseOpenFileLimit();
  Impl& d = *impl_;
  d.acceptor.emplace(d.acceptStrand);
  std::error_code ec;
  const tcp::endpoint endpoint(tcp::v4(), port);
  d.acceptor->open(endpoint.protocol(), ec);
  if (!ec) d.acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) d.acceptor->bind(endpoint, ec);
  if (!ec) d.acceptor->listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    d.acceptor.reset();
    throw std::runtime_error("Could not listen at port " + std::to_string(port) + ": " + ec.message());
  }
  d.port = d.acceptor->local_endpoint().port();
  d.accepting = true;
  asio::co_spawn(d.acceptStrand, d.AcceptLoop(), asio::detached);

  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  for (int i = 0; i < threads; ++i) d.threads.emplace_back([&d] { d.ioc.run(); });
}

void TerminalServer::Stop() {
  Impl& d = *impl_;
  {
    std::lock_guard lock(d.mutex);
    if (d.stopping) return;
    d.stopping = true;
    for (const auto& s : d.sessions) {
      asio::post(s->socket.get_executor(), [s] {
        s->closing = true;
        std::error_code ec;
        s->socket.shutdown(tcp::socket::shutdown_both, ec);
        s->socket.close(ec);
        s->timer.cancel();
      });
    }
  }
  if (d.acceptor) {
    asio::post(d.acceptStrand, [&d] {
      std::error_code ec;
      d.acceptor->close(ec);
    });
  }
  if (!d.threads.empty()) {
    std::unique_lock lock(d.mutex);
    d.changed.wait(lock, [&d] { return d.sessions.empty() && !d.accepting; });
  }
  d.ioc.stop();
  for (std::thread& t : d.threads) t.join();
  d.threads.clear();
}

std::uint16_t TerminalServer::Port() const noexcept { return impl_->port; }

bool TerminalServer::Active() const noexcept {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepting && !impl_->stopping;
}

std::size_t TerminalServer::ConnectionCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->sessions.size();
}

}  // namespace telvaro
