#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include "pipes/PipeWriter.h"
#include "pipes/WriteQueue.h"

namespace telvaro {
namespace {

using Pushed = TWriteQueue::Pushed;

/// One message of `n` bytes of value n % 256 for each size, in one batch.
TPipeWrite Messages(std::initializer_list<std::size_t> sizes) {
  auto b = std::make_shared<TPipeBatch>();
  for (const auto n : sizes) b->Add(std::vector<std::uint8_t>(n, static_cast<std::uint8_t>(n)));
  return b;
}

/// The messages of the taken batches, in order.
std::vector<std::vector<std::uint8_t>> Contents(const std::deque<TPipeWrite>& batches) {
  std::vector<std::vector<std::uint8_t>> out;
  for (const auto& b : batches)
    for (std::size_t i = 0; i < b->Count(); ++i) out.emplace_back(b->Message(i).begin(), b->Message(i).end());
  return out;
}

// The writer sleeps only after an empty TakeAll, and the push that follows must say so
// exactly once: a lost wake-up leaves a client's messages queued for ever.
TEST(WriteQueueTest, WakesAWaitingWriterOnce) {
  TWriteQueue q(1000);
  std::deque<TPipeWrite> out;
  EXPECT_EQ(q.Push(Messages({10})), Pushed::Queued) << "the writer has not looked yet";
  ASSERT_TRUE(q.TakeAll(out));
  EXPECT_EQ(out.size(), 1u);
  out.clear();
  EXPECT_FALSE(q.TakeAll(out));
  EXPECT_EQ(q.Push(Messages({1})), Pushed::WakeWriter);
  EXPECT_EQ(q.Push(Messages({2, 3})), Pushed::Queued) << "already woken";
  ASSERT_TRUE(q.TakeAll(out));
  EXPECT_EQ(Contents(out), Contents({Messages({1, 2, 3})})) << "in order";
}

// Taken messages count against the bound until they are sent; past the bound the
// queue empties and drops whatever comes after.
TEST(WriteQueueTest, BoundCountsUnsentBytesThenCloses) {
  TWriteQueue q(100);
  std::deque<TPipeWrite> out;
  EXPECT_EQ(q.Push(Messages({60, 40})), Pushed::Queued);
  ASSERT_TRUE(q.TakeAll(out));
  q.Sent(60);
  EXPECT_EQ(q.Push(Messages({60})), Pushed::Queued) << "60 sent, 40 taken and unsent";
  EXPECT_EQ(q.Push(Messages({1})), Pushed::OverLimit);
  out.clear();
  EXPECT_FALSE(q.TakeAll(out)) << "emptied at the bound";
  EXPECT_EQ(q.Push(Messages({1})), Pushed::Dropped);
  EXPECT_FALSE(q.TakeAll(out));
}

// A long message goes into a batch as the same pipe messages the client-side framing
// makes; short ones stay whole.
TEST(WriteQueueTest, BatchFramesLongMessagesLikeTheClient) {
  for (const std::size_t size : {std::size_t{1}, MAX_BUFFER, MAX_BUFFER + 1, 3 * MAX_BUFFER + 7}) {
    std::vector<std::uint8_t> msg(size);
    for (std::size_t i = 0; i < size; ++i) msg[i] = static_cast<std::uint8_t>(i * 7);
    TPipeBatch b;
    b.AddFramed(msg);
    std::vector<std::vector<std::uint8_t>> pieces;
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < b.Count(); ++i) {
      pieces.emplace_back(b.Message(i).begin(), b.Message(i).end());
      bytes += pieces.back().size();
    }
    EXPECT_EQ(pieces, FrameMessage(msg)) << size;
    EXPECT_EQ(b.Bytes(), bytes) << size;
  }
}

// The writer sends messages across batch borders in order, resumes after a full socket
// in the middle of a batch, and hands the bytes back to the bound as they go out.
TEST(WriteQueueTest, WriterSendsAcrossBatchesInOrder) {
  std::array<int, 2> fds{};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, fds.data()), 0);
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < 300; ++i) sizes.push_back(1 + (i * 37) % 3000);
  std::uint64_t total = 0;
  std::vector<TPipeWrite> batches;
  for (std::size_t at = 0; at < sizes.size();) {
    // Batches of 1, 2, 3... messages.
    auto b = std::make_shared<TPipeBatch>();
    for (std::size_t k = 0; k <= b->Count() + at % 5 && at < sizes.size(); ++k, ++at) {
      b->Add(std::vector<std::uint8_t>(sizes[at], static_cast<std::uint8_t>(at)));
      total += sizes[at];
    }
    batches.push_back(std::move(b));
  }
  TWriteQueue q(total);  // exactly everything
  for (auto& b : batches) ASSERT_NE(q.Push(std::move(b)), Pushed::OverLimit);

  TPipeWriter w;
  std::vector<std::uint32_t> sent;
  std::size_t received = 0;
  std::vector<std::uint8_t> buf(4096);
  bool idle = false;
  while (!idle) {
    const auto step = w.Write(fds[0], q, sent);
    ASSERT_NE(step.kind, WriteStep::Kind::Failed) << step.error;
    idle = step.kind == WriteStep::Kind::Idle;
    // Read only when the socket is full, so that the writer stops inside batches.
    if (step.kind == WriteStep::Kind::Wait || idle) {
      for (ssize_t n; (n = ::recv(fds[1], buf.data(), buf.size(), MSG_DONTWAIT)) > 0; ++received) {
        ASSERT_LT(received, sizes.size());
        EXPECT_EQ(static_cast<std::size_t>(n), sizes[received]) << received;
        EXPECT_EQ(buf[0], static_cast<std::uint8_t>(received)) << received;
      }
    }
  }
  EXPECT_EQ(received, sizes.size());
  // Everything sent: the whole bound is free again.
  EXPECT_EQ(q.Push(Messages({static_cast<std::size_t>(total)})), Pushed::WakeWriter);
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace
}  // namespace telvaro
