// Start-up of the real server program in console mode: its lines and status panels in
// order, the closing line, and a port that is already taken.

#include <regex>

#include "tests/e2e/Harness.h"

namespace telvaro::test {
namespace {

/// The start-up's own lines: the worker threads log as they start and end, at times of
/// their own, so their lines are left out.
std::vector<std::string> StartupLines(const std::vector<std::string>& output) {
  std::vector<std::string> lines;
  for (const auto& l : output)
    if (!l.starts_with("Thread for ") && !l.starts_with("Could not reconnect to DB")) lines.push_back(l);
  return lines;
}

/// The lines of a start-up from "Settings loaded" on, with the database lines given.
std::vector<std::string> Expected(std::uint16_t port, const std::vector<std::string>& database,
                                  const std::vector<std::string>& pipes) {
  std::vector<std::string> lines{"Initialization begins", "Settings loaded",
                                 "== label: Port " + std::to_string(port) + " for Krestel is ready to use."};
  lines.insert(lines.end(), database.begin(), database.end());
  lines.push_back("DB for transmiting files opened");
  lines.insert(lines.end(), pipes.begin(), pipes.end());
  lines.push_back("== panel 4: Version : " TELVARO_VERSION);
  return lines;
}

const std::vector<std::string> BothPipes{
    "Pipe server started OK, channel TelvaroPipe", "== panel 1: Data: TelvaroPipe",
    "Command server started OK, channel CmdPipe", "== panel 1: Data: TelvaroPipe Cmd: CmdPipe"};

struct StartupTest : E2ETest {
  /// Stops `server` after its start-up and checks every line of the start-up but the
  /// banner and the closing line, which are returned.
  std::pair<std::string, std::string> CheckStartup(Process& server, const std::vector<std::string>& expected) {
    EXPECT_EQ(Stop(server), 0);
    const auto lines = StartupLines(server.Output());
    if (lines.size() != expected.size() + 2) {
      ADD_FAILURE() << "unexpected start-up lines:\n" << ::testing::PrintToString(lines);
      return {};
    }
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end() - 1), expected);
    return {lines.front(), lines.back()};
  }
};

TEST_F(StartupTest, WithoutDatabaseLogsEveryStepInOrder) {
  WriteIni();
  auto server = StartServer();
  const auto [banner, closing] = CheckStartup(*server, Expected(Port(), {"== panel 0: No database"}, BothPipes));
  EXPECT_TRUE(std::regex_match(banner, std::regex("Telvaro Server.*\\b20[0-9]{2}\\b.*"))) << banner;
  EXPECT_TRUE(std::regex_match(closing, std::regex(R"(Server started successfully at \d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d)")))
      << closing;
  EXPECT_TRUE(Sockets().empty());
  // No database: no writer thread, only the data channel's.
  const auto out = server->Output();
  EXPECT_EQ(CountLines(out, [](const std::string& l) { return l.starts_with("Thread for DB"); }), 0u);
  EXPECT_EQ(CountLines(out, [](const std::string& l) { return l == "Thread for clients started, waitng for data"; }), 1u);
}

// Only the keys a test cannot do without: the central database is on by default, and
// an empty connection string cannot connect.
TEST_F(StartupTest, DefaultSettingsWithoutReachableDatabase) {
  WriteIni("", "");
  auto server = StartServer();
  const auto [banner, closing] = CheckStartup(
      *server, Expected(Port(), {"Could not connect to database", "== panel 0: No database"}, BothPipes));
  EXPECT_TRUE(closing.starts_with("Server started successfully at ")) << closing;
  // The writer thread runs all the same, to connect later.
  EXPECT_EQ(CountLines(server->Output(), [](const std::string& l) { return l == "Thread for DB started, waitng for data"; }),
            1u);
}

TEST_F(StartupTest, NoCommandPipeGivesTheErrorClosingLine) {
  WriteIni("CmdChannel=\n");
  auto server = StartServer();
  const auto [banner, closing] =
      CheckStartup(*server,
                   Expected(Port(), {"== panel 0: No database"},
                            {"Pipe server started OK, channel TelvaroPipe", "== panel 1: Data: TelvaroPipe"}));
  EXPECT_EQ(closing, "There was some errors during initialization process. Server is ready to work, but can be unstable.");
}

TEST_F(StartupTest, ListenerThatCannotStartEndsWithErrorAndStatusOne) {
  struct Case {
    const char* name;
    std::string port;  ///< the configured port; empty: the test's own, held by another socket
  };
  // A number past 16 bits must not be cut to some other port: 70001 would be 4465.
  for (const Case& k : {Case{"port taken", ""}, Case{"past 16 bits", "70001"}, Case{"negative", "-1"}}) {
    SCOPED_TRACE(k.name);
    if (k.port.empty()) WriteIni();
    else std::ofstream(Home() + "/telvaroserver.ini") << "[Server]\nPort=" << k.port << "\nPipeDir=" << Home()
                                                   << "\n[DB]\nNoBase=1\n";
    const std::string port = k.port.empty() ? std::to_string(Port()) : k.port;
    PortHolder holder(Port());
    Process server(TELVARO_SERVER, {"--console", "--home", Home()});
    ASSERT_EQ(server.Wait(), 1);
    const auto errors = server.Errors();
    ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(errors);
    EXPECT_TRUE(errors[0].starts_with("Error: Could not listen at port " + port + ": ")) << errors[0];
    // Start-up stopped at the listener: no label, no databases, no pipes, no closing line.
    const auto out = StartupLines(server.Output());
    EXPECT_EQ(out.back(), "Settings loaded") << ::testing::PrintToString(out);
    EXPECT_TRUE(Sockets().empty());
  }
}

TEST_F(StartupTest, WindowThatCannotBeShownEndsWithStatusOne) {
  WriteIni();
  const char* term = std::getenv("TERM");
  const std::optional<std::string> saved = term ? std::optional<std::string>(term) : std::nullopt;
  ::setenv("TERM", "no-such-terminal-type", 1);
  Process server(TELVARO_SERVER, {"--tui", "--home", Home()});
  saved ? ::setenv("TERM", saved->c_str(), 1) : ::unsetenv("TERM");
  ASSERT_EQ(server.Wait(), 1);
  // Only the first line: ncurses keeps a block of its failed set-up, which the leak
  // checker of a sanitizer build reports after it.
  const auto errors = server.Errors();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.front(), "telvaroserver: The terminal cannot show the operator window");
  EXPECT_TRUE(server.Output().empty()) << "nothing is started";
}

}  // namespace
}  // namespace telvaro::test
