#include "records/NumberFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>

#include <fmt/format.h>

namespace telvaro {
namespace {

void ReplaceSeparator(std::string& s, char sep) {
  if (sep == '.') return;
  for (char& c : s)
    if (c == '.') c = sep;
}

}  // namespace

void AppendFixed(std::string& out, double v, int precision, int decimals, char sep) {
  if (!std::isfinite(v)) {
    fmt::format_to(std::back_inserter(out), "{}", v);
    return;
  }
  // Round to the significant digits first, so that the decimals past them read 0.
  // Stack buffers keep this free of allocations: the log line of every record uses it.
  fmt::memory_buffer buf;
  fmt::format_to(std::back_inserter(buf), "{:.{}e}", v, precision - 1);
  double r = 0;
  std::from_chars(buf.data(), buf.data() + buf.size(), r);
  // The text ends in the rounded value's decimal exponent ("e+05"): one less than the
  // number of its integer digits.
  int exponent = 0;
  const char* begin = buf.data();
  const char* end = begin + buf.size();
  const char* e = std::find(begin, end, 'e');
  if (e != end) std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
  const int intDigits = r == 0 ? 1 : exponent + 1;
  const std::size_t start = out.size();
  if (intDigits > precision) {
    fmt::format_to(std::back_inserter(out), "{:.{}E}", r, precision - 1);
  } else {
    fmt::format_to(std::back_inserter(out), "{:.{}f}", r, decimals);
    if (out[start] == '-' && out.find_first_not_of("-0.", start) == std::string::npos) out.erase(start, 1);
  }
  if (sep != '.')
    for (std::size_t i = start; i < out.size(); ++i)
      if (out[i] == '.') out[i] = sep;
}

std::string FormatFixed(double v, int precision, int decimals, char sep) {
  std::string s;
  AppendFixed(s, v, precision, decimals, sep);
  return s;
}

std::string FormatGeneral(double v, int precision, char sep) {
  if (!std::isfinite(v)) return fmt::format("{}", v);
  std::string s = fmt::format("{:.{}G}", v, precision);
  ReplaceSeparator(s, sep);
  return s;
}

}  // namespace telvaro
