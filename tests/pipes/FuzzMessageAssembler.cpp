// Fuzz target of the reassembly of pipe messages. The first byte sets the message limit
// (255: none); then each pipe message is a kind byte (data, start packet, end packet,
// an unknown control code) and, for data, a length byte and that many bytes. Two
// assemblers take the same pipe messages, one keeping long messages in temporary files
// and one in memory: they must deliver the same messages, none past the limit, and
// agree on where a message passes it.

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "pipes/PipeFraming.h"
#include "tests/support/TempDir.h"

namespace {

using namespace telvaro;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

std::vector<std::uint8_t> Control(std::uint32_t code) {
  const auto p = MakeControlPacket(code);
  return {p.begin(), p.end()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static test::TempDir dir("telvaro-fuzz");
  if (size == 0) return 0;
  const std::uint64_t limit = data[0] == 255 ? TMessageAssembler::NoLimit : (data[0] + 1u) * 64u;
  TMessageAssembler inFiles(dir.path(), limit);
  TMessageAssembler inMemory("", limit);

  for (std::size_t at = 1; at < size;) {
    std::vector<std::uint8_t> msg;
    switch (data[at++] % 4) {
      case 0: {
        const std::size_t len = at < size ? data[at++] : 0;
        const std::size_t n = std::min(len, size - at);
        msg.assign(data + at, data + at + n);
        at += n;
        break;
      }
      case 1:
        msg = Control(MB_START);
        break;
      case 2:
        msg = Control(MB_END);
        break;
      default:
        msg = Control(0x12345678);
    }
    if (!inFiles.Fits(msg.size()) && inFiles.Fits(msg)) Fail("a message fits by its bytes but not by its size");
    const bool fits = inFiles.Fits(msg);
    if (fits != inMemory.Fits(msg)) Fail("the assemblers disagree on the limit");
    if (!fits) break;  // the connection ends here
    std::optional<TPipeStream> a = inFiles.Feed(std::vector<std::uint8_t>(msg));
    std::optional<TPipeStream> b = inMemory.Feed(std::move(msg));
    if (a.has_value() != b.has_value()) Fail("one assembler delivered, the other did not");
    if (!a) continue;
    if (a->Size() > limit) Fail("a message past the limit was delivered");
    if (a->ReadRest() != b->ReadRest()) Fail("the assemblers delivered different messages");
  }
  return 0;
}
