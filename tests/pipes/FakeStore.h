#pragma once
// A task store that writes down every call.

#include <string>
#include <string_view>
#include <vector>

#include "protocol/TaskStore.h"

namespace telvaro::test {

/// Writes down every task store call.
struct FakeStore : TaskStore {
  struct Task {
    std::string id;
    std::int32_t offset, blkNum, blkSize;
    std::string cmd;
  };
  std::vector<std::string> calls;
  std::vector<Task> tasks;

  void AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
               std::string_view cmd) override {
    calls.push_back("AddTask " + std::string(id));
    tasks.push_back({std::string(id), offset, blkNum, blkSize, std::string(cmd)});
  }
  TaskBlock GetFirstTaskBlock(std::string_view) override { return {}; }
  void DelTask(std::string_view id) noexcept override { calls.push_back("DelTask " + std::string(id)); }
  void ReleaseTaken(std::string_view id) noexcept override { calls.push_back("ReleaseTaken " + std::string(id)); }
  void DelOldTaskBlocksOffset(std::string_view, std::int32_t) override {}
  void StopFileTransmit(std::string_view id) override { calls.push_back("StopFileTransmit " + std::string(id)); }
  int CountCommandsFor(std::string_view) override { return 0; }
  int CountFileCommandsFor(std::string_view) override { return 0; }
  std::vector<QueuedTask> ListTasks(std::string_view) override { return {}; }
  RemovedTasks RemoveTasks(std::string_view) override { return {}; }
  std::optional<QueuedTask> RemoveTask(std::string_view, std::int64_t) override { return std::nullopt; }
  void AddFuelEvent(const FuelEvent&) override {}
  void AddTogether(const std::function<void()>& add) override { add(); }
};

}  // namespace telvaro::test
