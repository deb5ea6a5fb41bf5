#pragma once
// The server put together: start-up in its fixed order, the three timers of the main
// loop, the database writer's restart, and the orderly shutdown.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <asio.hpp>

#include "admin/AdminServer.h"
#include "base/ServerMetrics.h"
#include "connections/TerminalServer.h"
#include "dbwriter/CentralDatabase.h"
#include "dbwriter/DatabaseWriter.h"
#include "files/DiskFileSink.h"
#include "pipes/CommandChannel.h"
#include "pipes/PipeServer.h"
#include "pipes/DataChannel.h"
#include "base/OperatorLog.h"
#include "tasks/PgTaskStore.h"
#include "shell/LogFile.h"
#include "stream/StreamDbFeeder.h"
#include "stream/StreamFollower.h"
#include "stream/StreamPublisher.h"
#include "tasks/TaskDatabase.h"

namespace telvaro {

/// The build's version text.
std::string CurrentFileInfo();

/// The one-line product banner.
std::string Banner();

class TfMain {
 public:
  static constexpr const char* Title = "Telvaro Server Krestel";

  /// `showMessage` is the message box of the front end in use.
  TfMain(asio::io_context& loop, OperatorLog& log, TDM& dm, std::string programDir,
         std::function<void(const std::string&)> showMessage);
  ~TfMain();
  TfMain(const TfMain&) = delete;
  TfMain& operator=(const TfMain&) = delete;

  /// The start-up sequence. False when it stopped at a step that failed; the failure
  /// was shown through the message box and what was started keeps running.
  bool FormCreate();

  /// The orderly shutdown; idempotent.
  void FormClose();

  bool IsClosed() const noexcept { return closed_; }

 private:
  void CreateMobThread();
  void CreateClientsThread();
  /// Starts the stream publisher when [Stream] Url is set.
  void CreateStream();
  StreamOptions StreamOptionsOf() const;
  void OnDBThreadTerminate();
  void StartReconTimer();
  void ReconTimerTimer();
  void StartTimerFree();
  void StartExpiryTimer();
  /// Opens the task database the settings name; logs whether it could.
  void OpenTaskDatabase();
  /// The metrics, read by the admin endpoint; made only when it is configured.
  void CreateMetrics();
  /// The admin endpoint; a failure is logged and the server runs on without it.
  void StartAdmin();
  CentralDatabaseState CentralState() const;
  void OpenLogFile();
  void WaitForHangup();

  asio::io_context& loop_;
  OperatorLog& log_;
  TDM& dm_;
  PgTaskStore sharedTasks_;   ///< the task database of several instances ([Tasks] Store=postgresql)
  TaskDatabase* tasks_;       ///< the one in use: dm_ or sharedTasks_
  std::string programDir_;
  std::function<void(const std::string&)> showMessage_;
  /// The lasting log; it outlives every other part, so that their last lines reach it.
  std::unique_ptr<LogFile> logFile_;
  asio::signal_set hangup_;  ///< SIGHUP, while there is a log file to reopen

  bool closed_ = false;
  std::optional<DbLogin> dbLogin_;
  DiskFileSink files_;

  std::unique_ptr<ServerMetrics> metrics_;  ///< before everything that counts in it
  std::unique_ptr<CentralDatabase> centralDb_;  ///< ODBC or libpq, as the Provider is written
  std::unique_ptr<TMobilesThread> dbWriter_;
  std::unique_ptr<TClientsThread> dataChannel_;
  std::unique_ptr<StreamPublisher> stream_;  ///< null without [Stream] Url
  /// Feeds the database writer from the stream; null without [Stream] Url or a database.
  std::unique_ptr<StreamDbFeeder> dbFeeder_;
  /// Every instance's records for the data pipe; null unless [Stream] PipeFromStream.
  std::unique_ptr<StreamPipeFeeder> pipeFeeder_;
  TPipeServer dataPipe_;
  TPipeServer commandPipe_;
  std::unique_ptr<TCommandChannel> commandChannel_;
  std::unique_ptr<TerminalServer> terminalServer_;
  std::unique_ptr<AdminServer> admin_;  ///< after what it reads, so it goes first

  asio::steady_timer reconTimer_;
  asio::steady_timer restartDbTimer_;
  asio::steady_timer freeTimer_;
  asio::steady_timer expiryTimer_;
};

}  // namespace telvaro
