#include "connections/CommandClaims.h"

namespace telvaro {

bool CommandClaims::TryClaim(const std::string& id) {
  std::lock_guard lock(mutex_);
  return claimed_.insert(id).second;
}

void CommandClaims::Unclaim(const std::string& id) noexcept {
  std::lock_guard lock(mutex_);
  if (const auto it = claimed_.find(id); it != claimed_.end()) claimed_.erase(it);
}

}  // namespace telvaro
