#pragma once
// The PROXY protocol version 2 header that a TCP balancer puts before a connection's
// own bytes, carrying the address the terminal connected from. Knows nothing of
// sockets: the connection keeps what it has read and asks again after every read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/Bytes.h"

namespace telvaro {

/// What a complete header says.
struct ProxyHeader {
  enum class Command : std::uint8_t {
    Local,  ///< the balancer's own connection (a health check): no terminal address
    Proxy,  ///< a relayed connection; the addresses below are the terminal's
  };
  enum class Family : std::uint8_t { Unspec, Inet, Inet6, Unix };

  Command command = Command::Local;
  Family family = Family::Unspec;
  /// The source address: 4 bytes for Inet, 16 for Inet6, in network order; the rest 0.
  std::array<std::uint8_t, 16> source{};
  std::uint16_t sourcePort = 0;
  std::array<std::uint8_t, 16> destination{};
  std::uint16_t destinationPort = 0;

  /// True when the header carries the terminal's IP address: Proxy over Inet or Inet6.
  bool HasAddress() const noexcept {
    return command == Command::Proxy && (family == Family::Inet || family == Family::Inet6);
  }
};

/// Reading a header from the bytes a connection has received so far.
struct ProxyParse {
  enum class Status {
    Complete,  ///< `header` is filled; the first `consumed` bytes were the header
    NeedMore,  ///< not yet complete: read at least `needed` more bytes, then ask again
    Bad,       ///< no valid header; `error` says why; the connection must be closed
  };
  Status status = Status::NeedMore;
  std::size_t consumed = 0;
  std::size_t needed = 0;
  ProxyHeader header;
  std::string error;
};

/// The fixed part: signature, version and command, family and transport, length.
inline constexpr std::size_t ProxyFixedSize = 16;
/// The most address and extension bytes accepted after the fixed part. The addresses
/// take at most 216 bytes (two Unix socket paths); balancers add a few short TLVs.
inline constexpr std::size_t MaxProxyBody = 1024;

/// Reads a header from `received`, the bytes of the connection from its first byte.
/// Bytes past the header are left alone. A prefix that can no longer become a header
/// is Bad at once, so a client that sends none is refused with its first bytes.
ProxyParse ParseProxyHeader(Bytes received);

}  // namespace telvaro
