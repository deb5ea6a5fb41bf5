#include "pipes/WriteQueue.h"

#include <algorithm>
#include <utility>

namespace telvaro {

void TPipeBatch::Add(PipeBytes msg) {
  bytes_.insert(bytes_.end(), msg.begin(), msg.end());
  ends_.push_back(static_cast<std::uint32_t>(bytes_.size()));
}

void TPipeBatch::AddFramed(PipeBytes msg) {
  if (msg.size() <= MAX_BUFFER) {
    Add(msg);
    return;
  }
  Add(MakeControlPacket(MB_START));
  for (std::size_t at = 0; at < msg.size(); at += MAX_BUFFER) Add(msg.subspan(at, std::min(MAX_BUFFER, msg.size() - at)));
  Add(MakeControlPacket(MB_END));
}

void TPipeBatch::Reserve(std::size_t messages, std::size_t bytes) {
  ends_.reserve(messages);
  bytes_.reserve(bytes);
}

TWriteQueue::Pushed TWriteQueue::Push(TPipeWrite batch) {
  const std::uint64_t add = batch->Bytes();
  std::lock_guard lock(lock_);
  if (closed_) return Pushed::Dropped;
  if (batch->Count() == 0) return Pushed::Queued;  // nothing to send
  if (bytes_ + add > limit_) {
    // A client that stopped reading must not make the server's memory grow without bound.
    closed_ = true;
    items_.clear();
    bytes_ = 0;
    return Pushed::OverLimit;
  }
  items_.push_back(std::move(batch));
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
