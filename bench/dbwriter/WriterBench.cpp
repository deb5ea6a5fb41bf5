// Write rates against the database of TELVARO_TEST_ODBC (eval "$(scripts/pg-test.sh start)").
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "queues/NamedEvent.h"
#include "queues/NamedEvent.h"
#include "queues/RecordQueue.h"
#include "dbwriter/CentralDB.h"
#include "dbwriter/DatabaseWriter.h"

namespace telvaro {
namespace {

std::string ConnectionString() {
  const char* s = std::getenv("TELVARO_TEST_ODBC");
  return s ? s : "";
}

const std::string& Tag() {
  static const std::string tag = std::string("B").append(std::to_string(::getpid() % 1000000)).append("-");
  return tag;
}

// Removes this run's rows, so that runs do not slow down the ones after them.
void RemoveRows() {
  odbc::Connection conn;
  conn.Connect(ConnectionString(), 10);
  conn.SetAutoCommit(true);
  odbc::Handle stmt(SQL_HANDLE_STMT, conn.get());
  const std::string sql = "DELETE FROM mobiles WHERE id LIKE '" + Tag() + "%'";
  stmt.Check(SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS),
             "removing the benchmark's rows");
}

// Distinct records for the whole run, so no write turns into an update.
TMobile NextMobile() {
  const std::string& tag = Tag();
  static long n = 0;
  TMobile m = TMobile::Create();
  m.ID.assign(tag + std::to_string(n % 100));
  m.UTC = 45000 + static_cast<double>(n++) / 86400.0;
  m.Lat = 55.75;
  m.Lon = 37.625;
  m.Speed = 60;
  m.GPSTime = m.UTC;
  m.Flags[0] = 1;
  return m;
}

TNTMobile NextRecord() {
  const TMobile m = NextMobile();
  TNTMobile r;
  r.Rec.ID.assign(m.ID.view());
  r.Rec.GNSS.UTC = m.UTC;
  r.Rec.GNSS.Lat = m.Lat;
  return r;
}

bool OpenOrSkip(benchmark::State& state, TCentralDB& db) {
  if (ConnectionString().empty()) {
    state.SkipWithError("TELVARO_TEST_ODBC is not set");
    return false;
  }
  RemoveRows();
  db.Open(ConnectionString());
  return true;
}

// One transaction per record, as each record was once written.
void BM_TransactionPerRecord(benchmark::State& state) {
  TCentralDB db;
  if (!OpenOrSkip(state, db)) return;
  for (auto _ : state) db.AddMobile(NextMobile());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TransactionPerRecord)->UseRealTime()->MinTime(3);

// One transaction of `range(0)` records, handed to the database by `send`.
template <typename Send>
void TransactionPerBatch(benchmark::State& state, Send send) {
  TCentralDB db;
  if (!OpenOrSkip(state, db)) return;
  std::vector<TMobile> batch(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& m : batch) m = NextMobile();
    state.ResumeTiming();
    db.StartTransaction();
    send(db, batch);
    db.Commit();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Each record its own execution (no parameter array).
void BM_TransactionPerBatchSequential(benchmark::State& state) {
  TransactionPerBatch(state, [](TCentralDB& db, const std::vector<TMobile>& batch) {
    for (const auto& m : batch) db.CallMobiles(std::span(&m, 1));
  });
}
BENCHMARK(BM_TransactionPerBatchSequential)->Arg(100)->Arg(1000)->UseRealTime()->MinTime(3);

// The records sent as parameter arrays, as the writer does.
void BM_TransactionPerBatchArrays(benchmark::State& state) {
  TransactionPerBatch(state, [](TCentralDB& db, const std::vector<TMobile>& batch) { db.CallMobiles(batch); });
}
BENCHMARK(BM_TransactionPerBatchArrays)->Arg(100)->Arg(1000)->UseRealTime()->MinTime(3);

// The writer thread end to end: a producer queues records at full speed and signals
// "DB" after each; the time runs until the queue is empty and every record is in the
// table (counted, so a lost record would stall the run and show).
void BM_WriterThread(benchmark::State& state) {
  TCentralDB db;
  if (!OpenOrSkip(state, db)) return;
  TCentralDB counter;
  counter.Open(ConnectionString());
  RecordQueue queue;
  TSettings settings;
  TMobilesThread writer(db, queue, settings);
  writer.Start();
  const int perIteration = static_cast<int>(state.range(0));

  odbc::Connection check;
  check.Connect(ConnectionString(), 10);
  check.SetAutoCommit(true);
  const auto count = [&] {
    odbc::Handle stmt(SQL_HANDLE_STMT, check.get());
    SQLCHAR sql[] = "SELECT count(*) FROM mobiles";
    stmt.Check(SQLExecDirect(stmt.get(), sql, SQL_NTS), "count");
    SQLBIGINT n = 0;
    stmt.Check(SQLFetch(stmt.get()), "fetch");
    stmt.Check(SQLGetData(stmt.get(), 1, SQL_C_SBIGINT, &n, 0, nullptr), "get");
    return static_cast<long long>(n);
  };

  long long expected = count();
  for (auto _ : state) {
    for (int i = 0; i < perIteration; ++i) {
      queue.AddBounded(NextRecord(), static_cast<std::size_t>(settings.QueueLimit));
      SetNamedEvent(DBEventName);
    }
    expected += perIteration;
    while (queue.Size() > 0 || count() < expected) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  state.SetItemsProcessed(state.iterations() * perIteration);
  state.counters["lost"] = static_cast<double>(expected - count());
  writer.Stop();
}
BENCHMARK(BM_WriterThread)->Arg(20000)->UseRealTime()->MinTime(5);

}  // namespace
}  // namespace telvaro

BENCHMARK_MAIN();
