#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <asio.hpp>

#include <algorithm>
#include <atomic>
#include <numeric>

#include "queues/NamedEvent.h"
#include "queues/RecordQueue.h"
#include "dbwriter/DatabaseWriter.h"
#include "dbwriter/UnlessStopped.h"
#include "tests/dbwriter/TestDB.h"

namespace telvaro {
namespace {

using testdb::Sql;
using testdb::WaitUntil;

// Runs over each client library in turn.
class WriterTest : public ::testing::TestWithParam<testdb::Client> {
 protected:
  void SetUp() override {
    TELVARO_REQUIRE_CLIENT(GetParam());
    db_ = GetParam().Make();
    testdb::InstallRejectTrigger();
    sql_.emplace();
    static int seq = 0;
    tag_ = testdb::ProcessTag() + static_cast<char>('a' + seq++ % 26);
    sql_->Exec("DELETE FROM mobiles WHERE id LIKE '%" + tag_ + "%'");
    settings_.ReconnectSec = 1;
  }

  void TearDown() override {
    if (writer_) writer_->Stop();
    if (db_) db_->Close();
  }

  void StartWriter() {
    writer_.emplace(*db_, queue_, settings_);
    writer_->SetReport(&log_);
    writer_->SetOnTerminate([this] { ++ended_; });
    writer_->SetMetrics(&metrics_);
    writer_->Start();
  }

  /// A position record of this test; `prefix` "REJECT" makes the database refuse it.
  TNTMobile Record(int i, const std::string& prefix = "") const {
    TNTMobile r;
    r.Rec.ID.assign(prefix + tag_ + "-" + std::to_string(i));
    r.Rec.GNSS.UTC = EncodeDateTime({2024, 5, 1, 10, 0, 0, 0}) + i / 86400.0;
    r.Rec.GNSS.Lat = 55 + i / 1000.0;
    r.Rec.GNSS.Valid = 1;
    return r;
  }

  // As a connection does: bounded by the queue limit, then the writer's event.
  void Queue(const TNTMobile& r) {
    queue_.AddBounded(r, static_cast<std::size_t>(settings_.QueueLimit));
    SetNamedEvent(DBEventName);
  }

  /// IDs of this test's rows, in the order they were inserted.
  std::vector<std::string> Stored() {
    std::vector<std::string> ids;
    for (const auto& row : sql_->Query("SELECT id FROM mobiles WHERE id LIKE '%" + tag_ + "-%' ORDER BY rec_id"))
      ids.push_back(*row[0]);
    return ids;
  }

  std::vector<std::string> Ids(int from, int to) const {
    std::vector<std::string> ids;
    for (int i = from; i < to; ++i) ids.push_back(tag_ + "-" + std::to_string(i));
    return ids;
  }

  std::size_t LinesStartingWith(const std::string& prefix) const {
    const auto lines = log_.Lines();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
  }

  /// Position of the first line starting with `prefix`, or -1.
  long LineIndex(const std::string& prefix) const {
    const auto lines = log_.Lines();
    for (std::size_t i = 0; i < lines.size(); ++i)
      if (lines[i].starts_with(prefix)) return static_cast<long>(i);
    return -1;
  }

  TSettings settings_;
  std::optional<Sql> sql_;
  std::string tag_;
  OperatorLog log_;
  RecordQueue queue_;
  std::unique_ptr<CentralDatabase> db_;
  ServerMetrics metrics_{{}};
  std::optional<TMobilesThread> writer_;
  std::atomic<int> ended_{0};
};

INSTANTIATE_TEST_SUITE_P(Clients, WriterTest, ::testing::Values(testdb::Odbc, testdb::Libpq), testdb::ClientName);

TEST_P(WriterTest, OneSignalWritesTheWholeQueueInOrder) {
  db_->Open(GetParam().Login());
  for (int i = 0; i < 10; ++i) queue_.Add(Record(i));
  TNTMobile noFix = Record(10);
  noFix.Rec.GNSS.UTC = 0;  // an answer to a command: not stored
  queue_.Add(noFix);
  StartWriter();
  SetNamedEvent(DBEventName);

  ASSERT_TRUE(WaitUntil([&] { return queue_.Size() == 0 && Stored().size() == 10; }));
  EXPECT_EQ(Stored(), Ids(0, 10));
  writer_->Stop();
  EXPECT_FALSE(writer_->Running());
  EXPECT_EQ(ended_, 1);
  EXPECT_EQ(log_.Lines(), (std::vector<std::string>{"", "Thread for DB started, waitng for data",
                                                     "Thread for DB ended"}));
}

TEST_P(WriterTest, RejectedRecordIsLoggedAndOnlyItIsDropped) {
  db_->Open(GetParam().Login());
  // Taken on one wake-up: the batch fails as a whole and is written again record by record.
  for (int i = 0; i < 50; ++i) queue_.Add(i == 25 ? Record(i, "REJECT") : Record(i));
  StartWriter();
  SetNamedEvent(DBEventName);
  ASSERT_TRUE(WaitUntil([&] { return Stored().size() == 49; }));

  // The next record after the rejection is written as usual.
  Queue(Record(50));
  ASSERT_TRUE(WaitUntil([&] { return Stored().size() == 50; }));
  std::vector<std::string> want = Ids(0, 51);
  want.erase(want.begin() + 25);
  EXPECT_EQ(Stored(), want);

  EXPECT_EQ(metrics_.dbRecordsWritten.Value(), 50u);
  EXPECT_EQ(metrics_.dbRecordsDropped.Value(), 1u);
  // The failed batch, the 50 transactions of its redo, the next record's.
  const auto times = metrics_.dbWriteSeconds.Counts();
  EXPECT_EQ(std::accumulate(times.begin(), times.end(), std::uint64_t{0}), 52u);
  EXPECT_EQ(metrics_.dbConnected.Value(), 1);

  ASSERT_EQ(LinesStartingWith("Error  writing  to DB  "), 1u);
  const std::string line = log_.Lines()[static_cast<std::size_t>(LineIndex("Error  writing  to DB  "))];
  EXPECT_NE(line.find("record REJECT" + tag_ + "-25 rejected"), std::string::npos) << line;
  EXPECT_EQ(LinesStartingWith("DB disconnected"), 0u);
}

TEST_P(WriterTest, LostConnectionIsReopenedAndNothingIsLost) {
  // A role of this test alone, so that refusing its logins disturbs no other test.
  const std::string role = "writer" + tag_;
  sql_->Exec("DROP ROLE IF EXISTS " + role);
  sql_->Exec("CREATE ROLE " + role + " LOGIN SUPERUSER");
  db_->Open(GetParam().Login(role));
  log_.SetPanel(0, "DB:" + db_->DatabaseName());
  StartWriter();
  for (int i = 0; i < 10; ++i) Queue(Record(i));
  ASSERT_TRUE(WaitUntil([&] { return Stored().size() == 10; }));

  // The server ends the writer's session and refuses new ones for a while.
  sql_->Exec("ALTER ROLE " + role + " NOLOGIN");
  sql_->Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE usename = '" + role + "'");
  ASSERT_TRUE(WaitUntil([&] {
    return sql_->Scalar("SELECT count(*) FROM pg_stat_activity WHERE usename = '" + role + "'") == "0";
  }));

  for (int i = 10; i < 20; ++i) Queue(Record(i));
  ASSERT_TRUE(WaitUntil([&] { return LinesStartingWith("Could not reconnect to DB: ") == 1; }));
  EXPECT_EQ(LinesStartingWith("DB disconnected"), 1u);
  EXPECT_EQ(log_.Panel(0), "No database");
  for (int i = 20; i < 30; ++i) Queue(Record(i));
  EXPECT_GE(queue_.Size(), 20u);

  sql_->Exec("ALTER ROLE " + role + " LOGIN");
  ASSERT_TRUE(WaitUntil([&] { return Stored().size() == 30; }));
  EXPECT_EQ(Stored(), Ids(0, 30));  // each once, in queue order
  EXPECT_LT(LineIndex("DB disconnected"), LineIndex("Could not reconnect to DB: "));
  EXPECT_LT(LineIndex("Could not reconnect to DB: "), LineIndex("DB reconnected"));
  EXPECT_EQ(LinesStartingWith("DB disconnected"), 1u);
  EXPECT_EQ(LinesStartingWith("Could not reconnect to DB: "), 1u);  // once per loss, not per attempt
  EXPECT_EQ(LinesStartingWith("DB reconnected"), 1u);
  EXPECT_EQ(LinesStartingWith("Error  writing  to DB  "), 0u);
  EXPECT_EQ(log_.Panel(0), "DB:telvaro");

  writer_->Stop();
  db_->Close();
  sql_->Exec("DROP ROLE " + role);
}

TEST_P(WriterTest, ServerThatStopsAnsweringCountsAsLost) {
  if (GetParam().client == DbClient::Odbc)
    GTEST_SKIP() << "the PostgreSQL ODBC driver bounds no wait for an answer: its query time-out is the server's";
  const std::string role = "stall" + tag_;
  sql_->Exec("DROP ROLE IF EXISTS " + role);
  sql_->Exec("CREATE ROLE " + role + " LOGIN SUPERUSER");
  db_ = GetParam().Make(std::chrono::seconds(2));
  db_->Open(GetParam().Login(role));
  StartWriter();
  for (int i = 0; i < 5; ++i) Queue(Record(i));
  ASSERT_TRUE(WaitUntil([&] { return Stored().size() == 5; }));

  // The writer's server process stops, as a server host that died would: no answer,
  // no end of the connection. It holds no lock between transactions.
  const int pid = std::stoi(sql_->Scalar("SELECT pid FROM pg_stat_activity WHERE usename = '" + role + "'"));
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  // Ended however the test ends: a stopped server process would hold up the cluster's stop.
  struct Resume {
    explicit Resume(int p) : pid(p) {}
    Resume(const Resume&) = delete;
    Resume& operator=(const Resume&) = delete;
    int pid;
    ~Resume() {
      ::kill(pid, SIGTERM);
      ::kill(pid, SIGCONT);
    }
  };
  std::optional<Resume> resume;
  resume.emplace(pid);

  for (int i = 5; i < 10; ++i) Queue(Record(i));
  ASSERT_TRUE(WaitUntil([&] { return LinesStartingWith("DB reconnected") == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return Stored().size() == 10; }));
  EXPECT_EQ(Stored(), Ids(0, 10));
  EXPECT_EQ(LinesStartingWith("DB disconnected"), 1u);
  EXPECT_EQ(LinesStartingWith("Error  writing  to DB  "), 0u);

  writer_->Stop();
  db_->Close();
  resume.reset();
  ASSERT_TRUE(WaitUntil([&] {
    return sql_->Scalar("SELECT count(*) FROM pg_stat_activity WHERE usename = '" + role + "'") == "0";
  }));
  sql_->Exec("DROP ROLE " + role);
}

TEST_P(WriterTest, StopCutsALoginToAServerThatDoesNotAnswerShort) {
  // A port that refuses at first, so that the login is kept at once; then a listener
  // that takes connections into its backlog and never answers, as a server host that
  // hangs would.
  asio::io_context io;
  asio::ip::tcp::acceptor listener(io, {asio::ip::address_v4::loopback(), 0});
  const std::uint16_t port = listener.local_endpoint().port();
  listener.close();
  db_ = GetParam().Make(std::chrono::seconds(600));
  EXPECT_THROW(db_->Open(GetParam().LoginAt(port)), DatabaseError);
  listener.open(asio::ip::tcp::v4());
  listener.set_option(asio::socket_base::reuse_address(true));
  listener.bind({asio::ip::address_v4::loopback(), port});
  listener.listen();

  StartWriter();
  Queue(Record(0));
  // A connection waiting in the backlog: the writer is in its login.
  pollfd p{listener.native_handle(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 30000), 1);
  const auto asked = std::chrono::steady_clock::now();
  writer_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(60))
      << "the stop waited for the login's time-out";
  EXPECT_EQ(LinesStartingWith("Thread for DB ended"), 1u);
  EXPECT_EQ(queue_.Size(), 1u) << "the record stays queued";
  EXPECT_EQ(AbandonedCalls, 1u);
  // The server side goes away: the login left behind ends on its own.
  listener.close();
  EXPECT_TRUE(WaitUntil([] { return AbandonedCalls == 0; }));
}

TEST_P(WriterTest, RecordsWaitForStartUpToOpenAndTheQueueIsBounded) {
  settings_.QueueLimit = 5;
  // Queued before the writer first looks, so that it reports the drops at once.
  for (int i = 0; i < 8; ++i) Queue(Record(i));
  StartWriter();  // start-up starts the writer before it connects the database
  SetNamedEvent(DBEventName);
  ASSERT_TRUE(WaitUntil([&] {
    return LinesStartingWith("DB disconnected") == 1 &&
           LinesStartingWith("DB queue limit reached, oldest records dropped: 3") == 1;
  }));
  EXPECT_EQ(queue_.Size(), 5u);
  EXPECT_EQ(metrics_.dbRecordsDropped.Value(), 3u);
  EXPECT_EQ(metrics_.dbConnected.Value(), 0);

  db_->Open(GetParam().Login());
  ASSERT_TRUE(WaitUntil([&] { return Stored().size() == 5; }));
  EXPECT_TRUE(WaitUntil([&] { return metrics_.dbConnected.Value() == 1; }));
  EXPECT_EQ(metrics_.dbRecordsWritten.Value(), 5u);
  EXPECT_EQ(Stored(), Ids(3, 8));
  EXPECT_EQ(LinesStartingWith("DB reconnected"), 1u);
  EXPECT_EQ(LinesStartingWith("DB queue limit reached"), 1u);
}

}  // namespace
}  // namespace telvaro
