#include "queues/NamedEvent.h"

#include <map>

namespace telvaro {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<ManualResetEvent>> events;
};

Registry& TheRegistry() {
  static Registry r;
  return r;
}

}  // namespace

std::shared_ptr<ManualResetEvent> CreateNamedEvent(const std::string& name) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto& slot = r.events[name];
  if (!slot) slot = std::make_shared<ManualResetEvent>();
  return slot;
}

std::shared_ptr<ManualResetEvent> OpenNamedEvent(const std::string& name) {
  Registry& r = TheRegistry();
  std::lock_guard lock(r.mutex);
  const auto it = r.events.find(name);
  return it == r.events.end() ? nullptr : it->second;
}

void SetNamedEvent(const std::string& name) {
  if (auto e = OpenNamedEvent(name)) e->Set();
}

}  // namespace telvaro
