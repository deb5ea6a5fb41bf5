#include "stream/StreamFollower.h"

#include <cstring>
#include <thread>
#include <utility>

#include <nats/nats.h>

#include "queues/NamedEvent.h"
#include "stream/NatsSupport.h"

namespace telvaro {

std::optional<TNTMobile> StreamRecord::Record() const {
  TNTMobile m;
  if (data.size() != sizeof m.Rec) return std::nullopt;
  std::memcpy(&m.Rec, data.data(), sizeof m.Rec);
  m.dataFrame = dataFrame;
  return m;
}

struct StreamFollower::Nats {
  natsOptions* options = nullptr;
  natsConnection* connection = nullptr;
  jsCtx* js = nullptr;
  natsSubscription* subscription = nullptr;

  ClosedLatch closed;

  ~Nats() {
    natsSubscription_Destroy(subscription);
    CloseConnection(connection, closed);
    jsCtx_Destroy(js);
    natsOptions_Destroy(options);
  }
};

StreamFollower::StreamFollower(StreamOptions options, bool fromStart)
    : options_(std::move(options)), fromStart_(fromStart), nats_(std::make_unique<Nats>()) {}

StreamFollower::~StreamFollower() = default;

bool StreamFollower::Following() const noexcept { return nats_->subscription != nullptr; }

bool StreamFollower::Subscribed() {
  Nats& n = *nats_;
  if (n.subscription) return true;
  if (!n.connection) {
    natsStatus s = OpenConnection(&n.connection, &n.options, options_.url, {.closed = &n.closed});
    if (s == NATS_NOT_YET_CONNECTED) s = NATS_OK;
    if (s == NATS_OK) s = natsConnection_JetStream(&n.js, n.connection, nullptr);
    if (s != NATS_OK) {
      problem_ = "could not connect to " + options_.url + ": " + StatusText(s);
      return false;
    }
  }
  if (natsConnection_Status(n.connection) != NATS_CONN_STATUS_CONNECTED) {
    problem_ = "waiting for " + options_.url;
    return false;
  }
  jsSubOptions so;
  jsSubOptions_Init(&so);
  so.Stream = options_.name.empty() ? nullptr : options_.name.c_str();
  so.Ordered = true;
  so.Config.DeliverPolicy = fromStart_ ? js_DeliverAll : js_DeliverNew;
  const std::string filter = options_.subject + ".rec.>";
  jsErrCode err = static_cast<jsErrCode>(0);
  const natsStatus s = js_SubscribeSync(&n.subscription, n.js, filter.c_str(), nullptr, &so, &err);
  if (s != NATS_OK) {
    n.subscription = nullptr;
    problem_ = "could not follow stream " + options_.name + ": " + StatusText(s);
    return false;
  }
  problem_.clear();
  return true;
}

std::optional<StreamRecord> StreamFollower::Next(std::chrono::milliseconds timeout) {
  if (!Subscribed()) {
    std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(200)));
    return std::nullopt;
  }
  natsMsg* m = nullptr;
  if (natsSubscription_NextMsg(&m, nats_->subscription, timeout.count()) != NATS_OK || !m) return std::nullopt;
  StreamRecord r;
  r.subject = natsMsg_GetSubject(m);
  const auto* p = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(m));
  r.data.assign(p, p + natsMsg_GetDataLength(m));
  const char* frame = nullptr;
  r.dataFrame = natsMsgHeader_Get(m, FrameHeader, &frame) == NATS_OK && frame && std::strcmp(frame, "D") == 0;
  natsMsg_Destroy(m);
  return r;
}

StreamPipeFeeder::StreamPipeFeeder(StreamOptions options, RecordQueue& toSend, OperatorLog& log)
    : options_(std::move(options)), toSend_(toSend) {
  report_.SetReport(&log);
}

StreamPipeFeeder::~StreamPipeFeeder() { Stop(); }

void StreamPipeFeeder::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Execute(); });
}

void StreamPipeFeeder::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void StreamPipeFeeder::Execute() {
  report_.OutputReport("Thread for stream to pipe started, subject " + options_.subject + ".rec.>");
  StreamFollower follower(options_, false);
  std::string problem;
  bool following = false;
  while (!stop_) {
    const auto r = follower.Next(std::chrono::milliseconds(500));
    if (follower.Problem() != problem) {
      problem = follower.Problem();
      if (!problem.empty()) report_.OutputReport("Stream for pipe: " + problem);
    }
    if (follower.Following() != following) {
      following = follower.Following();
      if (following) report_.OutputReport("Following stream " + options_.name);
    }
    if (!r) continue;
    if (auto m = r->Record()) {
      toSend_.Add(*m);
      SetNamedEvent(ClientsEventName);
    }
  }
}

}  // namespace telvaro
