// Write rates against the test database (eval "$(scripts/pg-test.sh start)"): ODBC
// through TELVARO_TEST_ODBC, libpq through TELVARO_TEST_PG. Besides the rate, each
// benchmark reports the process's CPU time per record (all threads, the writer
// thread's included) as cpu_us_per_record.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dbwriter/CentralDB.h"
#include "dbwriter/DatabaseWriter.h"
#include "dbwriter/PgCentralDB.h"
#include "queues/NamedEvent.h"
#include "queues/RecordQueue.h"

namespace telvaro {
namespace {

std::string Env(const char* name) {
  const char* s = std::getenv(name);
  return s ? s : "";
}

DbLogin Login(DbClient client) {
  return DbLogin{client, Env(client == DbClient::Odbc ? "TELVARO_TEST_ODBC" : "TELVARO_TEST_PG"), "", ""};
}

const std::string& Tag() {
  static const std::string tag = std::string("B").append(std::to_string(::getpid() % 1000000)).append("-");
  return tag;
}

/// A plain connection for counting and removing rows.
class Checker {
 public:
  Checker() : conn_(PQconnectdb(Env("TELVARO_TEST_PG").c_str())) {}
  ~Checker() { PQfinish(conn_); }
  Checker(const Checker&) = delete;
  Checker& operator=(const Checker&) = delete;

  long long Number(const std::string& sql) {
    PGresult* r = PQexec(conn_, sql.c_str());
    const long long n = PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return n;
  }
  void Exec(const std::string& sql) { PQclear(PQexec(conn_, sql.c_str())); }

 private:
  PGconn* conn_;
};

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/// Process CPU per record over the benchmark's run, as a counter.
class CpuPerRecord {
 public:
  CpuPerRecord() : start_(ProcessCpuSeconds()) {}
  void Report(benchmark::State& state, double records) const {
    if (records > 0) state.counters["cpu_us_per_record"] = (ProcessCpuSeconds() - start_) * 1e6 / records;
  }

 private:
  double start_;
};

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

/// The connection for `client`, opened on a table without this run's rows; null
/// (and the benchmark skipped) without a test database.
std::unique_ptr<CentralDatabase> OpenOrSkip(benchmark::State& state, DbClient client) {
  if (Env("TELVARO_TEST_PG").empty() || Login(client).connectionString.empty()) {
    state.SkipWithError("TELVARO_TEST_ODBC and TELVARO_TEST_PG are not set");
    return nullptr;
  }
  // Removes the rows of earlier benchmarks, so that they do not slow down this one.
  Checker().Exec("DELETE FROM mobiles WHERE id LIKE 'B%'");
  auto db = MakeCentralDatabase(client, std::chrono::seconds(30));
  db->Open(Login(client));
  return db;
}

// One transaction per record, as each record was once written.
void BM_TransactionPerRecord(benchmark::State& state, DbClient client) {
  const auto db = OpenOrSkip(state, client);
  if (!db) return;
  const CpuPerRecord cpu;
  for (auto _ : state) db->AddMobile(NextMobile());
  state.SetItemsProcessed(state.iterations());
  cpu.Report(state, static_cast<double>(state.iterations()));
}
BENCHMARK_CAPTURE(BM_TransactionPerRecord, Odbc, DbClient::Odbc)->UseRealTime()->MinTime(3);
BENCHMARK_CAPTURE(BM_TransactionPerRecord, Libpq, DbClient::Libpq)->UseRealTime()->MinTime(3);

// One transaction of `range(0)` records, as the writer thread writes a batch: ODBC
// parameter arrays, or one libpq pipeline.
void BM_TransactionPerBatch(benchmark::State& state, DbClient client) {
  const auto db = OpenOrSkip(state, client);
  if (!db) return;
  std::vector<TMobile> batch(static_cast<std::size_t>(state.range(0)));
  const CpuPerRecord cpu;
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& m : batch) m = NextMobile();
    state.ResumeTiming();
    db->WriteTransaction(batch);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  cpu.Report(state, static_cast<double>(state.iterations() * state.range(0)));
}
BENCHMARK_CAPTURE(BM_TransactionPerBatch, OdbcArrays, DbClient::Odbc)->Arg(100)->Arg(1000)->UseRealTime()->MinTime(3);
BENCHMARK_CAPTURE(BM_TransactionPerBatch, LibpqPipeline, DbClient::Libpq)->Arg(100)->Arg(1000)->UseRealTime()->MinTime(3);

// ODBC with each record its own execution (no parameter array), for comparison.
void BM_OdbcTransactionPerBatchSequential(benchmark::State& state) {
  const auto db = OpenOrSkip(state, DbClient::Odbc);
  if (!db) return;
  auto& odbc = dynamic_cast<TCentralDB&>(*db);
  std::vector<TMobile> batch(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    for (auto& m : batch) m = NextMobile();
    state.ResumeTiming();
    CentralTransaction transaction(odbc);
    for (const auto& m : batch) odbc.CallMobiles(std::span(&m, 1));
    transaction.Commit();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OdbcTransactionPerBatchSequential)->Arg(1000)->UseRealTime()->MinTime(3);

// The writer thread end to end: a producer queues records at full speed and signals
// "DB" after each; the time runs until the queue is empty and every record is in the
// table (counted, so a lost record would stall the run and show).
void BM_WriterThread(benchmark::State& state, DbClient client) {
  const auto db = OpenOrSkip(state, client);
  if (!db) return;
  RecordQueue queue;
  TSettings settings;
  TMobilesThread writer(*db, queue, settings);
  writer.Start();
  const int perIteration = static_cast<int>(state.range(0));
  Checker check;
  const std::string count = "SELECT count(*) FROM mobiles WHERE id LIKE '" + Tag() + "%'";
  // Every call takes the next row number, and only this writer writes: the highest
  // committed one tells how far it got, without counting a growing table.
  const std::string last = "SELECT coalesce(max(rec_id), 0) FROM mobiles";

  const long long before = check.Number(count);
  long long expected = check.Number("SELECT nextval(pg_get_serial_sequence('mobiles', 'rec_id'))");
  const CpuPerRecord cpu;
  for (auto _ : state) {
    for (int i = 0; i < perIteration; ++i) {
      queue.AddBounded(NextRecord(), static_cast<std::size_t>(settings.QueueLimit));
      SetNamedEvent(DBEventName);
    }
    expected += perIteration;
    while (queue.Size() > 0 || check.Number(last) < expected) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const long long written = state.iterations() * perIteration;
  state.SetItemsProcessed(written);
  cpu.Report(state, static_cast<double>(written));
  state.counters["lost"] = static_cast<double>(before + written - check.Number(count));
  writer.Stop();
}
BENCHMARK_CAPTURE(BM_WriterThread, Odbc, DbClient::Odbc)->Arg(20000)->UseRealTime()->MinTime(5);
BENCHMARK_CAPTURE(BM_WriterThread, Libpq, DbClient::Libpq)->Arg(20000)->UseRealTime()->MinTime(5);

}  // namespace
}  // namespace telvaro

BENCHMARK_MAIN();
