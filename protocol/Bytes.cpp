#include "protocol/Bytes.h"

#include <algorithm>
#include <array>

namespace telvaro {
namespace {

// Slicing-by-8 tables: Tables[k][b] is the CRC of byte b followed by k zero bytes.
struct CrcTables {
  std::array<std::array<std::uint16_t, 256>, 8> t{};
  constexpr CrcTables() {
    for (unsigned b = 0; b < 256; ++b) {
      std::uint16_t c = static_cast<std::uint16_t>(b);
      for (int i = 0; i < 8; ++i) c = static_cast<std::uint16_t>(c & 1 ? (c >> 1) ^ 0xA001 : c >> 1);
      t[0][b] = c;
    }
    for (unsigned b = 0; b < 256; ++b)
      for (int k = 1; k < 8; ++k)
        t[k][b] = static_cast<std::uint16_t>((t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF]);
  }
};

constexpr CrcTables Tables;

}  // namespace

std::uint16_t CRC16(Bytes data) noexcept {
  const auto& t = Tables.t;
  std::uint16_t crc = 0;
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  while (n >= 8) {
    const unsigned lo = (p[0] ^ crc) & 0xFF;
    const unsigned hi = (p[1] ^ (crc >> 8)) & 0xFF;
    crc = static_cast<std::uint16_t>(t[7][lo] ^ t[6][hi] ^ t[5][p[2]] ^ t[4][p[3]] ^ t[3][p[4]] ^
                                     t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
    p += 8;
    n -= 8;
  }
  while (n--) crc = static_cast<std::uint16_t>((crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF]);
  return crc;
}

std::string GetString(Bytes arr, std::size_t pos, std::size_t len) {
  if (pos >= arr.size()) return {};
  len = std::min(len, arr.size() - pos);
  return std::string(reinterpret_cast<const char*>(arr.data() + pos), len);
}

}  // namespace telvaro
