// The connection layer under load: the listener with consumers draining both record
// queues and the operator log written to /dev/null. Prints, every interval, the
// connections held, the records taken from each queue per second, the process's CPU
// use and its resident memory (also per connection, over the memory before listening).
//
// usage: connections_load [--port P] [--threads T] [--seconds S] [--interval S] [--nobase]

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "queues/NamedEvent.h"
#include "connections/TerminalServer.h"
#include "files/DiskFileSink.h"

namespace {

using namespace telvaro;
using Clock = std::chrono::steady_clock;

std::atomic<bool> quit{false};

/// Writes every log line to /dev/null, as a console front end would write it out.
class NullFrontEnd : public OperatorLog::Observer {
 public:
  NullFrontEnd() : out_(std::fopen("/dev/null", "w")) {}
  ~NullFrontEnd() override { std::fclose(out_); }
  void LineAppended(std::string_view line) override {
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fputc('\n', out_);
    ++lines;
  }
  void LabelChanged(std::string_view) override {}
  void PanelChanged(int, std::string_view) override {}
  std::atomic<std::uint64_t> lines{0};

 private:
  std::FILE* out_;
};

/// Drains `queue` completely on every wake-up of its named event.
void Consume(RecordQueue& queue, const char* eventName, std::atomic<std::uint64_t>& taken) {
  auto event = CreateNamedEvent(eventName);
  std::vector<TNTMobile> batch;
  while (!quit) {
    event->Wait(std::chrono::milliseconds(500));
    event->Reset();
    queue.TakeAll(batch);
    taken += batch.size();
  }
}

long RssKb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 4001, threads = 1;
  double seconds = 0, interval = 5;
  bool noBase = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : "0";
    if (a == "--nobase") noBase = true;
    else if (a == "--port") port = std::stoi(v), ++i;
    else if (a == "--threads") threads = std::stoi(v), ++i;
    else if (a == "--seconds") seconds = std::stod(v), ++i;
    else if (a == "--interval") interval = std::stod(v), ++i;
  }
  std::signal(SIGINT, [](int) { quit = true; });
  std::signal(SIGTERM, [](int) { quit = true; });

  OperatorLog log;
  NullFrontEnd front;
  log.AddObserver(&front);
  std::atomic<std::uint64_t> dbTaken{0}, sendTaken{0};
  std::thread db(Consume, std::ref(Mobiles), DBEventName, std::ref(dbTaken));
  std::thread clients(Consume, std::ref(MobilesToSend), ClientsEventName, std::ref(sendTaken));

  // The default settings: a database configured (unless --nobase), fuel event 150.
  DiskFileSink files;
  ConnectionEnv env;
  env.log = &log;
  env.files = &files;
  env.toDatabase = !noBase;
  env.parser.dbEvents = {150};
  TerminalServer server(env);
  const long baseKb = RssKb();
  server.Start(static_cast<std::uint16_t>(port), threads);
  std::printf("listening at %d with %d I/O threads, open-file limit %llu, RSS %ld KB\n", port, threads,
              static_cast<unsigned long long>(RaiseOpenFileLimit()), baseKb);
  std::fflush(stdout);

  const Clock::time_point t0 = Clock::now();
  Clock::time_point last = t0;
  double lastCpu = CpuSeconds();
  std::uint64_t lastDb = 0, lastSend = 0;
  std::size_t peakConnections = 0;
  Clock::time_point lastTrim = t0;
  while (!quit && (seconds <= 0 || Clock::now() - t0 < std::chrono::duration<double>(seconds))) {
    std::this_thread::sleep_for(std::chrono::duration<double>(interval));
    const Clock::time_point now = Clock::now();
    const double dt = std::chrono::duration<double>(now - last).count();
    const double cpu = CpuSeconds();
    if (now - lastTrim >= std::chrono::seconds(20)) {
      malloc_trim(0);
      lastTrim = now;
    }
    const std::size_t conns = server.ConnectionCount();
    peakConnections = std::max(peakConnections, conns);
    const long rss = RssKb();
    std::printf("t=%6.1fs connections %6zu | db %9.0f rec/s | data channel %9.0f rec/s | cpu %5.1f%% | rss %7ld KB (%.2f KB/conn)\n",
                std::chrono::duration<double>(now - t0).count(), conns, (dbTaken - lastDb) / dt,
                (sendTaken - lastSend) / dt, 100 * (cpu - lastCpu) / dt, rss,
                conns ? static_cast<double>(rss - baseKb) / static_cast<double>(conns) : 0.0);
    std::fflush(stdout);
    last = now;
    lastCpu = cpu;
    lastDb = dbTaken;
    lastSend = sendTaken;
  }
  server.Stop();
  quit = true;
  db.join();
  clients.join();
  std::printf("stopped: peak connections %zu, records to the database queue %llu, to the data channel %llu, log lines %llu\n",
              peakConnections, static_cast<unsigned long long>(dbTaken.load()),
              static_cast<unsigned long long>(sendTaken.load()), static_cast<unsigned long long>(front.lines.load()));
  return 0;
}
