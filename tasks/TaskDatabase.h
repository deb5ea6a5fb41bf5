#pragma once
// The data module: the task database (per-terminal task queue and fuel-event journal)
// in SQLite, every operation serialised by one re-entrant lock.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/TaskStore.h"

namespace telvaro {

/// How the fuel report reads its dates and writes dates, times and fractions.
struct ReportFormat {
  std::string shortDateFormat = "dd.mm.yyyy";
  std::string longTimeFormat = "hh:nn:ss";
  char decimalSeparator = '.';
};

class TDM final : public TaskStore {
 public:
  TDM();
  ~TDM() override;
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  /// Opens (creating when missing) the task database at `path`, its fuel reports in
  /// `format`; throws std::runtime_error carrying the SQLite message.
  void Open(const std::string& path, ReportFormat format = {});
  /// Closes the database; every operation but DelTask then throws.
  void Close() noexcept;
  bool IsOpen() const;

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

  /// Tasks queued for all terminals; 0 while closed. Any thread, without the lock.
  std::int64_t QueuedTaskCount() const noexcept { return queued_.load(std::memory_order_relaxed); }

  /// The fuel report rows for a request "...*START*END*", dates in the report format;
  /// throws std::invalid_argument for a missing or invalid date.
  std::string GetFuelReport(std::string_view request);

 private:
  struct Impl;
  /// The open database; throws std::runtime_error when there is none. Call under CDCS.
  Impl& Db() const;

  mutable std::recursive_mutex CDCS;
  std::atomic<std::int64_t> queued_{0};  ///< kept by impl_ under CDCS
  std::unique_ptr<Impl> impl_;
  ReportFormat format_;
};

}  // namespace telvaro
