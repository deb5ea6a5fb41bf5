// The real server's admin endpoint: metrics, terminals and health while simulated
// terminals send, and a port that is already taken.

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/Harness.h"

namespace telvaro::test {
namespace {

using Json = nlohmann::json;

/// The value of the sample line `name`; -1 when it is missing.
double Sample(const std::string& text, const std::string& name) {
  const auto at = text.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 2));
}

TEST_F(E2ETest, AdminEndpointFollowsTheTraffic) {
  const std::uint16_t http = UseHttp();
  WriteIni();
  auto server = StartServer();
  const auto started = server->Output();
  EXPECT_NE(std::find(started.begin(), started.end(),
                      "HTTP server started OK, address 127.0.0.1 port " + std::to_string(http)),
            started.end());
  httplib::Client client("127.0.0.1", http);
  client.set_read_timeout(10, 0);

  auto sim = Sim({"-n", "3", "--records", "5", "--rate", "10", "--duration", "4"});
  std::string metrics;
  ASSERT_TRUE(server->WaitForOutput([&](const std::vector<std::string>&) {
    const auto r = client.Get("/metrics");
    metrics = r ? r->body : "";
    return Sample(metrics, "telvaro_terminal_connections") == 3 && Sample(metrics, "telvaro_records_received_total") >= 30;
  }));
  EXPECT_EQ(Sample(metrics, "telvaro_terminal_connections_accepted_total"), 3);
  EXPECT_GE(Sample(metrics, "telvaro_commands_written_total"), 3) << "the handshake replies";
  EXPECT_GE(Sample(metrics, "telvaro_record_delay_seconds_count"), 6);
  EXPECT_GT(Sample(metrics, "process_resident_memory_bytes"), 0);

  const auto terminals = client.Get("/terminals");
  ASSERT_TRUE(terminals);
  const Json list = Json::parse(terminals->body);
  ASSERT_EQ(list.size(), 3u) << terminals->body;
  for (const Json& t : list) {
    EXPECT_EQ(t["id"].get<std::string>().size(), 15u) << t;
    EXPECT_GE(t["records"], 1) << t;
  }
  const auto health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(Json::parse(health->body)["checks"]["central_database"], "off");

  EXPECT_EQ(sim->Wait().value_or(-1), 0);
  EXPECT_EQ(Stop(*server), 0);
}

TEST_F(E2ETest, TakenAdminPortIsLoggedAndTheServerRunsOn) {
  const std::uint16_t http = UseHttp();
  PortHolder holder(http);
  WriteIni();
  auto server = StartServer();
  const auto out = server->Output();
  EXPECT_NE(std::find(out.begin(), out.end(),
                      "Could not open the HTTP port " + std::to_string(http) + ": Address already in use"),
            out.end());
  EXPECT_TRUE(out.back().starts_with("Server started successfully at ")) << out.back();
  EXPECT_EQ(Stop(*server), 0);
}

}  // namespace
}  // namespace telvaro::test
