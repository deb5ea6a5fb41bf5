#pragma once
// Terminal identification: the shared key table, the challenge parameter and the
// deciphering of the terminal's answer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/Bytes.h"

namespace telvaro {

inline constexpr int Max_KEY = 30;
inline constexpr int Max_KEY_LEN = 10;
/// What a correctly deciphered answer reads.
inline constexpr std::string_view IdentSignature = "Hollowmark";
/// Clears bits 6 to 10 of a parameter word, where the key index goes.
inline constexpr std::uint16_t IdentMask = 0xF83F;
/// The name of the key file in the program directory.
inline constexpr std::string_view KeyFileName = "keys.txt";

/// The key rows shared with the terminals' firmware.
struct KeyTable {
  std::array<std::array<std::uint8_t, Max_KEY_LEN>, Max_KEY> rows{};
};

/// A key table, or why there is none (identification then stays off).
struct KeyTableLoad {
  std::optional<KeyTable> table;
  std::string reason;  ///< empty when `table` is set
};

/// Reads the key table from its text: 30 lines of 20 hexadecimal digits, blanks around
/// a line and empty lines ignored.
KeyTableLoad ParseKeyTable(std::string_view text);

/// A random parameter word naming key row `key`: bit 15 set, bits 6 to 10 the key.
std::uint16_t Make_Param(int key);
/// The key row a parameter word names.
inline int Get_Key(std::uint16_t param) noexcept { return (param >> 6) & 0x1F; }

/// `len` bytes of `arr` from `pos`, last to first, zero bytes left out; cut at the end of `arr`.
std::string GetReverseString(std::size_t len, std::size_t pos, Bytes arr);

/// Character i of `s` XOR byte i of key row `key`; empty when `key` is not 0 to 29.
/// Characters past the row's 10 bytes stay as they are, so such a text never equals
/// the signature.
std::string Crypt_Decrypt(const KeyTable& table, std::string_view s, int key);

}  // namespace telvaro
