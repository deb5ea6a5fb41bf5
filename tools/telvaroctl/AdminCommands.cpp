// telvaroctl's requests to the server's HTTP endpoint: the terminals, their tasks, the
// cancelling of tasks, health and metrics.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "base/IniFile.h"
#include "tools/telvaroctl/Ctl.h"

namespace telvaro::ctl {
namespace {

using Json = nlohmann::json;

constexpr const char* DefaultAddress = "127.0.0.1";
constexpr int DefaultPort = 4002;

/// Where the endpoint is and the token of requests that change something.
struct Endpoint {
  std::string host;
  int port = DefaultPort;
  std::string token;

  std::string Text() const { return host.find(':') == std::string::npos ? fmt::format("{}:{}", host, port)
                                                                         : fmt::format("[{}]:{}", host, port); }
};

/// --http's HOST:PORT or [IPV6]:PORT.
void ParseHttpOption(const std::string& text, Endpoint& e) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw UsageError("--http needs HOST:PORT, not \"" + text + "\"");
  std::string host = text.substr(0, colon);
  if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  const std::string_view port = std::string_view(text).substr(colon + 1);
  int p = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), p);
  if (ec != std::errc() || end != port.data() + port.size() || p < 1 || p > 65535)
    throw UsageError("--http needs a port from 1 to 65535, not \"" + std::string(port) + "\"");
  e.host = host;
  e.port = p;
}

/// The endpoint the options name, else the one the settings of the program directory
/// name ([Http] Address, Port and Token), else 127.0.0.1:4002.
Endpoint EndpointOf(const CommonOptions& o) {
  Endpoint e{DefaultAddress, DefaultPort, {}};
  if (!o.http || !o.token) {
    IniFile ini(HomeDirectory(o) + "telvaroserver.ini");
    e.host = ini.ReadString("Http", "Address", DefaultAddress);
    e.port = static_cast<int>(ini.ReadInt64("Http", "Port", DefaultPort, 0, 65535));
    e.token = ini.ReadString("Http", "Token", "");
    // A server listening on every address is reached on the loopback one.
    if (e.host.empty() || e.host == "0.0.0.0") e.host = DefaultAddress;
    else if (e.host == "::" || e.host == "[::]") e.host = "::1";
    else if (e.host.front() == '[' && e.host.back() == ']') e.host = e.host.substr(1, e.host.size() - 2);
  }
  if (o.http) ParseHttpOption(*o.http, e);
  if (o.token) e.token = *o.token;
  if (e.port == 0) throw UsageError("the server's HTTP endpoint is off ([Http] Port=0); --http names another");
  return e;
}

/// Why a request got no answer, in words.
std::string Reason(httplib::Error e) {
  switch (e) {
    case httplib::Error::Connection: return "cannot connect";
    case httplib::Error::ConnectionTimeout: return "the connection timed out";
    case httplib::Error::Read: return "the answer did not come in time or was cut off";
    case httplib::Error::Write: return "the request could not be sent";
    default: return httplib::to_string(e);
  }
}

/// A client of the endpoint: every wait bounded by --timeout.
class Admin {
 public:
  Admin(const CommonOptions& o) : endpoint_(EndpointOf(o)), client_(endpoint_.host, endpoint_.port) {
    client_.set_connection_timeout(o.timeout);
    client_.set_read_timeout(o.timeout);
    client_.set_write_timeout(o.timeout);
    if (!endpoint_.token.empty()) client_.set_bearer_token_auth(endpoint_.token);
  }

  /// The answer to GET `path`; an error answer throws, unless its status is `alsoFine`.
  httplib::Response Get(const std::string& path, int alsoFine = 0) {
    return Checked(client_.Get(path), alsoFine);
  }
  httplib::Response Delete(const std::string& path) { return Checked(client_.Delete(path), 0); }

 private:
  httplib::Response Checked(const httplib::Result& r, int alsoFine) {
    if (!r)
      throw std::runtime_error(fmt::format("no answer from the server's HTTP endpoint at {}: {}", endpoint_.Text(),
                                           Reason(r.error())));
    if (r->status >= 400 && r->status != alsoFine) {
      std::string message;
      try {
        message = Json::parse(r->body).at("error").get<std::string>();
      } catch (const Json::exception&) {
        message = r->body.substr(0, r->body.find('\n'));
      }
      throw std::runtime_error(fmt::format("{} (HTTP {})", message.empty() ? r->reason : message, r->status));
    }
    return *r;
  }

  Endpoint endpoint_;
  httplib::Client client_;
};

Json ParseBody(const httplib::Response& r) {
  try {
    return Json::parse(r.body);
  } catch (const Json::exception&) {
    throw std::runtime_error("the server's answer is not JSON");
  }
}

/// The body as it came, on a line of its own.
int PrintRaw(const httplib::Response& r) {
  std::cout << r.body << (r.body.ends_with('\n') ? "" : "\n");
  return 0;
}

/// Columns padded to their widest cell, `right` ones right-aligned; the header line
/// only when `header` is not empty.
void PrintTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                const std::vector<bool>& right) {
  std::vector<std::size_t> width(right.size());
  for (std::size_t c = 0; c < width.size(); ++c) {
    width[c] = header.empty() ? 0 : header[c].size();
    for (const auto& row : rows) width[c] = std::max(width[c], row[c].size());
  }
  const auto print = [&](const std::vector<std::string>& row) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      if (c > 0) line += "  ";
      const std::string pad(width[c] - row[c].size(), ' ');
      line += right[c] ? pad + row[c] : row[c] + (c + 1 < row.size() ? pad : "");
    }
    std::cout << line << '\n';
  };
  if (!header.empty()) print(header);
  for (const auto& row : rows) print(row);
}

/// A JSON value as a table cell: "-" for null.
std::string Cell(const Json& v) {
  if (v.is_null()) return "-";
  if (v.is_string()) return v.get<std::string>().empty() ? "-" : v.get<std::string>();
  return v.dump();
}

/// The path of a terminal's tasks; an ID given with --any-id may hold any character.
std::string TasksPath(const std::string& id) {
  std::string path = "/terminals/";
  for (const char c : id) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '~') path += c;
    else path += fmt::format("%{:02X}", static_cast<unsigned char>(c));
  }
  return path + "/tasks";
}

/// The samples of a Prometheus text without labels, by name.
std::map<std::string, double> Samples(const std::string& text) {
  std::map<std::string, double> samples;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.front() == '#') continue;
    const std::size_t space = line.find(' ');
    if (space == std::string::npos || line.find('{') < space) continue;
    char* end = nullptr;
    const double v = std::strtod(line.c_str() + space + 1, &end);
    if (end != line.c_str() + space + 1) samples.emplace(line.substr(0, space), v);
  }
  return samples;
}

std::string Duration(double seconds) {
  const auto s = static_cast<long long>(std::max(0.0, seconds));
  const std::string clock = fmt::format("{:02}:{:02}:{:02}", s / 3600 % 24, s / 60 % 60, s % 60);
  return s >= 86400 ? fmt::format("{} d {}", s / 86400, clock) : clock;
}

}  // namespace

int Terminals(const CommonOptions& o, bool json) {
  const auto r = Admin(o).Get("/terminals");
  if (json) return PrintRaw(r);
  const Json list = ParseBody(r);
  if (list.empty()) {
    std::cout << "No terminal is connected.\n";
    return 0;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Json& t : list)
    rows.push_back({Cell(t.at("id")), fmt::format("{}:{}", t.at("peer").get<std::string>(), t.at("port").get<int>()),
                    Cell(t.at("connected_since")), Cell(t.at("last_message")), Cell(t.at("records")),
                    Cell(t.at("tasks_queued"))});
  PrintTable({"ID", "PEER", "CONNECTED SINCE", "LAST MESSAGE", "RECORDS", "TASKS"}, rows,
             {false, false, false, false, true, true});
  return 0;
}

int Tasks(const CommonOptions& o, const std::string& id, bool json) {
  CheckTerminalId(o, id);
  const auto r = Admin(o).Get(TasksPath(id));
  if (json) return PrintRaw(r);
  const Json list = ParseBody(r);
  if (list.empty()) {
    std::cout << "No task is queued for " << id << ".\n";
    return 0;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Json& t : list)
    rows.push_back({Cell(t.at("n")), Cell(t.at("kind")), Cell(t.at("size")), Cell(t.at("queued_at"))});
  PrintTable({"N", "KIND", "SIZE", "QUEUED AT"}, rows, {true, false, true, false});
  return 0;
}

int Cancel(const CommonOptions& o, const std::string& id, std::optional<long long> n, bool json) {
  CheckTerminalId(o, id);
  const auto r = Admin(o).Delete(n ? TasksPath(id) + "/" + std::to_string(*n) : TasksPath(id));
  if (json) return PrintRaw(r);
  const long long removed = ParseBody(r).at("removed").get<long long>();
  if (n) std::cout << "Removed task " << *n << " of " << id << ".\n";
  else std::cout << "Removed " << removed << (removed == 1 ? " task" : " tasks") << " of " << id << ".\n";
  return 0;
}

int Status(const CommonOptions& o, bool json) {
  Admin admin(o);
  // A failing server answers 503 with the same body.
  const Json health = ParseBody(admin.Get("/healthz", 503));
  const auto samples = Samples(admin.Get("/metrics").body);
  const bool ok = health.at("status") == "ok";
  static constexpr std::pair<const char*, const char*> Shown[] = {
      {"telvaro_terminal_connections", "terminals connected"},
      {"telvaro_records_received_total", "records received"},
      {"telvaro_tasks_queued", "tasks queued"},
      {"telvaro_data_pipe_clients", "data pipe clients"},
      {"telvaro_db_queue_length", "database queue"},
      {"telvaro_db_records_dropped_total", "database records dropped"},
      {"process_open_fds", "open files"},
      {"process_resident_memory_bytes", "memory"},
      {"process_start_time_seconds", "up"},
  };
  if (json) {
    Json metrics = Json::object();
    for (const auto& [name, label] : Shown)
      if (const auto it = samples.find(name); it != samples.end()) metrics[name] = it->second;
    std::cout << Json{{"health", health}, {"metrics", metrics}}.dump() << '\n';
    return ok ? 0 : 1;
  }
  const Json& checks = health.at("checks");
  std::vector<std::vector<std::string>> rows{
      {"status", health.at("status").get<std::string>()},
      {"listener", checks.at("listener").get<bool>() ? "up" : "down"},
      {"task database", checks.at("task_database").get<bool>() ? "open" : "failing"},
      {"central database", checks.at("central_database").get<std::string>()}};
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  for (const auto& [name, label] : Shown) {
    const auto it = samples.find(name);
    if (it == samples.end()) continue;
    const double v = it->second;
    const std::string_view n = name;
    rows.push_back({label, n == "process_resident_memory_bytes" ? fmt::format("{:.1f} MiB", v / 1048576)
                           : n == "process_start_time_seconds"  ? Duration(now - v)
                                                                : fmt::format("{}", v)});
  }
  PrintTable({}, rows, {false, false});
  return ok ? 0 : 1;
}

}  // namespace telvaro::ctl
