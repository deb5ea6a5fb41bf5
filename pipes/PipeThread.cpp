#include "pipes/PipeThread.h"

#include <sys/socket.h>

#include <cerrno>
#include <new>
#include <system_error>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace telvaro {
namespace {

/// Errors by which a client that simply left shows up.
bool ClientLeft(int err) { return err == 0 || err == EPIPE || err == ECONNRESET; }

/// The error code that an exception escaping a worker ends its connection with.
int ErrorOf(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (const std::system_error& s) {
    return s.code().value();
  } catch (...) {
    return EIO;
  }
}

}  // namespace

void TPipeInfo::Post(void (TPipeThread::*action)()) const {
  asio::post(io, [w = worker, action] {
    if (const auto t = w.lock()) ((*t).*action)();
  });
}

void TPipeThread::Signal::Notify() {
  notified_ = true;
  timer_.cancel();
}

asio::awaitable<void> TPipeThread::Signal::Wait() {
  if (!notified_) {
    timer_.expires_at(asio::steady_timer::time_point::max());
    std::error_code ec;
    co_await timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  notified_ = false;
}

TPipeThread::TPipeThread(asio::posix::stream_descriptor socket, const TPipeThreadSetup& setup, TPipeEvents& events)
    : events_(events),
      wantSent_(setup.wantSent),
      socket_(std::move(socket)),
      reader_(setup.tempDir, setup.messageLimit),
      handled_(socket_.get_executor()),
      work_(socket_.get_executor()) {}

std::shared_ptr<TPipeThread> TPipeThread::Start(asio::posix::stream_descriptor socket, const TPipeThreadSetup& setup,
                                                TPipeEvents& events) {
  auto t = std::make_shared<TPipeThread>(std::move(socket), setup, events);
  t->info_ = std::make_shared<TPipeInfo>(static_cast<PipeHandle>(t->socket_.native_handle()), setup.queueLimit,
                                         t->socket_.get_executor(), t);
  t->Spawn(t->Reader());
  t->Spawn(t->Writer());
  return t;
}

void TPipeThread::Spawn(asio::awaitable<void> body) {
  asio::co_spawn(socket_.get_executor(), std::move(body), [self = shared_from_this()](std::exception_ptr e) {
    if (e) self->End(ErrorOf(e));
  });
}

void TPipeThread::Resume() { handled_.Notify(); }

void TPipeThread::Wake() { work_.Notify(); }

void TPipeThread::Overflow() {
  if (ended_) return;
  events_.Overflowed(info_);
  End(0);
}

asio::awaitable<void> TPipeThread::Reader() {
  co_await handled_.Wait();  // the connect handler
  while (!ended_) {
    ReadStep step = reader_.Read(socket_.native_handle());
    switch (step.kind) {
      case ReadStep::Kind::Message:
        events_.Received(info_, std::move(step.message));
        co_await handled_.Wait();
        break;
      case ReadStep::Kind::Wait:
        co_await WaitFor(asio::posix::descriptor_base::wait_read);
        break;
      case ReadStep::Kind::End:
        End(step.error);
        break;
      case ReadStep::Kind::TooLong:
        events_.TooLong(info_);
        End(0);
        break;
    }
  }
}

asio::awaitable<void> TPipeThread::Writer() {
  std::vector<std::uint32_t> sizes;
  while (!ended_) {
    const WriteStep step = writer_.Write(socket_.native_handle(), info_->queue, sizes);
    switch (step.kind) {
      case WriteStep::Kind::Sent:
        if (wantSent_)
          for (const std::uint32_t size : sizes) events_.Sent(info_, size);
        break;
      case WriteStep::Kind::Idle:
        co_await work_.Wait();
        break;
      case WriteStep::Kind::Wait:
        co_await WaitFor(asio::posix::descriptor_base::wait_write);
        break;
      case WriteStep::Kind::Failed:
        End(step.error);
        break;
    }
  }
}

asio::awaitable<void> TPipeThread::WaitFor(asio::posix::descriptor_base::wait_type what) {
  std::error_code ec;
  co_await socket_.async_wait(what, asio::redirect_error(asio::use_awaitable, ec));
}

void TPipeThread::End(int error) {
  if (ended_) return;
  ended_ = true;
  info_->queue.Close();
  writer_.Clear();
  std::error_code ec;
  socket_.cancel(ec);
  ::shutdown(socket_.native_handle(), SHUT_RDWR);
  // Both coroutines wake, find the connection ended and return.
  handled_.Notify();
  work_.Notify();
  if (!ClientLeft(error)) events_.Failed(info_, error);
  events_.Ended(info_);
}

void TPipeThread::Close() noexcept {
  std::error_code ec;
  socket_.close(ec);
}

}  // namespace telvaro
