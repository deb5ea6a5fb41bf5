#pragma once
// Which terminals have a command in flight on one of this process's connections.
//
// A terminal that connects again while its old connection still stands has two
// connections here for a while. The store hands a task to whichever asks, and gives
// back every task of the terminal this process took when a connection says it did not
// write its own. So if both could hold a task at once, the old connection giving back
// its command (its peer is gone) would untake the one the new connection is about to
// write; that write then deletes nothing, and the command is written a second time.
// A connection claims its terminal before it fetches a command and lets go once the
// command is written or given back; another connection of the terminal meanwhile
// takes, deletes and gives back none of the store's tasks (its own replies still go)
// and asks again after its next batch.

#include <mutex>
#include <string>
#include <unordered_set>

namespace telvaro {

class CommandClaims {
 public:
  /// True when no other connection holds a command of terminal `id`; it is then this
  /// caller's until Unclaim.
  bool TryClaim(const std::string& id);
  void Unclaim(const std::string& id) noexcept;

 private:
  std::mutex mutex_;
  std::unordered_set<std::string> claimed_;
};

}  // namespace telvaro
