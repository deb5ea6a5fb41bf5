#pragma once
// What the protocol layer needs of the data module: the per-terminal task queue and
// the fuel-event journal. The data module implements it over its database; tests may
// use the real one in a temporary directory. Where several server processes share one
// store, a terminal's tasks are handed out only by the process whose connection holds
// the terminal: the connections say when they start and stop holding one.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/DateTime.h"

namespace telvaro {

struct FuelEvent {
  std::string ID;
  std::uint8_t ev = 0;
  TDateTime utc = 0;
  double Lat = 0, Lon = 0, speed = 0;
  std::string keyid;
  std::int32_t fuel = 0, fs1 = 0, fs2 = 0;
};

/// The next task handed out for a terminal.
struct TaskBlock {
  std::string CMD;          ///< the bytes to write, empty when none
  std::int32_t BLK_NUM = -1;  ///< 1 when a task was handed out, -1 when none
  std::int32_t Off = 0;       ///< the terminal's row count after the hand-out
};

/// What a queued task carries, told by how it was queued (see AddTask).
enum class TaskKind { Command, FileBlock, Acknowledgement };

/// A file block has a block size; an acknowledgement of a received file block has an
/// offset (the file position it reports) and no block size; a command has neither.
constexpr TaskKind TaskKindOf(std::int64_t offset, std::int64_t blkSize) noexcept {
  if (blkSize >= 0) return TaskKind::FileBlock;
  return offset >= 0 ? TaskKind::Acknowledgement : TaskKind::Command;
}

/// One queued task as listed.
struct QueuedTask {
  std::int64_t n = 0;  ///< its stable number (the row's ID)
  TaskKind kind = TaskKind::Command;
  std::int64_t size = 0;  ///< bytes to write
  std::optional<TDateTime> queuedAt;  ///< UTC; none for tasks queued before times were kept
};

/// The tasks one removal took away, by kind.
struct RemovedTasks {
  int commands = 0;
  int fileBlocks = 0;
  int acknowledgements = 0;

  int Total() const noexcept { return commands + fileBlocks + acknowledgements; }
};

class TaskStore {
 public:
  virtual ~TaskStore() = default;

  /// Queues bytes for a terminal. `blkSize` >= 0 marks a file block, `offset` >= 0
  /// without one an acknowledgement, -1 for both a command.
  virtual void AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum,
                       std::int32_t blkSize, std::string_view cmd) = 0;
  /// Hands out the terminal's first task by block number (then insertion order) and
  /// marks it taken; the task stays queued.
  virtual TaskBlock GetFirstTaskBlock(std::string_view id) = 0;
  /// Deletes the terminal's taken tasks that are not file blocks; never throws.
  virtual void DelTask(std::string_view id) noexcept = 0;
  /// Marks the terminal's taken tasks untaken again: they were handed out and not
  /// written, so no DelTask may take them for written ones. Never throws.
  virtual void ReleaseTaken(std::string_view id) noexcept = 0;
  /// Deletes the terminal's file blocks whose offset is below `offset`.
  virtual void DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) = 0;
  /// Deletes the terminal's file blocks of non-zero length.
  virtual void StopFileTransmit(std::string_view id) = 0;
  virtual int CountCommandsFor(std::string_view id) = 0;
  virtual int CountFileCommandsFor(std::string_view id) = 0;

  /// The terminal's tasks in the order they are handed out.
  virtual std::vector<QueuedTask> ListTasks(std::string_view id) = 0;
  /// Removes every task of the terminal.
  virtual RemovedTasks RemoveTasks(std::string_view id) = 0;
  /// Removes the terminal's task `n`; the task removed, or none when it has no such task.
  virtual std::optional<QueuedTask> RemoveTask(std::string_view id, std::int64_t n) = 0;

  virtual void AddFuelEvent(const FuelEvent& e) = 0;

  /// A connection of this process now serves terminal `id`: from here on this process
  /// hands out the terminal's tasks. Called once per connection and ID; never throws.
  virtual void Hold(std::string_view id) noexcept { (void)id; }
  /// The connection that held `id` ended or moved to another ID. Never throws.
  virtual void Release(std::string_view id) noexcept { (void)id; }
  /// Runs `add` as one transaction: the tasks it adds are all kept, or none when it
  /// throws (or the process ends) before it returns.
  virtual void AddTogether(const std::function<void()>& add) = 0;
};

}  // namespace telvaro
