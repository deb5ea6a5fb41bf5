#include <gtest/gtest.h>

#include <thread>

#include "base/OperatorLog.h"

namespace telvaro {
namespace {

TEST(OperatorLog, EmptiesOnlyWhenMoreThanAThousandLinesAreHeld) {
  OperatorLog log;
  EXPECT_EQ(log.LineCount(), 1u);  // starts with one empty line
  for (int i = 0; i < 1000; ++i) log.Append("line");
  EXPECT_EQ(log.LineCount(), 1001u);  // the 1001st line is still appended
  log.Append("next");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"next"});
}

TEST(OperatorLog, ReporterWithoutTargetDropsLines) {
  LogReporter reporter;
  EXPECT_NO_THROW(reporter.OutputReport("lost"));
  OperatorLog log;
  reporter.SetReport(&log);
  reporter.OutputReport("kept");
  EXPECT_EQ(log.Lines().back(), "kept");
}

TEST(OperatorLog, KeepsEachThreadsOrder) {
  OperatorLog log;
  constexpr int Threads = 4, PerThread = 200;  // stays under the 1000-line limit
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t)
    threads.emplace_back([&log, t] {
      for (int i = 0; i < PerThread; ++i) log.Append(std::to_string(t) + ":" + std::to_string(i));
    });
  for (auto& th : threads) th.join();
  std::vector<int> next(Threads, 0);
  for (const auto& line : log.Lines()) {
    if (line.empty()) continue;
    const int t = line[0] - '0';
    EXPECT_EQ(line, std::to_string(t) + ":" + std::to_string(next[t]++));
  }
  EXPECT_EQ(next, std::vector<int>(Threads, PerThread));
}

TEST(OperatorLog, LabelAndPanels) {
  OperatorLog log;
  EXPECT_EQ(log.Label(), "Port XXXX for Krestel is ready to use.");
  log.SetPanel(2, "Clients: 1");
  EXPECT_EQ(log.Panel(2), "Clients: 1");
  EXPECT_EQ(log.Panel(3), "");
  EXPECT_THROW(log.SetPanel(5, "x"), std::out_of_range);
}

TEST(OperatorLog, EveryObserverHearsEachChangeUntilRemoved) {
  struct Recorder : OperatorLog::Observer {
    std::vector<std::string> seen;
    void LineAppended(std::string_view line) override { seen.push_back(std::string(line)); }
    void LabelChanged(std::string_view text) override { seen.push_back("label " + std::string(text)); }
    void PanelChanged(int panel, std::string_view text) override {
      seen.push_back("panel " + std::to_string(panel) + " " + std::string(text));
    }
  };
  OperatorLog log;
  Recorder first, second;
  log.AddObserver(&first);
  log.Append("one");
  log.AddObserver(&second);
  log.SetLabel("ready");
  log.SetPanel(1, "pipes");
  log.RemoveObserver(&first);
  log.Append("two");
  EXPECT_EQ(first.seen, (std::vector<std::string>{"one", "label ready", "panel 1 pipes"}));
  EXPECT_EQ(second.seen, (std::vector<std::string>{"label ready", "panel 1 pipes", "two"}));
}

}  // namespace
}  // namespace telvaro
