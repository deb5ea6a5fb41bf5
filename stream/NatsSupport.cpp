#include "stream/NatsSupport.h"

#include <utility>

namespace telvaro {

std::string StatusText(natsStatus s) {
  const char* last = nats_GetLastError(nullptr);
  return last && *last ? std::string(last) : std::string(natsStatus_GetText(s));
}

natsStatus OpenConnection(natsConnection** connection, natsOptions** options, const std::string& url,
                          const ConnectionEvents& events) {
  natsStatus s = natsOptions_Create(options);
  natsOptions* o = *options;
  if (s == NATS_OK) s = natsOptions_SetURL(o, url.c_str());
  if (s == NATS_OK) s = natsOptions_SetName(o, "telvaroserver");
  if (s == NATS_OK) s = natsOptions_SetMaxReconnect(o, -1);
  if (s == NATS_OK) s = natsOptions_SetReconnectWait(o, 500);
  if (s == NATS_OK) s = natsOptions_SetTimeout(o, 2000);
  if (s == NATS_OK) s = natsOptions_SetRetryOnFailedConnect(o, true, events.returned, events.closure);
  if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(o, events.lost, events.closure);
  if (s == NATS_OK) s = natsOptions_SetReconnectedCB(o, events.returned, events.closure);
  if (s == NATS_OK && events.closed) s = natsOptions_SetClosedCB(o, &ClosedLatch::OnClosed, events.closed);
  if (s == NATS_OK) s = natsConnection_Connect(connection, o);
  if (s == NATS_NOT_YET_CONNECTED && events.lost) events.lost(*connection, events.closure);
  return s;
}

void CloseConnection(natsConnection*& connection, ClosedLatch& closed) {
  if (!connection) return;
  natsConnection_Close(connection);
  closed.Wait(std::chrono::seconds(5));
  natsConnection_Destroy(std::exchange(connection, nullptr));
  closed.Reset();
}

bool EnsureStream(jsCtx* js, const StreamOptions& options, LogReporter& report) {
  jsStreamInfo* info = nullptr;
  jsErrCode err = static_cast<jsErrCode>(0);
  natsStatus s = js_GetStreamInfo(&info, js, options.name.c_str(), nullptr, &err);
  if (s == NATS_OK) {
    jsStreamInfo_Destroy(info);
    return true;
  }
  if (s != NATS_NOT_FOUND) {
    report.OutputReport("Could not look up stream " + options.name + ": " + StatusText(s));
    return false;
  }
  jsStreamConfig cfg;
  jsStreamConfig_Init(&cfg);
  const std::string subjects = options.subject + ".>";
  const char* list[] = {subjects.c_str()};
  cfg.Name = options.name.c_str();
  cfg.Subjects = list;
  cfg.SubjectsLen = 1;
  cfg.Storage = js_FileStorage;
  cfg.MaxAge = static_cast<int64_t>(options.maxAgeHours) * 3600 * 1000000000LL;
  s = js_AddStream(&info, js, &cfg, nullptr, &err);
  if (s != NATS_OK) {
    // Another instance may have made it meanwhile.
    if (js_GetStreamInfo(&info, js, options.name.c_str(), nullptr, &err) == NATS_OK) {
      jsStreamInfo_Destroy(info);
      return true;
    }
    report.OutputReport("Could not create stream " + options.name + ": " + StatusText(s));
    return false;
  }
  jsStreamInfo_Destroy(info);
  report.OutputReport("Stream " + options.name + " created for " + subjects);
  return true;
}

}  // namespace telvaro
