#include "pipes/WriteQueue.h"

#include <algorithm>
#include <utility>

namespace telvaro {

TWriteQueue::Pushed TWriteQueue::Push(std::vector<TPipeWrite>&& items) {
  std::uint64_t add = 0;
  for (const auto& i : items) add += i.size();
  std::lock_guard lock(lock_);
  if (closed_) return Pushed::Dropped;
  if (bytes_ + add > limit_) {
    // A client that stopped reading must not make the server's memory grow without bound.
    closed_ = true;
    items_.clear();
    bytes_ = 0;
    return Pushed::OverLimit;
  }
  for (auto& i : items) items_.push_back(std::move(i));
  bytes_ += add;
  return std::exchange(writerWaiting_, false) ? Pushed::WakeWriter : Pushed::Queued;
}

bool TWriteQueue::TakeAll(std::deque<TPipeWrite>& out) {
  std::lock_guard lock(lock_);
  if (items_.empty()) {
    writerWaiting_ = true;
    return false;
  }
  out.swap(items_);
  return true;
}

void TWriteQueue::Sent(std::uint64_t bytes) noexcept {
  std::lock_guard lock(lock_);
  bytes_ -= std::min(bytes_, bytes);
}

void TWriteQueue::Close() noexcept {
  std::lock_guard lock(lock_);
  closed_ = true;
  items_.clear();
  bytes_ = 0;
}

}  // namespace telvaro
