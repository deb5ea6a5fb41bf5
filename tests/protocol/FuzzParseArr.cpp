// Fuzz target of the packet reader and its decoders. The input is a frame payload:
// it is wrapped in a frame with a correct checksum, so that the decoders are reached,
// and it is also parsed as it stands. Built without a fuzzing engine, main() replays
// the corpus files given on the command line, each also cut at every length and with
// every byte flipped.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "DecoderFixtures.h"
#include "protocol/TerminalParser.h"

namespace {

using namespace telvaro;
using namespace telvaro::test;

void ParseOnce(const ParserContext& context, Bytes input, TaskStore& store) {
  TParserKrestel parser(context, &store, Disk());
  std::vector<TNTMobile> out;
  try {
    parser.ParseArr(input, out);
  } catch (const std::system_error&) {
    // A file that cannot be written (an offset past the file size limit) is the
    // file system's error, passed on by design.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TempDir dir;
  static const ParserContext context = [] {
    ParserContext c = Context(dir.withSlash());
    c.dbEvents = ParseDBEvents("0,1,150");
    c.keys = std::make_shared<const KeyTable>();
    return c;
  }();
  FakeTaskStore store;
  const ByteVec payload(data, data + std::min<std::size_t>(size, 65535));
  ParseOnce(context, Frame(payload), store);
  ParseOnce(context, payload, store);
  return 0;
}

#ifndef TELVARO_FUZZING_ENGINE
int main(int argc, char** argv) {
  std::size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream in(entry.path(), std::ios::binary);
      ByteVec bytes((std::istreambuf_iterator<char>(in)), {});
      for (std::size_t n = 0; n <= bytes.size(); ++n, ++inputs) LLVMFuzzerTestOneInput(bytes.data(), n);
      for (std::size_t pos = 0; pos < bytes.size(); ++pos)
        for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
          bytes[pos] ^= flip;
          LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
          bytes[pos] ^= flip;
          ++inputs;
        }
    }
  }
  std::printf("%zu inputs replayed\n", inputs);
  return inputs > 0 ? 0 : 1;
}
#endif
