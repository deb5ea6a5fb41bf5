#pragma once
// The data module: the task database (per-terminal task queue and fuel-event journal).
// TDM keeps it in SQLite, every operation serialised by one re-entrant lock.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "protocol/TaskStore.h"
#include "tasks/FuelReport.h"

namespace telvaro {

/// A task database as the server uses it: the task store, its fuel report, and
/// whether it is open.
class TaskDatabase : public TaskStore {
 public:
  /// True while the operations can reach the database.
  virtual bool IsOpen() const = 0;
  /// Closes the database; every operation but DelTask then throws.
  virtual void Close() noexcept = 0;
  /// The fuel report rows for a request "...*START*END*", dates in the report format;
  /// throws std::invalid_argument for a missing or invalid date.
  virtual std::string GetFuelReport(std::string_view request) = 0;
};

class TDM final : public TaskDatabase {
 public:
  TDM();
  ~TDM() override;
  TDM(const TDM&) = delete;
  TDM& operator=(const TDM&) = delete;

  /// Opens (creating when missing) the task database at `path`, its fuel reports in
  /// `format`; throws std::runtime_error carrying the SQLite message.
  void Open(const std::string& path, ReportFormat format = {});
  void Close() noexcept override;
  bool IsOpen() const override;

  void AddTask(std::string_view id, std::int32_t offset, std::int32_t blkNum, std::int32_t blkSize,
               std::string_view cmd) override;
  TaskBlock GetFirstTaskBlock(std::string_view id) override;
  void DelTask(std::string_view id) noexcept override;
  void DelOldTaskBlocksOffset(std::string_view id, std::int32_t offset) override;
  void StopFileTransmit(std::string_view id) override;
  int CountCommandsFor(std::string_view id) override;
  int CountFileCommandsFor(std::string_view id) override;
  void AddFuelEvent(const FuelEvent& e) override;
  std::string GetFuelReport(std::string_view request) override;

 private:
  struct Impl;
  /// The open database; throws std::runtime_error when there is none. Call under CDCS.
  Impl& Db() const;

  mutable std::recursive_mutex CDCS;
  std::unique_ptr<Impl> impl_;
  ReportFormat format_;
};

}  // namespace telvaro
