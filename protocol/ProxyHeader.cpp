#include "protocol/ProxyHeader.h"

#include <algorithm>
#include <cstring>

namespace telvaro {
namespace {

constexpr std::uint8_t Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::uint8_t Version2 = 0x2;

/// Address bytes of each family: two addresses and, for IP, two ports.
constexpr std::size_t InetBlock = 4 + 4 + 2 + 2;
constexpr std::size_t Inet6Block = 16 + 16 + 2 + 2;
constexpr std::size_t UnixBlock = 108 + 108;

ProxyParse Bad(std::string error) {
  ProxyParse r;
  r.status = ProxyParse::Status::Bad;
  r.error = std::move(error);
  return r;
}

ProxyParse NeedMore(std::size_t needed) {
  ProxyParse r;
  r.needed = needed;
  return r;
}

/// The extensions after the addresses must tile the rest of the header exactly.
bool TlvsFit(Bytes tlvs) {
  ByteReader r(tlvs);
  while (r.Remaining() > 0) {
    std::uint8_t type = 0;
    std::uint16_t length = 0;
    Bytes value;
    if (!r.Read(type, length) || !r.Take(length, value)) return false;
  }
  return true;
}

}  // namespace

ProxyParse ParseProxyHeader(Bytes received) {
  const std::size_t known = std::min(received.size(), sizeof Signature);
  if (known > 0 && std::memcmp(received.data(), Signature, known) != 0) return Bad("no PROXY protocol v2 signature");
  if (received.size() < ProxyFixedSize) return NeedMore(ProxyFixedSize - received.size());

  ByteReader fixed(received.subspan(sizeof Signature, ProxyFixedSize - sizeof Signature));
  std::uint8_t versionCommand = 0, familyTransport = 0;
  std::uint16_t length = 0;
  fixed.Read(versionCommand, familyTransport, length);

  if (versionCommand >> 4 != Version2) return Bad("PROXY protocol version " + std::to_string(versionCommand >> 4));
  const int command = versionCommand & 0x0F;
  if (command > 1) return Bad("unknown PROXY command " + std::to_string(command));
  const int family = familyTransport >> 4;
  const int transport = familyTransport & 0x0F;
  if (family > 3 || transport > 2)
    return Bad("unknown PROXY address family " + std::to_string(familyTransport));
  if (length > MaxProxyBody)
    return Bad("PROXY header of " + std::to_string(length) + " bytes, at most " + std::to_string(MaxProxyBody) +
               " accepted");
  const std::size_t total = ProxyFixedSize + length;
  if (received.size() < total) return NeedMore(total - received.size());

  ProxyParse r;
  r.status = ProxyParse::Status::Complete;
  r.consumed = total;
  ProxyHeader& h = r.header;
  h.command = command == 0 ? ProxyHeader::Command::Local : ProxyHeader::Command::Proxy;
  h.family = static_cast<ProxyHeader::Family>(family);
  // A health check's addresses, and those of an unspecified family, are not read.
  if (h.command == ProxyHeader::Command::Local || h.family == ProxyHeader::Family::Unspec) return r;

  const Bytes body = received.subspan(ProxyFixedSize, length);
  const std::size_t block =
      h.family == ProxyHeader::Family::Inet ? InetBlock : h.family == ProxyHeader::Family::Inet6 ? Inet6Block : UnixBlock;
  if (body.size() < block)
    return Bad("PROXY addresses of " + std::to_string(body.size()) + " bytes, " + std::to_string(block) + " needed");
  if (!TlvsFit(body.subspan(block))) return Bad("PROXY extensions do not fit the header");

  if (h.family != ProxyHeader::Family::Unix) {
    const std::size_t width = h.family == ProxyHeader::Family::Inet ? 4 : 16;
    std::copy_n(body.begin(), width, h.source.begin());
    std::copy_n(body.begin() + static_cast<std::ptrdiff_t>(width), width, h.destination.begin());
    ByteReader ports(body.subspan(2 * width, 4));
    ports.Read(h.sourcePort, h.destinationPort);
  }
  return r;
}

}  // namespace telvaro
