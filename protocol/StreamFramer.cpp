#include "protocol/StreamFramer.h"

#include <algorithm>
#include <cstring>

#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

/// True while the `n` bytes at `p` may still be (the start of) a frame signature.
bool MaySignature(const std::uint8_t* p, std::size_t n) noexcept {
  return std::all_of(p, p + std::min<std::size_t>(n, 4), [](std::uint8_t b) { return b == FrameSignatureByte; });
}

}  // namespace

std::span<std::uint8_t> StreamFramer::Prepare(std::size_t want) {
  if (start_ > 0) {
    // Move the unfinished message to the front so it can grow to a whole frame.
    if (end_ > start_) std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  const std::size_t room = std::min(want, Capacity - end_);
  const std::size_t need = end_ + room;
  if (buf_.size() < need) {
    // Grown by hand: the vector's own growth could pass Capacity.
    if (buf_.capacity() < need) buf_.reserve(std::min(Capacity, std::max(need, 2 * buf_.capacity())));
    buf_.resize(need);
  }
  return {buf_.data() + end_, room};
}

void StreamFramer::Commit(std::size_t n) noexcept { end_ = std::min(end_ + n, buf_.size()); }

void StreamFramer::ReleaseIfEmpty() noexcept {
  if (start_ != end_) return;
  std::vector<std::uint8_t>().swap(buf_);
  start_ = end_ = 0;
}

bool StreamFramer::Skip(std::size_t n) noexcept {
  start_ += n;
  garbage_ += n;
  inStep_ = false;
  if (garbage_ > MaxGarbage) bad_ = true;
  return !bad_;
}

StreamFramer::Status StreamFramer::Next(Bytes& message) {
  if (bad_) return Status::Bad;
  while (start_ < end_) {
    const std::uint8_t* p = buf_.data() + start_;
    const std::size_t avail = end_ - start_;
    std::size_t size = 0;

    if (inStep_ && p[0] == 0x00 && (avail < 2 || p[1] == 0x12) && (avail <= 18 || p[18] == '.')) {
      // A handshake, or the start of one.
      if (avail < HandshakeSize) return Status::NeedMore;
      size = HandshakeSize;
    } else if (MaySignature(p, avail)) {
      // A frame: signature, 16-bit payload length, payload, checksum.
      if (avail < 6) return Status::NeedMore;
      size = LoadBE<std::uint16_t>(p + 4) + FrameOverhead;
      if (avail < size) return Status::NeedMore;
    } else {
      // Nothing can begin here: skip to the next signature, or to a tail that may
      // become one.
      std::size_t skip = 1;
      while (skip < avail && !MaySignature(p + skip, avail - skip)) ++skip;
      if (!Skip(skip)) return Status::Bad;
      continue;
    }
    message = {p, size};
    start_ += size;
    garbage_ = 0;
    inStep_ = true;
    return Status::Message;
  }
  return Status::NeedMore;
}

}  // namespace telvaro
