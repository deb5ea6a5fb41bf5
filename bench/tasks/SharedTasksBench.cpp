// Figures of the PostgreSQL task database (TELVARO_TEST_PG names the database; each
// benchmark works in a schema of its own): the command fetch for a held terminal with
// nothing queued, task inserts, hand-outs with their deletion, and the delay from an
// insert on one instance until another instance hands the task out.

#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "protocol/ParserBase.h"
#include "tasks/PgTaskStore.h"

namespace telvaro {
namespace {

std::string TerminalId(int n) { return std::to_string(352093080000000LL + n); }

/// A fresh schema of the test database with one store open on it; dropped afterwards.
class Scratch {
 public:
  Scratch() {
    const char* pg = std::getenv("TELVARO_TEST_PG");
    if (!pg || !*pg) return;
    static std::atomic<int> serial{0};
    schema_ = "telvaro_bench_" + std::to_string(::getpid()) + "_" + std::to_string(serial++);
    base_ = pg;
    Sql("CREATE SCHEMA " + schema_);
    store = Open();
  }
  ~Scratch() {
    store.reset();
    if (!schema_.empty()) Sql("DROP SCHEMA " + schema_ + " CASCADE");
  }

  bool Ready(benchmark::State& state) const {
    if (store) return true;
    state.SkipWithError("TELVARO_TEST_PG names no database");
    return false;
  }

  std::unique_ptr<PgTaskStore> Open() const {
    auto s = std::make_unique<PgTaskStore>();
    s->Open(base_ + " options='-csearch_path=" + schema_ + "'", {}, std::chrono::seconds(60));
    return s;
  }

  std::unique_ptr<PgTaskStore> store;

 private:
  void Sql(const std::string& sql) const {
    PGconn* c = PQconnectdb(base_.c_str());
    PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
    PQclear(PQexec(c, sql.c_str()));
    PQfinish(c);
  }

  std::string base_;
  std::string schema_;
};

// 10,000 held terminals, every other one with a task queued; the fetch for one with
// none, as every batch of nearly every terminal makes it.
void BM_Pg_GetCommandIfExist_NothingQueued(benchmark::State& state) {
  static std::unique_ptr<Scratch> db;
  if (state.thread_index() == 0) {
    db = std::make_unique<Scratch>();
    if (db->store) {
      for (int n = 0; n < 10'000; ++n) {
        db->store->Hold(TerminalId(n));
        if (n % 2 == 0) db->store->AddTask(TerminalId(n), -1, -1, -1, "command bytes");
      }
    }
  }
  const ParserContext context;
  std::unique_ptr<TParser> parser;
  TNTMobile mobile;
  mobile.Rec.ID.assign(TerminalId(1 + 2 * state.thread_index()));
  for (auto _ : state) {
    if (!parser) {
      if (!db->Ready(state)) break;
      parser = std::make_unique<TParser>(context, db->store.get());
    }
    benchmark::DoNotOptimize(parser->GetCommandIfExist(mobile));
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0 && db && db->store)
    state.counters["statements"] = static_cast<double>(db->store->StatementCount());
}
BENCHMARK(BM_Pg_GetCommandIfExist_NothingQueued)->Threads(1)->Threads(2)->UseRealTime();

// One committed insert with its notification per call, from `threads` threads at once.
void BM_Pg_AddTask(benchmark::State& state) {
  static std::unique_ptr<Scratch> db;
  if (state.thread_index() == 0) db = std::make_unique<Scratch>();
  int n = 0;
  const std::string base = TerminalId(100'000 * state.thread_index());
  for (auto _ : state) {
    if (!db->Ready(state)) break;
    db->store->AddTask(base + "-" + std::to_string(n++ % 1000), -1, -1, -1, "command bytes");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Pg_AddTask)->Threads(1)->Threads(4)->UseRealTime()->MinTime(2.0);

// A task handed out and deleted after its write: the two statements of every command
// written, over 1,000 terminals with queues.
void BM_Pg_TakeAndDelete(benchmark::State& state) {
  Scratch db;
  if (!db.Ready(state)) return;
  constexpr int Terminals = 1000, PerTerminal = 30;
  for (int t = 0; t < Terminals; ++t) {
    db.store->Hold(TerminalId(t));
    for (int i = 0; i < PerTerminal; ++i) db.store->AddTask(TerminalId(t), -1, -1, -1, "command bytes");
  }
  int t = 0;
  for (auto _ : state) {
    const std::string id = TerminalId(t++ % Terminals);
    const TaskBlock b = db.store->GetFirstTaskBlock(id);
    if (b.BLK_NUM != 1) {
      state.SkipWithError("queue ran dry");
      break;
    }
    db.store->DelTask(id);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Pg_TakeAndDelete)->Iterations(25'000)->UseRealTime();

// From the return of an insert on one instance until another instance, which holds the
// terminal and asks at every turn as its connection would after each batch, hands the
// task out: the notification, its delivery and one hand-out.
void BM_Pg_NotificationToHandOut(benchmark::State& state) {
  Scratch db;
  if (!db.Ready(state)) return;
  auto other = db.Open();
  const std::string id = TerminalId(7);
  other->Hold(id);
  std::vector<double> micros;
  for (auto _ : state) {
    db.store->AddTask(id, -1, -1, -1, "command bytes");
    const auto start = std::chrono::steady_clock::now();
    while (other->GetFirstTaskBlock(id).BLK_NUM != 1) std::this_thread::yield();
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    other->DelTask(id);
  }
  std::sort(micros.begin(), micros.end());
  if (!micros.empty()) {
    state.counters["p50_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  }
}
BENCHMARK(BM_Pg_NotificationToHandOut)->Iterations(2000)->UseRealTime();

}  // namespace
}  // namespace telvaro
