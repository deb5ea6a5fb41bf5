#pragma once
// A crowd of simulated terminals: each connects, hand-shakes, sends AVL frames at a
// rate and keep-alives, and answers what the server sends (version requests, file
// blocks). Used for demonstrations, tests and load runs.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace telvaro::sim {

struct Options {
  std::string host = "127.0.0.1";  ///< several, comma-separated, are used in turn
  std::uint16_t port = 4001;
  int terminals = 1;
  std::uint64_t firstImei = 350000000000000;  ///< terminal i uses firstImei + i
  std::string version = "1.5";                ///< firmware version in the handshake
  int records = 10;          ///< AVL records per frame
  double rate = 1.0;         ///< AVL frames per second per terminal; 0: none
  int frames = 0;            ///< AVL frames per terminal; 0: no limit
  double duration = 10.0;    ///< seconds each terminal stays connected; 0: until its frames are sent
  /// Seconds a connection lasts before the terminal hangs up and connects again (each
  /// time a random half to one and a half of it), also after the server closed it,
  /// until `duration` ends; 0: one connection only. Hanging up shuts the sending side
  /// first and reads until the server closes, so nothing sent to it is lost.
  double reconnect = 0.0;
  double keepAlive = 0.0;    ///< seconds between keep-alive frames; 0: none
  int split = 1;             ///< writes per message (a frame cut into this many pieces)
  int splitGapMs = 2;        ///< pause between the pieces of a split message
  int perWrite = 1;          ///< AVL frames joined into one write
  int connectRate = 2000;    ///< new connections per second
  int threads = 1;           ///< I/O threads of the simulator
  bool waitForOk = true;     ///< send data only after the handshake reply
  double linger = 0.5;       ///< seconds to keep reading after the last frame
  /// When set, every command received is appended to this file as a line: the IMEI,
  /// then "block TYPE SIZE OFFSET LENGTH" for an upload block, "text TEXT" for a text
  /// command, which is then taken to end with ';', or "other HEX UNIX-MS" for a command
  /// of another kind (its bytes, and when it arrived).
  std::string logCommands;
};

/// Counters of one run; every field is updated by the terminals as they go.
struct Summary {
  std::atomic<std::uint64_t> connected{0}, connectFailed{0}, closedByServer{0}, reconnects{0};
  std::atomic<std::uint64_t> handshakeReplies{0};
  std::atomic<std::uint64_t> framesSent{0}, recordsSent{0}, keepAlivesSent{0}, answersSent{0};
  std::atomic<std::uint64_t> bytesSent{0}, bytesReceived{0};
  std::atomic<std::uint64_t> commandsReceived{0}, versionRequests{0}, fileBlocks{0},
      identifyRequests{0}, otherCommands{0}, textCommands{0}, unparsedBytes{0};
  double seconds = 0;

  /// A few lines for people.
  std::string Text() const;
};

/// Runs the terminals until each has finished; fills `summary`.
void Run(const Options& options, Summary& summary);

/// The AVL frame terminal `imei` sends: `records` records stamped `unixTime`.
std::vector<std::uint8_t> AvlFrame(std::uint64_t imei, int records, std::uint32_t unixTime);
/// A keep-alive frame.
std::vector<std::uint8_t> KeepAliveFrame(std::uint64_t imei);
/// The 20-byte handshake.
std::vector<std::uint8_t> Handshake(std::uint64_t imei, const std::string& version);

}  // namespace telvaro::sim
