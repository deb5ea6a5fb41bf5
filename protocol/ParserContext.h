#pragma once
// What every terminal parser of the server reads and none of them changes: built once
// at start-up from the settings and the program directory's files.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Identification.h"

namespace telvaro {

struct ParserContext {
  /// Event numbers whose AVL records also go to the fuel-event store.
  std::vector<std::uint8_t> dbEvents;
  /// The directory received files go to; file names are appended to it as they are.
  std::string downloadDir;
  /// Terminal IDs refused at their first message, as listed (untrimmed).
  std::vector<std::string> blackList;
  /// The identification key table; null when identification is off.
  std::shared_ptr<const KeyTable> keys;
  /// The decimal separator of the numbers in RTK lines.
  char decimalSeparator = '.';

  /// True when `id`, trimmed of blanks and control characters, equals a black-list
  /// entry trimmed the same way, exactly.
  bool IDInBlackList(std::string_view id) const;
};

/// The event numbers of an EventsToDB text: comma-separated decimal numbers, blanks
/// and control characters around them ignored, empty pieces skipped, a piece that is
/// no number counted as 0, every number kept as its low byte.
std::vector<std::uint8_t> ParseDBEvents(std::string_view text);

}  // namespace telvaro
