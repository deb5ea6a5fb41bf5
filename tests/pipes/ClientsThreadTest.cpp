#include <cstring>
#include <thread>

#include "queues/NamedEvent.h"
#include "pipes/PipeClient.h"
#include "pipes/DataChannel.h"
#include "tests/pipes/PipeTestUtil.h"

namespace telvaro {
namespace {

TNTMobile Record(const std::string& id, std::int32_t event) {
  TNTMobile m;
  m.Rec.ID.assign(id);
  m.Rec.Event = event;
  m.Rec.IOS[254] = 0x1122334455667788ull;  // the far end of the record
  return m;
}

std::vector<std::uint8_t> Image(const TNTMobile& m) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&m.Rec);
  return {p, p + sizeof m.Rec};
}

/// The data pipe "TelvaroPipe" with its handlers and the data-channel thread.
class DataChannelTest : public test::PipeFixture {
 protected:
  DataChannelTest() : ps_(main_, Options()), metrics_({}), thread_(queue_, &metrics_) {
    ps_.SetPipeName("TelvaroPipe");
    AttachDataPipeHandlers(ps_, log_, [this] { return closing_; });
    thread_.SetReport(&log_);
  }
  ~DataChannelTest() override { thread_.Stop(); }

  void Produce(const TNTMobile& m) {
    queue_.Add(m);
    SetNamedEvent(ClientsEventName);
  }
  bool Logged(const std::string& line) const {
    const auto lines = log_.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  TPipeClient Connect() {
    const int before = ps_.ClientCount();
    TPipeClient c(PipeSocketPath(dir_.path(), "TelvaroPipe"));
    RunUntil([&] { return ps_.ClientCount() == before + 1; });
    return c;
  }

  OperatorLog log_;
  RecordQueue queue_;
  TPipeServer ps_;
  ServerMetrics metrics_;
  TClientsThread thread_;
  bool closing_ = false;
};

TEST_F(DataChannelTest, ConnectAndDisconnectLinesAndPanel) {
  ps_.SetActive(true);
  PipeHandle pipe = 0;
  {
    auto c = Connect();
    pipe = ps_.ClientList()[0];
    EXPECT_EQ(log_.Panel(2), "Clients: 1");
    EXPECT_TRUE(Logged("Client connected, pipe num " + std::to_string(pipe)));
  }
  RunUntil([&] { return ps_.ClientCount() == 0; });
  EXPECT_EQ(log_.Panel(2), "Clients: 0");
  EXPECT_TRUE(Logged("Client disconnected, pipe num " + std::to_string(pipe)));
  for (const auto& line : log_.Lines()) EXPECT_EQ(line.rfind("Pipe error. Code ", 0), std::string::npos) << line;

  // While the server closes, connections are not reported; errors still are.
  closing_ = true;
  auto late = Connect();
  EXPECT_EQ(log_.Panel(2), "Clients: 0");
  ps_.OnPipeError(ps_, 0, pcListener, 24);
  EXPECT_EQ(log_.Lines().back(), "Pipe error. Code 24");
}

TEST_F(DataChannelTest, EveryClientGetsEveryRecordInOrder) {
  ps_.SetActive(true);
  auto a = Connect();
  auto b = Connect();
  thread_.SetPipe(&ps_);
  thread_.Start();

  std::vector<TNTMobile> sent;
  for (int i = 0; i < 50; ++i) {
    sent.push_back(Record("356307042441013", i));
    Produce(sent.back());
    if (i == 20) Produce(Record("", 999));  // reaches nobody
  }
  for (auto* c : {&a, &b}) {
    for (const auto& m : sent) {
      const auto got = test::ReceiveRaw(c->Handle());
      ASSERT_TRUE(got);
      ASSERT_EQ(got->size(), 2696u);
      EXPECT_EQ(*got, Image(m));
    }
  }
  // One per record and client; the count follows the last write.
  EXPECT_TRUE(RunUntil([&] { return metrics_.dataPipeRecordsSent.Value() == 2 * sent.size(); }));
  EXPECT_TRUE(Logged("Thread for clients started, waitng for data"));
}

TEST_F(DataChannelTest, RecordsLeaveTheQueueWithoutAPipe) {
  thread_.Start();
  for (int i = 0; i < 5; ++i) Produce(Record("1", i));
  RunUntil([&] { return queue_.Size() == 0; });
  // The thread keeps running and delivers once it has a pipe.
  ps_.SetActive(true);
  auto c = Connect();
  thread_.SetPipe(&ps_);
  const auto m = Record("2", 7);
  Produce(m);
  EXPECT_EQ(test::ReceiveRaw(c.Handle()), Image(m));
}

}  // namespace
}  // namespace telvaro
