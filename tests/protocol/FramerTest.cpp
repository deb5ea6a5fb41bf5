#include <gtest/gtest.h>

#include <random>
#include <string>

#include "FrameBuilder.h"
#include "protocol/StreamFramer.h"
#include "tests/protocol/FramerFeed.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

struct Outcome {
  std::vector<ByteVec> messages;
  bool bad = false;

  bool operator==(const Outcome&) const = default;
};

/// Feeds `stream` in reads of the given sizes, in turn; `peak` receives the most memory
/// the framer held.
Outcome Feed(const ByteVec& stream, const std::vector<std::size_t>& reads, std::size_t* peak = nullptr) {
  FramerOutcome o = FeedFramer(stream, reads);
  if (peak) *peak = o.peak;
  return {std::move(o.messages), o.bad};
}

/// The ways a stream is cut into reads, each with a name for the failure message.
std::vector<std::pair<std::string, std::vector<std::size_t>>> ReadPatterns(std::size_t size) {
  std::vector<std::pair<std::string, std::vector<std::size_t>>> p;
  p.emplace_back("whole", std::vector<std::size_t>{});
  p.emplace_back("byte by byte", std::vector<std::size_t>{1});
  // Every split point of short streams; evenly spaced ones of long streams.
  const std::size_t step = size <= 4096 ? 1 : size / 509;
  for (std::size_t cut = 1; cut < size; cut += step)
    p.emplace_back("split at " + std::to_string(cut), std::vector{cut, size});
  std::mt19937 rng(20240601);
  for (int run = 0; run < 20; ++run) {
    std::uniform_int_distribution<std::size_t> len(1, std::max<std::size_t>(1, size / 4));
    std::vector<std::size_t> reads;
    for (std::size_t total = 0; total < size; total += reads.back()) reads.push_back(len(rng));
    p.emplace_back("random cuts " + std::to_string(run), std::move(reads));
  }
  return p;
}

const ByteVec Hs = Handshake("356173061234567");
const ByteVec Ping = Frame(Payload(356173061234567ull, 5, 0));
const ByteVec Big = Frame(Payload(1, 2, 0, ByteVec(1000, 0x5A)));

ByteVec Junk(std::size_t n) { return ByteVec(n, 0x11); }

/// A frame payload holding the handshake pattern.
ByteVec FrameWithHandshakeInside() {
  ByteVec body(30, 0x20);
  body[0] = 0x00;
  body[1] = 0x12;
  body[18] = '.';
  return Frame(Payload(7, 5, 0, body));
}

struct SplitCase {
  const char* name;
  ByteVec stream;
  Outcome expected;
};

TEST(StreamFramer, SameMessagesAndVerdictWhateverTheReads) {
  const ByteVec inside = FrameWithHandshakeInside();
  const ByteVec noDot = Concat({ByteVec{0x00, 0x12}, ByteVec(30, '1')});
  const SplitCase cases[] = {
      {"handshake", Hs, {{Hs}, false}},
      {"messages back to back", Concat({Hs, Ping, Big, Ping}), {{Hs, Ping, Big, Ping}, false}},
      {"handshake right after a frame", Concat({Ping, Hs}), {{Ping, Hs}, false}},
      {"up to 16 skipped bytes before a signature", Concat({Junk(16), Ping, ByteVec{0xCC, 0x01}, Ping}),
       {{Ping, Ping}, false}},
      {"near-signature bytes are skipped", Concat({ByteVec{0xCC, 0xCC, 0xCC, 0x11}, Ping}), {{Ping}, false}},
      {"17 skipped bytes", Junk(17), {{}, true}},
      {"40 skipped bytes before a frame", Concat({Junk(40), Ping}), {{}, true}},
      {"handshake after a skipped byte", Concat({Junk(1), Hs, Ping}), {{}, true}},
      {"handshake after skipped bytes, after a frame", Concat({Ping, Junk(2), Hs, Ping}), {{Ping}, true}},
      {"handshake pattern inside a frame", inside, {{inside}, false}},
      {"handshake start without its dot", noDot, {{}, true}},
      {"frame, then too many skipped bytes", Concat({Ping, Junk(17), Ping}), {{Ping}, true}},
      {"tail that may become a signature", Concat({Ping, ByteVec{0xCC, 0xCC}}), {{Ping}, false}},
      {"tail that may become a handshake", Concat({Ping, ByteVec{0x00, 0x12, '3'}}), {{Ping}, false}},
      {"frame cut short", ByteVec(Big.begin(), Big.end() - 1), {{}, false}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [pattern, reads] : ReadPatterns(c.stream.size())) {
      const Outcome got = Feed(c.stream, reads);
      ASSERT_EQ(got.bad, c.expected.bad) << pattern;
      ASSERT_EQ(got.messages, c.expected.messages) << pattern;
    }
  }
}

TEST(StreamFramer, LargestFrameWhateverTheReadsInAtMostOneFrameOfMemory) {
  const ByteVec largest = Frame(Payload(1, 2, 0, ByteVec(65535 - 10, 0xCC)));
  ASSERT_EQ(largest.size(), StreamFramer::Capacity);
  const ByteVec stream = Concat({largest, Ping, largest});
  for (const auto& [pattern, reads] : ReadPatterns(stream.size())) {
    std::size_t peak = 0;
    ASSERT_EQ(Feed(stream, reads, &peak), (Outcome{{largest, Ping, largest}, false})) << pattern;
    ASSERT_LE(peak, StreamFramer::Capacity) << pattern;
  }
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
  EXPECT_LE(framer.Allocated(), StreamFramer::Capacity);
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
  EXPECT_EQ(framer.Allocated(), 0u);
}

}  // namespace
}  // namespace telvaro
