#include <gtest/gtest.h>

#include "pipes/WriteQueue.h"

namespace telvaro {
namespace {

using Pushed = TWriteQueue::Pushed;

std::vector<TPipeWrite> Messages(std::initializer_list<std::size_t> sizes) {
  std::vector<TPipeWrite> out;
  for (const auto n : sizes) out.emplace_back(n, static_cast<std::uint8_t>(n));
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
  EXPECT_EQ(q.Push(Messages({2})), Pushed::Queued) << "already woken";
  ASSERT_TRUE(q.TakeAll(out));
  EXPECT_EQ(std::vector<TPipeWrite>(out.begin(), out.end()), Messages({1, 2})) << "in order";
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

}  // namespace
}  // namespace telvaro
