// Appending to the operator log from four threads at full speed: alone, with the window
// drawing the log into a pseudo terminal, or with the console writing it to a pipe.

#include <benchmark/benchmark.h>

#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "shell/ConsoleFrontEnd.h"
#include "shell/TuiFrontEnd.h"

namespace telvaro {
namespace {

OperatorLog Log;

// The window on its own loop thread, drawing into a pseudo terminal that a second
// thread keeps empty, as a terminal emulator would.
class Window {
 public:
  Window() {
    winsize ws{};
    ws.ws_row = 50;
    ws.ws_col = 160;
    if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0) throw std::runtime_error("openpty");
    in_ = fdopen(dup(slave_), "r");
    out_ = fdopen(dup(slave_), "w");
    drain_ = std::thread([this] {
      char buf[65536];
      while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) > 0 && read(master_, buf, sizeof buf) <= 0) break;
      }
    });
    loop_ = std::thread([this] {
      TuiFrontEnd tui(io_, Log, [] {}, {in_, out_, "xterm"});
      io_.run();
    });
  }
  ~Window() {
    io_.stop();
    loop_.join();
    stop_ = true;
    drain_.join();
    std::fclose(in_);
    std::fclose(out_);
    close(slave_);
    close(master_);
  }

 private:
  int master_ = -1, slave_ = -1;
  std::FILE* in_ = nullptr;
  std::FILE* out_ = nullptr;
  asio::io_context io_;
  std::atomic<bool> stop_{false};
  std::thread drain_, loop_;
};

// The console writing into a pipe that a second thread keeps empty, as a service
// manager's journal would.
class Console {
 public:
  Console() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    read_ = fds[0];
    out_ = fdopen(fds[1], "w");
    drain_ = std::thread([this] {
      char buf[65536];
      while (read(read_, buf, sizeof buf) > 0) {
      }
    });
    console_ = std::make_unique<ConsoleFrontEnd>(Log, out_, out_);
  }
  ~Console() {
    console_.reset();
    std::fclose(out_);  // the drain thread reads the end
    drain_.join();
    close(read_);
  }

 private:
  int read_ = -1;
  std::FILE* out_ = nullptr;
  std::thread drain_;
  std::unique_ptr<ConsoleFrontEnd> console_;
};

std::unique_ptr<Window> TheWindow;
std::unique_ptr<Console> TheConsole;

void StartWindow(const benchmark::State& state) {
  if (state.range(0) == 1) TheWindow = std::make_unique<Window>();
  if (state.range(0) == 2) TheConsole = std::make_unique<Console>();
}
void StopWindow(const benchmark::State&) {
  TheWindow.reset();
  TheConsole.reset();
}

// Arg 0: the log alone; arg 1: the window draws meanwhile; arg 2: the console writes.
void BM_AppendFourThreads(benchmark::State& state) {
  const std::string line =
      "ID=356307042441013 Cnt=42 UTC=07.03.15 14:05:09 B=55.75580 L=37.61730 S=60 V=1 Sat=12 G=3 "
      "Alt=150 Az=270 thread " + std::to_string(state.thread_index());
  for (auto _ : state) Log.Append(line);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendFourThreads)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Threads(4)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Setup(StartWindow)
    ->Teardown(StopWindow);

}  // namespace
}  // namespace telvaro

BENCHMARK_MAIN();
