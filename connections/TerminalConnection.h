#pragma once
// What one terminal connection does with the messages it receives, free of sockets:
// parse each message into a batch, pick the command to write after a batch, book the
// write, route the batches to the log and the queues, and announce the end. The
// session that owns the socket calls these steps and only carries out the I/O.
//
// Batches parsed while a command waits for its pause and write are held, in order,
// and routed together with the batch the command follows, right after its write.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connections/CommandClaims.h"
#include "queues/NamedEvent.h"
#include "queues/RecordQueue.h"
#include "protocol/DownloadFiles.h"
#include "protocol/ParserContext.h"
#include "protocol/TerminalParser.h"
#include "base/OperatorLog.h"
#include "base/ServerMetrics.h"

namespace telvaro {

/// What every connection of a listener shares, built once at start-up. Plain pointers:
/// the objects outlive it.
struct ConnectionEnv {
  OperatorLog* log = nullptr;          ///< operator log; must be set
  TaskStore* store = nullptr;          ///< the data module; null: no task store
  FileSink* files = nullptr;           ///< where received files go; must be set
  RecordQueue* mobiles = &Mobiles;     ///< database queue
  RecordQueue* toSend = &MobilesToSend;  ///< data-channel queue; null: records go to the stream only
  /// Record-stream queue: every record for the data channel also goes here; null: no stream.
  RecordQueue* toStream = nullptr;
  std::size_t streamQueueLimit = 1000000;  ///< records the stream queue holds at most
  std::chrono::milliseconds cmdDelay{2000};  ///< pause before every command write
  /// Longest hold of an incomplete message before the connection is closed; 0: never.
  std::chrono::milliseconds frameTimeout{std::chrono::minutes(5)};
  /// Longest wait for the answer to an identification request.
  std::chrono::milliseconds identifyLimit{std::chrono::seconds(30)};
  bool toDatabase = true;              ///< data-frame records go to the database queue
  bool proxyProtocol = false;          ///< every connection starts with a PROXY v2 header
  std::size_t queueLimit = 1000000;    ///< records the database queue holds at most
  /// What the parsers read; terminals are identified when it holds a key table.
  ParserContext parser;
  RenderOptions render;                ///< the log line of every record
  ServerMetrics* metrics = nullptr;    ///< counts traffic when set
  /// Shared by every connection of the process; null: nothing keeps two connections
  /// of one terminal from holding a command at once.
  CommandClaims* claims = nullptr;
};

class TerminalConnection {
 public:
  TerminalConnection(const ConnectionEnv& env, std::string peer);
  /// Releases the terminal it held in the task store, if End() did not.
  ~TerminalConnection();
  TerminalConnection(const TerminalConnection&) = delete;
  TerminalConnection& operator=(const TerminalConnection&) = delete;

  /// Parses one complete message into a batch held for routing. False when the
  /// connection must end: the message yielded no record, an identification request
  /// went unanswered too long, or the terminal is black-listed; nothing is held then.
  /// After a handshake, when identifying, queues the identification request. Errors of
  /// the stores inside the parser pass to the caller.
  bool Parse(Bytes message);

  /// The command to write after the newest batch, if any; a failure is logged. While
  /// another connection of the terminal has a command in flight, only this
  /// connection's own pending replies. A command fetched is concluded by exactly one
  /// of the three calls below, or by End().
  std::optional<TCmd> FetchCommand();
  /// Bookkeeping after `cmd` was written whole: removes it and announces it.
  void CommandWritten(const TCmd& cmd);
  /// Logs a failed write; `cmd` stays queued and is fetched again after the next batch.
  void CommandFailed(const TCmd& cmd, std::string_view error);
  /// The fetched command was not written (the connection ended first); it stays queued.
  void CommandNotWritten() noexcept;

  /// Routes every held batch, oldest first, and empties the hold. False when the
  /// terminal was refused (identification rejected): the records after the refusal
  /// are dropped and the connection must end.
  bool Route();

  /// Records parsed and not yet routed.
  std::size_t HeldRecords() const noexcept { return heldRecords_; }
  /// When the outstanding identification request was made (local time); 0: none.
  TDateTime IdentificationSentAt() const noexcept { return Identifying() && parser_ ? parser_->IdentSentAt : 0; }

  /// The end-of-connection announcement: the log line and the disconnection record;
  /// a command fetched and not concluded is given back, and the task store is told the
  /// terminal is no longer held here.
  void End();

  /// Frees the batches' storage, and the pending commands' once none is left, while the
  /// connection is idle.
  void ReleaseIdle() noexcept;

  /// The `ID` of the first record of the latest batch; empty before the first.
  const std::string& Identity() const noexcept { return identity_; }
  const std::string& Peer() const noexcept { return peer_; }
  /// The terminal's own address, when a balancer relays the connection.
  void SetPeer(std::string peer) { peer_ = std::move(peer); }
  /// The connection's parser, made at its first use.
  TParserKrestel& Parser();

 private:
  /// The records of one message and its parse result.
  struct Batch {
    std::vector<TNTMobile> records;
    int code = BAD_PACKET;
  };

  bool Identifying() const noexcept;
  /// Tells the task store this connection now serves `identity_` instead of `heldId_`.
  void HoldIdentity();
  void ReleaseHeld() noexcept;
  /// At the end: a command fetched and not concluded goes back, and the terminal is released.
  void LetGo() noexcept;
  /// Lets other connections of the terminal fetch commands again.
  void Unclaim() noexcept;
  /// Whether the store's tasks of `commandFor_` are this connection's to take, delete
  /// and give back: it holds the claim, or nothing is claimed in this process.
  bool OwnsTasks() const noexcept;
  void Log(std::string line) const { env_.log->Append(std::move(line)); }
  void SendToUserMessage(std::int32_t code, std::int32_t value, std::string_view devId);
  /// Routes one batch; false at a refusal.
  bool RouteBatch(const Batch& batch, bool& toDB, bool& toClients);
  /// Drops the newest batch, keeping its storage for the next.
  void DropNewest() noexcept;
  void ClearHeld() noexcept;

  const ConnectionEnv& env_;
  /// Made at the first message: a connection that never sends one needs none.
  std::unique_ptr<TParserKrestel> parser_;
  std::vector<Batch> held_;         ///< parsed, not yet routed, oldest first
  std::size_t heldRecords_ = 0;
  std::vector<TNTMobile> spare_;    ///< a routed batch's storage, reused by the next
  std::string commandFor_;          ///< ID of the first record of the batch the command follows
  bool claimed_ = false;            ///< this connection holds the claim on `commandFor_`
  std::string identity_;
  std::string heldId_;  ///< the ID held in the task store; empty: none
  std::string peer_;
};

}  // namespace telvaro
