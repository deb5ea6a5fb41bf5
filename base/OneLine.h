#pragma once
// Client libraries' messages end with a line break and may hold several lines; a log
// line wants one.

#include <string>
#include <string_view>

namespace telvaro {

/// `s` without trailing blanks and line breaks, its inner line breaks made spaces.
inline std::string OneLine(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.remove_suffix(1);
  std::string r(s);
  for (char& c : r)
    if (c == '\n' || c == '\r') c = ' ';
  return r;
}

}  // namespace telvaro
