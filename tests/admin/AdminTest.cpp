// The admin endpoint over real sockets: its routes and errors, the token rule, the
// terminal list, task listing and removal, and health.

#include <ifaddrs.h>
#include <netinet/in.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <regex>

#include "admin/AdminServer.h"
#include "protocol/TerminalParser.h"
#include "tests/connections/TestSupport.h"

namespace telvaro::test {
namespace {

using Json = nlohmann::json;

constexpr const char* Token = "s3cret";
const std::regex IsoUtc(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");

/// An IPv4 address of this host other than loopback; "" when it has none.
std::string OtherAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return "";
  std::string found;
  for (const ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
    if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) continue;
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) found = text;
  }
  ::freeifaddrs(list);
  return found;
}

struct Answer {
  int status = 0;
  std::string contentType;
  std::string allow;
  std::string raw;
  Json json;  ///< null when the body is no JSON
};

Answer Send(const std::string& host, std::uint16_t port, const std::string& method, const std::string& path,
            const httplib::Headers& headers = {}, std::string body = {}) {
  httplib::Client client(host, port);
  client.set_read_timeout(10, 0);
  httplib::Request req;
  req.method = method;
  req.path = path;
  req.headers = headers;
  if (!body.empty()) {
    req.body = std::move(body);
    req.headers.emplace("Content-Type", "application/octet-stream");
  }
  const httplib::Result result = client.send(req);
  Answer a;
  if (!result) {
    ADD_FAILURE() << method << " " << path << ": " << httplib::to_string(result.error());
    return a;
  }
  a.status = result->status;
  a.contentType = result->get_header_value("Content-Type");
  a.allow = result->get_header_value("Allow");
  a.raw = result->body;
  a.json = Json::parse(a.raw, nullptr, false);
  if (a.json.is_discarded()) a.json = nullptr;
  return a;
}

httplib::Headers Bearer(const std::string& token) { return {{"Authorization", "Bearer " + token}}; }

/// The value of the sample line `name` in a rendering; -1 when it is missing.
double Sample(const std::string& text, const std::string& name) {
  const auto at = text.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(text.substr(at + name.size() + 2));
}

class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    terminals.Start(0, 1);
    open = Start({});
    guarded = Start(Token);
  }
  void TearDown() override {
    for (auto* s : {open.get(), guarded.get()})
      if (s) s->Stop();
    terminals.Stop();
  }

  /// An endpoint on every address of this host; `token` as given.
  std::unique_ptr<AdminServer> Start(const std::string& token) {
    AdminSources sources{&log, &metrics.registry, &terminals, &store, [this] { return central; }};
    auto s = std::make_unique<AdminServer>(sources, AdminOptions{.address = "0.0.0.0", .port = 0, .token = token});
    s->Start();
    return s;
  }

  /// The lines appended to the log.
  std::vector<std::string> Lines() const { return Appended(log); }

  OperatorLog log;
  TempTaskStore tasks;
  TDM& store = tasks.dm;
  DiskFileSink files;
  RecordQueue mobiles, toSend;
  ServerMetrics metrics{{.tasksQueued = [this] { return static_cast<double>(store.QueuedTaskCount()); }}};
  ConnectionEnv env = [this] {
    ConnectionEnv e = TestEnv(log, store, files, mobiles, toSend);
    e.metrics = &metrics;
    return e;
  }();
  TerminalServer terminals{env};
  CentralDatabaseState central = CentralDatabaseState::Off;
  std::unique_ptr<AdminServer> open, guarded;
};

TEST_F(AdminTest, RoutesAndErrors) {
  const std::string other = OtherAddress();
  const std::string tasksPath = "/terminals/" + Imei + "/tasks";
  enum class Peer { Loopback, Other };
  enum class Shape { Text, Object, Array, Error };
  struct Case {
    bool withToken;
    Peer peer;
    const char* method;
    std::string path;
    httplib::Headers headers;
    int status;
    Shape shape;
    std::string body = {};
  };
  const Case cases[] = {
      {false, Peer::Loopback, "GET", "/metrics", {}, 200, Shape::Text},
      {false, Peer::Loopback, "GET", "/healthz", {}, 200, Shape::Object},
      {false, Peer::Loopback, "GET", "/terminals", {}, 200, Shape::Array},
      {false, Peer::Loopback, "GET", tasksPath, {}, 200, Shape::Array},
      {false, Peer::Other, "GET", tasksPath, {}, 200, Shape::Array},  // reading needs nothing
      {true, Peer::Other, "GET", "/terminals", {}, 200, Shape::Array},
      {false, Peer::Loopback, "GET", "/nowhere", {}, 404, Shape::Error},
      {false, Peer::Loopback, "GET", "/terminals/", {}, 404, Shape::Error},
      {false, Peer::Loopback, "GET", "/metrics/", {}, 404, Shape::Error},
      {false, Peer::Loopback, "GET", tasksPath + "/1/more", {}, 404, Shape::Error},
      {false, Peer::Loopback, "POST", "/metrics", {}, 405, Shape::Error},
      {false, Peer::Loopback, "DELETE", "/terminals", {}, 405, Shape::Error},
      {false, Peer::Loopback, "PUT", tasksPath, {}, 405, Shape::Error},
      {false, Peer::Loopback, "GET", tasksPath + "/1", {}, 405, Shape::Error},
      {false, Peer::Loopback, "DELETE", "/terminals/" + std::string(256, '7') + "/tasks", {}, 400, Shape::Error},
      {false, Peer::Loopback, "GET", "/terminals//tasks", {}, 400, Shape::Error},
      {false, Peer::Loopback, "DELETE", tasksPath + "/abc", {}, 400, Shape::Error},
      {false, Peer::Loopback, "DELETE", tasksPath + "/0", {}, 400, Shape::Error},
      {false, Peer::Loopback, "DELETE", tasksPath + "/-1", {}, 400, Shape::Error},
      {false, Peer::Loopback, "DELETE", tasksPath + "/99999999999999999999", {}, 400, Shape::Error},
      {false, Peer::Loopback, "DELETE", tasksPath + "/12345", {}, 404, Shape::Error},
      {false, Peer::Loopback, "DELETE", tasksPath, {}, 200, Shape::Object},
      // Without a token only this host may change things; with one, only its holder.
      {false, Peer::Other, "DELETE", tasksPath, {}, 403, Shape::Error},
      {false, Peer::Other, "DELETE", tasksPath, Bearer(Token), 403, Shape::Error},
      {true, Peer::Loopback, "DELETE", tasksPath, {}, 401, Shape::Error},
      {true, Peer::Loopback, "DELETE", tasksPath, Bearer("s3cre"), 401, Shape::Error},
      {true, Peer::Loopback, "DELETE", tasksPath, {{"Authorization", "Basic czNjcmV0"}}, 401, Shape::Error},
      {true, Peer::Other, "DELETE", tasksPath, Bearer(Token), 200, Shape::Object},
      {true, Peer::Loopback, "DELETE", tasksPath, {{"Authorization", "bearer s3cret"}}, 200, Shape::Object},
      {true, Peer::Other, "DELETE", tasksPath + "/x", Bearer(Token), 400, Shape::Error},
      {false, Peer::Loopback, "POST", tasksPath, {}, 413, Shape::Error, std::string((1 << 20) + 1, 'x')},
      // Queuing follows the same rule as removing.
      {false, Peer::Loopback, "POST", tasksPath, {}, 201, Shape::Object, R"({"text":"getver;"})"},
      {false, Peer::Other, "POST", tasksPath, {}, 403, Shape::Error, R"({"text":"getver;"})"},
      {true, Peer::Loopback, "POST", tasksPath, {}, 401, Shape::Error, R"({"text":"getver;"})"},
      {true, Peer::Other, "POST", tasksPath, Bearer(Token), 201, Shape::Object, R"({"text":"getver;"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + (c.withToken ? " (token)" : "") +
                 (c.peer == Peer::Other ? " from " + other : ""));
    if (c.peer == Peer::Other && other.empty()) continue;  // a host with loopback only
    const std::string host = c.peer == Peer::Other ? other : "127.0.0.1";
    const Answer a = Send(host, (c.withToken ? guarded : open)->Port(), c.method, c.path, c.headers, c.body);
    EXPECT_EQ(a.status, c.status) << a.raw;
    switch (c.shape) {
      case Shape::Text:
        EXPECT_EQ(a.contentType, "text/plain; version=0.0.4");
        EXPECT_NE(a.raw.find("# TYPE telvaro_records_received_total counter\n"), std::string::npos);
        break;
      case Shape::Object:
        EXPECT_TRUE(a.json.is_object()) << a.raw;
        break;
      case Shape::Array:
        EXPECT_TRUE(a.json.is_array()) << a.raw;
        break;
      case Shape::Error:
        ASSERT_TRUE(a.json.is_object()) << a.raw;
        ASSERT_EQ(a.json.size(), 1u) << a.raw;
        EXPECT_TRUE(a.json["error"].is_string()) << a.raw;
        EXPECT_EQ(a.raw.find('\n'), std::string::npos) << "one line";
        break;
    }
    if (a.status == 405) {
      EXPECT_FALSE(a.allow.empty());
    }
    if (c.shape != Shape::Text) {
      EXPECT_EQ(a.contentType, "application/json");
    }
  }
  // Nothing above removed or queued anything but through the rule.
  const std::vector<std::string> lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) EXPECT_EQ(lines[i], "Removed 0 tasks of " + Imei);
  for (std::size_t i = lines.size() - 2; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].rfind("Queued task ", 0), 0u) << lines[i];
}

TEST_F(AdminTest, TasksAreListedAndRemovedOneOrAll) {
  store.AddTask(Imei, -1, -1, -1, "cmd");
  store.AddTask(Imei, 2048, -1, -1, "acknowledgement");
  store.AddTask(Imei, 0, 0, 1024, std::string(1036, 'b'));
  store.AddTask(Imei, 1024, 1, 10, std::string(22, 'b'));
  store.AddTask("350000000000001", -1, -1, -1, "other terminal's");
  const std::string path = "/terminals/" + Imei + "/tasks";

  Answer listed = Send("127.0.0.1", open->Port(), "GET", path);
  ASSERT_EQ(listed.status, 200);
  ASSERT_EQ(listed.json.size(), 4u) << listed.raw;
  const std::vector<std::pair<std::string, int>> expected = {
      {"command", 3}, {"acknowledgement", 15}, {"file_block", 1036}, {"file_block", 22}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Json& t = listed.json[i];
    EXPECT_EQ(t["kind"], expected[i].first) << t;
    EXPECT_EQ(t["size"], expected[i].second) << t;
    EXPECT_TRUE(std::regex_match(t["queued_at"].get<std::string>(), IsoUtc)) << t;
    EXPECT_TRUE(t["n"].is_number_integer()) << t;
  }
  const std::int64_t command = listed.json[0]["n"];

  Answer one = Send("127.0.0.1", open->Port(), "DELETE", path + "/" + std::to_string(command));
  EXPECT_EQ(one.status, 200);
  EXPECT_EQ(one.json, Json({{"removed", 1}}));
  EXPECT_EQ(Lines().back(), "Removed task " + std::to_string(command) + " of " + Imei + " (command, 3 bytes)");
  one = Send("127.0.0.1", open->Port(), "DELETE", path + "/" + std::to_string(command));
  EXPECT_EQ(one.status, 404) << "removed already";

  const Answer all = Send("127.0.0.1", open->Port(), "DELETE", path);
  EXPECT_EQ(all.status, 200);
  EXPECT_EQ(all.json, Json({{"removed", 3}}));
  EXPECT_EQ(Lines().back(), "Removed 3 tasks of " + Imei + " (2 file blocks, 1 acknowledgement)");
  EXPECT_EQ(Lines().size(), 2u) << "one line per removal, none for the miss";
  EXPECT_EQ(Send("127.0.0.1", open->Port(), "GET", path).json, Json::array());
  EXPECT_EQ(store.CountCommandsFor("350000000000001"), 1);
  EXPECT_EQ(Sample(Send("127.0.0.1", open->Port(), "GET", "/metrics").raw, "telvaro_tasks_queued"), 1);
}

// A command is queued as text, as bytes written as they are, or as a command body
// framed here; a lifetime makes it go unwritten once it has passed.
TEST_F(AdminTest, CommandsAreQueuedAsTextBytesOrFramedBody) {
  const std::string path = "/terminals/" + Imei + "/tasks";
  const std::string framed(TParserKrestel::MakeCommand(Imei, AsBytes(std::string_view("\x7e\x01", 2))).WireBytes());
  struct Case {
    std::string body;
    int status;
    std::string queued;  ///< the bytes stored; "" when refused
  };
  const Case cases[] = {
      {R"({"text":"getver;"})", 201, "getver;"},
      {R"({"hex":"CC00ff"})", 201, std::string("\xcc\x00\xff", 3)},
      {R"({"frame":"7e01","ttl":60})", 201, framed},
      {R"({"text":"a","hex":"00"})", 400, ""},
      {R"({})", 400, ""},
      {R"({"text":""})", 400, ""},
      {R"({"hex":"abc"})", 400, ""},
      {R"({"hex":"zz"})", 400, ""},
      {R"({"text":5})", 400, ""},
      {R"({"text":"x","ttl":0})", 400, ""},
      {R"({"text":"x","ttl":"60"})", 400, ""},
      {R"({"text":"x","ttl":1.5})", 400, ""},
      {R"({"text":"x","when":1})", 400, ""},
      {R"(["text"])", 400, ""},
      {"not json", 400, ""},
      {R"({"hex":")" + std::string(2 * 65001, '0') + R"("})", 400, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body.substr(0, 60));
    store.RemoveTasks(Imei);
    const Answer a = Send("127.0.0.1", open->Port(), "POST", path, {}, c.body);
    ASSERT_EQ(a.status, c.status) << a.raw;
    if (c.status != 201) {
      EXPECT_EQ(store.CountCommandsFor(Imei), 0);
      continue;
    }
    const auto listed = store.ListTasks(Imei);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(a.json, Json({{"n", listed[0].n}}));
    EXPECT_EQ(listed[0].kind, TaskKind::Command);
    EXPECT_EQ(Lines().back(), "Queued task " + std::to_string(listed[0].n) + " of " + Imei + " (command, " +
                                  std::to_string(c.queued.size()) + (c.queued.size() == 1 ? " byte)" : " bytes)"));
    store.Hold(Imei);
    EXPECT_EQ(store.GetFirstTaskBlock(Imei).CMD, c.queued);
    store.Release(Imei);
  }
}

TEST_F(AdminTest, TerminalsShowEachConnectionWithItsTraffic) {
  Client idle(terminals.Port());
  Client c(terminals.Port());
  c.Write(Handshake(Imei));
  EXPECT_EQ(Text(c.Read(2)), "OK");
  c.Write(Avl(3));
  ASSERT_TRUE(Eventually([&] { return toSend.Size() >= 5; }));
  store.AddTask(Imei, -1, -1, -1, "later");

  const Answer a = Send("127.0.0.1", open->Port(), "GET", "/terminals");
  ASSERT_EQ(a.status, 200);
  ASSERT_EQ(a.json.size(), 2u) << a.raw;
  const Json& silent = a.json[0];
  EXPECT_EQ(silent["id"], "");
  EXPECT_EQ(silent["peer"], "127.0.0.1");
  EXPECT_EQ(silent["port"], idle.LocalPort());
  EXPECT_TRUE(silent["last_message"].is_null());
  EXPECT_EQ(silent["records"], 0);
  EXPECT_EQ(silent["tasks_queued"], 0);
  const Json& talking = a.json[1];
  EXPECT_EQ(talking["id"], Imei);
  EXPECT_EQ(talking["port"], c.LocalPort());
  EXPECT_EQ(talking["records"], 4);
  EXPECT_EQ(talking["tasks_queued"], 1);
  for (const char* key : {"connected_since", "last_message"})
    EXPECT_TRUE(std::regex_match(talking[key].get<std::string>(), IsoUtc)) << talking;
  EXPECT_GE(talking["last_message"].get<std::string>(), talking["connected_since"].get<std::string>());

  const std::string text = Send("127.0.0.1", open->Port(), "GET", "/metrics").raw;
  EXPECT_EQ(Sample(text, "telvaro_terminal_connections"), 2);
  EXPECT_EQ(Sample(text, "telvaro_records_received_total"), 4);
  EXPECT_EQ(Sample(text, "telvaro_tasks_queued"), 1);
}

TEST_F(AdminTest, HealthFailsWithoutTaskDatabaseOrListenerOnly) {
  const auto health = [&] { return Send("127.0.0.1", open->Port(), "GET", "/healthz"); };
  Answer a = health();
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.json, Json::parse(R"({"status":"ok","checks":{"listener":true,"task_database":true,
                                    "central_database":"off"}})"));

  central = CentralDatabaseState::Disconnected;  // reported, never failing
  a = health();
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.json["checks"]["central_database"], "disconnected");
  central = CentralDatabaseState::Connected;
  EXPECT_EQ(health().json["checks"]["central_database"], "connected");

  // A task database that cannot be opened.
  store.Close();
  EXPECT_THROW(store.Open(tasks.dir.path() + "/missing/upd_sw.mdb"), std::runtime_error);
  a = health();
  EXPECT_EQ(a.status, 503);
  EXPECT_EQ(a.json["status"], "failing");
  EXPECT_EQ(a.json["checks"]["task_database"], false);
  EXPECT_EQ(a.json["checks"]["listener"], true);
  // Task requests say why they cannot be served.
  const Answer tasksAnswer = Send("127.0.0.1", open->Port(), "GET", "/terminals/" + Imei + "/tasks");
  EXPECT_EQ(tasksAnswer.status, 503);
  EXPECT_EQ(tasksAnswer.json, Json({{"error", "the task database is not open"}}));

  store.Open(tasks.dir.path() + "/upd_sw.mdb");
  terminals.Stop();
  a = health();
  EXPECT_EQ(a.status, 503);
  EXPECT_EQ(a.json["checks"]["listener"], false);
  EXPECT_EQ(a.json["checks"]["task_database"], true);
}

TEST_F(AdminTest, PortInUseIsReportedAndStopNeverHangs) {
  AdminSources sources{&log, &metrics.registry, &terminals, &store, [] { return CentralDatabaseState::Off; }};
  AdminServer second(sources, AdminOptions{.address = "0.0.0.0", .port = open->Port()});
  try {
    second.Start();
    FAIL() << "a taken port must not be listened at twice";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Could not open the HTTP port " + std::to_string(open->Port()) +
                                         ": Address already in use");
  }
  AdminServer bad(sources, AdminOptions{.address = "no.such.host.invalid", .port = 4002});
  try {
    bad.Start();
    FAIL() << "an address that does not resolve cannot be listened at";
  } catch (const std::runtime_error& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("Could not open the HTTP port 4002: ")) << e.what();
  }

  // Stopped at once after its start, and with a client that keeps its connection open.
  for (int i = 0; i < 20; ++i) {
    AdminServer quick(sources, AdminOptions{.port = 0});
    quick.Start();
  }
  httplib::Client keeper("127.0.0.1", open->Port());
  keeper.set_keep_alive(true);
  ASSERT_TRUE(keeper.Get("/healthz"));
  open->Stop();
  EXPECT_FALSE(keeper.Get("/healthz")) << "the endpoint no longer answers";
}

}  // namespace
}  // namespace telvaro::test
