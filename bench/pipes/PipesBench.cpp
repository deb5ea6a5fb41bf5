// Throughput of the data channel to two clients, and a 10 MB upload through telvaroctl.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
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
    const auto reader = [&](TPipeClient& c) {
      std::vector<std::uint8_t> buf(65536);
      for (long i = 0; i < count; ++i) {
        const ssize_t n = ::recv(c.Handle(), buf.data(), buf.size(), 0);
        TRecNTMobile r;
        if (n != static_cast<ssize_t>(sizeof r)) {
          lost += count - i;
          return;
        }
        std::memcpy(&r, buf.data(), sizeof r);
        if (r.Event != i) ++lost;
      }
    };
    const auto start = std::chrono::steady_clock::now();
    std::thread ra(reader, std::ref(a)), rb(reader, std::ref(b));
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
BENCHMARK(BM_DataChannelTwoClients)->Arg(200000)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

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
