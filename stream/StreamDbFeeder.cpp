#include "stream/StreamDbFeeder.h"

#include <cstring>
#include <utility>

#include <nats/nats.h>

#include "queues/NamedEvent.h"
#include "stream/NatsSupport.h"

namespace telvaro {

struct StreamDbFeeder::Nats {
  natsOptions* options = nullptr;
  natsConnection* connection = nullptr;
  jsCtx* js = nullptr;
  natsSubscription* subscription = nullptr;
  ClosedLatch closed;
  std::mutex mutex;
  /// The messages of the records in the writer's queue, in the queue's order.
  std::deque<natsMsg*> handed;

  ~Nats() { Close(); }

  /// Closes the connection; the records handed over and not acknowledged are left to
  /// the stream, which delivers them again.
  void Close() {
    {
      std::lock_guard lock(mutex);
      for (natsMsg* m : handed) natsMsg_Destroy(m);
      handed.clear();
    }
    natsSubscription_Destroy(std::exchange(subscription, nullptr));
    CloseConnection(connection, closed);
    jsCtx_Destroy(std::exchange(js, nullptr));
    natsOptions_Destroy(std::exchange(options, nullptr));
  }

  bool Connected() const { return connection && natsConnection_Status(connection) == NATS_CONN_STATUS_CONNECTED; }
};

StreamDbFeeder::StreamDbFeeder(StreamOptions options, std::string durable, RecordQueue& queue, OperatorLog& log,
                               ServerMetrics* metrics, std::chrono::milliseconds ackWait)
    : options_(std::move(options)),
      durable_(std::move(durable)),
      queue_(queue),
      metrics_(metrics),
      ackWait_(ackWait),
      nats_(std::make_unique<Nats>()) {
  report_.SetReport(&log);
}

StreamDbFeeder::~StreamDbFeeder() { Stop(); }

void StreamDbFeeder::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Execute(); });
}

void StreamDbFeeder::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard lock(nats_->mutex);
    queue_.Clear();
  }
  nats_->Close();
}

void StreamDbFeeder::Stored(std::size_t n) {
  std::lock_guard lock(nats_->mutex);
  for (; n > 0 && !nats_->handed.empty(); --n) {
    natsMsg* m = nats_->handed.front();
    nats_->handed.pop_front();
    // A lost acknowledgement only means the record comes again, and is stored again as the same row.
    natsMsg_Ack(m, nullptr);
    natsMsg_Destroy(m);
    acknowledged_.fetch_add(1, std::memory_order_relaxed);
  }
}

void StreamDbFeeder::Execute() {
  report_.OutputReport("Thread for stream to DB started, consumer " + durable_);
  while (!stop_) {
    if (!Ready() || queue_.Size() >= HighWater) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    if (Fetch()) SetNamedEvent(DBEventName);
  }
}

bool StreamDbFeeder::Ready() {
  if (!nats_->connection) {
    Nats& n = *nats_;
    natsStatus s = OpenConnection(
        &n.connection, &n.options, options_.url,
        {.lost = [](natsConnection*, void* self) { static_cast<StreamDbFeeder*>(self)->Lost(); },
         .returned = [](natsConnection*, void* self) { static_cast<StreamDbFeeder*>(self)->Returned(); },
         .closure = this,
         .closed = &n.closed});
    if (s == NATS_NOT_YET_CONNECTED) s = NATS_OK;
    if (s == NATS_OK) s = natsConnection_JetStream(&n.js, n.connection, nullptr);
    if (s != NATS_OK) {
      report_.OutputReport("Could not open stream " + options_.url + ": " + StatusText(s));
      n.Close();
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      return false;
    }
  }
  if (!nats_->Connected()) return false;
  if (nats_->subscription) return true;
  if (!EnsureStream(nats_->js, options_, report_)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return false;
  }
  jsSubOptions so;
  jsSubOptions_Init(&so);
  so.Stream = options_.name.c_str();
  so.Config.AckWait = std::chrono::duration_cast<std::chrono::nanoseconds>(ackWait_).count();
  so.Config.MaxAckPending = 4 * static_cast<int64_t>(HighWater);
  jsErrCode err = static_cast<jsErrCode>(0);
  const std::string filter = options_.subject + ".rec.>";
  const natsStatus s =
      js_PullSubscribe(&nats_->subscription, nats_->js, filter.c_str(), durable_.c_str(), nullptr, &so, &err);
  if (s != NATS_OK) {
    nats_->subscription = nullptr;
    if (!loggedSubscribeError_)
      report_.OutputReport("Could not read stream " + options_.name + " as " + durable_ + ": " + StatusText(s));
    loggedSubscribeError_ = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return false;
  }
  loggedSubscribeError_ = false;
  report_.OutputReport("Reading stream " + options_.name + " for DB as " + durable_);
  return true;
}

bool StreamDbFeeder::Fetch() {
  natsMsgList list{};
  const int want = static_cast<int>(HighWater - std::min(HighWater, queue_.Size()));
  if (natsSubscription_Fetch(&list, nats_->subscription, want, 500, nullptr) != NATS_OK) return false;
  bool handed = false;
  std::uint64_t lag = 0;
  {
    std::lock_guard lock(nats_->mutex);
    for (int i = 0; i < list.Count; ++i) {
      natsMsg* m = list.Msgs[i];
      list.Msgs[i] = nullptr;
      jsMsgMetaData* meta = nullptr;
      if (natsMsg_GetMetaData(&meta, m) == NATS_OK) {
        lag = meta->NumPending;
        jsMsgMetaData_Destroy(meta);
      }
      const char* frame = nullptr;
      const bool forDb = natsMsgHeader_Get(m, FrameHeader, &frame) == NATS_OK && frame && std::strcmp(frame, "D") == 0;
      TNTMobile record;
      if (!forDb || natsMsg_GetDataLength(m) != static_cast<int>(sizeof record.Rec)) {
        if (forDb)
          report_.OutputReport("Stream record of " + std::to_string(natsMsg_GetDataLength(m)) +
                               " bytes skipped, subject " + natsMsg_GetSubject(m));
        natsMsg_Ack(m, nullptr);
        natsMsg_Destroy(m);
        acknowledged_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      std::memcpy(&record.Rec, natsMsg_GetData(m), sizeof record.Rec);
      record.dataFrame = true;
      // Record and message enter together, so the writer's count of done records
      // always refers to the front of `handed`.
      queue_.Add(record);
      nats_->handed.push_back(m);
      handed = true;
    }
  }
  natsMsgList_Destroy(&list);
  if (metrics_) metrics_->streamConsumerLag.Set(static_cast<std::int64_t>(lag));
  return handed;
}

void StreamDbFeeder::Lost() {
  if (stop_ || down_.exchange(true)) return;
  report_.OutputReport("Stream for DB disconnected");
}

void StreamDbFeeder::Returned() {
  if (!down_.exchange(false)) return;
  report_.OutputReport("Stream for DB reconnected");
}

}  // namespace telvaro
