// Throughput of the data channel to two clients, and a 10 MB upload through telvaroctl.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <asio/executor_work_guard.hpp>

#include "queues/NamedEvent.h"
#include "pipes/CommandChannel.h"
#include "pipes/PipeClient.h"
#include "pipes/DataChannel.h"
#include "tasks/TaskDatabase.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace telvaro {
namespace {

using test::TempDir;

constexpr long RecordCount = 200000;

/// Reads `count` records of 2696 bytes from `fd`; counts in `lost` those missing or out
/// of order (their Event field numbers them from 0).
void ReadRecords(int fd, long count, std::atomic<long>& lost) {
  std::vector<std::uint8_t> buf(65536);
  for (long i = 0; i < count; ++i) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    TRecNTMobile r;
    if (n != static_cast<ssize_t>(sizeof r)) {
      lost += count - i;
      return;
    }
    std::memcpy(&r, buf.data(), sizeof r);
    if (r.Event != i) ++lost;
  }
}

/// The machine's limit for the data channel: one thread sending record images straight
/// from a buffer with sendmmsg, 64 a call, to two SEQPACKET receivers, waiting in poll
/// only when both sockets are full.
void BM_RawSendmmsgTwoReceivers(benchmark::State& state) {
  const long count = state.range(0);
  constexpr std::size_t Batch = 64;
  std::array<int, 4> fds{};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, &fds[0]) != 0 ||
      ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, &fds[2]) != 0) {
    state.SkipWithError("socketpair");
    return;
  }
  // The receivers block in recv; the sender does not.
  for (const int r : {fds[1], fds[3]}) ::fcntl(r, F_SETFL, 0);
  const std::array<int, 2> senders{fds[0], fds[2]};
  std::vector<TRecNTMobile> images(Batch);
  std::atomic<long> lost{0};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::thread ra(ReadRecords, fds[1], count, std::ref(lost)), rb(ReadRecords, fds[3], count, std::ref(lost));
    std::array<long, 2> next{0, 0};
    std::array<mmsghdr, Batch> msgs{};
    std::array<iovec, Batch> iov{};
    while (next[0] < count || next[1] < count) {
      bool full = true;
      for (std::size_t k = 0; k < 2; ++k) {
        if (next[k] >= count) continue;
        const auto n = static_cast<std::size_t>(std::min<long>(Batch, count - next[k]));
        for (std::size_t i = 0; i < n; ++i) {
          images[i].Event = static_cast<std::int32_t>(next[k] + static_cast<long>(i));
          iov[i] = {&images[i], sizeof images[i]};
          msgs[i] = {};
          msgs[i].msg_hdr.msg_iov = &iov[i];
          msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(senders[k], msgs.data(), static_cast<unsigned>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
          next[k] += sent;
          full = false;
        }
      }
      if (full) {
        std::array<pollfd, 2> p{{{senders[0], POLLOUT, 0}, {senders[1], POLLOUT, 0}}};
        ::poll(p.data(), 2, 100);
      }
    }
    ra.join();
    rb.join();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["records_per_client_per_s"] =
      benchmark::Counter(static_cast<double>(count * state.iterations()), benchmark::Counter::kIsRate);
  state.counters["lost"] = static_cast<double>(lost.load());
  for (const int fd : fds) ::close(fd);
}
BENCHMARK(BM_RawSendmmsgTwoReceivers)->Arg(RecordCount)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

/// Records pushed through MobilesToSend, the data-channel thread and the data pipe to two
/// clients that read as fast as they can; every record is checked to arrive, in order.
void BM_DataChannelTwoClients(benchmark::State& state) {
  const long count = state.range(0);
  TempDir dir;
  TPipeOptions options;
  options.dir = dir.path();
  // Both clients' backlog while the producer runs ahead of the sockets.
  options.queueLimit = 1ull << 30;
  asio::io_context mainLoop;
  auto work = asio::make_work_guard(mainLoop);
  RecordQueue queue;
  OperatorLog log;
  TPipeServer PS(mainLoop, options);
  PS.SetPipeName("TelvaroPipe");
  AttachDataPipeHandlers(PS, log, nullptr);
  PS.SetActive(true);
  std::thread mainThread([&] { mainLoop.run(); });
  TClientsThread clients(queue);
  clients.SetReport(&log);
  clients.SetPipe(&PS);
  clients.Start();

  const std::string path = PipeSocketPath(dir.path(), "TelvaroPipe");
  TPipeClient a(path), b(path);
  while (PS.ClientCount() < 2) std::this_thread::yield();

  std::atomic<long> lost{0};
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    std::thread ra(ReadRecords, a.Handle(), count, std::ref(lost)), rb(ReadRecords, b.Handle(), count, std::ref(lost));
    TNTMobile m;
    m.Rec.ID.assign("356307042441013");
    for (long i = 0; i < count; ++i) {
      m.Rec.Event = static_cast<std::int32_t>(i);
      queue.Add(m);
      SetNamedEvent(ClientsEventName);
    }
    ra.join();
    rb.join();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.counters["records_per_client_per_s"] =
      benchmark::Counter(static_cast<double>(count * state.iterations()), benchmark::Counter::kIsRate);
  state.counters["lost"] = static_cast<double>(lost.load());
  clients.Stop();
  work.reset();
  mainLoop.stop();
  mainThread.join();
}
BENCHMARK(BM_DataChannelTwoClients)->Arg(RecordCount)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

/// From starting `telvaroctl upload` with a 10 MB file to the last block stored in the
/// task database and the request logged.
void BM_Upload10MBThroughTelvaroctl(benchmark::State& state) {
  TempDir dir;
  const std::string file = dir.path() + "/upload.bin";
  {
    std::string data(10 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
    std::ofstream(file, std::ios::binary) << data;
  }
  asio::io_context mainLoop;
  OperatorLog log;
  TDM DM;
  DM.Open(dir.path() + "/upd_sw.mdb");
  TPipeOptions options;
  options.dir = dir.path();
  TPipeServer CS(mainLoop, options);
  CS.SetPipeName("CmdPipe");
  TCommandChannel channel(DM, [&DM](std::string_view r) { return DM.GetFuelReport(r); }, log,
                          {1024, dir.withSlash()});
  channel.Attach(CS);
  CS.SetActive(true);

  std::vector<std::string> argv = {TELVAROCTL, "--pipe-dir", dir.path(), "upload", "356307042441013", "3", file};
  std::vector<char*> args;
  for (auto& s : argv) args.push_back(s.data());
  args.push_back(nullptr);
  for (auto _ : state) {
    DM.StopFileTransmit("356307042441013");  // the blocks of the previous round
    const auto lines = log.LineCount();
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (::posix_spawn(&pid, TELVAROCTL, nullptr, nullptr, args.data(), environ) != 0) {
      state.SkipWithError("cannot start telvaroctl");
      return;
    }
    while (log.LineCount() == lines) {
      mainLoop.restart();
      mainLoop.run_one_for(std::chrono::milliseconds(10));
    }
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (DM.CountFileCommandsFor("356307042441013") != 10240) state.SkipWithError("not every block was stored");
  }
  state.counters["blocks"] = DM.CountFileCommandsFor("356307042441013");
}
BENCHMARK(BM_Upload10MBThroughTelvaroctl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace telvaro

BENCHMARK_MAIN();
