#include "pipes/PipeServer.h"

#include <algorithm>
#include <map>
#include <mutex>

#include <asio/post.hpp>

#include "base/OperatorLog.h"
#include "pipes/PipeListenThread.h"
#include "pipes/PipeThread.h"

namespace telvaro {

/// One activation: the listener and its pipe I/O thread, the workers of the clients it
/// accepted, and the hand-over of their events to the main loop. An event reaches the
/// server only while its activation exists.
class TPipeServer::Activation final : public std::enable_shared_from_this<Activation>, public TPipeEvents {
 public:
  /// Binds the socket file (main loop); throws EPipeException.
  Activation(TPipeServer& server, const std::string& path)
      : server_(server),
        name_(server.pipeName_),
        report_(server.report_),
        setup_{TempDirectory(), server.options_.queueLimit, server.options_.messageLimit,
               static_cast<bool>(server.OnPipeSent)},
        listener_(path, server.options_.mode) {}
  ~Activation() { Stop(); }

  /// Starts accepting on the pipe I/O thread (main loop).
  void Start() {
    listener_.Start([this](asio::posix::stream_descriptor socket) { Accepted(std::move(socket)); },
                    [this](int error) {
                      ToMain([pipe = listener_.Handle(), error](TPipeServer& s, Activation&) {
                        s.Failed(pipe, pcListener, error);
                      });
                    });
  }

  /// Ends the pipe I/O thread and closes every socket (main loop). Events it had handed
  /// over and that have not run yet come to nothing, since they find the activation gone.
  void Stop() {
    listener_.Stop();
    for (auto& [pipe, worker] : workers_) worker->Close();
    workers_.clear();
  }

  /// Closes the socket of a client the main loop has removed (main loop).
  void Release(const std::shared_ptr<TPipeInfo>& c) {
    asio::post(listener_.Io(), [this, c] {
      const auto it = workers_.find(c->pipe);
      if (it == workers_.end() || it->second->Info() != c) return;
      it->second->Close();
      workers_.erase(it);
    });
  }

 private:
  // Pipe I/O thread.
  void Accepted(asio::posix::stream_descriptor socket) {
    const auto worker = TPipeThread::Start(std::move(socket), setup_, *this);
    const auto& c = worker->Info();
    workers_.emplace(c->pipe, worker);
    ToMain([c](TPipeServer& s, Activation& a) { s.Connected(a, c); });
  }
  void Received(const std::shared_ptr<TPipeInfo>& c, TPipeStream message) override {
    ToMain([c, m = std::move(message)](TPipeServer& s, Activation& a) mutable { s.Received(a, c, m); });
  }
  void Sent(const std::shared_ptr<TPipeInfo>& c, std::uint32_t size) override {
    ToMain([c, size](TPipeServer& s, Activation&) { s.Sent(c, size); });
  }
  void Overflowed(const std::shared_ptr<TPipeInfo>& c) override {
    if (report_)
      report_->Append("Pipe client " + std::to_string(c->pipe) + " of " + name_ + " disconnected: more than " +
                      std::to_string(setup_.queueLimit) + " bytes queued");
  }
  void TooLong(const std::shared_ptr<TPipeInfo>& c) override {
    if (report_)
      report_->Append("Pipe client " + std::to_string(c->pipe) + " of " + name_ +
                      " disconnected: a message of more than " + std::to_string(setup_.messageLimit) + " bytes");
  }
  void Failed(const std::shared_ptr<TPipeInfo>& c, int error) override {
    ToMain([pipe = c->pipe, error](TPipeServer& s, Activation&) { s.Failed(pipe, pcWorker, error); });
  }
  void Ended(const std::shared_ptr<TPipeInfo>& c) override {
    ToMain([c](TPipeServer& s, Activation& a) { s.Ended(a, c); });
  }

  /// Runs `f` on the main loop while this activation still exists.
  template <typename F>
  void ToMain(F&& f) {
    asio::post(server_.main_, [w = weak_from_this(), f = std::forward<F>(f)]() mutable {
      if (const auto a = w.lock()) f(a->server_, *a);
    });
  }

  // Set on the main loop before the pipe I/O thread starts; read by both.
  TPipeServer& server_;  ///< used on the main loop only
  const std::string name_;
  OperatorLog* const report_;
  const TPipeThreadSetup setup_;
  TPipeListenThread listener_;
  // Pipe I/O thread only (main loop once the thread has ended): every client whose
  // socket is open.
  std::map<PipeHandle, std::shared_ptr<TPipeThread>> workers_;
};

std::string PipeSocketPath(const std::string& dir, const std::string& name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  return path + name;
}

TPipeServer::TPipeServer(asio::io_context& mainLoop, TPipeOptions options)
    : main_(mainLoop), options_(std::move(options)) {}

TPipeServer::~TPipeServer() {
  if (state_ != State::Inactive && state_ != State::Stopping) Deactivate(false);
}

void TPipeServer::SetPipeName(const std::string& value) {
  if (value == pipeName_) return;
  if (Active()) throw EPipeException("Cannot change property while server is active!");
  if (value.empty() || value.size() > MAX_NAME || value.find_first_of("\\/") != std::string::npos)
    throw EPipeException("Invalid pipe name specified!");
  pipeName_ = value;
}

void TPipeServer::SetOptions(const TPipeOptions& value) {
  if (value == options_) return;
  if (Active()) throw EPipeException("Cannot change property while server is active!");
  options_ = value;
}

void TPipeServer::SetActive(bool value) {
  if (value) {
    if (state_ != State::Inactive) return;
    auto a = std::make_shared<Activation>(*this, PipeSocketPath(options_.dir, pipeName_));
    a->Start();
    activation_ = std::move(a);
    state_ = State::Active;
  } else if (state_ == State::Active) {
    if (handlerDepth_ > 0)
      state_ = State::StopAsked;
    else
      Deactivate(true);
  }
}

template <typename F>
void TPipeServer::Deliver(F&& handler) {
  ++handlerDepth_;
  try {
    handler();
  } catch (const std::exception& e) {
    HandlerFailed(e.what());
  } catch (...) {
    HandlerFailed("unknown error");
  }
  --handlerDepth_;
  if (handlerDepth_ == 0 && state_ == State::StopAsked) Deactivate(true);
}

void TPipeServer::Deactivate(bool announce) {
  state_ = State::Stopping;
  const auto a = std::move(activation_);
  a->Stop();
  for (;;) {
    std::shared_ptr<TPipeInfo> c;
    {
      std::unique_lock lock(clientsLock_);
      if (clients_.empty()) break;
      c = std::move(clients_.back());
      clients_.pop_back();
    }
    c->listed = false;
    if (announce)
      Deliver([&] {
        if (OnPipeDisconnect) OnPipeDisconnect(*this, c->pipe);
      });
  }
  state_ = State::Inactive;
}

void TPipeServer::HandlerFailed(const std::string& message) {
  try {
    if (OnHandlerError)
      OnHandlerError(*this, message);
    else if (report_)
      report_->Append("Pipe " + pipeName_ + " event handler error: " + message);
  } catch (...) {
    // Reporting must not end the delivery loop.
  }
}

void TPipeServer::Connected(Activation& a, const std::shared_ptr<TPipeInfo>& c) {
  {
    std::unique_lock lock(clientsLock_);
    clients_.push_back(c);
  }
  c->listed = true;
  Deliver([&] {
    if (OnPipeConnect) OnPipeConnect(*this, c->pipe);
  });
  if (activation_.get() == &a) c->Post(&TPipeThread::Resume);
}

void TPipeServer::Received(Activation& a, const std::shared_ptr<TPipeInfo>& c, TPipeStream& stream) {
  if (!c->listed) return;
  Deliver([&] {
    if (OnPipeMessage) OnPipeMessage(*this, c->pipe, stream);
  });
  if (activation_.get() == &a) c->Post(&TPipeThread::Resume);
}

void TPipeServer::Sent(const std::shared_ptr<TPipeInfo>& c, std::uint32_t size) {
  if (!c->listed) return;
  Deliver([&] {
    if (OnPipeSent) OnPipeSent(*this, c->pipe, size);
  });
}

void TPipeServer::Failed(PipeHandle pipe, TPipeContext context, int error) {
  Deliver([&] {
    if (OnPipeError) OnPipeError(*this, pipe, context, error);
  });
}

void TPipeServer::Ended(Activation& a, const std::shared_ptr<TPipeInfo>& c) {
  if (c->listed) {
    {
      std::unique_lock lock(clientsLock_);
      std::erase(clients_, c);
    }
    c->listed = false;
    Deliver([&] {
      if (OnPipeDisconnect) OnPipeDisconnect(*this, c->pipe);
    });
  }
  if (activation_.get() == &a) a.Release(c);
}

std::shared_ptr<TPipeInfo> TPipeServer::FindLocked(PipeHandle pipe) const {
  for (auto it = clients_.rbegin(); it != clients_.rend(); ++it)
    if ((*it)->pipe == pipe) return *it;
  return nullptr;
}

int TPipeServer::ClientCount() const {
  std::shared_lock lock(clientsLock_);
  return static_cast<int>(clients_.size());
}

std::vector<PipeHandle> TPipeServer::ClientList() const {
  std::shared_lock lock(clientsLock_);
  std::vector<PipeHandle> out;
  out.reserve(clients_.size());
  for (const auto& c : clients_) out.push_back(c->pipe);
  return out;
}

bool TPipeServer::Write(PipeHandle pipe, PipeBytes data) {
  auto items = FrameMessage(data);
  std::shared_lock lock(clientsLock_);
  const auto c = FindLocked(pipe);
  if (!c) return false;
  switch (c->queue.Push(std::move(items))) {
    case TWriteQueue::Pushed::WakeWriter:
      c->Post(&TPipeThread::Wake);
      return true;
    case TWriteQueue::Pushed::Queued:
    case TWriteQueue::Pushed::Dropped:
      return true;
    case TWriteQueue::Pushed::OverLimit:
      // Once per client: its queue stays closed after this.
      droppedClients_.fetch_add(1, std::memory_order_relaxed);
      c->Post(&TPipeThread::Overflow);
      return false;
  }
  return false;
}

}  // namespace telvaro
