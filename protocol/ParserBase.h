#pragma once
// The parser base of a terminal connection: its pending commands, identification
// state, fuel-event filter and the command record shared with the command pipe.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/ParserContext.h"
#include "protocol/TaskStore.h"
#include "records/ShortString.h"
#include "records/TerminalRecord.h"

namespace telvaro {

/// Results of ParseArr.
enum : int {
  PACKET_OK = 0,
  PACKET_D = 1,
  PACKET_F = 2,
  PACKET_R = 3,
  PACKET_HANDSHAKE = 4,
  PACKET_LIVE = 5,
  BAD_PACKET = 99,
};

/// The 768-byte command record: also the request record of the command pipe.
struct TCmdRec {
  ShortString<255> DevType;
  ShortString<255> UID;
  ShortString<255> CMD;
};
static_assert(sizeof(TCmdRec) == 768);
static_assert(offsetof(TCmdRec, UID) == 256 && offsetof(TCmdRec, CMD) == 512);

/// A command for a terminal: up to 255 encoded bytes in Rec.CMD, longer ones in Fpart.
struct TCmd {
  TCmdRec Rec{};
  std::string Fpart;

  /// The bytes that go on the wire: CMD when it is not empty, else Fpart.
  std::string_view WireBytes() const noexcept {
    return Rec.CMD.empty() ? std::string_view(Fpart) : Rec.CMD.view();
  }
};

class TParser {
 public:
  /// `context` outlives the parser.
  /// `store` may be null: then nothing is fetched from or queued in a task store.
  TParser(const ParserContext& context, TaskStore* store);
  TParser(const TParser&) = delete;
  TParser& operator=(const TParser&) = delete;

  /// True when AVL records of event `ev` also go to the fuel-event store.
  bool IsForDB(std::uint8_t ev) const noexcept;

  /// The next command for the terminal of `mobile`: the first pending reply (it stays
  /// pending), else, unless `mobile` is a handshake, the first task of the store.
  std::optional<TCmd> GetCommandIfExist(const TNTMobile& mobile);
  /// The first pending reply, if any; it stays pending.
  std::optional<TCmd> PendingCommand() const;
  /// Removes the first pending command, if there is one.
  void DelCommand() noexcept;
  /// Tasks queued for `id` plus the pending commands of this parser.
  int CommandsCount(std::string_view id);

  /// Pending commands, oldest first; seldom more than two. A vector, not a deque: an
  /// empty deque of these 800-byte commands already holds a one-command node and its
  /// map, about 900 bytes for every connection.
  std::vector<TCmd> Commands;
  std::string Version;
  int Key = 0;                 ///< identification key row, 0 to 28
  TDateTime IdentSentAt = 0;   ///< when the outstanding request was made; 0: none
  bool IsAuthorized = false;
  /// The context's fuel events, referred to rather than copied: every connection has a parser.
  const std::vector<std::uint8_t>& DBEvents;

 protected:
  const ParserContext& context_;
  TaskStore* store_;
};

}  // namespace telvaro
