// telvarosim: simulated terminals for demonstrations, tests and load runs.

#include <cstdio>
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "tools/telvarosim/Simulator.h"

namespace {

/// Error status of a command line the simulator cannot run.
constexpr int UsageStatus = 2;

}  // namespace

int main(int argc, char** argv) {
  telvaro::sim::Options o;
  CLI::App app{"Simulated Krestel terminals: each connects, hand-shakes, sends AVL frames and keep-alives, "
               "and answers version requests and file blocks. Prints a summary.",
               "telvarosim"};
  app.set_version_flag("--version", "telvarosim " TELVARO_VERSION, "print the version and exit");
  app.add_option("--host", o.host, "server address; several, comma-separated, are used in turn")
      ->capture_default_str();
  int port = o.port;
  app.add_option("--port", port, "server port")->capture_default_str();
  app.add_option("-n,--terminals", o.terminals, "terminals, each with its own IMEI")->capture_default_str();
  app.add_option("--imei", o.firstImei, "IMEI of the first terminal")->capture_default_str();
  app.add_option("--records", o.records, "AVL records per frame, 1 to 255")->capture_default_str();
  app.add_option("--rate", o.rate, "AVL frames per second per terminal, 0 for none")->capture_default_str();
  app.add_option("--frames", o.frames, "AVL frames per terminal, 0 for no limit")->capture_default_str();
  app.add_option("--duration", o.duration, "seconds each terminal stays connected, 0 until its frames are sent")
      ->capture_default_str();
  app.add_option("--reconnect", o.reconnect,
                 "hang up after about S seconds and connect again, until the duration ends; 0: never")
      ->capture_default_str();
  app.add_option("--keepalive", o.keepAlive, "seconds between keep-alive frames, 0 for none")->capture_default_str();
  app.add_option("--split", o.split, "write each message in N pieces")->capture_default_str();
  app.add_option("--split-gap", o.splitGapMs, "milliseconds between the pieces")->capture_default_str();
  app.add_option("--per-write", o.perWrite, "AVL frames joined into one write")->capture_default_str();
  app.add_option("--connect-rate", o.connectRate, "new connections per second")->capture_default_str();
  app.add_option("--threads", o.threads, "I/O threads")->capture_default_str();
  app.add_flag_callback("--no-wait", [&o] { o.waitForOk = false; },
                        "send data without waiting for the handshake reply");
  app.add_option("--linger", o.linger, "seconds to keep reading after the last frame")->capture_default_str();
  app.add_option("--log-commands", o.logCommands,
                 "append every command received to this file, a line each: the IMEI, then "
                 "\"block TYPE SIZE OFFSET LENGTH\" for an upload block, \"text TEXT\" for a text "
                 "command (taken to end with ';'), or \"other HEX UNIX-MS\" for a command of another kind");

  const auto fail = [&app](const std::string& text) {
    std::cerr << "telvarosim: " << text << '\n' << app.help();
    return UsageStatus;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << '\n';
    return 0;
  } catch (const CLI::ParseError& e) {
    return fail(e.what());
  }
  // A port has 16 bits and a frame counts its records in one byte: other values would be
  // sent as some other value while the summary counted the asked one.
  if (port < 1 || port > 65535) return fail("--port must be from 1 to 65535");
  if (o.records < 1 || o.records > 255) return fail("--records must be from 1 to 255");
  o.port = static_cast<std::uint16_t>(port);

  telvaro::sim::Summary s;
  try {
    telvaro::sim::Run(o, s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "telvarosim: %s\n", e.what());
    return 1;
  }
  std::fputs(s.Text().c_str(), stdout);
  return s.connectFailed == 0 ? 0 : 1;
}
