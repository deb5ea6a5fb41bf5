#include "stream/StreamPublisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "queues/NamedEvent.h"
#include "tests/stream/StreamReader.h"
#include "tests/support/NatsBroker.h"

namespace telvaro {
namespace {

using namespace std::chrono_literals;

TEST(RecordSubjectTest, TerminalIdBecomesOneSubjectToken) {
  const struct {
    std::string_view id;
    std::string_view subject;
  } cases[] = {
      {"350000000000000", "t.rec.350000000000000"},
      {"", "t.rec._"},
      // Characters that would split the token or act as wildcards.
      {"a.b*c>d", "t.rec.a_b_c_d"},
      {"a b\tc", "t.rec.a_b_c"},
      {"\xC0\xC1z\x01", "t.rec.__z_"},
  };
  for (const auto& c : cases) EXPECT_EQ(RecordSubject("t", c.id), c.subject) << c.id;
}

TEST(MessageIdPrefixTest, DiffersBetweenStarts) {
  const std::string a = MessageIdPrefix();
  std::this_thread::sleep_for(1ms);
  EXPECT_NE(a, MessageIdPrefix());
}

TNTMobile Record(std::string_view id, std::int32_t n) {
  TNTMobile m;
  m.Rec.ID.assign(id);
  m.Rec.Event = 150;
  m.Rec.EventValue = n;
  m.Rec.IOS[254] = 0x1122334455667788ull + static_cast<std::uint64_t>(n);  // the far end of the record
  return m;
}

std::vector<std::uint8_t> Image(const TNTMobile& m) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&m.Rec);
  return {p, p + sizeof m.Rec};
}

/// A broker, a publisher on its own queue, and the log it writes to.
class StreamPublisherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NatsBroker::Program().empty()) GTEST_SKIP() << "nats-server is not installed";
    broker_ = std::make_unique<test::NatsBroker>();
  }
  void TearDown() override {
    if (publisher_) publisher_->Stop(0ms);
  }

  void StartPublisher(StreamOptions o = {}) {
    o.url = broker_->Url();
    options_ = o;
    publisher_ = std::make_unique<StreamPublisher>(o, queue_, log_, &metrics_);
    publisher_->Start();
  }

  /// Queues `m` as a connection does, and wakes the publisher.
  void Add(const TNTMobile& m) {
    queue_.AddBounded(m, options_.queueLimit);
    SetNamedEvent(StreamEventName);
  }

  static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  bool Logged(std::string_view line) const {
    const auto lines = log_.Lines();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(line) != l.npos; });
  }

  /// The publisher's log so far, one line each, for a failure message.
  std::string LogText() const {
    std::string text;
    for (const auto& l : log_.Lines()) text += "\n  " + l;
    return text;
  }

  /// Every stored message's EventValue; each record of these tests carries a distinct one.
  std::multiset<std::int32_t> StoredValues() {
    test::StreamReader reader(broker_->Url());
    std::multiset<std::int32_t> values;
    for (const auto& m : reader.All(options_.name)) {
      TNTMobile r;
      if (m.data.size() != sizeof r.Rec) continue;
      std::memcpy(&r.Rec, m.data.data(), m.data.size());
      values.insert(r.Rec.EventValue);
    }
    return values;
  }

  /// What `stored` lacks and holds too often against `expected`, for a failure message.
  static std::string Difference(const std::multiset<std::int32_t>& stored, const std::multiset<std::int32_t>& expected) {
    std::string missing, extra;
    for (auto it = expected.begin(); it != expected.end(); it = expected.upper_bound(*it))
      if (stored.count(*it) < expected.count(*it)) missing += " " + std::to_string(*it);
    for (auto it = stored.begin(); it != stored.end(); it = stored.upper_bound(*it))
      if (stored.count(*it) > expected.count(*it)) extra += " " + std::to_string(*it);
    return "missing:" + missing + "; too often:" + extra;
  }

  std::unique_ptr<test::NatsBroker> broker_;
  OperatorLog log_;
  ServerMetrics metrics_{{}};
  RecordQueue queue_;
  StreamOptions options_;
  std::unique_ptr<StreamPublisher> publisher_;
};

TEST_F(StreamPublisherTest, PublishesEveryRecordOnceWithItsBytesAndSubject) {
  StartPublisher({.subject = "fleet", .name = "FLEET", .maxAgeHours = 2});
  const std::vector<TNTMobile> records{Record("350000000000001", 1), Record("", 2), Record("350000000000001", 3),
                                       Record("a.b", 4)};
  for (const auto& r : records) Add(r);
  ASSERT_TRUE(WaitFor([&] { return publisher_->Acknowledged() == records.size(); })) << publisher_->Acknowledged();
  EXPECT_EQ(publisher_->Pending(), 0u);

  test::StreamReader reader(broker_->Url());
  const auto stored = reader.All("FLEET");
  ASSERT_EQ(stored.size(), records.size());
  const char* subjects[] = {"fleet.rec.350000000000001", "fleet.rec._", "fleet.rec.350000000000001",
                            "fleet.rec.a_b"};
  std::set<std::string> ids;
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(stored[i].subject, subjects[i]);
    EXPECT_EQ(stored[i].data, Image(records[i])) << i;
    ids.insert(stored[i].id);
  }
  EXPECT_EQ(ids.size(), records.size()) << "every record has an ID of its own";
  EXPECT_FALSE(ids.count(""));

  // Created here: file storage, the age limit, every subject under the prefix.
  jsStreamInfo* si = reader.Info("FLEET");
  ASSERT_NE(si, nullptr);
  EXPECT_EQ(si->Config->Storage, js_FileStorage);
  EXPECT_EQ(si->Config->MaxAge, 2LL * 3600 * 1000000000LL);
  ASSERT_EQ(si->Config->SubjectsLen, 1);
  EXPECT_STREQ(si->Config->Subjects[0], "fleet.>");
  jsStreamInfo_Destroy(si);
  EXPECT_TRUE(Logged("Stream FLEET created for fleet.>"));
  EXPECT_EQ(metrics_.streamPublished.Value(), records.size());
  EXPECT_EQ(metrics_.streamAcknowledged.Value(), records.size());
}

TEST_F(StreamPublisherTest, PublishesIntoAStreamTheOperatorMade) {
  // Made by hand, memory storage and a wider subject: used as it is.
  {
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&nc, broker_->Url().c_str()), NATS_OK);
    ASSERT_EQ(natsConnection_JetStream(&js, nc, nullptr), NATS_OK);
    jsStreamConfig cfg;
    jsStreamConfig_Init(&cfg);
    const char* subjects[] = {"telvaro.>", "other.>"};
    cfg.Name = "TELVARO";
    cfg.Subjects = subjects;
    cfg.SubjectsLen = 2;
    cfg.Storage = js_MemoryStorage;
    jsStreamInfo* si = nullptr;
    ASSERT_EQ(js_AddStream(&si, js, &cfg, nullptr, nullptr), NATS_OK);
    jsStreamInfo_Destroy(si);
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
  }
  StartPublisher();
  Add(Record("350000000000002", 7));
  ASSERT_TRUE(WaitFor([&] { return publisher_->Acknowledged() == 1; }));
  test::StreamReader reader(broker_->Url());
  jsStreamInfo* si = reader.Info("TELVARO");
  ASSERT_NE(si, nullptr);
  EXPECT_EQ(si->Config->Storage, js_MemoryStorage);
  EXPECT_EQ(si->Config->SubjectsLen, 2);
  jsStreamInfo_Destroy(si);
  EXPECT_FALSE(Logged("created"));
  EXPECT_EQ(StoredValues(), std::multiset<std::int32_t>{7});
}

TEST_F(StreamPublisherTest, AWindowWhoseAcknowledgementsAreLateIsSentAgainAndStoredOnce) {
  StartPublisher({.ackWait = 300ms});
  Add(Record("350000000000003", 0));
  ASSERT_TRUE(WaitFor([&] { return publisher_->Acknowledged() == 1; }));

  // Frozen, the broker takes the publishes into its socket but answers none in time:
  // the publisher sends the window again, and the broker later reads both copies.
  broker_->Pause();
  for (int i = 1; i <= 50; ++i) Add(Record("350000000000003", i));
  ASSERT_TRUE(WaitFor([&] { return metrics_.streamResent.Value() >= 50; }, 5s)) << metrics_.streamResent.Value();
  broker_->Resume();
  ASSERT_TRUE(WaitFor([&] { return publisher_->Pending() == 0; })) << publisher_->Pending();

  std::multiset<std::int32_t> expected;
  for (int i = 0; i <= 50; ++i) expected.insert(i);
  const auto stored = StoredValues();
  EXPECT_EQ(stored, expected) << Difference(stored, expected);
}

TEST_F(StreamPublisherTest, RecordsQueuedWhileTheBrokerIsDownArePublishedWhenItReturns) {
  StartPublisher({.ackWait = 500ms});
  // Traffic goes on while the broker stops and starts again on the same store.
  std::atomic<int> sent{0};
  std::thread producer([&] {
    for (int i = 0; i < 3000; ++i) {
      Add(Record(i % 2 ? "350000000000004" : "350000000000005", i));
      sent = i + 1;
      if (i % 100 == 99) std::this_thread::sleep_for(20ms);
    }
  });
  ASSERT_TRUE(WaitFor([&] { return sent >= 600; }));
  broker_->Stop();
  ASSERT_TRUE(WaitFor([&] { return Logged("Stream disconnected"); }, 5s));
  std::this_thread::sleep_for(300ms);
  broker_->Start();
  producer.join();
  ASSERT_TRUE(WaitFor([&] { return Logged("Stream reconnected"); }));
  ASSERT_TRUE(WaitFor([&] { return publisher_->Pending() == 0; }, 30s)) << publisher_->Pending();

  std::multiset<std::int32_t> expected;
  for (int i = 0; i < 3000; ++i) expected.insert(i);
  const auto stored = StoredValues();
  EXPECT_EQ(stored, expected) << "nothing lost, nothing twice: " << Difference(stored, expected);
}

TEST_F(StreamPublisherTest, PastItsLimitTheQueueDropsTheOldestAndSaysSo) {
  broker_->Stop();
  StartPublisher({.queueLimit = 10});
  ASSERT_TRUE(WaitFor([&] { return Logged("not reachable, connecting in the background"); }, 5s));
  for (int i = 0; i < 25; ++i) Add(Record("350000000000006", i));
  // One line per wake-up of the publisher: the drops may come in more than one.
  ASSERT_TRUE(WaitFor([&] { return metrics_.streamDropped.Value() == 15; }, 5s)) << metrics_.streamDropped.Value();
  EXPECT_TRUE(Logged("Stream queue limit reached, oldest records dropped: "));

  broker_->Start();
  ASSERT_TRUE(WaitFor([&] { return publisher_->Acknowledged() == 10; }))
      << publisher_->Acknowledged() << " acknowledged, " << publisher_->Pending() << " pending; log:" << LogText();
  std::multiset<std::int32_t> newest;
  for (int i = 15; i < 25; ++i) newest.insert(i);
  EXPECT_EQ(StoredValues(), newest);
}

TEST_F(StreamPublisherTest, StopPublishesWhatIsQueuedFirst) {
  StartPublisher();
  for (int i = 0; i < 500; ++i) queue_.Add(Record("350000000000007", i));
  // No wake-up: the stop itself must see the queue out.
  EXPECT_EQ(publisher_->Stop(10s), 0u);
  EXPECT_EQ(StoredValues().size(), 500u);
}

}  // namespace
}  // namespace telvaro
