#include <gtest/gtest.h>

#include <cstring>

#include "records/TerminalRecord.h"

namespace telvaro {
namespace {

TEST(Record, NewRecordIsZeroBesidesItsTimeStamp) {
  const TNTMobile m;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&m.Rec);
  for (std::size_t i = 8; i < RecordSize; ++i) ASSERT_EQ(bytes[i], 0) << "offset " << i;
  EXPECT_GT(m.Rec.RecTime, UnixStartDate);
}

TEST(Record, ElementSlotsSitAtTheirOffsets) {
  TNTMobile m;
  m.Rec.Io(1) = 0x0102030405060708ull;
  m.Rec.Io(255) = 7;
  m.Rec.Fl(1) = true;
  m.Rec.Fl(255) = true;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&m.Rec);
  EXPECT_EQ(bytes[400], 0x08);  // little-endian
  EXPECT_EQ(bytes[2432], 7);
  EXPECT_EQ(bytes[2440], 1);
  EXPECT_EQ(bytes[2694], 1);
  EXPECT_EQ(bytes[2695], 0);
}

TEST(Record, CopyKeepsEveryByteIncludingPastShortStringLengths) {
  TNTMobile a;
  std::memset(a.Rec.ParamString.chars, 'x', 255);
  a.Rec.ParamString.assign("abc");
  a.Rec.ID.assign("1234567890123456789");  // cut at 15
  EXPECT_EQ(a.Rec.ID.len, 15);
  TNTMobile b;
  b = a;
  EXPECT_EQ(std::memcmp(&a.Rec, &b.Rec, RecordSize), 0);
}

TEST(Record, IsStringHoldsExactlyTheTextParameters) {
  for (int code : {101, 151, 200, 201, 211, 212, 213, 231, 235, 238, 242, 245, 247, 261, 264, 271, 274,
                   293, 340, 341, 345, 411})
    EXPECT_TRUE(TNTMobile::IsString(code)) << code;
  for (int code : {0, 100, 102, 150, 199, 202, 210, 214, 230, 236, 237, 239, 241, 243, 244, 248, 260,
                   265, 270, 275, 292, 294, 339, 342, 344, 346, 410, 412})
    EXPECT_FALSE(TNTMobile::IsString(code)) << code;
}

}  // namespace
}  // namespace telvaro
