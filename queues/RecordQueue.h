#pragma once
// The record queues between the connections and their consumers (the database
// writer and the data channel): lock-protected lists of record copies, oldest first.

#include <algorithm>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "records/TerminalRecord.h"

namespace telvaro {

class RecordQueue {
 public:
  /// Adds a copy of `m`.
  void Add(const TNTMobile& m) {
    std::lock_guard lock(mutex_);
    items_.push_back(m);
  }

  /// Adds `m`, dropping the oldest records first when `limit` would be
  /// passed; returns how many were dropped.
  std::size_t AddBounded(TNTMobile m, std::size_t limit) {
    std::lock_guard lock(mutex_);
    std::size_t dropped = 0;
    while (limit > 0 && items_.size() >= limit) {
      items_.pop_front();
      ++dropped;
    }
    items_.push_back(std::move(m));
    dropped_ += dropped;
    return dropped;
  }

  /// The number of records AddBounded dropped since the last call.
  std::size_t TakeDropped() {
    std::lock_guard lock(mutex_);
    return std::exchange(dropped_, 0);
  }

  /// Moves up to `max` of the oldest records, in order, into `out` (cleared first).
  void Take(std::vector<TNTMobile>& out, std::size_t max) {
    out.clear();
    std::lock_guard lock(mutex_);
    const std::size_t n = std::min(max, items_.size());
    const auto end = items_.begin() + static_cast<std::ptrdiff_t>(n);
    out.assign(std::make_move_iterator(items_.begin()), std::make_move_iterator(end));
    items_.erase(items_.begin(), end);
  }

  /// Moves every queued record, oldest first, into `out` (which is cleared first).
  void TakeAll(std::vector<TNTMobile>& out) {
    out.clear();
    std::lock_guard lock(mutex_);
    out.assign(std::make_move_iterator(items_.begin()), std::make_move_iterator(items_.end()));
    items_.clear();
  }

  /// Puts records back at the front, in their order, ahead of anything queued since.
  void Requeue(std::vector<TNTMobile>& records) {
    std::lock_guard lock(mutex_);
    items_.insert(items_.begin(), std::make_move_iterator(records.begin()),
                  std::make_move_iterator(records.end()));
    records.clear();
  }

  std::size_t Size() const {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    items_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::deque<TNTMobile> items_;
  std::size_t dropped_ = 0;
};

/// The database queue, drained by the database writer.
extern RecordQueue Mobiles;
/// The data-channel queue, drained by the data channel.
extern RecordQueue MobilesToSend;
/// The record stream's queue, drained by the stream publisher.
extern RecordQueue MobilesToStream;

}  // namespace telvaro
