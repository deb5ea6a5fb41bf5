#pragma once
// The task database in PostgreSQL, shared by server instances behind one balancer.
// A terminal's tasks are handed out only by the instance whose connection holds the
// terminal, each marked with the instance that took it; a task is deleted after its
// write only by that instance, and the tasks of an instance that stopped beating its
// heart are free again after the lease. Every instance keeps in memory which of its
// terminals may have tasks, told of new tasks by the database's notifications, so a
// terminal with nothing queued costs no round trip.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

#include "tasks/TaskDatabase.h"

namespace telvaro {

class PgTaskStore final : public TaskDatabase {
 public:
  /// Statements that may run at once: the connections of the pool.
  static constexpr int PoolSize = 4;

  PgTaskStore();
  ~PgTaskStore() override;
  PgTaskStore(const PgTaskStore&) = delete;
  PgTaskStore& operator=(const PgTaskStore&) = delete;

  /// Connects with the libpq connection string `connection`, creates the tables that
  /// are missing in the first schema of its search path, and registers this instance.
  /// Tasks taken by an instance whose heartbeat is older than `lease` are free again.
  /// Throws std::runtime_error with the reason when the database cannot be used.
  void Open(const std::string& connection, TaskOptions options, std::chrono::seconds lease);
  /// Tries Open every `pause` on a thread of its own until it succeeds, then calls
  /// `opened` there; returns at once. Close stops trying.
  void KeepOpening(std::string connection, TaskOptions options, std::chrono::seconds lease,
                   std::chrono::seconds pause, std::function<void()> opened);
  void Close() noexcept override;
  bool IsOpen() const override;
  /// True while the database is reachable: the pool and the notification connection stand.
  bool Connected() const;
  bool Reachable() const override { return Connected(); }
  /// This instance's number in TaskInstances; 0 while closed.
  std::int64_t Instance() const;
  /// Statements sent to the database since it was opened.
  std::uint64_t StatementCount() const;

  void AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
               std::string_view cmd) override;
  /// Hands out the first task of a terminal this instance holds; nothing for one it
  /// does not, or while another live instance has the first task taken.
  TaskBlock GetFirstTaskBlock(std::string_view id) override;
  /// Deletes the terminal's taken tasks that are not file blocks and that this instance took.
  void DelTask(std::string_view id) noexcept override;
  /// Hands back, untaken, the terminal's tasks this instance took.
  void ReleaseTaken(std::string_view id) noexcept override;
  void DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) override;
  void StopFileTransmit(std::string_view id) override;
  int CountCommandsFor(std::string_view id) override;
  int CountFileCommandsFor(std::string_view id) override;
  /// Lists the tasks still alive; those past their lifetime are not shown.
  std::vector<QueuedTask> ListTasks(std::string_view id) override;
  RemovedTasks RemoveTasks(std::string_view id) override;
  std::optional<QueuedTask> RemoveTask(std::string_view id, std::int64_t n) override;
  void AddFuelEvent(const FuelEvent& e) override;
  /// Runs `add` in one transaction on one connection of the pool; its inserts notify
  /// the other instances when it commits.
  void AddTogether(const std::function<void()>& add) override;
  /// Counts the rows of TASKS; 0 while closed, throws while the database is out of reach.
  std::int64_t QueuedTaskCount() const override;
  void Hold(std::string_view id) noexcept override;
  void Release(std::string_view id) noexcept override;

  std::string GetFuelReport(std::string_view request) override;
  std::int64_t AddCommand(std::string_view id, std::string_view cmd, std::optional<std::chrono::seconds> ttl) override;
  int RemoveExpired() override;

 private:
  struct Held;
  struct Impl;

  /// The open database; throws std::runtime_error when there is none. Call under state_.
  Impl& Db() const;
  std::int64_t Insert(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
                      std::string_view cmd, std::optional<std::chrono::seconds> ttl);
  /// Records in the database that this instance holds `id`. Call under state_.
  void RecordHold(Impl& d, std::string_view id);
  void OpenNow(const std::string& connection, TaskOptions options, std::chrono::seconds lease);
  void StopOpening() noexcept;

  std::unique_ptr<Held> held_;       ///< the terminals held here; outlives every open database
  mutable std::shared_mutex state_;  ///< operations share it; Open and Close take it alone
  std::unique_ptr<Impl> impl_;

  std::mutex openerMutex_;
  std::condition_variable openerWake_;
  bool stopOpening_ = false;
  std::thread opener_;  ///< KeepOpening's attempts
};

}  // namespace telvaro
