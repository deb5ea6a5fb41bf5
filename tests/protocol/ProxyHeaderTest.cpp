#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/ProxyHeader.h"
#include "tests/protocol/FrameBuilder.h"
#include "tests/support/ProxyV2.h"

namespace telvaro {
namespace {

using namespace telvaro::test;
using Status = ProxyParse::Status;
using Command = ProxyHeader::Command;
using Family = ProxyHeader::Family;

ByteVec Inet6(std::uint8_t lastSrc, std::uint16_t srcPort) {
  ByteVec b{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, lastSrc};
  const ByteVec dst{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  b.insert(b.end(), dst.begin(), dst.end());
  PutBE(b, srcPort, 2);
  PutBE(b, 4001, 2);
  return b;
}

/// Extensions as a balancer may add them: a unique ID and a CRC-32c.
ByteVec Tlvs() { return {0x05, 0x00, 0x03, 'a', 'b', 'c', 0x03, 0x00, 0x04, 1, 2, 3, 4}; }

struct Case {
  const char* name;
  ByteVec header;
  Status status;
  Command command = Command::Local;
  Family family = Family::Unspec;
  ByteVec source = {};
  std::uint16_t sourcePort = 0;
  const char* error = "";
};

const ByteVec Ipv4Block = Inet4({10, 1, 2, 3}, 40000, {192, 168, 0, 1}, 4001);

std::vector<Case> Cases() {
  const ByteVec v6Src{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
  ByteVec withTlvs = Ipv4Block;
  for (const std::uint8_t b : Tlvs()) withTlvs.push_back(b);
  ByteVec tlvOverrun = Ipv4Block;
  for (const std::uint8_t b : {0x05, 0x00, 0x09, 0x61}) tlvOverrun.push_back(b);

  return {
      {"ipv4", ProxyV2(0x21, 0x11, Ipv4Block), Status::Complete, Command::Proxy, Family::Inet, {10, 1, 2, 3}, 40000},
      {"ipv6", ProxyV2(0x21, 0x21, Inet6(0x42, 5555)), Status::Complete, Command::Proxy, Family::Inet6, v6Src, 5555},
      {"ipv4_tlvs", ProxyV2(0x21, 0x11, withTlvs), Status::Complete, Command::Proxy, Family::Inet, {10, 1, 2, 3}, 40000},
      {"local", ProxyV2(0x20, 0x00, {}), Status::Complete},
      {"local_ignores_addresses", ProxyV2(0x20, 0x11, {1, 2, 3}), Status::Complete, Command::Local, Family::Inet},
      {"proxy_unspec", ProxyV2(0x21, 0x00, {}), Status::Complete, Command::Proxy},
      {"proxy_unix", ProxyV2(0x21, 0x31, ByteVec(216, 'p')), Status::Complete, Command::Proxy, Family::Unix},
      {"missing", Handshake("356307042441013"), Status::Bad, {}, {}, {}, 0, "no PROXY protocol v2 signature"},
      {"frame", Frame(Payload(1, 5, 0)), Status::Bad, {}, {}, {}, 0, "no PROXY protocol v2 signature"},
      {"version1_text", {'P', 'R', 'O', 'X', 'Y', ' ', 'T', 'C', 'P', '4'}, Status::Bad, {}, {}, {}, 0,
       "no PROXY protocol v2 signature"},
      {"version1", ProxyV2(0x11, 0x11, Ipv4Block), Status::Bad, {}, {}, {}, 0, "PROXY protocol version 1"},
      {"command2", ProxyV2(0x22, 0x11, Ipv4Block), Status::Bad, {}, {}, {}, 0, "unknown PROXY command 2"},
      {"family4", ProxyV2(0x21, 0x41, Ipv4Block), Status::Bad, {}, {}, {}, 0, "unknown PROXY address family 65"},
      {"transport3", ProxyV2(0x21, 0x13, Ipv4Block), Status::Bad, {}, {}, {}, 0, "unknown PROXY address family 19"},
      {"short_ipv4", ProxyV2(0x21, 0x11, ByteVec(8, 1)), Status::Bad, {}, {}, {}, 0,
       "PROXY addresses of 8 bytes, 12 needed"},
      {"short_ipv6", ProxyV2(0x21, 0x21, Ipv4Block), Status::Bad, {}, {}, {}, 0,
       "PROXY addresses of 12 bytes, 36 needed"},
      {"tlv_overrun", ProxyV2(0x21, 0x11, tlvOverrun), Status::Bad, {}, {}, {}, 0,
       "PROXY extensions do not fit the header"},
      {"too_long", ProxyV2(0x21, 0x11, Ipv4Block, 1025), Status::Bad, {}, {}, {}, 0,
       "PROXY header of 1025 bytes, at most 1024 accepted"},
  };
}

void ExpectCase(const Case& c, const ProxyParse& r) {
  ASSERT_EQ(r.status, c.status) << r.error;
  EXPECT_EQ(r.error, c.error);
  if (c.status != Status::Complete) return;
  EXPECT_EQ(r.consumed, c.header.size());
  EXPECT_EQ(r.header.command, c.command);
  EXPECT_EQ(r.header.family, c.family);
  EXPECT_EQ(ByteVec(r.header.source.begin(), r.header.source.begin() + static_cast<std::ptrdiff_t>(c.source.size())),
            c.source);
  EXPECT_EQ(r.header.sourcePort, c.sourcePort);
  EXPECT_EQ(r.header.HasAddress(), !c.source.empty());
}

/// Parses as a connection does: reads of at most `chunk` bytes, never more than the
/// parser asked for, so nothing past the header is read.
ProxyParse ReadInChunks(const ByteVec& stream, std::size_t chunk) {
  ByteVec received;
  ProxyParse r = ParseProxyHeader(received);
  while (r.status == Status::NeedMore) {
    EXPECT_GT(r.needed, 0u);
    const std::size_t n = std::min({chunk, r.needed, stream.size() - received.size()});
    if (n == 0) break;
    received.insert(received.end(), stream.begin() + static_cast<std::ptrdiff_t>(received.size()),
                    stream.begin() + static_cast<std::ptrdiff_t>(received.size() + n));
    r = ParseProxyHeader(received);
  }
  return r;
}

TEST(ProxyHeader, TableWholeWithTrailingBytes) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    ByteVec stream = c.header;
    for (const std::uint8_t b : Handshake("356307042441013")) stream.push_back(b);
    ExpectCase(c, ParseProxyHeader(stream));
    // Exactly the header, in a buffer of its own size.
    ExpectCase(c, ParseProxyHeader(ByteVec(c.header)));
  }
}

TEST(ProxyHeader, TableSplitAtEveryOffsetGivesTheSameResult) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    ByteVec stream = c.header;
    for (const std::uint8_t b : Frame(Payload(1, 5, 0))) stream.push_back(b);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{7}, std::size_t{15},
                                    std::size_t{16}, std::size_t{17}, stream.size()}) {
      SCOPED_TRACE(chunk);
      ExpectCase(c, ReadInChunks(stream, chunk));
    }
    // Every prefix short of a complete header asks for more, unless it already
    // cannot become one.
    const ProxyParse whole = ParseProxyHeader(stream);
    for (std::size_t cut = 0; cut < c.header.size(); ++cut) {
      const ProxyParse r = ParseProxyHeader(Bytes(c.header.data(), cut));
      if (r.status == Status::NeedMore) {
        EXPECT_LE(cut + r.needed, whole.status == Status::Complete ? whole.consumed : c.header.size() + 1024) << cut;
      } else {
        ASSERT_EQ(r.status, Status::Bad) << cut;
        EXPECT_EQ(whole.status, Status::Bad) << cut;
        EXPECT_EQ(r.error, whole.error) << cut;
      }
    }
  }
}

// Every value of every byte of every sample, each in a buffer of exactly its size, so a
// read past the end shows under the sanitizers.
TEST(ProxyHeader, AnyChangedByteGivesAnAnswerWithinTheBuffer) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    for (std::size_t at = 0; at < c.header.size(); ++at) {
      for (int value = 0; value < 256; ++value) {
        ByteVec bytes = c.header;
        bytes[at] = static_cast<std::uint8_t>(value);
        const auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
        std::copy(bytes.begin(), bytes.end(), exact.get());
        const ProxyParse r = ParseProxyHeader(Bytes(exact.get(), bytes.size()));
        switch (r.status) {
          case Status::Complete: ASSERT_LE(r.consumed, bytes.size()); break;
          case Status::NeedMore: ASSERT_GT(r.needed, 0u); ASSERT_LE(bytes.size() + r.needed, ProxyFixedSize + MaxProxyBody); break;
          case Status::Bad: ASSERT_FALSE(r.error.empty()); break;
        }
      }
    }
  }
}

TEST(ProxyHeader, NotAHeaderIsRefusedAtItsFirstByte) {
  for (const std::uint8_t first : ByteVec{0x00, 0xCC, 'G', 'P'}) {
    const ByteVec one{first};
    EXPECT_EQ(ParseProxyHeader(one).status, Status::Bad) << int{first};
  }
  EXPECT_EQ(ParseProxyHeader(ByteVec{}).needed, ProxyFixedSize);
}

}  // namespace
}  // namespace telvaro
