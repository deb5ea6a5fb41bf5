#include "base/OperatorLog.h"

#include <algorithm>
#include <stdexcept>

namespace telvaro {

OperatorLog::OperatorLog() : lines_{std::string{}}, label_(InitialLabel) {}

void OperatorLog::Append(std::string line) {
  std::lock_guard lock(mutex_);
  if (lines_.size() > MaxLines) {
    lines_.clear();
    for (Observer* o : observers_) o->Cleared();
  }
  for (Observer* o : observers_) o->LineAppended(line);
  lines_.push_back(std::move(line));
  ++version_;
}

void OperatorLog::SetLabel(std::string text) {
  std::lock_guard lock(mutex_);
  label_ = std::move(text);
  ++version_;
  for (Observer* o : observers_) o->LabelChanged(label_);
}

void OperatorLog::SetPanel(int panel, std::string text) {
  if (panel < 0 || panel >= PanelCount) throw std::out_of_range("status panel index");
  std::lock_guard lock(mutex_);
  panels_[panel] = std::move(text);
  ++version_;
  for (Observer* o : observers_) o->PanelChanged(panel, panels_[panel]);
}

std::vector<std::string> OperatorLog::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::size_t OperatorLog::LineCount() const {
  std::lock_guard lock(mutex_);
  return lines_.size();
}

std::string OperatorLog::Label() const {
  std::lock_guard lock(mutex_);
  return label_;
}

std::string OperatorLog::Panel(int panel) const {
  if (panel < 0 || panel >= PanelCount) throw std::out_of_range("status panel index");
  std::lock_guard lock(mutex_);
  return panels_[panel];
}

std::uint64_t OperatorLog::Version() const {
  std::lock_guard lock(mutex_);
  return version_;
}

std::size_t OperatorLog::CopyLines(std::size_t first, std::size_t maxCount,
                                   std::vector<std::string>& out) const {
  std::lock_guard lock(mutex_);
  out.clear();
  for (std::size_t i = first; i < lines_.size() && out.size() < maxCount; ++i) out.push_back(lines_[i]);
  return lines_.size();
}

void OperatorLog::AddObserver(Observer* observer) {
  std::lock_guard lock(mutex_);
  observers_.push_back(observer);
}

void OperatorLog::RemoveObserver(Observer* observer) {
  std::lock_guard lock(mutex_);
  std::erase(observers_, observer);
}

}  // namespace telvaro
