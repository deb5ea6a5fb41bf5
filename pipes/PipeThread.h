#pragma once
// One client of a pipe server: what every thread of the server shares of it
// (TPipeInfo), and its worker on the pipe I/O thread (TPipeThread): a reader that hands
// each complete message over and waits until its handler has run, and a writer that
// empties the client's write queue whenever it is woken.

#include <cstdint>
#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "pipes/PipeFraming.h"
#include "pipes/PipeReader.h"
#include "pipes/PipeTypes.h"
#include "pipes/PipeWriter.h"
#include "pipes/WriteQueue.h"

namespace telvaro {

class TPipeThread;

/// A connected client as the server's threads share it.
struct TPipeInfo {
  TPipeInfo(PipeHandle pipe, std::uint64_t queueLimit, asio::any_io_executor io, std::weak_ptr<TPipeThread> worker)
      : pipe(pipe), queue(queueLimit), io(std::move(io)), worker(std::move(worker)) {}

  /// Runs `action` of the client's worker on the pipe I/O thread, unless the worker is
  /// gone by then. Any thread, while the pipe I/O thread's context exists.
  void Post(void (TPipeThread::*action)()) const;

  const PipeHandle pipe;                    ///< the socket descriptor
  TWriteQueue queue;                        ///< any thread
  const asio::any_io_executor io;           ///< the pipe I/O thread
  const std::weak_ptr<TPipeThread> worker;  ///< locked on the pipe I/O thread only
  bool listed = false;                      ///< main loop only: announced and not yet removed
};

/// What a client's worker tells its server. Every call comes on the pipe I/O thread.
class TPipeEvents {
 public:
  /// A complete message; the reader waits for Resume.
  virtual void Received(const std::shared_ptr<TPipeInfo>& client, TPipeStream message) = 0;
  /// A message of `size` bytes went out (only when asked for at the worker's start).
  virtual void Sent(const std::shared_ptr<TPipeInfo>& client, std::uint32_t size) = 0;
  /// The client's write queue passed its bound; the connection ends next.
  virtual void Overflowed(const std::shared_ptr<TPipeInfo>& client) = 0;
  /// The client sent a message past the message limit; the connection ends next.
  virtual void TooLong(const std::shared_ptr<TPipeInfo>& client) = 0;
  /// The connection failed with an operating-system error; Ended follows.
  virtual void Failed(const std::shared_ptr<TPipeInfo>& client, int error) = 0;
  /// Nothing more is read or written; the socket stays open until Close.
  virtual void Ended(const std::shared_ptr<TPipeInfo>& client) = 0;

 protected:
  ~TPipeEvents() = default;
};

/// What every worker of one activation shares.
struct TPipeThreadSetup {
  std::string tempDir;       ///< where long messages are put together
  std::uint64_t queueLimit;  ///< bytes a client's write queue may hold
  std::uint64_t messageLimit;  ///< bytes of one message a client may send
  bool wantSent;             ///< report every message that went out
};

/// Touched on the pipe I/O thread only (or on the thread that stopped it).
class TPipeThread : public std::enable_shared_from_this<TPipeThread> {
 public:
  /// Serves the accepted `socket`: the writer runs at once, the reader from the first
  /// Resume, when the connect handler has run.
  static std::shared_ptr<TPipeThread> Start(asio::posix::stream_descriptor socket, const TPipeThreadSetup& setup,
                                            TPipeEvents& events);
  /// For Start.
  TPipeThread(asio::posix::stream_descriptor socket, const TPipeThreadSetup& setup, TPipeEvents& events);

  /// What the server's other threads share of this client.
  const std::shared_ptr<TPipeInfo>& Info() const noexcept { return info_; }

  // Actions that other threads post through TPipeInfo::Post.
  /// The handler of the connection or of the last message has run: read on.
  void Resume();
  /// The write queue has messages for a waiting writer.
  void Wake();
  /// The write queue passed its bound: report it and end the connection.
  void Overflow();

  /// Closes the socket once the server no longer lists the client, or once the pipe
  /// I/O thread has ended; its descriptor number may be reused from then on.
  void Close() noexcept;

 private:
  /// A wake-up for one waiting coroutine; a Notify before the Wait is kept for it.
  class Signal {
   public:
    explicit Signal(const asio::any_io_executor& io) : timer_(io) {}
    /// Ends the current Wait, or the next one.
    void Notify();
    /// Returns once notified.
    asio::awaitable<void> Wait();

   private:
    asio::steady_timer timer_;
    bool notified_ = false;
  };

  /// Ends the connection: nothing more is read or written, the queue is dropped, and
  /// the server is told (Failed unless the client simply left, then Ended).
  void End(int error);
  /// Reads the client's messages and hands each over, one at a time.
  asio::awaitable<void> Reader();
  /// Sends what the write queue holds whenever it has some.
  asio::awaitable<void> Writer();
  /// Waits until the socket is ready for `what`, or the connection ends.
  asio::awaitable<void> WaitFor(asio::posix::descriptor_base::wait_type what);
  /// Runs `body` on the pipe I/O thread; an exception escaping it ends the connection.
  void Spawn(asio::awaitable<void> body);

  TPipeEvents& events_;
  const bool wantSent_;
  asio::posix::stream_descriptor socket_;
  std::shared_ptr<TPipeInfo> info_;
  bool ended_ = false;
  // Reading.
  TPipeReader reader_;
  Signal handled_;  ///< the reader waits here for the main loop's handler
  // Writing.
  TPipeWriter writer_;
  Signal work_;  ///< the writer waits here for queued messages
};

}  // namespace telvaro
