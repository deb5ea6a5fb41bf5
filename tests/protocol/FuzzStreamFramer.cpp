// Fuzz target of the stream framer. The first byte says how many of the next bytes are
// read sizes (1 to 256, used in turn); the rest is the stream. Cut into those reads, the
// stream must give the messages and the verdict it gives in one read, and the framer
// must never hold more than one largest frame.

#include <cstdio>
#include <cstdlib>

#include "tests/protocol/FramerFeed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace telvaro;
  if (size == 0) return 0;
  const std::size_t cuts = std::min<std::size_t>(data[0] % 16, size - 1);
  std::vector<std::size_t> reads;
  for (std::size_t i = 1; i <= cuts; ++i) reads.push_back(static_cast<std::size_t>(data[i]) + 1);
  const std::vector<std::uint8_t> stream(data + 1 + cuts, data + size);

  const test::FramerOutcome whole = test::FeedFramer(stream, {});
  const test::FramerOutcome cut = test::FeedFramer(stream, reads.empty() ? std::vector<std::size_t>{1} : reads);
  if (!cut.SameAs(whole)) {
    std::fprintf(stderr, "split reads: %zu messages%s, one read: %zu messages%s\n", cut.messages.size(),
                 cut.bad ? " then bad" : "", whole.messages.size(), whole.bad ? " then bad" : "");
    std::abort();
  }
  if (whole.peak > StreamFramer::Capacity || cut.peak > StreamFramer::Capacity) {
    std::fprintf(stderr, "the framer held %zu bytes\n", std::max(whole.peak, cut.peak));
    std::abort();
  }
  return 0;
}
