#include "base/ServerMetrics.h"

#include <utility>

namespace telvaro {
namespace {

/// `read`, or a constant 0 when there is none.
std::function<double()> OrZero(std::function<double()> read) {
  if (read) return read;
  return [] { return 0.0; };
}

}  // namespace

ServerMetrics::ServerMetrics(Sources s)
    : terminalConnections(registry.AddGauge("telvaro_terminal_connections", "Terminal connections open now.")),
      terminalConnectionsAccepted(registry.AddCounter("telvaro_terminal_connections_accepted_total",
                                                      "Terminal connections accepted.")),
      recordsReceived(registry.AddCounter("telvaro_records_received_total", "Records decoded from terminal messages.")),
      messagesRefused(registry.AddCounter("telvaro_messages_refused_total",
                                          "Terminal messages refused; each ended its connection.")),
      commandsWritten(registry.AddCounter("telvaro_commands_written_total", "Commands written to terminals.")),
      tasksExpired(registry.AddCounter("telvaro_tasks_expired_total",
                                       "Queued tasks removed unwritten at the end of their lifetime.")),
      dataPipeRecordsSent(registry.AddCounter("telvaro_data_pipe_records_sent_total",
                                              "Records queued for data pipe clients, one per record and client.")),
      dbConnected(registry.AddGauge("telvaro_db_connected", "1 while the central database is connected.")),
      dbRecordsWritten(registry.AddCounter("telvaro_db_records_written_total",
                                           "Records written to the central database.")),
      dbRecordsDropped(registry.AddCounter("telvaro_db_records_dropped_total",
                                           "Records not written: dropped at the queue bound or rejected.")),
      dbWriteSeconds(registry.AddHistogram("telvaro_db_write_seconds", "Time of one central database transaction.",
                                           {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10,
                                            30})),
      recordDelaySeconds(registry.AddHistogram(
          "telvaro_record_delay_seconds", "Time from the arrival of a message to its records on the data pipe queue.",
          {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10})),
      streamPublished(registry.AddCounter("telvaro_stream_records_published_total",
                                          "Records published to the stream, retries not counted.")),
      streamAcknowledged(registry.AddCounter("telvaro_stream_records_acknowledged_total",
                                             "Records the stream acknowledged.")),
      streamDropped(registry.AddCounter("telvaro_stream_records_dropped_total",
                                        "Records dropped at the stream queue's bound.")),
      streamResent(registry.AddCounter("telvaro_stream_records_resent_total",
                                       "Publishes sent again after a refusal or a missing acknowledgement.")),
      streamConsumerLag(registry.AddGauge("telvaro_stream_consumer_lag",
                                          "Records of the stream the database consumer has yet to take.")) {
  registry.AddGaugeFunction("telvaro_tasks_queued", "Tasks queued for terminals.", OrZero(std::move(s.tasksQueued)));
  registry.AddGaugeFunction("telvaro_data_pipe_clients", "Clients of the data pipe.",
                            OrZero(std::move(s.dataPipeClients)));
  registry.AddCounterFunction("telvaro_data_pipe_clients_dropped_total",
                              "Data pipe clients disconnected at their queue bound.",
                              OrZero(std::move(s.dataPipeClientsDropped)));
  registry.AddGaugeFunction("telvaro_db_queue_length", "Records waiting for the central database.",
                            OrZero(std::move(s.dbQueueLength)));
  registry.AddGaugeFunction("telvaro_stream_records_pending",
                            "Records waiting for the stream: queued or not yet acknowledged.",
                            OrZero(std::move(s.streamPending)));
  AddProcessMetrics(registry);
}

}  // namespace telvaro
