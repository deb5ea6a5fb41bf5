// The settings as the values the connections, the log line and the fuel report are
// built with.

#include <gtest/gtest.h>

#include "shell/Configuration.h"

namespace telvaro {
namespace {

using namespace std::chrono_literals;

TEST(Configuration, EverySettingReachesItsValue) {
  TSettings s;
  s.DelayBeforeCmd = 50;
  s.FrameTimeoutSec = 12;
  s.NoBase = true;
  s.QueueLimit = 7;
  s.EventsToDB = "150, 7";
  s.DownloadDir = "/srv/dl/";
  s.DecimalSeparator = ',';
  s.EntitiesToPrintList = {1, 106};
  s.CounterNum = 3;
  s.TimeLastPos = 4;
  s.ShortDateFormat = "yyyy-mm-dd";
  s.LongTimeFormat = "hh:nn";

  const ConnectionEnv env = ConnectionEnvOf(s);
  EXPECT_EQ(env.cmdDelay, 50ms);
  EXPECT_EQ(env.frameTimeout, 12s);
  EXPECT_FALSE(env.toDatabase);
  EXPECT_EQ(env.queueLimit, 7u);
  EXPECT_EQ(env.parser.dbEvents, (std::vector<std::uint8_t>{150, 7}));
  EXPECT_EQ(env.parser.downloadDir, "/srv/dl/");
  EXPECT_EQ(env.parser.decimalSeparator, ',');
  EXPECT_TRUE(env.parser.blackList.empty());
  EXPECT_FALSE(env.parser.keys) << "identification stays off until a key table is loaded";
  EXPECT_EQ(env.render.decimalSeparator, ',');
  EXPECT_EQ(env.render.entitiesToPrint, (std::vector<int>{1, 106}));
  EXPECT_EQ(env.render.counterNum, 3);
  EXPECT_EQ(env.render.timeLastPos, 4);

  const ReportFormat f = ReportFormatOf(s);
  EXPECT_EQ(f.shortDateFormat, "yyyy-mm-dd");
  EXPECT_EQ(f.longTimeFormat, "hh:nn");
  EXPECT_EQ(f.decimalSeparator, ',');

  // The defaults: a database configured, fuel event 150.
  const ConnectionEnv defaults = ConnectionEnvOf(TSettings{});
  EXPECT_TRUE(defaults.toDatabase);
  EXPECT_EQ(defaults.frameTimeout, 300s);
  EXPECT_EQ(defaults.parser.dbEvents, std::vector<std::uint8_t>{150});
}

}  // namespace
}  // namespace telvaro
