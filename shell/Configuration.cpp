#include "shell/Configuration.h"

#include <algorithm>

namespace telvaro {

ConnectionEnv ConnectionEnvOf(const TSettings& s) {
  ConnectionEnv env;
  env.cmdDelay = std::chrono::milliseconds(s.DelayBeforeCmd);
  env.toDatabase = !s.NoBase;
  env.queueLimit = static_cast<std::size_t>(std::max(0, s.QueueLimit));
  env.parser.dbEvents = ParseDBEvents(s.EventsToDB);
  env.parser.downloadDir = s.DownloadDir;
  env.parser.decimalSeparator = s.DecimalSeparator;
  return env;
}

}  // namespace telvaro
