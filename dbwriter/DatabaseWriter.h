#pragma once
// The database writer: a thread of its own that takes the records out of the queue
// `Mobiles` whenever the event "DB" wakes it and stores them in the central database.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "queues/RecordQueue.h"
#include "dbwriter/CentralDatabase.h"
#include "dbwriter/TelemetryRecord.h"
#include "base/OperatorLog.h"
#include "base/ServerMetrics.h"
#include "base/Settings.h"

namespace telvaro {

/// The writer thread. Each wake-up drains the whole queue, a transaction per up to
/// MaxTransaction records; a transaction the database rejects is written again one
/// record per transaction, so only the rejected records are dropped. Records whose
/// write failed because the connection broke go back to the front of the queue, and
/// the connection is reopened every `ReconnectSec` seconds.
class TMobilesThread {
 public:
  static constexpr std::chrono::milliseconds aTimeOut{500};  ///< longest wait before a stop request is seen
  static constexpr std::size_t MaxTransaction = 1000;  ///< bounds the redo after a rejection and a stop's wait

  /// Runs on the writer thread as its last act, however the thread ended.
  using EndHandler = std::function<void()>;

  /// A writer for `db` (over either client library) taking from `mobiles`; `settings`
  /// gives the element numbers and `ReconnectSec`. Nothing runs before Start.
  TMobilesThread(CentralDatabase& db, RecordQueue& mobiles, const TSettings& settings);
  /// Stops and joins the thread.
  ~TMobilesThread();
  TMobilesThread(const TMobilesThread&) = delete;
  TMobilesThread& operator=(const TMobilesThread&) = delete;

  /// Sets the operator log for the thread's lines and for status panel 0, which the
  /// writer updates when it loses or regains the connection.
  void SetReport(OperatorLog* log) noexcept {
    report_.SetReport(log);
    log_ = log;
  }
  /// Sets the handler called when the thread ends; set it before Start. It runs on
  /// the writer thread, so it must not destroy this object: post to the main loop.
  void SetOnTerminate(EndHandler handler) { onTerminate_ = std::move(handler); }
  /// Counts writes, drops and transaction times and shows the connection in `metrics`;
  /// set it before Start.
  void SetMetrics(ServerMetrics* metrics) noexcept { metrics_ = metrics; }

  void Start();
  /// Asks the thread to stop. It notices at once while it waits for records or for a
  /// login (which it leaves behind), and after the transaction it is writing, which
  /// the database's time-out bounds.
  void Terminate() noexcept { stop_.request_stop(); }
  /// Waits for the thread to end (Terminate first, or it waits forever).
  void WaitFor();
  /// Terminate and WaitFor.
  void Stop();
  /// True from Start until the thread has logged its end.
  bool Running() const noexcept { return running_; }

  /// Writes one object in its own transaction: OBJECTS_IU (errors dropped) or
  /// MOBILES_IU (an error is logged as "Error  writing  to DB  " + message).
  /// Returns false when the connection broke, so the object was not written.
  bool WriteToDB(const TMobile& mobile);

 private:
  void Execute();
  /// True when the database is usable, reopening a lost connection when it is due.
  bool EnsureConnected(bool haveWork);
  /// Writes every queued record; stops early on a stop request or a broken connection.
  void Drain();
  /// Writes `mobiles`; returns how many leading ones are done (all, unless the
  /// connection broke).
  std::size_t WriteBatch(std::span<const TMobile> mobiles);
  void ReportDrops();
  void SetDown();
  void SetUp();

  CentralDatabase& db_;
  RecordQueue& mobiles_;
  const TSettings& settings_;
  LogReporter report_;
  OperatorLog* log_ = nullptr;
  ServerMetrics* metrics_ = nullptr;
  EndHandler onTerminate_;
  std::thread thread_;
  std::stop_source stop_;
  std::atomic<bool> running_{false};

  // Writer-thread state.
  bool down_ = false;          ///< "DB disconnected" logged, recovery not yet
  bool reconnectLogged_ = false;
  std::chrono::steady_clock::time_point nextReconnect_{};
  std::vector<TNTMobile> batch_;
  std::vector<TMobile> converted_;
  std::vector<std::size_t> origin_;
};

}  // namespace telvaro
