#pragma once
// A listener on an ephemeral port with queues, log and task store of the test's own,
// and a blocking terminal client for it.

#include <gtest/gtest.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <filesystem>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "connections/TerminalServer.h"
#include "files/DiskFileSink.h"
#include "tasks/TaskDatabase.h"
#include "tests/protocol/FrameBuilder.h"

#include "tests/support/TempDir.h"

namespace telvaro::test {

/// Waits until `done` holds; false when it did not within a generous limit.
inline bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

/// Records queued so far, oldest first, leaving the queue empty.
inline std::vector<TNTMobile> Drain(RecordQueue& q) {
  std::vector<TNTMobile> out;
  q.TakeAll(out);
  return out;
}

/// The lines appended to `log` (a new log starts with one empty line).
inline std::vector<std::string> Appended(const OperatorLog& log) {
  auto lines = log.Lines();
  lines.erase(lines.begin());
  return lines;
}

inline std::vector<std::int32_t> Events(const std::vector<TNTMobile>& records) {
  std::vector<std::int32_t> ev;
  for (const auto& m : records) ev.push_back(m.Rec.Event);
  return ev;
}

/// One terminal: a blocking socket with a read limit so a failing test cannot hang.
class Client {
 public:
  /// Connects at once, or with `connectNow` false only opens its socket for Connect().
  explicit Client(std::uint16_t port, bool connectNow = true) : port_(port), socket_(ioc_) {
    socket_.open(asio::ip::tcp::v4());
    const timeval limit{10, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connectNow) Connect();
  }

  void Connect() { socket_.connect({asio::ip::address_v4::loopback(), port_}); }

  std::uint16_t LocalPort() const { return socket_.local_endpoint().port(); }

  void Write(const ByteVec& bytes) { asio::write(socket_, asio::buffer(bytes)); }

  /// Exactly `n` bytes; fewer when the server closed the connection first.
  ByteVec Read(std::size_t n) {
    ByteVec out(n);
    std::error_code ec;
    const std::size_t got = asio::read(socket_, asio::buffer(out), ec);
    out.resize(got);
    return out;
  }

  /// True when the server closed the connection (read sees the end).
  bool ClosedByServer() {
    std::uint8_t b;
    std::error_code ec;
    socket_.read_some(asio::buffer(&b, 1), ec);
    return ec == asio::error::eof || ec == asio::error::connection_reset;
  }

  void Close() {
    std::error_code ec;
    socket_.close(ec);
  }

  /// Ends the sending side only; the server's writes can still be read.
  void CloseSending() {
    std::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  }

  /// Closes with a reset instead of an orderly end.
  void Reset() {
    const linger abort{1, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Close();
  }

 private:
  std::uint16_t port_;
  asio::io_context ioc_;
  asio::ip::tcp::socket socket_;
};

/// The real task store in a temporary directory of its own.
struct TempTaskStore {
  TempTaskStore() : dir("telvaro-conn") { dm.Open(dir.path() + "/upd_sw.mdb"); }

  TempDir dir;  ///< declared first: made before and removed after the store in it
  TDM dm;
};

inline const std::string Imei = "356307042441013";
inline constexpr std::uint64_t ImeiNumber = 356307042441013ull;

/// A keep-alive frame from the test terminal.
inline ByteVec Ping(std::uint64_t imei = ImeiNumber) { return Frame(Payload(imei, 5, 0)); }

/// An answer frame (kind 6) carrying `nrec` answers laid out in `body`.
inline ByteVec Answers(std::uint8_t nrec, const ByteVec& body, std::uint64_t imei = ImeiNumber) {
  return Frame(Payload(imei, 6, nrec, body));
}

/// An AVL frame of `n` records with no I/O elements, event `event`, stamped from
/// `firstTime` on, one second apart.
inline ByteVec Avl(int n, std::uint8_t event = 0, std::uint64_t imei = ImeiNumber,
                   std::uint32_t firstTime = 1700000000) {
  ByteVec body;
  for (int i = 0; i < n; ++i) {
    PutBE(body, firstTime + static_cast<std::uint32_t>(i), 4);
    body.push_back(event);
    PutBE(body, 376000000, 4);
    PutBE(body, 557000000, 4);
    body.insert(body.end(), {0, 150, 0, 90, 9, 0, 42, 1, 1, 0});
    body.insert(body.end(), {0, 0, 0, 0});
  }
  return Frame(Payload(imei, 2, static_cast<std::uint8_t>(n), body));
}

inline std::string Text(const ByteVec& v) { return std::string(v.begin(), v.end()); }

/// The environment of a test's connections: the default settings' fuel event 150 and
/// record routing (a database configured), a short command pause, no black list, no
/// key table, and the test's own log, store, file sink and queues.
inline ConnectionEnv TestEnv(OperatorLog& log, TaskStore& store, FileSink& files, RecordQueue& mobiles,
                             RecordQueue& toSend) {
  ConnectionEnv env;
  env.log = &log;
  env.store = &store;
  env.files = &files;
  env.mobiles = &mobiles;
  env.toSend = &toSend;
  env.cmdDelay = std::chrono::milliseconds(20);
  env.parser.dbEvents = {150};
  return env;
}

}  // namespace telvaro::test
