#pragma once
// Feeding a byte stream to the stream framer in reads of chosen sizes, for the framer's
// tests and its fuzz target.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/StreamFramer.h"

namespace telvaro::test {

/// What the framer made of a stream.
struct FramerOutcome {
  std::vector<std::vector<std::uint8_t>> messages;
  bool bad = false;
  std::size_t peak = 0;  ///< the most memory the framer held

  /// Same messages and verdict (memory aside).
  bool SameAs(const FramerOutcome& other) const { return messages == other.messages && bad == other.bad; }
};

/// Feeds `stream` in reads of the sizes in `reads`, taken in turn and from the start
/// again when they run out (an empty list: one read of everything).
inline FramerOutcome FeedFramer(const std::vector<std::uint8_t>& stream, const std::vector<std::size_t>& reads) {
  StreamFramer framer;
  FramerOutcome out;
  std::size_t pos = 0;
  for (std::size_t r = 0; pos < stream.size() && !out.bad; ++r) {
    std::size_t n = reads.empty() ? stream.size() : std::max<std::size_t>(1, reads[r % reads.size()]);
    n = std::min(n, stream.size() - pos);
    while (n > 0 && !out.bad) {
      const auto space = framer.Prepare(n);
      std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(pos), space.size(), space.begin());
      framer.Commit(space.size());
      out.peak = std::max(out.peak, framer.Allocated());
      pos += space.size();
      n -= space.size();
      Bytes msg;
      for (StreamFramer::Status s; (s = framer.Next(msg)) != StreamFramer::Status::NeedMore;) {
        if (s == StreamFramer::Status::Bad) {
          out.bad = true;
          break;
        }
        out.messages.emplace_back(msg.begin(), msg.end());
      }
    }
  }
  return out;
}

}  // namespace telvaro::test
