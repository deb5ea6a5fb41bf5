#pragma once
// Length-prefixed single-byte strings as they appear in the wire records:
// one length byte, then a fixed number of character bytes; bytes past the length
// carry no meaning.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace telvaro {

template <std::size_t N>
struct ShortString {
  static_assert(N >= 1 && N <= 255);
  static constexpr std::size_t Capacity = N;

  std::uint8_t len;
  char chars[N];

  std::string_view view() const noexcept {
    return {chars, std::min<std::size_t>(len, N)};
  }
  std::string str() const { return std::string(view()); }
  bool empty() const noexcept { return len == 0; }

  /// Stores `s`, cut at the capacity; the bytes after the new length are left as they are.
  void assign(std::string_view s) noexcept {
    len = static_cast<std::uint8_t>(std::min(s.size(), N));
    if (len) std::memcpy(chars, s.data(), len);
  }
};

static_assert(sizeof(ShortString<15>) == 16);
static_assert(sizeof(ShortString<255>) == 256);

}  // namespace telvaro
