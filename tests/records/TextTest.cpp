#include <gtest/gtest.h>

#include <fmt/format.h>

#include "records/Text.h"
#include "tests/records/Cp1251.h"

namespace telvaro {
namespace {

TEST(DisplayText, EveryByteMatchesTheCodePageOrIsEscaped) {
  for (int b = 0; b < 256; ++b) {
    const std::string byte(1, static_cast<char>(b));
    if (b < 0x20 || b == 0x7F || b == 0x98)
      EXPECT_EQ(DisplayText(byte), fmt::format("\\x{:02X}", b));
    else
      EXPECT_EQ(DisplayText(byte), Iconv(byte, "UTF-8", "CP1251")) << "byte " << b;
  }
}

TEST(DisplayText, MixedText) {
  EXPECT_EQ(DisplayText(""), "");
  EXPECT_EQ(DisplayText(Cp1251("Ошибка: no file «a.txt»")), "Ошибка: no file «a.txt»");
  EXPECT_EQ(DisplayText(std::string("a\0b\x1b]0;x\x07", 9)), "a\\x00b\\x1B]0;x\\x07");
  std::string out = "kept ";
  AppendDisplayText(out, "\t\\");
  EXPECT_EQ(out, "kept \\x09\\");
}

}  // namespace
}  // namespace telvaro
