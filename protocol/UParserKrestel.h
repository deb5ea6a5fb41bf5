#pragma once
// The terminal protocol parser of one connection: handshake and frame recognition,
// checksum, dispatch of the frame kinds to the decoders, and the command encoder.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/UCommonFunctions.h"
#include "protocol/UCommonParser.h"

namespace telvaro {

inline constexpr std::uint8_t FrameSignatureByte = 0xCC;
inline constexpr std::size_t HandshakeSize = 20;
/// Signature, length and checksum around the payload.
inline constexpr std::size_t FrameOverhead = 8;
/// The largest frame a 16-bit payload length allows.
inline constexpr std::size_t MaxFrameSize = 65535 + FrameOverhead;

/// Frame kinds (payload byte 8).
enum : std::uint8_t { CodecAVL = 2, CodecCommand = 4, CodecPing = 5, CodecAnswer = 6, CodecRTK = 9 };

class TParserKrestel : public TParser {
 public:
  using TParser::TParser;

  /// Parses one message (a handshake or a frame; bytes before a frame signature are
  /// skipped) and appends one record per decoded item to `mobiles`. Never throws for
  /// bad input: that ends in a result code with nothing appended. Errors of the task
  /// store and of the file system inside the decoders pass to the caller.
  int ParseArr(Bytes arr, std::vector<TNTMobile>& mobiles);

  /// Index of the first frame signature, or -1.
  static long FindSignature(Bytes arr) noexcept;
  /// Index of the first handshake pattern (00 12, "." 18 bytes on), or -1.
  static long ArrHasHandshake(Bytes arr) noexcept;

  /// A command frame carrying `arrCmd` for terminal `id`. Kind 6 (file blocks) and
  /// frames over 255 bytes go to Fpart, the others to Rec.CMD. Throws
  /// std::length_error when the payload would exceed 65535 bytes.
  static TCmd MakeCommand(std::string_view id, Bytes arrCmd);
  static TCmd GetLocation(std::string_view id);
  /// Queues a software version request in Commands.
  void GetVersion(std::string_view id);
  static TCmd MakeFilePosAnswer(std::string_view id, std::uint8_t ftype, std::uint32_t aBeg,
                                std::uint32_t aEnd, std::uint32_t offset, std::int64_t all);
};

}  // namespace telvaro
