// The database writer thread under a steady load, as a server's connections would
// give it: records are queued at a fixed rate, each followed by the "DB" signal, and
// the tool watches them arrive in the table. Prints the rate reached, the lag from
// queueing to commit (50th and 99th percentile, largest), and CPU time per record of
// the writer thread, of the producer, and of the database's server process.
//
// usage: dbwriter_load [--client libpq|odbc] [--rate N] [--seconds S]
//
// Connects through TELVARO_TEST_PG (libpq) or TELVARO_TEST_ODBC, as the test scripts
// set them (eval "$(scripts/pg-test.sh start)"); watches through TELVARO_TEST_PG.
// The writer must be the database's only client while the tool runs.

#include <libpq-fe.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dbwriter/CentralDatabase.h"
#include "dbwriter/DatabaseWriter.h"
#include "queues/NamedEvent.h"
#include "queues/RecordQueue.h"

namespace {

using namespace telvaro;
using Clock = std::chrono::steady_clock;

std::string Env(const char* name) {
  const char* s = std::getenv(name);
  return s ? s : "";
}

/// One plain libpq connection for the watcher's queries.
class Watcher {
 public:
  explicit Watcher(const std::string& conninfo) : conn_(PQconnectdb(conninfo.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) {
      std::fprintf(stderr, "dbwriter_load: %s", PQerrorMessage(conn_));
      std::exit(1);
    }
  }
  ~Watcher() { PQfinish(conn_); }
  Watcher(const Watcher&) = delete;
  Watcher& operator=(const Watcher&) = delete;

  long long Number(const char* sql) {
    PGresult* r = PQexec(conn_, sql);
    const long long n =
        PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? std::atoll(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    return n;
  }
  void Exec(const char* sql) { PQclear(PQexec(conn_, sql)); }

 private:
  PGconn* conn_;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double ProcessCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

/// CPU seconds of another process on this host (user and system), -1 when unknown.
double OtherProcessCpuSeconds(long long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (pid <= 0 || !std::getline(in, stat)) return -1;
  // Fields after the command name, which is in parentheses and may hold blanks.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::vector<std::string> fields;
  std::string field;
  for (char c : stat.substr(close + 2)) {
    if (c == ' ') fields.push_back(std::move(field)), field.clear();
    else field += c;
  }
  if (fields.size() < 13) return -1;
  // utime and stime are the 14th and 15th fields of the line, the 12th and 13th here.
  return static_cast<double>(std::atoll(fields[11].c_str()) + std::atoll(fields[12].c_str())) /
         static_cast<double>(sysconf(_SC_CLK_TCK));
}

TNTMobile Record(long n) {
  // Built with append: gcc 12 at -O3 warns falsely about "L" + std::string.
  static const std::string tag = std::string("L").append(std::to_string(::getpid() % 1000000)).append("-");
  TNTMobile r;
  r.Rec.ID.assign(tag + std::to_string(n % 1000));
  // A millisecond apart: every record is a row of its own.
  r.Rec.GNSS.UTC = 45000 + static_cast<double>(n) / 86'400'000.0;
  r.Rec.GNSS.Lat = 55.75;
  r.Rec.GNSS.Lon = 37.625;
  r.Rec.GNSS.Speed = 60;
  r.Rec.GNSS.Valid = 1;
  return r;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

}  // namespace

int main(int argc, char** argv) {
  std::string clientName = "libpq";
  long rate = 50000;
  int seconds = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--client") clientName = argv[i + 1];
    else if (a == "--rate") rate = std::atol(argv[i + 1]);
    else if (a == "--seconds") seconds = std::atoi(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: dbwriter_load [--client libpq|odbc] [--rate N] [--seconds S]\n");
      return 2;
    }
  }
  const DbClient client = clientName == "odbc" ? DbClient::Odbc : DbClient::Libpq;
  const std::string conninfo = Env("TELVARO_TEST_PG");
  const std::string login = client == DbClient::Odbc ? Env("TELVARO_TEST_ODBC") : conninfo;
  if (conninfo.empty() || login.empty() || rate <= 0 || seconds <= 0) {
    std::fprintf(stderr, "dbwriter_load: set TELVARO_TEST_PG and TELVARO_TEST_ODBC (scripts/pg-test.sh start)\n");
    return 2;
  }

  Watcher watch(conninfo);
  watch.Exec("DELETE FROM mobiles WHERE id LIKE 'L%'");
  watch.Exec("VACUUM mobiles");
  // Row numbers come from a sequence, one per call: the rows of this run are numbered
  // from the next one on, whatever rows were deleted before.
  const long long base = watch.Number("SELECT nextval(pg_get_serial_sequence('mobiles', 'rec_id'))");

  auto db = MakeCentralDatabase(client, std::chrono::seconds(30));
  db->Open(DbLogin{client, login, "", ""});
  const long long backend =
      watch.Number("SELECT pid FROM pg_stat_activity WHERE backend_type = 'client backend' AND pid <> pg_backend_pid()");
  const double backendCpuStart = OtherProcessCpuSeconds(backend);

  OperatorLog log;
  RecordQueue queue;
  TSettings settings;
  TMobilesThread writer(*db, queue, settings);
  writer.SetReport(&log);
  writer.Start();

  const long total = rate * seconds;
  std::vector<Clock::time_point> queued(static_cast<std::size_t>(total));
  std::atomic<long> produced{0};
  double producerCpu = 0;
  const double processCpuStart = ProcessCpuSeconds();
  const Clock::time_point start = Clock::now();

  std::thread producer([&] {
    const double cpu0 = ThreadCpuSeconds();
    long n = 0;
    while (n < total) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      const long due = std::min(total, static_cast<long>(elapsed * static_cast<double>(rate)));
      for (; n < due; ++n) {
        queued[static_cast<std::size_t>(n)] = Clock::now();
        queue.AddBounded(Record(n), static_cast<std::size_t>(settings.QueueLimit));
        SetNamedEvent(DBEventName);
      }
      produced = n;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    producerCpu = ThreadCpuSeconds() - cpu0;
  });

  // (time, records committed) samples, until everything is in or a minute after the
  // last record was queued.
  std::vector<std::pair<Clock::time_point, long long>> samples;
  double watcherCpu = 0;
  {
    const double cpu0 = ThreadCpuSeconds();
    const auto giveUp = start + std::chrono::seconds(seconds + 60);
    long long committed = 0;
    while (committed < total && Clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      committed = watch.Number("SELECT coalesce(max(rec_id), 0) FROM mobiles") - base;
      samples.emplace_back(Clock::now(), committed);
    }
    watcherCpu = ThreadCpuSeconds() - cpu0;
  }
  producer.join();
  writer.Stop();
  const double processCpu = ProcessCpuSeconds() - processCpuStart;
  const double backendCpu = OtherProcessCpuSeconds(backend) - backendCpuStart;

  // Rows are committed in queue order, so record k is in once the count passes k.
  std::vector<double> lags;
  lags.reserve(static_cast<std::size_t>(total));
  std::size_t s = 0;
  long long done = 0;
  for (long k = 0; k < total; ++k) {
    while (s < samples.size() && samples[s].second <= k) ++s;
    if (s == samples.size()) break;
    lags.push_back(std::chrono::duration<double>(samples[s].first - queued[static_cast<std::size_t>(k)]).count());
    ++done;
  }
  // From the first record queued to the sample that saw the last one counted in.
  const double span =
      samples.empty() ? 0 : std::chrono::duration<double>(samples[std::min(s, samples.size() - 1)].first - start).count();
  const long long stored = watch.Number("SELECT count(*) FROM mobiles WHERE id LIKE 'L%'");

  const double perRecord = 1e6 / static_cast<double>(std::max<long long>(done, 1));
  std::printf("client %s, %ld records/s offered for %d s: %ld records\n", clientName.c_str(), rate, seconds, total);
  std::printf("committed %lld in %.1f s: %.0f records/s; rows stored %lld\n", done, span,
              span > 0 ? static_cast<double>(done) / span : 0.0, stored);
  std::printf("lag queued -> committed: p50 %.3f s, p99 %.3f s, max %.3f s\n", Percentile(lags, 0.5),
              Percentile(lags, 0.99), lags.empty() ? 0.0 : *std::max_element(lags.begin(), lags.end()));
  std::printf("CPU per record: writer thread %.2f us, producer %.2f us, database server process %.2f us\n",
              (processCpu - producerCpu - watcherCpu) * perRecord, producerCpu * perRecord,
              backendCpu >= 0 ? backendCpu * perRecord : -1.0);
  std::fflush(stdout);
  for (const auto& line : log.Lines())
    if (!line.empty()) std::fprintf(stderr, "log: %s\n", line.c_str());
  return done == total ? 0 : 1;
}
