#include "admin/AdminServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

using Json = nlohmann::json;

/// Accepted connections waiting for a thread of the pool.
constexpr std::size_t MaxWaiting = 64;
/// How long one read or write of a request may take.
constexpr time_t IoTimeoutSeconds = 5;
/// How long a connection may stay silent before its request.
constexpr time_t FirstRequestSeconds = 2;
/// The longest terminal ID a dispatch application can queue tasks for.
constexpr std::size_t MaxIdLength = 255;

/// A fixed pool of threads with a bounded queue. When the queue is full the accepting
/// thread serves the connection itself, so accepting pauses instead of queuing more.
class BoundedPool final : public httplib::TaskQueue {
 public:
  explicit BoundedPool(int threads) {
    for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { Work(); });
  }
  ~BoundedPool() override { shutdown(); }

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard lock(mutex_);
      if (jobs_.size() < MaxWaiting) {
        jobs_.push_back(std::move(fn));
        ready_.notify_one();
        return;
      }
    }
    fn();
  }

  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        // Jobs still queued at a stop are served: each owns an accepted socket.
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      fn();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

/// UTC with milliseconds and "Z".
std::string IsoTime(std::int64_t unixMs) {
  std::int64_t secs = unixMs / 1000, ms = unixMs % 1000;
  if (ms < 0) {
    ms += 1000;
    --secs;
  }
  const std::time_t t = static_cast<std::time_t>(secs);
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                     utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
}

std::string IsoTime(std::chrono::system_clock::time_point t) {
  return IsoTime(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

/// A UTC date-time value as ISO text.
std::string IsoTime(TDateTime utc) {
  return IsoTime(static_cast<std::int64_t>(std::llround((utc - UnixStartDate) * SecsPerDay * 1000.0)));
}

const char* KindName(TaskKind kind) {
  switch (kind) {
    case TaskKind::Command: return "command";
    case TaskKind::FileBlock: return "file_block";
    case TaskKind::Acknowledgement: return "acknowledgement";
  }
  return "command";
}

/// "1 command", "2 file blocks".
std::string Count(int n, std::string_view one) {
  return fmt::format("{} {}{}", n, one, n == 1 ? "" : "s");
}

std::string RemovedLine(std::string_view id, const RemovedTasks& r) {
  std::string line = fmt::format("Removed {} of {}", Count(r.Total(), "task"), id);
  std::vector<std::string> parts;
  if (r.commands) parts.push_back(Count(r.commands, "command"));
  if (r.fileBlocks) parts.push_back(Count(r.fileBlocks, "file block"));
  if (r.acknowledgements) parts.push_back(Count(r.acknowledgements, "acknowledgement"));
  if (!parts.empty()) line += fmt::format(" ({})", fmt::join(parts, ", "));
  return line;
}

std::string RemovedLine(std::string_view id, const QueuedTask& t) {
  std::string kind = KindName(t.kind);
  if (t.kind == TaskKind::FileBlock) kind = "file block";
  return fmt::format("Removed task {} of {} ({}, {})", t.n, id, kind,
                     Count(static_cast<int>(std::min<std::int64_t>(t.size, INT32_MAX)), "byte"));
}

/// Printable ASCII without blanks, as terminal IDs are written.
bool ValidId(std::string_view id) {
  if (id.empty() || id.size() > MaxIdLength) return false;
  for (const char c : id)
    if (c < 0x21 || c > 0x7e) return false;
  return true;
}

/// A task number: decimal digits only, above zero.
std::optional<std::int64_t> TaskNumber(std::string_view text) {
  std::int64_t n = 0;
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size() || n <= 0) return std::nullopt;
  return n;
}

/// The longest command a request may queue, bytes.
constexpr std::size_t MaxCommandBytes = 65000;
/// The longest lifetime a request may give a command: a year, in seconds.
constexpr std::int64_t MaxTtlSeconds = 365ll * 86400;

/// Bytes from hexadecimal text (either case, no separators); none when it is not that.
std::optional<std::string> FromHex(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned v = 0;
    const auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, v, 16);
    if (ec != std::errc() || end != hex.data() + i + 2) return std::nullopt;
    out.push_back(static_cast<char>(v));
  }
  return out;
}

/// A command to queue, read from a request body.
struct NewCommand {
  std::string bytes;
  std::optional<std::chrono::seconds> ttl;
};

/// Reads {"text"|"hex"|"frame": ..., "ttl": seconds}: the command as it is written, as
/// hexadecimal bytes written as they are, or as the hexadecimal body of a command that
/// is framed for the terminal here. `error` says what is wrong when nothing is returned.
std::optional<NewCommand> ReadCommand(std::string_view id, const std::string& body, std::string& error) {
  const Json j = Json::parse(body, nullptr, false);
  if (!j.is_object()) {
    error = "the body is not a JSON object";
    return std::nullopt;
  }
  NewCommand c;
  int given = 0;
  for (const auto& [key, value] : j.items()) {
    if (key == "ttl") {
      if (!value.is_number_integer() || value.get<std::int64_t>() <= 0 || value.get<std::int64_t>() > MaxTtlSeconds) {
        error = fmt::format("ttl must be whole seconds from 1 to {}", MaxTtlSeconds);
        return std::nullopt;
      }
      c.ttl = std::chrono::seconds(value.get<std::int64_t>());
      continue;
    }
    if (key != "text" && key != "hex" && key != "frame") {
      error = "unknown field " + key;
      return std::nullopt;
    }
    if (!value.is_string()) {
      error = key + " must be a string";
      return std::nullopt;
    }
    ++given;
    const std::string& text = value.get_ref<const std::string&>();
    if (key == "text") {
      c.bytes = text;
    } else {
      std::optional<std::string> bytes = FromHex(text);
      if (!bytes) {
        error = key + " is not hexadecimal bytes";
        return std::nullopt;
      }
      c.bytes = key == "hex" ? std::move(*bytes)
                             : std::string(TParserKrestel::MakeCommand(id, AsBytes(*bytes)).WireBytes());
    }
  }
  if (given != 1) {
    error = "give the command as exactly one of text, hex and frame";
    return std::nullopt;
  }
  if (c.bytes.empty() || c.bytes.size() > MaxCommandBytes) {
    error = fmt::format("the command must have 1 to {} bytes", MaxCommandBytes);
    return std::nullopt;
  }
  return c;
}

/// Why `address` cannot be listened at when it does not resolve; "" when it does.
std::string ResolveProblem(const std::string& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(address.c_str(), "0", &hints, &found);
  if (rc != 0) return ::gai_strerror(rc);
  ::freeaddrinfo(found);
  return "";
}

bool IsLoopback(const std::string& address) {
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (::inet_pton(AF_INET6, address.c_str(), &v6) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
  return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

/// Compares without stopping at the first difference, so the time taken tells nothing
/// about how much of a guessed token was right.
bool SameText(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  return diff == 0;
}

std::string ErrorBody(std::string_view text) { return Json{{"error", text}}.dump(); }

const char* StatusText(int status) {
  switch (status) {
    case 400: return "bad request";
    case 401: return "unauthorized";
    case 403: return "forbidden";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 408: return "request timeout";
    case 413: return "request body too large";
    case 414: return "request URI too long";
    case 416: return "range not satisfiable";
    case 503: return "service unavailable";
    default: return status >= 500 ? "internal error" : "request refused";
  }
}

/// The paths served, with their parameters taken out.
struct Route {
  enum class Kind { Metrics, Health, Terminals, Tasks, Task } kind;
  std::vector<std::string_view> methods;
  std::string_view id;
  std::string_view number;
};

std::optional<Route> Match(std::string_view path) {
  std::vector<std::string_view> parts;
  if (path.empty() || path.front() != '/') return std::nullopt;
  path.remove_prefix(1);
  for (;;) {
    const auto slash = path.find('/');
    parts.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  using K = Route::Kind;
  if (parts.size() == 1 && parts[0] == "metrics") return Route{K::Metrics, {"GET"}, {}, {}};
  if (parts.size() == 1 && parts[0] == "healthz") return Route{K::Health, {"GET"}, {}, {}};
  if (parts.size() == 1 && parts[0] == "terminals") return Route{K::Terminals, {"GET"}, {}, {}};
  if (parts.size() == 3 && parts[0] == "terminals" && parts[2] == "tasks")
    return Route{K::Tasks, {"GET", "POST", "DELETE"}, parts[1], {}};
  if (parts.size() == 4 && parts[0] == "terminals" && parts[2] == "tasks")
    return Route{K::Task, {"DELETE"}, parts[1], parts[3]};
  return std::nullopt;
}

}  // namespace

struct AdminServer::Impl {
  Impl(AdminSources s, AdminOptions o) : sources(std::move(s)), options(std::move(o)) {}

  void Handle(const httplib::Request& req, httplib::Response& res);
  /// False, with the answer set, when `req` may not change anything.
  bool Authorized(const httplib::Request& req, httplib::Response& res) const;
  void Health(httplib::Response& res) const;
  void Terminals(httplib::Response& res) const;
  void ListTasks(std::string_view id, httplib::Response& res) const;
  void RemoveTasks(std::string_view id, httplib::Response& res) const;
  void AddCommand(std::string_view id, const std::string& body, httplib::Response& res) const;
  void RemoveTask(std::string_view id, std::int64_t n, httplib::Response& res) const;
  /// The answer for a task database operation that threw.
  void TaskDatabaseFailed(const std::exception& e, httplib::Response& res) const;

  static void Reply(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
  }
  static void Error(httplib::Response& res, int status, std::string_view text) {
    res.status = status;
    res.set_content(ErrorBody(text), "application/json");
  }

  AdminSources sources;
  AdminOptions options;
  httplib::Server http;
  std::thread listener;
  std::uint16_t port = 0;
};

void AdminServer::Impl::Handle(const httplib::Request& req, httplib::Response& res) {
  const std::optional<Route> route = Match(req.path);
  if (!route) return Error(res, 404, "no such path: " + req.path);
  // HEAD is answered as GET without the body.
  const std::string_view method = req.method == "HEAD" ? std::string_view("GET") : req.method;
  if (std::find(route->methods.begin(), route->methods.end(), method) == route->methods.end()) {
    res.set_header("Allow", fmt::format("{}", fmt::join(route->methods, ", ")));
    return Error(res, 405, req.method + " is not allowed on " + req.path);
  }
  if (method != "GET" && !Authorized(req, res)) return;

  using K = Route::Kind;
  switch (route->kind) {
    case K::Metrics:
      res.set_content(sources.metrics->Render(), "text/plain; version=0.0.4");
      return;
    case K::Health:
      return Health(res);
    case K::Terminals:
      return Terminals(res);
    case K::Tasks:
    case K::Task:
      break;
  }
  if (!ValidId(route->id)) return Error(res, 400, "not a terminal ID: " + std::string(route->id));
  if (route->kind == K::Tasks) {
    if (method == "GET") return ListTasks(route->id, res);
    if (method == "POST") return AddCommand(route->id, req.body, res);
    return RemoveTasks(route->id, res);
  }
  const auto n = TaskNumber(route->number);
  if (!n) return Error(res, 400, "not a task number: " + std::string(route->number));
  RemoveTask(route->id, *n, res);
}

bool AdminServer::Impl::Authorized(const httplib::Request& req, httplib::Response& res) const {
  if (options.token.empty()) {
    if (IsLoopback(req.remote_addr)) return true;
    Error(res, 403, "changes are taken only from this host while no token is set");
    return false;
  }
  const std::string header = req.get_header_value("Authorization");
  constexpr std::string_view Scheme = "bearer ";
  const bool bearer = header.size() > Scheme.size() &&
                      std::equal(Scheme.begin(), Scheme.end(), header.begin(),
                                 [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
  if (bearer && SameText(std::string_view(header).substr(Scheme.size()), options.token)) return true;
  res.set_header("WWW-Authenticate", "Bearer");
  Error(res, 401, bearer ? "wrong token" : "a bearer token is required");
  return false;
}

void AdminServer::Impl::Health(httplib::Response& res) const {
  const bool listening = sources.terminals->Active();
  const bool taskDatabase = sources.tasks->Reachable();
  const char* central = "off";
  switch (sources.centralDatabase()) {
    case CentralDatabaseState::Off: break;
    case CentralDatabaseState::Connected: central = "connected"; break;
    case CentralDatabaseState::Disconnected: central = "disconnected"; break;
  }
  // The central database being down loses nothing (records wait in the queue), so it
  // is reported but does not fail the check.
  const bool healthy = listening && taskDatabase;
  Reply(res, healthy ? 200 : 503,
        {{"status", healthy ? "ok" : "failing"},
         {"checks", {{"listener", listening}, {"task_database", taskDatabase}, {"central_database", central}}}});
}

void AdminServer::Impl::Terminals(httplib::Response& res) const {
  const std::vector<TerminalInfo> terminals = sources.terminals->Terminals();
  const bool counting = sources.tasks->IsOpen();
  Json list = Json::array();
  for (const TerminalInfo& t : terminals) {
    int queued = 0;
    if (counting && !t.id.empty()) {
      try {
        queued = sources.tasks->CountCommandsFor(t.id);
      } catch (const std::exception&) {
        // Closed meanwhile: nothing counted.
      }
    }
    list.push_back({{"id", t.id},
                    {"peer", t.peer},
                    {"port", t.port},
                    {"connected_since", IsoTime(t.connectedSince)},
                    {"last_message", t.lastMessage ? Json(IsoTime(*t.lastMessage)) : Json(nullptr)},
                    {"records", t.records},
                    {"tasks_queued", queued}});
  }
  Reply(res, 200, list);
}

void AdminServer::Impl::ListTasks(std::string_view id, httplib::Response& res) const {
  try {
    Json list = Json::array();
    for (const QueuedTask& t : sources.tasks->ListTasks(id))
      list.push_back({{"n", t.n},
                      {"kind", KindName(t.kind)},
                      {"size", t.size},
                      {"queued_at", t.queuedAt ? Json(IsoTime(*t.queuedAt)) : Json(nullptr)}});
    Reply(res, 200, list);
  } catch (const std::exception& e) {
    TaskDatabaseFailed(e, res);
  }
}

void AdminServer::Impl::AddCommand(std::string_view id, const std::string& body, httplib::Response& res) const {
  std::string error;
  const std::optional<NewCommand> c = ReadCommand(id, body, error);
  if (!c) return Error(res, 400, error);
  try {
    const std::int64_t n = sources.tasks->AddCommand(id, c->bytes, c->ttl);
    sources.log->Append(fmt::format("Queued task {} of {} (command, {})", n, id,
                                    Count(static_cast<int>(c->bytes.size()), "byte")));
    Reply(res, 201, {{"n", n}});
  } catch (const std::exception& e) {
    TaskDatabaseFailed(e, res);
  }
}

void AdminServer::Impl::RemoveTasks(std::string_view id, httplib::Response& res) const {
  try {
    const RemovedTasks removed = sources.tasks->RemoveTasks(id);
    sources.log->Append(RemovedLine(id, removed));
    Reply(res, 200, {{"removed", removed.Total()}});
  } catch (const std::exception& e) {
    TaskDatabaseFailed(e, res);
  }
}

void AdminServer::Impl::RemoveTask(std::string_view id, std::int64_t n, httplib::Response& res) const {
  try {
    const std::optional<QueuedTask> removed = sources.tasks->RemoveTask(id, n);
    if (!removed) return Error(res, 404, fmt::format("{} has no task {}", id, n));
    sources.log->Append(RemovedLine(id, *removed));
    Reply(res, 200, {{"removed", 1}});
  } catch (const std::exception& e) {
    TaskDatabaseFailed(e, res);
  }
}

void AdminServer::Impl::TaskDatabaseFailed(const std::exception& e, httplib::Response& res) const {
  if (!sources.tasks->IsOpen()) return Error(res, 503, "the task database is not open");
  Error(res, 500, std::string("task database: ") + e.what());
}

AdminServer::AdminServer(AdminSources sources, AdminOptions options)
    : impl_(std::make_unique<Impl>(std::move(sources), std::move(options))) {
  Impl& d = *impl_;
  if (!d.sources.log || !d.sources.metrics || !d.sources.terminals || !d.sources.tasks || !d.sources.centralDatabase)
    throw std::invalid_argument("the admin endpoint lacks a source");
  httplib::Server& http = d.http;
  // The library takes the queue over and deletes it when it stops.
  http.new_task_queue = [threads = d.options.threads] { return std::make_unique<BoundedPool>(threads).release(); };
  http.set_payload_max_length(d.options.maxBody);
  http.set_read_timeout(IoTimeoutSeconds, 0);
  http.set_write_timeout(IoTimeoutSeconds, 0);
  // One request per connection: a connection kept open would hold one of the few
  // threads while idle and hold up a stop until it timed out.
  http.set_keep_alive_max_count(1);
  http.set_keep_alive_timeout(FirstRequestSeconds);
  // The library's default shares the port with any other listener (SO_REUSEPORT), so a
  // second server would not notice the first; only a restart's lingering sockets may.
  http.set_socket_options([](socket_t sock) {
    const int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  const auto handle = [&d](const httplib::Request& req, httplib::Response& res) { d.Handle(req, res); };
  // Every path goes to one dispatcher, which tells an unknown path (404) from a method
  // the path does not take (405).
  http.Get(".*", handle);
  http.Post(".*", handle);
  http.Put(".*", handle);
  http.Patch(".*", handle);
  http.Delete(".*", handle);
  http.Options(".*", handle);
  // Answers the library makes itself (a malformed request, a body past the bound) and
  // any other error without a body get the JSON error body too.
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) Impl::Error(res, res.status, StatusText(res.status));
  });
  http.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "internal error";
    try {
      if (ep) std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what += std::string(": ") + e.what();
    } catch (...) {
    }
    Impl::Error(res, 500, what);
  });
}

AdminServer::~AdminServer() { Stop(); }

void AdminServer::Start() {
  Impl& d = *impl_;
  const auto fail = [&d](const std::string& reason) {
    throw std::runtime_error("Could not open the HTTP port " + std::to_string(d.options.port) + ": " + reason);
  };
  // The library tells only that it failed: an address that does not resolve is found
  // here, and the socket calls leave their reason in errno.
  if (const std::string problem = ResolveProblem(d.options.address); !problem.empty()) fail(problem);
  errno = 0;
  const int bound = d.options.port == 0 ? d.http.bind_to_any_port(d.options.address)
                                        : (d.http.bind_to_port(d.options.address, d.options.port) ? d.options.port : -1);
  if (bound <= 0) fail(errno != 0 ? std::strerror(errno) : "cannot listen at address " + d.options.address);
  d.port = static_cast<std::uint16_t>(bound);
  d.listener = std::thread([&d] { d.http.listen_after_bind(); });
}

void AdminServer::Stop() {
  Impl& d = *impl_;
  if (!d.listener.joinable()) return;
  // stop() ends only a listen loop that is running. The thread marks it running first
  // thing and it runs until stopped, so this wait is short.
  while (!d.http.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  d.http.stop();
  d.listener.join();
}

std::uint16_t AdminServer::Port() const noexcept { return impl_->port; }

}  // namespace telvaro
