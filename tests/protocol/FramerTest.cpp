#include <gtest/gtest.h>

#include "FrameBuilder.h"
#include "protocol/StreamFramer.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

struct Outcome {
  std::vector<ByteVec> messages;
  bool bad = false;
};

/// Feeds `stream` in reads of the given sizes (the rest as one read) and collects messages.
Outcome Feed(const ByteVec& stream, std::vector<std::size_t> reads) {
  StreamFramer framer;
  Outcome out;
  std::size_t pos = 0;
  std::size_t r = 0;
  while (pos < stream.size() && !out.bad) {
    std::size_t n = r < reads.size() ? reads[r++] : stream.size() - pos;
    n = std::min(n, stream.size() - pos);
    while (n > 0 && !out.bad) {
      auto space = framer.Prepare(n);
      std::copy_n(stream.begin() + pos, space.size(), space.begin());
      framer.Commit(space.size());
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

const ByteVec Hs = Handshake("356173061234567");
const ByteVec Ping = Frame(Payload(356173061234567ull, 5, 0));
const ByteVec Big = Frame(Payload(1, 2, 0, ByteVec(1000, 0x5A)));

TEST(StreamFramer, MessageSplitAtEveryOffsetIsYieldedOnceWhole) {
  for (const ByteVec* m : {&Hs, &Ping, &Big}) {
    for (std::size_t cut = 1; cut < m->size(); ++cut) {
      const Outcome o = Feed(*m, {cut});
      ASSERT_FALSE(o.bad) << cut;
      ASSERT_EQ(o.messages, std::vector<ByteVec>{*m}) << "cut at " << cut;
    }
  }
}

TEST(StreamFramer, ByteByByteAndManyInOneRead) {
  const ByteVec stream = Concat({Hs, Ping, Big, Ping});
  const std::vector<ByteVec> expected{Hs, Ping, Big, Ping};
  EXPECT_EQ(Feed(stream, {}).messages, expected);
  EXPECT_EQ(Feed(stream, std::vector<std::size_t>(stream.size(), 1)).messages, expected);
  EXPECT_EQ(Feed(stream, {3, 40, 7}).messages, expected);
}

TEST(StreamFramer, SkipsBytesBeforeASignature) {
  const ByteVec stream = Concat({ByteVec(40, 0x11), Ping, ByteVec{0xCC, 0x01}, Ping});
  const Outcome o = Feed(stream, {});
  EXPECT_FALSE(o.bad);
  EXPECT_EQ(o.messages, (std::vector<ByteVec>{Ping, Ping}));
}

TEST(StreamFramer, HandshakeOnlyWhereAMessageStarts) {
  ByteVec body(30, 0x20);
  body[0] = 0x00;
  body[1] = 0x12;
  body[18] = '.';
  const ByteVec frame = Frame(Payload(7, 5, 0, body));
  EXPECT_EQ(Feed(frame, {}).messages, std::vector<ByteVec>{frame});
}

TEST(StreamFramer, LongRunWithoutAnyMessageStartIsBad) {
  EXPECT_FALSE(Feed(ByteVec(16, 0x11), {}).bad);
  EXPECT_TRUE(Feed(ByteVec(17, 0x11), {}).bad);
  EXPECT_TRUE(Feed(Concat({ByteVec{0x00, 0x12}, ByteVec(30, '1')}), {}).bad);  // no "." at 18
  EXPECT_TRUE(Feed(ByteVec(17, 0x11), std::vector<std::size_t>(17, 1)).bad);
}

TEST(StreamFramer, BuffersAtMostOneLargestFrame) {
  StreamFramer framer;
  const auto first = framer.Prepare(1 << 20);
  EXPECT_EQ(first.size(), StreamFramer::Capacity);
  std::fill(first.begin(), first.end(), 0xCC);  // signature and a length of 0xCCCC
  framer.Commit(first.size());
  Bytes msg;
  EXPECT_EQ(framer.Next(msg), StreamFramer::Status::Message);
  EXPECT_EQ(msg.size(), 0xCCCCu + 8);
  EXPECT_LE(framer.Buffered() + framer.Prepare(1 << 20).size(), StreamFramer::Capacity);
}

TEST(StreamFramer, IdleFramerReleasesItsBuffer) {
  StreamFramer framer;
  auto space = framer.Prepare(Ping.size());
  std::copy(Ping.begin(), Ping.end(), space.begin());
  framer.Commit(Ping.size());
  Bytes msg;
  ASSERT_EQ(framer.Next(msg), StreamFramer::Status::Message);
  framer.ReleaseIfEmpty();
  EXPECT_EQ(framer.Buffered(), 0u);
}

}  // namespace
}  // namespace telvaro
