#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/tasks/TaskDbFixture.h"

namespace telvaro {
namespace {

using testing::Engine;
using testing::SqliteTaskDb;
using testing::TaskDb;

constexpr std::string_view Imei = "352093081234567";

// Producers' task kinds.
void AddCommand(TaskStore& dm, std::string_view id, std::string_view bytes) { dm.AddTask(id, -1, -1, -1, bytes); }
void AddAck(TaskStore& dm, std::string_view id, std::int32_t pos, std::string_view bytes) {
  dm.AddTask(id, pos, -1, -1, bytes);
}
void AddBlock(TaskStore& dm, std::string_view id, std::int32_t num, std::int32_t size) {
  dm.AddTask(id, num * 1024, num, size, "block" + std::to_string(num));
}

TEST_P(TaskDb, NewDatabaseGetsItsTablesAndKeepsRowsWhenReopened) {
  {
    Table t(*this);
    if (Postgres()) {
      EXPECT_EQ(t->Int("SELECT COUNT(*) FROM information_schema.tables WHERE table_schema = current_schema() "
                       "AND table_name IN ('tasks', 'fuels', 'taskinstances', 'taskholders')"),
                4);
      EXPECT_EQ(t->Int("SELECT COUNT(*) FROM pg_indexes WHERE schemaname = current_schema() AND "
                       "indexname IN ('tasks_dev_id_blk_num', 'fuels_utcdate')"),
                2);
    } else {
      EXPECT_EQ(t->Int("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name IN ('TASKS', 'Fuels')"), 2);
      EXPECT_EQ(t->Int("SELECT COUNT(*) FROM pragma_index_list('TASKS')"), 1);
      EXPECT_EQ(t->Int("SELECT COUNT(*) FROM pragma_index_list('Fuels')"), 1);
      EXPECT_EQ(t->Int("SELECT COUNT(*) FROM pragma_journal_mode WHERE journal_mode = 'wal'"), 1);
    }
  }

  AddCommand(dm_, Imei, "first");
  AddBlock(dm_, Imei, 0, 100);
  FuelEvent e;
  e.ID = Imei;
  dm_.AddFuelEvent(e);
  dm_.Close();
  EXPECT_FALSE(dm_.IsOpen());

  Open();
  ASSERT_TRUE(dm_.IsOpen());
  dm_.Hold(Imei);
  // The per-terminal counts are rebuilt from the file.
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 2);
  EXPECT_EQ(dm_.CountFileCommandsFor(Imei), 1);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "first");
  Table t(*this);
  EXPECT_EQ(t->Int("SELECT COUNT(*) FROM Fuels"), 1);
}

// Files made before tasks had a lifetime get its column; their rows have none.
TEST_P(SqliteTaskDb, OlderFileGainsTheLifetimeColumn) {
  {
    Table t(*this);
    t->Exec("DROP TABLE TASKS;"
            "CREATE TABLE TASKS (ID INTEGER PRIMARY KEY AUTOINCREMENT, DEV_ID TEXT NOT NULL, \"Offset\" INTEGER NOT "
            "NULL, BLK_NUM INTEGER NOT NULL, BLK_SIZE INTEGER NOT NULL, CMD BLOB NOT NULL, QE INTEGER NOT NULL "
            "DEFAULT 0, File INTEGER NOT NULL DEFAULT 0);"
            "INSERT INTO TASKS (DEV_ID, \"Offset\", BLK_NUM, BLK_SIZE, CMD) VALUES ('352093081234567', -1, -1, -1, "
            "'old');");
  }
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "old");
  Table t(*this);
  EXPECT_EQ(t->Int("SELECT COUNT(*) FROM TASKS WHERE ExpiresAt IS NULL"), 1);
}

// A task handed out and never written must not be taken for a written one: neither
// one released by its connection nor one handed out by a run that ended before the write.
TEST_P(TaskDb, TaskHandedOutButNotWrittenSurvivesTheNextDelTask) {
  dm_.Hold(Imei);
  for (const bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "handed out before a restart" : "released");
    AddCommand(dm_, Imei, "unwritten");
    ASSERT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "unwritten");
    if (restart) {
      dm_.Close();
      Open();
      dm_.Hold(Imei);
    } else {
      dm_.ReleaseTaken(Imei);
    }
    dm_.DelTask(Imei);  // as after a handshake reply
    EXPECT_EQ(dm_.CountCommandsFor(Imei), 1);
    ASSERT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "unwritten");
    dm_.DelTask(Imei);  // as after its own write
    EXPECT_EQ(dm_.CountCommandsFor(Imei), 0);
  }
}

// The per-terminal counts hold only while no one else writes the file.
TEST_P(SqliteTaskDb, SecondOpenOfTheSameFileFails) {
  TDM second;
  try {
    second.Open(path_);
    FAIL() << "a second connection opened the task database";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "database is locked");
  }
  AddCommand(dm_, Imei, "still mine");
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 1);
}

TEST_P(TaskDb, CommandsFirstThenTheLowestBlockUntilAPositionBeyondIt) {
  dm_.Hold(Imei);
  // Blocks are queued before and between the commands: order is by block number,
  // then by insertion.
  AddBlock(dm_, Imei, 1, 1024);
  AddCommand(dm_, Imei, "cmdA");
  AddBlock(dm_, Imei, 0, 1024);
  AddCommand(dm_, Imei, "cmdB");
  AddBlock(dm_, Imei, 2, 10);

  TaskBlock t = dm_.GetFirstTaskBlock(Imei);
  EXPECT_EQ(t.CMD, "cmdA");
  EXPECT_EQ(t.BLK_NUM, 1);
  EXPECT_EQ(t.Off, 5);
  dm_.DelTask(Imei);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "cmdB");
  dm_.DelTask(Imei);

  for (int again = 0; again < 3; ++again) {
    t = dm_.GetFirstTaskBlock(Imei);
    EXPECT_EQ(t.CMD, "block0");
    EXPECT_EQ(t.Off, 3);
    dm_.DelTask(Imei);  // leaves the taken block
  }
  dm_.DelOldTaskBlocksOffset(Imei, 0);  // not beyond block 0
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "block0");
  dm_.DelOldTaskBlocksOffset(Imei, 1024);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "block1");
  dm_.DelOldTaskBlocksOffset(Imei, 1 << 30);
  EXPECT_EQ(dm_.CountFileCommandsFor(Imei), 0);

  t = dm_.GetFirstTaskBlock(Imei);
  EXPECT_EQ(t.CMD, "");
  EXPECT_EQ(t.BLK_NUM, -1);
  EXPECT_EQ(t.Off, 0);
}

TEST_P(TaskDb, OffCountsTheTaskJustHandedOut) {
  dm_.Hold(Imei);
  AddCommand(dm_, Imei, "only");
  const TaskBlock t = dm_.GetFirstTaskBlock(Imei);
  EXPECT_EQ(t.BLK_NUM, 1);
  EXPECT_EQ(t.Off, 1);
  Table table(*this);
  EXPECT_EQ(table->Int("SELECT CAST(QE AS INTEGER) FROM TASKS"), 1);
}

TEST_P(TaskDb, DelTaskLeavesFileBlocksAndUntakenTasksAndOtherTerminals) {
  dm_.Hold(Imei);
  dm_.Hold("other");
  AddCommand(dm_, Imei, "taken");
  AddCommand(dm_, "other", "taken elsewhere");
  dm_.GetFirstTaskBlock(Imei);
  dm_.GetFirstTaskBlock("other");
  AddCommand(dm_, Imei, "untaken");
  AddBlock(dm_, Imei, 0, 1024);

  dm_.DelTask(Imei);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 2);
  EXPECT_EQ(dm_.CountCommandsFor("other"), 1);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "untaken");
  dm_.DelTask(Imei);
  // The block was handed out too, and still stays until acknowledged.
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "block0");
  dm_.DelTask(Imei);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 1);
}

// An upload acknowledgement used to delete every row below the position, plain
// commands (offset -1) and received-file acknowledgements included.
TEST_P(TaskDb, UploadPositionDeletesOnlyFileBlocks) {
  dm_.Hold(Imei);
  AddCommand(dm_, Imei, "setparam");
  AddAck(dm_, Imei, 4096, "ack");
  AddBlock(dm_, Imei, 0, 1024);
  AddBlock(dm_, Imei, 1, 1024);
  AddBlock(dm_, Imei, 2, 1024);
  dm_.GetFirstTaskBlock(Imei);  // the command is taken, not yet written

  dm_.DelOldTaskBlocksOffset(Imei, 2048);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 3);
  EXPECT_EQ(dm_.CountFileCommandsFor(Imei), 1);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "setparam");
  dm_.DelTask(Imei);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "ack");
  dm_.DelTask(Imei);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "block2");
}

TEST_P(TaskDb, StopFileTransmitKeepsTheEmptyFileRowAndNonFileTasks) {
  AddBlock(dm_, Imei, 0, 0);  // an upload of an empty file
  AddBlock(dm_, "other", 0, 100);
  AddBlock(dm_, Imei, 0, 512);
  AddBlock(dm_, Imei, 1, 1);
  AddCommand(dm_, Imei, "cmd");

  dm_.StopFileTransmit(Imei);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 2);
  EXPECT_EQ(dm_.CountFileCommandsFor(Imei), 1);
  EXPECT_EQ(dm_.CountFileCommandsFor("other"), 1);
  Table t(*this);
  EXPECT_EQ(t->Int("SELECT COUNT(*) FROM TASKS WHERE DEV_ID = ?1 AND BLK_SIZE = 0 AND File", Imei), 1);
}

TEST_P(TaskDb, TerminalIdsAreComparedAsValues) {
  const std::array<std::string, 6> ids = {"a'b", "a", "a' OR '1'='1", "a\"b;--", std::string("a\0b", 3),
                                           "\xC0\xFF\x01"};
  for (std::size_t i = 0; i < ids.size(); ++i) {
    dm_.Hold(ids[i]);
    for (std::size_t n = 0; n <= i; ++n) AddCommand(dm_, ids[i], ids[i]);
  }

  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(dm_.CountCommandsFor(ids[i]), static_cast<int>(i + 1));
    EXPECT_EQ(dm_.GetFirstTaskBlock(ids[i]).CMD, ids[i]);
  }
  dm_.DelTask("a' OR '1'='1");
  dm_.DelOldTaskBlocksOffset("a'b", 100);
  dm_.StopFileTransmit("a\"b;--");
  const std::array<int, 6> left = {1, 2, 2, 4, 5, 6};
  Table t(*this);
  for (std::size_t i = 0; i < ids.size(); ++i)
    EXPECT_EQ(t->Int("SELECT COUNT(*) FROM TASKS WHERE DEV_ID = ?1", ids[i]), left[i]) << i;
  EXPECT_EQ(t->Int("SELECT COUNT(*) FROM TASKS"), 20);
}

TEST_P(TaskDb, CommandBytesAreKeptExactly) {
  dm_.Hold(Imei);
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string big(70000, '\xCC');
  for (const std::string& bytes : {all, std::string(), big}) {
    AddCommand(dm_, Imei, bytes);
    const TaskBlock t = dm_.GetFirstTaskBlock(Imei);
    EXPECT_EQ(t.BLK_NUM, 1);
    EXPECT_EQ(t.CMD, bytes);
    dm_.DelTask(Imei);
  }
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 0);
}

// The in-memory counts decide whether SQLite is asked at all, so they must follow
// the table through any mix of writes.
TEST_P(TaskDb, CountsFollowTheTableThroughEveryWrite) {
  const std::array<std::string, 3> ids = {"t1", "t2", "t3"};
  for (const std::string& id : ids) dm_.Hold(id);
  std::mt19937 rng(7);
  for (int i = 0; i < 300; ++i) {
    const std::string& id = ids[rng() % ids.size()];
    switch (rng() % 9) {
      case 0: AddCommand(dm_, id, "c"); break;
      case 1: AddAck(dm_, id, static_cast<int>(rng() % 5000), "a"); break;
      case 2: case 3: AddBlock(dm_, id, static_cast<int>(rng() % 5), static_cast<int>(rng() % 3)); break;
      case 4: dm_.GetFirstTaskBlock(id); dm_.DelTask(id); break;
      case 5: dm_.DelOldTaskBlocksOffset(id, static_cast<int>(rng() % 5000)); break;
      case 6: if (rng() % 4 == 0) dm_.StopFileTransmit(id); else dm_.GetFirstTaskBlock(id); break;
      case 7: if (rng() % 4 == 0) dm_.RemoveTasks(id); break;
      case 8: {
        const auto listed = dm_.ListTasks(id);
        if (!listed.empty()) dm_.RemoveTask(id, listed[rng() % listed.size()].n);
        break;
      }
    }
    if (i % 10 != 9) continue;
    std::array<int, ids.size()> counts;
    for (std::size_t n = 0; n < ids.size(); ++n) counts[n] = dm_.CountCommandsFor(ids[n]);
    const std::int64_t total = dm_.QueuedTaskCount();
    Table t(*this);
    for (std::size_t n = 0; n < ids.size(); ++n)
      ASSERT_EQ(counts[n], t->Int("SELECT COUNT(*) FROM TASKS WHERE DEV_ID = ?1", ids[n])) << "step " << i;
    ASSERT_EQ(total, t->Int("SELECT COUNT(*) FROM TASKS")) << "step " << i;
  }
}

TEST_P(TaskDb, ListingShowsKindSizeAndTimeInHandOutOrder) {
  const TDateTime before = NowUtc();
  AddBlock(dm_, Imei, 1, 700);
  AddBlock(dm_, Imei, 0, 1024);
  AddAck(dm_, Imei, 4096, "ack-bytes");
  AddCommand(dm_, Imei, std::string(42, 'c'));
  AddCommand(dm_, "other", "not listed");
  const TDateTime after = NowUtc();
  dm_.Hold(Imei);

  const auto listed = dm_.ListTasks(Imei);
  ASSERT_EQ(listed.size(), 4u);
  // Commands and acknowledgements (block number -1) first, then blocks by number.
  const std::vector<std::pair<TaskKind, std::int64_t>> expected = {
      {TaskKind::Acknowledgement, 9}, {TaskKind::Command, 42}, {TaskKind::FileBlock, 6}, {TaskKind::FileBlock, 6}};
  for (std::size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].kind, expected[i].first) << i;
    EXPECT_EQ(listed[i].size, expected[i].second) << i;  // the bytes queued ("block0" for a block here)
    ASSERT_TRUE(listed[i].queuedAt) << i;
    EXPECT_GE(*listed[i].queuedAt, before - 1e-8);
    EXPECT_LE(*listed[i].queuedAt, after + 1e-8);
  }
  EXPECT_GT(listed[2].n, listed[3].n);  // numbers are the rows' IDs: block 0 was queued after block 1
  // The listing is the hand-out order.
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "ack-bytes");
  EXPECT_TRUE(dm_.ListTasks("nobody").empty());
}

TEST_P(TaskDb, RemovalTakesOnlyTheTerminalsOwnTasks) {
  AddCommand(dm_, Imei, "c1");
  AddCommand(dm_, Imei, "c2");
  AddAck(dm_, Imei, 10, "a");
  AddBlock(dm_, Imei, 0, 100);
  AddCommand(dm_, "other", "kept");
  dm_.Hold(Imei);
  dm_.Hold("other");
  const std::int64_t othersTask = dm_.ListTasks("other").at(0).n;
  const std::int64_t first = dm_.ListTasks(Imei).at(0).n;

  // A number of another terminal's task, or of none, removes nothing.
  EXPECT_FALSE(dm_.RemoveTask(Imei, othersTask));
  EXPECT_FALSE(dm_.RemoveTask(Imei, othersTask + 100));
  EXPECT_FALSE(dm_.RemoveTask("nobody", first));
  const auto one = dm_.RemoveTask(Imei, first);
  ASSERT_TRUE(one);
  EXPECT_EQ(one->n, first);
  EXPECT_EQ(one->kind, TaskKind::Command);
  EXPECT_EQ(one->size, 2);
  EXPECT_FALSE(dm_.RemoveTask(Imei, first));  // gone
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 3);

  const RemovedTasks all = dm_.RemoveTasks(Imei);
  EXPECT_EQ(all.commands, 1);
  EXPECT_EQ(all.acknowledgements, 1);
  EXPECT_EQ(all.fileBlocks, 1);
  EXPECT_EQ(all.Total(), 3);
  EXPECT_EQ(dm_.RemoveTasks(Imei).Total(), 0);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 0);
  EXPECT_EQ(dm_.QueuedTaskCount(), 1);
  EXPECT_EQ(dm_.GetFirstTaskBlock("other").CMD, "kept");
}

// A file made before queue times were kept gains the column; its rows show no time.
TEST_P(SqliteTaskDb, OlderFileGainsTheQueueTimeColumn) {
  dm_.Close();
  const std::string old = (dir_ / "old.mdb").string();
  {
    testing::RawSqlite raw(old);
    raw.Exec(
        "CREATE TABLE TASKS (ID INTEGER PRIMARY KEY AUTOINCREMENT, DEV_ID TEXT NOT NULL, \"Offset\" INTEGER "
        "NOT NULL, BLK_NUM INTEGER NOT NULL, BLK_SIZE INTEGER NOT NULL, CMD BLOB NOT NULL, QE INTEGER NOT NULL "
        "DEFAULT 0, File INTEGER NOT NULL DEFAULT 0);"
        "INSERT INTO TASKS (DEV_ID, \"Offset\", BLK_NUM, BLK_SIZE, CMD) VALUES ('352093081234567', -1, -1, -1, 'x');");
  }
  sqlite_.Open(old);
  EXPECT_EQ(dm_.QueuedTaskCount(), 1);
  AddCommand(dm_, Imei, "new");
  const auto listed = dm_.ListTasks(Imei);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_FALSE(listed[0].queuedAt);
  EXPECT_TRUE(listed[1].queuedAt);
  dm_.Close();
  sqlite_.Open(old);  // the second open finds the column
  EXPECT_EQ(dm_.ListTasks(Imei).size(), 2u);
}

TEST_P(TaskDb, ConcurrentCallersKeepCountsTrue) {
  dm_.Hold("shared");
  for (int n = 0; n < 4; ++n) dm_.Hold("own" + std::to_string(n));
  std::vector<std::thread> threads;
  for (int n = 0; n < 4; ++n) {
    threads.emplace_back([this, n] {
      const std::string own = "own" + std::to_string(n);
      for (int i = 0; i < 50; ++i) {
        AddCommand(dm_, own, "x");
        AddCommand(dm_, "shared", "y");
        dm_.GetFirstTaskBlock(own);
        dm_.DelTask(own);
        dm_.GetFirstTaskBlock("shared");
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int n = 0; n < 4; ++n) EXPECT_EQ(dm_.CountCommandsFor("own" + std::to_string(n)), 0);
  EXPECT_EQ(dm_.CountCommandsFor("shared"), 200);
  Table t(*this);
  EXPECT_EQ(t->Int("SELECT COUNT(*) FROM TASKS"), 200);
}

TEST_P(SqliteTaskDb, UnopenableDatabaseFailsWithTheSqliteMessage) {
  TDM dm;
  try {
    dm.Open((dir_ / "missing" / "upd_sw.mdb").string());
    FAIL() << "opened a file in a missing directory";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unable to open database file");
  }
  EXPECT_FALSE(dm.IsOpen());

  std::ofstream((dir_ / "garbage.mdb").string()) << std::string(4096, 'x');
  try {
    dm.Open((dir_ / "garbage.mdb").string());
    FAIL() << "opened a file that is no database";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "file is not a database");
  }
  EXPECT_FALSE(dm.IsOpen());
}

TEST_P(TaskDb, ClosedDatabaseThrowsExceptFromDelTask) {
  dm_.Hold(Imei);
  dm_.Close();
  EXPECT_THROW(AddCommand(dm_, Imei, "x"), std::runtime_error);
  EXPECT_THROW(dm_.GetFirstTaskBlock(Imei), std::runtime_error);
  EXPECT_THROW(dm_.DelOldTaskBlocksOffset(Imei, 0), std::runtime_error);
  EXPECT_THROW(dm_.StopFileTransmit(Imei), std::runtime_error);
  EXPECT_THROW(dm_.CountCommandsFor(Imei), std::runtime_error);
  EXPECT_THROW(dm_.CountFileCommandsFor(Imei), std::runtime_error);
  EXPECT_THROW(dm_.AddFuelEvent({}), std::runtime_error);
  EXPECT_THROW(dm_.GetFuelReport("REPORT*01.01.2024*02.01.2024*"), std::runtime_error);
  EXPECT_THROW(dm_.ListTasks(Imei), std::runtime_error);
  EXPECT_THROW(dm_.RemoveTasks(Imei), std::runtime_error);
  EXPECT_THROW(dm_.RemoveTask(Imei, 1), std::runtime_error);
  EXPECT_EQ(dm_.QueuedTaskCount(), 0);
  EXPECT_NO_THROW(dm_.DelTask(Imei));
  EXPECT_NO_THROW(dm_.Release(Imei));
}

// Statements that fail (here refused by triggers) throw the database's message, store
// nothing and leave the counts true; DelTask stays silent.
TEST_P(TaskDb, FailingStatementsWriteNothing) {
  dm_.Hold(Imei);
  AddCommand(dm_, Imei, "taken");
  dm_.GetFirstTaskBlock(Imei);
  AddBlock(dm_, Imei, 0, 100);
  {
    Table t(*this);
    if (Postgres()) {
      t->Exec(
          "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN RAISE EXCEPTION '% refused', "
          "TG_ARGV[0]; END $$;"
          "CREATE TRIGGER no_insert BEFORE INSERT ON TASKS FOR EACH ROW EXECUTE FUNCTION refuse('insert');"
          "CREATE TRIGGER no_update BEFORE UPDATE ON TASKS FOR EACH ROW EXECUTE FUNCTION refuse('update');"
          "CREATE TRIGGER no_delete BEFORE DELETE ON TASKS FOR EACH ROW EXECUTE FUNCTION refuse('delete');"
          "CREATE TRIGGER no_fuel BEFORE INSERT ON Fuels FOR EACH ROW EXECUTE FUNCTION refuse('fuel');");
    } else {
      t->Exec(
          "CREATE TRIGGER no_insert BEFORE INSERT ON TASKS BEGIN SELECT RAISE(ABORT, 'insert refused'); END;"
          "CREATE TRIGGER no_update BEFORE UPDATE ON TASKS BEGIN SELECT RAISE(ABORT, 'update refused'); END;"
          "CREATE TRIGGER no_delete BEFORE DELETE ON TASKS BEGIN SELECT RAISE(ABORT, 'delete refused'); END;"
          "CREATE TRIGGER no_fuel BEFORE INSERT ON Fuels BEGIN SELECT RAISE(ABORT, 'fuel refused'); END;");
    }
  }
  const auto message = [](auto&& op) -> std::string {
    try {
      op();
    } catch (const std::runtime_error& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message([&] { AddCommand(dm_, Imei, "new"); }), "insert refused");
  EXPECT_EQ(message([&] { dm_.GetFirstTaskBlock(Imei); }), "update refused");
  EXPECT_EQ(message([&] { dm_.DelOldTaskBlocksOffset(Imei, 1 << 30); }), "delete refused");
  EXPECT_EQ(message([&] { dm_.StopFileTransmit(Imei); }), "delete refused");
  EXPECT_EQ(message([&] { dm_.AddFuelEvent(FuelEvent{}); }), "fuel refused");
  EXPECT_EQ(message([&] { dm_.RemoveTasks(Imei); }), "delete refused");
  EXPECT_EQ(message([&] { dm_.RemoveTask(Imei, dm_.ListTasks(Imei).at(0).n); }), "delete refused");
  EXPECT_NO_THROW(dm_.DelTask(Imei));
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 2);
  EXPECT_EQ(dm_.CountFileCommandsFor(Imei), 1);

  Table t(*this);
  EXPECT_EQ(t->Int("SELECT COUNT(*) FROM TASKS"), 2);
  EXPECT_EQ(t->Int("SELECT COUNT(*) FROM Fuels"), 0);
}

TEST_P(TaskDb, TasksAddedTogetherAreKeptAllOrNone) {
  dm_.Hold(Imei);
  EXPECT_THROW(dm_.AddTogether([&] {
    AddBlock(dm_, Imei, 0, 1024);
    AddBlock(dm_, Imei, 1, 1024);
    throw std::runtime_error("the upload's request was cut short");
  }),
               std::runtime_error);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 0) << "the counts follow the rollback";
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).BLK_NUM, -1);

  // Ended by a kill half-way: nothing of it is in the file.
  AddCommand(dm_, Imei, "before");
  dm_.Close();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const auto dm = OpenAnother();
    dm->AddTogether([&] {
      AddBlock(*dm, Imei, 0, 1024);
      AddBlock(*dm, Imei, 1, 1024);
      ::kill(::getpid(), SIGKILL);
    });
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  Open();
  dm_.Hold(Imei);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 1);
  EXPECT_EQ(dm_.CountFileCommandsFor(Imei), 0);

  dm_.AddTogether([&] {
    AddBlock(dm_, Imei, 0, 1024);
    AddBlock(dm_, Imei, 1, 1024);
  });
  EXPECT_EQ(dm_.CountFileCommandsFor(Imei), 2);
}

TEST_P(TaskDb, AcceptedTaskSurvivesKill9RightAfterAddTask) {
  dm_.Close();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto dm = OpenAnother();
    dm->AddTask(Imei, -1, -1, -1, "must survive");
    ::kill(::getpid(), SIGKILL);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(WTERMSIG(status), SIGKILL);

  Open();
  dm_.Hold(Imei);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 1);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "must survive");
}

// A command past its lifetime is removed instead of handed out, with a line saying so;
// acknowledgements and file blocks have none.
TEST_P(TaskDb, CommandsPastTheirLifetimeAreRemovedInsteadOfHandedOut) {
  using namespace std::chrono_literals;
  OperatorLog log;
  SystemTime now = std::chrono::system_clock::now();
  const auto clock = [&now] { return now; };
  Counter expired;
  Reopen({.commandTtl = 60s, .log = &log, .expired = &expired, .now = clock});
  dm_.Hold(Imei);
  AddCommand(dm_, Imei, "a");                                  // 1: the command lifetime
  EXPECT_EQ(dm_.AddCommand(Imei, "bb", 10s), 2);               // a lifetime of its own
  AddAck(dm_, Imei, 100, "k");                                 // 3
  AddBlock(dm_, Imei, 0, 10);                                  // 4
  EXPECT_EQ(dm_.AddCommand(Imei, "c", std::nullopt), 5);       // the command lifetime
  EXPECT_EQ(dm_.AddCommand("other", "x", 5s), 6);

  now += 30s;
  const TaskBlock t = dm_.GetFirstTaskBlock(Imei);
  EXPECT_EQ(t.CMD, "a");
  EXPECT_EQ(t.Off, 4) << "the expired command is gone";
  dm_.DelTask(Imei);
  now += 31s;
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "k");
  dm_.DelTask(Imei);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "block0");
  EXPECT_EQ(dm_.CountCommandsFor("other"), 1) << "not handed out, not swept yet";
  EXPECT_EQ(dm_.RemoveExpired(), 1);
  EXPECT_EQ(dm_.CountCommandsFor("other"), 0);
  EXPECT_EQ(dm_.RemoveExpired(), 0);
  EXPECT_EQ(expired.Value(), 3u) << "two handed-out misses and one swept";
  auto lines = log.Lines();
  lines.erase(lines.begin());
  EXPECT_EQ(lines, (std::vector<std::string>{"Removed expired task 2 of 352093081234567 (command, 2 bytes)",
                                             "Removed expired task 5 of 352093081234567 (command, 1 bytes)",
                                             "Removed expired task 6 of other (command, 1 bytes)"}));

  // Without a command lifetime a plain command stays, however long.
  Reopen({.log = &log, .now = clock});
  AddCommand(dm_, Imei, "forever");
  now += 24h * 3650;
  EXPECT_EQ(dm_.RemoveExpired(), 0);
  dm_.DelOldTaskBlocksOffset(Imei, 1 << 30);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "forever");
}

INSTANTIATE_TEST_SUITE_P(Engines, TaskDb, ::testing::Values(Engine::Sqlite, Engine::Postgres), testing::EngineName);
INSTANTIATE_TEST_SUITE_P(File, SqliteTaskDb, ::testing::Values(Engine::Sqlite), testing::EngineName);

}  // namespace
}  // namespace telvaro
