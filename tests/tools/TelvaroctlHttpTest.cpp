// telvaroctl's commands over the HTTP endpoint, against a fake endpoint in the test that
// answers as the server's does: tables and raw JSON, the token, error answers, health.

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/TempDir.h"

namespace telvaro {
namespace {

using Json = nlohmann::json;

const std::string Imei = "350000000000001";

/// An endpoint with two terminals, tasks for the first, and health that a test sets.
class FakeEndpoint {
 public:
  explicit FakeEndpoint(std::string token) : token_(std::move(token)) {
    server_.Get("/terminals", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          R"([{"id":"350000000000001","peer":"10.0.0.5","port":40122,"connected_since":"2026-12-10T16:00:00.123Z",)"
          R"("last_message":"2026-12-10T16:05:00.000Z","records":123,"tasks_queued":2},)"
          R"({"id":"","peer":"10.0.0.6","port":40200,"connected_since":"2026-12-10T16:06:00.000Z",)"
          R"("last_message":null,"records":0,"tasks_queued":0}])",
          "application/json");
    });
    server_.Get(R"(/terminals/(\d+)/tasks)", [this](const httplib::Request& req, httplib::Response& res) {
      Note(req);
      res.set_content(req.matches[1] == Imei ? R"([{"n":17,"kind":"command","size":42,"queued_at":"2026-12-10T16:00:00.123Z"},)"
                                               R"({"n":18,"kind":"file_block","size":1030,"queued_at":null}])"
                                             : "[]",
                      "application/json");
    });
    server_.Delete(R"(/terminals/(\d+)/tasks(?:/(\d+))?)", [this](const httplib::Request& req, httplib::Response& res) {
      Note(req);
      if (req.get_header_value("Authorization") != "Bearer " + token_) {
        Error(res, 401, "a Bearer token is needed");
      } else if (req.matches[2].matched && req.matches[2] != "17") {
        Error(res, 404, "terminal " + std::string(req.matches[1]) + " has no task " + std::string(req.matches[2]));
      } else {
        res.set_content(req.matches[2].matched ? R"({"removed":1})" : R"({"removed":2})", "application/json");
      }
    });
    server_.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) {
      const bool ok = healthy_;
      res.status = ok ? 200 : 503;
      res.set_content(Json{{"status", ok ? "ok" : "failing"},
                           {"checks", {{"listener", ok}, {"task_database", true}, {"central_database", "off"}}}}
                          .dump(),
                      "application/json");
    });
    server_.Get("/metrics", [](const httplib::Request&, httplib::Response& res) {
      const double start =
          std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - 90061.5;
      std::ostringstream text;
      text << "# HELP telvaro_terminal_connections Terminal connections.\n"
           << "# TYPE telvaro_terminal_connections gauge\n"
           << "telvaro_terminal_connections 2\n"
           << "telvaro_records_received_total 123\n"
           << "telvaro_db_write_seconds_bucket{le=\"0.01\"} 5\n"
           << "process_resident_memory_bytes 47448064\n"
           << "process_start_time_seconds " << std::fixed << start << "\n";
      res.set_content(text.str(), "text/plain; version=0.0.4");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~FakeEndpoint() {
    server_.stop();
    thread_.join();
  }

  int Port() const { return port_; }
  void SetHealthy(bool ok) { healthy_ = ok; }
  /// "METHOD PATH" of each request about tasks, in order.
  std::vector<std::string> Requests() {
    std::lock_guard lock(m_);
    return requests_;
  }

 private:
  void Note(const httplib::Request& req) {
    std::lock_guard lock(m_);
    requests_.push_back(req.method + " " + req.path);
  }
  static void Error(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(Json{{"error", text}}.dump(), "application/json");
  }

  std::string token_;
  std::atomic<bool> healthy_{true};
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex m_;
  std::vector<std::string> requests_;
};

/// A port of 127.0.0.1 that nothing listens on: bound, never listened on, and let go.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

struct Result {
  int status = -1;
  std::string out, err;
};

class TelvaroctlHttp : public ::testing::Test {
 protected:
  /// Runs telvaroctl with the test's program directory and `args`.
  Result Ctl(const std::string& args) {
    const std::string errFile = home_.path() + "/stderr";
    const std::string cmd = std::string(TELVAROCTL) + " --home " + home_.path() + " " + args + " 2>" + errFile;
    Result r;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream in(errFile);
    r.err.assign(std::istreambuf_iterator<char>(in), {});
    return r;
  }
  /// The endpoint option of the fake.
  std::string Http() const { return "--http 127.0.0.1:" + std::to_string(fake_.Port()) + " "; }
  void WriteIni(const std::string& text) { std::ofstream(home_.path() + "/telvaroserver.ini") << text; }

  test::TempDir home_{"telvaroctl-http"};
  FakeEndpoint fake_{"secret"};
};

TEST_F(TelvaroctlHttp, TerminalsAsATableOrAsTheServersJson) {
  const Result table = Ctl(Http() + "terminals");
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            "ID               PEER            CONNECTED SINCE           LAST MESSAGE              RECORDS  TASKS\n"
            "350000000000001  10.0.0.5:40122  2026-12-10T16:00:00.123Z  2026-12-10T16:05:00.000Z      123      2\n"
            "-                10.0.0.6:40200  2026-12-10T16:06:00.000Z  -                               0      0\n");
  const Result json = Ctl(Http() + "terminals --json");
  EXPECT_EQ(json.status, 0);
  const Json list = Json::parse(json.out);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["id"], Imei);
  EXPECT_EQ(list[1]["last_message"], nullptr);
}

TEST_F(TelvaroctlHttp, TasksAndTheirCancellingWithTheToken) {
  const Result tasks = Ctl(Http() + "tasks " + Imei);
  EXPECT_EQ(tasks.status, 0) << tasks.err;
  EXPECT_EQ(tasks.out,
            " N  KIND        SIZE  QUEUED AT\n"
            "17  command       42  2026-12-10T16:00:00.123Z\n"
            "18  file_block  1030  -\n");
  EXPECT_EQ(Ctl(Http() + "tasks 350000000000002").out, "No task is queued for 350000000000002.\n");

  struct Case {
    std::string args;
    int status;
    std::string out, err;
  };
  const Case cases[] = {
      {"cancel " + Imei, 1, "", "telvaroctl: a Bearer token is needed (HTTP 401)\n"},
      {"--token secret cancel " + Imei, 0, "Removed 2 tasks of " + Imei + ".\n", ""},
      {"cancel " + Imei + " 17 --token secret", 0, "Removed task 17 of " + Imei + ".\n", ""},
      {"cancel " + Imei + " 9 --token secret", 1, "", "telvaroctl: terminal " + Imei + " has no task 9 (HTTP 404)\n"},
      {"cancel " + Imei + " 17 --token secret --json", 0, "{\"removed\":1}\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Result r = Ctl(Http() + c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  // The token of the settings, when no option gives one.
  WriteIni("[Http]\nToken=secret\n");
  EXPECT_EQ(Ctl(Http() + "cancel " + Imei).status, 0);

  // An ID that is no IMEI is refused before anything is sent, unless asked for.
  const auto sent = fake_.Requests().size();
  for (const std::string args : {"tasks 123", "cancel 35000000000000x"}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Ctl(Http() + args).status, 2);
  }
  EXPECT_EQ(fake_.Requests().size(), sent);
  EXPECT_EQ(Ctl(Http() + "--any-id tasks 123").out, "No task is queued for 123.\n");
  EXPECT_EQ(fake_.Requests().back(), "GET /terminals/123/tasks");
  EXPECT_EQ(fake_.Requests().front(), "GET /terminals/" + Imei + "/tasks");
  EXPECT_EQ(fake_.Requests()[3], "DELETE /terminals/" + Imei + "/tasks");
  EXPECT_EQ(fake_.Requests()[4], "DELETE /terminals/" + Imei + "/tasks/17");
}

TEST_F(TelvaroctlHttp, StatusShowsHealthAndAFewMetrics) {
  const Result ok = Ctl(Http() + "status");
  EXPECT_EQ(ok.status, 0) << ok.err;
  const std::string head =
      "status               ok\n"
      "listener             up\n"
      "task database        open\n"
      "central database     off\n"
      "terminals connected  2\n"
      "records received     123\n"
      "memory               45.2 MiB\n"
      "up                   1 d 01:01:0";
  EXPECT_EQ(ok.out.substr(0, head.size()), head) << ok.out;

  fake_.SetHealthy(false);
  const Result failing = Ctl(Http() + "status --json");
  EXPECT_EQ(failing.status, 1);
  const Json j = Json::parse(failing.out);
  EXPECT_EQ(j["health"]["status"], "failing");
  EXPECT_EQ(j["health"]["checks"]["listener"], false);
  EXPECT_EQ(j["metrics"]["telvaro_records_received_total"], 123);
  EXPECT_FALSE(j["metrics"].contains("telvaro_db_write_seconds_bucket"));
}

TEST_F(TelvaroctlHttp, EndpointFromTheSettingsOrTheOption) {
  // A server listening on every address is asked on the loopback one.
  WriteIni("[Http]\nAddress=0.0.0.0\nPort=" + std::to_string(fake_.Port()) + "\n");
  EXPECT_EQ(Ctl("terminals --json").status, 0);

  WriteIni("[Http]\nPort=0\n");
  const Result off = Ctl("terminals");
  EXPECT_EQ(off.status, 2);
  EXPECT_TRUE(off.err.starts_with("telvaroctl: the server's HTTP endpoint is off ([Http] Port=0)")) << off.err;

  EXPECT_EQ(Ctl("--http localhost terminals").status, 2);
  EXPECT_EQ(Ctl("--http 127.0.0.1:70000 terminals").status, 2);

  const int closed = ClosedPort();
  const Result unreachable = Ctl("--http 127.0.0.1:" + std::to_string(closed) + " terminals");
  EXPECT_EQ(unreachable.status, 1);
  EXPECT_EQ(unreachable.err,
            "telvaroctl: no answer from the server's HTTP endpoint at 127.0.0.1:" + std::to_string(closed) +
                ": cannot connect\n");
}

}  // namespace
}  // namespace telvaro
