#pragma once
// The data channel: a thread that hands every queued terminal record to every client of
// the data pipe, and the data pipe's connect, disconnect and error handlers.

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "queues/RecordQueue.h"
#include "pipes/PipeServer.h"
#include "base/OperatorLog.h"
#include "base/ServerMetrics.h"

namespace telvaro {

class TClientsThread {
 public:
  /// Wait for the "Clients" event; also how long a stop request may wait.
  static constexpr auto aTimeOut = std::chrono::milliseconds(500);

  /// Takes records from `queue` (MobilesToSend); lines go to the log set by SetReport.
  /// Counts what it sends in `metrics` when given.
  explicit TClientsThread(RecordQueue& queue, ServerMetrics* metrics = nullptr) noexcept
      : queue_(queue), metrics_(metrics) {}
  /// Stops the thread.
  ~TClientsThread();
  TClientsThread(const TClientsThread&) = delete;
  TClientsThread& operator=(const TClientsThread&) = delete;

  /// The log for the thread's lines; set before Start.
  void SetReport(OperatorLog* log) noexcept { report_.SetReport(log); }
  /// The data pipe to write to; records are dropped while none is set. Clear it before
  /// the pipe server is destroyed.
  void SetPipe(TPipeServer* pipe) noexcept { pipe_.store(pipe); }

  /// Starts the thread; it creates the event "Clients" and logs that it started.
  void Start();
  /// Tells the thread to stop and waits for it; records still queued stay queued.
  void Stop();

 private:
  void Execute();
  /// Writes one record to every client of the pipe.
  void SendToPipeClients(const TNTMobile& mobile);

  RecordQueue& queue_;
  ServerMetrics* metrics_;
  LogReporter report_;  ///< set before Start, then read by the thread
  std::atomic<TPipeServer*> pipe_{nullptr};  ///< any thread
  std::atomic<bool> stop_{false};            ///< any thread
  std::thread thread_;
};

/// Attaches PSPipeConnect, PSPipeDisconnect and PSPipeError to the data pipe `PS`: the
/// clients panel and the log lines. `isClosing` tells when the server is closing; the
/// connect and disconnect handlers then do nothing.
void AttachDataPipeHandlers(TPipeServer& PS, OperatorLog& log, std::function<bool()> isClosing);

}  // namespace telvaro
