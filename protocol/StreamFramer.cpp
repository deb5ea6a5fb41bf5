#include "protocol/StreamFramer.h"

#include <algorithm>
#include <cstring>

#include "protocol/TerminalParser.h"

namespace telvaro {

std::span<std::uint8_t> StreamFramer::Prepare(std::size_t want) {
  if (start_ > 0) {
    // Move the unfinished message to the front so it can grow to a whole frame.
    if (end_ > start_) std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  const std::size_t room = std::min(want, Capacity - end_);
  if (buf_.size() < end_ + room) buf_.resize(end_ + room);
  return {buf_.data() + end_, room};
}

void StreamFramer::Commit(std::size_t n) noexcept { end_ = std::min(end_ + n, buf_.size()); }

void StreamFramer::ReleaseIfEmpty() noexcept {
  if (start_ != end_) return;
  std::vector<std::uint8_t>().swap(buf_);
  start_ = end_ = 0;
}

StreamFramer::Status StreamFramer::Next(Bytes& message) {
  if (bad_) return Status::Bad;
  while (start_ < end_) {
    const std::uint8_t* p = buf_.data() + start_;
    const std::size_t avail = end_ - start_;

    // A handshake: 00 12, then 15 digits and a version whose middle character is ".".
    if (p[0] == 0x00 && (avail < 2 || p[1] == 0x12)) {
      if (avail < HandshakeSize) {
        if (avail <= 18 || p[18] == '.') return Status::NeedMore;
      } else if (p[18] == '.') {
        message = {p, HandshakeSize};
        start_ += HandshakeSize;
        garbage_ = 0;
        return Status::Message;
      }
    }

    // A frame: signature, 16-bit payload length, payload, checksum.
    const std::size_t sigLen = std::min<std::size_t>(avail, 4);
    if (std::all_of(p, p + sigLen, [](std::uint8_t b) { return b == FrameSignatureByte; })) {
      if (avail < 6) return Status::NeedMore;
      const std::size_t total = LoadBE<std::uint16_t>(p + 4) + FrameOverhead;
      if (avail < total) return Status::NeedMore;
      message = {p, total};
      start_ += total;
      garbage_ = 0;
      return Status::Message;
    }

    // Nothing can begin here: skip to the next signature, or to a tail that may be
    // the start of one.
    std::size_t skip = 1;
    while (skip < avail) {
      const std::size_t left = std::min<std::size_t>(avail - skip, 4);
      if (std::all_of(p + skip, p + skip + left, [](std::uint8_t b) { return b == FrameSignatureByte; }))
        break;
      ++skip;
    }
    start_ += skip;
    garbage_ += skip;
    if (start_ == end_ && garbage_ > MaxGarbage) {
      bad_ = true;
      return Status::Bad;
    }
  }
  return Status::NeedMore;
}

}  // namespace telvaro
