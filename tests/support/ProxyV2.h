#pragma once
// Builds PROXY protocol v2 headers as a balancer sends them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace telvaro::test {

/// A v2 header: version-and-command byte, family-and-transport byte, then `body`
/// (addresses and extensions) with its length; `length` overrides the length field.
inline std::vector<std::uint8_t> ProxyV2(std::uint8_t versionCommand, std::uint8_t familyTransport,
                                         const std::vector<std::uint8_t>& body, int length = -1) {
  std::vector<std::uint8_t> h{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
  h.push_back(versionCommand);
  h.push_back(familyTransport);
  const auto len = static_cast<std::uint16_t>(length >= 0 ? length : static_cast<int>(body.size()));
  h.push_back(static_cast<std::uint8_t>(len >> 8));
  h.push_back(static_cast<std::uint8_t>(len));
  h.insert(h.end(), body.begin(), body.end());
  return h;
}

/// The address block of an IPv4 connection.
inline std::vector<std::uint8_t> Inet4(std::initializer_list<std::uint8_t> src, std::uint16_t srcPort,
                                       std::initializer_list<std::uint8_t> dst, std::uint16_t dstPort) {
  // Sized first and filled by index: gcc 12 misreads inserts after a short list as
  // out of bounds.
  std::vector<std::uint8_t> b(src.size() + dst.size() + 4);
  std::copy(src.begin(), src.end(), b.begin());
  std::copy(dst.begin(), dst.end(), b.begin() + static_cast<std::ptrdiff_t>(src.size()));
  const std::size_t ports = src.size() + dst.size();
  b[ports] = static_cast<std::uint8_t>(srcPort >> 8);
  b[ports + 1] = static_cast<std::uint8_t>(srcPort);
  b[ports + 2] = static_cast<std::uint8_t>(dstPort >> 8);
  b[ports + 3] = static_cast<std::uint8_t>(dstPort);
  return b;
}

/// A relayed TCP over IPv4 connection from `src`:`srcPort` to 127.0.0.1:4001.
inline std::vector<std::uint8_t> ProxyFrom4(std::initializer_list<std::uint8_t> src, std::uint16_t srcPort) {
  return ProxyV2(0x21, 0x11, Inet4(src, srcPort, {127, 0, 0, 1}, 4001));
}

}  // namespace telvaro::test
