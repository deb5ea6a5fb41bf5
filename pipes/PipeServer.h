#pragma once
// The message pipe server of the operator channels: a named local endpoint (a Unix-domain
// SOCK_SEQPACKET socket at DIR/NAME) that many dispatch applications connect to.
// Socket I/O runs on a pipe I/O thread of the server (TPipeListenThread, TPipeThread);
// every event is handed to the main loop and runs there, in order per client, and a
// client's reading waits until its event handler has run. Any thread may queue bytes
// for a client with Write.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include <asio/io_context.hpp>

#include "pipes/PipeFraming.h"
#include "pipes/PipeTypes.h"

namespace telvaro {

class OperatorLog;
struct TPipeInfo;

/// Longest accepted pipe name, in characters.
inline constexpr std::size_t MAX_NAME = 256;

/// Where a pipe server makes its socket and how much it holds for a client.
struct TPipeOptions {
  std::string dir = "/tmp";                  ///< directory of the socket file
  std::uint32_t mode = 0666;                 ///< mode of the socket file
  std::uint64_t queueLimit = 256ull << 20;   ///< bytes queued per client before it is dropped
  std::uint64_t messageLimit = 64ull << 20;  ///< bytes of one message a client may send

  bool operator==(const TPipeOptions&) const = default;
};

/// The socket path of the pipe `name` in `dir`. Servers and clients share it, so both
/// always meet at the same file.
std::string PipeSocketPath(const std::string& dir, const std::string& name);

class TPipeServer {
 public:
  using ConnectHandler = std::function<void(TPipeServer& sender, PipeHandle pipe)>;
  using MessageHandler = std::function<void(TPipeServer& sender, PipeHandle pipe, TPipeStream& stream)>;
  using SentHandler = std::function<void(TPipeServer& sender, PipeHandle pipe, std::uint32_t size)>;
  using ErrorHandler =
      std::function<void(TPipeServer& sender, PipeHandle pipe, TPipeContext context, int errorCode)>;
  using HandlerErrorHandler = std::function<void(TPipeServer& sender, const std::string& message)>;

  /// Events are delivered on `mainLoop`, which must be run by one thread; the server is
  /// used on that thread except where a member says otherwise.
  explicit TPipeServer(asio::io_context& mainLoop, TPipeOptions options = {});
  /// Deactivates without raising OnPipeDisconnect.
  ~TPipeServer();
  TPipeServer(const TPipeServer&) = delete;
  TPipeServer& operator=(const TPipeServer&) = delete;

  /// Any thread; it cannot change while the server is active.
  const std::string& PipeName() const noexcept { return pipeName_; }
  /// Throws EPipeException "Cannot change property while server is active!" while active,
  /// "Invalid pipe name specified!" for an empty name, one with "\" or "/", or one over
  /// MAX_NAME characters.
  void SetPipeName(const std::string& value);
  /// Throws EPipeException "Cannot change property while server is active!" while active.
  void SetOptions(const TPipeOptions& value);

  bool Active() const noexcept { return state_ != State::Inactive; }
  /// Activation binds DIR/NAME (a stale socket file is replaced) and throws
  /// EPipeException when that fails or a live server owns the name. Deactivation
  /// disconnects every client and removes the socket file; asked from inside an event
  /// handler of this server, it happens once that handler has returned.
  void SetActive(bool value);

  /// Connected clients (any thread).
  int ClientCount() const;
  /// The pipes of all clients at one instant, earliest connected first (any thread).
  std::vector<PipeHandle> ClientList() const;
  /// Clients disconnected at their queue bound since the server was made (any thread).
  std::uint64_t DroppedClients() const noexcept { return droppedClients_.load(std::memory_order_relaxed); }

  /// Queues a copy of `data` for `pipe` (any thread); messages over MAX_BUFFER bytes are
  /// framed. False when `pipe` is not a connected client, or when the client's queue
  /// would pass its bound: that client is then disconnected and the line logged.
  bool Write(PipeHandle pipe, PipeBytes data);

  /// Lines of the server itself (a client dropped at its queue bound, a handler error
  /// when OnHandlerError is not set) go to `log`.
  void SetReport(OperatorLog* log) noexcept { report_ = log; }

  ConnectHandler OnPipeConnect;     ///< a client connected; it is already counted
  ConnectHandler OnPipeDisconnect;  ///< a client left; it is no longer counted
  MessageHandler OnPipeMessage;     ///< one complete message, positioned at 0
  SentHandler OnPipeSent;           ///< a message went out; only when set at activation
  ErrorHandler OnPipeError;         ///< an operating-system error; never for a client leaving
  /// An exception escaped one of the handlers above; the server carries on.
  HandlerErrorHandler OnHandlerError;

 private:
  class Activation;

  enum class State {
    Inactive,
    Active,
    StopAsked,  ///< deactivation asked from a handler; it runs when the handler returns
    Stopping,   ///< deactivating: the disconnect events are being delivered
  };

  void Deactivate(bool announce);
  /// Runs one event handler, catching what escapes it; then a deactivation it asked for.
  template <typename F>
  void Deliver(F&& handler);
  void HandlerFailed(const std::string& message);

  // What the pipe I/O thread hands to the main loop, for a client of the activation `a`.
  void Connected(Activation& a, const std::shared_ptr<TPipeInfo>& c);
  void Received(Activation& a, const std::shared_ptr<TPipeInfo>& c, TPipeStream& stream);
  void Sent(const std::shared_ptr<TPipeInfo>& c, std::uint32_t size);
  void Failed(PipeHandle pipe, TPipeContext context, int error);
  void Ended(Activation& a, const std::shared_ptr<TPipeInfo>& c);

  /// The client of `pipe`, or null; with clientsLock_ held.
  std::shared_ptr<TPipeInfo> FindLocked(PipeHandle pipe) const;

  // Main loop only.
  asio::io_context& main_;
  std::string pipeName_ = "PipeServer";
  TPipeOptions options_;
  OperatorLog* report_ = nullptr;
  State state_ = State::Inactive;
  int handlerDepth_ = 0;  ///< handlers of this server running now
  std::shared_ptr<Activation> activation_;

  /// Guards clients_, which the main loop changes and any thread reads. While a thread
  /// holds it, the pipe I/O thread's context of every listed client exists.
  mutable std::shared_mutex clientsLock_;
  std::vector<std::shared_ptr<TPipeInfo>> clients_;  ///< in order of connection
  std::atomic<std::uint64_t> droppedClients_{0};
};

}  // namespace telvaro
