#pragma once
// Message framing of the operator pipes: messages up to MAX_BUFFER bytes travel as one
// pipe message; longer ones as a 16-byte start packet, MAX_BUFFER-byte pieces and an end
// packet. Also the stream a received message is handed over in, and the assembler that
// turns the pipe messages of one connection back into messages.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace telvaro {

using PipeBytes = std::span<const std::uint8_t>;

/// Largest message sent as one pipe message, and the piece size of longer ones.
inline constexpr std::size_t MAX_BUFFER = 65534;
inline constexpr std::uint32_t MB_MAGIC = 0x4347414D;  ///< "MAGC"
inline constexpr std::uint32_t MB_START = 0x424D5453;  ///< "STMB"
inline constexpr std::uint32_t MB_END = 0x424D5445;    ///< "ETMB"
/// Name prefix of the temporary file that backs a reassembled long message.
inline constexpr const char* MB_PREFIX = "PMM";
inline constexpr std::size_t ControlPacketSize = 16;

/// The control packet as it travels: four little-endian 32-bit fields.
using TPipeMsgBlock = std::array<std::uint8_t, ControlPacketSize>;

/// The start or end packet for `code`.
TPipeMsgBlock MakeControlPacket(std::uint32_t code) noexcept;
/// The control code when `msg` is a control packet (16 bytes, Size 16, both magics).
std::optional<std::uint32_t> ControlCode(PipeBytes msg) noexcept;

/// Cuts `msg` into the pipe messages that carry it, in order: the message itself when it
/// fits MAX_BUFFER, else start packet, pieces and end packet.
std::vector<std::vector<std::uint8_t>> FrameMessage(PipeBytes msg);

/// A message's bytes, in memory or in an unlinked temporary file, read from a position.
/// Move-only; a file-backed stream closes (and so deletes) its file when destroyed.
class TPipeStream {
 public:
  TPipeStream() = default;
  explicit TPipeStream(std::vector<std::uint8_t> bytes) noexcept : mem_(std::move(bytes)) {}
  TPipeStream(TPipeStream&& other) noexcept;
  TPipeStream& operator=(TPipeStream&& other) noexcept;
  TPipeStream(const TPipeStream&) = delete;
  TPipeStream& operator=(const TPipeStream&) = delete;
  ~TPipeStream();

  /// An empty stream backed by a new file named `prefix`XXXXXX in `dir`, removed from the
  /// directory at once so that it disappears with the stream; in memory when no file can
  /// be made there.
  static TPipeStream Temporary(const std::string& dir, const char* prefix = MB_PREFIX);

  bool IsFile() const noexcept { return fd_ >= 0; }
  std::uint64_t Size() const noexcept { return IsFile() ? fileSize_ : mem_.size(); }
  std::uint64_t Position() const noexcept { return pos_; }
  void Seek(std::uint64_t pos) noexcept { pos_ = pos; }
  /// Reads up to `out.size()` bytes from the position on; returns how many were read.
  /// Throws std::system_error when the file cannot be read.
  std::size_t Read(std::span<std::uint8_t> out);
  /// Appends at the end (the position stays); throws std::system_error on a file error.
  void Append(PipeBytes data);
  /// Everything from the position on.
  std::vector<std::uint8_t> ReadRest();

 private:
  int fd_ = -1;
  std::uint64_t fileSize_ = 0;
  std::uint64_t pos_ = 0;
  std::vector<std::uint8_t> mem_;
};

/// Turns the pipe messages received on one connection back into messages.
class TMessageAssembler {
 public:
  static constexpr std::uint64_t NoLimit = UINT64_MAX;

  /// Reassembled messages are kept in a temporary file in `tempDir` (memory when none
  /// can be made there); an empty `tempDir` keeps them in memory. No message may pass
  /// `limit` bytes.
  explicit TMessageAssembler(std::string tempDir, std::uint64_t limit = NoLimit)
      : tempDir_(std::move(tempDir)), limit_(limit) {}

  /// False when a pipe message of `size` bytes would make a message pass the limit;
  /// the connection must then end. A message of a control packet's size may be one, so
  /// it passes here; Fits(msg) decides once its bytes are read.
  bool Fits(std::uint64_t size) const noexcept;
  /// False when the pipe message `msg` would make a message pass the limit; control
  /// packets always fit.
  bool Fits(PipeBytes msg) const noexcept;

  /// Takes one pipe message; returns the message to deliver, if this completes one.
  /// A start packet discards a message being assembled and begins a new one; an end
  /// packet delivers it (an end packet with nothing assembled is ignored); an unknown
  /// control code discards it. A message whose backing file failed is dropped at its
  /// end packet. A piece that does not fit discards the message being assembled, its
  /// file with it.
  std::optional<TPipeStream> Feed(std::vector<std::uint8_t>&& msg);

  /// Drops the message being assembled, removing its file.
  void Discard() noexcept { multi_.reset(); }

 private:
  /// True when data of `size` bytes keeps the message within the limit.
  bool Adds(std::uint64_t size) const noexcept;

  std::string tempDir_;
  std::uint64_t limit_;
  std::optional<TPipeStream> multi_;
  std::uint64_t assembled_ = 0;  ///< bytes of the message being assembled
  bool failed_ = false;
};

/// The directory for temporary files: $TMPDIR, else "/tmp".
std::string TempDirectory();

}  // namespace telvaro
