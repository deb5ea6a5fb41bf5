#pragma once
// The data module: the task database (per-terminal task queue and fuel-event journal).
// TDM keeps it in SQLite, every operation serialised by one re-entrant lock.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Metrics.h"
#include "base/OperatorLog.h"
#include "protocol/TaskStore.h"
#include "tasks/FuelReport.h"

namespace telvaro {

namespace sqlite {
class Statement;
}

using SystemTime = std::chrono::system_clock::time_point;

/// What a task database is opened with besides the place of its data.
struct TaskOptions {
  ReportFormat format{};                ///< of the fuel report
  std::chrono::seconds commandTtl{0};   ///< lifetime of a queued plain command; 0: none
  OperatorLog* log = nullptr;           ///< where removed expired tasks are told; null: nowhere
  Counter* expired = nullptr;           ///< counts the removed expired tasks; null: none
  std::function<SystemTime()> now{};    ///< the clock of lifetimes; empty: the system clock
};

/// A task database as the server uses it: the task store, commands with a lifetime,
/// its fuel report, and whether it is open.
class TaskDatabase : public TaskStore {
 public:
  /// True while the database is open.
  virtual bool IsOpen() const = 0;
  /// Closes the database; every operation but DelTask then throws.
  virtual void Close() noexcept = 0;
  /// True while the database can be used: open, and for a database server, connected.
  virtual bool Reachable() const { return IsOpen(); }
  /// The fuel report rows for a request "...*START*END*", dates in the report format;
  /// throws std::invalid_argument for a missing or invalid date.
  virtual std::string GetFuelReport(std::string_view request) = 0;

  /// Queues a plain command that is removed instead of written once `ttl` has passed
  /// (none: the database's command lifetime); returns the task's number.
  virtual std::int64_t AddCommand(std::string_view id, std::string_view cmd, std::optional<std::chrono::seconds> ttl) = 0;
  /// Removes every task past its lifetime, each with a log line; returns how many.
  virtual int RemoveExpired() = 0;
  /// Tasks queued for all terminals; 0 while closed. Any thread.
  virtual std::int64_t QueuedTaskCount() const = 0;
};

/// The log line of a task removed at the end of its lifetime.
std::string ExpiredLine(std::int64_t n, std::string_view id, std::int32_t offset, std::int32_t blkSize,
                        std::size_t bytes);

class TDM final : public TaskDatabase {
 public:
  TDM();
  ~TDM() override;
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  /// Opens (creating when missing) the task database at `path`; throws
  /// std::runtime_error carrying the SQLite message.
  void Open(const std::string& path, TaskOptions options = {});
  void Close() noexcept override;
  bool IsOpen() const override;

  void AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
               std::string_view cmd) override;
  TaskBlock GetFirstTaskBlock(std::string_view id) override;
  void DelTask(std::string_view id) noexcept override;
  void ReleaseTaken(std::string_view id) noexcept override;
  void DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) override;
  void StopFileTransmit(std::string_view id) override;
  int CountCommandsFor(std::string_view id) override;
  int CountFileCommandsFor(std::string_view id) override;
  std::vector<QueuedTask> ListTasks(std::string_view id) override;
  RemovedTasks RemoveTasks(std::string_view id) override;
  std::optional<QueuedTask> RemoveTask(std::string_view id, std::int64_t n) override;
  void AddFuelEvent(const FuelEvent& e) override;
  void AddTogether(const std::function<void()>& add) override;
  std::string GetFuelReport(std::string_view request) override;
  std::int64_t AddCommand(std::string_view id, std::string_view cmd, std::optional<std::chrono::seconds> ttl) override;
  int RemoveExpired() override;
  /// Without the lock.
  std::int64_t QueuedTaskCount() const noexcept override { return queued_.load(std::memory_order_relaxed); }

 private:
  struct Impl;
  /// The open database; throws std::runtime_error when there is none. Call under CDCS.
  Impl& Db() const;
  /// Inserts one row, its lifetime `ttl` from now; returns its number. Call under CDCS.
  std::int64_t Insert(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
                      std::string_view cmd, std::optional<std::chrono::seconds> ttl);
  /// Runs an expiry statement (of terminal `id`, or of all when empty) and adds the log
  /// line of every task it removed to `lines`. Call under CDCS.
  void RemoveExpired(sqlite::Statement& statement, std::string_view id, std::vector<std::string>& lines);
  TaskBlock FirstTaskBlock(std::string_view id, std::vector<std::string>& expired);
  /// Logs `lines`; call without CDCS, so the log is never waited for under it.
  void Tell(std::vector<std::string>& lines) const;

  mutable std::recursive_mutex CDCS;
  std::atomic<std::int64_t> queued_{0};  ///< kept by impl_ under CDCS
  std::unique_ptr<Impl> impl_;
  TaskOptions options_;
};

}  // namespace telvaro
