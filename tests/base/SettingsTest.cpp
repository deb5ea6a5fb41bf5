#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/Settings.h"
#include "tests/support/TempDir.h"

namespace telvaro {
namespace {

namespace fs = std::filesystem;

class SettingsFile : public ::testing::Test {
 protected:
  std::optional<std::string> Load(const std::string& text, TSettings& s) {
    std::ofstream(dir_ / "telvaroserver.ini") << text;
    return LoadSettings((dir_ / "telvaroserver.ini").string(), dir_.string(), s);
  }

  test::TempDir tmp_{"telvaro-settings"};
  const fs::path dir_ = tmp_.path();
};

TEST_F(SettingsFile, EmptyOrMissingFileGivesEveryDefault) {
  TSettings s;
  const auto login = LoadSettings((dir_ / "missing.ini").string(), dir_.string(), s);
  EXPECT_EQ(s.Port, 4001);
  EXPECT_EQ(s.PipeChannel, "TelvaroPipe");
  EXPECT_EQ(s.CmdChannel, "CmdPipe");
  EXPECT_EQ(s.BLK_SIZE, 1024);
  EXPECT_EQ(s.DelayBeforeCmd, 2000);
  EXPECT_EQ(s.EventsToDB, "150");
  EXPECT_EQ(s.CounterNum, 105);
  EXPECT_FALSE(s.NoBase);
  EXPECT_FALSE(s.TrimMemory);
  EXPECT_EQ(s.DownloadDir, dir_.string() + "/");
  EXPECT_EQ(login, "UID=sa;PWD=");
  Load("", s);
  EXPECT_EQ(s.Port, 4001);
}

TEST_F(SettingsFile, ReadsValuesByTheIniRules) {
  TSettings s;
  const auto login = Load(
      "[server]\n"
      "  PORT = 0x1F90 \n"
      "pipechannel=\"Data Pipe\"\n"
      "CmdChannel=\n"
      "BLK_SIZE=$200\n"
      "DelayBeforeCmd=abc\n"
      "EventsToDB=150,151\n"
      "Port=1\n"  // the first occurrence wins
      "TrimMemory=1\n"
      "[Db]\nNoBase=0\nProvider=DSN=x\nWinAuth=2\nUser=u\nPassword=p;w\n"
      "[FILES]\nDir=files\\in\\\n"
      "[Entities]\nEntitiesToPrint=1, 106,999,x\n"
      "[Regional]\nDecimalSeparator=,\n",
      s);
  EXPECT_EQ(s.Port, 8080);
  EXPECT_EQ(s.PipeChannel, "Data Pipe");
  EXPECT_EQ(s.CmdChannel, "");
  EXPECT_EQ(s.BLK_SIZE, 512);
  EXPECT_EQ(s.DelayBeforeCmd, 2000);
  EXPECT_EQ(s.EventsToDB, "150,151");
  EXPECT_EQ(s.DownloadDir, dir_.string() + "/files/in/");
  EXPECT_EQ(s.EntitiesToPrintList, (std::vector<int>{1, 106}));
  EXPECT_EQ(s.DecimalSeparator, ',');
  EXPECT_TRUE(s.TrimMemory);
  // WinAuth other than 1 logs in with User and Password, like 0.
  EXPECT_EQ(login, "DSN=x;UID=u;PWD={p;w}");
}

TEST_F(SettingsFile, IntegerTextsOutsideTheNumbersGiveTheDefault) {
  TSettings s;
  struct Case { const char* value; std::int32_t port; };
  for (const Case& c : std::initializer_list<Case>{{"$1f90", 8080},
                                                   {"-0x10", -16},
                                                   {"0x", 4001},
                                                   {"$", 4001},
                                                   {"12abc", 4001},
                                                   {"99999999999", 4001},
                                                   {"0xFFFFFFFFFFFFFFFF", 4001},
                                                   {"$FFFFFFFFFFFFFFFFFF", 4001}}) {
    Load(std::string("[Server]\nPort=") + c.value + "\n", s);
    EXPECT_EQ(s.Port, c.port) << c.value;
  }
}

TEST_F(SettingsFile, ByteOrderMarkDoesNotHideTheFirstSection) {
  TSettings s;
  Load("\xEF\xBB\xBF[Server]\nPort=5000\n", s);
  EXPECT_EQ(s.Port, 5000);
}

TEST_F(SettingsFile, DatabaseLoginFollowsNoBaseAndWinAuth) {
  TSettings s;
  EXPECT_EQ(Load("[DB]\nProvider=Driver=X;Server=h;\nWinAuth=1\n", s), "Driver=X;Server=h;Trusted_Connection=Yes");
  EXPECT_EQ(Load("[DB]\nNoBase=1\nProvider=Driver=X\n", s), std::nullopt);
  EXPECT_TRUE(s.NoBase);
}

TEST_F(SettingsFile, BlockSizeOutsideItsFieldIsReplaced) {
  TSettings s;
  for (const char* bad : {"0", "-5", "65514", "70000"}) {
    Load(std::string("[Server]\nBLK_SIZE=") + bad + "\n", s);
    EXPECT_EQ(s.BLK_SIZE, 1024) << bad;
    EXPECT_EQ(s.Notes.size(), 1u) << bad;
  }
  Load("[Server]\nBLK_SIZE=65513\n", s);
  EXPECT_EQ(s.BLK_SIZE, 65513);
  EXPECT_TRUE(s.Notes.empty());
}

TEST_F(SettingsFile, BlackListKeepsLinesWhole) {
  std::vector<std::string> list{"stale"};
  LoadBlackList(dir_.string(), list);
  EXPECT_TRUE(list.empty());
  std::ofstream(dir_ / "blacklist.txt") << "\n 123 \r\n\n";
  LoadBlackList(dir_.string(), list);
  EXPECT_EQ(list, (std::vector<std::string>{"", " 123 ", ""}));
}

}  // namespace
}  // namespace telvaro
