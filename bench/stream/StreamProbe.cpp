// Reads the record stream as a remote consumer would.
//
//   stream_probe delay URL SECONDS   follows new records for SECONDS and prints the delay
//                                    from each record's creation (its RecTime) to its
//                                    arrival here: count, p50, p99, max in milliseconds
//   stream_probe keys URL            reads the whole stream and prints, per terminal, how
//                                    many distinct database rows its data-frame records
//                                    make (terminal, time, event), "ID COUNT" per line
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "records/DateTime.h"
#include "stream/StreamFollower.h"

using namespace telvaro;

namespace {

int Delay(const std::string& url, double seconds) {
  StreamFollower follower(StreamOptions{.url = url, .name = ""}, false);
  std::vector<double> ms;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    const auto r = follower.Next(std::chrono::milliseconds(200));
    if (!r) continue;
    const auto m = r->Record();
    if (!m || !r->dataFrame) continue;
    ms.push_back((NowLocal() - m->Rec.RecTime) * 86400e3);
  }
  if (ms.empty()) {
    std::printf("no records\n");
    return 1;
  }
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
  std::printf("records %zu p50 %.2f ms p99 %.2f ms max %.2f ms\n", ms.size(), at(0.5), at(0.99), ms.back());
  return 0;
}

int Keys(const std::string& url) {
  StreamFollower follower(StreamOptions{.url = url, .name = ""}, true);
  std::map<std::string, std::set<std::tuple<double, std::int32_t>>> rows;
  std::size_t seen = 0;
  // The stream is read to its end: two seconds without a message.
  for (int idle = 0; idle < 10;) {
    const auto r = follower.Next(std::chrono::milliseconds(200));
    if (!r) {
      ++idle;
      continue;
    }
    idle = 0;
    ++seen;
    const auto m = r->Record();
    if (!m || !r->dataFrame || !(m->Rec.GNSS.UTC > 0)) continue;
    rows[std::string(m->Rec.ID.view())].emplace(m->Rec.GNSS.UTC, m->Rec.Event);
  }
  std::fprintf(stderr, "stream_probe: %zu messages read\n", seen);
  for (const auto& [id, keys] : rows) std::printf("%s %zu\n", id.c_str(), keys.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 3 && a[0] == "delay") return Delay(a[1], std::stod(a[2]));
  if (a.size() == 2 && a[0] == "keys") return Keys(a[1]);
  std::fprintf(stderr, "usage: stream_probe delay URL SECONDS | keys URL\n");
  return 2;
}
