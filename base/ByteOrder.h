#pragma once
// Unsigned integers in a fixed byte order, whatever the host's: the terminal protocol
// is big-endian, its RTK records and the pipes' control packets little-endian. The
// callers check the bounds.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>

namespace telvaro {

/// The big-endian value of the sizeof(T) bytes at `p`.
template <std::unsigned_integral T>
constexpr T LoadBE(const std::uint8_t* p) noexcept {
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | p[i]);
  return v;
}

/// The little-endian value of the sizeof(T) bytes at `p`.
template <std::unsigned_integral T>
constexpr T LoadLE(const std::uint8_t* p) noexcept {
  T v = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) v = static_cast<T>((v << 8) | p[i]);
  return v;
}

/// The big-endian value of the `width` bytes at `p`; `width` is at most 8.
constexpr std::uint64_t LoadBE(const std::uint8_t* p, std::size_t width) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) v = (v << 8) | p[i];
  return v;
}

/// Stores `v` as sizeof(T) little-endian bytes at `p`.
template <std::unsigned_integral T>
constexpr void StoreLE(std::uint8_t* p, T v) noexcept {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

/// Appends the low `width` bytes of `v` (at most 8), most significant first.
inline void AppendBE(std::string& out, std::uint64_t v, std::size_t width) {
  for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace telvaro
