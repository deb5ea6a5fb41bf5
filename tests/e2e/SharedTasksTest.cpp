// Two servers on one PostgreSQL task database, each in a program directory of its
// own: a command queued through one server's command pipe reaches a terminal that is
// connected to the other.

#include <libpq-fe.h>

#include "tests/e2e/Harness.h"

namespace telvaro::test {
namespace {

const std::string Imei = "350000000000000";

/// Runs one statement on the test database; false when it failed.
bool Sql(const std::string& conninfo, const std::string& sql) {
  PGconn* c = PQconnectdb(conninfo.c_str());
  PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
  PGresult* r = PQexec(c, sql.c_str());
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  PQclear(r);
  PQfinish(c);
  return ok;
}

class SharedTasks : public ::testing::Test {
 protected:
  struct Server {
    TempDir home{"telvaro-e2e"};
    std::uint16_t port = FreePort();
  };

  void SetUp() override {
    const char* pg = std::getenv("TELVARO_TEST_PG");
    if (!pg || !*pg) GTEST_SKIP() << "no PostgreSQL test database (TELVARO_TEST_PG)";
    pg_ = pg;
    schema_ = "telvaro_e2e_" + std::to_string(::getpid());
    ASSERT_TRUE(Sql(pg_, "CREATE SCHEMA " + schema_));
  }

  void TearDown() override {
    if (!schema_.empty()) Sql(pg_, "DROP SCHEMA " + schema_ + " CASCADE");
  }

  /// Starts a server on the shared task database and waits for its start-up.
  std::unique_ptr<Process> Start(Server& s) {
    std::ofstream(s.home.path() + "/telvaroserver.ini")
        << "[Server]\nPort=" << s.port << "\nPipeDir=" << s.home.path() << "\nDelayBeforeCmd=50\n"
        << "[DB]\nNoBase=1\n[Tasks]\nStore=postgresql\nConnection=" << pg_ << " options='-csearch_path=" << schema_
        << "'\n";
    auto p = std::make_unique<Process>(TELVARO_SERVER, std::vector<std::string>{"--console", "--home", s.home.path()});
    if (!p->WaitForPrefix("Server started successfully at ")) ADD_FAILURE() << "the server did not start";
    return p;
  }

  std::string pg_;
  std::string schema_;
};

TEST_F(SharedTasks, CommandQueuedOnOneServerIsWrittenByTheServerHoldingTheTerminal) {
  Server a, b;
  auto serverA = Start(a);
  auto serverB = Start(b);
  ASSERT_TRUE(serverA && serverB);

  Process sim(TELVARO_SIM, {"--port", std::to_string(b.port), "--rate", "4", "--duration", "4"});
  ASSERT_TRUE(serverB->WaitForPrefix("ID=" + Imei + " Cnt="));
  Process ctl(TELVARO_CTL, {"--home", a.home.path(), "command", Imei, "getver"});
  ASSERT_EQ(ctl.Wait(), 0);
  ASSERT_TRUE(serverA->WaitForPrefix("Got command for " + Imei));
  ASSERT_EQ(sim.Wait(), 0);

  std::string summary;
  for (const auto& l : sim.Output()) summary += l + "\n";
  EXPECT_NE(summary.find(" 6 bytes not understood"), std::string::npos) << summary;

  ASSERT_EQ(serverA->Terminate(), 0);
  ASSERT_EQ(serverB->Terminate(), 0);
  const auto sent = [](Process& p) {
    return CountLines(p.Output(), [](const std::string& l) { return l.starts_with("Command for " + Imei + " sent."); });
  };
  EXPECT_EQ(sent(*serverB), 2u) << "the handshake reply and the command";
  EXPECT_EQ(sent(*serverA), 0u);
}

}  // namespace
}  // namespace telvaro::test
