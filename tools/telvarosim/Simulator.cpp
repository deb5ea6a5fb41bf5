#include "tools/telvarosim/Simulator.h"

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#include "protocol/Bytes.h"

namespace telvaro::sim {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using ByteVec = std::vector<std::uint8_t>;

constexpr std::uint8_t CodecAvl = 2, CodecPing = 5, CodecAnswer = 6;
constexpr std::uint8_t KindVersion = 0x0C, KindFileBlock = 0x06, KindIdentify = 0x02;
/// A complete frame on the wire: signature, length, payload, checksum.
constexpr std::size_t FrameOverhead = 8;

/// Longest text command looked for.
constexpr std::size_t MaxTextCommand = 255;

/// Lines of the commands received, from every terminal, one whole line at a time.
class CommandLog {
 public:
  explicit CommandLog(const std::string& path) : file_(std::fopen(path.c_str(), "a")) {
    if (!file_) throw std::runtime_error("cannot open " + path);
  }
  ~CommandLog() { std::fclose(file_); }
  CommandLog(const CommandLog&) = delete;
  CommandLog& operator=(const CommandLog&) = delete;

  void Line(const std::string& line) {
    std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_);
  }

 private:
  std::mutex mutex_;
  std::FILE* file_;
};

/// Lower-case hexadecimal text of `bytes`.
std::string Hex(Bytes bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out += Digits[b >> 4];
    out += Digits[b & 15];
  }
  return out;
}

/// Milliseconds since 1970, to compare arrivals with what queued them.
long long UnixMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IsText(std::uint8_t c) { return c >= 0x20 && c < 0x7F; }

/// `seconds` as a clock duration.
Clock::duration Micros(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(static_cast<long long>(seconds * 1e6)));
}

void PutBE(ByteVec& v, std::uint64_t x, int width) {
  for (int i = width - 1; i >= 0; --i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

ByteVec Frame(std::uint64_t imei, std::uint8_t codec, std::uint8_t nrec, const ByteVec& body) {
  ByteVec payload;
  payload.reserve(10 + body.size());
  PutBE(payload, imei, 8);
  payload.push_back(codec);
  payload.push_back(nrec);
  payload.insert(payload.end(), body.begin(), body.end());
  ByteVec f{0xCC, 0xCC, 0xCC, 0xCC};
  PutBE(f, payload.size(), 2);
  f.insert(f.end(), payload.begin(), payload.end());
  PutBE(f, CRC16(payload), 2);
  return f;
}

/// The answer to a version request: four zero-padded text fields.
ByteVec VersionAnswer() {
  ByteVec a{KindVersion};
  a.resize(12, 0);
  auto field = [&a](std::string_view text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) a.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
  };
  field("1.2.3", 20);
  field("SIM 2.0", 16);
  field("GNSS 3.1", 16);
  field("PROT 1", 20);
  return a;
}

class Terminal : public std::enable_shared_from_this<Terminal> {
 public:
  Terminal(asio::any_io_executor ex, const Options& o, Summary& s, const tcp::resolver::results_type& server,
           std::uint64_t imei, Clock::time_point start, CommandLog* log)
      : socket_(ex), wake_(ex), o_(o), s_(s), server_(server), imei_(imei), start_(start), log_(log), rng_(imei) {}

  asio::any_io_executor Executor() { return socket_.get_executor(); }

  asio::awaitable<void> Run() {
    auto self = shared_from_this();
    asio::steady_timer t(socket_.get_executor());
    t.expires_at(start_);
    std::error_code ec;
    co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    const bool again = o_.reconnect > 0;
    const Clock::time_point end = o_.duration > 0 ? start_ + Micros(o_.duration) : Clock::time_point::max();
    for (bool first = true;; first = false) {
      co_await asio::async_connect(socket_, server_, asio::redirect_error(asio::use_awaitable, ec));
      if (ec) {
        ++s_.connectFailed;
        if (!again || Clock::now() >= end) co_return;
        co_await Pause(std::chrono::seconds(1));
        continue;
      }
      if (!first) ++s_.reconnects;
      ++s_.connected;
      open_ = true;
      ok_ = false;
      hangingUp_ = false;
      reading_ = true;
      answers_.clear();
      asio::co_spawn(socket_.get_executor(), Read(), asio::detached);
      std::uniform_real_distribution<double> spread(0.5, 1.5);
      co_await Talk(again ? std::min(end, Clock::now() + Micros(o_.reconnect * spread(rng_))) : Clock::time_point::max());
      if (again && open_) {
        // Hang up as a terminal that moves: the server sees the end of the stream, may
        // still write what it was about to, and closes.
        hangingUp_ = true;
        socket_.shutdown(tcp::socket::shutdown_send, ec);
        co_await ReaderDone(std::chrono::seconds(5));
      } else if (open_) {
        // Keep reading a while for the answers to the last frames, then hang up.
        wake_.expires_after(std::chrono::milliseconds(static_cast<int>(o_.linger * 1000)));
        co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        co_await FlushAnswers();
      }
      socket_.close(ec);
      co_await ReaderDone(std::chrono::seconds(1));
      if (!again || Clock::now() >= end) co_return;
      co_await Pause(std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 500)(rng_)));
    }
  }

 private:
  asio::awaitable<void> Pause(Clock::duration d) {
    std::error_code ec;
    asio::steady_timer t(socket_.get_executor(), d);
    co_await t.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }

  /// Waits until this connection's reader has ended, at most `limit`.
  asio::awaitable<void> ReaderDone(Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    std::error_code ec;
    while (reading_ && Clock::now() < deadline) {
      wake_.expires_at(deadline);
      co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  /// Sends until `hangUp`, or for `duration` from the handshake reply when that is the
  /// end of time.
  asio::awaitable<void> Talk(Clock::time_point hangUp) {
    std::error_code ec;
    if (!co_await Send(Handshake(imei_, o_.version))) co_return;
    if (o_.waitForOk) {
      while (open_ && !ok_) {
        wake_.expires_after(std::chrono::hours(1));
        co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      }
    }
    const Clock::time_point begin = Clock::now();
    const Clock::time_point end = hangUp != Clock::time_point::max() ? hangUp
                                  : o_.duration > 0                 ? begin + Micros(o_.duration)
                                                                    : Clock::time_point::max();
    const Clock::duration period = o_.rate > 0 ? Micros(1 / o_.rate) : Clock::duration::max();
    const Clock::duration pingPeriod = o_.keepAlive > 0 ? Micros(o_.keepAlive) : Clock::duration::max();
    // Spread the terminals' frames over the period instead of sending in step.
    Clock::time_point nextFrame = o_.rate > 0 ? begin + period / 997 * static_cast<Clock::rep>(imei_ % 997)
                                              : Clock::time_point::max();
    Clock::time_point nextPing = o_.keepAlive > 0 ? begin + pingPeriod : Clock::time_point::max();
    int framesLeft = o_.frames > 0 ? o_.frames : -1;

    while (open_) {
      co_await FlushAnswers();
      const Clock::time_point now = Clock::now();
      if (now >= end) break;
      if (framesLeft == 0 && o_.duration <= 0) break;
      if (framesLeft != 0 && now >= nextFrame) {
        ByteVec out;
        int n = 0;
        const auto unixTime = static_cast<std::uint32_t>(std::time(nullptr));
        for (; n < std::max(1, o_.perWrite) && framesLeft != 0; ++n, --framesLeft) {
          const ByteVec f = AvlFrame(imei_, o_.records, unixTime);
          out.insert(out.end(), f.begin(), f.end());
        }
        if (!co_await Send(out)) break;
        s_.framesSent += n;
        s_.recordsSent += static_cast<std::uint64_t>(n) * o_.records;
        nextFrame += period * static_cast<Clock::rep>(n);
        if (nextFrame < now) nextFrame = now;
        continue;
      }
      if (now >= nextPing) {
        if (!co_await Send(KeepAliveFrame(imei_))) break;
        ++s_.keepAlivesSent;
        nextPing = now + pingPeriod;
        continue;
      }
      Clock::time_point wakeAt = std::min({end, nextPing, framesLeft != 0 ? nextFrame : Clock::time_point::max()});
      wake_.expires_at(wakeAt);
      co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
  }

  asio::awaitable<void> FlushAnswers() {
    while (open_ && !answers_.empty()) {
      ByteVec a = std::move(answers_.front());
      answers_.erase(answers_.begin());
      if (!co_await Send(Frame(imei_, CodecAnswer, 1, a))) break;
      ++s_.answersSent;
    }
  }

  /// Writes one message, in `split` pieces when asked.
  asio::awaitable<bool> Send(const ByteVec& bytes) {
    std::error_code ec;
    const std::size_t pieces = std::clamp<std::size_t>(static_cast<std::size_t>(std::max(1, o_.split)), 1, bytes.size());
    std::size_t done = 0;
    for (std::size_t i = 0; i < pieces && !ec; ++i) {
      const std::size_t len = (bytes.size() - done) / (pieces - i);
      co_await asio::async_write(socket_, asio::buffer(bytes.data() + done, len), asio::redirect_error(asio::use_awaitable, ec));
      done += len;
      if (!ec && i + 1 < pieces && o_.splitGapMs > 0) {
        asio::steady_timer gap(socket_.get_executor(), std::chrono::milliseconds(o_.splitGapMs));
        co_await gap.async_wait(asio::redirect_error(asio::use_awaitable, ec));
      }
    }
    if (ec) {
      open_ = false;
      co_return false;
    }
    s_.bytesSent += bytes.size();
    co_return true;
  }

  asio::awaitable<void> Read() {
    auto self = shared_from_this();
    ByteVec buf;
    std::uint8_t chunk[4096];
    for (;;) {
      std::error_code ec;
      const std::size_t n = co_await socket_.async_read_some(asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
      if (ec) {
        if (open_ && !hangingUp_ && ec != asio::error::operation_aborted && ec != asio::error::bad_descriptor)
          ++s_.closedByServer;
        break;
      }
      s_.bytesReceived += n;
      buf.insert(buf.end(), chunk, chunk + n);
      Consume(buf);
      wake_.cancel();
    }
    open_ = false;
    reading_ = false;
    wake_.cancel();
  }

  /// Takes every complete reply out of `buf`.
  void Consume(ByteVec& buf) {
    std::size_t pos = 0;
    while (pos < buf.size()) {
      const std::size_t avail = buf.size() - pos;
      const std::uint8_t* p = buf.data() + pos;
      if (p[0] == 'O') {
        if (avail < 2) break;
        if (p[1] == 'K') {
          ok_ = true;
          ++s_.handshakeReplies;
          pos += 2;
          continue;
        }
      } else if (p[0] == 0xCC) {
        if (avail < 6) break;
        const std::size_t total = LoadBE<std::uint16_t>(p + 4) + FrameOverhead;
        if (avail < total) break;
        Command(Bytes(p + 6, total - FrameOverhead));
        pos += total;
        continue;
      }
      if (log_ && IsText(p[0])) {
        std::size_t end = 0;
        while (end < avail && end < MaxTextCommand && IsText(p[end]) && p[end] != ';') ++end;
        if (end < avail && p[end] == ';') {
          ++s_.textCommands;
          log_->Line(std::to_string(imei_) + " text " + std::string(reinterpret_cast<const char*>(p), end + 1));
          pos += end + 1;
          continue;
        }
        if (end == avail && avail < MaxTextCommand) break;  // the ';' may be on its way
      }
      ++s_.unparsedBytes;
      ++pos;
    }
    buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(pos));
  }

  void Command(Bytes payload) {
    ++s_.commandsReceived;
    if (payload.size() < 11) {
      ++s_.otherCommands;
      return;
    }
    const Bytes cmd = payload.subspan(10);
    switch (cmd[0]) {
      case KindVersion:
        ++s_.versionRequests;
        answers_.push_back(VersionAnswer());
        break;
      case KindFileBlock: {
        ++s_.fileBlocks;
        // 06, type, file size (4), block offset (4), block length (2), bytes.
        if (cmd.size() < 12) break;
        const std::uint32_t offset = LoadBE<std::uint32_t>(cmd.data() + 6);
        const std::uint16_t length = LoadBE<std::uint16_t>(cmd.data() + 10);
        const std::uint64_t next = std::uint64_t{offset} + length;
        if (log_)
          log_->Line(std::to_string(imei_) + " block " + std::to_string(cmd[1]) + " " +
                     std::to_string(LoadBE<std::uint32_t>(cmd.data() + 2)) + " " + std::to_string(offset) + " " +
                     std::to_string(length));
        ByteVec a{KindFileBlock, cmd[1]};
        PutBE(a, next, 4);
        answers_.push_back(std::move(a));
        break;
      }
      case KindIdentify:
        ++s_.identifyRequests;
        break;
      default:
        ++s_.otherCommands;
        if (log_) log_->Line(std::to_string(imei_) + " other " + Hex(cmd) + " " + std::to_string(UnixMillis()));
    }
  }

  tcp::socket socket_;
  asio::steady_timer wake_;  ///< the talker sleeps on it; the reader cancels it
  const Options& o_;
  Summary& s_;
  const tcp::resolver::results_type& server_;
  std::uint64_t imei_;
  Clock::time_point start_;
  CommandLog* log_;
  std::mt19937 rng_;
  bool open_ = true;
  bool ok_ = false;
  bool reading_ = false;    ///< this connection's reader runs
  bool hangingUp_ = false;  ///< the terminal ended the connection itself
  std::vector<ByteVec> answers_;
};

}  // namespace

ByteVec Handshake(std::uint64_t imei, const std::string& version) {
  ByteVec v{0x00, 0x12};
  std::string digits = std::to_string(imei);
  digits.insert(0, digits.size() < 15 ? 15 - digits.size() : 0, '0');
  digits.resize(15);
  std::string ver = version;
  ver.resize(3, ' ');
  v.insert(v.end(), digits.begin(), digits.end());
  v.insert(v.end(), ver.begin(), ver.end());
  return v;
}

ByteVec AvlFrame(std::uint64_t imei, int records, std::uint32_t unixTime) {
  ByteVec body;
  const int n = std::clamp(records, 0, 255);
  body.reserve(static_cast<std::size_t>(n) * 48);
  for (int i = 0; i < n; ++i) {
    PutBE(body, unixTime, 4);
    body.push_back(0);                                    // event
    PutBE(body, 376000000 + (imei % 1000) * 1000 + i, 4);  // longitude, 1e-7 degree
    PutBE(body, 557000000 + (imei % 1000) * 1000, 4);      // latitude
    PutBE(body, 150, 2);                                  // altitude
    PutBE(body, 90, 2);                                   // course
    body.push_back(9);                                    // satellites
    PutBE(body, 42, 2);                                   // speed
    body.push_back(1);                                    // valid
    body.push_back(1);                                    // navigation system
    body.push_back(0);                                    // event value
    body.insert(body.end(), {2, 1, 1, 2, 0});             // ignition on, input 2 off
    body.insert(body.end(), {1, 66});                     // supply voltage, mV
    PutBE(body, 12500, 2);
    body.insert(body.end(), {1, 79});                     // fuel
    PutBE(body, 400 + static_cast<std::uint32_t>(i), 4);
    body.insert(body.end(), {1, 105});                    // message counter
    PutBE(body, static_cast<std::uint64_t>(unixTime) * 256 + static_cast<std::uint64_t>(i), 8);
  }
  ByteVec frame = Frame(imei, CodecAvl, static_cast<std::uint8_t>(n), body);
  // A stored checksum of zero is refused; a real terminal's counter would differ too.
  if (n > 0 && frame[frame.size() - 2] == 0 && frame.back() == 0) {
    ++body.back();
    frame = Frame(imei, CodecAvl, static_cast<std::uint8_t>(n), body);
  }
  return frame;
}

ByteVec KeepAliveFrame(std::uint64_t imei) { return Frame(imei, CodecPing, 0, {}); }

std::string Summary::Text() const {
  auto line = [](std::string s) { return s + "\n"; };
  auto n = [](const std::atomic<std::uint64_t>& v) { return std::to_string(v.load()); };
  std::string t;
  t += line("connections: " + n(connected) + " made, " + n(connectFailed) + " failed, " + n(closedByServer) +
            " closed by the server; handshake replies " + n(handshakeReplies));
  if (reconnects > 0) t += line("reconnections: " + n(reconnects));
  t += line("sent: " + n(framesSent) + " AVL frames (" + n(recordsSent) + " records), " + n(keepAlivesSent) +
            " keep-alives, " + n(answersSent) + " answers, " + n(bytesSent) + " bytes");
  t += line("received: " + n(bytesReceived) + " bytes, " + n(commandsReceived) + " commands (" + n(versionRequests) +
            " version requests, " + n(fileBlocks) + " file blocks, " + n(identifyRequests) + " identification requests, " +
            n(otherCommands) + " other), " + n(textCommands) + " text commands, " + n(unparsedBytes) +
            " bytes not understood");
  const double secs = seconds > 0 ? seconds : 1;
  t += line("elapsed " + std::to_string(seconds) + " s, " + std::to_string(static_cast<long long>(recordsSent / secs)) +
            " records/s");
  return t;
}

void Run(const Options& o, Summary& s) {
  asio::io_context ioc;
  // Several server addresses spread the terminals over more address pairs, so that
  // back-to-back runs are not short of local ports held in TIME_WAIT.
  std::vector<tcp::resolver::results_type> servers;
  for (std::size_t from = 0; from <= o.host.size();) {
    const std::size_t comma = std::min(o.host.find(',', from), o.host.size());
    std::error_code ec;
    servers.push_back(tcp::resolver(ioc).resolve(o.host.substr(from, comma - from), std::to_string(o.port), ec));
    from = comma + 1;
  }
  std::optional<CommandLog> log;
  if (!o.logCommands.empty()) log.emplace(o.logCommands);
  const Clock::time_point t0 = Clock::now();
  const int rate = std::max(1, o.connectRate);
  for (int i = 0; i < o.terminals; ++i) {
    const auto start = t0 + std::chrono::microseconds(static_cast<long long>(i) * 1000000 / rate);
    auto t = std::make_shared<Terminal>(asio::make_strand(ioc), o, s, servers[static_cast<std::size_t>(i) % servers.size()],
                                        o.firstImei + static_cast<std::uint64_t>(i), start, log ? &*log : nullptr);
    asio::co_spawn(t->Executor(), [t]() { return t->Run(); }, asio::detached);
  }
  std::vector<std::thread> pool;
  for (int i = 1; i < std::max(1, o.threads); ++i) pool.emplace_back([&ioc] { ioc.run(); });
  ioc.run();
  for (auto& th : pool) th.join();
  s.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace telvaro::sim
