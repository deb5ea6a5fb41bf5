#pragma once
// The server's own metric families, registered once at start-up. The edges that count
// take a pointer to it; a null pointer means the server runs without metrics.

#include <functional>

#include "base/Metrics.h"

namespace telvaro {

struct ServerMetrics {
  /// Values read when the metrics are rendered rather than counted as they change.
  struct Sources {
    std::function<double()> tasksQueued{};             ///< tasks in the task database
    std::function<double()> dataPipeClients{};         ///< clients of the data pipe
    std::function<double()> dataPipeClientsDropped{};  ///< data pipe clients dropped at their bound
    std::function<double()> dbQueueLength{};           ///< records waiting for the central database
    std::function<double()> streamPending{};           ///< records queued for the stream or unacknowledged
  };

  /// Registers every family, the process's own included; a source left empty reads 0.
  explicit ServerMetrics(Sources sources);
  ServerMetrics(const ServerMetrics&) = delete;
  ServerMetrics& operator=(const ServerMetrics&) = delete;

  MetricsRegistry registry;  ///< first: the references below point into it
  Gauge& terminalConnections;
  Counter& terminalConnectionsAccepted;
  Counter& recordsReceived;
  Counter& messagesRefused;
  Counter& commandsWritten;
  Counter& tasksExpired;
  Counter& dataPipeRecordsSent;
  Gauge& dbConnected;
  Counter& dbRecordsWritten;
  Counter& dbRecordsDropped;
  Histogram& dbWriteSeconds;
  /// From the arrival of a message (its read completing) to its records on the
  /// data-channel queue.
  Histogram& recordDelaySeconds;
  Counter& streamPublished;
  Counter& streamAcknowledged;
  Counter& streamDropped;
  Counter& streamResent;
  /// Records of the stream its database consumer has yet to take.
  Gauge& streamConsumerLag;
};

}  // namespace telvaro
