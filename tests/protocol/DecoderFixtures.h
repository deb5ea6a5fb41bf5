#pragma once
// Helpers of the decoder tests and benchmarks: AVL record bytes, an in-memory task
// store, parser contexts and the disk file sink.

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FrameBuilder.h"
#include "files/DiskFileSink.h"
#include "protocol/ParserContext.h"
#include "protocol/TaskStore.h"

#include "tests/support/TempDir.h"

namespace telvaro::test {

/// One AVL record as the terminal sends it.
struct AvlRecord {
  std::uint32_t time = 0;
  std::uint8_t event = 0;
  std::uint32_t lon = 0, lat = 0;
  std::uint16_t alt = 0, course = 0;
  std::uint8_t sat = 0;
  std::uint16_t speed = 0;
  std::uint8_t valid = 0, gnss = 0, eventValue = 0;
  /// Elements by value width 1, 2, 4 and 8: number and value.
  std::vector<std::pair<std::uint8_t, std::uint64_t>> io[4];

  ByteVec Encode() const {
    ByteVec v;
    PutBE(v, time, 4);
    v.push_back(event);
    PutBE(v, lon, 4);
    PutBE(v, lat, 4);
    PutBE(v, alt, 2);
    PutBE(v, course, 2);
    v.push_back(sat);
    PutBE(v, speed, 2);
    v.push_back(valid);
    v.push_back(gnss);
    v.push_back(eventValue);
    for (int g = 0; g < 4; ++g) {
      v.push_back(static_cast<std::uint8_t>(io[g].size()));
      for (const auto& [k, value] : io[g]) {
        v.push_back(k);
        PutBE(v, value, 1 << g);
      }
    }
    return v;
  }
};

/// A task queue and fuel journal in memory, with the semantics of the real store.
class FakeTaskStore : public TaskStore {
 public:
  struct Task {
    std::string id;
    std::int32_t offset, blkNum, blkSize;
    std::string cmd;
    std::int64_t n = 0;
    bool taken = false;
    bool IsFileBlock() const { return blkSize >= 0; }
    QueuedTask Listed() const { return {n, TaskKindOf(offset, blkSize), static_cast<std::int64_t>(cmd.size()), {}}; }
  };
  std::vector<Task> tasks;
  std::vector<FuelEvent> fuel;
  /// Calls of AddFuelEvent and AddTask that succeed before they start to throw.
  int failAfter = -1;

  void AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
               std::string_view cmd) override {
    Step();
    tasks.push_back({std::string(id), offset, blkNum, blkSize, std::string(cmd), ++lastN_});
  }
  TaskBlock GetFirstTaskBlock(std::string_view id) override {
    for (Task& t : tasks)
      if (t.id == id) {
        t.taken = true;
        return {t.cmd, 1, 0};
      }
    return {};
  }
  void DelTask(std::string_view id) noexcept override {
    std::erase_if(tasks, [&](const Task& t) { return t.id == id && t.taken && !t.IsFileBlock(); });
  }
  void ReleaseTaken(std::string_view id) noexcept override {
    for (Task& t : tasks)
      if (t.id == id) t.taken = false;
  }
  void DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) override {
    std::erase_if(tasks, [&](const Task& t) { return t.id == id && t.IsFileBlock() && t.offset < offset; });
  }
  void StopFileTransmit(std::string_view id) override {
    std::erase_if(tasks, [&](const Task& t) { return t.id == id && t.blkSize > 0; });
  }
  int CountCommandsFor(std::string_view id) override {
    return static_cast<int>(std::count_if(tasks.begin(), tasks.end(), [&](const Task& t) { return t.id == id; }));
  }
  int CountFileCommandsFor(std::string_view id) override {
    return static_cast<int>(
        std::count_if(tasks.begin(), tasks.end(), [&](const Task& t) { return t.id == id && t.IsFileBlock(); }));
  }
  std::vector<QueuedTask> ListTasks(std::string_view id) override {
    std::vector<QueuedTask> out;
    for (const Task& t : tasks)
      if (t.id == id) out.push_back(t.Listed());
    return out;
  }
  RemovedTasks RemoveTasks(std::string_view id) override {
    RemovedTasks removed;
    for (const QueuedTask& t : ListTasks(id)) {
      if (t.kind == TaskKind::Command) ++removed.commands;
      else if (t.kind == TaskKind::FileBlock) ++removed.fileBlocks;
      else ++removed.acknowledgements;
    }
    std::erase_if(tasks, [&](const Task& t) { return t.id == id; });
    return removed;
  }
  std::optional<QueuedTask> RemoveTask(std::string_view id, std::int64_t n) override {
    const auto it = std::find_if(tasks.begin(), tasks.end(), [&](const Task& t) { return t.id == id && t.n == n; });
    if (it == tasks.end()) return std::nullopt;
    const QueuedTask removed = it->Listed();
    tasks.erase(it);
    return removed;
  }
  void AddFuelEvent(const FuelEvent& e) override {
    Step();
    fuel.push_back(e);
  }
  void AddTogether(const std::function<void()>& add) override {
    const std::size_t before = tasks.size();
    try {
      add();
    } catch (...) {
      tasks.resize(before);
      throw;
    }
  }

 private:
  std::int64_t lastN_ = 0;

  void Step() {
    if (failAfter == 0) throw std::runtime_error("task store failure");
    if (failAfter > 0) --failAfter;
  }
};

/// A parser context as the default settings give it (fuel event 150, "." as decimal
/// separator, no black list, no key table), received files going to `downloadDir`.
inline ParserContext Context(std::string downloadDir = {}) {
  ParserContext c;
  c.dbEvents = {150};
  c.downloadDir = std::move(downloadDir);
  return c;
}

/// The default context, for parsers that write no file.
inline const ParserContext& DefaultContext() {
  static const ParserContext context = Context();
  return context;
}

/// Files written to disk, as the server writes them.
inline FileSink& Disk() {
  static DiskFileSink sink;
  return sink;
}

}  // namespace telvaro::test
