#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "records/Events.h"
#include "tests/records/Cp1251.h"
#include "tests/support/TempDir.h"

namespace telvaro {
namespace {

class EventsFile : public ::testing::Test {
 protected:
  void Write(std::string_view bytes) {
    std::ofstream(dir_ / "events.txt", std::ios::binary) << bytes;
  }

  test::TempDir tmp_{"events"};
  const std::filesystem::path dir_ = tmp_.path();
  EventNames names_;
};

TEST_F(EventsFile, LineRules) {
  Write("Event 7 Name with  blanks  \r\n"
        "Event 8\r\n"                 // one blank: nothing
        "Event x8 not a number\r\n"
        "Event 0 zero\r\n"
        "Event -3 negative\r\n"
        "Event 257 too large\r\n"
        "Event 99999999999999999999 far too large\r\n"
        "Event  11 empty code\r\n"
        "Event 256 last\r\n"
        "Event 9 first\r\n"
        "Anything 9 second\r\n"      // the first word is not read; a later line wins
        "Event 014 leading zeros\n" +
        Cp1251("Событие 15 Вскрытие корпуса\r\n") +
        "Event 16 no line end");
  LoadEvents(dir_.string(), names_);
  EXPECT_EQ(names_[7], "Name with  blanks  ");
  EXPECT_EQ(names_[8], "");
  EXPECT_EQ(names_[0], "");
  EXPECT_EQ(names_[3], "");
  EXPECT_EQ(names_[11], "");
  EXPECT_EQ(names_[256], "last");
  EXPECT_EQ(names_[9], "second");
  EXPECT_EQ(names_[14], "leading zeros");
  EXPECT_EQ(names_[15], "Вскрытие корпуса");
  EXPECT_EQ(names_[16], "no line end");
  int set = 0;
  for (const auto& n : names_) set += !n.empty();
  EXPECT_EQ(set, 6);
}

TEST_F(EventsFile, NamesAreShownSafely) {
  Write("Event 1 bell\x07 tab\t end\r\n");
  LoadEvents(dir_.string(), names_);
  EXPECT_EQ(names_[1], "bell\\x07 tab\\x09 end");
}

TEST_F(EventsFile, MissingFileLeavesEveryNameEmpty) {
  names_[5] = "from an earlier load";
  LoadEvents(dir_.string(), names_);
  for (const auto& n : names_) EXPECT_EQ(n, "");
}

}  // namespace
}  // namespace telvaro
