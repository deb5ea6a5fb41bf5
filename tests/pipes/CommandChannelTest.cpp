#include <fstream>
#include <sstream>

#include "pipes/CommandChannel.h"
#include "pipes/PipeClient.h"
#include "protocol/TerminalParser.h"
#include "tests/pipes/FakeStore.h"
#include "tests/pipes/PipeTestUtil.h"

namespace telvaro {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::FakeStore;

/// A request record; bytes past each field's length are filled so that a reply that
/// does not copy them shows.
TCmdRec Request(std::string_view uid, std::string_view cmd, std::string_view devType = "dev") {
  TCmdRec r;
  std::memset(&r, 0xA5, sizeof r);
  r.DevType.assign(devType);
  r.UID.assign(uid);
  r.CMD.assign(cmd);
  return r;
}

Bytes Message(const TCmdRec& r, const Bytes& file = {}) {
  Bytes m(sizeof r + file.size());
  std::memcpy(m.data(), &r, sizeof r);
  std::copy(file.begin(), file.end(), m.begin() + sizeof r);
  return m;
}

Bytes FileBytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % 251);
  return b;
}

class CommandChannelTest : public test::PipeFixture {
 protected:
  CommandChannelTest()
      : cs_(main_, Options()), channel_(store_, [this](std::string_view r) {
          reportRequests_.emplace_back(r);
          return "<tr><td>" + std::to_string(reportRequests_.size()) + "</td></tr>";
        }, log_, {1024, dir_.withSlash()}) {
    cs_.SetPipeName("CmdPipe");
    channel_.Attach(cs_);
    cs_.SetActive(true);
    client_.emplace(PipeSocketPath(dir_.path(), "CmdPipe"));
  }

  /// Sends `msg` and runs the main loop until the server has handled it.
  void Handle(const Bytes& msg, bool whole = false) {
    bool done = false;
    auto handler = cs_.OnPipeMessage;
    cs_.OnPipeMessage = [&](TPipeServer& s, PipeHandle p, TPipeStream& st) {
      done = true;  // also when the handler throws; run_one returns after it either way
      handler(s, p, st);
    };
    whole ? test::SendWhole(client_->Handle(), msg) : client_->Send(msg);
    RunUntil([&] { return done; });
    cs_.OnPipeMessage = handler;
  }
  /// Operator log lines after the initial empty one.
  std::vector<std::string> Lines() const {
    auto l = log_.Lines();
    l.erase(l.begin());
    return l;
  }

  OperatorLog log_;
  FakeStore store_;
  std::vector<std::string> reportRequests_;
  TPipeServer cs_;
  TCommandChannel channel_;
  std::optional<TPipeClient> client_;
};

TEST_F(CommandChannelTest, RequestKinds) {
  struct Case {
    const char* name;
    Bytes msg;
    std::vector<std::string> calls;
    std::vector<std::string> lines;
    std::size_t reports;
  };
  const Bytes full = Message(Request("123", "setdigout 1"));
  const Case cases[] = {
      {"767 bytes", Bytes(full.begin(), full.end() - 1), {}, {}, 0},
      {"empty UID", Message(Request("", "REPORT*01.01.2024*02.01.2024*")), {}, {}, 0},
      {"command", full, {"AddTask 123"}, {"Got command for 123"}, 0},
      {"d before a report", Message(Request("123", "dREPORT*01.01.2024*")), {"StopFileTransmit 123"}, {}, 0},
      {"f before a report",
       Message(Request("123", "f 0  3 REPORT*"), FileBytes(3)),
       {"DelTask 123", "AddTask 123"},
       {"Got file for 123 type=0 size=0"},
       0},
      {"report after other text", Message(Request("123", "please REPORT*01.01.2024*02.01.2024*")), {}, {}, 1},
      {"lower case is a command", Message(Request("123", "report*01.01.2024*02.01.2024*")), {"AddTask 123"},
       {"Got command for 123"}, 0},
      {"f with empty CMD length", Message([] {
         auto r = Request("123", "f 5  1");
         r.CMD.len = 0;
         return r;
       }()),
       {"DelTask 123", "AddTask 123"}, {"Got file for 123 type=5 size=0"}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store_.calls.clear();
    reportRequests_.clear();
    const auto before = Lines().size();
    Handle(c.msg);
    EXPECT_EQ(store_.calls, c.calls);
    const auto lines = Lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()), c.lines);
    EXPECT_EQ(reportRequests_.size(), c.reports);
  }
  EXPECT_EQ(store_.tasks[0].cmd, "setdigout 1");
  EXPECT_EQ(store_.tasks[0].offset, -1);
  EXPECT_EQ(store_.tasks[0].blkNum, -1);
  EXPECT_EQ(store_.tasks[0].blkSize, -1);
}

TEST_F(CommandChannelTest, ReportReplyAndFile) {
  const TCmdRec req = Request("356307042441013", "REPORT*01.01.2024*31.01.2024*", "dispatch");
  Handle(Message(req));
  const auto reply = client_->Receive();
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 768u);
  TCmdRec got;
  std::memcpy(&got, reply->data(), sizeof got);
  EXPECT_EQ(std::memcmp(&got.DevType, &req.DevType, 256), 0);
  EXPECT_EQ(std::memcmp(&got.UID, &req.UID, 256), 0);
  const std::string path = dir_.path() + "/fuel.htm";
  EXPECT_EQ(got.CMD.str(), path);
  EXPECT_EQ(reportRequests_, std::vector<std::string>{"REPORT*01.01.2024*31.01.2024*"});
  auto read = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(), "<tr><td>1</td></tr>\r\n");
  Handle(Message(req));
  EXPECT_TRUE(client_->Receive());
  EXPECT_EQ(read(), "<tr><td>2</td></tr>\r\n");  // overwritten
}

TEST_F(CommandChannelTest, UploadIsCutIntoBlocks) {
  Bytes file = FileBytes(2500);
  Bytes withExtra = file;
  withExtra.insert(withExtra.end(), 100, 0xEE);  // past the declared size: ignored
  Handle(Message(Request("777", "f 3  2500"), withExtra));
  EXPECT_EQ(Lines(), std::vector<std::string>{"Got file for 777 type=3 size=2500"});
  EXPECT_EQ(store_.calls, (std::vector<std::string>{"DelTask 777", "AddTask 777", "AddTask 777", "AddTask 777"}));
  const Bytes headers[] = {{0x06, 0x03, 0x00, 0x00, 0x09, 0xC4, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00},
                           {0x06, 0x03, 0x00, 0x00, 0x09, 0xC4, 0x00, 0x00, 0x04, 0x00, 0x04, 0x00},
                           {0x06, 0x03, 0x00, 0x00, 0x09, 0xC4, 0x00, 0x00, 0x08, 0x00, 0x01, 0xC4}};
  ASSERT_EQ(store_.tasks.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    const auto& t = store_.tasks[i];
    EXPECT_EQ(t.id, "777");
    EXPECT_EQ(t.offset, 1024 * i);
    EXPECT_EQ(t.blkNum, i);
    EXPECT_EQ(t.blkSize, i < 2 ? 1024 : 452);
    std::string block(headers[i].begin(), headers[i].end());
    block.append(file.begin() + 1024 * i, file.begin() + 1024 * i + t.blkSize);
    EXPECT_EQ(t.cmd, TParserKrestel::MakeCommand("777", AsBytes(block)).Fpart);
  }
}

TEST_F(CommandChannelTest, UploadEdges) {
  struct Case {
    const char* name;
    std::string cmd;
    std::size_t fileBytes;
    std::vector<std::int32_t> blockSizes;
    std::string header;  // of the first block
  };
  const Case cases[] = {
      {"exactly one block", "f 1  1024", 1024, {1024}, std::string("\x06\x01\0\0\x04\0\0\0\0\0\x04\0", 12)},
      {"one byte more", "f 1  1025", 1025, {1024, 1}, std::string("\x06\x01\0\0\x04\x01\0\0\0\0\x04\0", 12)},
      {"type 7 is the byte 7", "f 7  10", 10, {10}, std::string("\x06\x07\0\0\0\x0A\0\0\0\0\0\x0A", 12)},
      {"declared size 0", "f 2  0", 5, {0}, std::string("\x06\x02\0\0\0\0\0\0\0\0\0\0", 12)},
      {"size not a number", "f 2  12x", 5, {0}, std::string("\x06\x02\0\0\0\0\0\0\0\0\0\0", 12)},
      {"blanks before the size", "f 3    +10", 10, {10}, std::string("\x06\x03\0\0\0\x0A\0\0\0\0\0\x0A", 12)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    store_.tasks.clear();
    Handle(Message(Request("9", c.cmd), FileBytes(c.fileBytes)));
    ASSERT_EQ(store_.tasks.size(), c.blockSizes.size());
    for (std::size_t i = 0; i < c.blockSizes.size(); ++i) EXPECT_EQ(store_.tasks[i].blkSize, c.blockSizes[i]);
    EXPECT_EQ(store_.tasks[0].cmd.substr(16, 12), c.header);
  }
  // The second block of BLK_SIZE + 1 bytes starts at BLK_SIZE.
  store_.tasks.clear();
  Handle(Message(Request("9", "f 1  1025"), FileBytes(1025)));
  EXPECT_EQ(store_.tasks[1].offset, 1024);
}

TEST_F(CommandChannelTest, ErrorsAreLoggedAndServingGoesOn) {
  const struct {
    const char* name;
    Bytes msg;
  } bad[] = {
      {"type not a digit", Message(Request("5", "f x  3"), FileBytes(3))},
      {"negative size", Message(Request("5", "f 1  -3"), FileBytes(3))},
      {"file shorter than declared", Message(Request("5", "f 1  30"), FileBytes(29))},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    store_.calls.clear();
    Handle(b.msg);
    EXPECT_TRUE(store_.calls.empty()) << "nothing deleted or stored";
    EXPECT_EQ(Lines().back().rfind("Command channel error: ", 0), 0u) << Lines().back();
  }
  Handle(Message(Request("5", "ping")));
  EXPECT_EQ(Lines().back(), "Got command for 5");
}

TEST_F(CommandChannelTest, LongRequestWholeOrFramedGivesTheSameResult) {
  const Bytes msg = Message(Request("42", "f 4  99232"), FileBytes(100000 - 768));
  ASSERT_EQ(msg.size(), 100000u);
  Handle(msg, /*whole=*/true);
  const auto first = store_.tasks;
  store_.tasks.clear();
  Handle(msg);
  EXPECT_EQ(store_.tasks.size(), 97u);
  ASSERT_EQ(first.size(), store_.tasks.size());
  for (std::size_t i = 0; i < first.size(); ++i) EXPECT_EQ(first[i].cmd, store_.tasks[i].cmd);
  EXPECT_EQ(Lines(), std::vector<std::string>(2, "Got file for 42 type=4 size=99232"));
}

TEST_F(CommandChannelTest, UidIsEscapedInTheLog) {
  Handle(Message(Request("\x1b[2J\xC0", "x")));
  EXPECT_EQ(Lines().back(), "Got command for \\x1B[2J\xD0\x90");
}

}  // namespace
}  // namespace telvaro
