#include "pipes/PipeText.h"

#include <iconv.h>

#include <array>

namespace telvaro {
namespace {

/// Converts all of `in`; nothing when a character cannot be converted.
std::optional<std::string> Convert(const char* to, const char* from, std::string_view in) {
  const iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 4 + 4, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  const std::size_t rc = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  ::iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1)) return std::nullopt;
  out.resize(out.size() - dstLeft);
  return out;
}

/// The UTF-8 form of each byte from 0x80 on, worked out once; empty where Windows-1251
/// leaves a byte undefined (0x98).
const std::array<std::string, 128>& UpperHalf() {
  static const std::array<std::string, 128> upper = [] {
    std::array<std::string, 128> t;
    for (int c = 0x80; c <= 0xFF; ++c) {
      const char ch = static_cast<char>(c);
      if (const auto u = Convert("UTF-8", "CP1251", std::string_view(&ch, 1))) t[c - 0x80] = *u;
    }
    return t;
  }();
  return upper;
}

}  // namespace

std::string PipeTextToUtf8(std::string_view s) {
  const auto& upper = UpperHalf();
  std::string out;
  out.reserve(s.size());
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80)
      out += ch;
    else
      out += upper[c - 0x80].empty() ? std::string("\xEF\xBF\xBD") : upper[c - 0x80];
  }
  return out;
}

std::optional<std::string> Utf8ToPipeText(std::string_view s) { return Convert("CP1251", "UTF-8", s); }

}  // namespace telvaro
