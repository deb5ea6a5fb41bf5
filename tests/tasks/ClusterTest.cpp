// Several server instances on one PostgreSQL task database: the store of the test
// fixture is instance "a", and the tests open more as other processes would.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tests/tasks/TaskDbFixture.h"

namespace telvaro {
namespace {

using testing::Engine;
using testing::RawPg;
using testing::TaskDb;

constexpr std::string_view Imei = "352093081234567";

/// Waits until `done` holds; false when it did not within a generous limit.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class Cluster : public TaskDb {
 protected:
  /// Another instance; its connections carry AppName(name) as their application name.
  std::unique_ptr<PgTaskStore> Instance(const std::string& name) {
    auto s = std::make_unique<PgTaskStore>();
    s->Open(conninfo_ + " application_name=" + AppName(name), {}, lease_);
    return s;
  }

  /// Unique to this test, so tests running at once never cut each other's connections.
  std::string AppName(const std::string& name) const { return schema_ + "_" + name; }

  long long Rows(const std::string& where = "") {
    return RawPg(conninfo_).Int("SELECT COUNT(*) FROM TASKS WHERE DEV_ID = ?1" + where, Imei);
  }
};

// Instance b holds the terminal; a command queued on a reaches b through the
// database's notification, and b asks the database nothing before it arrives.
TEST_P(Cluster, CommandQueuedOnOneInstanceIsWrittenOnceByTheOneHoldingTheTerminal) {
  auto b = Instance("b");
  b->Hold(Imei);
  const std::uint64_t before = b->StatementCount();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(b->GetFirstTaskBlock(Imei).BLK_NUM, -1);
  EXPECT_EQ(b->StatementCount(), before) << "nothing queued: answered from memory";

  dm_.AddTask(Imei, -1, -1, -1, "cmd");
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).BLK_NUM, -1) << "a does not hold the terminal";
  TaskBlock got;
  ASSERT_TRUE(Eventually([&] { return (got = b->GetFirstTaskBlock(Imei)).BLK_NUM == 1; }));
  EXPECT_EQ(got.CMD, "cmd");
  EXPECT_EQ(b->StatementCount(), before + 1) << "one hand-out, after the notification";

  dm_.DelTask(Imei);
  EXPECT_EQ(Rows(), 1) << "a deletes only what a took";
  b->DelTask(Imei);
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(b->GetFirstTaskBlock(Imei).BLK_NUM, -1);
}

// A terminal reconnecting through another instance takes its queue there; a task the
// old instance took stays its own until it was written or the old connection ended.
TEST_P(Cluster, TerminalThatMovesTakesItsQueueWithIt) {
  auto b = Instance("b");
  using Hold = std::pair<long long, long long>;  // instance, epoch
  const auto holder = [&] {
    RawPg raw(conninfo_);
    return Hold(raw.Int("SELECT Instance FROM TaskHolders WHERE DEV_ID = ?1", Imei),
                                           raw.Int("SELECT Epoch FROM TaskHolders WHERE DEV_ID = ?1", Imei));
  };
  dm_.Hold(Imei);
  for (const char* c : {"one", "two"}) dm_.AddTask(Imei, -1, -1, -1, c);
  dm_.AddTask(Imei, 0, 0, 10, "block0");
  EXPECT_EQ(holder(), Hold(pg_.Instance(), 1));

  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "one");  // a waits before writing it
  b->Hold(Imei);                                      // meanwhile the terminal reconnects to b
  EXPECT_EQ(holder(), Hold(b->Instance(), 2));
  EXPECT_EQ(b->GetFirstTaskBlock(Imei).BLK_NUM, -1) << "a has \"one\" taken";
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).BLK_NUM, -1) << "a's connection is the stale one";
  dm_.DelTask(Imei);  // a's write went out after all
  EXPECT_EQ(b->GetFirstTaskBlock(Imei).CMD, "two");
  b->DelTask(Imei);
  EXPECT_EQ(b->GetFirstTaskBlock(Imei).CMD, "block0");

  // Back to a: b's taken block is b's until b's connection ends.
  dm_.Release(Imei);
  dm_.Hold(Imei);
  EXPECT_EQ(holder(), Hold(pg_.Instance(), 3));
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).BLK_NUM, -1);
  b->Release(Imei);
  EXPECT_EQ(holder(), Hold(pg_.Instance(), 3)) << "b's release leaves a's hold";
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "block0");
  EXPECT_EQ(Rows(), 1);
}

// An instance killed after taking a task never deletes it: once its heartbeat is older
// than the lease, the instance that holds the terminal takes it again.
TEST_P(Cluster, TaskOfAnInstanceThatDiedIsFreeAfterTheLease) {
  dm_.AddTask(Imei, -1, -1, -1, "cmd");
  dm_.Close();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PgTaskStore c;
    c.Open(conninfo_, {}, lease_);
    c.Hold(Imei);
    if (c.GetFirstTaskBlock(Imei).CMD == "cmd") ::kill(::getpid(), SIGKILL);
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the child did not take the task";

  auto b = Instance("b");
  b->Hold(Imei);
  EXPECT_EQ(b->GetFirstTaskBlock(Imei).BLK_NUM, -1) << "the dead instance's lease still runs";
  RawPg(conninfo_).Exec("UPDATE TaskInstances SET SeenAt = SeenAt - interval '61 seconds' WHERE Name LIKE '%/" +
                        std::to_string(child) + "'");
  EXPECT_EQ(b->GetFirstTaskBlock(Imei).CMD, "cmd");
  b->DelTask(Imei);
  EXPECT_EQ(Rows(), 0);
}

// An instance that closes lets go of its terminals and the tasks it took at once.
TEST_P(Cluster, ClosingInstanceLetsGoAtOnce) {
  auto b = Instance("b");
  b->Hold(Imei);
  b->AddTask(Imei, -1, -1, -1, "cmd");
  ASSERT_EQ(b->GetFirstTaskBlock(Imei).CMD, "cmd");
  dm_.Hold(Imei);
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).BLK_NUM, -1) << "b has it taken";
  b->Close();
  EXPECT_EQ(dm_.GetFirstTaskBlock(Imei).CMD, "cmd");
  EXPECT_EQ(RawPg(conninfo_).Int("SELECT COUNT(*) FROM TaskInstances"), 1);
}

// A task inserted while an instance's listening connection was down is found by the
// one check of every held terminal after it listens again.
TEST_P(Cluster, TasksQueuedWhileNobodyListenedAreFoundAfterReconnecting) {
  auto b = Instance("b");
  b->Hold(Imei);
  RawPg raw(conninfo_);
  raw.Exec("INSERT INTO TASKS (DEV_ID, \"Offset\", BLK_NUM, BLK_SIZE, CMD) VALUES (convert_to('" +
           std::string(Imei) + "', 'UTF8'), -1, -1, -1, convert_to('quiet', 'UTF8'))");
  for (int i = 0; i < 10; ++i) ASSERT_EQ(b->GetFirstTaskBlock(Imei).BLK_NUM, -1) << "nobody told b";
  raw.Exec(
      "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" + AppName("b") +
      "' AND (query LIKE 'LISTEN%' OR query LIKE 'UPDATE TaskInstances%' OR query LIKE 'SELECT DISTINCT%')");
  TaskBlock got;
  ASSERT_TRUE(Eventually([&] { return (got = b->GetFirstTaskBlock(Imei)).BLK_NUM == 1; }));
  EXPECT_EQ(got.CMD, "quiet");
}

// Connections the server drops are reopened; until then operations fail at once.
TEST_P(Cluster, LostConnectionsAreReopened) {
  auto b = Instance("b");
  b->Hold(Imei);
  RawPg(conninfo_).Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = '" +
                        AppName("b") + "'");
  ASSERT_TRUE(Eventually([&] {
    try {
      b->AddTask(Imei, -1, -1, -1, "after");
      return true;
    } catch (const std::runtime_error&) {
      return false;
    }
  }));
  EXPECT_TRUE(Eventually([&] { return b->Connected(); }));
  EXPECT_EQ(Rows(), 1);
  EXPECT_EQ(b->GetFirstTaskBlock(Imei).CMD, "after");
}

INSTANTIATE_TEST_SUITE_P(Shared, Cluster, ::testing::Values(Engine::Postgres), testing::EngineName);

}  // namespace
}  // namespace telvaro
