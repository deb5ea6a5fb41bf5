#pragma once
// What the stream's publisher and consumers share: a connection that reconnects by
// itself, and the stream looked up or created.

#include <nats/nats.h>

#include <string>

#include "stream/StreamPublisher.h"

namespace telvaro {

/// The client library's last error text, or the status's own.
std::string StatusText(natsStatus s);

/// Connection callbacks, run on the client library's threads.
struct ConnectionEvents {
  natsConnectionHandler lost = nullptr;      ///< the connection was lost, or the first connect failed
  natsConnectionHandler returned = nullptr;  ///< connected again, or first connected in the background
  void* closure = nullptr;
};

/// Connects to `url` (comma-separated servers) with reconnects without end. A first
/// connect that fails goes on in the background: then the status is
/// NATS_NOT_YET_CONNECTED and `events.lost` has been called. `options` must be
/// destroyed after the connection.
natsStatus OpenConnection(natsConnection** connection, natsOptions** options, const std::string& url,
                          const ConnectionEvents& events);

/// Makes sure the stream `options.name` exists: used as it is when it does, created
/// with file storage, the age limit and the subjects under `options.subject` otherwise.
/// Logs what it did or why it failed.
bool EnsureStream(jsCtx* js, const StreamOptions& options, LogReporter& report);

}  // namespace telvaro
