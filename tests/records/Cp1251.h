#pragma once
// Windows-1251 bytes of UTF-8 test text, converted by the C library.

#include <iconv.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace telvaro {

/// Converts with iconv between the given encodings; throws when a byte does not convert.
inline std::string Iconv(std::string_view text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open");
  std::string out(text.size() * 4, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  char* o = out.data();
  std::size_t outLeft = out.size();
  const std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1)) throw std::runtime_error("iconv");
  out.resize(out.size() - outLeft);
  return out;
}

inline std::string Cp1251(std::string_view utf8) { return Iconv(utf8, "CP1251", "UTF-8"); }

}  // namespace telvaro
