#include "tasks/PgTaskStore.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "records/Text.h"
#include "tasks/Pg.h"
#include "tasks/PgSchema.h"

namespace telvaro {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

/// How long a connect may take.
constexpr auto ConnectTimeout = 5s;
/// How long one statement may take before its connection counts as lost.
constexpr auto StatementTimeout = 10s;
/// How long an operation waits for a free connection of the pool.
constexpr auto PoolWait = 5s;
/// Pause between attempts to reconnect what was lost.
constexpr auto ReconnectPause = 1s;
/// Rows of instances not seen for this long are removed when an instance starts.
constexpr int ForgetInstanceSeconds = 86400;
/// Serialises the creation of the tables among instances that start together.
constexpr std::int64_t SchemaLockKey = 0x74656C7661726F;
/// The longest channel name PostgreSQL keeps.
constexpr std::size_t MaxChannel = 63;
/// 1899-12-30 (day 0 of a TDateTime) to 2000-01-01, PostgreSQL's epoch, in days.
constexpr double PgEpochDays = 36526.0;
constexpr double MicrosPerDay = 86400e6;

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

/// Notifications carry an ID as hexadecimal text: IDs are bytes, payloads are text.
std::optional<std::string> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  const auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
  }
  return out;
}

std::int64_t TimestampOf(TDateTime t) { return std::llround((t - PgEpochDays) * MicrosPerDay); }
TDateTime DateTimeOf(std::int64_t micros) { return static_cast<double>(micros) / MicrosPerDay + PgEpochDays; }

/// The statements every pool connection prepares: name and text.
struct Statement {
  const char* name;
  const char* sql;
};

// $1 ID, $2 Offset, $3 BLK_NUM, $4 BLK_SIZE, $5 CMD, $6 now, $7 expiry, $8 channel.
// The notification goes out when the insert commits, to every instance listening.
constexpr Statement Add{"add", R"sql(
WITH ins AS (
  INSERT INTO TASKS (DEV_ID, "Offset", BLK_NUM, BLK_SIZE, CMD, File, QueuedAt, ExpiresAt)
  VALUES ($1, $2, $3, $4, $5, $4 >= 0, $6, $7) RETURNING ID)
SELECT ins.ID FROM ins CROSS JOIN LATERAL pg_notify($8, encode($1, 'hex')) AS n)sql"};

// $1 ID, $2 instance, $3 epoch, $4 now, $5 lease in seconds. Answers rows of four kinds:
// 0 the task handed out (ID, CMD); 1 each task removed at the end of its lifetime (ID,
// -, Offset, BLK_SIZE, bytes); 2 the terminal's rows left (count); 3 whether this
// instance still holds the terminal at this epoch (1 or 0). The first task is handed
// out only when nobody took it, this instance did, or its taker's lease has run out;
// SKIP LOCKED passes over a row that another transaction is changing right now.
constexpr Statement Take{"take", R"sql(
WITH expired AS (
  DELETE FROM TASKS WHERE DEV_ID = $1 AND ExpiresAt <= $4
  RETURNING ID, "Offset", BLK_SIZE, length(CMD) AS Size),
holder AS (
  SELECT 1 FROM TaskHolders WHERE DEV_ID = $1 AND Instance = $2 AND Epoch = $3),
first AS (
  SELECT t.ID, t.TakenBy FROM TASKS t
  WHERE t.DEV_ID = $1 AND (t.ExpiresAt IS NULL OR t.ExpiresAt > $4) AND EXISTS (SELECT 1 FROM holder)
  ORDER BY t.BLK_NUM, t.ID LIMIT 1
  FOR UPDATE OF t SKIP LOCKED),
taken AS (
  UPDATE TASKS t SET QE = true, TakenBy = $2, TakenAt = $4 FROM first f
  WHERE t.ID = f.ID AND (f.TakenBy IS NULL OR f.TakenBy = $2 OR NOT EXISTS (
    SELECT 1 FROM TaskInstances i WHERE i.ID = f.TakenBy AND i.SeenAt > now() - make_interval(secs => $5)))
  RETURNING t.ID, t.CMD)
SELECT 0, ID, CMD, 0, 0, 0 FROM taken
UNION ALL SELECT 1, ID, NULL, "Offset", BLK_SIZE, Size FROM expired
UNION ALL SELECT 2, count(*), NULL, 0, 0, 0 FROM TASKS WHERE DEV_ID = $1 AND (ExpiresAt IS NULL OR ExpiresAt > $4)
UNION ALL SELECT 3, count(*), NULL, 0, 0, 0 FROM holder)sql"};

// $1 ID, $2 instance. Answers the terminal's rows left.
constexpr Statement Del{"del", R"sql(
WITH d AS (DELETE FROM TASKS WHERE DEV_ID = $1 AND QE AND NOT File AND TakenBy = $2 RETURNING 1)
SELECT (SELECT count(*) FROM TASKS WHERE DEV_ID = $1) - (SELECT count(*) FROM d))sql"};

// $1 ID, $2 position reported. Answers the terminal's rows left.
constexpr Statement DelOld{"delold", R"sql(
WITH d AS (DELETE FROM TASKS WHERE DEV_ID = $1 AND File AND "Offset" < $2 RETURNING 1)
SELECT (SELECT count(*) FROM TASKS WHERE DEV_ID = $1) - (SELECT count(*) FROM d))sql"};

// $1 ID. Answers the terminal's rows left.
constexpr Statement Stop{"stop", R"sql(
WITH d AS (DELETE FROM TASKS WHERE DEV_ID = $1 AND BLK_SIZE > 0 RETURNING 1)
SELECT (SELECT count(*) FROM TASKS WHERE DEV_ID = $1) - (SELECT count(*) FROM d))sql"};

constexpr Statement Count{"count", "SELECT count(*) FROM TASKS WHERE DEV_ID = $1"};
constexpr Statement CountFiles{"countfiles", "SELECT count(*) FROM TASKS WHERE DEV_ID = $1 AND File"};

constexpr Statement Fuel{"fuel", R"sql(
INSERT INTO Fuels (ID, utcdate, a_event, lat, lon, speed, keyid, fuel, Fuelsensor1, Fuelsensor2)
VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10))sql"};

constexpr Statement Report{"report", R"sql(
SELECT cnt, ID, utcdate, a_event, lat, lon, speed, keyid, fuel, Fuelsensor1, Fuelsensor2
FROM Fuels WHERE utcdate BETWEEN $1 AND $2 ORDER BY cnt)sql"};

// $1 ID, $2 instance, $3 now. Answers the new epoch and the terminal's rows.
constexpr Statement HoldIt{"hold", R"sql(
WITH h AS (
  INSERT INTO TaskHolders AS h (DEV_ID, Instance, Epoch, Since) VALUES ($1, $2, 1, $3)
  ON CONFLICT (DEV_ID) DO UPDATE SET Instance = EXCLUDED.Instance, Epoch = h.Epoch + 1, Since = EXCLUDED.Since
  RETURNING Epoch)
SELECT Epoch, (SELECT count(*) FROM TASKS WHERE DEV_ID = $1) FROM h)sql"};

// $1 ID, $2 instance, $3 epoch. Lets go of the terminal and of the tasks this instance
// took for it, unless a newer connection of this instance holds it already.
constexpr Statement ReleaseIt{"release", R"sql(
WITH r AS (UPDATE TaskHolders SET Instance = NULL WHERE DEV_ID = $1 AND Instance = $2 AND Epoch = $3)
UPDATE TASKS SET TakenBy = NULL
WHERE DEV_ID = $1 AND TakenBy = $2
  AND NOT EXISTS (SELECT 1 FROM TaskHolders WHERE DEV_ID = $1 AND Instance = $2 AND Epoch <> $3))sql"};

// $1 now.
constexpr Statement Expire{"expire", R"sql(
DELETE FROM TASKS WHERE ExpiresAt <= $1 RETURNING ID, DEV_ID, "Offset", BLK_SIZE, length(CMD))sql"};

// $1 ID, $2 instance. Hands the tasks this instance took back, unwritten.
constexpr Statement Untake{"untake", "UPDATE TASKS SET QE = false, TakenBy = NULL WHERE DEV_ID = $1 AND TakenBy = $2"};

// $1 ID, $2 now. The tasks still alive, in hand-out order.
constexpr Statement List{"list", R"sql(
SELECT ID, "Offset", BLK_SIZE, length(CMD), QueuedAt FROM TASKS
WHERE DEV_ID = $1 AND (ExpiresAt IS NULL OR ExpiresAt > $2) ORDER BY BLK_NUM, ID)sql"};

// $1 ID.
constexpr Statement RemoveAll{"removeall", R"sql(DELETE FROM TASKS WHERE DEV_ID = $1 RETURNING "Offset", BLK_SIZE)sql"};

// $1 ID, $2 task number.
constexpr Statement RemoveOne{"removeone", R"sql(
DELETE FROM TASKS WHERE DEV_ID = $1 AND ID = $2 RETURNING ID, "Offset", BLK_SIZE, length(CMD), QueuedAt)sql"};

constexpr Statement CountAll{"countall", "SELECT count(*) FROM TASKS"};

constexpr Statement Statements[] = {Add,    Take,      Del,       DelOld,    Stop,    Count,   CountFiles, Fuel,
                                    Report, HoldIt,    ReleaseIt, Expire,    Untake,  List,    RemoveAll,  RemoveOne,
                                    CountAll};

/// A listed task from the columns ID, "Offset", BLK_SIZE, length(CMD), QueuedAt.
QueuedTask ListedTask(const pg::Rows& rows, int r) {
  QueuedTask t;
  t.n = rows.Int(r, 0);
  t.kind = TaskKindOf(rows.Int(r, 1), rows.Int(r, 2));
  t.size = rows.Int(r, 3);
  if (!rows.Null(r, 4)) t.queuedAt = DateTimeOf(rows.Int(r, 4));
  return t;
}

/// Deadlines of one connect or statement from now.
Clock::time_point ConnectDeadline() { return Clock::now() + ConnectTimeout; }
Clock::time_point StatementDeadline() { return Clock::now() + StatementTimeout; }

/// The name this instance shows in TaskInstances: host and process.
std::string InstanceName() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "?");
  return std::string(host) + "/" + std::to_string(::getpid());
}

}  // namespace

struct PgTaskStore::Held {
  struct Terminal {
    int connections = 0;
    std::int64_t epoch = 0;   ///< of this instance's hold; 0: not yet in the database
    std::uint64_t gen = 0;    ///< grows with every sign that tasks were added
    bool mayHave = true;      ///< false only when counted empty since the last sign
    bool stale = false;       ///< another instance holds the terminal now
    int rows = -1;            ///< the rows counted while `gen` was `rowsGen`; -1 unknown
    std::uint64_t rowsGen = 0;
  };

  /// What an operation needs to know of `id` before it goes to the database.
  struct Known {
    bool held = false;
    bool empty = false;       ///< held and known to have no tasks
    bool stale = false;       ///< held, but by another instance now
    std::uint64_t gen = 0;
    std::int64_t epoch = 0;
    int rows = -1;            ///< still true
  };

  Known Look(std::string_view id) {
    std::lock_guard lock(mutex);
    const auto it = map.find(id);
    if (it == map.end()) return {};
    const Terminal& t = it->second;
    return {true, !t.mayHave, t.stale, t.gen, t.epoch, t.rowsGen == t.gen ? t.rows : -1};
  }

  /// Tasks may have been added for `id`.
  void Touch(std::string_view id) {
    std::lock_guard lock(mutex);
    if (const auto it = map.find(id); it != map.end()) {
      ++it->second.gen;
      it->second.mayHave = true;
    }
  }

  /// A statement found `rows` rows of `id`; it began while the terminal's sign count
  /// was `gen`. A sign since then keeps the terminal marked as possibly having tasks.
  void Counted(std::string_view id, std::uint64_t gen, int rows) {
    std::lock_guard lock(mutex);
    const auto it = map.find(id);
    if (it == map.end() || it->second.gen != gen) return;
    it->second.mayHave = rows > 0;
    it->second.rows = rows;
    it->second.rowsGen = gen;
  }

  /// After the database was (re)opened: every hold is recorded again, and every
  /// terminal is asked once.
  void Reset() {
    std::lock_guard lock(mutex);
    for (auto& [id, t] : map) {
      t.epoch = 0;
      t.stale = false;
      t.mayHave = true;
      ++t.gen;
    }
  }

  std::vector<std::pair<std::string, std::uint64_t>> Snapshot() {
    std::lock_guard lock(mutex);
    std::vector<std::pair<std::string, std::uint64_t>> out;
    out.reserve(map.size());
    for (const auto& [id, t] : map) out.emplace_back(id, t.gen);
    return out;
  }

  std::mutex mutex;
  std::unordered_map<std::string, Terminal, StringHash, std::equal_to<>> map;
};

struct PgTaskStore::Impl {
  /// The connection of the transaction AddTogether has open on this thread.
  struct Pinned {
    const Impl* impl = nullptr;
    pg::Connection* conn = nullptr;
  };
  static thread_local Pinned pinned;

  Impl(const std::string& connection, TaskOptions options, std::chrono::seconds lease, Held& held);
  ~Impl();

  /// A connection of the pool for one operation, given back at scope end; a connection
  /// found broken is dropped and reconnected by the watcher.
  class Lease {
   public:
    Lease(Impl& d, std::size_t slot) : d_(d), slot_(slot) {}
    ~Lease() { d_.GiveBack(slot_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    pg::Connection* operator->() { return d_.slots[slot_].conn.get(); }

   private:
    Impl& d_;
    std::size_t slot_;
  };

  Lease Acquire();
  void GiveBack(std::size_t slot) noexcept;
  /// True while a connection of the pool stands.
  bool Reachable() {
    std::lock_guard lock(poolMutex);
    return std::any_of(slots.begin(), slots.end(), [](const Slot& s) { return s.conn != nullptr; });
  }
  /// Runs a prepared statement on a connection of the pool, or inside the transaction
  /// this thread has open through AddTogether.
  pg::Rows Run(const Statement& s, const pg::Params& params) {
    statements.fetch_add(1, std::memory_order_relaxed);
    if (pinned.impl == this) return pinned.conn->ExecPrepared(s.name, params, StatementDeadline());
    Lease c = Acquire();
    return c->ExecPrepared(s.name, params, StatementDeadline());
  }
  SystemTime Now() const { return options.now(); }

  std::unique_ptr<pg::Connection> Connect() const;
  std::unique_ptr<pg::Connection> ConnectPooled() const;
  void Listen();
  /// The watcher thread: notifications, heartbeat, reconnecting.
  void Watch();
  void Recheck();
  void RepairPool();
  void RetryReleases();
  void Log(std::string line) const {
    if (options.log) options.log->Append(std::move(line));
  }

  std::string connection;
  TaskOptions options;
  std::chrono::seconds lease;
  Held& held;

  int wake = -1;  ///< an eventfd: readable once the store closes
  std::unique_ptr<pg::Connection> listener;
  std::string channel;
  std::int64_t instance = 0;
  std::atomic<bool> listening{false};
  std::atomic<std::uint64_t> statements{0};

  struct Slot {
    std::unique_ptr<pg::Connection> conn;  ///< null: lost, to be reconnected
    bool busy = false;                     ///< in use, or being reconnected
  };
  std::mutex poolMutex;
  std::condition_variable poolFree;
  std::vector<Slot> slots;

  /// Releases that could not reach the database, tried again by the watcher.
  std::mutex releaseMutex;
  std::vector<std::pair<std::string, std::int64_t>> pendingReleases;

  std::thread watcher;
};

thread_local PgTaskStore::Impl::Pinned PgTaskStore::Impl::pinned;

PgTaskStore::Impl::Impl(const std::string& conn, TaskOptions opts, std::chrono::seconds leaseTime, Held& h)
    : connection(conn), options(std::move(opts)), lease(leaseTime), held(h) {
  if (!options.now) options.now = [] { return std::chrono::system_clock::now(); };
  wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
  try {
    listener = Connect();
    listener->ExecScript("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(SchemaLockKey) + ");\n" +
                             std::string(TasksPgSchema) + "\nCOMMIT;",
                         StatementDeadline());
    const pg::Rows schema = listener->Exec("SELECT current_schema()", pg::Params(), StatementDeadline());
    if (schema.Count() != 1 || schema.Null(0, 0)) throw std::runtime_error("no schema to keep the tasks in");
    // One channel per schema, so stores of other schemas in the same database (tests,
    // a second cluster) do not wake this one.
    channel = ("telvaro_tasks." + std::string(schema.Bytes(0, 0))).substr(0, MaxChannel);
    listener->Exec("DELETE FROM TaskInstances WHERE SeenAt < now() - make_interval(secs => $1)",
                   pg::Params().Float8(ForgetInstanceSeconds), StatementDeadline());
    const std::string name = InstanceName();
    const pg::Rows id = listener->Exec("INSERT INTO TaskInstances (Name) VALUES ($1) RETURNING ID",
                                       pg::Params().Text(name), StatementDeadline());
    instance = id.Int(0, 0);
    Listen();
    slots.resize(PoolSize);
    for (Slot& s : slots) s.conn = ConnectPooled();
  } catch (...) {
    ::close(wake);
    throw;
  }
  watcher = std::thread([this] { Watch(); });
}

PgTaskStore::Impl::~Impl() {
  const std::uint64_t one = 1;
  if (::write(wake, &one, sizeof one) < 0) {
    // The descriptor is ours and counts up; a failed write leaves nothing to do.
  }
  if (watcher.joinable()) watcher.join();
  // Let go of every terminal and task at once, rather than after the lease.
  try {
    Lease c = Acquire();
    c->Exec(R"sql(
WITH h AS (UPDATE TaskHolders SET Instance = NULL WHERE Instance = $1),
     t AS (UPDATE TASKS SET TakenBy = NULL WHERE TakenBy = $1)
DELETE FROM TaskInstances WHERE ID = $1)sql",
            pg::Params().Int8(instance), StatementDeadline());
  } catch (const std::exception&) {
    // Unreachable now: the others wait for the lease to run out instead.
  }
  ::close(wake);
}

std::unique_ptr<pg::Connection> PgTaskStore::Impl::Connect() const {
  return std::make_unique<pg::Connection>(connection, ConnectDeadline(), wake);
}

std::unique_ptr<pg::Connection> PgTaskStore::Impl::ConnectPooled() const {
  auto c = Connect();
  for (const Statement& s : Statements) c->Prepare(s.name, s.sql, StatementDeadline());
  // Closing wakes only the watcher: the operations, and the goodbye of the closing
  // store itself, run to their answer or deadline.
  c->SetWake(-1);
  return c;
}

void PgTaskStore::Impl::Listen() {
  listener->ExecScript("LISTEN " + listener->QuoteIdentifier(channel), StatementDeadline());
  listening = true;
}

PgTaskStore::Impl::Lease PgTaskStore::Impl::Acquire() {
  std::unique_lock lock(poolMutex);
  const auto deadline = Clock::now() + PoolWait;
  for (;;) {
    bool anyUp = false;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (!slots[i].conn) continue;
      anyUp = true;
      if (slots[i].busy) continue;
      slots[i].busy = true;
      return Lease(*this, i);
    }
    if (!anyUp) throw std::runtime_error("the task database is not connected");
    if (poolFree.wait_until(lock, deadline) == std::cv_status::timeout)
      throw std::runtime_error("the task database is busy");
  }
}

void PgTaskStore::Impl::GiveBack(std::size_t slot) noexcept {
  {
    std::lock_guard lock(poolMutex);
    Slot& s = slots[slot];
    if (s.conn && !s.conn->Ok()) s.conn.reset();
    s.busy = false;
  }
  poolFree.notify_one();
}

void PgTaskStore::Impl::Watch() {
  const auto beat = std::max<std::chrono::seconds>(1s, lease / 4);
  auto nextBeat = Clock::now() + beat;
  auto nextRepair = Clock::now() + ReconnectPause;
  for (;;) {
    if (!listening) {
      try {
        listener = Connect();
        Listen();
        Recheck();
        Log("Task database notifications resumed");
      } catch (const std::exception&) {
        listening = false;
      }
    }
    const auto now = Clock::now();
    if (now >= nextRepair) {
      RepairPool();
      RetryReleases();
      nextRepair = now + ReconnectPause;
    }
    if (listening && now >= nextBeat) {
      try {
        listener->Exec("UPDATE TaskInstances SET SeenAt = now() WHERE ID = $1", pg::Params().Int8(instance),
                       StatementDeadline());
        nextBeat = now + beat;
      } catch (const std::exception& e) {
        listening = false;
        Log(std::string("Task database notifications lost: ") + e.what());
      }
    }
    const auto until = listening ? std::min(nextBeat, nextRepair) : nextRepair;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd fds[2] = {{wake, POLLIN, 0}, {listening ? listener->Socket() : -1, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(std::clamp<long long>(wait, 0, 1000))) < 0 && errno != EINTR) continue;
    if (fds[0].revents != 0) return;
    if (!listening || fds[1].revents == 0) continue;
    if (!listener->ConsumeInput()) {
      listening = false;
      Log("Task database notifications lost: the connection broke");
      continue;
    }
    while (const auto payload = listener->NextNotification())
      if (const auto id = FromHex(*payload)) held.Touch(*id);
  }
}

void PgTaskStore::Impl::Recheck() {
  // Notifications sent while nobody listened are gone: ask for every held terminal.
  const auto snapshot = held.Snapshot();
  const pg::Rows rows = listener->Exec("SELECT DISTINCT DEV_ID FROM TASKS", pg::Params(), StatementDeadline());
  std::unordered_set<std::string_view> queued;
  for (int r = 0; r < rows.Count(); ++r) queued.insert(rows.Bytes(r, 0));
  for (const auto& [id, gen] : snapshot) {
    if (queued.contains(id)) held.Touch(id);
    else held.Counted(id, gen, 0);
  }
}

void PgTaskStore::Impl::RepairPool() {
  for (std::size_t i = 0; i < slots.size(); ++i) {
    {
      std::lock_guard lock(poolMutex);
      if (slots[i].conn || slots[i].busy) continue;
      slots[i].busy = true;
    }
    std::unique_ptr<pg::Connection> c;
    try {
      c = ConnectPooled();
    } catch (const std::exception&) {
    }
    {
      std::lock_guard lock(poolMutex);
      slots[i].conn = std::move(c);
      slots[i].busy = false;
    }
    poolFree.notify_one();
  }
}

void PgTaskStore::Impl::RetryReleases() {
  std::vector<std::pair<std::string, std::int64_t>> todo;
  {
    std::lock_guard lock(releaseMutex);
    todo.swap(pendingReleases);
  }
  for (std::size_t i = 0; i < todo.size(); ++i) {
    try {
      Run(ReleaseIt, pg::Params().Bytes(todo[i].first).Int8(instance).Int8(todo[i].second));
    } catch (const std::exception&) {
      std::lock_guard lock(releaseMutex);
      pendingReleases.insert(pendingReleases.end(), todo.begin() + static_cast<std::ptrdiff_t>(i), todo.end());
      return;
    }
  }
}

PgTaskStore::PgTaskStore() : held_(std::make_unique<Held>()) {}

PgTaskStore::~PgTaskStore() { Close(); }

void PgTaskStore::Open(const std::string& connection, TaskOptions options, std::chrono::seconds lease) {
  Close();
  OpenNow(connection, std::move(options), lease);
}

void PgTaskStore::OpenNow(const std::string& connection, TaskOptions options, std::chrono::seconds lease) {
  // Connecting may take seconds: the terminals' operations go on meanwhile.
  auto d = std::make_unique<Impl>(connection, std::move(options), lease, *held_);
  std::unique_lock lock(state_);
  held_->Reset();
  impl_ = std::move(d);
}

void PgTaskStore::KeepOpening(std::string connection, TaskOptions options, std::chrono::seconds lease,
                              std::chrono::seconds pause, std::function<void()> opened) {
  Close();
  std::lock_guard lock(openerMutex_);
  stopOpening_ = false;
  opener_ = std::thread([this, connection = std::move(connection), options = std::move(options), lease, pause,
                         opened = std::move(opened)] {
    std::unique_lock lock(openerMutex_);
    while (!openerWake_.wait_for(lock, pause, [this] { return stopOpening_; })) {
      lock.unlock();
      try {
        OpenNow(connection, options, lease);
        opened();
        return;
      } catch (const std::exception&) {
        // Still unreachable: try again after the pause.
      }
      lock.lock();
    }
  });
}

void PgTaskStore::StopOpening() noexcept {
  {
    std::lock_guard lock(openerMutex_);
    stopOpening_ = true;
  }
  openerWake_.notify_all();
  if (opener_.joinable()) opener_.join();
}

void PgTaskStore::Close() noexcept {
  StopOpening();
  std::unique_ptr<Impl> closing;
  {
    std::unique_lock lock(state_);
    closing = std::move(impl_);
  }
}

bool PgTaskStore::IsOpen() const {
  std::shared_lock lock(state_);
  return impl_ != nullptr;
}

bool PgTaskStore::Connected() const {
  std::shared_lock lock(state_);
  return impl_ && impl_->listening && impl_->Reachable();
}

std::int64_t PgTaskStore::Instance() const {
  std::shared_lock lock(state_);
  return impl_ ? impl_->instance : 0;
}

std::uint64_t PgTaskStore::StatementCount() const {
  std::shared_lock lock(state_);
  return impl_ ? impl_->statements.load(std::memory_order_relaxed) : 0;
}

PgTaskStore::Impl& PgTaskStore::Db() const {
  if (!impl_) throw std::runtime_error("task database is not open");
  return *impl_;
}

void PgTaskStore::AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
                          std::string_view cmd) {
  std::shared_lock lock(state_);
  const std::chrono::seconds ttl = Db().options.commandTtl;
  const bool command = offset < 0 && blkNum < 0 && blkSize < 0;
  Insert(id, offset, blkNum, blkSize, cmd, command && ttl.count() > 0 ? std::optional(ttl) : std::nullopt);
}

std::int64_t PgTaskStore::AddCommand(std::string_view id, std::string_view cmd,
                                     std::optional<std::chrono::seconds> ttl) {
  std::shared_lock lock(state_);
  if (!ttl && Db().options.commandTtl.count() > 0) ttl = Db().options.commandTtl;
  return Insert(id, -1, -1, -1, cmd, ttl);
}

std::int64_t PgTaskStore::Insert(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
                                 std::string_view cmd, std::optional<std::chrono::seconds> ttl) {
  Impl& d = Db();
  const SystemTime now = d.Now();
  const pg::Rows rows = d.Run(Add, pg::Params()
                                       .Bytes(id)
                                       .Int4(offset)
                                       .Int4(blkNum)
                                       .Int4(blkSize)
                                       .Bytes(cmd)
                                       .Time(now)
                                       .Time(ttl ? std::optional(now + *ttl) : std::nullopt)
                                       .Text(d.channel));
  held_->Touch(id);
  return rows.Int(0, 0);
}

TaskBlock PgTaskStore::GetFirstTaskBlock(std::string_view id) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  Held::Known k = held_->Look(id);
  if (!k.held || k.empty || k.stale) return {};
  // While the database cannot be reached nothing can be handed out; every batch of
  // every terminal would only log the same failure, which the watcher logs once.
  if (!d.Reachable()) return {};
  if (k.epoch == 0) {
    RecordHold(d, id);
    k = held_->Look(id);
    if (!k.held || k.empty || k.stale || k.epoch == 0) return {};
  }
  const pg::Rows rows = d.Run(
      Take, pg::Params().Bytes(id).Int8(d.instance).Int8(k.epoch).Time(d.Now()).Float8(static_cast<double>(d.lease.count())));
  TaskBlock block;
  std::vector<std::string> expired;
  int count = 0;
  bool holder = false;
  for (int r = 0; r < rows.Count(); ++r) {
    switch (rows.Int(r, 0)) {
      case 0:
        block.BLK_NUM = 1;
        block.CMD = rows.Bytes(r, 2);
        break;
      case 1:
        expired.push_back(ExpiredLine(rows.Int(r, 1), id, static_cast<std::int32_t>(rows.Int(r, 3)),
                                      static_cast<std::int32_t>(rows.Int(r, 4)),
                                      static_cast<std::size_t>(rows.Int(r, 5))));
        break;
      case 2: count = static_cast<int>(rows.Int(r, 1)); break;
      case 3: holder = rows.Int(r, 1) > 0; break;
    }
  }
  block.Off = count;
  if (!holder) {
    // Another instance holds the terminal now: this connection is the stale one.
    std::lock_guard h(held_->mutex);
    if (const auto it = held_->map.find(id); it != held_->map.end() && it->second.epoch == k.epoch)
      it->second.stale = true;
  }
  held_->Counted(id, k.gen, count);
  if (d.options.expired) d.options.expired->Add(expired.size());
  for (std::string& line : expired) d.Log(std::move(line));
  return block;
}

void PgTaskStore::RecordHold(Impl& d, std::string_view id) {
  const Held::Known k = held_->Look(id);
  const pg::Rows rows = d.Run(HoldIt, pg::Params().Bytes(id).Int8(d.instance).Time(d.Now()));
  const std::int64_t epoch = rows.Int(0, 0);
  {
    std::lock_guard lock(held_->mutex);
    const auto it = held_->map.find(id);
    if (it == held_->map.end()) return;
    it->second.epoch = epoch;
    it->second.stale = false;
  }
  held_->Counted(id, k.gen, static_cast<int>(rows.Int(0, 1)));
}

void PgTaskStore::DelTask(std::string_view id) noexcept {
  try {
    std::shared_lock lock(state_);
    if (!impl_) return;
    const Held::Known k = held_->Look(id);
    if (k.empty) return;
    try {
      const pg::Rows rows = impl_->Run(Del, pg::Params().Bytes(id).Int8(impl_->instance));
      if (k.held) held_->Counted(id, k.gen, static_cast<int>(rows.Int(0, 0)));
    } catch (const std::exception& e) {
      // Said, so that a command written again can be told apart.
      impl_->Log("Could not delete the written task of " + DisplayText(id) + ": " + e.what());
    }
  } catch (...) {
    // A failed delete leaves the tasks queued; they are written again, as before.
  }
}

void PgTaskStore::DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const Held::Known k = held_->Look(id);
  if (k.empty) return;
  const pg::Rows rows = d.Run(DelOld, pg::Params().Bytes(id).Int4(offset));
  if (k.held) held_->Counted(id, k.gen, static_cast<int>(rows.Int(0, 0)));
}

void PgTaskStore::StopFileTransmit(std::string_view id) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const Held::Known k = held_->Look(id);
  if (k.empty) return;
  const pg::Rows rows = d.Run(Stop, pg::Params().Bytes(id));
  if (k.held) held_->Counted(id, k.gen, static_cast<int>(rows.Int(0, 0)));
}

int PgTaskStore::CountCommandsFor(std::string_view id) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const Held::Known k = held_->Look(id);
  if (k.empty) return 0;
  if (k.rows >= 0) return k.rows;
  const int rows = static_cast<int>(d.Run(Count, pg::Params().Bytes(id)).Int(0, 0));
  if (k.held) held_->Counted(id, k.gen, rows);
  return rows;
}

void PgTaskStore::ReleaseTaken(std::string_view id) noexcept {
  try {
    std::shared_lock lock(state_);
    if (!impl_) return;
    if (held_->Look(id).empty) return;
    impl_->Run(Untake, pg::Params().Bytes(id).Int8(impl_->instance));
    held_->Touch(id);
  } catch (...) {
    // Left taken by this instance, the task is handed out again by it all the same;
    // after its lease, by any other.
  }
}

void PgTaskStore::AddTogether(const std::function<void()>& add) {
  // The additions take the shared lock again on this thread; readers are preferred,
  // so a Close waiting meanwhile does not block them.
  std::shared_lock lock(state_);
  Impl& d = Db();
  if (Impl::pinned.impl == &d) {
    add();  // already inside one
    return;
  }
  Impl::Lease c = d.Acquire();
  c->Exec("BEGIN", pg::Params(), StatementDeadline());
  Impl::pinned = {&d, c.operator->()};
  try {
    add();
    Impl::pinned = {};
    c->Exec("COMMIT", pg::Params(), StatementDeadline());
  } catch (...) {
    Impl::pinned = {};
    try {
      c->Exec("ROLLBACK", pg::Params(), StatementDeadline());
    } catch (const std::exception&) {
      // A connection that cannot roll back is lost, and its transaction with it.
    }
    throw;
  }
}

std::vector<QueuedTask> PgTaskStore::ListTasks(std::string_view id) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const pg::Rows rows = d.Run(List, pg::Params().Bytes(id).Time(d.Now()));
  std::vector<QueuedTask> out;
  out.reserve(static_cast<std::size_t>(rows.Count()));
  for (int r = 0; r < rows.Count(); ++r) out.push_back(ListedTask(rows, r));
  return out;
}

RemovedTasks PgTaskStore::RemoveTasks(std::string_view id) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const Held::Known k = held_->Look(id);
  const pg::Rows rows = d.Run(RemoveAll, pg::Params().Bytes(id));
  RemovedTasks removed;
  for (int r = 0; r < rows.Count(); ++r) {
    switch (TaskKindOf(rows.Int(r, 0), rows.Int(r, 1))) {
      case TaskKind::Command: ++removed.commands; break;
      case TaskKind::FileBlock: ++removed.fileBlocks; break;
      case TaskKind::Acknowledgement: ++removed.acknowledgements; break;
    }
  }
  if (k.held) held_->Counted(id, k.gen, 0);
  return removed;
}

std::optional<QueuedTask> PgTaskStore::RemoveTask(std::string_view id, std::int64_t n) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const pg::Rows rows = d.Run(RemoveOne, pg::Params().Bytes(id).Int8(n));
  if (rows.Count() == 0) return std::nullopt;
  // The rows left are unknown here: counted again at the next hand-out.
  held_->Touch(id);
  return ListedTask(rows, 0);
}

std::int64_t PgTaskStore::QueuedTaskCount() const {
  std::shared_lock lock(state_);
  if (!impl_) return 0;
  return impl_->Run(CountAll, pg::Params()).Int(0, 0);
}

int PgTaskStore::CountFileCommandsFor(std::string_view id) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  if (held_->Look(id).empty) return 0;
  return static_cast<int>(d.Run(CountFiles, pg::Params().Bytes(id)).Int(0, 0));
}

void PgTaskStore::AddFuelEvent(const FuelEvent& e) {
  std::shared_lock lock(state_);
  Db().Run(Fuel, pg::Params()
                     .Bytes(e.ID)
                     .TimestampMicros(TimestampOf(e.utc))
                     .Int4(e.ev)
                     .Float8(e.Lat)
                     .Float8(e.Lon)
                     .Float8(e.speed)
                     .Bytes(e.keyid)
                     .Int4(e.fuel)
                     .Int4(e.fs1)
                     .Int4(e.fs2));
}

std::string PgTaskStore::GetFuelReport(std::string_view request) {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const auto [from, to] = ReportPeriod(request, d.options.format);
  const pg::Rows rows = d.Run(Report, pg::Params().TimestampMicros(TimestampOf(from)).TimestampMicros(TimestampOf(to)));
  std::string out;
  for (int r = 0; r < rows.Count(); ++r) {
    const auto integer = [&](int col) { return rows.Null(r, col) ? std::nullopt : std::optional(rows.Int(r, col)); };
    const auto real = [&](int col) { return rows.Null(r, col) ? std::nullopt : std::optional(rows.Float8(r, col)); };
    AppendFuelRow(out,
                  {.cnt = integer(0),
                   .ID = rows.Bytes(r, 1),
                   .utcdate = rows.Null(r, 2) ? std::nullopt : std::optional(DateTimeOf(rows.Int(r, 2))),
                   .a_event = integer(3),
                   .lat = real(4),
                   .lon = real(5),
                   .speed = real(6),
                   .keyid = rows.Bytes(r, 7),
                   .fuel = integer(8),
                   .Fuelsensor1 = integer(9),
                   .Fuelsensor2 = integer(10)},
                  d.options.format);
  }
  return out;
}

int PgTaskStore::RemoveExpired() {
  std::shared_lock lock(state_);
  Impl& d = Db();
  const pg::Rows rows = d.Run(Expire, pg::Params().Time(d.Now()));
  if (d.options.expired) d.options.expired->Add(static_cast<std::uint64_t>(rows.Count()));
  for (int r = 0; r < rows.Count(); ++r)
    d.Log(ExpiredLine(rows.Int(r, 0), rows.Bytes(r, 1), static_cast<std::int32_t>(rows.Int(r, 2)),
                      static_cast<std::int32_t>(rows.Int(r, 3)), static_cast<std::size_t>(rows.Int(r, 4))));
  return rows.Count();
}

void PgTaskStore::Hold(std::string_view id) noexcept {
  try {
    {
      std::lock_guard lock(held_->mutex);
      Held::Terminal& t = held_->map.try_emplace(std::string(id)).first->second;
      ++t.connections;
      // A new connection: its hold is recorded anew, and it asks the database once.
      t.epoch = 0;
      t.stale = false;
      t.mayHave = true;
      ++t.gen;
    }
    std::shared_lock lock(state_);
    if (impl_) RecordHold(*impl_, id);
  } catch (...) {
    // Recorded at the terminal's first hand-out instead.
  }
}

void PgTaskStore::Release(std::string_view id) noexcept {
  std::int64_t epoch = 0;
  {
    std::lock_guard lock(held_->mutex);
    const auto it = held_->map.find(id);
    if (it == held_->map.end() || --it->second.connections > 0) return;
    epoch = it->second.epoch;
    held_->map.erase(it);
  }
  if (epoch == 0) return;
  std::shared_lock lock(state_);
  if (!impl_) return;
  try {
    impl_->Run(ReleaseIt, pg::Params().Bytes(id).Int8(impl_->instance).Int8(epoch));
  } catch (...) {
    try {
      std::lock_guard retry(impl_->releaseMutex);
      impl_->pendingReleases.emplace_back(std::string(id), epoch);
    } catch (...) {
      // Out of memory: the tasks this instance took wait until it closes.
    }
  }
}

}  // namespace telvaro
