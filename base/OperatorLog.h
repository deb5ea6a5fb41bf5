#pragma once
// The operator log and status: lines that any thread appends directly, the label and
// the five status panels. Front ends (window, console), the log file and the service
// manager's status observe it; producers never wait for them.

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace telvaro {

class OperatorLog {
 public:
  static constexpr std::size_t MaxLines = 1000;  ///< more than this empties the log on the next append
  static constexpr int PanelCount = 5;
  static constexpr const char* InitialLabel = "Port XXXX for Krestel is ready to use.";

  /// Told of every change, under the log's lock, so calls arrive in append order.
  /// Must be quick and must not call back into the log.
  struct Observer {
    virtual ~Observer() = default;
    virtual void LineAppended(std::string_view line) = 0;
    virtual void LabelChanged(std::string_view text) = 0;
    virtual void PanelChanged(int panel, std::string_view text) = 0;
    virtual void Cleared() {}
  };

  OperatorLog();

  /// Appends one line (thread-safe). A log already holding more than 1000 lines is
  /// emptied first, so the 1001st line is still appended and the next one empties it.
  void Append(std::string line);

  void SetLabel(std::string text);
  void SetPanel(int panel, std::string text);

  std::vector<std::string> Lines() const;
  std::size_t LineCount() const;
  std::string Label() const;
  std::string Panel(int panel) const;
  /// Grows with every change; lets a window redraw only when something changed.
  std::uint64_t Version() const;

  /// Copies the lines from `first` on into `out`; returns the total count.
  std::size_t CopyLines(std::size_t first, std::size_t maxCount, std::vector<std::string>& out) const;

  /// Adds `observer`, which is told of every change from now on until it is removed.
  void AddObserver(Observer* observer);
  void RemoveObserver(Observer* observer);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  std::string label_;
  std::array<std::string, PanelCount> panels_;
  std::uint64_t version_ = 0;
  std::vector<Observer*> observers_;
};

/// The log target of a worker thread; lines are dropped while none is set.
class LogReporter {
 public:
  void SetReport(OperatorLog* log) noexcept { report_ = log; }
  void OutputReport(std::string line) const {
    if (report_) report_->Append(std::move(line));
  }

 private:
  OperatorLog* report_ = nullptr;
};

}  // namespace telvaro
