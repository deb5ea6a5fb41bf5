#include "protocol/Identification.h"

#include <algorithm>
#include <random>

namespace telvaro {
namespace {

int HexDigit(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

KeyTableLoad ParseKeyTable(std::string_view text) {
  KeyTable table;
  int count = 0;
  int lineNo = 0;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = TrimControl(text.substr(0, eol));
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    ++lineNo;
    if (line.empty()) continue;
    const std::string where = std::string(KeyFileName) + " line " + std::to_string(lineNo);
    if (count == Max_KEY) return {std::nullopt, where + ": more than 30 keys"};
    if (line.size() != 2 * Max_KEY_LEN)
      return {std::nullopt, where + ": a key must be 20 hexadecimal digits"};
    for (int i = 0; i < Max_KEY_LEN; ++i) {
      const int hi = HexDigit(line[2 * i]);
      const int lo = HexDigit(line[2 * i + 1]);
      if (hi < 0 || lo < 0) return {std::nullopt, where + ": a key must be 20 hexadecimal digits"};
      table.rows[count][i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    ++count;
  }
  if (count != Max_KEY)
    return {std::nullopt, std::string(KeyFileName) + " holds " + std::to_string(count) + " keys, not 30"};
  return {table, {}};
}

std::uint16_t Make_Param(int key) {
  thread_local std::mt19937 gen{std::random_device{}()};
  const auto r = static_cast<std::uint16_t>(std::uniform_int_distribution<int>(0, 65534)(gen));
  return static_cast<std::uint16_t>(((r | 0x8000) & IdentMask) | ((key & 0x1F) << 6));
}

std::string GetReverseString(std::size_t len, std::size_t pos, Bytes arr) {
  std::string s;
  if (pos >= arr.size()) return s;
  len = std::min(len, arr.size() - pos);
  s.reserve(len);
  for (std::size_t i = pos + len; i-- > pos;)
    if (arr[i] != 0) s.push_back(static_cast<char>(arr[i]));
  return s;
}

std::string Crypt_Decrypt(const KeyTable& table, std::string_view s, int key) {
  if (key < 0 || key >= Max_KEY) return {};
  std::string out(s);
  const auto& row = table.rows[static_cast<std::size_t>(key)];
  for (std::size_t i = 0; i < out.size() && i < row.size(); ++i)
    out[i] = static_cast<char>(static_cast<std::uint8_t>(out[i]) ^ row[i]);
  return out;
}

}  // namespace telvaro
