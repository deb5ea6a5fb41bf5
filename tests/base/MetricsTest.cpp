#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <regex>
#include <thread>

#include "base/Metrics.h"
#include "base/ServerMetrics.h"

namespace telvaro {
namespace {

/// The value of the sample line `name` in a rendering; NaN when it is missing.
double Sample(const std::string& text, const std::string& name) {
  const auto at = text.find("\n" + name + " ");
  if (at == std::string::npos) return std::nan("");
  return std::stod(text.substr(at + name.size() + 2));
}

TEST(Metrics, RendersEveryKindInTheTextFormat) {
  MetricsRegistry r;
  Counter& c = r.AddCounter("t_events_total", "Events.\nWith \\ two lines.");
  Gauge& g = r.AddGauge("t_level", "Level.");
  Histogram& h = r.AddHistogram("t_seconds", "Seconds.", {0.5, 0.1, 1});  // sorted when made
  r.AddGaugeFunction("t_read", "Read.", [] { return 2.5; });
  r.AddCounterFunction("t_broken_total", "Unreadable.", [] { return std::nan(""); });
  c.Add(3);
  c.Add();
  g.Set(7);
  g.Add(-9);
  for (const double v : {0.05, 0.1, 0.3, 1.0, 7.0}) h.Observe(v);

  EXPECT_EQ(r.Render(),
            "# HELP t_events_total Events.\\nWith \\\\ two lines.\n"
            "# TYPE t_events_total counter\n"
            "t_events_total 4\n"
            "# HELP t_level Level.\n"
            "# TYPE t_level gauge\n"
            "t_level -2\n"
            "# HELP t_seconds Seconds.\n"
            "# TYPE t_seconds histogram\n"
            "t_seconds_bucket{le=\"0.1\"} 2\n"  // a bound holds the values equal to it
            "t_seconds_bucket{le=\"0.5\"} 3\n"
            "t_seconds_bucket{le=\"1\"} 4\n"
            "t_seconds_bucket{le=\"+Inf\"} 5\n"
            "t_seconds_sum 8.45\n"
            "t_seconds_count 5\n"
            "# HELP t_read Read.\n"
            "# TYPE t_read gauge\n"
            "t_read 2.5\n"
            "# HELP t_broken_total Unreadable.\n"
            "# TYPE t_broken_total counter\n"
            "t_broken_total NaN\n");
}

TEST(Metrics, ConcurrentUpdatesAreAllCounted) {
  MetricsRegistry r;
  Counter& c = r.AddCounter("c_total", "c");
  Histogram& h = r.AddHistogram("h", "h", {1});
  constexpr int Threads = 4, Each = 100000;
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < Each; ++i) {
        c.Add();
        h.Observe(i % 2 ? 0.5 : 2.0);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(c.Value(), std::uint64_t{Threads} * Each);
  EXPECT_EQ(h.Counts(), (std::vector<std::uint64_t>{Threads * Each / 2, Threads * Each / 2}));
  EXPECT_DOUBLE_EQ(h.Sum(), Threads * Each / 2 * 2.5);
}

TEST(Metrics, ProcessFamiliesDescribeThisProcess) {
  MetricsRegistry r;
  AddProcessMetrics(r);
  const auto now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::string before = r.Render();
  const int fd = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(fd, 0);
  const std::string after = r.Render();
  ::close(fd);

  EXPECT_EQ(Sample(after, "process_open_fds"), Sample(before, "process_open_fds") + 1);
  EXPECT_GT(Sample(before, "process_resident_memory_bytes"), 1 << 20);
  EXPECT_GE(Sample(before, "process_cpu_seconds_total"), 0);
  const double start = Sample(before, "process_start_time_seconds");
  EXPECT_LE(start, now + 1);
  EXPECT_GT(start, now - 3600);  // a test process is minutes old at most
  EXPECT_NE(before.find("# TYPE process_cpu_seconds_total counter\n"), std::string::npos);
}

TEST(Metrics, ServerFamiliesCarryTheirFixedNames) {
  ServerMetrics m({.tasksQueued = [] { return 3.0; }});
  m.recordsReceived.Add(5);
  const std::string text = m.registry.Render();
  for (const char* family :
       {"telvaro_terminal_connections gauge", "telvaro_terminal_connections_accepted_total counter",
        "telvaro_records_received_total counter", "telvaro_messages_refused_total counter",
        "telvaro_commands_written_total counter", "telvaro_tasks_queued gauge", "telvaro_data_pipe_clients gauge",
        "telvaro_data_pipe_records_sent_total counter", "telvaro_data_pipe_clients_dropped_total counter",
        "telvaro_db_connected gauge", "telvaro_db_queue_length gauge", "telvaro_db_records_written_total counter",
        "telvaro_db_records_dropped_total counter", "telvaro_db_write_seconds histogram",
        "telvaro_record_delay_seconds histogram", "process_resident_memory_bytes gauge", "process_open_fds gauge",
        "process_cpu_seconds_total counter", "process_start_time_seconds gauge"})
    EXPECT_NE(text.find(std::string("# TYPE ") + family + "\n"), std::string::npos) << family;
  EXPECT_EQ(Sample(text, "telvaro_records_received_total"), 5);
  EXPECT_EQ(Sample(text, "telvaro_tasks_queued"), 3);
  EXPECT_EQ(Sample(text, "telvaro_db_queue_length"), 0);  // no source: 0
}

}  // namespace
}  // namespace telvaro
