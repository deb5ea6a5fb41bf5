#include "pipes/PipeWriter.h"

#include <algorithm>
#include <cerrno>

namespace telvaro {

WriteStep TPipeWriter::Write(int fd, TWriteQueue& queue, std::vector<std::uint32_t>& sizes) {
  sizes.clear();
  if (outbox_.empty() && !queue.TakeAll(outbox_)) return {WriteStep::Kind::Idle, 0};
  const std::size_t k = std::min(outbox_.size(), SendBatch);
  for (std::size_t i = 0; i < k; ++i) {
    iov_[i] = {outbox_[i].data(), outbox_[i].size()};
    msgs_[i] = {};
    msgs_[i].msg_hdr.msg_iov = &iov_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
  }
  int sent = 0;
  for (;;) {
    sent = ::sendmmsg(fd, msgs_.data(), static_cast<unsigned>(k), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) break;
    const int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) return {WriteStep::Kind::Wait, 0};
    return {WriteStep::Kind::Failed, err};
  }
  std::uint64_t done = 0;
  for (int i = 0; i < sent; ++i) {
    const auto size = static_cast<std::uint32_t>(outbox_.front().size());
    done += size;
    sizes.push_back(size);
    outbox_.pop_front();
  }
  queue.Sent(done);
  return {WriteStep::Kind::Sent, 0};
}

}  // namespace telvaro
