#pragma once
// Builds terminal messages for tests: handshakes and checksummed frames.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Bytes.h"

namespace telvaro::test {

using ByteVec = std::vector<std::uint8_t>;

inline void PutBE(ByteVec& v, std::uint64_t x, int width) {
  for (int i = width - 1; i >= 0; --i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

inline ByteVec Handshake(const std::string& imei15, const std::string& version = "1.5") {
  // Sized first and filled by index: gcc 12 at -O3 misreads inserts after a short
  // braced list as out of bounds.
  ByteVec v(2 + imei15.size() + version.size());
  v[1] = 0x12;
  std::copy(imei15.begin(), imei15.end(), v.begin() + 2);
  std::copy(version.begin(), version.end(), v.begin() + 2 + static_cast<std::ptrdiff_t>(imei15.size()));
  return v;
}

/// Payload: IMEI, codec, record count, then `body`.
inline ByteVec Payload(std::uint64_t imei, std::uint8_t codec, std::uint8_t nrec, const ByteVec& body = {}) {
  ByteVec p;
  PutBE(p, imei, 8);
  p.push_back(codec);
  p.push_back(nrec);
  p.insert(p.end(), body.begin(), body.end());
  return p;
}

/// A whole frame around `payload`; `crc` overrides the checksum when not negative.
inline ByteVec Frame(const ByteVec& payload, int crc = -1) {
  ByteVec f{0xCC, 0xCC, 0xCC, 0xCC};
  PutBE(f, payload.size(), 2);
  f.insert(f.end(), payload.begin(), payload.end());
  PutBE(f, crc >= 0 ? static_cast<std::uint16_t>(crc) : CRC16(payload), 2);
  return f;
}

inline ByteVec Concat(std::initializer_list<ByteVec> parts) {
  ByteVec r;
  for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

}  // namespace telvaro::test
