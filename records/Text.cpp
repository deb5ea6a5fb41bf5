#include "records/Text.h"

#include <array>
#include <cstdint>

namespace telvaro {
namespace {

// Unicode code points of the bytes 0x80 to 0xBF; 0 marks the unassigned 0x98.
// 0xC0 to 0xFF are the Cyrillic capitals and small letters U+0410 to U+044F in order.
constexpr std::array<char16_t, 64> UpperHalf = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

// The shown form of one byte: its UTF-8 sequence or its escape, at most 4 bytes.
struct Shown {
  char bytes[4];
  std::uint8_t size;
};

constexpr Shown Escaped(std::uint8_t b) {
  constexpr char hex[] = "0123456789ABCDEF";
  return {{'\\', 'x', hex[b >> 4], hex[b & 15]}, 4};
}

constexpr Shown Encode(char32_t cp) {
  if (cp < 0x80) return {{static_cast<char>(cp), 0, 0, 0}, 1};
  if (cp < 0x800)
    return {{static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F)), 0, 0}, 2};
  return {{static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
           static_cast<char>(0x80 | (cp & 0x3F)), 0},
          3};
}

constexpr std::array<Shown, 256> MakeTable() {
  std::array<Shown, 256> t{};
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<std::uint8_t>(b);
    char32_t cp = b < 0x80 ? b : b < 0xC0 ? UpperHalf[b - 0x80] : 0x0410 + (b - 0xC0);
    t[b] = (b < 0x20 || b == 0x7F || cp == 0) ? Escaped(byte) : Encode(cp);
  }
  return t;
}

constexpr std::array<Shown, 256> Table = MakeTable();

}  // namespace

void AppendDisplayText(std::string& out, std::string_view text) {
  // Printable ASCII runs are copied whole; they are most of what terminals send.
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    while (j < text.size() && static_cast<std::uint8_t>(text[j]) >= 0x20 &&
           static_cast<std::uint8_t>(text[j]) < 0x7F)
      ++j;
    out.append(text.data() + i, j - i);
    if (j == text.size()) break;
    const Shown& s = Table[static_cast<std::uint8_t>(text[j])];
    out.append(s.bytes, s.size);
    i = j + 1;
  }
}

std::string DisplayText(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  AppendDisplayText(out, text);
  return out;
}

}  // namespace telvaro
