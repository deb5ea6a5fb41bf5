#pragma once
// The record queues between the connections and their consumers (the database
// writer and the data channel): lock-protected lists of record copies, oldest first.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "records/UNTMobile.h"

namespace telvaro {

class RecordQueue {
 public:
  /// Adds a copy of `m`.
  void Add(const TNTMobile& m) {
    std::lock_guard lock(mutex_);
    items_.push_back(m);
  }

  /// Adds a copy of `m`, dropping the oldest records first when `limit` would be
  /// passed; returns how many were dropped.
  std::size_t AddBounded(const TNTMobile& m, std::size_t limit) {
    std::lock_guard lock(mutex_);
    std::size_t dropped = 0;
    while (limit > 0 && items_.size() >= limit) {
      items_.pop_front();
      ++dropped;
    }
    items_.push_back(m);
    droppedTotal_ += dropped;
    return dropped;
  }

  /// How many records AddBounded has dropped since the queue was made.
  std::uint64_t DroppedTotal() const {
    std::lock_guard lock(mutex_);
    return droppedTotal_;
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
  std::uint64_t droppedTotal_ = 0;
};

/// The database queue, drained by the database writer.
extern RecordQueue Mobiles;
/// The data-channel queue, drained by the data channel.
extern RecordQueue MobilesToSend;

}  // namespace telvaro
