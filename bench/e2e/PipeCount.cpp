// A dispatch client of the data pipe for load runs: counts the records it receives by
// kind and measures the delay of each terminal record from its RecTime (the server's
// clock when it parsed the frame) to its arrival here.
//
//   pipe_count SOCKET [--seconds S]
//
// Prints a line a second ("second 12: 49960 records/s, p99 3.2 ms, 600123 in all") and,
// on SIGTERM or SIGINT, after S seconds, or when the server closes the pipe, a summary:
//
//   summary records=N handshakes=N disconnects=N commands=N pings=N other=N
//           p50_ms=X p99_ms=X max_ms=X closed=0|1      (on one line)
//
// `records` counts the terminal's own records (event codes below 1000): what a terminal
// sends in its data frames. The others are the server's notices. `closed` is 1 when the
// server ended the connection. It reads in batches and does nothing per record but
// classify it and count its delay, so that it keeps up with the server.
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "pipes/PipeClient.h"
#include "records/DateTime.h"
#include "records/TerminalRecord.h"

using namespace telvaro;

namespace {

/// Delays in microseconds, in buckets of 64 steps per power of two (under 1.6% wide).
class DelayHistogram {
 public:
  void Add(std::int64_t micros) noexcept {
    const auto v = static_cast<std::uint64_t>(std::max<std::int64_t>(micros, 0));
    ++counts_[Index(v)];
    ++count_;
    max_ = std::max(max_, v);
  }

  void Merge(const DelayHistogram& other) noexcept {
    for (std::size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
    count_ += other.count_;
    max_ = std::max(max_, other.max_);
  }

  void Clear() noexcept { *this = DelayHistogram(); }

  std::uint64_t Count() const noexcept { return count_; }

  /// The delay that a share `q` of the delays do not pass, in milliseconds: the upper
  /// end of its bucket, never above the largest delay seen.
  double Quantile(double q) const noexcept {
    if (count_ == 0) return 0;
    const auto rank = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(q * static_cast<double>(count_) + 0.999));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
      seen += counts_[i];
      if (seen >= rank) return static_cast<double>(std::min(UpperEnd(i), max_)) / 1000;
    }
    return static_cast<double>(max_) / 1000;
  }

  double MaxMs() const noexcept { return static_cast<double>(max_) / 1000; }

 private:
  static constexpr int SubBits = 6;
  static constexpr std::uint64_t Sub = 1u << SubBits;

  /// Below Sub a bucket per value; above, the top SubBits + 1 bits of the value.
  static std::size_t Index(std::uint64_t v) noexcept {
    if (v < Sub) return v;
    const int shift = std::bit_width(v) - 1 - SubBits;
    return static_cast<std::size_t>(shift + 1) * Sub + ((v >> shift) - Sub);
  }

  static std::uint64_t UpperEnd(std::size_t index) noexcept {
    if (index < Sub) return index;
    const int shift = static_cast<int>(index / Sub) - 1;
    const std::uint64_t top = Sub + index % Sub;
    return ((top + 1) << shift) - 1;
  }

  std::array<std::uint64_t, (64 - SubBits + 1) * Sub> counts_{};
  std::uint64_t count_ = 0;
  std::uint64_t max_ = 0;
};

/// Messages received, by kind.
struct Counts {
  std::uint64_t records = 0, handshakes = 0, disconnects = 0, commands = 0, pings = 0, other = 0;
};

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int) { stopRequested = 1; }

/// The host's local time now, to the microsecond, as a date-time; `offset` is the local
/// time's distance from UTC in seconds.
TDateTime PreciseLocalNow(long offset) noexcept { return NowUtc() + static_cast<double>(offset) / SecsPerDay; }

/// The resolution of the clock the server stamps records with, in milliseconds.
double StampResolutionMs() {
  timespec res{};
  clock_getres(CLOCK_REALTIME_COARSE, &res);
  return static_cast<double>(res.tv_sec) * 1e3 + static_cast<double>(res.tv_nsec) / 1e6;
}

int Run(const std::string& socketPath, double seconds) {
  TPipeClient client(socketPath);
  // Wake up now and then to print and to see a stop request.
  const timeval tick{0, 200'000};
  if (::setsockopt(client.Handle(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
    throw std::system_error(errno, std::generic_category(), "setting the receive time-out");

  // Every message of a record is one record image; it is received in place.
  constexpr std::size_t Batch = 256;
  std::vector<TRecNTMobile> recs(Batch);
  std::vector<iovec> iov(Batch);
  std::vector<mmsghdr> msgs(Batch);
  for (std::size_t i = 0; i < Batch; ++i) {
    iov[i] = {&recs[i], sizeof(TRecNTMobile)};
    msgs[i].msg_hdr = {};
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }

  std::printf("pipe_count: connected to %s; records are stamped by a clock of %.1f ms resolution\n",
              socketPath.c_str(), StampResolutionMs());
  std::fflush(stdout);

  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      seconds > 0 ? start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds))
                  : Clock::time_point::max();
  Clock::time_point nextReport = start + std::chrono::seconds(1);
  long offset = CurrentUtcOffsetSeconds();
  Counts counts;
  DelayHistogram all, second;
  std::uint64_t recordsAtLastReport = 0;
  int secondNo = 0;
  bool closed = false;

  while (!stopRequested && !closed) {
    const int n = ::recvmmsg(client.Handle(), msgs.data(), Batch, MSG_WAITFORONE, nullptr);
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      if (errno != ECONNRESET) throw std::system_error(errno, std::generic_category(), "reading the pipe");
      closed = true;
    }
    const TDateTime now = PreciseLocalNow(offset);
    for (int i = 0; i < n; ++i) {
      const mmsghdr& m = msgs[static_cast<std::size_t>(i)];
      if (m.msg_len == 0) {
        // Messages on the pipe are never empty: this is the end of the connection.
        closed = true;
        break;
      }
      if (m.msg_len != sizeof(TRecNTMobile) || (m.msg_hdr.msg_flags & MSG_TRUNC)) {
        ++counts.other;
        continue;
      }
      const TRecNTMobile& r = recs[static_cast<std::size_t>(i)];
      switch (r.Event) {
        case evHandshake: ++counts.handshakes; break;
        case evDisconnect: ++counts.disconnects; break;
        case evCommandSent: ++counts.commands; break;
        case evPing: ++counts.pings; break;
        default:
          if (r.Event >= evParamAnswer) {
            ++counts.other;
            break;
          }
          ++counts.records;
          second.Add(static_cast<std::int64_t>((now - r.RecTime) * SecsPerDay * 1e6));
      }
    }
    const Clock::time_point t = Clock::now();
    if (t >= nextReport) {
      ++secondNo;
      const std::uint64_t got = counts.records - recordsAtLastReport;
      std::printf("second %d: %llu records/s, p99 %.1f ms, %llu in all\n", secondNo,
                  static_cast<unsigned long long>(got), second.Quantile(0.99),
                  static_cast<unsigned long long>(counts.records));
      std::fflush(stdout);
      recordsAtLastReport = counts.records;
      all.Merge(second);
      second.Clear();
      nextReport += std::chrono::seconds(1);
      if (nextReport < t) nextReport = t + std::chrono::seconds(1);
      offset = CurrentUtcOffsetSeconds();
    }
    if (t >= end) break;
  }
  all.Merge(second);
  if (closed) std::printf("pipe_count: the server closed the data pipe\n");
  std::printf(
      "summary records=%llu handshakes=%llu disconnects=%llu commands=%llu pings=%llu other=%llu "
      "p50_ms=%.1f p99_ms=%.1f max_ms=%.1f closed=%d\n",
      static_cast<unsigned long long>(counts.records), static_cast<unsigned long long>(counts.handshakes),
      static_cast<unsigned long long>(counts.disconnects), static_cast<unsigned long long>(counts.commands),
      static_cast<unsigned long long>(counts.pings), static_cast<unsigned long long>(counts.other),
      all.Quantile(0.5), all.Quantile(0.99), all.MaxMs(), closed ? 1 : 0);
  std::fflush(stdout);
  return closed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Counts the records on the server's data pipe and their delay from the server's stamp.",
               "pipe_count"};
  std::string socketPath;
  double seconds = 0;
  app.add_option("SOCKET", socketPath, "the data pipe's socket, PipeDir/PipeChannel")->required();
  app.add_option("--seconds", seconds, "stop after this long; 0: at SIGTERM or SIGINT")->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  // No SA_RESTART: a signal ends the wait for the next batch.
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  try {
    return Run(socketPath, seconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pipe_count: %s\n", e.what());
    return 1;
  }
}
