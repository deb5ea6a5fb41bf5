#include "shell/Configuration.h"

#include <algorithm>

namespace telvaro {

RenderOptions RenderOptionsOf(const TSettings& s) {
  return {.decimalSeparator = s.DecimalSeparator,
          .entitiesToPrint = s.EntitiesToPrintList,
          .counterNum = s.CounterNum,
          .timeLastPos = s.TimeLastPos};
}

ReportFormat ReportFormatOf(const TSettings& s) {
  return {.shortDateFormat = s.ShortDateFormat,
          .longTimeFormat = s.LongTimeFormat,
          .decimalSeparator = s.DecimalSeparator};
}

ConnectionEnv ConnectionEnvOf(const TSettings& s) {
  ConnectionEnv env;
  env.cmdDelay = std::chrono::milliseconds(s.DelayBeforeCmd);
  env.frameTimeout = std::chrono::seconds(std::max(0, s.FrameTimeoutSec));
  // With the stream the database writer reads the stream, not the connections' queue.
  env.toDatabase = !s.NoBase && s.StreamUrl.empty();
  env.proxyProtocol = s.ProxyProtocol;
  env.queueLimit = static_cast<std::size_t>(std::max(0, s.QueueLimit));
  env.toStream = s.StreamUrl.empty() ? nullptr : &MobilesToStream;
  // Then the data channel takes every instance's records from the stream instead.
  if (env.toStream && s.StreamPipeFromStream) env.toSend = nullptr;
  env.streamQueueLimit = static_cast<std::size_t>(std::max(1, s.StreamQueueLimit));
  env.parser.dbEvents = ParseDBEvents(s.EventsToDB);
  env.parser.downloadDir = s.DownloadDir;
  env.parser.decimalSeparator = s.DecimalSeparator;
  env.render = RenderOptionsOf(s);
  return env;
}

}  // namespace telvaro
