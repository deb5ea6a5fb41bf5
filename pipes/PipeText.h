#pragma once
// Text on the pipes is single-byte Windows-1251; command lines and JSON are UTF-8. (The
// operator log shows pipe text through DisplayText, records/Text.h.)

#include <optional>
#include <string>
#include <string_view>

namespace telvaro {

/// `s` in UTF-8 as it stands (the one undefined byte becomes U+FFFD).
std::string PipeTextToUtf8(std::string_view s);
/// `s` (UTF-8) in Windows-1251; nothing when a character has no Windows-1251 form.
std::optional<std::string> Utf8ToPipeText(std::string_view s);

}  // namespace telvaro
