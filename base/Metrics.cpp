#include "base/Metrics.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include <fmt/format.h>

namespace telvaro {
namespace {

constexpr double NotRead = std::numeric_limits<double>::quiet_NaN();

/// A sample value as the text format writes it.
std::string Number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  return fmt::format("{}", v);
}

/// HELP text with backslash and line end escaped.
std::string EscapeHelp(const std::string& help) {
  std::string out;
  for (const char c : help) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

/// The fields of /proc/self/stat from the third (state) on; the command name before
/// them may hold blanks and parentheses, so it is skipped up to its last ')'.
std::vector<std::string> StatFields() {
  std::ifstream in("/proc/self/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream rest(text.substr(close + 1));
  return {std::istream_iterator<std::string>(rest), std::istream_iterator<std::string>()};
}

/// A field of /proc/self/stat by its number in proc(5) (state is 3), as a number.
double StatField(const std::vector<std::string>& fields, std::size_t number) {
  const std::size_t i = number - 3;
  if (i >= fields.size()) return NotRead;
  try {
    return std::stod(fields[i]);
  } catch (const std::exception&) {
    return NotRead;
  }
}

double CpuSeconds() {
  const auto fields = StatFields();
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return (StatField(fields, 14) + StatField(fields, 15)) / ticks;  // utime + stime
}

double ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  double size = 0, resident = 0;
  if (!(in >> size >> resident)) return NotRead;
  return resident * static_cast<double>(::sysconf(_SC_PAGESIZE));
}

double OpenFds() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return NotRead;
  double n = 0;
  while (const dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n - 1;  // the directory stream's own descriptor
}

/// Boot time (from /proc/stat) plus the process's start in clock ticks after boot.
double StartTimeSeconds() {
  std::ifstream in("/proc/stat");
  std::string key;
  double bootTime = NotRead;
  while (in >> key) {
    if (key == "btime") {
      in >> bootTime;
      break;
    }
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return bootTime + StatField(StatFields(), 22) / ticks;
}

}  // namespace

Histogram::Histogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), counts_(std::make_unique<std::atomic<std::uint64_t>[]>(bounds_.size() + 1)) {
  std::sort(bounds_.begin(), bounds_.end());
}

void Histogram::Observe(double v) noexcept {
  // A bucket counts the observations up to and including its bound.
  const auto i = static_cast<std::size_t>(std::lower_bound(bounds_.begin(), bounds_.end(), v) - bounds_.begin());
  counts_[i].fetch_add(1, std::memory_order_relaxed);
  sum_.fetch_add(v, std::memory_order_relaxed);
}

std::vector<std::uint64_t> Histogram::Counts() const {
  std::vector<std::uint64_t> out(bounds_.size() + 1);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = counts_[i].load(std::memory_order_relaxed);
  return out;
}

Counter& MetricsRegistry::AddCounter(std::string name, std::string help) {
  auto c = std::make_unique<Counter>();
  Counter& ref = *c;
  families_.push_back({std::move(name), std::move(help), "counter", std::move(c)});
  return ref;
}

Gauge& MetricsRegistry::AddGauge(std::string name, std::string help) {
  auto g = std::make_unique<Gauge>();
  Gauge& ref = *g;
  families_.push_back({std::move(name), std::move(help), "gauge", std::move(g)});
  return ref;
}

Histogram& MetricsRegistry::AddHistogram(std::string name, std::string help, std::vector<double> bounds) {
  auto h = std::make_unique<Histogram>(std::move(bounds));
  Histogram& ref = *h;
  families_.push_back({std::move(name), std::move(help), "histogram", std::move(h)});
  return ref;
}

void MetricsRegistry::AddCounterFunction(std::string name, std::string help, std::function<double()> read) {
  families_.push_back({std::move(name), std::move(help), "counter", std::move(read)});
}

void MetricsRegistry::AddGaugeFunction(std::string name, std::string help, std::function<double()> read) {
  families_.push_back({std::move(name), std::move(help), "gauge", std::move(read)});
}

std::string MetricsRegistry::Render() const {
  std::string out;
  auto line = std::back_inserter(out);
  for (const Family& f : families_) {
    fmt::format_to(line, "# HELP {} {}\n# TYPE {} {}\n", f.name, EscapeHelp(f.help), f.name, f.type);
    if (const auto* c = std::get_if<std::unique_ptr<Counter>>(&f.source)) {
      fmt::format_to(line, "{} {}\n", f.name, (*c)->Value());
    } else if (const auto* g = std::get_if<std::unique_ptr<Gauge>>(&f.source)) {
      fmt::format_to(line, "{} {}\n", f.name, (*g)->Value());
    } else if (const auto* read = std::get_if<std::function<double()>>(&f.source)) {
      fmt::format_to(line, "{} {}\n", f.name, Number((*read)()));
    } else {
      const Histogram& h = *std::get<std::unique_ptr<Histogram>>(f.source);
      const auto counts = h.Counts();
      // Buckets are cumulative; the count is the last one, so the two always agree.
      std::uint64_t total = 0;
      for (std::size_t i = 0; i < counts.size(); ++i) {
        total += counts[i];
        const std::string le = i < h.Bounds().size() ? Number(h.Bounds()[i]) : "+Inf";
        fmt::format_to(line, "{}_bucket{{le=\"{}\"}} {}\n", f.name, le, total);
      }
      fmt::format_to(line, "{}_sum {}\n{}_count {}\n", f.name, Number(h.Sum()), f.name, total);
    }
  }
  return out;
}

void AddProcessMetrics(MetricsRegistry& registry) {
  registry.AddGaugeFunction("process_resident_memory_bytes", "Resident memory size in bytes.", ResidentBytes);
  registry.AddGaugeFunction("process_open_fds", "Number of open file descriptors.", OpenFds);
  registry.AddCounterFunction("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
                              CpuSeconds);
  const double start = StartTimeSeconds();
  registry.AddGaugeFunction("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
                            [start] { return start; });
}

}  // namespace telvaro
