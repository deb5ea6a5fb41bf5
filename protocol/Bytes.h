#pragma once
// Byte-level helpers of the terminal protocol: the checksum, the bounds-checked reader
// every decoder reads its fields through, and byte spans as single-byte strings.

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/ByteOrder.h"

namespace telvaro {

using Bytes = std::span<const std::uint8_t>;

/// CRC-16/ARC (reflected 0x8005, initial 0, no final XOR); "123456789" gives 0xBB3D.
std::uint16_t CRC16(Bytes data) noexcept;

/// `N` bytes of a record that are passed over.
template <std::size_t N>
struct Gap {};

/// `N` bytes of a record taken as they are.
template <std::size_t N>
struct Chunk {
  Bytes bytes;
};

namespace detail {
template <typename F>
inline constexpr std::size_t FieldSize = sizeof(F);
template <std::size_t N>
inline constexpr std::size_t FieldSize<Gap<N>> = N;
template <std::size_t N>
inline constexpr std::size_t FieldSize<Chunk<N>> = N;
}  // namespace detail

/// Reads the fields of a byte span in order. Every read checks the bytes left first; a
/// read past the end fails and leaves the reader where it was.
class ByteReader {
 public:
  explicit ByteReader(Bytes data, std::size_t pos = 0) noexcept : data_(data), pos_(pos) {}

  std::size_t Pos() const noexcept { return pos_; }
  std::size_t Remaining() const noexcept { return pos_ <= data_.size() ? data_.size() - pos_ : 0; }
  bool Has(std::size_t n) const noexcept { return Remaining() >= n; }

  /// Reads `fields` in order, integers big-endian (signed ones as two's complement):
  /// all of them, or none when the bytes left are too few.
  template <typename... F>
  bool Read(F&... fields) noexcept {
    return ReadAll<std::endian::big>(fields...);
  }
  /// The same with integers little-endian.
  template <typename... F>
  bool ReadLE(F&... fields) noexcept {
    return ReadAll<std::endian::little>(fields...);
  }

  /// A big-endian unsigned value of `width` bytes (at most 8).
  bool ReadBE(std::size_t width, std::uint64_t& v) noexcept {
    if (!Has(width)) return false;
    v = LoadBE(data_.data() + pos_, width);
    pos_ += width;
    return true;
  }
  /// `n` bytes as they are.
  bool Take(std::size_t n, Bytes& out) noexcept {
    if (!Has(n)) return false;
    out = data_.subspan(pos_, n);
    pos_ += n;
    return true;
  }

 private:
  template <std::endian E, typename... F>
  bool ReadAll(F&... fields) noexcept {
    if (!Has((detail::FieldSize<F> + ... + 0))) return false;
    (Load<E>(fields), ...);
    return true;
  }

  template <std::endian E, std::integral T>
  void Load(T& v) noexcept {
    using U = std::make_unsigned_t<T>;
    const std::uint8_t* p = data_.data() + pos_;
    v = static_cast<T>(E == std::endian::big ? LoadBE<U>(p) : LoadLE<U>(p));
    pos_ += sizeof(T);
  }
  template <std::endian E, std::size_t N>
  void Load(Gap<N>&) noexcept {
    pos_ += N;
  }
  template <std::endian E, std::size_t N>
  void Load(Chunk<N>& c) noexcept {
    c.bytes = data_.subspan(pos_, N);
    pos_ += N;
  }

  Bytes data_;
  std::size_t pos_;
};

/// `len` bytes from `pos`, one character each, cut at the end of `arr`.
std::string GetString(Bytes arr, std::size_t pos, std::size_t len);

/// The bytes as single-byte text, unchanged.
inline std::string_view AsText(Bytes b) noexcept { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

/// `s` without characters up to 0x20 (blanks, control characters, zero bytes) at either end.
inline std::string_view TrimControl(std::string_view s) noexcept {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

inline Bytes AsBytes(std::string_view s) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace telvaro
