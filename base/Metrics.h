#pragma once
// Counters, gauges and histograms that any thread updates without a lock, a registry of
// named families registered at start-up, and their Prometheus text exposition.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace telvaro {

/// A count that only grows.
class Counter {
 public:
  void Add(std::uint64_t n = 1) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t Value() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

/// A value that goes up and down.
class Gauge {
 public:
  void Set(std::int64_t v) noexcept { value_.store(v, std::memory_order_relaxed); }
  void Add(std::int64_t n) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
  std::int64_t Value() const noexcept { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> value_{0};
};

/// Observations counted in fixed buckets, with their sum.
class Histogram {
 public:
  /// `bounds`: the buckets' upper bounds, ascending; a last bucket takes the rest.
  explicit Histogram(std::vector<double> bounds);

  void Observe(double v) noexcept;

  /// The buckets' counts at one read, not cumulative; one more than the bounds.
  std::vector<std::uint64_t> Counts() const;
  double Sum() const noexcept { return sum_.load(std::memory_order_relaxed); }
  const std::vector<double>& Bounds() const noexcept { return bounds_; }

 private:
  std::vector<double> bounds_;
  std::unique_ptr<std::atomic<std::uint64_t>[]> counts_;
  std::atomic<double> sum_{0};
};

/// Named metric families. Register every family at start-up, before the first Render;
/// after that the families are only read, so updates and renders need no lock.
class MetricsRegistry {
 public:
  Counter& AddCounter(std::string name, std::string help);
  Gauge& AddGauge(std::string name, std::string help);
  Histogram& AddHistogram(std::string name, std::string help, std::vector<double> bounds);
  /// A counter or gauge whose value `read` gives at every render (any thread calls it).
  void AddCounterFunction(std::string name, std::string help, std::function<double()> read);
  void AddGaugeFunction(std::string name, std::string help, std::function<double()> read);

  /// Every family in the Prometheus text format 0.0.4, in the order registered.
  std::string Render() const;

 private:
  using Source = std::variant<std::unique_ptr<Counter>, std::unique_ptr<Gauge>, std::unique_ptr<Histogram>,
                              std::function<double()>>;
  struct Family {
    std::string name;
    std::string help;
    const char* type;
    Source source;
  };
  std::vector<Family> families_;
};

/// Registers the process's own families, read from /proc/self at every render:
/// process_resident_memory_bytes, process_open_fds, process_cpu_seconds_total and
/// process_start_time_seconds.
void AddProcessMetrics(MetricsRegistry& registry);

}  // namespace telvaro
