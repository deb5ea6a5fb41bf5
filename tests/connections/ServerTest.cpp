// The listener and its connections over real sockets on an ephemeral port.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <numeric>

#include "protocol/Identification.h"
#include "tests/connections/TestSupport.h"
#include "tests/support/ProxyV2.h"
#include "tools/telvarosim/Simulator.h"

namespace telvaro::test {
namespace {

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { Restart(); }

  /// A new server with the current `env`.
  void Restart(int threads = 2) {
    if (server) server->Stop();
    server = std::make_unique<TerminalServer>(env);
    server->Start(0, threads);
  }
  void TearDown() override { server->Stop(); }

  std::uint16_t Port() const { return server->Port(); }

  /// Index of the first log line equal to `line`, or -1.
  long LineIndex(const std::string& line) const {
    const auto lines = log.Lines();
    const auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : static_cast<long>(it - lines.begin());
  }
  bool Logged(const std::string& line) const {
    return Eventually([&] { return LineIndex(line) >= 0; });
  }

  /// Waits for `n` records on the data-channel queue and takes them.
  std::vector<TNTMobile> TakeToSend(std::size_t n) {
    std::vector<TNTMobile> got;
    Eventually([&] {
      auto more = Drain(toSend);
      got.insert(got.end(), more.begin(), more.end());
      return got.size() >= n;
    });
    return got;
  }

  /// Connects and completes the handshake: the reply and its two records.
  std::unique_ptr<Client> Connect() {
    auto c = std::make_unique<Client>(Port());
    c->Write(Handshake(Imei));
    EXPECT_EQ(Text(c->Read(2)), "OK");
    EXPECT_EQ(Events(TakeToSend(2)), (std::vector<std::int32_t>{evCommandSent, evHandshake}));
    return c;
  }

  /// A connection whose ping has fetched the queued command "CMD", now in its pause.
  std::unique_ptr<Client> CommandInThePause(std::chrono::milliseconds pause) {
    env.cmdDelay = pause;
    Restart();
    auto c = Connect();
    store.AddTask(Imei, 0, 1, -1, "CMD");
    c->Write(Ping());
    EXPECT_TRUE(Eventually([&] { return server->ConnectionCount() == 1; }));
    return c;
  }

  OperatorLog log;
  TempTaskStore tasks;
  TDM& store = tasks.dm;
  DiskFileSink files;
  RecordQueue mobiles, toSend;
  ConnectionEnv env = TestEnv(log, store, files, mobiles, toSend);
  std::unique_ptr<TerminalServer> server;
};

TEST_F(ServerTest, HandshakeReplyIsWrittenBeforeTheHandshakeIsRouted) {
  Client c(Port());
  c.Write(Handshake(Imei));
  EXPECT_EQ(Text(c.Read(2)), "OK");

  const auto records = TakeToSend(2);
  ASSERT_EQ(Events(records), (std::vector<std::int32_t>{evCommandSent, evHandshake}));
  EXPECT_EQ(records[0].Rec.ID.view(), Imei);
  EXPECT_EQ(records[0].Rec.EventValue, 0);
  EXPECT_EQ(records[1].Rec.ID.view(), Imei);
  const long sent = LineIndex("Command for " + Imei + " sent. Commands in queue  0");
  ASSERT_GE(sent, 0);
  EXPECT_EQ(log.LineCount(), static_cast<std::size_t>(sent) + 2) << "then only the handshake's own line";
  EXPECT_EQ(mobiles.Size(), 0u) << "a handshake is not a data frame";
}

TEST_F(ServerTest, QueuedTasksAreWrittenOnePerBatchAndDeletedAfterTheirWrite) {
  store.AddTask(Imei, 0, 1, -1, "FIRST");
  store.AddTask(Imei, 0, 2, -1, "SECOND");
  auto c = Connect();  // nothing from the store after a handshake

  c->Write(Ping());
  EXPECT_EQ(Text(c->Read(5)), "FIRST");
  auto records = TakeToSend(2);
  ASSERT_EQ(Events(records), (std::vector<std::int32_t>{evCommandSent, evPing}));
  EXPECT_EQ(records[0].Rec.EventValue, 1) << "one command left";
  EXPECT_TRUE(Logged("Command for " + Imei + " sent. Commands in queue  1"));
  EXPECT_EQ(store.CountCommandsFor(Imei), 1);

  c->Write(Ping());
  EXPECT_EQ(Text(c->Read(6)), "SECOND");
  records = TakeToSend(2);
  ASSERT_EQ(Events(records), (std::vector<std::int32_t>{evCommandSent, evPing}));
  EXPECT_EQ(records[0].Rec.EventValue, 0);
  EXPECT_EQ(store.CountCommandsFor(Imei), 0);
  EXPECT_EQ(mobiles.Size(), 0u) << "keep-alives are not data frames";
}

TEST_F(ServerTest, ConnectionWithoutBatchAnnouncesDisconnectWithEmptyId) {
  Client c(Port());
  c.Close();
  const auto records = TakeToSend(1);
  ASSERT_EQ(Events(records), std::vector<std::int32_t>{evDisconnect});
  EXPECT_TRUE(records[0].Rec.ID.empty());
  EXPECT_EQ(records[0].Rec.EventValue, 0);
  EXPECT_TRUE(Logged("Thread ended with 127.0.0.1"));
}

TEST_F(ServerTest, PeerClosingAnnouncesDisconnectWithTheTerminalsId) {
  auto c = Connect();
  c->Close();
  const auto records = TakeToSend(1);
  ASSERT_EQ(Events(records), std::vector<std::int32_t>{evDisconnect});
  EXPECT_EQ(records[0].Rec.ID.view(), Imei);
}

TEST_F(ServerTest, PeerResettingIsLoggedWithItsReasonAndStillAnnounced) {
  auto c = Connect();
  c->Reset();
  const auto records = TakeToSend(1);
  ASSERT_EQ(Events(records), std::vector<std::int32_t>{evDisconnect});
  EXPECT_EQ(records[0].Rec.ID.view(), Imei);
  EXPECT_TRUE(Logged("Connection error with 127.0.0.1: Connection reset by peer"));
}

TEST_F(ServerTest, FrameSplitOverThreeWritesIsDecodedOnce) {
  auto c = Connect();
  const ByteVec ping = Ping();
  c->Write(ByteVec(ping.begin(), ping.begin() + 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  c->Write(ByteVec(ping.begin() + 3, ping.begin() + 11));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  c->Write(ByteVec(ping.begin() + 11, ping.end()));
  c->Write(Ping());  // a marker: once its record is there, the split frame's is too
  EXPECT_EQ(Events(TakeToSend(2)), (std::vector<std::int32_t>{evPing, evPing}));
  EXPECT_EQ(Drain(toSend).size(), 0u);
}

TEST_F(ServerTest, EveryMessageOfOneWriteIsABatchOfItsOwn) {
  Client c(Port());
  c.Write(Concat({Handshake(Imei), Ping(), Ping()}));
  EXPECT_EQ(Text(c.Read(2)), "OK");
  EXPECT_EQ(Events(TakeToSend(4)), (std::vector<std::int32_t>{evCommandSent, evHandshake, evPing, evPing}));
}

TEST_F(ServerTest, MessageWithoutRecordEndsTheConnection) {
  struct Case {
    const char* name;
    ByteVec bytes;
  };
  const Case cases[] = {
      {"wrong checksum", Frame(Payload(ImeiNumber, 5, 0), 0x1234)},
      {"unknown frame kind", Frame(Payload(ImeiNumber, 77, 0))},
      {"bytes that start no message", ByteVec(40, 0x55)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    auto c = Connect();
    c->Write(k.bytes);
    EXPECT_TRUE(c->ClosedByServer());
    const auto records = TakeToSend(1);
    ASSERT_EQ(Events(records), std::vector<std::int32_t>{evDisconnect});
    EXPECT_EQ(records[0].Rec.ID.view(), Imei);
  }
}

TEST_F(ServerTest, OnlyDataFrameRecordsReachTheDatabaseQueueAndOnlyWithADatabase) {
  for (const bool noBase : {false, true}) {
    SCOPED_TRACE(noBase ? "no database" : "database");
    env.toDatabase = !noBase;
    Restart();
    auto c = Connect();
    c->Write(Concat({Ping(), Avl(3)}));
    EXPECT_EQ(Events(TakeToSend(4)), (std::vector<std::int32_t>{evPing, 0, 0, 0}));
    const auto db = Drain(mobiles);
    ASSERT_EQ(db.size(), noBase ? 0u : 3u);
    for (const auto& m : db) EXPECT_EQ(m.Rec.ID.view(), Imei);
    c->Close();
    TakeToSend(1);
  }
}

TEST_F(ServerTest, FullDatabaseQueueDropsItsOldestRecords) {
  env.queueLimit = 2;
  Restart();
  auto c = Connect();
  c->Write(Avl(3));
  EXPECT_EQ(TakeToSend(3).size(), 3u);
  const auto db = Drain(mobiles);
  ASSERT_EQ(db.size(), 2u);
  EXPECT_EQ(db[0].Rec.GNSS.UTC, UnixToDateTimeL(1700000001)) << "the first record was dropped";
  EXPECT_EQ(mobiles.TakeDropped(), 1u) << "counted for the writer to report";
}

TEST_F(ServerTest, CommandWrittenDuringAnUploadIsWrittenOnceAndTheBlocksStay) {
  auto c = Connect();
  store.AddTask(Imei, 0, 1, 6, "BLOCK1");
  store.AddTask(Imei, 0, 2, -1, "CMD");
  store.AddTask(Imei, 100, 3, 6, "BLOCK2");

  c->Write(Ping());
  EXPECT_EQ(Text(c->Read(6)), "BLOCK1");
  EXPECT_EQ(Events(TakeToSend(2)), (std::vector<std::int32_t>{evCommandSent, evPing}));

  // The terminal acknowledges the first block; the plain command goes after it.
  c->Write(Answers(1, {0x06, 0x01, 0, 0, 0, 100}));
  EXPECT_EQ(Text(c->Read(3)), "CMD");
  const auto records = TakeToSend(2);
  ASSERT_EQ(Events(records), (std::vector<std::int32_t>{evCommandSent, evFilePos}));
  EXPECT_EQ(records[0].Rec.EventValue, 1);
  EXPECT_EQ(store.CountCommandsFor(Imei), 1);
  EXPECT_EQ(store.CountFileCommandsFor(Imei), 1) << "the second block";

  c->Write(Ping());
  EXPECT_EQ(Text(c->Read(6)), "BLOCK2");
  EXPECT_EQ(Events(TakeToSend(2)), (std::vector<std::int32_t>{evCommandSent, evPing}));
  EXPECT_EQ(store.CountFileCommandsFor(Imei), 1) << "a block stays until the terminal acknowledges it";
}

TEST_F(ServerTest, BlackListedTerminalIsRefusedAtItsFirstMessage) {
  env.parser.blackList = {"  " + Imei + " "};
  Restart();
  Client c(Port());
  c.Write(Handshake(Imei));
  EXPECT_TRUE(c.ClosedByServer()) << "no reply is written";
  EXPECT_TRUE(Logged(Imei + ": Black listed. Connection refused"));
  const auto records = TakeToSend(1);
  EXPECT_EQ(Events(records), std::vector<std::int32_t>{evDisconnect});
}

TEST_F(ServerTest, StopEndsEveryConnectionWithItsEndSteps) {
  auto a = Connect();
  auto b = Connect();
  Client silent(Port());
  ASSERT_TRUE(Eventually([&] { return server->ConnectionCount() == 3; }));

  server->Stop();
  EXPECT_EQ(server->ConnectionCount(), 0u);
  EXPECT_FALSE(server->Active());
  const auto records = Drain(toSend);
  EXPECT_EQ(Events(records), (std::vector<std::int32_t>(3, evDisconnect)));
  const auto lines = log.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Thread ended with 127.0.0.1"), 3);
  EXPECT_TRUE(a->ClosedByServer());
  EXPECT_TRUE(silent.ClosedByServer());
}

TEST_F(ServerTest, StopDuringTheCommandPauseRoutesTheBatchAndKeepsTheCommand) {
  env.cmdDelay = std::chrono::hours(1);
  Restart(1);
  Client c(Port());
  c.Write(Handshake(Imei));
  ASSERT_TRUE(Eventually([&] { return server->ConnectionCount() == 1 && log.LineCount() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let it reach the pause

  server->Stop();
  EXPECT_EQ(Events(Drain(toSend)), (std::vector<std::int32_t>{evHandshake, evDisconnect}));
  EXPECT_EQ(LineIndex("Command for " + Imei + " sent. Commands in queue  0"), -1);
  EXPECT_TRUE(c.ClosedByServer());
}

/// An upload block the test terminal never acknowledges: it is written after every
/// batch that fetches a command.
void QueueUnacknowledgedBlock(TDM& store) { store.AddTask(Imei, 0, 1, 4, "BLOCK"); }

TEST_F(ServerTest, BatchesReceivedDuringThePauseAreRoutedRightAfterTheWrite) {
  using Clock = std::chrono::steady_clock;
  constexpr auto pause = std::chrono::milliseconds(500);
  env.cmdDelay = pause;
  Restart();
  auto c = Connect();
  QueueUnacknowledgedBlock(store);

  // The records as the data channel gets them, with the time each arrived.
  constexpr int frames = 30;
  std::mutex mutex;
  std::vector<std::pair<TNTMobile, Clock::time_point>> routed;
  std::atomic<bool> done{false};
  std::thread collector([&] {
    while (!done) {
      for (TNTMobile& m : Drain(toSend)) {
        std::lock_guard lock(mutex);
        routed.emplace_back(std::move(m), Clock::now());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<Clock::time_point> sent;
  const Clock::time_point begin = Clock::now();
  for (int k = 0; k < frames; ++k) {
    std::this_thread::sleep_until(begin + k * std::chrono::milliseconds(100));
    c->Write(Avl(1, 0, ImeiNumber, 1700000000 + static_cast<std::uint32_t>(k)));
    sent.push_back(Clock::now());
  }
  Eventually([&] {
    std::lock_guard lock(mutex);
    return std::count_if(routed.begin(), routed.end(), [](const auto& r) { return r.first.Rec.Event == 0; }) == frames;
  });
  done = true;
  collector.join();
  const auto elapsed = Clock::now() - begin;

  std::vector<Clock::time_point> arrived;
  std::size_t writes = 0;
  for (const auto& [m, at] : routed) {
    if (m.Rec.Event == evCommandSent) ++writes;
    if (m.Rec.Event != 0) continue;
    ASSERT_EQ(m.Rec.GNSS.UTC, UnixToDateTimeL(1700000000 + static_cast<std::uint32_t>(arrived.size())))
        << "records in the order sent";
    arrived.push_back(at);
  }
  ASSERT_EQ(arrived.size(), static_cast<std::size_t>(frames));
  for (int k = 0; k < frames; ++k)
    EXPECT_LT(arrived[k] - sent[k], pause + std::chrono::seconds(1)) << "frame " << k << " waited for later pauses";
  // One command in flight: the batches of a pause fetch none, so there is at most
  // one write per pause.
  EXPECT_GE(writes, 1u);
  EXPECT_LE(writes, static_cast<std::size_t>(elapsed / pause) + 1);
}

TEST_F(ServerTest, EverythingSentBeforeThePeerClosesIsRoutedWhileACommandIsPending) {
  env.cmdDelay = std::chrono::milliseconds(200);
  Restart();
  auto c = Connect();
  QueueUnacknowledgedBlock(store);
  constexpr int frames = 50;
  for (int k = 0; k < frames; ++k) c->Write(Avl(1, 0, ImeiNumber, 1700000000 + static_cast<std::uint32_t>(k)));
  // Closed at once, with the server's writes unread: the server may see a reset.
  c->Close();

  std::vector<TNTMobile> records;
  ASSERT_TRUE(Eventually([&] {
    auto more = Drain(toSend);
    records.insert(records.end(), more.begin(), more.end());
    return !records.empty() && records.back().Rec.Event == evDisconnect;
  }));
  std::vector<TDateTime> times;
  for (const auto& m : records)
    if (m.Rec.Event == 0) times.push_back(m.Rec.GNSS.UTC);
  ASSERT_EQ(times.size(), static_cast<std::size_t>(frames));
  for (int k = 0; k < frames; ++k) EXPECT_EQ(times[k], UnixToDateTimeL(1700000000 + static_cast<std::uint32_t>(k)));
  EXPECT_EQ(Drain(mobiles).size(), static_cast<std::size_t>(frames));
  EXPECT_EQ(store.CountFileCommandsFor(Imei), 1) << "the block stays queued";
}

TEST_F(ServerTest, CommandInItsPauseWhenThePeerClosesIsWrittenOnTheNextConnection) {
  auto c = CommandInThePause(std::chrono::milliseconds(300));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the pause
  c->Close();
  EXPECT_EQ(Events(TakeToSend(2)), (std::vector<std::int32_t>{evPing, evDisconnect}));
  EXPECT_EQ(store.CountCommandsFor(Imei), 1);

  // The next connection's handshake reply deletes no command that was never written.
  c = Connect();
  c->Write(Ping());
  EXPECT_EQ(Text(c->Read(3)), "CMD");
  const std::string sent = "Command for " + Imei + " sent. Commands in queue  0";
  EXPECT_TRUE(Eventually([&] {
    const auto lines = log.Lines();
    return std::count(lines.begin(), lines.end(), sent) == 2;  // the first reply, then the command
  }));
}

TEST_F(ServerTest, CommandIsNotWrittenToAPeerThatClosedItsSideBeforeTheReaderSawIt) {
  auto c = CommandInThePause(std::chrono::milliseconds(300));
  // During the pause: more records than the reader holds back, so it stops reading
  // before the end of the stream, then the end itself.
  constexpr int frames = 120, perFrame = 10;
  ByteVec burst;
  for (int k = 0; k < frames; ++k) {
    const ByteVec f = Avl(perFrame, 0, ImeiNumber, 1700000000 + static_cast<std::uint32_t>(k * perFrame));
    burst.insert(burst.end(), f.begin(), f.end());
  }
  c->Write(burst);
  c->CloseSending();

  std::vector<TNTMobile> records;
  ASSERT_TRUE(Eventually([&] {
    auto more = Drain(toSend);
    records.insert(records.end(), more.begin(), more.end());
    return !records.empty() && records.back().Rec.Event == evDisconnect;
  }));
  EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const TNTMobile& m) { return m.Rec.Event == 0; }),
            frames * perFrame);
  EXPECT_TRUE(c->ClosedByServer()) << "nothing was written after the pause";
  EXPECT_EQ(store.CountCommandsFor(Imei), 1) << "the command stays queued";
}

// A terminal connects again while its old connection still stands. Whichever of the two
// holds a command, the other's write or give-back must leave the store's task alone:
// here the new connection's handshake reply is written while the old one would hold
// the task, and the old one then finds its peer gone (its reader, held back by a burst,
// has not seen the end yet).
TEST_F(ServerTest, TaskOutlivesTwoConnectionsOfOneTerminalAndIsWrittenOnce) {
  env.cmdDelay = std::chrono::milliseconds(600);
  Restart();
  auto old = Connect();
  store.AddTask(Imei, 0, 1, -1, "CMD");
  Client fresh(Port());
  fresh.Write(Handshake(Imei));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the reply is in its pause
  ByteVec burst = Ping();
  for (int k = 0; k < 120; ++k) {
    const ByteVec f = Avl(10, 0, ImeiNumber, 1700000000 + static_cast<std::uint32_t>(k * 10));
    burst.insert(burst.end(), f.begin(), f.end());
  }
  old->Write(burst);
  old->CloseSending();
  EXPECT_EQ(Text(fresh.Read(2)), "OK");
  ASSERT_TRUE(Eventually([&] {
    const auto lines = log.Lines();
    return std::count(lines.begin(), lines.end(), "Thread ended with 127.0.0.1") == 1;
  }));
  ASSERT_EQ(store.CountCommandsFor(Imei), 1) << "neither written nor deleted yet";

  fresh.Write(Ping());
  EXPECT_EQ(Text(fresh.Read(3)), "CMD");
  EXPECT_TRUE(Eventually([&] { return store.CountCommandsFor(Imei) == 0; }));
}

TEST_F(ServerTest, IncompleteMessageHeldTooLongEndsItsConnectionButSilenceDoesNot) {
  env.frameTimeout = std::chrono::milliseconds(300);
  Restart();
  auto idle = Connect();
  auto stalled = Connect();
  const ByteVec ping = Ping();
  stalled->Write(ByteVec(ping.begin(), ping.begin() + 7));
  EXPECT_TRUE(stalled->ClosedByServer());
  EXPECT_TRUE(Logged("Incomplete message time-out: 127.0.0.1"));
  EXPECT_EQ(Events(TakeToSend(1)), std::vector<std::int32_t>{evDisconnect});

  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(server->ConnectionCount(), 1u) << "a connection with nothing incomplete stays";
  idle->Write(Ping());
  EXPECT_EQ(Events(TakeToSend(1)), std::vector<std::int32_t>{evPing});
  const auto lines = log.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Incomplete message time-out: 127.0.0.1"), 1);
}

TEST_F(ServerTest, RefusedAcceptIsLoggedAndRetried) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer runtime itself needs descriptors for its checks";
#endif
  Client c(Port(), false);
  // Leave the process no free descriptor: the lowest free one becomes the limit.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  c.Connect();  // completed by the kernel; the server cannot take it yet
  const bool logged = Logged("Could not accept a connection: Too many open files");
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_TRUE(logged);

  c.Write(Handshake(Imei));
  EXPECT_EQ(Text(c.Read(2)), "OK") << "accepted once descriptors are free again";
  const auto lines = log.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Could not accept a connection: Too many open files"), 1)
      << "once per run of failures";
}

TEST_F(ServerTest, PortInUseIsReportedWithItsReason) {
  TerminalServer second(env);
  try {
    second.Start(Port(), 1);
    FAIL() << "a taken port must not be bound twice";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Could not listen at port " + std::to_string(Port())), std::string::npos);
  }
}

TEST_F(ServerTest, SnapshotShowsEveryConnectionOldestFirstWithItsTraffic) {
  const auto before = std::chrono::system_clock::now();
  Client idle(Port());
  ASSERT_TRUE(Eventually([&] { return server->Terminals().size() == 1; }));
  auto c = Connect();
  c->Write(Avl(3));
  TakeToSend(3);

  auto terminals = server->Terminals();
  ASSERT_EQ(terminals.size(), 2u);
  const TerminalInfo& silent = terminals[0];
  EXPECT_EQ(silent.id, "");
  EXPECT_EQ(silent.peer, "127.0.0.1");
  EXPECT_EQ(silent.port, idle.LocalPort());
  EXPECT_FALSE(silent.lastMessage);
  EXPECT_EQ(silent.records, 0u);
  const TerminalInfo& talking = terminals[1];
  EXPECT_EQ(talking.id, Imei);
  EXPECT_EQ(talking.port, c->LocalPort());
  EXPECT_EQ(talking.records, 4u) << "the handshake and three positions";
  EXPECT_GE(silent.connectedSince, before);
  EXPECT_GE(talking.connectedSince, silent.connectedSince);
  ASSERT_TRUE(talking.lastMessage);
  EXPECT_GE(*talking.lastMessage, talking.connectedSince);
  EXPECT_LE(*talking.lastMessage, std::chrono::system_clock::now());

  c->Close();
  ASSERT_TRUE(Eventually([&] { return server->Terminals().size() == 1; }));
  EXPECT_EQ(server->Terminals()[0].port, idle.LocalPort());
}

TEST_F(ServerTest, MetricsMoveWithTraffic) {
  ServerMetrics metrics({.dbQueueLength = [this] { return static_cast<double>(mobiles.Size()); }});
  env.metrics = &metrics;
  Restart();
  const auto delays = [&] {
    const auto counts = metrics.recordDelaySeconds.Counts();
    return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
  };

  auto c = Connect();  // the handshake's reply is a command written too
  EXPECT_EQ(metrics.terminalConnections.Value(), 1);
  store.AddTask(Imei, -1, -1, -1, "CMD");
  c->Write(Avl(3));
  EXPECT_EQ(Text(c->Read(3)), "CMD");
  TakeToSend(4);
  EXPECT_EQ(metrics.recordsReceived.Value(), 4u);
  EXPECT_EQ(metrics.commandsWritten.Value(), 2u);
  EXPECT_EQ(delays(), 2u) << "one per message";
  EXPECT_NE(metrics.registry.Render().find("\ntelvaro_db_queue_length 3\n"), std::string::npos);

  c->Write(Frame(Payload(ImeiNumber, 77, 0)));  // no record: refused
  EXPECT_TRUE(c->ClosedByServer());
  ASSERT_TRUE(Eventually([&] { return metrics.terminalConnections.Value() == 0; }));
  EXPECT_EQ(metrics.messagesRefused.Value(), 1u);
  Client garbage(Port());
  garbage.Write(ByteVec(40, 0x55));  // nothing a message can start with
  EXPECT_TRUE(garbage.ClosedByServer());
  EXPECT_TRUE(Eventually([&] { return metrics.messagesRefused.Value() == 2; }));
  EXPECT_EQ(metrics.terminalConnectionsAccepted.Value(), 2u);
  EXPECT_EQ(metrics.recordsReceived.Value(), 4u);
  EXPECT_EQ(delays(), 2u);
  // A connection's end steps still count into the metrics until the server has stopped.
  server->Stop();
}

/// Identification with a key table whose bytes never cipher a signature letter to zero.
class IdentifyTest : public ServerTest {
 protected:
  void SetUp() override {
    for (int r = 0; r < Max_KEY; ++r)
      for (int i = 0; i < Max_KEY_LEN; ++i) keys.rows[r][i] = static_cast<std::uint8_t>(0x80 + r * 3 + i);
    env.parser.keys = std::make_shared<const KeyTable>(keys);
    ServerTest::SetUp();
  }

  /// Hand-shakes, then takes the identification request written after the next batch
  /// and returns the key row it names.
  int Challenge(Client& c) {
    c.Write(Handshake(Imei));
    EXPECT_EQ(Text(c.Read(2)), "OK");
    EXPECT_TRUE(Logged("Handshake from " + Imei));
    c.Write(Ping());
    const ByteVec request = c.Read(21);
    EXPECT_EQ(request.size(), 21u);
    EXPECT_EQ(request[16], 0x02);
    EXPECT_EQ(Events(TakeToSend(4)), (std::vector<std::int32_t>{evCommandSent, evHandshake, evCommandSent, evPing}));
    return Get_Key(static_cast<std::uint16_t>(request[17] << 8 | request[18]));
  }

  KeyTable keys;
};

TEST_F(IdentifyTest, AcceptedAnswerIsOnlyLogged) {
  Client c(Port());
  const int key = Challenge(c);
  const std::string cipher = Crypt_Decrypt(keys, IdentSignature, key);
  ByteVec answer{0x02, static_cast<std::uint8_t>(0x80 | key >> 2), static_cast<std::uint8_t>(key << 6), 10};
  answer.insert(answer.end(), cipher.rbegin(), cipher.rend());
  c.Write(Concat({Answers(1, answer), Ping()}));
  EXPECT_EQ(Events(TakeToSend(1)), std::vector<std::int32_t>{evPing}) << "the answer reaches no queue";
  EXPECT_TRUE(Logged(Imei + ": Authorization OK"));
}

TEST_F(IdentifyTest, RefusalInTheMiddleOfABatchStopsItsRoutingAndEndsTheConnection) {
  Client c(Port());
  Challenge(c);
  // A text answer "OK" whose flag byte starts the identification answer, whose text
  // in turn starts a second text answer.
  c.Write(Answers(3, {0xAB, 0x04, 0x02, 0x80, 0x40, 10, 0xAB, 0x04, 0x00, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_TRUE(c.ClosedByServer());
  EXPECT_EQ(Events(TakeToSend(2)), (std::vector<std::int32_t>{evTextAnswer, evDisconnect}));
  EXPECT_TRUE(Logged(Imei + ": Answer is OK;ID=0"));
  EXPECT_TRUE(Logged(Imei + ": Wrong device. Connection refused"));
}

TEST_F(IdentifyTest, SilentTerminalIsEndedWhenItsIdentificationIsDue) {
  env.identifyLimit = std::chrono::milliseconds(300);
  Restart();
  Client c(Port());
  c.Write(Handshake(Imei));
  EXPECT_EQ(Text(c.Read(2)), "OK");
  EXPECT_TRUE(c.ClosedByServer()) << "with nothing sent after the handshake";
  const auto records = TakeToSend(3);
  ASSERT_EQ(Events(records), (std::vector<std::int32_t>{evCommandSent, evHandshake, evDisconnect}));
  EXPECT_EQ(records[2].Rec.ID.view(), Imei);
  EXPECT_TRUE(Logged("Thread ended with 127.0.0.1"));
}

TEST_F(ServerTest, SimulatedTerminalsAreServedSideBySide) {
  sim::Options o;
  o.port = Port();
  o.terminals = 5;
  o.rate = 0;
  o.keepAlive = 0.02;
  o.duration = 0.2;
  o.split = 3;
  o.splitGapMs = 1;
  o.linger = 0.05;
  // The first terminal is asked for its version and sent a file block of 4 bytes.
  const std::string first = std::to_string(o.firstImei);
  const std::uint8_t version[] = {0x0C};
  const std::uint8_t block[] = {0x06, 0x01, 0, 0, 0, 4, 0, 0, 0, 0, 0, 4, 'a', 'b', 'c', 'd'};
  store.AddTask(first, 0, 0, -1, TParserKrestel::MakeCommand(first, version).WireBytes());
  store.AddTask(first, 0, 1, 4, TParserKrestel::MakeCommand(first, block).WireBytes());
  sim::Summary s;
  sim::Run(o, s);
  EXPECT_EQ(s.versionRequests, 1u);
  // The block is written after every batch until its acknowledgement has arrived.
  EXPECT_GE(s.fileBlocks, 1u);
  EXPECT_EQ(s.answersSent, 1 + s.fileBlocks);
  EXPECT_EQ(store.CountCommandsFor(first), 0) << "the block was acknowledged";
  EXPECT_EQ(s.connected, 5u);
  EXPECT_EQ(s.handshakeReplies, 5u);
  EXPECT_EQ(s.closedByServer, 0u);
  ASSERT_TRUE(Eventually([&] { return server->ConnectionCount() == 0; }));

  std::map<std::string, std::vector<std::int32_t>> perTerminal;
  for (const TNTMobile& m : Drain(toSend)) perTerminal[m.Rec.ID.str()].push_back(m.Rec.Event);
  ASSERT_EQ(perTerminal.size(), 5u);
  std::size_t pings = 0;
  for (const auto& [id, events] : perTerminal) {
    SCOPED_TRACE(id);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0], evCommandSent);
    EXPECT_EQ(events[1], evHandshake);
    EXPECT_EQ(events.back(), evDisconnect);
    pings += static_cast<std::size_t>(std::count(events.begin(), events.end(), evPing));
    const bool asked = id == first;
    EXPECT_EQ(std::count(events.begin(), events.end(), evAskVer), asked ? 1 : 0);
    EXPECT_EQ(std::count(events.begin(), events.end(), evFileEnd), asked ? static_cast<long>(s.fileBlocks) : 0);
  }
  EXPECT_EQ(pings, s.keepAlivesSent.load());
}

// Terminals that hang up and come back, as they do when a balancer moves them, get a
// command queued for them once, and the simulator writes down what it received.
TEST_F(ServerTest, SimulatedTerminalsThatReconnectGetTheirCommandsOnce) {
  TempDir dir("telvaro-sim");
  sim::Options o;
  o.port = Port();
  o.terminals = 3;
  o.firstImei = ImeiNumber;
  o.rate = 20;
  o.records = 1;
  o.duration = 2;
  o.reconnect = 0.3;
  o.logCommands = dir.path() + "/commands";
  std::vector<std::string> expected;
  for (int i = 0; i < o.terminals; ++i) {
    const std::string id = std::to_string(ImeiNumber + static_cast<std::uint64_t>(i));
    const std::uint8_t body[] = {0x7E, static_cast<std::uint8_t>(i)};
    store.AddTask(id, -1, -1, -1, TParserKrestel::MakeCommand(id, body).WireBytes());
    expected.push_back(id + " other 7e0" + std::to_string(i));
  }
  sim::Summary s;
  sim::Run(o, s);
  EXPECT_GT(s.reconnects.load(), 3u);
  EXPECT_EQ(s.closedByServer.load(), 0u);
  EXPECT_EQ(s.otherCommands.load(), 3u);
  std::vector<std::string> got;
  std::ifstream in(o.logCommands);
  for (std::string line; std::getline(in, line);) got.push_back(line.substr(0, line.rfind(' ')));
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, expected);
}

class ProxyTest : public ServerTest {
 protected:
  void SetUp() override {
    env.proxyProtocol = true;
    Restart();
  }

  /// Waits until `line` was logged `times` times in all.
  bool LoggedTimes(const std::string& line, long times) const {
    return Eventually([&] {
      const auto lines = log.Lines();
      return std::count(lines.begin(), lines.end(), line) >= times;
    });
  }
};

// The header's address is the peer's wherever the connection names it; the bytes
// after the header, even in the same write and split anywhere, are the terminal's.
TEST_F(ProxyTest, RelayedAddressIsThePeerAndTheStreamFollowsTheHeader) {
  const auto v6 = ProxyV2(0x21, 0x21, [] {
    ByteVec b{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x07};
    b.resize(32);
    for (const std::uint8_t x : {0x9C, 0x40, 0x0F, 0xA1}) b.push_back(x);
    return b;
  }());
  struct Case {
    ByteVec header;
    const char* peer;
  };
  const Case cases[] = {
      {ProxyFrom4({10, 20, 30, 40}, 40000), "10.20.30.40"},
      {v6, "2001:db8::7"},
      {ProxyV2(0x20, 0x00, {}), "127.0.0.1"},  // a health check keeps the socket's address
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.peer);
    const ByteVec stream = Concat({c.header, Handshake(Imei)});
    Client client(Port());
    // Cut inside the header and again inside the handshake.
    const std::size_t cuts[] = {5, c.header.size() + 3, stream.size()};
    for (std::size_t from = 0, i = 0; i < 3; from = cuts[i++]) {
      client.Write(ByteVec(stream.begin() + static_cast<std::ptrdiff_t>(from),
                           stream.begin() + static_cast<std::ptrdiff_t>(cuts[i])));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(Text(client.Read(2)), "OK");
    client.Close();
    EXPECT_TRUE(Logged("Thread ended with " + std::string(c.peer)));
  }
}

TEST_F(ProxyTest, ConnectionWithoutAValidHeaderIsClosedWithALine) {
  struct Case {
    ByteVec bytes;
    const char* line;
  };
  const Case cases[] = {
      {Handshake(Imei), "No valid PROXY header from 127.0.0.1: no PROXY protocol v2 signature"},
      {ProxyV2(0x21, 0x11, ByteVec(5, 0)), "No valid PROXY header from 127.0.0.1: PROXY addresses of 5 bytes, 12 needed"},
      {ProxyV2(0x21, 0x11, {}, 4000), "No valid PROXY header from 127.0.0.1: PROXY header of 4000 bytes, at most 1024 accepted"},
  };
  long ended = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Client client(Port());
    client.Write(c.bytes);
    EXPECT_TRUE(client.ClosedByServer());
    EXPECT_TRUE(Logged(c.line));
    EXPECT_TRUE(LoggedTimes("Thread ended with 127.0.0.1", ++ended));
  }
  EXPECT_TRUE(Drain(mobiles).empty());
}

}  // namespace
}  // namespace telvaro::test
