#include "protocol/ParserContext.h"

#include <algorithm>

#include "protocol/Bytes.h"

namespace telvaro {

bool ParserContext::IDInBlackList(std::string_view id) const {
  const std::string_view key = TrimControl(id);
  return std::any_of(blackList.begin(), blackList.end(),
                     [&](const std::string& entry) { return TrimControl(entry) == key; });
}

std::vector<std::uint8_t> ParseDBEvents(std::string_view text) {
  std::vector<std::uint8_t> events;
  while (true) {
    const auto comma = text.find(',');
    // Blanks around a number are not part of it: "150, 151" lists 151, not the 0 of a
    // non-number, which would send every record without an event to the fuel store.
    const std::string_view piece = TrimControl(text.substr(0, comma));
    if (!piece.empty()) {
      // A piece that is not a number counts as 0; values wrap to their low byte.
      long long v = 0;
      bool ok = true;
      std::size_t i = (piece[0] == '-' || piece[0] == '+') ? 1 : 0;
      if (i == piece.size()) ok = false;
      for (; ok && i < piece.size(); ++i) {
        if (piece[i] < '0' || piece[i] > '9' || v > 1'000'000'000'000LL) ok = false;
        else v = v * 10 + (piece[i] - '0');
      }
      if (ok && piece[0] == '-') v = -v;
      events.push_back(static_cast<std::uint8_t>(ok ? v : 0));
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return events;
}

}  // namespace telvaro
