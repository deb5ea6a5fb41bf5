// Figures of the task store: the command fetch for a terminal with nothing queued
// while 10,000 others hold tasks, and sustained fuel-event inserts.

#include <benchmark/benchmark.h>

#include <string>

#include "protocol/ParserBase.h"
#include "tasks/TaskDatabase.h"
#include "tests/support/TempDir.h"

namespace telvaro {
namespace {

/// A task database in a fresh temporary directory, removed afterwards.
struct ScratchDb {
  ScratchDb() { dm.Open(dir.path() + "/upd_sw.mdb"); }
  ~ScratchDb() { dm.Close(); }
  test::TempDir dir{"telvaro-bench"};
  TDM dm;
};

std::string TerminalId(int n) { return std::to_string(352093080000000LL + n); }

// The command fetch for `terminal` while 10,000 terminals hold one task each.
void GetCommandIfExist(benchmark::State& state, int terminal) {
  ScratchDb db;
  for (int n = 0; n < 10'000; ++n) db.dm.AddTask(TerminalId(n), -1, -1, -1, "command bytes");
  const ParserContext context;
  TParser parser(context, &db.dm);
  TNTMobile mobile;
  mobile.Rec.ID.assign(TerminalId(terminal));
  for (auto _ : state) benchmark::DoNotOptimize(parser.GetCommandIfExist(mobile));
  state.SetItemsProcessed(state.iterations());
}

void BM_GetCommandIfExist_NothingQueued(benchmark::State& state) { GetCommandIfExist(state, 20'000); }
BENCHMARK(BM_GetCommandIfExist_NothingQueued);

// For comparison: a terminal that has a task, handed out (select and mark) every call.
void BM_GetCommandIfExist_TaskQueued(benchmark::State& state) { GetCommandIfExist(state, 5'000); }
BENCHMARK(BM_GetCommandIfExist_TaskQueued);

// One committed row per call, as the packet reader adds them; long enough to include
// the WAL checkpoints.
void BM_AddFuelEvent(benchmark::State& state) {
  ScratchDb db;
  FuelEvent e;
  e.ID = TerminalId(1);
  e.ev = 150;
  e.Lat = 55.751244;
  e.Lon = 37.618423;
  e.speed = 42;
  e.keyid = "00000A1B2C3D";
  e.fuel = 512;
  double utc = 45300.0;
  for (auto _ : state) {
    e.utc = (utc += 1.0 / 86400);
    db.dm.AddFuelEvent(e);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddFuelEvent)->MinTime(5.0)->UseRealTime();

}  // namespace
}  // namespace telvaro

BENCHMARK_MAIN();
