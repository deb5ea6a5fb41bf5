// cluster_driver: the dispatch side and the judge of a cluster run (deploy/cluster-test.sh).
//
//   cluster_driver queue --log FILE [--failed FILE] --first-imei I --terminals N --commands M
//                        --rate R [--pipe PATH]... [--http HOST:PORT]... [--token T] [--seed S]
//     queues M commands, each for a random terminal through a random instance's command
//     pipe or HTTP endpoint, at R a second, and writes "N IMEI VIA UNIX-MS" per command,
//     and "N VIA UNIX-MS" per failed attempt to --failed. Each command is a terminal
//     command frame of the unknown kind 0x7E carrying its number, so the simulator's
//     commands log names it. An instance that cannot be reached is left out until it can
//     be again; its command goes through another.
//
//   cluster_driver check --queued FILE --received FILE --pause-ms P [--failed FILE]
//                        [--killed VIA... --killed-at UNIX-MS --lease-sec S]
//     matches the simulator's commands log against the queued commands and prints how
//     many arrived once, twice or never, and the delay from queueing to arrival beyond
//     the pause before each command write (p50, p99). Counted apart: a command of the
//     killed instance that arrives twice because the instance died between its write
//     and its deletion (the second arrival comes after the lease); a command sent to the
//     killed instance's pipe just before it died, which may never have been stored; and
//     a command that arrives twice because the killed instance stored it and died before
//     its answer, so it was queued again through another (a request without an answer
//     is retried, as any dispatch application would). Exits 1 when a command was lost or
//     written twice otherwise.

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/Bytes.h"
#include "protocol/ParserBase.h"
#include "protocol/TerminalParser.h"

namespace {

using namespace telvaro;
using Clock = std::chrono::steady_clock;

/// The command kind no terminal knows, which the simulator writes down.
constexpr std::uint8_t ProbeKind = 0x7E;
/// How long an instance that failed is left out.
constexpr auto Shunned = std::chrono::seconds(2);
/// Longest wait for one answer of an HTTP endpoint.
constexpr int HttpTimeoutMs = 5000;
/// A command sent to the killed instance's pipe this long before it died may not have
/// been stored; a request to it this close to its death may have been stored unanswered.
constexpr long long PipeGraceMs = 2000;

long long UnixMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string Hex(std::string_view bytes) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += Digits[static_cast<std::uint8_t>(c) >> 4];
    out += Digits[static_cast<std::uint8_t>(c) & 15];
  }
  return out;
}

/// One way into one instance: its command pipe or its HTTP endpoint.
class Door {
 public:
  Door(std::string name, bool http) : name_(std::move(name)), http_(http) {}
  Door(const Door&) = delete;
  Door& operator=(const Door&) = delete;
  Door(Door&& o) noexcept : name_(std::move(o.name_)), http_(o.http_), fd_(o.fd_), shunnedUntil_(o.shunnedUntil_) {
    o.fd_ = -1;
  }
  ~Door() { Close(); }

  const std::string& Name() const { return name_; }
  bool Usable() const { return Clock::now() >= shunnedUntil_; }

  /// Queues `frame` for `imei`; false when the instance could not take it.
  bool Queue(const std::string& imei, const std::string& frame, const std::string& token) {
    const bool ok = http_ ? Post(imei, frame, token) : Send(imei, frame);
    // The endpoint serves one request per connection.
    if (!ok || http_) Close();
    if (!ok) shunnedUntil_ = Clock::now() + Shunned;
    return ok;
  }

 private:
  bool Send(const std::string& imei, const std::string& frame) {
    if (fd_ < 0) {
      fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::strncpy(a.sun_path, name_.c_str(), sizeof a.sun_path - 1);
      if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    }
    TCmdRec rec{};
    rec.UID.assign(imei);
    rec.CMD.assign(frame);
    return ::send(fd_, &rec, sizeof rec, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof rec);
  }

  bool Post(const std::string& imei, const std::string& frame, const std::string& token) {
    if (fd_ < 0 && !ConnectTcp()) return false;
    const std::string body = "{\"hex\":\"" + Hex(frame) + "\"}";
    std::string request = "POST /terminals/" + imei + "/tasks HTTP/1.1\r\nHost: " + name_ +
                          "\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n";
    if (!token.empty()) request += "Authorization: Bearer " + token + "\r\n";
    request += "\r\n" + body;
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return false;
    // The answer: status line, headers, and a body of Content-Length bytes.
    std::string answer;
    char buf[4096];
    std::size_t headEnd = std::string::npos, need = 0;
    while (headEnd == std::string::npos || answer.size() < need) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, HttpTimeoutMs) != 1) return false;
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return false;
      answer.append(buf, static_cast<std::size_t>(n));
      if (headEnd == std::string::npos && (headEnd = answer.find("\r\n\r\n")) != std::string::npos) {
        const auto at = answer.find("Content-Length: ");
        need = headEnd + 4 + (at != std::string::npos && at < headEnd ? std::stoul(answer.substr(at + 16)) : 0);
      }
    }
    return answer.rfind("HTTP/1.1 201", 0) == 0;
  }

  bool ConnectTcp() {
    const auto colon = name_.rfind(':');
    addrinfo hints{}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (::getaddrinfo(name_.substr(0, colon).c_str(), name_.substr(colon + 1).c_str(), &hints, &res) != 0) return false;
    fd_ = ::socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = fd_ >= 0 && ::connect(fd_, res->ai_addr, res->ai_addrlen) == 0;
    ::freeaddrinfo(res);
    return ok;
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string name_;
  bool http_;
  int fd_ = -1;
  Clock::time_point shunnedUntil_{};
};

struct Args {
  std::map<std::string, std::vector<std::string>> values;

  std::string One(const std::string& key, const std::string& def = "") const {
    const auto it = values.find(key);
    return it == values.end() || it->second.empty() ? def : it->second.back();
  }
  std::vector<std::string> All(const std::string& key) const {
    const auto it = values.find(key);
    return it == values.end() ? std::vector<std::string>{} : it->second;
  }
};

int Queue(const Args& a) {
  std::vector<Door> doors;
  for (const auto& p : a.All("--pipe")) doors.emplace_back(p, false);
  for (const auto& h : a.All("--http")) doors.emplace_back(h, true);
  if (doors.empty()) throw std::invalid_argument("no --pipe and no --http");
  const std::uint64_t first = std::stoull(a.One("--first-imei", "350000000000000"));
  const int terminals = std::stoi(a.One("--terminals", "1"));
  const int commands = std::stoi(a.One("--commands", "1"));
  const double rate = std::stod(a.One("--rate", "100"));
  const std::string token = a.One("--token");
  std::mt19937 rng(static_cast<unsigned>(std::stoul(a.One("--seed", "1"))));
  std::ofstream log(a.One("--log"));
  if (!log) throw std::invalid_argument("cannot write --log");
  std::ofstream failedLog;
  if (const std::string f = a.One("--failed"); !f.empty()) {
    failedLog.open(f);
    if (!failedLog) throw std::invalid_argument("cannot write --failed");
  }

  const Clock::time_point start = Clock::now();
  int failures = 0;
  for (int n = 0; n < commands; ++n) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(n * 1e6 / rate)));
    const std::string imei = std::to_string(first + rng() % static_cast<unsigned>(terminals));
    const std::uint8_t body[] = {ProbeKind, static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
                                 static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    const std::string frame(TParserKrestel::MakeCommand(imei, body).WireBytes());
    for (;;) {
      std::vector<Door*> usable;
      for (Door& d : doors)
        if (d.Usable()) usable.push_back(&d);
      if (usable.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        continue;
      }
      Door& d = *usable[rng() % usable.size()];
      if (d.Queue(imei, frame, token)) {
        log << n << ' ' << imei << ' ' << d.Name() << ' ' << UnixMs() << '\n';
        break;
      }
      if (failedLog.is_open()) failedLog << n << ' ' << d.Name() << ' ' << UnixMs() << '\n';
      ++failures;
    }
  }
  log.flush();
  failedLog.flush();
  std::printf("queued %d commands in %.1f s (%d attempts refused by an instance)\n", commands,
              std::chrono::duration<double>(Clock::now() - start).count(), failures);
  return 0;
}

int Check(const Args& a) {
  struct Queued {
    std::string imei, via;
    long long at = 0;
    std::vector<long long> arrivals;
  };
  std::map<long long, Queued> queued;
  {
    std::ifstream in(a.One("--queued"));
    long long n, at;
    std::string imei, via;
    while (in >> n >> imei >> via >> at) queued[n] = {imei, via, at, {}};
  }
  long long strays = 0;
  {
    // Lines "IMEI other HEX UNIX-MS"; the simulator's lines of other kinds are no probes.
    std::ifstream in(a.One("--received"));
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string imei, kind, hex;
      long long at = 0;
      if (!(fields >> imei >> kind)) continue;
      if (kind != "other") continue;
      if (!(fields >> hex >> at)) {
        ++strays;
        continue;
      }
      const long long n = hex.size() == 10 && hex.rfind("7e", 0) == 0 ? std::stoll(hex.substr(2), nullptr, 16) : -1;
      const auto it = queued.find(n);
      if (it == queued.end() || it->second.imei != imei) {
        ++strays;
        continue;
      }
      it->second.arrivals.push_back(at);
    }
  }
  const long long pause = std::stoll(a.One("--pause-ms", "0"));
  const std::vector<std::string> killed = a.All("--killed");
  const auto isKilled = [&](const std::string& via) { return std::find(killed.begin(), killed.end(), via) != killed.end(); };
  const long long killedAt = std::stoll(a.One("--killed-at", "0"));
  const long long leaseMs = std::stoll(a.One("--lease-sec", "0")) * 1000;
  // Commands whose request to the killed instance failed as it died.
  std::vector<long long> unanswered;
  if (const std::string f = a.One("--failed"); !f.empty() && killedAt > 0) {
    std::ifstream in(f);
    long long n, at;
    std::string via;
    while (in >> n >> via >> at)
      if (isKilled(via) && at > killedAt - PipeGraceMs && at < killedAt + PipeGraceMs) unanswered.push_back(n);
  }
  const auto retried = [&](long long n) { return std::find(unanswered.begin(), unanswered.end(), n) != unanswered.end(); };

  long long once = 0, twiceAfterKill = 0, twiceRetried = 0, twice = 0, lostInKilledPipe = 0, lost = 0;
  std::vector<long long> delays;
  for (auto& [n, q] : queued) {
    std::sort(q.arrivals.begin(), q.arrivals.end());
    if (q.arrivals.empty()) {
      const bool inKilledPipe = isKilled(q.via) && q.at <= killedAt && q.at > killedAt - PipeGraceMs;
      (inKilledPipe ? lostInKilledPipe : lost) += 1;
      if (!inKilledPipe) std::printf("lost: command %lld for %s queued through %s\n", n, q.imei.c_str(), q.via.c_str());
      continue;
    }
    delays.push_back(q.arrivals.front() - q.at - pause);
    if (q.arrivals.size() == 1) {
      ++once;
      continue;
    }
    // A second write by another instance after the lease of the one that died between
    // its write and its deletion.
    const bool afterKill = killedAt > 0 && q.arrivals.size() == 2 && q.arrivals[0] <= killedAt + 1000 &&
                           q.arrivals[1] >= killedAt + leaseMs - 1000;
    const bool queuedAgain = !afterKill && q.arrivals.size() == 2 && retried(n);
    (afterKill ? twiceAfterKill : queuedAgain ? twiceRetried : twice) += 1;
    if (!afterKill && !queuedAgain)
      std::printf("written %zu times: command %lld for %s\n", q.arrivals.size(), n, q.imei.c_str());
  }
  std::sort(delays.begin(), delays.end());
  const auto pct = [&](double p) {
    return delays.empty() ? 0 : delays[std::min(delays.size() - 1, static_cast<std::size_t>(p * delays.size()))];
  };
  std::printf("commands queued %zu: written once %lld; twice after the killed instance's lease %lld; "
              "twice as queued again after the killed instance stored it unanswered %lld; "
              "twice otherwise %lld; never stored by the killed instance %lld; lost %lld; unknown arrivals %lld\n",
              queued.size(), once, twiceAfterKill, twiceRetried, twice, lostInKilledPipe, lost, strays);
  std::printf("queue-to-terminal delay beyond the %lld ms pause: p50 %lld ms, p99 %lld ms, max %lld ms\n", pause,
              pct(0.5), pct(0.99), delays.empty() ? 0 : delays.back());
  return lost == 0 && twice == 0 && strays == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cluster_driver queue|check OPTIONS (see the head of ClusterDriver.cpp)\n");
    return 2;
  }
  Args a;
  for (int i = 2; i + 1 < argc; i += 2) a.values[argv[i]].push_back(argv[i + 1]);
  try {
    const std::string what = argv[1];
    if (what == "queue") return Queue(a);
    if (what == "check") return Check(a);
    throw std::invalid_argument("unknown action " + what);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cluster_driver: %s\n", e.what());
    return 2;
  }
}
