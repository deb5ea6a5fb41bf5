#include <gtest/gtest.h>

#include "DecoderFixtures.h"
#include "protocol/TerminalParser.h"

namespace telvaro {
namespace {

using namespace telvaro::test;

ByteVec ToBytes(std::string_view s) { return ByteVec(s.begin(), s.end()); }

TEST(CommandEncoding, VersionRequestFrame) {
  TParserKrestel parser(DefaultContext(), nullptr, Disk());
  parser.GetVersion("123");
  ASSERT_EQ(parser.Commands.size(), 1u);
  const TCmd& cmd = parser.Commands[0];
  EXPECT_EQ(cmd.Rec.UID.view(), "123");
  EXPECT_TRUE(cmd.Rec.DevType.empty());
  EXPECT_TRUE(cmd.Fpart.empty());
  ByteVec expected{0xCC, 0xCC, 0xCC, 0xCC, 0x00, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x01, 0x0C};
  const std::uint16_t crc = CRC16(Bytes(expected).subspan(6));
  expected.push_back(static_cast<std::uint8_t>(crc >> 8));
  expected.push_back(static_cast<std::uint8_t>(crc));
  EXPECT_EQ(ToBytes(cmd.Rec.CMD.view()), expected);
}

TEST(CommandEncoding, FileBlockGoesToFpart) {
  ByteVec block(1012, 0x33);
  block[0] = 0x06;
  const TCmd cmd = TParserKrestel::MakeCommand("1", block);
  EXPECT_TRUE(cmd.Rec.CMD.empty());
  ASSERT_EQ(cmd.Fpart.size(), 1030u);
  EXPECT_EQ(cmd.WireBytes().size(), 1030u);
  EXPECT_EQ(ToBytes(cmd.Fpart), Frame(Payload(0, 4, 1, block)));
}

TEST(CommandEncoding, FilePositionAnswerBytes) {
  const TCmd cmd = TParserKrestel::MakeFilePosAnswer("1", 1, 0, 9, 100, 1000);
  const ByteVec body{0x05, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x09, 0, 0, 0, 0x64};
  EXPECT_EQ(ToBytes(cmd.Rec.CMD.view()), Frame(Payload(0, 4, 1, body)));
}

TEST(CommandEncoding, LongNonFileCommandIsNotCut) {
  const TCmd cmd = TParserKrestel::MakeCommand("1", ByteVec(300, 0x01));
  EXPECT_TRUE(cmd.Rec.CMD.empty());
  EXPECT_EQ(cmd.Fpart.size(), 318u);
  EXPECT_THROW(TParserKrestel::MakeCommand("1", ByteVec(65530, 0x06)), std::length_error);
}

}  // namespace
}  // namespace telvaro
