#include "stream/StreamFollower.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "queues/NamedEvent.h"
#include "tests/support/NatsBroker.h"
#include "tests/support/TempDir.h"

namespace telvaro {
namespace {

using namespace std::chrono_literals;

TNTMobile Record(std::string_view id, std::int32_t n) {
  TNTMobile m;
  m.Rec.ID.assign(id);
  m.Rec.Event = 150;
  m.Rec.EventValue = n;
  m.Rec.IOS[254] = 0x1122334455667788ull;
  return m;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

/// One instance publishing its records; the tests read them as another would.
class StreamFollowerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::NatsBroker::Program().empty()) GTEST_SKIP() << "nats-server is not installed";
    broker_.emplace();
    options_.url = broker_->Url();
    publisher_.emplace(options_, published_, log_);
    publisher_->Start();
  }
  void TearDown() override {
    if (publisher_) publisher_->Stop(0ms);
  }
  void Publish(const TNTMobile& r) {
    published_.AddBounded(r, options_.queueLimit);
    SetNamedEvent(StreamEventName);
  }

  std::optional<test::NatsBroker> broker_;
  StreamOptions options_;
  RecordQueue published_;
  OperatorLog log_;
  std::optional<StreamPublisher> publisher_;
};

TEST_F(StreamFollowerTest, TheDataPipeOfAnotherInstanceGetsTheRecordsPublishedFromNowOn) {
  Publish(Record("350000000000001", 1));
  ASSERT_TRUE(WaitFor([&] { return publisher_->Acknowledged() == 1; }));

  RecordQueue toSend;  // the other instance's data-channel queue
  OperatorLog otherLog;
  StreamPipeFeeder feeder(options_, toSend, otherLog);
  feeder.Start();
  ASSERT_TRUE(WaitFor([&] {
    const auto lines = otherLog.Lines();
    return std::find(lines.begin(), lines.end(), "Following stream TELVARO") != lines.end();
  }));
  const std::vector<TNTMobile> later{Record("350000000000002", 2), Record("", 3)};
  for (const auto& r : later) Publish(r);
  ASSERT_TRUE(WaitFor([&] { return toSend.Size() == later.size(); })) << toSend.Size();
  std::this_thread::sleep_for(200ms);
  std::vector<TNTMobile> got;
  toSend.TakeAll(got);
  ASSERT_EQ(got.size(), later.size()) << "the record from before the start is not replayed";
  for (std::size_t i = 0; i < later.size(); ++i)
    EXPECT_EQ(std::memcmp(&got[i].Rec, &later[i].Rec, sizeof got[i].Rec), 0) << i;
}

TEST_F(StreamFollowerTest, TelvaroctlTailsTheStreamFromItsStart) {
  TNTMobile data = Record("350000000000003", 4);
  data.dataFrame = true;
  Publish(data);
  Publish(Record("350000000000004", 5));
  ASSERT_TRUE(WaitFor([&] { return publisher_->Acknowledged() == 2; }));

  test::TempDir home;
  const std::string cmd = std::string(TELVAROCTL) + " --home " + home.path() + " tail --stream " + broker_->Url() +
                          " --from-start --json --count 2 2>/dev/null";
  auto run = std::async(std::launch::async, [cmd] {
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return std::pair<int, std::string>{-1, out};
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int st = ::pclose(p);
    return std::pair<int, std::string>{WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
  });
  ASSERT_EQ(run.wait_for(20s), std::future_status::ready);
  const auto [status, out] = run.get();
  EXPECT_EQ(status, 0) << out;
  const auto first = out.find("\"350000000000003\"");
  const auto second = out.find("\"350000000000004\"");
  EXPECT_NE(first, std::string::npos) << out;
  EXPECT_NE(second, std::string::npos) << out;
  EXPECT_LT(first, second);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
}

}  // namespace
}  // namespace telvaro
