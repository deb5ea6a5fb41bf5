// Simulated terminals against the real server: their records on the data pipe and in
// the central database, commands and uploads queued through the command pipe, a task
// that outlives a restart, and SIGTERM with terminals connected.

#include <regex>

#include "tests/dbwriter/TestDB.h"
#include "tests/e2e/Harness.h"

namespace telvaro::test {
namespace {

const std::string Imei = "350000000000000";

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

/// The simulator's summary as one text.
std::string Summary(Process& sim) {
  std::string text;
  for (const auto& l : sim.Output()) text += l + "\n";
  return text;
}

/// Waits until `n` lines of `p`'s output satisfy `pred`.
template <typename Pred>
bool WaitForCount(Process& p, std::size_t n, Pred pred) {
  return p.WaitForOutput([&](const std::vector<std::string>& lines) { return CountLines(lines, pred) >= n; });
}

/// Lines of `lines` that are record lines of an AVL record of terminal `id`.
std::vector<std::string> AvlLines(const std::vector<std::string>& lines, const std::string& id) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.starts_with("ID=" + id + " Cnt=")) out.push_back(l);
  return out;
}

/// The index of the first line of `lines` at or after `from` that satisfies `pred`.
template <typename Pred>
std::size_t Find(const std::vector<std::string>& lines, Pred pred, std::size_t from = 0) {
  for (std::size_t i = from; i < lines.size(); ++i)
    if (pred(lines[i])) return i;
  return lines.size();
}

/// "Command for ID sent..." lines and the records around them show a command written
/// after the terminal's first data batch: the first command answers the handshake, the
/// second is written after the first AVL frame, before that frame's records are logged.
void ExpectCommandAfterFirstBatch(const std::vector<std::string>& out, const std::string& id) {
  const auto isSent = [&](const std::string& l) { return l.starts_with("Command for " + id + " sent."); };
  const std::size_t handshake = Find(out, [&](const std::string& l) { return l == "ID=" + id + " Хендшейк"; });
  const std::size_t firstAvl = Find(out, [&](const std::string& l) { return l.starts_with("ID=" + id + " Cnt="); });
  const std::size_t queued = Find(out, isSent, handshake);
  ASSERT_LT(firstAvl, out.size()) << ::testing::PrintToString(out);
  ASSERT_LT(queued, firstAvl) << ::testing::PrintToString(out);
  EXPECT_EQ(CountLines(out, isSent), 2u) << ::testing::PrintToString(out);
  EXPECT_EQ(out[queued], "Command for " + id + " sent. Commands in queue  0");
}

/// A dispatch application's command goes to the terminal as the bytes it gave, which the
/// simulator does not take for a frame: after the handshake reply ("OK") it received
/// the six bytes of "getver", once.
void ExpectCommandReceived(Process& sim) {
  const std::string summary = Summary(sim);
  EXPECT_TRUE(Contains(summary, "received: 8 bytes, 0 commands (")) << summary;
  EXPECT_TRUE(Contains(summary, " 6 bytes not understood")) << summary;
}

TEST_F(E2ETest, RecordsReachTailClientsAsTextAndJson) {
  WriteIni();
  auto server = StartServer();
  auto text = Tail(*server, false, 1);
  auto json = Tail(*server, true, 2);

  auto sim = Sim({"-n", "2", "--records", "3", "--frames", "1", "--duration", "0"});
  ASSERT_EQ(sim->Wait(), 0) << Summary(*sim);
  const std::vector<std::string> ids{Imei, "350000000000001"};
  // Each terminal's end reaches the clients after its records.
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    EXPECT_TRUE(WaitForCount(*json, 1, [&](const std::string& l) {
      return Contains(l, "\"ID\":\"" + id + "\",\"Event\":1016,");
    }));
    EXPECT_TRUE(WaitForCount(*text, 3, [&](const std::string& l) { return l.starts_with("ID=" + id + " Cnt="); }));
  }
  ASSERT_EQ(Stop(*server), 0);
  ASSERT_TRUE(text->Wait().has_value());
  ASSERT_TRUE(json->Wait().has_value());

  const auto logged = server->Output();
  const auto textLines = text->Output();
  const auto jsonLines = json->Output();
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    // The text client renders each record as the operator log does.
    const auto avl = AvlLines(logged, id);
    EXPECT_EQ(avl.size(), 3u);
    EXPECT_EQ(AvlLines(textLines, id), avl);
    // The JSON client sees the same three records with their fix and I/O elements.
    const auto avlJson = CountLines(jsonLines, [&](const std::string& l) {
      return Contains(l, "\"ID\":\"" + id + "\",\"Event\":0,") && Contains(l, "\"Sat\":9,\"Speed\":42,") &&
             Contains(l, "\"66\":12500");
    });
    EXPECT_EQ(avlJson, 3u) << ::testing::PrintToString(jsonLines);
  }
}

TEST_F(E2ETest, RecordsReachTheCentralDatabase) {
  TELVARO_REQUIRE_TEST_DB();
  // A terminal of this process alone, whose positions are exactly 55.7, 37.6.
  const std::string id = std::to_string(351000000000000ull + (::getpid() % 1000000) * 1000ull);
  testdb::Sql sql;
  sql.Exec("DELETE FROM mobiles WHERE id = '" + id + "'");
  WriteIni("DelayBeforeCmd=50\n", "[DB]\nNoBase=0\nUser=postgres\nProvider=" + testdb::ConnectionString() + "\n");
  auto server = StartServer();
  EXPECT_EQ(CountLines(server->Output(), [](const std::string& l) { return l == "Connected to database"; }), 1u);

  auto sim = Sim({"--imei", id, "--records", "2", "--frames", "2", "--rate", "4", "--duration", "0"});
  ASSERT_EQ(sim->Wait(), 0) << Summary(*sim);
  const std::string count = "SELECT count(*) FROM mobiles WHERE id = '" + id +
                            "' AND abs(lat - 55.7) < 1e-6 AND abs(lon - 37.6) < 1e-5 AND satcount = 9";
  EXPECT_TRUE(testdb::WaitUntil([&] {
    const std::string rows = sql.Scalar(count);
    return rows != "<none>" && std::stoll(rows) > 0;
  })) << ::testing::PrintToString(server->Output());
  EXPECT_EQ(Stop(*server), 0);
  sql.Exec("DELETE FROM mobiles WHERE id = '" + id + "'");
}

TEST_F(E2ETest, QueuedCommandIsWrittenAfterTheNextBatch) {
  WriteIni();
  auto server = StartServer();
  ASSERT_EQ(RunCtl({"command", Imei, "getver"}), 0);
  ASSERT_TRUE(server->WaitForPrefix("Got command for " + Imei));

  auto sim = Sim({"--frames", "2", "--rate", "2", "--duration", "3"});
  ASSERT_EQ(sim->Wait(), 0);
  ExpectCommandReceived(*sim);
  ASSERT_EQ(Stop(*server), 0);
  ExpectCommandAfterFirstBatch(server->Output(), Imei);
}

// Wrapped in a command frame by telvaroctl, a version request reaches the terminal as a
// command it understands and answers.
TEST_F(E2ETest, FramedCommandReachesTheTerminalAsACommand) {
  WriteIni();
  auto server = StartServer();
  auto ctl = Ctl({"command", Imei, "--frame", "--hex", "0C"});
  ASSERT_EQ(ctl->Wait(), 0);
  EXPECT_TRUE(ctl->WaitForPrefix("Queued for " + Imei + ": 19 bytes: CC CC CC CC 00 0B "));
  ASSERT_TRUE(server->WaitForPrefix("Got command for " + Imei));

  auto sim = Sim({"--frames", "2", "--rate", "2", "--duration", "3"});
  ASSERT_EQ(sim->Wait(), 0);
  const std::string summary = Summary(*sim);
  EXPECT_TRUE(Contains(summary, " 1 commands (1 version requests, ")) << summary;
  EXPECT_TRUE(Contains(summary, ", 0 bytes not understood")) << summary;
  EXPECT_TRUE(server->WaitFor([](const std::string& l) { return Contains(l, "CPU:1.2.3 GSM:SIM 2.0"); }))
      << ::testing::PrintToString(server->Output());
  ASSERT_EQ(Stop(*server), 0);
}

TEST_F(E2ETest, TaskQueuedBeforeRestartIsWrittenAfterIt) {
  WriteIni();
  {
    auto server = StartServer();
    ASSERT_EQ(RunCtl({"command", Imei, "getver"}), 0);
    ASSERT_TRUE(server->WaitForPrefix("Got command for " + Imei));
    ASSERT_EQ(Stop(*server), 0);
  }
  auto server = StartServer();
  auto sim = Sim({"--frames", "2", "--rate", "2", "--duration", "3"});
  ASSERT_EQ(sim->Wait(), 0);
  ExpectCommandReceived(*sim);
  ASSERT_EQ(Stop(*server), 0);
  ExpectCommandAfterFirstBatch(server->Output(), Imei);
}

TEST_F(E2ETest, UploadIsDeliveredBlockByBlockToItsEnd) {
  WriteIni("DelayBeforeCmd=50\nBLK_SIZE=256\n");
  const std::string file = Home() + "/firmware.bin";
  std::ofstream(file, std::ios::binary) << std::string(1000, 'u');
  auto server = StartServer();
  auto json = Tail(*server, true);
  ASSERT_EQ(RunCtl({"upload", Imei, "1", file}), 0);
  ASSERT_TRUE(server->WaitForPrefix("Got file for " + Imei + " type=1 size=1000"));

  auto sim = Sim({"--rate", "2", "--duration", "600"});
  ASSERT_TRUE(server->WaitFor([](const std::string& l) { return l.ends_with(" Передача файла завершена"); }))
      << ::testing::PrintToString(server->Output());
  ASSERT_TRUE(WaitForCount(*json, 1, [](const std::string& l) { return Contains(l, "\"Event\":1011,"); }));
  ASSERT_EQ(Stop(*server), 0);
  ASSERT_EQ(sim->Wait(), 0);
  json->Wait();

  // Every acknowledged position in order, the last one ending the transfer.
  const std::regex answer(R"re("ID":"(\d+)","Event":(101[01]),"EventValue":-?\d+,"Param":-?\d+,"ParamValue":(\d+),)re");
  std::vector<std::pair<int, int>> acks;
  for (const auto& l : json->Output()) {
    std::smatch m;
    if (std::regex_search(l, m, answer) && m[1] == Imei) acks.emplace_back(std::stoi(m[2]), std::stoi(m[3]));
  }
  ASSERT_FALSE(acks.empty());
  EXPECT_EQ(acks.back(), std::make_pair(1011, 1000));
  std::vector<int> positions;
  for (std::size_t i = 0; i + 1 < acks.size(); ++i) {
    EXPECT_EQ(acks[i].first, 1010);
    // A block still unacknowledged when the next frame comes is written again.
    if (positions.empty() || positions.back() != acks[i].second) positions.push_back(acks[i].second);
  }
  EXPECT_EQ(positions, (std::vector<int>{256, 512, 768}));
  const std::string summary = Summary(*sim);
  EXPECT_TRUE(std::regex_search(summary, std::regex(R"(, [4-9] file blocks,)"))) << summary;
}

TEST_F(E2ETest, SigtermWithTerminalsConnectedEndsEveryConnection) {
  WriteIni();
  auto server = StartServer();
  auto sim = Sim({"-n", "3", "--rate", "2", "--duration", "600"});
  ASSERT_TRUE(WaitForCount(*server, 3, [](const std::string& l) { return l.ends_with(" Хендшейк"); }));

  ASSERT_EQ(Stop(*server), 0);
  const auto out = server->Output();
  EXPECT_EQ(CountLines(out, [](const std::string& l) { return l == "Thread ended with 127.0.0.1"; }), 3u)
      << ::testing::PrintToString(out);
  EXPECT_TRUE(Sockets().empty()) << ::testing::PrintToString(Sockets());
  // The terminals saw the server hang up, and then ended on their own.
  ASSERT_EQ(sim->Wait(), 0);
  EXPECT_TRUE(Contains(Summary(*sim), "3 made, 0 failed, 3 closed by the server")) << Summary(*sim);
}

// A frame counts its records in one byte, and a port has 16 bits: values past them
// would be sent as other values while the summary counted the asked ones.
TEST_F(E2ETest, SimulatorRefusesValuesItCannotSend) {
  const std::vector<std::vector<std::string>> cases{
      {"--records", "0"}, {"--records", "256"}, {"--port", "70000"}, {"--port", "0"}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    Process sim(TELVARO_SIM, args);
    EXPECT_EQ(sim.Wait(), 2);
    const auto errors = sim.Errors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0], "telvarosim: " + args[0] + " must be from " + (args[0] == "--port" ? "1 to 65535" : "1 to 255"));
    EXPECT_TRUE(sim.Output().empty());
  }
}

}  // namespace
}  // namespace telvaro::test
