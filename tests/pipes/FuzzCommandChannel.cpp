// Fuzz target of the command channel's request handling: the input is one message of
// the command pipe (the 768-byte request record and what follows it), handled as the
// pipe server hands it over. An error a request raises is the pipe server's to report,
// as it is in the server; anything else (a crash, undefined behaviour, a leak) is a find.
// The fuel report goes to a temporary directory, emptied after every input.

#include <asio/io_context.hpp>

#include "pipes/CommandChannel.h"
#include "tests/pipes/FakeStore.h"
#include "tests/support/TempDir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace telvaro;
  static test::TempDir dir("telvaro-fuzz");
  static asio::io_context loop;
  static TPipeServer pipe(loop);
  static OperatorLog log;
  test::FakeStore store;
  // Small blocks, so that an upload is cut into many, and no pause between requests.
  TCommandChannel channel(
      store, [](std::string_view request) { return std::string(request.size() % 7, 'x'); }, log,
      TCommandOptions{.blkSize = 16, .downloadDir = dir.withSlash(), .uploadPause = std::chrono::milliseconds(0)});
  channel.Attach(pipe);
  TPipeStream message(std::vector<std::uint8_t>(data, data + size));
  try {
    pipe.OnPipeMessage(pipe, 3, message);
  } catch (const std::exception&) {
  }
  dir.Empty();  // the report file, made anew by the next input
  return 0;
}
