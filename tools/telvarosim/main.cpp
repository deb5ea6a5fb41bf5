// telvarosim: simulated terminals for demonstrations, tests and load runs.

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/telvarosim/Simulator.h"

namespace {

constexpr const char* Usage =
    "usage: telvarosim [options]\n"
    "  --host H[,H...]     server address, several used in turn (127.0.0.1)\n"
    "  --port P            server port (4001)\n"
    "  -n, --terminals N   terminals, each with its own IMEI (1)\n"
    "  --imei I            IMEI of the first terminal (350000000000000)\n"
    "  --records K         AVL records per frame, 1 to 255 (10)\n"
    "  --rate R            AVL frames per second per terminal, 0 for none (1)\n"
    "  --frames F          AVL frames per terminal, 0 for no limit (0)\n"
    "  --duration S        seconds each terminal stays connected, 0 until its frames are sent (10)\n"
    "  --reconnect S       hang up after about S seconds and connect again, until the duration ends (0: never)\n"
    "  --commands-log F    write \"IMEI HEX UNIX-MS\" to F for every command of an unknown kind\n"
    "  --keepalive S       seconds between keep-alive frames, 0 for none (0)\n"
    "  --split N           write each message in N pieces (1)\n"
    "  --split-gap MS      pause between the pieces (2)\n"
    "  --per-write N       AVL frames joined into one write (1)\n"
    "  --connect-rate C    new connections per second (2000)\n"
    "  --threads T         I/O threads (1)\n"
    "  --no-wait           send data without waiting for the handshake reply\n"
    "  --linger S          seconds to keep reading after the last frame (0.5)\n"
    "  --help              this text\n";

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "telvarosim: %s\n%s", text.c_str(), Usage);
  std::exit(2);
}

long InRange(long v, long lo, long hi, std::string_view option) {
  if (v < lo || v > hi) Fail(std::string(option) + " must be from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  telvaro::sim::Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail("missing value for " + std::string(a));
      return argv[++i];
    };
    try {
      if (a == "--help" || a == "-h") {
        std::fputs(Usage, stdout);
        return 0;
      } else if (a == "--host") o.host = value();
      else if (a == "--port") o.port = static_cast<std::uint16_t>(InRange(std::stol(value()), 1, 65535, a));
      else if (a == "-n" || a == "--terminals") o.terminals = std::stoi(value());
      else if (a == "--imei") o.firstImei = std::stoull(value());
      // A frame counts its records in one byte.
      else if (a == "--records") o.records = static_cast<int>(InRange(std::stoi(value()), 1, 255, a));
      else if (a == "--rate") o.rate = std::stod(value());
      else if (a == "--frames") o.frames = std::stoi(value());
      else if (a == "--duration") o.duration = std::stod(value());
      else if (a == "--reconnect") o.reconnect = std::stod(value());
      else if (a == "--commands-log") o.commandsLog = value();
      else if (a == "--keepalive") o.keepAlive = std::stod(value());
      else if (a == "--split") o.split = std::stoi(value());
      else if (a == "--split-gap") o.splitGapMs = std::stoi(value());
      else if (a == "--per-write") o.perWrite = std::stoi(value());
      else if (a == "--connect-rate") o.connectRate = std::stoi(value());
      else if (a == "--threads") o.threads = std::stoi(value());
      else if (a == "--no-wait") o.waitForOk = false;
      else if (a == "--linger") o.linger = std::stod(value());
      else Fail("unknown option " + std::string(a));
    } catch (const std::logic_error&) {
      Fail("bad value for " + std::string(a));
    }
  }
  telvaro::sim::Summary s;
  try {
    telvaro::sim::Run(o, s);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "telvarosim: %s\n", e.what());
    return 2;
  }
  std::fputs(s.Text().c_str(), stdout);
  return s.connectFailed == 0 ? 0 : 1;
}
