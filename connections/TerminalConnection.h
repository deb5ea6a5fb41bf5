#pragma once
// What one terminal connection does with the messages it receives, free of sockets:
// parse a message into a batch, pick the command to write after it, book the write,
// route the batch to the log and the queues, and announce the end. The session that
// owns the socket calls these steps in order and only carries out the I/O.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "queues/NamedEvent.h"
#include "queues/RecordQueue.h"
#include "protocol/DownloadFiles.h"
#include "protocol/ParserContext.h"
#include "protocol/TerminalParser.h"
#include "base/OperatorLog.h"

namespace telvaro {

/// What every connection of a listener shares, built once at start-up. Plain pointers:
/// the objects outlive it.
struct ConnectionEnv {
  OperatorLog* log = nullptr;          ///< operator log; must be set
  TaskStore* store = nullptr;          ///< the data module; null: no task store
  FileSink* files = nullptr;           ///< where received files go; must be set
  RecordQueue* mobiles = &Mobiles;     ///< database queue
  RecordQueue* toSend = &MobilesToSend;  ///< data-channel queue
  std::chrono::milliseconds cmdDelay{2000};  ///< pause before every command write
  bool toDatabase = true;              ///< data-frame records go to the database queue
  bool proxyProtocol = false;          ///< every connection starts with a PROXY v2 header
  std::size_t queueLimit = 1000000;    ///< records the database queue holds at most
  /// What the parsers read; terminals are identified when it holds a key table.
  ParserContext parser;
  RenderOptions render;                ///< the log line of every record
};

/// How long an identification request may stay unanswered.
inline constexpr double IdentifyLimitDays = 30.0 / 86400.0;

class TerminalConnection {
 public:
  TerminalConnection(const ConnectionEnv& env, std::string peer);
  /// Releases the terminal it held in the task store, if End() did not.
  ~TerminalConnection();
  TerminalConnection(const TerminalConnection&) = delete;
  TerminalConnection& operator=(const TerminalConnection&) = delete;

  /// Parses one complete message into the batch. False when the connection must end:
  /// the message yielded no record, an identification request went unanswered too
  /// long, or the terminal is black-listed. After a handshake, when identifying,
  /// queues the identification request. Errors of the stores inside the parser pass
  /// to the caller.
  bool Parse(Bytes message);

  /// The command to write after the current batch, if any; a failure is logged.
  std::optional<TCmd> FetchCommand();
  /// Bookkeeping after `cmd` was written whole: removes it and announces it.
  void CommandWritten(const TCmd& cmd);
  /// Logs a failed write; `cmd` stays queued and is fetched again after the next batch.
  void CommandFailed(const TCmd& cmd, std::string_view error);

  /// Routes every record of the batch and empties it. False when the terminal was
  /// refused (identification rejected): the connection must end.
  bool Route();

  /// The end-of-connection announcement: the log line and the disconnection record;
  /// the task store is told the terminal is no longer held here.
  void End();

  /// Frees the batch's storage while the connection is idle.
  void ReleaseIdle() noexcept;

  /// The `ID` of the first record of the latest batch; empty before the first.
  const std::string& Identity() const noexcept { return identity_; }
  const std::string& Peer() const noexcept { return peer_; }
  /// The terminal's own address, when a balancer relays the connection.
  void SetPeer(std::string peer) { peer_ = std::move(peer); }
  TParserKrestel& Parser() noexcept { return parser_; }

 private:
  bool Identifying() const noexcept;
  /// Tells the task store this connection now serves `identity_` instead of `held_`.
  void HoldIdentity();
  void ReleaseHeld() noexcept;
  void Log(std::string line) const { env_.log->Append(std::move(line)); }
  void SendToUserMessage(std::int32_t code, std::int32_t value, std::string_view devId);

  const ConnectionEnv& env_;
  TParserKrestel parser_;
  std::vector<TNTMobile> batch_;
  int code_ = BAD_PACKET;
  std::string identity_;
  std::string held_;  ///< the ID held in the task store; empty: none
  std::string peer_;
};

}  // namespace telvaro
