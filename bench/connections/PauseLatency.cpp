// One terminal under an upload, against a running telvaroserver: the terminal sends a
// frame of RECORDS records every second and acknowledges every upload block at once;
// an upload is queued for it through the command pipe; a data pipe client takes its
// records. Prints how long each record took from its frame's write to the data pipe,
// how many arrived, and how often each upload block was written.
//
//   connections_pause_latency --home DIR --port PORT [--seconds S] [--records N]
//                             [--upload BYTES] [--imei IMEI]

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/Settings.h"
#include "pipes/PipeClient.h"
#include "pipes/PipeServer.h"
#include "protocol/Bytes.h"
#include "protocol/ParserBase.h"
#include "records/DateTime.h"
#include "records/TerminalRecord.h"
#include "tools/telvarosim/Simulator.h"

namespace {

using namespace telvaro;
using Clock = std::chrono::steady_clock;
using ByteVec = std::vector<std::uint8_t>;

struct Options {
  std::string home;
  std::uint16_t port = 0;
  int seconds = 30;
  int records = 10;
  std::size_t upload = 20 * 1024;
  std::uint64_t imei = 351000000000001;
};

void PutBE(ByteVec& v, std::uint64_t x, int width) {
  for (int i = width - 1; i >= 0; --i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}

/// The acknowledgement of an upload block: an answer frame naming the next offset.
ByteVec BlockAck(std::uint64_t imei, std::uint8_t type, std::uint32_t next) {
  ByteVec payload;
  PutBE(payload, imei, 8);
  payload.insert(payload.end(), {6, 1, 0x06, type});
  PutBE(payload, next, 4);
  ByteVec f{0xCC, 0xCC, 0xCC, 0xCC};
  PutBE(f, payload.size(), 2);
  f.insert(f.end(), payload.begin(), payload.end());
  PutBE(f, CRC16(payload), 2);
  return f;
}

class Terminal {
 public:
  Terminal(std::uint16_t port, std::uint64_t imei) : imei_(imei) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      throw std::system_error(errno, std::generic_category(), "connecting to the server");
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    reader_ = std::thread([this] { Read(); });
  }
  ~Terminal() {
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    ::close(fd_);
  }

  void Send(const ByteVec& bytes) {
    std::lock_guard lock(writeMutex_);
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::system_error(errno, std::generic_category(), "sending");
      done += static_cast<std::size_t>(n);
    }
  }

  bool WaitForOk(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return ok_; });
  }

  /// Writes of each upload block, by offset.
  std::map<std::uint32_t, int> BlockWrites() const {
    std::lock_guard lock(mutex_);
    return blockWrites_;
  }

 private:
  void Read() {
    ByteVec buf;
    std::uint8_t chunk[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      buf.insert(buf.end(), chunk, chunk + n);
      std::size_t pos = 0;
      while (pos < buf.size()) {
        const std::uint8_t* p = buf.data() + pos;
        const std::size_t avail = buf.size() - pos;
        if (p[0] == 'O' && avail >= 2 && p[1] == 'K') {
          std::lock_guard lock(mutex_);
          ok_ = true;
          changed_.notify_all();
          pos += 2;
          continue;
        }
        if (p[0] != 0xCC) {
          ++pos;
          continue;
        }
        if (avail < 6) break;
        const std::size_t total = LoadBE<std::uint16_t>(p + 4) + 8u;
        if (avail < total) break;
        // Payload: IMEI, codec, count, then the command: 06, type, size, offset, length.
        const std::uint8_t* cmd = p + 6 + 10;
        if (total >= 8 + 10 + 12 && cmd[0] == 0x06) {
          const std::uint32_t offset = LoadBE<std::uint32_t>(cmd + 6);
          const std::uint16_t length = LoadBE<std::uint16_t>(cmd + 10);
          {
            std::lock_guard lock(mutex_);
            ++blockWrites_[offset];
          }
          Send(BlockAck(imei_, cmd[1], offset + length));
        }
        pos += total;
      }
      buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(pos));
    }
  }

  std::uint64_t imei_;
  int fd_ = -1;
  std::mutex writeMutex_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool ok_ = false;
  std::map<std::uint32_t, int> blockWrites_;
  std::thread reader_;
};

long Percentile(std::vector<long> v, double p) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

int Run(const Options& o) {
  TSettings settings;
  LoadSettings(o.home + "/telvaroserver.ini", o.home, settings);
  const std::string imei = std::to_string(o.imei);
  constexpr std::uint32_t FirstTime = 1700000000;  // frame k's records are stamped FirstTime + k

  // The data pipe first, so that no record passes before it listens.
  TPipeClient data(PipeSocketPath(settings.PipeDir, settings.PipeChannel));
  const timeval tick{0, 200000};
  ::setsockopt(data.Handle(), SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
  std::vector<Clock::time_point> sent(static_cast<std::size_t>(o.seconds));
  std::mutex sentMutex;
  std::vector<long> delays;
  std::atomic<long> received{0}, writes{0};
  std::atomic<bool> done{false};
  std::thread pipeReader([&] {
    std::map<TDateTime, std::size_t> frameOf;
    for (int k = 0; k < o.seconds; ++k) frameOf[UnixToDateTimeL(FirstTime + static_cast<std::uint32_t>(k))] = k;
    while (!done) {
      std::optional<ByteVec> msg;
      try {
        msg = data.Receive();
      } catch (const std::system_error&) {
        continue;  // the receive time-out: look whether to stop
      }
      if (!msg) return;
      if (msg->size() != sizeof(TRecNTMobile)) continue;
      TRecNTMobile r;
      std::memcpy(&r, msg->data(), sizeof r);
      if (r.ID.view() != imei) continue;
      if (r.Event == evCommandSent) ++writes;
      const auto k = frameOf.find(r.GNSS.UTC);
      if (r.Event != 0 || k == frameOf.end()) continue;
      const auto now = Clock::now();
      std::lock_guard lock(sentMutex);
      delays.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(now - sent[k->second]).count());
      ++received;
    }
  });

  {
    Terminal t(o.port, o.imei);
    t.Send(sim::Handshake(o.imei, "1.5"));
    if (!t.WaitForOk(std::chrono::seconds(30))) throw std::runtime_error("no handshake reply");

    // The upload, as telvaroctl queues it: "f", type, size, then the file.
    TCmdRec r{};
    r.DevType.assign("bench");
    r.UID.assign(imei);
    r.CMD.assign("f 1  " + std::to_string(o.upload));
    ByteVec request(sizeof r + o.upload);
    std::memcpy(request.data(), &r, sizeof r);
    for (std::size_t i = 0; i < o.upload; ++i) request[sizeof r + i] = static_cast<std::uint8_t>(i * 31);
    TPipeClient(PipeSocketPath(settings.PipeDir, settings.CmdChannel)).Send(request);

    const Clock::time_point begin = Clock::now();
    for (int k = 0; k < o.seconds; ++k) {
      std::this_thread::sleep_until(begin + std::chrono::seconds(k));
      const ByteVec frame = sim::AvlFrame(o.imei, o.records, FirstTime + static_cast<std::uint32_t>(k));
      {
        std::lock_guard lock(sentMutex);
        sent[static_cast<std::size_t>(k)] = Clock::now();
      }
      t.Send(frame);
    }
    // The last frames' records wait at most one pause.
    const auto expected = static_cast<long>(o.seconds) * o.records;
    const auto until = Clock::now() + std::chrono::milliseconds(settings.DelayBeforeCmd) + std::chrono::seconds(3);
    while (received < expected && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const auto blocks = t.BlockWrites();
    int most = 0, least = blocks.empty() ? 0 : 1 << 30;
    for (const auto& [offset, n] : blocks) {
      most = std::max(most, n);
      least = std::min(least, n);
    }
    const std::size_t total = (o.upload + static_cast<std::size_t>(settings.BLK_SIZE) - 1) / settings.BLK_SIZE;
    std::printf("records: %ld sent, %ld on the data pipe\n", expected, received.load());
    std::lock_guard lock(sentMutex);
    std::printf("delay from the frame's write to its record on the data pipe: p50 %ld ms, p90 %ld ms, p99 %ld ms, "
                "max %ld ms (DelayBeforeCmd %d ms)\n",
                Percentile(delays, 0.5), Percentile(delays, 0.9), Percentile(delays, 0.99), Percentile(delays, 1.0),
                settings.DelayBeforeCmd);
    std::printf("upload: %zu of %zu blocks written, each %d to %d times, each acknowledged at once; %ld commands "
                "written\n",
                blocks.size(), total, least, most, writes.load());
  }
  done = true;
  pipeReader.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--home") o.home = v;
    else if (a == "--port") o.port = static_cast<std::uint16_t>(std::stoi(v));
    else if (a == "--seconds") o.seconds = std::stoi(v);
    else if (a == "--records") o.records = std::stoi(v);
    else if (a == "--upload") o.upload = std::stoul(v);
    else if (a == "--imei") o.imei = std::stoull(v);
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (o.home.empty() || o.port == 0) {
    std::fprintf(stderr, "usage: connections_pause_latency --home DIR --port PORT [--seconds S] [--records N] "
                         "[--upload BYTES] [--imei IMEI]\n");
    return 2;
  }
  try {
    return Run(o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "connections_pause_latency: %s\n", e.what());
    return 1;
  }
}
