#include "stream/StreamPublisher.h"

#include <unistd.h>

#include <fmt/format.h>
#include <nats/nats.h>

#include "stream/NatsSupport.h"

#include "queues/NamedEvent.h"

namespace telvaro {

std::string RecordSubject(std::string_view prefix, std::string_view id) {
  std::string subject;
  subject.reserve(prefix.size() + 5 + std::max<std::size_t>(id.size(), 1));
  subject.append(prefix).append(".rec.");
  if (id.empty()) return subject + "_";
  for (const char c : id) {
    const auto b = static_cast<unsigned char>(c);
    const bool plain = b > 0x20 && b < 0x7f && c != '.' && c != '*' && c != '>';
    subject.push_back(plain ? c : '_');
  }
  return subject;
}

std::string MessageIdPrefix() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  const auto started = std::chrono::system_clock::now().time_since_epoch();
  return fmt::format("{}-{}-{:x}", host, getpid(),
                     std::chrono::duration_cast<std::chrono::nanoseconds>(started).count());
}


struct StreamPublisher::Nats {
  explicit Nats(StreamPublisher& p) : owner(p) {}
  StreamPublisher& owner;  ///< the library's callbacks reach the publisher through this
  natsOptions* options = nullptr;
  natsConnection* connection = nullptr;
  jsCtx* js = nullptr;
  std::mutex retryMutex;
  /// Messages whose publish failed or whose acknowledgement did not come, to send again.
  std::deque<natsMsg*> retry;

  ClosedLatch closed;

  ~Nats() {
    // What waits for an acknowledgement comes back first, so that no acknowledgement
    // callback runs any more; then the connection, after its last callback.
    // (The library's call fails on an empty list: only when some wait.)
    if (js && owner.inFlight_.load() > retry.size()) {
      natsMsgList pending{};
      if (js_PublishAsyncGetPendingList(&pending, js) == NATS_OK) natsMsgList_Destroy(&pending);
    }
    CloseConnection(connection, closed);
    jsCtx_Destroy(js);
    natsOptions_Destroy(options);
    for (natsMsg* m : retry) natsMsg_Destroy(m);
  }

  bool Connected() const { return connection && natsConnection_Status(connection) == NATS_CONN_STATUS_CONNECTED; }
};

StreamPublisher::StreamPublisher(StreamOptions options, RecordQueue& queue, OperatorLog& log, ServerMetrics* metrics)
    : options_(std::move(options)), queue_(queue), metrics_(metrics), idPrefix_(MessageIdPrefix()) {
  report_.SetReport(&log);
}

StreamPublisher::~StreamPublisher() { Stop(std::chrono::milliseconds(0)); }

void StreamPublisher::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Execute(); });
}

std::size_t StreamPublisher::Stop(std::chrono::milliseconds drain) {
  if (!thread_.joinable()) return 0;
  if (drain.count() > 0) {
    // The thread publishes what is queued before it looks at the stop request.
    draining_ = true;
    const auto until = std::chrono::steady_clock::now() + drain;
    while (Pending() > 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop_ = true;
  SetNamedEvent(StreamEventName);
  thread_.join();
  const std::size_t lost = Pending();
  if (lost > 0) report_.OutputReport("Stream stopped, records not acknowledged: " + std::to_string(lost));
  queue_.Clear();
  // Closing the connection hands nothing back: what it held is counted as lost above.
  closing_ = true;
  nats_.reset();
  inFlight_ = 0;
  return lost;
}

void StreamPublisher::Execute() {
  const auto event = CreateNamedEvent(StreamEventName);
  report_.OutputReport("Thread for stream started, waitng for data");
  while (!stop_) {
    event->Wait(aTimeOut);
    event->Reset();
    ReportDrops();
    if (!Ready()) continue;
    Drain(std::chrono::steady_clock::now() + aTimeOut);
  }
}

bool StreamPublisher::Ready() {
  if (!nats_) {
    nats_ = std::make_unique<Nats>(*this);
    natsStatus s = OpenConnection(
        &nats_->connection, &nats_->options, options_.url,
        {.lost = [](natsConnection*, void* self) { static_cast<StreamPublisher*>(self)->Lost(); },
         .returned = [](natsConnection*, void* self) { static_cast<StreamPublisher*>(self)->Returned(); },
         .closure = this,
         .closed = &nats_->closed});
    if (s == NATS_NOT_YET_CONNECTED) {
      report_.OutputReport("Stream server " + options_.url + " not reachable, connecting in the background");
      s = NATS_OK;
    }
    if (s == NATS_OK) {
      jsOptions jo;
      jsOptions_Init(&jo);
      jo.PublishAsync.MaxPending = static_cast<int64_t>(options_.window);
      jo.PublishAsync.AckHandlerClosure = nats_.get();
      jo.PublishAsync.AckHandler = [](jsCtx*, natsMsg* msg, jsPubAck* pa, jsPubAckErr* pae, void* closure) {
        auto& n = *static_cast<Nats*>(closure);
        if (pa && !pae) {
          n.owner.inFlight_.fetch_sub(1, std::memory_order_relaxed);
          n.owner.acknowledged_.fetch_add(1, std::memory_order_relaxed);
          if (n.owner.metrics_) n.owner.metrics_->streamAcknowledged.Add();
          natsMsg_Destroy(msg);
          return;
        }
        // Refused or not answered: the same message, with its ID, goes again.
        std::lock_guard lock(n.retryMutex);
        n.retry.push_back(msg);
      };
      s = natsConnection_JetStream(&nats_->js, nats_->connection, &jo);
    }
    if (s != NATS_OK) {
      report_.OutputReport("Could not open stream " + options_.url + ": " + StatusText(s));
      nats_.reset();
      // No retry storm: the next attempt comes with the next wake-up of a full wait.
      return false;
    }
    if (nats_->Connected()) report_.OutputReport("Stream connected, " + options_.url);
  }
  if (!nats_->Connected()) return false;
  if (!streamChecked_) streamChecked_ = EnsureStream(nats_->js, options_, report_);
  return streamChecked_;
}

void StreamPublisher::Drain(std::chrono::steady_clock::time_point until) {
  for (;;) {
    bool more = false;
    {
      std::lock_guard lock(nats_->retryMutex);
      more = !nats_->retry.empty();
    }
    if (!more && queue_.Size() == 0) return;
    if (!PublishWindow()) return;
    if ((stop_ && !draining_) || std::chrono::steady_clock::now() >= until) return;
  }
}

bool StreamPublisher::PublishWindow() {
  std::deque<natsMsg*> again;
  {
    std::lock_guard lock(nats_->retryMutex);
    again.swap(nats_->retry);
  }
  const std::size_t resent = again.size();
  if (metrics_) metrics_->streamResent.Add(resent);
  while (!again.empty()) {
    natsMsg* m = again.front();
    if (js_PublishMsgAsync(nats_->js, &m, nullptr) != NATS_OK) {
      // Still ours: back to the front, with everything after it.
      std::lock_guard lock(nats_->retryMutex);
      nats_->retry.insert(nats_->retry.begin(), again.begin(), again.end());
      return false;
    }
    again.pop_front();
  }
  if (resent < options_.window) {
    // Counted in flight before they leave the queue, so that Pending() never reads less
    // than what is really outstanding while the window is taken and published.
    const std::size_t room = options_.window - resent;
    inFlight_.fetch_add(room, std::memory_order_relaxed);
    queue_.Take(batch_, room);
    inFlight_.fetch_sub(room - batch_.size(), std::memory_order_relaxed);
  } else {
    batch_.clear();
  }
  for (std::size_t i = 0; i < batch_.size(); ++i) {
    const TNTMobile& r = batch_[i];
    natsMsg* m = nullptr;
    const std::string subject = RecordSubject(options_.subject, r.Rec.ID.view());
    const std::string id = idPrefix_ + "-" + std::to_string(sequence_ + 1);
    natsStatus s = natsMsg_Create(&m, subject.c_str(), nullptr, reinterpret_cast<const char*>(&r.Rec),
                                  static_cast<int>(sizeof r.Rec));
    if (s == NATS_OK) s = natsMsgHeader_Set(m, "Nats-Msg-Id", id.c_str());
    if (s == NATS_OK && r.dataFrame) s = natsMsgHeader_Set(m, FrameHeader, "D");
    if (s == NATS_OK) s = js_PublishMsgAsync(nats_->js, &m, nullptr);
    natsMsg_Destroy(m);  // nothing when the library took it
    if (s != NATS_OK) {
      // Not handed over: this record and the rest wait in the queue, ahead of newer ones.
      std::vector<TNTMobile> rest(batch_.begin() + static_cast<std::ptrdiff_t>(i), batch_.end());
      queue_.Requeue(rest);
      inFlight_.fetch_sub(batch_.size() - i, std::memory_order_relaxed);
      return false;
    }
    ++sequence_;
    if (metrics_) metrics_->streamPublished.Add();
  }
  jsPubOptions po;
  jsPubOptions_Init(&po);
  po.MaxWait = options_.ackWait.count();
  if (js_PublishAsyncComplete(nats_->js, &po) == NATS_OK) return true;
  // Acknowledgements missing: the messages go again with their IDs, and those the stream
  // already holds are not stored twice.
  bool held = false;  // whether the library still holds some: its call fails on an empty list
  {
    std::lock_guard lock(nats_->retryMutex);
    held = inFlight_.load() > nats_->retry.size();
  }
  natsMsgList pending{};
  if (held && js_PublishAsyncGetPendingList(&pending, nats_->js) == NATS_OK) {
    std::lock_guard lock(nats_->retryMutex);
    for (int k = 0; k < pending.Count; ++k) {
      nats_->retry.push_back(pending.Msgs[k]);
      pending.Msgs[k] = nullptr;
    }
    natsMsgList_Destroy(&pending);
  }
  return nats_->Connected();
}

void StreamPublisher::ReportDrops() {
  if (const std::size_t n = queue_.TakeDropped()) {
    report_.OutputReport("Stream queue limit reached, oldest records dropped: " + std::to_string(n));
    if (metrics_) metrics_->streamDropped.Add(n);
  }
}

void StreamPublisher::Lost() {
  if (closing_ || down_.exchange(true)) return;
  report_.OutputReport("Stream disconnected");
}

void StreamPublisher::Returned() {
  if (!down_.exchange(false)) return;
  report_.OutputReport("Stream reconnected");
  SetNamedEvent(StreamEventName);
}

}  // namespace telvaro
