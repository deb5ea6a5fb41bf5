#pragma once
// Byte-level helpers of the terminal protocol: the checksum, a bounds-checked reader
// and the conversions between byte arrays and single-byte strings.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/ByteOrder.h"

namespace telvaro {

using Bytes = std::span<const std::uint8_t>;

/// CRC-16/ARC (reflected 0x8005, initial 0, no final XOR); "123456789" gives 0xBB3D.
std::uint16_t CRC16(Bytes data) noexcept;

/// Reads big-endian fields from a byte span. Every read checks the bytes left first;
/// a read past the end fails and leaves the reader where it was.
class ByteReader {
 public:
  explicit ByteReader(Bytes data, std::size_t pos = 0) noexcept : data_(data), pos_(pos) {}

  std::size_t pos() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return pos_ <= data_.size() ? data_.size() - pos_ : 0; }
  bool has(std::size_t n) const noexcept { return remaining() >= n; }
  Bytes data() const noexcept { return data_; }

  bool skip(std::size_t n) noexcept {
    if (!has(n)) return false;
    pos_ += n;
    return true;
  }
  bool u8(std::uint8_t& v) noexcept { return be(v); }
  bool u16(std::uint16_t& v) noexcept { return be(v); }
  bool u32(std::uint32_t& v) noexcept { return be(v); }
  bool u64(std::uint64_t& v) noexcept { return be(v); }
  /// `n` raw bytes.
  bool bytes(std::size_t n, Bytes& out) noexcept {
    if (!has(n)) return false;
    out = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }

 private:
  template <typename T>
  bool be(T& v) noexcept {
    if (!has(sizeof(T))) return false;
    v = LoadBE<T>(data_.data() + pos_);
    pos_ += sizeof(T);
    return true;
  }

  Bytes data_;
  std::size_t pos_;
};

/// The eight bytes at `pos` as a signed big-endian number in decimal; empty when
/// fewer than eight bytes are there.
std::string GetImei(Bytes arr, std::size_t pos);

/// `len` bytes from `pos`, one character each, cut at the end of `arr`.
std::string GetString(Bytes arr, std::size_t pos, std::size_t len);

/// `s` without characters up to 0x20 (blanks, control characters, zero bytes) at either end.
inline std::string_view TrimControl(std::string_view s) noexcept {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

/// One character per byte.
inline std::string ArrayToString(Bytes arr) { return std::string(arr.begin(), arr.end()); }

/// Fills `arr` with zeros, then copies the first min(size of s, size of arr) bytes of `s`.
void StringToArray(std::string_view s, std::span<std::uint8_t> arr) noexcept;

inline Bytes AsBytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace telvaro
