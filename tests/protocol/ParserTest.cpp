#include <gtest/gtest.h>

#include "DecoderFixtures.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

TEST(Crc16, MatchesTheArcCheckValueAndBytewiseAtEveryLength) {
  const std::string check = "123456789";
  EXPECT_EQ(CRC16(AsBytes(check)), 0xBB3D);
  ByteVec data;
  for (int i = 0; i < 100; ++i) data.push_back(static_cast<std::uint8_t>(i * 37 + 11));
  for (std::size_t n = 0; n <= data.size(); ++n) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
      crc ^= data[i];
      for (int b = 0; b < 8; ++b) crc = crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    ASSERT_EQ(CRC16(Bytes(data.data(), n)), crc) << n;
  }
}

struct ParseCase {
  const char* name;
  ByteVec input;
  int result;
  std::vector<std::int32_t> events;
  friend void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }
};

class ParseArrTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseArrTable, GivesResultAndRecords) {
  const ParseCase& c = GetParam();
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> out;
  // An exact-size copy lets the sanitizer catch any read past the input.
  const ByteVec exact(c.input.begin(), c.input.end());
  EXPECT_EQ(parser.ParseArr(exact, out), c.result);
  std::vector<std::int32_t> events;
  for (const auto& m : out) events.push_back(m.Rec.Event);
  EXPECT_EQ(events, c.events);
}

const ByteVec Ping = Frame(Payload(356173061234567ull, 5, 0));

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseArrTable,
    ::testing::Values(
        ParseCase{"sixteen_bytes", ByteVec(16, 0xCC), BAD_PACKET, {}},
        ParseCase{"no_signature", ByteVec(40, 0x11), BAD_PACKET, {}},
        ParseCase{"handshake", Handshake("356173061234567"), PACKET_HANDSHAKE, {evHandshake}},
        ParseCase{"handshake_before_frame", Concat({Handshake("356173061234567"), Ping}), PACKET_HANDSHAKE, {evHandshake}},
        ParseCase{"ping", Ping, PACKET_LIVE, {evPing}},
        ParseCase{"garbage_then_ping", Concat({ByteVec{1, 2, 3}, Ping}), PACKET_LIVE, {evPing}},
        ParseCase{"two_frames_first_only", Concat({Ping, Frame(Payload(1, 4, 1, {1}))}), PACKET_LIVE, {evPing}},
        ParseCase{"wrong_crc", Frame(Payload(1, 5, 0), 0x1234), PACKET_D, {}},
        ParseCase{"stored_crc_zero", Frame(Payload(1, 5, 0), 0), PACKET_D, {}},
        ParseCase{"truncated_frame", ByteVec(Ping.begin(), Ping.end() - 1), PACKET_D, {}},
        ParseCase{"short_payload", Frame(ByteVec{1, 2, 3, 4, 5, 6, 7, 8, 9}), PACKET_D, {}},
        ParseCase{"unknown_codec", Frame(Payload(1, 77, 3)), PACKET_D, {}},
        ParseCase{"command_codec", Frame(Payload(1, 4, 1, {1})), PACKET_D, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseArr, HandshakeQueuesTheOkReplyAndKeepsTheVersion) {
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> out;
  ASSERT_EQ(parser.ParseArr(Handshake("356173061234567", "1.5"), out), PACKET_HANDSHAKE);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Rec.ID.view(), "356173061234567");
  EXPECT_EQ(parser.Version, "1.5");
  ASSERT_EQ(parser.Commands.size(), 1u);
  EXPECT_EQ(parser.Commands[0].Rec.CMD.view(), "OK");
  EXPECT_EQ(parser.Commands[0].Rec.UID.view(), "356173061234567");
  EXPECT_TRUE(parser.Commands[0].Fpart.empty());
}

TEST(ParseArr, FrameWhosePayloadLooksLikeAHandshakeIsAFrame) {
  ByteVec body(30, 0x20);
  body[0] = 0x00;
  body[1] = 0x12;
  body[18] = '.';
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> out;
  EXPECT_EQ(parser.ParseArr(Frame(Payload(7, 5, 0, body)), out), PACKET_LIVE);
  EXPECT_TRUE(parser.Commands.empty());
}

TEST(ParseArr, ImeiIsTheSignedDecimalOfItsEightBytes) {
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  std::vector<TNTMobile> out;
  parser.ParseArr(Frame(Payload(1, 5, 0)), out);
  parser.ParseArr(Frame(Payload(0xFFFFFFFFFFFFFFFFull, 5, 0)), out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Rec.ID.view(), "1");
  EXPECT_EQ(out[1].Rec.ID.view(), "-1");
}

TEST(ParserBase, NewParserState) {
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  EXPECT_TRUE(parser.Commands.empty());
  EXPECT_EQ(parser.IdentSentAt, 0);
  EXPECT_FALSE(parser.IsAuthorized);
  EXPECT_GE(parser.Key, 0);
  EXPECT_LE(parser.Key, 28);
}

TEST(ParserBase, DatabaseEventsFromTheEventsToDBText) {
  struct Case { const char* text; std::vector<std::uint8_t> events; };
  for (const Case& c : std::initializer_list<Case>{{"150", {150}},
                                                   {"150,151", {150, 151}},
                                                   {"150,,200", {150, 200}},
                                                   {"150, 151 , ,7", {150, 151, 7}},
                                                   {"", {}},
                                                   {"x", {0}},
                                                   {"256,300", {0, 44}}}) {
    ParserContext context;
    context.dbEvents = ParseDBEvents(c.text);
    TParserKrestel parser(context, nullptr, Disk());
    EXPECT_EQ(parser.DBEvents, c.events) << c.text;
  }
}

TEST(ParserBase, BlackListComparesTrimmedAndCaseSensitive) {
  ParserContext context;
  context.blackList = {"  ABC123 ", ""};
  EXPECT_TRUE(context.IDInBlackList("ABC123"));
  EXPECT_TRUE(context.IDInBlackList("\tABC123\r"));
  EXPECT_FALSE(context.IDInBlackList("abc123"));
  context.blackList.clear();
  EXPECT_FALSE(context.IDInBlackList("ABC123"));
}

}  // namespace
}  // namespace telvaro
