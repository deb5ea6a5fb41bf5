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
  std::optional<DbLogin> Load(const std::string& text, TSettings& s) {
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
  ASSERT_TRUE(login);
  EXPECT_EQ(login->connectionString, "UID=sa;PWD=");
  EXPECT_EQ(s.TimeoutSec, 30);
  EXPECT_EQ(s.FrameTimeoutSec, 300);
  EXPECT_EQ(s.PipeMessageLimit, 64u << 20);
  EXPECT_EQ(s.HttpAddress, "127.0.0.1");
  EXPECT_EQ(s.HttpPort, 4002);
  EXPECT_EQ(s.HttpToken, "");
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
      "[Regional]\nDecimalSeparator=,\n"
      "[HTTP]\nAddress=0.0.0.0\nPort=0\nToken=t0k\n",
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
  EXPECT_EQ(s.HttpAddress, "0.0.0.0");
  EXPECT_EQ(s.HttpPort, 0);
  EXPECT_EQ(s.HttpToken, "t0k");
  // WinAuth other than 1 logs in with User and Password, like 0.
  ASSERT_TRUE(login);
  EXPECT_EQ(login->connectionString, "DSN=x;UID=u;PWD={p;w}");
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
  EXPECT_EQ(Load("[DB]\nProvider=Driver=X;Server=h;\nWinAuth=1\n", s)->connectionString,
            "Driver=X;Server=h;Trusted_Connection=Yes");
  EXPECT_EQ(Load("[DB]\nNoBase=1\nProvider=Driver=X\n", s), std::nullopt);
  EXPECT_TRUE(s.NoBase);
}

TEST_F(SettingsFile, ProviderPicksTheDatabaseClient) {
  struct Case {
    const char* provider;
    DbClient client;
  };
  const Case cases[] = {
      {"postgresql://dbhost:5432/telvaro", DbClient::Libpq},
      {"postgres://u@dbhost/telvaro?sslmode=require", DbClient::Libpq},
      {"  host=dbhost port=5432 dbname=telvaro", DbClient::Libpq},
      {"dbname=telvaro", DbClient::Libpq},
      {"service=central", DbClient::Libpq},
      {"host=dbhost password='a;b c'", DbClient::Libpq},
      {"Driver={PostgreSQL Unicode};Servername=dbhost;Port=5432;Database=telvaro", DbClient::Odbc},
      {"DSN=central", DbClient::Odbc},
      {"Server=tcp:dbhost,1433;Database=telvaro;Driver={ODBC Driver 18 for SQL Server}", DbClient::Odbc},
      {"port=5432;Driver={PostgreSQL Unicode}", DbClient::Odbc},  // first key is libpq's, but Driver is ODBC's
      {"host=dbhost dsn=x", DbClient::Odbc},
      {"Host=dbhost", DbClient::Odbc},  // libpq keywords are lower case
      {"POSTGRESQL://dbhost", DbClient::Odbc},
      {"", DbClient::Odbc},
      {"dbhost", DbClient::Odbc},
  };
  for (const Case& c : cases) EXPECT_EQ(ProviderClient(c.provider), c.client) << c.provider;
}

TEST_F(SettingsFile, LibpqLoginKeepsTheStringAndPassesUserAndPasswordApart) {
  TSettings s;
  const std::string uri = "postgresql://dbhost/telvaro?application_name=x;y";
  const DbLogin want{DbClient::Libpq, uri, "u", "p;w"};
  EXPECT_EQ(Load("[DB]\nProvider=" + uri + "\nUser=u\nPassword=p;w\nTimeoutSec=5\n", s), want);
  EXPECT_EQ(s.TimeoutSec, 5);
  EXPECT_EQ(Load("[DB]\nProvider=host=h\n", s), (DbLogin{DbClient::Libpq, "host=h", "sa", ""}));
  // The process's own account: libpq's defaults decide the login.
  EXPECT_EQ(Load("[DB]\nProvider=host=h\nWinAuth=1\nUser=u\nPassword=p\n", s),
            (DbLogin{DbClient::Libpq, "host=h", "", ""}));
  EXPECT_EQ(Load("[DB]\nProvider=host=h\nTimeoutSec=0\n", s)->client, DbClient::Libpq);
  EXPECT_EQ(s.TimeoutSec, 30);
}

TEST_F(SettingsFile, BoundsOfConnectionsAndPipesOutsideTheirRangeGiveTheDefault) {
  TSettings s;
  struct Case {
    const char* text;
    std::int32_t frameTimeout;
    std::uint64_t messageLimit;
  };
  const Case cases[] = {
      {"FrameTimeoutSec=0\nPipeMessageLimit=65536\n", 0, 65536},  // 0: never
      {"FrameTimeoutSec=45\nPipeMessageLimit=0x1000000\n", 45, 1u << 24},
      {"FrameTimeoutSec=-1\nPipeMessageLimit=65535\n", 300, 64u << 20},
      {"FrameTimeoutSec=86401\nPipeMessageLimit=x\n", 300, 64u << 20},
  };
  for (const Case& c : cases) {
    Load(std::string("[Server]\n") + c.text, s);
    EXPECT_EQ(s.FrameTimeoutSec, c.frameTimeout) << c.text;
    EXPECT_EQ(s.PipeMessageLimit, c.messageLimit) << c.text;
  }
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

TEST_F(SettingsFile, TaskStoreAndBalancerSettings) {
  struct Case {
    const char* text;
    const char* store;
    std::int32_t lease, ttl;
    bool proxy;
    std::size_t notes;
  };
  const Case cases[] = {
      {"", "sqlite", 60, 0, false, 0},
      {"[Tasks]\nStore= PostgreSQL \nLeaseSec=5\nCommandTTLSec=2592000\n[Server]\nProxyProtocol=1\n",
       "postgresql", 5, 2592000, true, 0},
      {"[Tasks]\nStore=mysql\nLeaseSec=4\nCommandTTLSec=-1\n", "sqlite", 60, 0, false, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TSettings s;
    Load(std::string(c.text) + "[Tasks]\nConnection=host=db port=5432 dbname=telvaro\n", s);
    EXPECT_EQ(s.Store, c.store);
    EXPECT_EQ(s.Connection, "host=db port=5432 dbname=telvaro");
    EXPECT_EQ(s.LeaseSec, c.lease);
    EXPECT_EQ(s.CommandTTLSec, c.ttl);
    EXPECT_EQ(s.ProxyProtocol, c.proxy);
    EXPECT_EQ(s.Notes.size(), c.notes);
  }
}

TEST_F(SettingsFile, SaysWhatInTheFileIsWrongAndKeepsTheDefaults) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> notes;
  };
  const Case cases[] = {
      {"bad number", "[Server]\nPort=abc\n", {"Settings: [Server] Port=abc is not a number; using 4001"}},
      {"empty number", "[DB]\nQueueLimit=\n", {"Settings: [DB] QueueLimit= is not a number; using 1000000"}},
      {"out of range", "[db]\nreconnectsec=0\n", {"Settings: [db] reconnectsec=0 is outside 1 to 86400; using 10"}},
      {"flag as a word", "[DB]\nNoBase=yes\n", {"Settings: [DB] NoBase=yes is not a number; using 0"}},
      {"octal mode", "[Server]\nPipeMode=0999\n", {"Settings: [Server] PipeMode=0999 is not an octal file mode; using 0666"}},
      {"element list", "[Entities]\nEntitiesToPrint=1,x,300\n",
       {"Settings: [Entities] EntitiesToPrint=1,x,300 leaves out \"x\": not an element number 1 to 255",
        "Settings: [Entities] EntitiesToPrint=1,x,300 leaves out \"300\": not an element number 1 to 255"}},
      {"unknown key", "[Server]\nProt=4002\n", {"Settings: unknown key [Server] Prot"}},
      {"unknown section", "[Htp]\nPort=1\nAddress=x\n", {"Settings: unknown section [Htp]"}},
      {"key before any section", "Port=1\n[Server]\n", {"Settings: unknown key Port before the first section"}},
      {"key given twice", "[Server]\nPort=5000\nport=6000\n",
       {"Settings: [Server] port is given again on line 3; the first one counts"}},
      {"line without a key", "[Server]\nPort 5000\n",
       {"Settings: line 2 of telvaroserver.ini is neither a [section] nor a key=value line; left out"}},
      // Keys read only in some configurations are known in all.
      {"login keys without a database", "[DB]\nNoBase=1\nUser=u\nPassword=p\nWinAuth=1\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSettings s;
    Load(c.text, s);
    EXPECT_EQ(s.Notes, c.notes);
    EXPECT_EQ(s.Port, std::string_view(c.name) == "key given twice" ? 5000 : 4001);
  }

  TSettings s;
  LoadSettings((dir_ / "missing.ini").string(), dir_.string(), s);
  EXPECT_EQ(s.Notes, (std::vector<std::string>{"Settings: missing.ini not found; using defaults"}));
  // The bundled file holds only keys the server reads, each with a value it can read.
  LoadSettings(TELVARO_SOURCE_DIR "/config/telvaroserver.ini", dir_.string(), s);
  EXPECT_EQ(s.Notes, std::vector<std::string>{});
}

TEST_F(SettingsFile, LogFileIsRelativeToTheProgramDirectory) {
  TSettings s;
  Load("", s);
  EXPECT_EQ(s.LogFile, "");
  Load("[Server]\nLogFile=log/telvaroserver.log\n", s);
  EXPECT_EQ(s.LogFile, dir_.string() + "/log/telvaroserver.log");
  Load("[Server]\nLogFile=/var/log/telvaro/telvaroserver.log\n", s);
  EXPECT_EQ(s.LogFile, "/var/log/telvaro/telvaroserver.log");
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
