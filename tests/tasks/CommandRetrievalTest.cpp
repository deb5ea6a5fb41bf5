#include "protocol/ParserBase.h"
#include "tests/tasks/TaskDbFixture.h"

namespace telvaro {
namespace {

using testing::Engine;
using testing::TaskDb;

constexpr std::string_view Imei = "352093081234567";

class CommandRetrieval : public TaskDb {
 protected:
  void SetUp() override {
    TaskDb::SetUp();
    dm_.Hold(Imei);
  }

  static TNTMobile Record(std::int32_t event = 0) {
    TNTMobile m;
    m.Rec.ID.assign(Imei);
    m.Rec.Event = event;
    return m;
  }

  static TCmd Pending(std::string_view bytes) {
    TCmd c;
    c.Rec.CMD.assign(bytes);
    return c;
  }

  ParserContext context_;
  TParser parser_{context_, &dm_};
};

TEST_P(CommandRetrieval, PendingReplyComesFirstAndLeavesTheStoreAlone) {
  dm_.AddTask(Imei, -1, -1, -1, "stored");
  parser_.Commands.push_back(Pending("reply"));

  for (const std::int32_t event : {0, static_cast<std::int32_t>(evHandshake)}) {
    const auto cmd = parser_.GetCommandIfExist(Record(event));
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->Rec.CMD.view(), "reply");
  }
  EXPECT_EQ(parser_.Commands.size(), 1u);
  dm_.DelTask(Imei);  // the stored task was not taken, so it stays
  EXPECT_EQ(parser_.CommandsCount(Imei), 2);

  parser_.DelCommand();
  EXPECT_EQ(parser_.CommandsCount(Imei), 1);
  parser_.DelCommand();  // nothing pending: no effect
  EXPECT_EQ(parser_.CommandsCount(Imei), 1);
  EXPECT_EQ(parser_.GetCommandIfExist(Record())->Rec.CMD.view(), "stored");
}

TEST_P(CommandRetrieval, HandshakeRecordGetsNothingFromTheStore) {
  dm_.AddTask(Imei, -1, -1, -1, "stored");
  EXPECT_FALSE(parser_.GetCommandIfExist(Record(evHandshake)));
  dm_.DelTask(Imei);
  EXPECT_EQ(dm_.CountCommandsFor(Imei), 1);
}

TEST_P(CommandRetrieval, StoredBytesGoToCmdUpTo255AndToFpartBeyond) {
  struct Case {
    std::size_t size;
    bool inFpart;
  };
  for (const Case c : {Case{0, false}, Case{1, false}, Case{255, false}, Case{256, true}, Case{5000, true}}) {
    SCOPED_TRACE(c.size);
    std::string bytes(c.size, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
    dm_.AddTask(Imei, -1, -1, -1, bytes);

    const auto cmd = parser_.GetCommandIfExist(Record());
    ASSERT_TRUE(cmd);
    EXPECT_EQ(cmd->Rec.CMD.view(), c.inFpart ? "" : bytes);
    EXPECT_EQ(cmd->Fpart, c.inFpart ? bytes : "");
    EXPECT_EQ(cmd->WireBytes(), bytes);
    EXPECT_EQ(cmd->Rec.UID.view(), Imei);
    EXPECT_TRUE(cmd->Rec.DevType.empty());
    dm_.DelTask(Imei);
  }
  EXPECT_FALSE(parser_.GetCommandIfExist(Record()));
}

TEST_P(CommandRetrieval, TaskWhoseWriteFailedIsFetchedAgain) {
  dm_.AddTask(Imei, -1, -1, -1, "one");
  dm_.AddTask(Imei, -1, -1, -1, "two");
  EXPECT_EQ(parser_.GetCommandIfExist(Record())->Rec.CMD.view(), "one");
  // No DelTask: the write failed.
  EXPECT_EQ(parser_.GetCommandIfExist(Record())->Rec.CMD.view(), "one");
  dm_.DelTask(Imei);
  EXPECT_EQ(parser_.GetCommandIfExist(Record())->Rec.CMD.view(), "two");
  EXPECT_EQ(parser_.CommandsCount(Imei), 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, CommandRetrieval, ::testing::Values(Engine::Sqlite, Engine::Postgres),
                         testing::EngineName);

}  // namespace
}  // namespace telvaro
