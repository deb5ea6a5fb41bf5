#include "pipes/PipeWriter.h"

#include <algorithm>
#include <cerrno>

namespace telvaro {

WriteStep TPipeWriter::Write(int fd, TWriteQueue& queue, std::vector<std::uint32_t>& sizes) {
  sizes.clear();
  if (outbox_.empty() && !queue.TakeAll(outbox_)) return {WriteStep::Kind::Idle, 0};
  // Gather up to SendBatch messages across the taken batches.
  std::size_t k = 0;
  for (std::size_t b = 0, i = next_; b < outbox_.size() && k < SendBatch; ++b, i = 0) {
    const TPipeBatch& batch = *outbox_[b];
    for (; i < batch.Count() && k < SendBatch; ++i, ++k) {
      const PipeBytes m = batch.Message(i);
      iov_[k] = {const_cast<std::uint8_t*>(m.data()), m.size()};
      msgs_[k] = {};
      msgs_[k].msg_hdr.msg_iov = &iov_[k];
      msgs_[k].msg_hdr.msg_iovlen = 1;
    }
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
    const auto size = static_cast<std::uint32_t>(iov_[static_cast<std::size_t>(i)].iov_len);
    done += size;
    sizes.push_back(size);
    if (++next_ == outbox_.front()->Count()) {
      outbox_.pop_front();
      next_ = 0;
    }
  }
  queue.Sent(done);
  return {WriteStep::Kind::Sent, 0};
}

}  // namespace telvaro
