#include "shell/ConsoleFrontEnd.h"

#include <chrono>

namespace telvaro {
namespace {

/// How long one wait of a logger or of Drain lasts before it looks again.
constexpr auto WaitStep = std::chrono::milliseconds(100);

}  // namespace

ConsoleFrontEnd::ConsoleFrontEnd(OperatorLog& log, std::FILE* out, std::FILE* err)
    : log_(log), out_(out), err_(err), writer_([this] { Run(); }) {
  log_.AddObserver(this);
}

ConsoleFrontEnd::~ConsoleFrontEnd() {
  log_.RemoveObserver(this);
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  writer_.join();
}

void ConsoleFrontEnd::ShowMessage(std::string_view text) {
  Drain();
  std::string line;
  line.reserve(text.size() + 8);
  line.append("Error: ").append(text) += '\n';
  std::fwrite(line.data(), 1, line.size(), err_);
  std::fflush(err_);
}

void ConsoleFrontEnd::LineAppended(std::string_view line) { Queue({}, line); }

void ConsoleFrontEnd::LabelChanged(std::string_view text) { Queue("== label: ", text); }

void ConsoleFrontEnd::PanelChanged(int panel, std::string_view text) {
  char prefix[32];
  const int n = std::snprintf(prefix, sizeof prefix, "== panel %d: ", panel);
  Queue(std::string_view(prefix, static_cast<std::size_t>(n)), text);
}

void ConsoleFrontEnd::Queue(std::string_view prefix, std::string_view text) {
  std::unique_lock lock(mutex_);
  // Back-pressure rather than a lost line when the console cannot keep up.
  while (pending_.size() > PendingLimit && !stop_) written_.wait_for(lock, WaitStep);
  const bool first = pending_.empty();
  pending_.append(prefix).append(text) += '\n';
  if (first) {
    ++queued_;
    lock.unlock();
    wake_.notify_one();
  }
}

void ConsoleFrontEnd::Drain() {
  std::unique_lock lock(mutex_);
  const std::uint64_t target = queued_;
  while (done_ < target) written_.wait_for(lock, WaitStep);
}

void ConsoleFrontEnd::Run() {
  // Two buffers that swap: the lines queue in one while the other is written, and
  // both keep their capacity, so steady logging allocates nothing.
  std::string batch;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (pending_.empty()) {
      if (stop_) return;  // everything written
      wake_.wait_for(lock, WaitStep);
      continue;
    }
    batch.swap(pending_);
    const std::uint64_t upTo = queued_;
    lock.unlock();
    // One write per batch keeps lines whole when standard output is shared, and a
    // reader (a service manager, a pipe) sees them as soon as the writer gets to them.
    std::fwrite(batch.data(), 1, batch.size(), out_);
    std::fflush(out_);
    batch.clear();
    lock.lock();
    done_ = upTo;
    written_.notify_all();
  }
}

}  // namespace telvaro
