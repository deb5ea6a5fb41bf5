#pragma once
// An INI file read once, that remembers which keys were asked for and what could not be
// read as asked, so that a start-up can say what in the file was wrong or unknown.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace telvaro {

/// Sections and keys are case-insensitive; the first occurrence of a key wins. Every
/// `Read...` and `Find` makes its key (and section) known; `Notes` then names each
/// value that was replaced by its default, and `UnknownNotes` each section and key of
/// the file that nothing asked for.
class IniFile {
 public:
  /// Reads `path`. A missing or unreadable file reads as empty, with a note saying so.
  explicit IniFile(const std::string& path);

  /// The value as written (quotes removed), or nothing when the file lacks the key.
  std::optional<std::string> Find(std::string_view section, std::string_view key);

  std::string ReadString(std::string_view section, std::string_view key, std::string def);
  /// An integer from `lo` to `hi`; `def` for a text that is no number or one outside.
  std::int64_t ReadInt64(std::string_view section, std::string_view key, std::int64_t def, std::int64_t lo,
                         std::int64_t hi);
  std::int32_t ReadInt(std::string_view section, std::string_view key, std::int32_t def);
  /// An integer, true when it is not 0.
  bool ReadBool(std::string_view section, std::string_view key, bool def);

  /// Adds a note about the value of `key`: "Settings: [Section] Key=value " + `what`.
  void NoteValue(std::string_view section, std::string_view key, std::string_view what);

  /// Decimal, or hexadecimal after "0x" or "$", with an optional sign.
  static std::optional<std::int64_t> ParseInt(std::string_view s);
  /// `s` without the blanks (spaces, tabs, line ends) at either end.
  static std::string_view Trim(std::string_view s);
  /// `s` with its ASCII letters in lower case.
  static std::string Lower(std::string_view s);

  /// Lines for the operator log: the file missing or unreadable, lines that are no
  /// section and no key, and the values replaced so far, in reading order.
  const std::vector<std::string>& Notes() const { return notes_; }
  /// Lines for the operator log: each section nothing asked for, each key of a known
  /// section that nothing asked for, and each key given more than once, in file order.
  std::vector<std::string> UnknownNotes() const;

 private:
  struct Entry {
    std::string section;  ///< as written in the file
    std::string key;      ///< as written in the file
    std::string value;
    int line = 0;
  };

  const Entry* Lookup(std::string_view section, std::string_view key);

  std::vector<Entry> entries_;               ///< every key line, in file order
  std::map<std::string, std::size_t> first_;  ///< "section\nkey" (lower case) -> first entry
  std::vector<std::pair<std::string, int>> sections_;  ///< section headers as written, with their lines
  std::set<std::string> askedSections_;      ///< lower case
  std::set<std::string> askedKeys_;          ///< "section\nkey", lower case
  std::vector<std::string> notes_;
};

}  // namespace telvaro
