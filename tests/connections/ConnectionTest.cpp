// The connection's steps without sockets: what the session does when a write fails,
// when the store fails, and when the command is empty.

#include "tests/connections/TestSupport.h"

namespace telvaro::test {
namespace {

class ConnectionTest : public ::testing::Test {
 protected:
  /// Parses `message` and fetches its command, as the session does.
  std::optional<TCmd> Batch(TerminalConnection& c, const ByteVec& message) {
    EXPECT_TRUE(c.Parse(message));
    return c.FetchCommand();
  }

  OperatorLog log;
  TempTaskStore tasks;
  TDM& store = tasks.dm;
  DiskFileSink files;
  RecordQueue mobiles, toSend;
  ConnectionEnv env = TestEnv(log, store, files, mobiles, toSend);
};

TEST_F(ConnectionTest, CommandWhoseWriteFailedIsWrittenAfterTheNextBatch) {
  TerminalConnection c(env, "10.0.0.1");
  store.AddTask(Imei, 0, 1, -1, "TASK");

  // The pending reply to the handshake.
  auto cmd = Batch(c, Handshake(Imei));
  ASSERT_TRUE(cmd);
  c.CommandFailed(*cmd, "Broken pipe");
  EXPECT_TRUE(c.Route());
  EXPECT_EQ(Appended(log).front(), "Exception when sending a command to " + Imei + " Broken pipe");
  cmd = Batch(c, Ping());
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->WireBytes(), "OK") << "still first in the pending list";
  c.CommandWritten(*cmd);
  EXPECT_TRUE(c.Route());

  // A task from the store stays there, taken, and is handed out again.
  cmd = Batch(c, Ping());
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->WireBytes(), "TASK");
  c.CommandFailed(*cmd, "Broken pipe");
  EXPECT_TRUE(c.Route());
  EXPECT_EQ(store.CountCommandsFor(Imei), 1);
  cmd = Batch(c, Ping());
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->WireBytes(), "TASK");
  c.CommandWritten(*cmd);
  EXPECT_EQ(store.CountCommandsFor(Imei), 0);

  const auto sent = Drain(toSend);
  EXPECT_EQ(std::count_if(sent.begin(), sent.end(), [](const TNTMobile& m) { return m.Rec.Event == evCommandSent; }), 2)
      << "only written commands are announced";
}

TEST_F(ConnectionTest, BatchesHeldDuringAWriteAreRoutedInOrderAfterTheCommandsBatch) {
  TerminalConnection c(env, "10.0.0.1");
  auto cmd = Batch(c, Handshake(Imei));
  ASSERT_TRUE(cmd);
  // The session parses on while the reply waits for its pause, fetching nothing.
  ASSERT_TRUE(c.Parse(Ping()));
  ASSERT_TRUE(c.Parse(Avl(2)));
  EXPECT_EQ(c.HeldRecords(), 4u);
  EXPECT_TRUE(toSend.Size() == 0 && log.LineCount() == 1) << "nothing routed before the write";
  c.CommandWritten(*cmd);
  EXPECT_TRUE(c.Route());
  EXPECT_EQ(c.HeldRecords(), 0u);
  const auto sent = Drain(toSend);
  EXPECT_EQ(Events(sent), (std::vector<std::int32_t>{evCommandSent, evHandshake, evPing, 0, 0}));
  EXPECT_EQ(Drain(mobiles).size(), 2u) << "each batch keeps its own parse result";
  EXPECT_FALSE(c.Parse(ByteVec(20, 0x55)));
  EXPECT_EQ(c.HeldRecords(), 0u) << "a message without records holds nothing";
}

TEST_F(ConnectionTest, FailedFetchIsLoggedAndTheBatchStillRouted) {
  TerminalConnection c(env, "10.0.0.1");
  store.Close();
  EXPECT_FALSE(Batch(c, Ping()));
  EXPECT_TRUE(c.Route());
  EXPECT_EQ(Appended(log).front().rfind("Exception in getting command for device ", 0), 0u);
  EXPECT_EQ(Events(Drain(toSend)), std::vector<std::int32_t>{evPing});
}

TEST_F(ConnectionTest, EmptyCommandWritesNothingYetIsBookedAndAnnounced) {
  TerminalConnection c(env, "10.0.0.1");
  store.AddTask(Imei, 0, 1, -1, "");
  auto cmd = Batch(c, Ping());
  ASSERT_TRUE(cmd);
  EXPECT_TRUE(cmd->WireBytes().empty());
  c.CommandWritten(*cmd);
  EXPECT_EQ(store.CountCommandsFor(Imei), 0);
  EXPECT_EQ(Appended(log).front(), "Command for " + Imei + " sent. Commands in queue  0");
  EXPECT_EQ(Events(Drain(toSend)), std::vector<std::int32_t>{evCommandSent});
}

TEST_F(ConnectionTest, EndAnnouncesTheLatestIdentity) {
  TerminalConnection c(env, "192.0.2.7");
  c.End();
  ASSERT_TRUE(c.Parse(Ping(1)));
  ASSERT_TRUE(c.Parse(Ping(ImeiNumber)));
  c.End();
  const auto sent = Drain(toSend);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(sent[0].Rec.ID.empty());
  EXPECT_EQ(sent[1].Rec.ID.view(), Imei);
  EXPECT_EQ(Appended(log), (std::vector<std::string>{"Thread ended with 192.0.2.7", "Thread ended with 192.0.2.7"}));
}

TEST_F(ConnectionTest, SwitchingToABlackListedIdIsRefused) {
  env.parser.blackList = {Imei};
  TerminalConnection c(env, "10.0.0.1");
  ASSERT_TRUE(c.Parse(Ping(1)));
  EXPECT_TRUE(c.Route());
  EXPECT_FALSE(c.Parse(Ping(ImeiNumber)));
  EXPECT_EQ(Appended(log).back(), Imei + ": Black listed. Connection refused");
}

/// The data module, writing down which terminals connections hold.
struct HoldingStore : TaskStore {
  explicit HoldingStore(TaskStore& s) : store(s) {}
  void AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
               std::string_view cmd) override {
    store.AddTask(id, offset, blkNum, blkSize, cmd);
  }
  TaskBlock GetFirstTaskBlock(std::string_view id) override { return store.GetFirstTaskBlock(id); }
  void DelTask(std::string_view id) noexcept override { store.DelTask(id); }
  void DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) override {
    store.DelOldTaskBlocksOffset(id, offset);
  }
  void StopFileTransmit(std::string_view id) override { store.StopFileTransmit(id); }
  int CountCommandsFor(std::string_view id) override { return store.CountCommandsFor(id); }
  int CountFileCommandsFor(std::string_view id) override { return store.CountFileCommandsFor(id); }
  void ReleaseTaken(std::string_view id) noexcept override { store.ReleaseTaken(id); }
  std::vector<QueuedTask> ListTasks(std::string_view id) override { return store.ListTasks(id); }
  RemovedTasks RemoveTasks(std::string_view id) override { return store.RemoveTasks(id); }
  std::optional<QueuedTask> RemoveTask(std::string_view id, std::int64_t n) override {
    return store.RemoveTask(id, n);
  }
  void AddFuelEvent(const FuelEvent& e) override { store.AddFuelEvent(e); }
  void AddTogether(const std::function<void()>& add) override { store.AddTogether(add); }
  void Hold(std::string_view id) noexcept override { calls.push_back("Hold " + std::string(id)); }
  void Release(std::string_view id) noexcept override { calls.push_back("Release " + std::string(id)); }

  TaskStore& store;
  std::vector<std::string> calls;
};

// A terminal that reconnects while its old connection still stands: the old one gives
// back the command it fetched when its peer turns out gone. Neither that give-back nor
// the new connection's handshake reply may touch the command the other connection
// holds, or it is written twice or lost.
TEST_F(ConnectionTest, TwoConnectionsOfOneTerminalNeverHoldItsCommandAtOnce) {
  CommandClaims claims;
  env.claims = &claims;
  TerminalConnection old(env, "10.0.0.1"), fresh(env, "10.0.0.2");
  auto cmd = Batch(old, Handshake(Imei));
  ASSERT_TRUE(cmd);
  old.CommandWritten(*cmd);
  ASSERT_TRUE(old.Route());
  store.AddTask(Imei, -1, -1, -1, "FIRST");
  ASSERT_TRUE(Batch(old, Ping()));

  cmd = Batch(fresh, Handshake(Imei));
  ASSERT_TRUE(cmd) << "the reply of the new connection's own handshake goes at once";
  EXPECT_EQ(cmd->WireBytes(), "OK");
  fresh.CommandWritten(*cmd);
  ASSERT_TRUE(fresh.Route());
  EXPECT_FALSE(Batch(fresh, Ping())) << "the task is the old connection's now";
  ASSERT_TRUE(fresh.Route());
  old.CommandNotWritten();
  ASSERT_TRUE(old.Route());

  cmd = Batch(fresh, Ping());
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->WireBytes(), "FIRST");
  fresh.CommandWritten(*cmd);
  ASSERT_TRUE(fresh.Route());
  EXPECT_EQ(store.CountCommandsFor(Imei), 0);
  EXPECT_FALSE(Batch(fresh, Ping())) << "written once";
  ASSERT_TRUE(fresh.Route());

  // A connection that ends with a command fetched gives it back for the other.
  store.AddTask(Imei, -1, -1, -1, "SECOND");
  ASSERT_TRUE(Batch(old, Ping()));
  old.End();
  cmd = Batch(fresh, Ping());
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->WireBytes(), "SECOND");
}

// The store hands a terminal's tasks to the process that holds it, so every way a
// connection stops serving an ID must release it, exactly once.
TEST_F(ConnectionTest, TheStoreIsToldWhichTerminalTheConnectionServes) {
  HoldingStore holding(store);
  env.store = &holding;
  env.parser.blackList = {"3"};
  {
    TerminalConnection c(env, "10.0.0.1");
    ASSERT_TRUE(c.Parse(Handshake(Imei)));
    ASSERT_TRUE(c.Parse(Ping()));  // the same ID again
    ASSERT_TRUE(c.Parse(Ping(2)));
    c.End();
    c.End();
  }
  {
    TerminalConnection c(env, "10.0.0.2");
    ASSERT_TRUE(c.Parse(Ping(1)));
    EXPECT_FALSE(c.Parse(Ping(3)));  // refused: never held
  }  // no End: the connection still lets go of its terminal
  EXPECT_EQ(holding.calls, (std::vector<std::string>{"Hold " + Imei, "Release " + Imei, "Hold 2", "Release 2",
                                                     "Hold 1", "Release 1"}));
}

TEST_F(ConnectionTest, UnansweredIdentificationEndsTheConnectionAfterThirtySeconds) {
  env.parser.keys = std::make_shared<const KeyTable>();
  for (const int seconds : {29, 31}) {
    SCOPED_TRACE(seconds);
    TerminalConnection c(env, "10.0.0.1");
    ASSERT_TRUE(c.Parse(Handshake(Imei)));
    EXPECT_EQ(c.Parser().Commands.size(), 2u) << "the reply, then the identification request";
    ASSERT_NE(c.Parser().IdentSentAt, 0);
    c.Parser().IdentSentAt -= seconds / 86400.0;
    EXPECT_EQ(c.Parse(Ping()), seconds < 30);
  }
}

TEST_F(ConnectionTest, WithoutAKeyTableNoRequestIsMade) {
  TerminalConnection c(env, "10.0.0.1");
  ASSERT_TRUE(c.Parse(Handshake(Imei)));
  EXPECT_EQ(c.Parser().Commands.size(), 1u);
  EXPECT_EQ(c.Parser().IdentSentAt, 0);
}

}  // namespace
}  // namespace telvaro::test
