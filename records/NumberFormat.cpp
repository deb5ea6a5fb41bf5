#include "records/NumberFormat.h"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace telvaro {
namespace {

void ReplaceSeparator(std::string& s, char sep) {
  if (sep == '.') return;
  for (char& c : s)
    if (c == '.') c = sep;
}

}  // namespace

std::string FormatFixed(double v, int precision, int decimals, char sep) {
  if (!std::isfinite(v)) return fmt::format("{}", v);
  std::string s;
  // Round to the significant digits first, so that the decimals past them read 0.
  const std::string rounded = fmt::format("{:.{}e}", v, precision - 1);
  const double r = std::strtod(rounded.c_str(), nullptr);
  const int intDigits = r == 0 ? 1 : static_cast<int>(std::floor(std::log10(std::fabs(r)))) + 1;
  if (intDigits > precision) {
    s = fmt::format("{:.{}E}", r, precision - 1);
  } else {
    s = fmt::format("{:.{}f}", r, decimals);
    if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  }
  ReplaceSeparator(s, sep);
  return s;
}

std::string FormatGeneral(double v, int precision, char sep) {
  if (!std::isfinite(v)) return fmt::format("{}", v);
  std::string s = fmt::format("{:.{}G}", v, precision);
  ReplaceSeparator(s, sep);
  return s;
}

}  // namespace telvaro
