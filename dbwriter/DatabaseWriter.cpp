#include "dbwriter/DatabaseWriter.h"

#include "queues/NamedEvent.h"

namespace telvaro {
namespace {

/// Observes the time of one transaction, however it ends.
class TransactionTimer {
 public:
  explicit TransactionTimer(ServerMetrics* metrics) noexcept
      : histogram_(metrics ? &metrics->dbWriteSeconds : nullptr),
        start_(histogram_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{}) {}
  ~TransactionTimer() {
    if (histogram_)
      histogram_->Observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
  }
  TransactionTimer(const TransactionTimer&) = delete;
  TransactionTimer& operator=(const TransactionTimer&) = delete;

 private:
  Histogram* histogram_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace

TMobilesThread::TMobilesThread(CentralDatabase& db, RecordQueue& mobiles, const TSettings& settings)
    : db_(db), mobiles_(mobiles), settings_(settings) {}

TMobilesThread::~TMobilesThread() { Stop(); }

void TMobilesThread::Start() {
  stop_ = std::stop_source();
  running_ = true;
  thread_ = std::thread([this] { Execute(); });
}

void TMobilesThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TMobilesThread::Stop() {
  Terminate();
  WaitFor();
}

void TMobilesThread::Execute() {
  try {
    const auto event = CreateNamedEvent(DBEventName);
    // A stop request wakes the wait at once.
    const std::stop_callback wake(stop_.get_token(), [&event] { event->Set(); });
    report_.OutputReport("Thread for DB started, waitng for data");
    while (!stop_.stop_requested()) {
      event->Wait(aTimeOut);
      event->Reset();
      ReportDrops();
      // Records are looked for on every wake-up, time-outs included, so that what
      // waited through an outage is written as soon as the connection is back.
      const bool haveWork = mobiles_.Size() > 0;
      const bool connected = EnsureConnected(haveWork);
      if (metrics_) metrics_->dbConnected.Set(connected ? 1 : 0);
      if (!connected) continue;
      if (haveWork) Drain();
    }
  } catch (const std::exception& e) {
    report_.OutputReport(std::string("Error in DB thread: ") + e.what());
  } catch (...) {
    report_.OutputReport("Error in DB thread");
  }
  report_.OutputReport("Thread for DB ended");
  running_ = false;
  if (onTerminate_) onTerminate_();
}

void TMobilesThread::SetDown() {
  if (metrics_) metrics_->dbConnected.Set(0);
  if (down_) return;
  down_ = true;
  reconnectLogged_ = false;
  nextReconnect_ = std::chrono::steady_clock::now();
  report_.OutputReport("DB disconnected");
  if (log_) log_->SetPanel(0, "No database");
}

void TMobilesThread::SetUp() {
  down_ = false;
  report_.OutputReport("DB reconnected");
  if (log_) log_->SetPanel(0, "DB:" + db_.DatabaseName());
}

bool TMobilesThread::EnsureConnected(bool haveWork) {
  if (db_.Connected()) {
    if (down_) SetUp();
    return true;
  }
  if (haveWork) SetDown();
  // Until start-up has given the connection string there is nothing to reopen.
  if (!db_.Configured()) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now < nextReconnect_) return false;
  nextReconnect_ = now + std::chrono::seconds(settings_.ReconnectSec);
  try {
    db_.Reopen(stop_.get_token());
  } catch (const std::exception& e) {
    if (stop_.stop_requested()) return false;
    if (!reconnectLogged_) report_.OutputReport(std::string("Could not reconnect to DB: ") + e.what());
    reconnectLogged_ = true;
    return false;
  }
  SetUp();
  return true;
}

void TMobilesThread::ReportDrops() {
  if (const std::size_t n = mobiles_.TakeDropped()) {
    report_.OutputReport("DB queue limit reached, oldest records dropped: " + std::to_string(n));
    if (metrics_) metrics_->dbRecordsDropped.Add(n);
  }
}

void TMobilesThread::Drain() {
  while (!stop_.stop_requested()) {
    mobiles_.Take(batch_, MaxTransaction);
    if (batch_.empty()) return;
    converted_.clear();
    origin_.clear();
    for (std::size_t i = 0; i < batch_.size(); ++i) {
      if (!(batch_[i].Rec.GNSS.UTC > 0)) continue;  // no fix: not stored
      converted_.push_back(MobileFromRecord(batch_[i], settings_));
      origin_.push_back(i);
    }
    const std::size_t done = WriteBatch(converted_);
    if (done < converted_.size()) {
      // The connection broke: what is not written goes back ahead of newer records.
      std::vector<TNTMobile> rest(batch_.begin() + static_cast<std::ptrdiff_t>(origin_[done]), batch_.end());
      mobiles_.Requeue(rest);
      SetDown();
      return;
    }
  }
}

std::size_t TMobilesThread::WriteBatch(std::span<const TMobile> mobiles) {
  if (mobiles.empty()) return 0;
  try {
    {
      TransactionTimer timer(metrics_);
      db_.WriteTransaction(mobiles);
    }
    if (metrics_) metrics_->dbRecordsWritten.Add(mobiles.size());
    return mobiles.size();
  } catch (const DatabaseError& e) {
    // Nothing of the transaction was stored.
    if (e.ConnectionLost() || !db_.Connected()) return 0;
  }
  // Something was rejected: one transaction per record finds exactly which.
  for (std::size_t k = 0; k < mobiles.size(); ++k) {
    if (!WriteToDB(mobiles[k])) return k;
  }
  return mobiles.size();
}

bool TMobilesThread::WriteToDB(const TMobile& mobile) {
  if (!db_.Connected()) return false;
  if (mobile.FNotForMainTable) {
    {
      TransactionTimer timer(metrics_);
      db_.AddObject(mobile);
    }
    if (!db_.Connected()) return false;
    if (metrics_) metrics_->dbRecordsWritten.Add();
    return true;
  }
  try {
    {
      TransactionTimer timer(metrics_);
      db_.AddMobile(mobile);
    }
    if (metrics_) metrics_->dbRecordsWritten.Add();
  } catch (const DatabaseError& e) {
    if (e.ConnectionLost() || !db_.Connected()) return false;
    report_.OutputReport(std::string("Error  writing  to DB  ") + e.what());
    if (metrics_) metrics_->dbRecordsDropped.Add();
  }
  return true;
}

}  // namespace telvaro
