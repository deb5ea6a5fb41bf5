#pragma once
// The listener of one activation of a pipe server: the socket file at its path, the pipe
// I/O thread, and the accept loop that thread runs. The workers of the clients it
// accepts run on the same thread.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include "pipes/PipeTypes.h"

namespace telvaro {

class TPipeListenThread {
 public:
  /// Pause after a failed accept, so that a shortage of descriptors does not turn the
  /// accept loop into a busy loop.
  static constexpr auto AcceptRetryPause = std::chrono::seconds(1);

  /// A client connected: its non-blocking socket. Runs on the pipe I/O thread.
  using AcceptHandler = std::function<void(asio::posix::stream_descriptor socket)>;
  /// Accepting failed with `error`; the loop tries again after AcceptRetryPause. Runs on
  /// the pipe I/O thread.
  using ErrorHandler = std::function<void(int error)>;

  /// Binds and listens at `path`, a socket file of mode `mode` (main loop). A socket
  /// file nobody accepts on is replaced; throws EPipeException when the file cannot be
  /// made or a live server owns it.
  TPipeListenThread(std::string path, std::uint32_t mode);
  /// Stops.
  ~TPipeListenThread();
  TPipeListenThread(const TPipeListenThread&) = delete;
  TPipeListenThread& operator=(const TPipeListenThread&) = delete;

  /// The pipe I/O thread's context, for the clients' sockets and for posting to it.
  asio::io_context& Io() noexcept { return io_; }
  /// The listening socket's descriptor, the handle that accept errors show.
  PipeHandle Handle() const noexcept { return handle_; }

  /// Starts the pipe I/O thread with the accept loop (main loop, once).
  void Start(AcceptHandler onAccept, ErrorHandler onError);
  /// Ends the pipe I/O thread, closes the listening socket and removes the socket file
  /// (main loop). What was posted to the thread and has not run never runs; the sockets
  /// of its context may be closed on the calling thread from now on. Idempotent.
  void Stop();

 private:
  asio::awaitable<void> AcceptLoop();
  /// Removes the socket file unless another server has replaced it meanwhile.
  void RemoveFile() noexcept;

  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
  const std::string path_;
  PipeHandle handle_ = 0;

  // Pipe I/O thread while it runs; set before it starts and closed after it ended.
  asio::posix::stream_descriptor socket_{io_};
  asio::steady_timer retry_{io_};
  AcceptHandler onAccept_;
  ErrorHandler onError_;

  // Main loop only.
  std::thread thread_;
  bool ownsFile_ = false;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

}  // namespace telvaro
