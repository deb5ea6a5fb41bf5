#include <cstdio>
#include <fstream>
#include <future>

#include <fmt/format.h>

#include "protocol/TerminalParser.h"
#include "queues/NamedEvent.h"
#include "pipes/CommandChannel.h"
#include "pipes/DataChannel.h"
#include "tasks/TaskDatabase.h"
#include "tests/pipes/FakeStore.h"
#include "tests/pipes/PipeTestUtil.h"

namespace telvaro {
namespace {

struct Result {
  int status;
  std::string out;
};

/// Runs telvaroctl on the pipes in `pipeDir` with `args` on another thread, so that the
/// main loop can serve it.
std::future<Result> Ctl(const std::string& pipeDir, const std::string& args) {
  const std::string cmd = std::string(TELVAROCTL) + " --pipe-dir " + pipeDir + " " + args + " 2>/dev/null";
  return std::async(std::launch::async, [cmd] {
    Result r{-1, {}};
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
  });
}

/// Both pipes of the server with the command channel over a fake store and the data channel.
class TelvaroctlTest : public test::PipeFixture {
 protected:
  TelvaroctlTest()
      : cs_(main_, Options()),
        ps_(main_, Options()),
        channel_(store_, [](std::string_view) { return "<tr>rows</tr>"; }, log_, {1024, dir_.withSlash()}),
        clients_(queue_) {
    cs_.SetPipeName("CmdPipe");
    ps_.SetPipeName("TelvaroPipe");
    channel_.Attach(cs_);
    cs_.SetActive(true);
    ps_.SetActive(true);
    clients_.SetPipe(&ps_);
    clients_.Start();
  }
  ~TelvaroctlTest() override { clients_.Stop(); }

  std::future<Result> Ctl(const std::string& args) { return telvaro::Ctl(dir_.path(), args); }
  Result Wait(std::future<Result> f) {
    RunUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return f.get();
  }

  OperatorLog log_;
  test::FakeStore store_;
  RecordQueue queue_;
  TPipeServer cs_, ps_;
  TCommandChannel channel_;
  TClientsThread clients_;
};

/// The command pipe over the real task database in the temporary directory.
class PipeFixtureWithDatabase : public test::PipeFixture {
 protected:
  PipeFixtureWithDatabase()
      : cs_(main_, Options()),
        channel_(dm_, [this](std::string_view r) { return dm_.GetFuelReport(r); }, log_, {1024, dir_.withSlash()}) {
    dm_.Open(Path("upd_sw.mdb"));
    cs_.SetPipeName("CmdPipe");
    channel_.Attach(cs_);
    cs_.SetActive(true);
  }
  std::future<Result> Ctl(const std::string& args) { return telvaro::Ctl(dir_.path(), args); }
  Result Wait(std::future<Result> f) {
    RunUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return f.get();
  }

  OperatorLog log_;
  TDM dm_;
  TPipeServer cs_;
  TCommandChannel channel_;
};

TEST_F(TelvaroctlTest, CommandUploadStopReport) {
  EXPECT_EQ(Wait(Ctl("command 356307042441013 'setdigout 1'")).status, 0);
  RunUntil([&] { return store_.tasks.size() == 1; });
  EXPECT_EQ(store_.tasks[0].cmd, "setdigout 1");

  const std::string file = Path("fw.bin");
  std::ofstream(file, std::ios::binary) << std::string(2500, 'x');
  EXPECT_EQ(Wait(Ctl("upload 356307042441013 3 " + file)).status, 0);
  RunUntil([&] { return store_.tasks.size() == 4; });
  EXPECT_EQ(store_.tasks[3].blkSize, 452);

  EXPECT_EQ(Wait(Ctl("stop 356307042441013")).status, 0);
  RunUntil([&] { return store_.calls.back() == "StopFileTransmit 356307042441013"; });

  const auto report = Wait(Ctl("report 01.01.2024 31.01.2024"));
  EXPECT_EQ(report.status, 0);
  EXPECT_EQ(report.out, Path("fuel.htm") + "\n<tr>rows</tr>\r\n");

  const auto lines = log_.Lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
            (std::vector<std::string>{"Got command for 356307042441013",
                                      "Got file for 356307042441013 type=3 size=2500"}));
  EXPECT_EQ(Wait(Ctl("upload 1 x " + file)).status, 2);
  EXPECT_EQ(Wait(Ctl("frobnicate")).status, 2);

  // Command texts the server would take for an upload, a stop or a report are refused
  // instead of being sent as something else.
  const auto calls = store_.calls.size();
  for (const char* text : {"dump", "fwupdate", "'get REPORT*1'"})
    EXPECT_EQ(Wait(Ctl(std::string("command 356307042441013 ") + text)).status, 2) << text;
  EXPECT_EQ(Wait(Ctl("command 356307042441013 getver")).status, 0);
  RunUntil([&] { return store_.calls.size() > calls; });
  EXPECT_EQ(store_.calls.size(), calls + 1);
  EXPECT_EQ(store_.tasks.back().cmd, "getver");
}

TEST_F(TelvaroctlTest, CommandChecksTheIdAndQueuesTextHexOrAFrame) {
  const std::string imei = "356307042441013";
  const auto frame = [&](std::string_view bytes) {
    return std::string(TParserKrestel::MakeCommand(imei, AsBytes(bytes)).WireBytes());
  };
  struct Case {
    std::string args;
    int status;
    std::string id = {};   ///< the task's terminal, when queued
    std::string cmd = {};  ///< the task's bytes
  };
  const Case cases[] = {
      {"command 35630704244101 getver", 2},
      {"command 35630704244101x getver", 2},
      {"command 7 getver --any-id", 0, "7", "getver"},
      {"command " + imei + " --hex '0c 01'", 0, imei, "\x0C\x01"},
      {"command " + imei + " --hex 0C:FF", 0, imei, "\x0C\xFF"},
      {"command " + imei + " --hex 0c1", 2},
      {"command " + imei + " --hex 0g", 2},
      {"command " + imei + " --hex 64", 2},  // "d": the server would take it for a stop request
      {"command " + imei + " ''", 2},
      {"command " + imei + " --frame --hex 0C", 0, imei, frame("\x0C")},
      {"command " + imei + " --frame getver", 0, imei, frame("getver")},
      {"command " + imei + " --frame " + std::string(237, 'x'), 0, imei, frame(std::string(237, 'x'))},
      {"command " + imei + " --frame " + std::string(238, 'x'), 2},
      {"command " + imei + " " + std::string(256, 'x'), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.substr(0, 60));
    const std::size_t before = store_.tasks.size();
    const Result r = Wait(Ctl(c.args));
    EXPECT_EQ(r.status, c.status);
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
      Drain();
      EXPECT_EQ(store_.tasks.size(), before);
      continue;
    }
    RunUntil([&] { return store_.tasks.size() > before; });
    ASSERT_EQ(store_.tasks.size(), before + 1);
    EXPECT_EQ(store_.tasks.back().id, c.id);
    EXPECT_EQ(store_.tasks.back().cmd, c.cmd);
    std::string hex;
    for (const unsigned char b : c.cmd) hex += fmt::format(" {:02X}", b);
    EXPECT_EQ(r.out, fmt::format("Queued for {}: {} bytes:{}\n", c.id, c.cmd.size(), hex));
  }
  // A refused command would have shown as one task too many on the next case.
}

TEST_F(TelvaroctlTest, TailPrintsRecordsAsJsonLines) {
  auto tail = Ctl("tail --json --count 2");
  RunUntil([&] { return ps_.ClientCount() == 1; });
  for (int i = 1; i <= 2; ++i) {
    TNTMobile m;
    m.Rec.ID.assign("35630704244101" + std::to_string(i));
    m.Rec.Event = 1000 + i;
    m.Rec.Fl(66) = true;
    m.Rec.Io(66) = 12345;
    m.Rec.ParamString.assign("a\"b\xC0");
    queue_.Add(m);
  }
  SetNamedEvent(ClientsEventName);
  const auto r = Wait(std::move(tail));
  EXPECT_EQ(r.status, 0);
  std::istringstream lines(r.out);
  std::string line;
  for (int i = 1; i <= 2; ++i) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_NE(line.find("\"ID\":\"35630704244101" + std::to_string(i) + "\",\"Event\":100" + std::to_string(i)),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"ParamString\":\"a\\\"b\xD0\x90\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"IO\":{\"66\":12345}"), std::string::npos) << line;
  }
}

TEST_F(TelvaroctlTest, TailPrintsRecordLines) {
  auto tail = Ctl("--home " + dir_.path() + " tail --count 1");
  RunUntil([&] { return ps_.ClientCount() == 1; });
  // A message that is not a record is skipped and does not count.
  const std::uint8_t notARecord[10] = {};
  ASSERT_TRUE(ps_.Write(ps_.ClientList()[0], notARecord));
  TNTMobile m;
  m.Rec.ID.assign("356307042441013");
  m.Rec.Event = evPing;
  queue_.Add(m);
  SetNamedEvent(ClientsEventName);
  const auto r = Wait(std::move(tail));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, m.Print(RenderOptions{}) + "\n");
}

TEST_F(PipeFixtureWithDatabase, UploadAndReportThroughTheTaskDatabase) {
  const std::string file = Path("cfg.bin");
  std::ofstream(file, std::ios::binary) << std::string(2500, 'c');
  EXPECT_EQ(Wait(Ctl("upload 356307042441013 3 " + file)).status, 0);
  RunUntil([&] { return log_.LineCount() == 2; });
  EXPECT_EQ(dm_.CountFileCommandsFor("356307042441013"), 3);
  const auto first = dm_.GetFirstTaskBlock("356307042441013");
  EXPECT_EQ(first.CMD.substr(16, 12), std::string("\x06\x03\0\0\x09\xC4\0\0\0\0\x04\0", 12));

  EXPECT_EQ(Wait(Ctl("stop 356307042441013")).status, 0);
  RunUntil([&] { return dm_.CountFileCommandsFor("356307042441013") == 0; });

  const auto report = Wait(Ctl("report 01.01.2024 31.01.2024"));
  EXPECT_EQ(report.status, 0);
  EXPECT_EQ(report.out.substr(0, report.out.find('\n')), Path("fuel.htm"));
  const auto bad = Wait(Ctl("--timeout 1 report someday never"));
  EXPECT_EQ(bad.status, 1) << "no reply for a period the report cannot read";
  EXPECT_EQ(log_.Lines().back().rfind("Command channel error: ", 0), 0u) << log_.Lines().back();
}

}  // namespace
}  // namespace telvaro
