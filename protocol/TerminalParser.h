#pragma once
// The terminal protocol parser of one connection: handshake and frame recognition,
// checksum, dispatch of the frame kinds to the decoders, the decoders themselves
// (AVL records, answers, RTK records), identification and the command encoder.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Bytes.h"
#include "protocol/DownloadFiles.h"
#include "protocol/Identification.h"
#include "protocol/ParserBase.h"

namespace telvaro {

inline constexpr std::uint8_t FrameSignatureByte = 0xCC;
inline constexpr std::size_t HandshakeSize = 20;
/// Signature, length and checksum around the payload.
inline constexpr std::size_t FrameOverhead = 8;
/// The largest frame a 16-bit payload length allows.
inline constexpr std::size_t MaxFrameSize = 65535 + FrameOverhead;
/// IMEI, frame kind and item count: the payload bytes before the items.
inline constexpr std::size_t PayloadHeadSize = 10;
/// The largest file block that fits one command frame: the largest payload less its
/// head and the block's 12 header bytes.
inline constexpr auto MaxBlockSize = static_cast<std::int32_t>(65535 - PayloadHeadSize - 12);

/// Frame kinds (payload byte 8).
enum : std::uint8_t { CodecAVL = 2, CodecCommand = 4, CodecPing = 5, CodecAnswer = 6, CodecRTK = 9 };

/// Bytes of an AVL record without any I/O element.
inline constexpr std::size_t AvlRecordMinSize = 27;
/// Bytes of one RTK record.
inline constexpr std::size_t RtkRecordSize = 28;
/// The I/O element of the driver key: the fuel events' key, and the last key of a
/// keys answer.
inline constexpr int ElemKeyID = 78;

class TParserKrestel : public TParser {
 public:
  /// `context` and `files` outlive the parser; `store` may be null: then nothing is
  /// queued and no fuel event is stored. Without a key table in `context` every
  /// identification answer is refused (1013).
  TParserKrestel(const ParserContext& context, TaskStore* store, FileSink& files)
      : TParser(context, store), files_(files) {}

  /// Parses one message (a handshake or a frame; bytes before a frame signature are
  /// skipped) and appends one record per decoded item to `mobiles`. Never throws for
  /// bad input: that ends in a result code with nothing appended. Errors of the task
  /// store and of the file sink inside the decoders pass to the caller.
  int ParseArr(Bytes arr, std::vector<TNTMobile>& mobiles);

  /// Index of the first frame signature, or -1.
  static long FindSignature(Bytes arr) noexcept;
  /// Index of the first handshake pattern (00 12, "." 18 bytes on), or -1.
  static long ArrHasHandshake(Bytes arr) noexcept;

  /// A command frame carrying `arrCmd` for terminal `id`. Kind 6 (file blocks) and
  /// frames over 255 bytes go to Fpart, the others to Rec.CMD. Throws
  /// std::length_error when the payload would exceed 65535 bytes.
  static TCmd MakeCommand(std::string_view id, Bytes arrCmd);
  /// Queues a software version request in Commands.
  void GetVersion(std::string_view id);
  static TCmd MakeFilePosAnswer(std::string_view id, std::uint8_t ftype, std::uint32_t aBeg,
                                std::uint32_t aEnd, std::uint32_t offset, std::int64_t all);

  /// Decodes the AVL record at `currpos` of the payload `arr` into `mobile` and moves
  /// `currpos` past it. False when the record runs past the end of `arr`; `mobile` is
  /// then partly filled and `currpos` unchanged.
  static bool ParseAVL(std::size_t& currpos, Bytes arr, TNTMobile& mobile) noexcept;
  /// The driver key text of the fuel events: upper-case hex, padded with "00" to 24+.
  static std::string MakeKeyID(std::uint64_t k);

  /// Decodes the answer at `currpos` into `mobile`, moving `currpos` as its kind says,
  /// writing received file blocks and queueing their acknowledgements. False when the
  /// answer runs past the end of `arr`. Errors of the file sink and of the task store
  /// are thrown.
  bool ParseANSWER(std::size_t& currpos, Bytes arr, TNTMobile& mobile);

  /// Appends the line of the RTK record at `currpos` to the terminal's RTK file, sets
  /// `mobile`'s Event and ParamString and moves `currpos` on by 28. False when the
  /// record's fields run past the end of `arr`. Errors of the file sink are thrown.
  bool ParseRTK(std::size_t& currpos, Bytes arr, TNTMobile& mobile);
  /// The text line of the RTK record `rec` begins with, numbers written with `sep`;
  /// empty when `rec` is shorter than the record's 25 read bytes.
  static std::string RtkLine(Bytes rec, char sep);

  /// Queues an identification request for terminal `id` and notes when it was made.
  void IdentifyRequest(std::string_view id);
  /// Crypt_Decrypt with the context's key table; empty when there is none.
  std::string Crypt_Decrypt(std::string_view s, int key) const;

 private:
  /// The IMEI of a payload as text; a terminal sends the same one in every frame, so
  /// the last conversion is kept.
  const std::string& ImeiText(std::uint64_t imei);
  void AddFuelEvent(const TNTMobile& mobile);
  bool ParameterAnswer(std::size_t& currpos, Bytes arr, TNTMobile& mobile);
  bool FileBlock(std::size_t& currpos, Bytes arr, TNTMobile& mobile);
  bool UploadPosition(std::size_t& currpos, Bytes arr, TNTMobile& mobile);

  FileSink& files_;
  std::uint64_t imeiRaw_ = 0;
  std::string imeiText_;
};

}  // namespace telvaro
