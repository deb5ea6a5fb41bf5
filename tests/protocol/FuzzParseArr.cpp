// Fuzz target of the packet reader and its decoders. The input is a frame payload:
// it is wrapped in a frame with a correct checksum, so that the decoders are reached,
// and it is also parsed as it stands. The files the decoders write go to one
// temporary directory, emptied after every input.

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
  dir.Empty();
  return 0;
}
