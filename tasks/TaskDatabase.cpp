#include "tasks/TaskDatabase.h"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <unordered_map>

#include "records/Text.h"
#include "tasks/Sqlite.h"

namespace telvaro {
namespace {

// How long Open waits for another connection that still holds the file.
constexpr int BusyTimeoutMs = 500;

constexpr const char* Schema = R"sql(
CREATE TABLE IF NOT EXISTS TASKS (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  DEV_ID TEXT NOT NULL,
  "Offset" INTEGER NOT NULL,
  BLK_NUM INTEGER NOT NULL,
  BLK_SIZE INTEGER NOT NULL,
  CMD BLOB NOT NULL,
  QE INTEGER NOT NULL DEFAULT 0,
  File INTEGER NOT NULL DEFAULT 0,
  QueuedAt REAL
);
CREATE INDEX IF NOT EXISTS TASKS_DEV_ID_BLK_NUM ON TASKS(DEV_ID, BLK_NUM);
CREATE TABLE IF NOT EXISTS Fuels (
  cnt INTEGER PRIMARY KEY,
  ID TEXT,
  utcdate REAL,
  a_event INTEGER,
  lat REAL,
  lon REAL,
  speed REAL,
  keyid TEXT,
  fuel INTEGER,
  Fuelsensor1 INTEGER,
  Fuelsensor2 INTEGER
);
CREATE INDEX IF NOT EXISTS Fuels_utcdate ON Fuels(utcdate);
)sql";

/// True when the table `table` has the column `column`.
bool HasColumn(const sqlite::Database& db, std::string_view table, std::string_view column) {
  sqlite::Statement info(db, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
  auto q = info.Bind();
  q.Text(1, table).Text(2, column);
  return q.Step();
}

sqlite::Database OpenTaskDatabase(const std::string& path) {
  sqlite::Database db(path);
  db.Exec(("PRAGMA busy_timeout = " + std::to_string(BusyTimeoutMs)).c_str());
  // This connection is the file's only user while it is open: the per-terminal row
  // counts are true only if nobody else writes TASKS, and a second server on the same
  // directory fails here instead of handing out the same tasks. It also spares every
  // statement its file locks and the shared-memory index.
  db.Exec("PRAGMA locking_mode = EXCLUSIVE");
  // WAL with synchronous=NORMAL: a committed statement is in the WAL file before the
  // call returns, so it survives the process being killed.
  db.Exec("PRAGMA journal_mode = WAL");
  db.Exec("PRAGMA synchronous = NORMAL");
  // Checkpoints are the only syncs to disk. Every committed row appends its dirty pages
  // (table and index) to the WAL, so the default of 1000 pages would sync after a few
  // hundred rows and cap the insert rate on slow disks.
  db.Exec("PRAGMA wal_autocheckpoint = 10000");
  sqlite::Transaction tx(db);
  db.Exec(Schema);
  // Files made before tasks kept the time they were queued, or had a lifetime, lack
  // those columns; their rows keep none.
  if (!HasColumn(db, "TASKS", "QueuedAt")) db.Exec("ALTER TABLE TASKS ADD COLUMN QueuedAt REAL");
  if (!HasColumn(db, "TASKS", "ExpiresAt")) db.Exec("ALTER TABLE TASKS ADD COLUMN ExpiresAt REAL");
  tx.Commit();
  return db;
}

/// Seconds since 1970, the lifetimes' unit in the file.
double UnixSeconds(SystemTime t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

/// A listed task from the columns ID, "Offset", BLK_SIZE, length(CMD), QueuedAt.
QueuedTask ListedTask(const sqlite::Statement::Use& q) {
  QueuedTask t;
  t.n = q.ColumnInt(0);
  t.kind = TaskKindOf(q.ColumnInt(1), q.ColumnInt(2));
  t.size = q.ColumnInt(3);
  if (!q.IsNull(4)) t.queuedAt = q.ColumnReal(4);
  return t;
}

}  // namespace

std::string ExpiredLine(std::int64_t n, std::string_view id, std::int32_t offset, std::int32_t blkSize,
                        std::size_t bytes) {
  const char* kind = blkSize >= 0 ? "file block" : offset >= 0 ? "acknowledgement" : "command";
  return "Removed expired task " + std::to_string(n) + " of " + DisplayText(id) + " (" + kind + ", " +
         std::to_string(bytes) + " bytes)";
}

struct TDM::Impl {
  Impl(const std::string& path, std::atomic<std::int64_t>& queued)
      : db(OpenTaskDatabase(path)),
        addTask(db,
                "INSERT INTO TASKS (DEV_ID, \"Offset\", BLK_NUM, BLK_SIZE, CMD, QE, File, ExpiresAt, QueuedAt) "
                "VALUES (?1, ?2, ?3, ?4, ?5, 0, ?6, ?7, ?8) RETURNING ID"),
        expireOf(db,
                 "DELETE FROM TASKS WHERE DEV_ID = ?1 AND ExpiresAt <= ?2 "
                 "RETURNING ID, DEV_ID, \"Offset\", BLK_SIZE, length(CMD)"),
        expireAll(db,
                  "DELETE FROM TASKS WHERE ExpiresAt <= ?1 RETURNING ID, DEV_ID, \"Offset\", BLK_SIZE, length(CMD)"),
        firstTask(db, "SELECT ID, CMD FROM TASKS WHERE DEV_ID = ?1 ORDER BY BLK_NUM, ID LIMIT 1"),
        markTaken(db, "UPDATE TASKS SET QE = 1 WHERE ID = ?1"),
        delTaken(db, "DELETE FROM TASKS WHERE DEV_ID = ?1 AND QE = 1 AND File = 0"),
        releaseTaken(db, "UPDATE TASKS SET QE = 0 WHERE DEV_ID = ?1 AND QE = 1"),
        delOldBlocks(db, "DELETE FROM TASKS WHERE DEV_ID = ?1 AND File = 1 AND \"Offset\" < ?2"),
        stopFile(db, "DELETE FROM TASKS WHERE DEV_ID = ?1 AND BLK_SIZE > 0"),
        countFiles(db, "SELECT COUNT(*) FROM TASKS WHERE DEV_ID = ?1 AND File = 1"),
        listTasks(db,
                  "SELECT ID, \"Offset\", BLK_SIZE, length(CMD), QueuedAt FROM TASKS WHERE DEV_ID = ?1 "
                  "AND (ExpiresAt IS NULL OR ExpiresAt > ?2) ORDER BY BLK_NUM, ID"),
        taskOf(db,
               "SELECT ID, \"Offset\", BLK_SIZE, length(CMD), QueuedAt FROM TASKS WHERE DEV_ID = ?1 AND ID = ?2"),
        delAll(db, "DELETE FROM TASKS WHERE DEV_ID = ?1"),
        delOne(db, "DELETE FROM TASKS WHERE ID = ?1"),
        addFuel(db,
                "INSERT INTO Fuels (ID, utcdate, a_event, lat, lon, speed, keyid, fuel, "
                "Fuelsensor1, Fuelsensor2) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"),
        fuelReport(db,
                   "SELECT cnt, ID, utcdate, a_event, lat, lon, speed, keyid, fuel, Fuelsensor1, "
                   "Fuelsensor2 FROM Fuels WHERE utcdate BETWEEN ?1 AND ?2 ORDER BY cnt"),
        total(queued) {
    // Whether a task an earlier run handed out was written is unknown: the run may
    // have ended between the hand-out and the write. Untaken again, it is written once
    // more rather than deleted unwritten by the next DelTask for its terminal. A file
    // that refuses the update is opened all the same, its tasks left as they are.
    try {
      db.Exec("UPDATE TASKS SET QE = 0 WHERE QE = 1");
    } catch (const std::runtime_error&) {
    }
    CountRows();
  }

  /// Counts every terminal's rows from the table.
  void CountRows() {
    rows.clear();
    sqlite::Statement perTerminal(db, "SELECT DEV_ID, COUNT(*) FROM TASKS GROUP BY DEV_ID");
    auto q = perTerminal.Bind();
    std::int64_t all = 0;
    while (q.Step()) {
      rows.emplace(q.ColumnBytes(0), static_cast<int>(q.ColumnInt(1)));
      all += q.ColumnInt(1);
    }
    total.store(all, std::memory_order_relaxed);
  }

  /// Rows of `id` as kept in memory; 0 for a terminal with none.
  int RowsOf(std::string_view id) const {
    const auto it = rows.find(id);
    return it == rows.end() ? 0 : it->second;
  }

  void Forget(std::string_view id, int deleted) {
    const auto it = rows.find(id);
    if (it == rows.end()) return;
    const int gone = std::min(deleted, it->second);
    it->second -= gone;
    total.fetch_sub(gone, std::memory_order_relaxed);
    if (it->second <= 0) rows.erase(it);
  }

  sqlite::Database db;
  sqlite::Statement addTask, expireOf, expireAll, firstTask, markTaken, delTaken, releaseTaken, delOldBlocks,
      stopFile, countFiles, listTasks, taskOf, delAll, delOne, addFuel, fuelReport;
  // Rows of TASKS per terminal, kept true by every write, so that a terminal with
  // nothing queued (nearly every batch of every terminal) never reaches SQLite.
  std::unordered_map<std::string, int, StringHash, std::equal_to<>> rows;
  std::atomic<std::int64_t>& total;  ///< the sum of `rows`, read without the lock
};

TDM::TDM() = default;

TDM::~TDM() { Close(); }

void TDM::Open(const std::string& path, TaskOptions options) {
  std::lock_guard lock(CDCS);
  impl_.reset();
  queued_ = 0;
  impl_ = std::make_unique<Impl>(path, queued_);
  if (!options.now) options.now = [] { return std::chrono::system_clock::now(); };
  options_ = std::move(options);
}

void TDM::Close() noexcept {
  std::lock_guard lock(CDCS);
  impl_.reset();
  queued_ = 0;
}

bool TDM::IsOpen() const {
  std::lock_guard lock(CDCS);
  return impl_ != nullptr;
}

TDM::Impl& TDM::Db() const {
  if (!impl_) throw std::runtime_error("task database is not open");
  return *impl_;
}

void TDM::AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
                  std::string_view cmd) {
  std::lock_guard lock(CDCS);
  const bool command = offset < 0 && blkNum < 0 && blkSize < 0;
  Insert(id, offset, blkNum, blkSize, cmd, command && options_.commandTtl.count() > 0 ? std::optional(options_.commandTtl) : std::nullopt);
}

std::int64_t TDM::AddCommand(std::string_view id, std::string_view cmd, std::optional<std::chrono::seconds> ttl) {
  std::lock_guard lock(CDCS);
  if (!ttl && options_.commandTtl.count() > 0) ttl = options_.commandTtl;
  return Insert(id, -1, -1, -1, cmd, ttl);
}

std::int64_t TDM::Insert(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
                         std::string_view cmd, std::optional<std::chrono::seconds> ttl) {
  Impl& d = Db();
  auto it = d.rows.find(id);
  if (it == d.rows.end()) it = d.rows.emplace(std::string(id), 0).first;
  auto q = d.addTask.Bind();
  q.Text(1, id).Int(2, offset).Int(3, blkNum).Int(4, blkSize).Blob(5, cmd).Int(6, blkSize >= 0 ? 1 : 0);
  if (ttl) q.Real(7, UnixSeconds(options_.now() + *ttl));
  q.Real(8, NowUtc());
  if (!q.Step()) throw std::runtime_error("the new task has no number");
  const std::int64_t n = q.ColumnInt(0);
  q.Run();
  ++it->second;
  d.total.fetch_add(1, std::memory_order_relaxed);
  return n;
}

void TDM::RemoveExpired(sqlite::Statement& statement, std::string_view id, std::vector<std::string>& lines) {
  Impl& d = Db();
  std::vector<std::string> ids;
  {
    auto q = statement.Bind();
    if (!id.empty()) q.Text(1, id).Real(2, UnixSeconds(options_.now()));
    else q.Real(1, UnixSeconds(options_.now()));
    while (q.Step()) {
      ids.emplace_back(q.ColumnBytes(1));
      lines.push_back(ExpiredLine(q.ColumnInt(0), ids.back(), static_cast<std::int32_t>(q.ColumnInt(2)),
                                  static_cast<std::int32_t>(q.ColumnInt(3)), static_cast<std::size_t>(q.ColumnInt(4))));
    }
  }
  for (const std::string& gone : ids) d.Forget(gone, 1);
}

void TDM::Tell(std::vector<std::string>& lines) const {
  if (options_.expired) options_.expired->Add(lines.size());
  if (!options_.log) return;
  for (std::string& line : lines) options_.log->Append(std::move(line));
}

int TDM::RemoveExpired() {
  std::vector<std::string> expired;
  {
    std::lock_guard lock(CDCS);
    RemoveExpired(Db().expireAll, {}, expired);
  }
  Tell(expired);
  return static_cast<int>(expired.size());
}

TaskBlock TDM::GetFirstTaskBlock(std::string_view id) {
  std::vector<std::string> expired;
  TaskBlock block = FirstTaskBlock(id, expired);
  Tell(expired);
  return block;
}

TaskBlock TDM::FirstTaskBlock(std::string_view id, std::vector<std::string>& expired) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  TaskBlock block;
  if (d.RowsOf(id) == 0) return block;
  // A command past its lifetime goes instead of being written.
  RemoveExpired(d.expireOf, id, expired);
  if (d.RowsOf(id) == 0) return block;
  std::int64_t taskId = 0;
  {
    auto q = d.firstTask.Bind();
    q.Text(1, id);
    if (!q.Step()) {
      // Not while the counts are true; should they ever be wrong, the table wins.
      d.Forget(id, d.RowsOf(id));
      return block;
    }
    taskId = q.ColumnInt(0);
    block.CMD = q.ColumnBytes(1);
  }
  d.markTaken.Bind().Int(1, taskId).Run();
  block.BLK_NUM = 1;
  block.Off = CountCommandsFor(id);
  return block;
}

void TDM::DelTask(std::string_view id) noexcept {
  try {
    std::lock_guard lock(CDCS);
    if (!impl_ || impl_->RowsOf(id) == 0) return;
    impl_->delTaken.Bind().Text(1, id).Run();
    impl_->Forget(id, impl_->db.Changes());
  } catch (...) {
    // A failed delete leaves the tasks queued; they are written again, as before.
  }
}

void TDM::AddTogether(const std::function<void()>& add) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  try {
    sqlite::Transaction tx(d.db);
    add();
    tx.Commit();
  } catch (...) {
    // Rolled back by now: the counts the additions raised are counted anew.
    d.CountRows();
    throw;
  }
}

void TDM::ReleaseTaken(std::string_view id) noexcept {
  try {
    std::lock_guard lock(CDCS);
    if (!impl_ || impl_->RowsOf(id) == 0) return;
    impl_->releaseTaken.Bind().Text(1, id).Run();
  } catch (...) {
    // Left taken, the task is still handed out again; only a DelTask could drop it.
  }
}

void TDM::DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  if (d.RowsOf(id) == 0) return;
  d.delOldBlocks.Bind().Text(1, id).Int(2, offset).Run();
  d.Forget(id, d.db.Changes());
}

void TDM::StopFileTransmit(std::string_view id) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  if (d.RowsOf(id) == 0) return;
  d.stopFile.Bind().Text(1, id).Run();
  d.Forget(id, d.db.Changes());
}

int TDM::CountCommandsFor(std::string_view id) {
  std::lock_guard lock(CDCS);
  return Db().RowsOf(id);
}

int TDM::CountFileCommandsFor(std::string_view id) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  if (d.RowsOf(id) == 0) return 0;
  auto q = d.countFiles.Bind();
  q.Text(1, id);
  return q.Step() ? static_cast<int>(q.ColumnInt(0)) : 0;
}

std::vector<QueuedTask> TDM::ListTasks(std::string_view id) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  std::vector<QueuedTask> out;
  if (d.RowsOf(id) == 0) return out;
  auto q = d.listTasks.Bind();
  q.Text(1, id).Real(2, UnixSeconds(options_.now()));
  while (q.Step()) out.push_back(ListedTask(q));
  return out;
}

RemovedTasks TDM::RemoveTasks(std::string_view id) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  RemovedTasks removed;
  if (d.RowsOf(id) == 0) return removed;
  // This connection is the file's only user and the lock is held: nothing is queued
  // between the listing and the delete.
  for (const QueuedTask& t : ListTasks(id)) {
    switch (t.kind) {
      case TaskKind::Command: ++removed.commands; break;
      case TaskKind::FileBlock: ++removed.fileBlocks; break;
      case TaskKind::Acknowledgement: ++removed.acknowledgements; break;
    }
  }
  d.delAll.Bind().Text(1, id).Run();
  d.Forget(id, d.db.Changes());
  return removed;
}

std::optional<QueuedTask> TDM::RemoveTask(std::string_view id, std::int64_t n) {
  std::lock_guard lock(CDCS);
  Impl& d = Db();
  if (d.RowsOf(id) == 0) return std::nullopt;
  QueuedTask task;
  {
    auto q = d.taskOf.Bind();
    q.Text(1, id).Int(2, n);
    if (!q.Step()) return std::nullopt;
    task = ListedTask(q);
  }
  d.delOne.Bind().Int(1, n).Run();
  d.Forget(id, d.db.Changes());
  return task;
}

void TDM::AddFuelEvent(const FuelEvent& e) {
  std::lock_guard lock(CDCS);
  Db().addFuel.Bind()
      .Text(1, e.ID)
      .Real(2, e.utc)
      .Int(3, e.ev)
      .Real(4, e.Lat)
      .Real(5, e.Lon)
      .Real(6, e.speed)
      .Text(7, e.keyid)
      .Int(8, e.fuel)
      .Int(9, e.fs1)
      .Int(10, e.fs2)
      .Run();
}

std::string TDM::GetFuelReport(std::string_view request) {
  std::lock_guard lock(CDCS);
  const auto [from, to] = ReportPeriod(request, options_.format);
  std::string out;
  auto q = Db().fuelReport.Bind();
  q.Real(1, from).Real(2, to);
  while (q.Step()) {
    const auto integer = [&](int col) { return q.IsNull(col) ? std::nullopt : std::optional(q.ColumnInt(col)); };
    const auto real = [&](int col) { return q.IsNull(col) ? std::nullopt : std::optional(q.ColumnReal(col)); };
    AppendFuelRow(out,
                  {.cnt = integer(0),
                   .ID = q.ColumnBytes(1),
                   .utcdate = real(2),
                   .a_event = integer(3),
                   .lat = real(4),
                   .lon = real(5),
                   .speed = real(6),
                   .keyid = q.ColumnBytes(7),
                   .fuel = integer(8),
                   .Fuelsensor1 = integer(9),
                   .Fuelsensor2 = integer(10)},
                  options_.format);
  }
  return out;
}

}  // namespace telvaro
