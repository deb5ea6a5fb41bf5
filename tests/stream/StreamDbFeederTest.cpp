#include "stream/StreamDbFeeder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "dbwriter/DatabaseWriter.h"
#include "queues/NamedEvent.h"
#include "stream/StreamPublisher.h"
#include "tests/dbwriter/TestDB.h"
#include "tests/stream/StreamReader.h"
#include "tests/support/NatsBroker.h"

namespace telvaro {
namespace {

using namespace std::chrono_literals;
using testdb::WaitUntil;

/// One instance's way from the stream to the database: its feeder and its writer.
struct Instance {
  Instance(const StreamOptions& o, RecordQueue& queue, OperatorLog& log, CentralDatabase& db, const TSettings& s,
           std::chrono::milliseconds ackWait, bool acknowledge = true)
      : feeder(o, "dbwriter", queue, log, nullptr, ackWait), writer(db, queue, s) {
    writer.SetReport(&log);
    // Without acknowledgements it is an instance that dies between commit and acknowledgement.
    if (acknowledge) writer.SetOnStored([this](std::size_t n) { feeder.Stored(n); });
    writer.Start();
    feeder.Start();
  }
  ~Instance() {
    writer.Stop();
    feeder.Stop();
  }
  StreamDbFeeder feeder;
  TMobilesThread writer;
};

/// A broker, a publisher filling the stream as the connections would, and the test database.
class StreamDbFeederTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NatsBroker::Program().empty()) GTEST_SKIP() << "nats-server is not installed";
    TELVARO_REQUIRE_CLIENT(testdb::Libpq);
    testdb::InstallRejectTrigger();
    sql_.emplace();
    static int seq = 0;
    // Appended, not prefixed: gcc 12 at -O3 takes the prefix's insert for an overlapping copy.
    tag_ = std::string("S").append(testdb::ProcessTag()).append(1, static_cast<char>('a' + seq++ % 26));
    sql_->Exec("DELETE FROM mobiles WHERE id LIKE '%" + tag_ + "%'");
    settings_.ReconnectSec = 1;
    broker_.emplace();
    options_.url = broker_->Url();
    publisher_.emplace(options_, published_, log_);
    publisher_->Start();
    db_ = testdb::Libpq.Make();
  }
  void TearDown() override {
    instance_.reset();
    if (publisher_) publisher_->Stop(0ms);
    if (db_) db_->Close();
  }

  /// A position record of this test, from a data frame or not; "REJECT" makes the database refuse it.
  TNTMobile Record(int i, bool dataFrame = true, const std::string& prefix = "") const {
    TNTMobile r;
    r.Rec.ID.assign(prefix + tag_ + "-" + std::to_string(i));
    r.Rec.GNSS.UTC = EncodeDateTime({2024, 5, 1, 10, 0, 0, 0}) + i / 86400.0;
    r.Rec.GNSS.Lat = 55 + i / 1000.0;
    r.Rec.GNSS.Valid = 1;
    r.dataFrame = dataFrame;
    return r;
  }
  void Publish(const TNTMobile& r) {
    published_.AddBounded(r, options_.queueLimit);
    SetNamedEvent(StreamEventName);
  }

  /// This test's rows, by ID, counted.
  std::map<std::string, int> Rows() {
    std::map<std::string, int> rows;
    for (const auto& row : sql_->Query("SELECT id FROM mobiles WHERE id LIKE '%" + tag_ + "-%'")) ++rows[*row[0]];
    return rows;
  }
  std::pair<std::int64_t, std::uint64_t> Consumer() {
    return test::StreamReader(broker_->Url()).ConsumerState(options_.name, "dbwriter");
  }
  bool Logged(std::string_view prefix) const {
    const auto lines = log_.Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); });
  }

  std::optional<test::NatsBroker> broker_;
  StreamOptions options_;
  RecordQueue published_, writerQueue_;
  OperatorLog log_;
  std::optional<StreamPublisher> publisher_;
  std::unique_ptr<CentralDatabase> db_;
  TSettings settings_;
  std::optional<testdb::Sql> sql_;
  std::string tag_;
  std::optional<Instance> instance_;
};

TEST_F(StreamDbFeederTest, AcknowledgesOnlyWhatTheDatabaseHasCommitted) {
  // No database yet: the records reach the writer but stay unacknowledged.
  instance_.emplace(options_, writerQueue_, log_, *db_, settings_, 30s);
  for (int i = 0; i < 20; ++i) Publish(Record(i));
  Publish(Record(100, false));  // not from a data frame: not for the database
  ASSERT_TRUE(WaitUntil([&] { return Consumer() == std::pair<std::int64_t, std::uint64_t>{20, 0}; }, 20s))
      << Consumer().first;
  EXPECT_EQ(instance_->feeder.Acknowledged(), 1u);
  EXPECT_TRUE(Rows().empty());

  db_->Open(testdb::Libpq.Login());
  ASSERT_TRUE(WaitUntil([&] { return Consumer().first == 0; }, 20s)) << Consumer().first;
  const auto rows = Rows();
  EXPECT_EQ(rows.size(), 20u);
  EXPECT_FALSE(rows.count(tag_ + "-100"));
  for (const auto& [id, n] : rows) EXPECT_EQ(n, 1) << id;
}

TEST_F(StreamDbFeederTest, ARejectedRecordIsLoggedAndAcknowledged) {
  db_->Open(testdb::Libpq.Login());
  instance_.emplace(options_, writerQueue_, log_, *db_, settings_, 30s);
  Publish(Record(1));
  Publish(Record(2, true, "REJECT"));
  Publish(Record(3));
  ASSERT_TRUE(WaitUntil([&] { return instance_->feeder.Acknowledged() == 3; }, 20s));
  EXPECT_EQ(Consumer(), (std::pair<std::int64_t, std::uint64_t>{0, 0}));
  EXPECT_EQ(Rows(), (std::map<std::string, int>{{tag_ + "-1", 1}, {tag_ + "-3", 1}}));
  EXPECT_TRUE(Logged("Error  writing  to DB  "));
}

TEST_F(StreamDbFeederTest, RecordsOfADeadInstanceComeAgainToAnotherWithoutDuplicateRows) {
  db_->Open(testdb::Libpq.Login());
  // The first instance stores every record and dies before any acknowledgement.
  instance_.emplace(options_, writerQueue_, log_, *db_, settings_, 1s, false);
  for (int i = 0; i < 50; ++i) Publish(Record(i));
  ASSERT_TRUE(WaitUntil([&] { return Rows().size() == 50; }, 20s)) << Rows().size();
  instance_.reset();
  EXPECT_EQ(Consumer().first, 50);

  // The next one gets them again once the acknowledgement wait is over, with new ones.
  instance_.emplace(options_, writerQueue_, log_, *db_, settings_, 1s);
  for (int i = 50; i < 60; ++i) Publish(Record(i));
  ASSERT_TRUE(WaitUntil([&] { return Consumer() == std::pair<std::int64_t, std::uint64_t>{0, 0}; }, 20s))
      << Consumer().first;
  const auto rows = Rows();
  EXPECT_EQ(rows.size(), 60u);
  for (const auto& [id, n] : rows) EXPECT_EQ(n, 1) << id;
}

}  // namespace
}  // namespace telvaro
