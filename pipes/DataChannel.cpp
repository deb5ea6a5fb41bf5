#include "pipes/DataChannel.h"

#include <fmt/format.h>

#include "queues/NamedEvent.h"

namespace telvaro {

TClientsThread::~TClientsThread() { Stop(); }

void TClientsThread::Start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { Execute(); });
}

void TClientsThread::Stop() {
  stop_ = true;
  SetNamedEvent(ClientsEventName);  // wake it now rather than at the end of its wait
  if (thread_.joinable()) thread_.join();
}

void TClientsThread::Execute() {
  const auto CLEventID = CreateNamedEvent(ClientsEventName);
  report_.OutputReport("Thread for clients started, waitng for data");
  std::vector<TNTMobile> batch;
  while (!stop_) {
    CLEventID->Wait(aTimeOut);
    CLEventID->Reset();
    // Everything queued goes out on every wake-up, in order, so no record waits for
    // later signals; a time-out also drains what was queued before the event existed.
    queue_.TakeAll(batch);
    if (pipe_.load()) {
      for (const auto& m : batch) SendToPipeClients(m);
    }
    batch.clear();
  }
}

void TClientsThread::SendToPipeClients(const TNTMobile& mobile) {
  TPipeServer* pipe = pipe_.load();
  if (!pipe || mobile.Rec.ID.empty()) return;
  const PipeBytes image(reinterpret_cast<const std::uint8_t*>(&mobile.Rec), sizeof mobile.Rec);
  // One snapshot of the client list, so that a client leaving meanwhile shows up as a
  // failed write rather than as an index outside the list.
  std::uint64_t sent = 0;
  for (const PipeHandle client : pipe->ClientList()) {
    try {
      if (pipe->Write(client, image)) ++sent;
      else report_.OutputReport("Can not write to " + pipe->PipeName());
    } catch (...) {
      report_.OutputReport("Exception on writing to " + pipe->PipeName());
    }
  }
  if (metrics_) metrics_->dataPipeRecordsSent.Add(sent);
}

void AttachDataPipeHandlers(TPipeServer& PS, OperatorLog& log, std::function<bool()> isClosing) {
  // Connect and disconnect differ only in their texts.
  const auto clientCountChanged = [&log, isClosing](std::string happened, std::string failure) {
    return [&log, isClosing, happened = std::move(happened), failure = std::move(failure)](TPipeServer& sender,
                                                                                          PipeHandle pipe) {
      if (isClosing && isClosing()) return;
      try {
        log.SetPanel(2, fmt::format("Clients: {}", sender.ClientCount()));
        log.Append(happened + ", pipe num " + std::to_string(pipe));
      } catch (...) {
        log.Append(failure);
      }
    };
  };
  PS.OnPipeConnect = clientCountChanged("Client connected", "Exception when client connect");
  PS.OnPipeDisconnect = clientCountChanged("Client disconnected", "Exception when client disconnect");
  PS.OnPipeError = [&log](TPipeServer&, PipeHandle, TPipeContext, int errorCode) {
    log.Append("Pipe error. Code " + std::to_string(errorCode));
  };
}

}  // namespace telvaro
