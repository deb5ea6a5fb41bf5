#include "connections/TerminalServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <array>
#include <atomic>
#include <chrono>
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
using Clock = std::chrono::steady_clock;
using SystemClock = std::chrono::system_clock;
/// Every connection's handlers run on a strand of its own. The socket and the timers
/// name the strand's type rather than any_io_executor: 24 bytes of executor each
/// instead of 56.
using Strand = asio::strand<asio::io_context::executor_type>;
using Socket = asio::basic_stream_socket<tcp, Strand>;
using Timer = asio::basic_waitable_timer<Clock, asio::wait_traits<Clock>, Strand>;

/// Pause after a refused accept (out of descriptors), so the listener never spins.
constexpr auto AcceptRetryPause = std::chrono::milliseconds(100);
/// How long a balancer may take to send the PROXY header of a new connection.
constexpr auto ProxyHeaderTimeout = std::chrono::seconds(10);
/// Keep-alive timing: a dead link ends after about 4 minutes of silence.
constexpr int KeepIdleSeconds = 120;
constexpr int KeepIntervalSeconds = 30;
constexpr int KeepProbes = 4;

void EnableKeepAlive(Socket& socket) {
  std::error_code ec;
  socket.set_option(asio::socket_base::keep_alive(true), ec);
  const int fd = socket.native_handle();
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KeepIdleSeconds, sizeof KeepIdleSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KeepIntervalSeconds, sizeof KeepIntervalSeconds);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KeepProbes, sizeof KeepProbes);
}

/// Records parsed during a command's pause that a connection holds at most. Past it
/// the connection reads nothing more until the command is written, so a terminal that
/// floods during the pause is slowed down by TCP instead of filling the server's memory.
constexpr std::size_t MaxHeldRecords = 1024;

/// One accepted connection. Touched only on its strand, except `entry` (server's lock).
/// Its reader parses everything the terminal sends as it arrives; a command fetched
/// after a batch is written by a writer of its own after its pause, and the batches
/// parsed meanwhile are held and routed right after the write.
///
/// An idle connection costs about 1 KB of heap: this object with its shared_ptr count
/// (496 bytes), the reactor's state of its socket (176), its strand (112: Asio makes
/// one per make_strand, only the strands' mutexes are pooled), one pending wait for
/// readable bytes (160) and its entry in the server's list (48); the parser (160)
/// comes with the first message. The reader is a chain of handlers, not a coroutine:
/// a spawned coroutine waiting on a socket keeps three frames alive (its spawn entry,
/// its own, and the awaited operation's initiation), about 1 KB more per connection.
/// The writer, which runs only while a command is in flight, and the PROXY header's
/// reading at the start stay coroutines. The timers exist only while armed.
struct Session {
  Session(Socket s, const ConnectionEnv& env, const tcp::endpoint& peer)
      : socket(std::move(s)), conn(env, peer.address().to_string()), peerPort(peer.port()) {}

  Socket socket;
  std::unique_ptr<Timer> pause;  ///< the pause before a command write, while it runs
  std::unique_ptr<Timer> watch;  ///< the deadline of an incomplete message or an identification answer
  TerminalConnection conn;
  StreamFramer framer;
  bool closing = false;      ///< the server is stopping: write nothing more
  bool over = false;         ///< the connection ends: read nothing more
  bool writing = false;      ///< a command waits for its pause or its write
  bool inWrite = false;      ///< a command's bytes are being written
  bool writable = true;      ///< false once the peer is gone: nothing more is written
  bool partial = false;      ///< an incomplete message is buffered
  bool waitsForWriter = false;  ///< the reader waits until the writer routes the records held
  bool readerDone = false;   ///< the reader has ended; the end steps wait for the writer
  bool framed = false;       ///< a message was taken from the bytes of the latest read
  Clock::time_point arrived;       ///< when the latest read's bytes arrived (for the record delay)
  Clock::time_point partialSince;  ///< when the incomplete message began
  TDateTime identSentAt = 0;       ///< the identification request `identDeadline` is for
  Clock::time_point identDeadline;
  Clock::time_point armed = Clock::time_point::max();  ///< when `watch` expires
  Clock::time_point heldSince;     ///< when the oldest batch held in a pause arrived
  std::list<std::shared_ptr<Session>>::iterator entry;

  // What a snapshot shows; `id`, the peer and its port are written on the strand
  // under the server's lock.
  std::uint16_t peerPort;
  const SystemClock::time_point since = SystemClock::now();
  std::string id;                                ///< the connection's identity as last published
  std::atomic<SystemClock::rep> lastMessage{0};  ///< system clock ticks; 0 before the first message
  std::atomic<std::uint64_t> records{0};
};

/// Plain operator new, sized to what is asked. The idle wait's handler carries it, so
/// the wait, which lasts as long as the connection is idle, gets a block of its own
/// size (144 bytes): without it Asio hands the wait a block its thread recycled
/// from an earlier operation, typically an accept's 240.
template <typename T>
struct ExactAllocator {
  using value_type = T;
  ExactAllocator() noexcept = default;
  template <typename U>
  ExactAllocator(const ExactAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept { std::allocator<T>().deallocate(p, n); }
  template <typename U>
  bool operator==(const ExactAllocator<U>&) const noexcept {
    return true;
  }
};

/// What the reader does after a step.
enum class Next {
  Read,  ///< wait for more bytes
  Hold,  ///< wait until the writer has routed the held records
  End,   ///< end the connection; a command in flight is still written
  Gone,  ///< end the connection: the peer is gone or the server stops, write nothing more
};

/// Whether the peer has ended its side of the connection, though the reader may not
/// have reached that end yet (it waits while too many records are held, or has not run).
bool PeerHasClosed(Socket& socket) {
  tcp_info info{};
  socklen_t size = sizeof info;
  return ::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
         info.tcpi_state == TCP_CLOSE_WAIT;
}

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
  explicit Impl(const ConnectionEnv& e) : env(e), acceptStrand(asio::make_strand(ioc)) {
    if (!env.claims) env.claims = &claims;
  }

  asio::awaitable<void> AcceptLoop();
  void StartSession(Socket socket);
  /// Reads the PROXY header, then hands the connection to its reader.
  asio::awaitable<void> Introduce(std::shared_ptr<Session> s);
  /// Reads the PROXY header a balancer puts first and takes the terminal's address
  /// from it; false (with a log line) when there is no valid one.
  asio::awaitable<bool> ReadProxyHeader(Session& s);
  /// One step of the reader, then what it leads to: the next wait, a wait for the
  /// writer, or the end of the connection. `waited` is the result of a wait for
  /// readable bytes; null: go on with the bytes buffered (none at the start).
  void Advance(const std::shared_ptr<Session>& s, const std::error_code* waited);
  /// Reads what the wait announced and takes the messages it completes.
  Next Receive(const std::shared_ptr<Session>& s, std::error_code waited);
  /// Takes every complete message buffered, until the connection ends or its writer
  /// holds too many records.
  Next Frames(const std::shared_ptr<Session>& s);
  /// One complete message: parsed, then a command fetched for it or its batch routed.
  /// False when the connection must end.
  bool Take(const std::shared_ptr<Session>& s, Bytes message, Clock::time_point arrived);
  /// Routes the parsed batches; false when the connection must end.
  bool Route(Session& s, Clock::time_point arrived);
  /// The pause, the command's write and its bookkeeping, then every held batch routed.
  asio::awaitable<void> WriteCommand(std::shared_ptr<Session> s, TCmd cmd);
  /// The reader has ended (`gone`: nothing more may be written); the end steps follow
  /// once no command is in flight.
  void EndReading(const std::shared_ptr<Session>& s, bool gone);
  /// The end steps: the held batches routed, the end announced, the socket closed.
  void Finish(const std::shared_ptr<Session>& s);
  /// Ends the reading of `s`: a command in flight is still written, then the held
  /// batches are routed and the connection ends.
  void StopReading(const std::shared_ptr<Session>& s);
  /// Lets a reader that waits for the writer go on.
  void Resume(const std::shared_ptr<Session>& s);
  /// Sets the deadline of an incomplete message or an unanswered identification.
  void Watch(const std::shared_ptr<Session>& s);
  void Expired(const std::shared_ptr<Session>& s);
  void ConnectionError(const Session& s, const std::string& reason);
  /// Counts a message that ended its connection.
  void Refused() const noexcept {
    if (env.metrics) env.metrics->messagesRefused.Add();
  }

  ConnectionEnv env;
  CommandClaims claims;
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
    Socket socket(asio::make_strand(ioc));
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

void TerminalServer::Impl::StartSession(Socket socket) {
  std::error_code ec;
  const tcp::endpoint peer = socket.remote_endpoint(ec);
  if (ec) return;  // gone before it could be served
  EnableKeepAlive(socket);
  socket.non_blocking(true, ec);
  if (env.metrics) env.metrics->terminalConnectionsAccepted.Add();
  auto s = std::make_shared<Session>(std::move(socket), env, peer);
  {
    std::lock_guard lock(mutex);
    if (stopping) return;
    sessions.push_front(s);
    s->entry = sessions.begin();
  }
  if (env.metrics) env.metrics->terminalConnections.Add(1);
  const Strand executor = s->socket.get_executor();
  if (env.proxyProtocol) {
    asio::co_spawn(executor, Introduce(std::move(s)), asio::detached);
  } else {
    asio::post(executor, [this, s = std::move(s)] { Advance(s, nullptr); });
  }
}

asio::awaitable<void> TerminalServer::Impl::Introduce(std::shared_ptr<Session> s) {
  bool valid = false;
  try {
    valid = co_await ReadProxyHeader(*s);
  } catch (const std::exception& e) {
    if (!s->closing) ConnectionError(*s, e.what());
  }
  if (valid) {
    Advance(s, nullptr);
  } else {
    EndReading(s, true);
  }
}

void TerminalServer::Impl::Advance(const std::shared_ptr<Session>& sp, const std::error_code* waited) {
  Session& s = *sp;
  bool gone = true;
  try {
    switch (waited ? Receive(sp, *waited) : Frames(sp)) {
      case Next::Read:
        // Waits with no buffer held, so an idle connection costs only its socket and state.
        s.socket.async_wait(tcp::socket::wait_read,
                            asio::bind_allocator(ExactAllocator<void>(),
                                                 [this, sp](const std::error_code& ec) { Advance(sp, &ec); }));
        return;
      case Next::Hold:
        s.waitsForWriter = true;
        return;
      case Next::End:
        gone = false;
        break;
      case Next::Gone:
        break;
    }
  } catch (const std::exception& e) {
    // An error ends only this connection; its end steps follow.
    if (!s.closing) ConnectionError(s, e.what());
  }
  EndReading(sp, gone);
}

Next TerminalServer::Impl::Receive(const std::shared_ptr<Session>& sp, std::error_code ec) {
  Session& s = *sp;
  if (s.closing) return Next::Gone;
  if (s.over) return Next::End;
  if (ec == asio::error::operation_aborted) return Next::Read;
  if (ec) {
    ConnectionError(s, ec.message());
    return Next::Gone;
  }
  const std::size_t ready = s.socket.available(ec);
  const std::span<std::uint8_t> room = s.framer.Prepare(ready > 0 ? ready : 1);
  const std::size_t n = s.socket.read_some(asio::buffer(room.data(), room.size()), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) return Next::Read;
  if (ec) {
    // The peer closing its side is the normal end; anything else is worth a line.
    // Everything it sent before was read, so only an incomplete message is lost.
    if (ec != asio::error::eof && !s.closing) ConnectionError(s, ec.message());
    return Next::Gone;
  }
  s.framer.Commit(n);
  // The clock is read only for the record delay.
  s.arrived = env.metrics ? Clock::now() : Clock::time_point{};
  s.framed = false;
  return Frames(sp);
}

Next TerminalServer::Impl::Frames(const std::shared_ptr<Session>& sp) {
  Session& s = *sp;
  Bytes message;
  while (!s.over) {
    if (s.writing && s.conn.HeldRecords() >= MaxHeldRecords) return Next::Hold;
    const StreamFramer::Status status = s.framer.Next(message);
    if (status == StreamFramer::Status::NeedMore) break;
    if (status == StreamFramer::Status::Bad) {
      Refused();
      s.over = true;
      break;
    }
    s.framed = true;
    if (!Take(sp, message, s.arrived)) s.over = true;
  }
  if (s.closing) return Next::Gone;
  if (s.framer.Buffered() == 0) {
    s.partial = false;
  } else if (!s.partial || s.framed) {
    s.partial = true;
    s.partialSince = Clock::now();
  }
  if (!s.over) Watch(sp);
  if (!s.writing && s.conn.HeldRecords() == 0) {
    s.framer.ReleaseIfEmpty();
    s.conn.ReleaseIdle();
  }
  return s.over ? Next::End : Next::Read;
}

void TerminalServer::Impl::EndReading(const std::shared_ptr<Session>& sp, bool gone) {
  Session& s = *sp;
  s.over = true;
  s.readerDone = true;
  if (gone) {
    // A command still in its pause is not written and stays queued.
    s.writable = false;
    if (s.pause) s.pause->cancel();
  }
  if (!s.writing) Finish(sp);
}

void TerminalServer::Impl::Finish(const std::shared_ptr<Session>& sp) {
  Session& s = *sp;
  s.watch.reset();
  try {
    s.conn.Route();
  } catch (const std::exception&) {
  }
  try {
    s.conn.End();
  } catch (const std::exception&) {
  }
  std::error_code ec;
  s.socket.shutdown(tcp::socket::shutdown_both, ec);
  s.socket.close(ec);
  if (env.metrics) env.metrics->terminalConnections.Add(-1);
  std::lock_guard lock(mutex);
  sessions.erase(s.entry);
  changed.notify_all();
}

void TerminalServer::Impl::StopReading(const std::shared_ptr<Session>& sp) {
  Session& s = *sp;
  s.over = true;
  Resume(sp);
  // Cancelling wakes the reader; a write in progress would be cut, so the writer
  // cancels once it is done.
  std::error_code ec;
  if (!s.inWrite) s.socket.cancel(ec);
}

void TerminalServer::Impl::Resume(const std::shared_ptr<Session>& sp) {
  if (!sp->waitsForWriter) return;
  sp->waitsForWriter = false;
  // Later, not from inside the writer or the end steps that call this.
  asio::post(sp->socket.get_executor(), [this, sp] { Advance(sp, nullptr); });
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
  Timer deadline(s.socket.get_executor(), ProxyHeaderTimeout);
  for (;;) {
    const ProxyParse r = ParseProxyHeader(Bytes(header.data(), received));
    if (r.status == ProxyParse::Status::Bad) {
      refuse(r.error);
      co_return false;
    }
    if (r.status == ProxyParse::Status::Complete) {
      const ProxyHeader& h = r.header;
      if (!h.HasAddress()) co_return true;
      std::string peer;
      if (h.family == ProxyHeader::Family::Inet) {
        asio::ip::address_v4::bytes_type a;
        std::copy_n(h.source.begin(), a.size(), a.begin());
        peer = asio::ip::address_v4(a).to_string();
      } else {
        asio::ip::address_v6::bytes_type a;
        std::copy_n(h.source.begin(), a.size(), a.begin());
        peer = asio::ip::address_v6(a).to_string();
      }
      std::lock_guard lock(mutex);
      s.conn.SetPeer(std::move(peer));
      s.peerPort = h.sourcePort;
      co_return true;
    }
    // Never more than the header still needs: the bytes after it are the framer's.
    const auto read = co_await (
        s.socket.async_read_some(asio::buffer(header.data() + received, r.needed), Await) ||
        deadline.async_wait(Await));
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

bool TerminalServer::Impl::Take(const std::shared_ptr<Session>& sp, Bytes message, Clock::time_point arrived) {
  Session& s = *sp;
  s.lastMessage.store(SystemClock::now().time_since_epoch().count(), std::memory_order_relaxed);
  const std::size_t before = s.conn.HeldRecords();
  const bool parsed = s.conn.Parse(message);
  if (s.conn.Identity() != s.id) {
    std::lock_guard lock(mutex);
    s.id = s.conn.Identity();
  }
  if (!parsed) {
    Refused();
    return false;
  }
  const std::size_t received = s.conn.HeldRecords() - before;
  // Only this strand writes the count.
  s.records.store(s.records.load(std::memory_order_relaxed) + received, std::memory_order_relaxed);
  if (env.metrics) env.metrics->recordsReceived.Add(received);

  // One command in flight: this batch waits for it and fetches none of its own.
  if (s.writing) return true;
  if (s.writable && !s.closing) {
    if (std::optional<TCmd> cmd = s.conn.FetchCommand()) {
      s.writing = true;
      s.heldSince = arrived;
      asio::co_spawn(s.socket.get_executor(), WriteCommand(sp, std::move(*cmd)), asio::detached);
      return true;
    }
  }
  return Route(s, arrived) && !s.closing;
}

bool TerminalServer::Impl::Route(Session& s, Clock::time_point arrived) {
  const bool accepted = s.conn.Route();
  if (env.metrics) {
    env.metrics->recordDelaySeconds.Observe(std::chrono::duration<double>(Clock::now() - arrived).count());
    if (!accepted) Refused();
  }
  return accepted;
}

asio::awaitable<void> TerminalServer::Impl::WriteCommand(std::shared_ptr<Session> sp, TCmd cmd) {
  Session& s = *sp;
  try {
    std::error_code ec;
    if (env.cmdDelay.count() > 0) {
      s.pause = std::make_unique<Timer>(s.socket.get_executor(), env.cmdDelay);
      co_await s.pause->async_wait(asio::redirect_error(asio::use_awaitable, ec));
      s.pause.reset();
    }
    // At shutdown, or once the peer is gone, the command is not written and stays
    // queued for the next connection. A terminal that has closed its side is going
    // away: what was written now would most likely never be read.
    if (s.writable && PeerHasClosed(s.socket)) s.writable = false;
    if (!s.closing && s.writable) {
      // Written straight from here while the socket takes it, so the bookkeeping
      // follows in the same step: a batch the terminal sends once it has the command
      // is never taken for one received during the write.
      const std::string_view bytes = cmd.WireBytes();
      s.inWrite = true;
      for (std::size_t done = 0; done < bytes.size() && !ec;) {
        done += s.socket.write_some(asio::buffer(bytes.data() + done, bytes.size() - done), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again)
          co_await s.socket.async_wait(tcp::socket::wait_write, asio::redirect_error(asio::use_awaitable, ec));
      }
      s.inWrite = false;
      if (ec) {
        s.writable = false;
        s.conn.CommandFailed(cmd, ec.message());
      } else {
        if (env.metrics) env.metrics->commandsWritten.Add();
        s.conn.CommandWritten(cmd);
      }
    } else {
      s.conn.CommandNotWritten();
    }
    if (!Route(s, s.heldSince)) s.over = true;
  } catch (const std::exception& e) {
    s.inWrite = false;
    if (!s.closing) ConnectionError(s, e.what());
    s.over = true;
  }
  s.pause.reset();
  s.writing = false;
  if (s.over) StopReading(sp);
  Resume(sp);
  if (s.readerDone) Finish(sp);
}

void TerminalServer::Impl::Watch(const std::shared_ptr<Session>& sp) {
  Session& s = *sp;
  if (const TDateTime sent = s.conn.IdentificationSentAt(); sent != s.identSentAt) {
    s.identSentAt = sent;
    s.identDeadline = Clock::now() + env.identifyLimit;
  }
  Clock::time_point deadline = Clock::time_point::max();
  if (s.partial && env.frameTimeout.count() > 0) deadline = s.partialSince + env.frameTimeout;
  if (s.identSentAt != 0) deadline = std::min(deadline, s.identDeadline);
  if (deadline == s.armed) return;
  s.armed = deadline;
  if (deadline == Clock::time_point::max()) {
    s.watch.reset();
    return;
  }
  if (!s.watch) s.watch = std::make_unique<Timer>(s.socket.get_executor());
  s.watch->expires_at(deadline);
  s.watch->async_wait([this, sp](const std::error_code& ec) {
    if (!ec) Expired(sp);
  });
}

void TerminalServer::Impl::Expired(const std::shared_ptr<Session>& sp) {
  Session& s = *sp;
  s.armed = Clock::time_point::max();
  if (s.over) return;
  const Clock::time_point now = Clock::now();
  if (s.partial && env.frameTimeout.count() > 0 && now >= s.partialSince + env.frameTimeout) {
    try {
      env.log->Append("Incomplete message time-out: " + s.conn.Peer());
    } catch (const std::exception&) {
    }
    StopReading(sp);
  } else if (s.identSentAt != 0 && now >= s.identDeadline) {
    // The identification request went unanswered: the terminal is not served.
    StopReading(sp);
  } else {
    Watch(sp);
  }
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
      asio::post(s->socket.get_executor(), [&d, s] {
        s->closing = true;
        s->over = true;
        std::error_code ec;
        s->socket.shutdown(tcp::socket::shutdown_both, ec);
        s->socket.close(ec);
        if (s->pause) s->pause->cancel();
        s->watch.reset();
        d.Resume(s);
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

std::vector<TerminalInfo> TerminalServer::Terminals() const {
  std::vector<TerminalInfo> out;
  std::lock_guard lock(impl_->mutex);
  out.reserve(impl_->sessions.size());
  // New connections go to the front.
  for (auto it = impl_->sessions.rbegin(); it != impl_->sessions.rend(); ++it) {
    const Session& s = **it;
    TerminalInfo& t = out.emplace_back();
    t.id = s.id;
    t.peer = s.conn.Peer();
    t.port = s.peerPort;
    t.connectedSince = s.since;
    if (const auto last = s.lastMessage.load(std::memory_order_relaxed))
      t.lastMessage = SystemClock::time_point(SystemClock::duration(last));
    t.records = s.records.load(std::memory_order_relaxed);
  }
  return out;
}

}  // namespace telvaro
