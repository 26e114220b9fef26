#include "log/diagnostic_history.h"

#include "platform/system_log.h"

namespace vorn::log {

void DiagnosticHistory::push(std::string message) {
  bytes_ += message.size();
  entries_.push_back(std::move(message));
  while (entries_.size() > kMaxEntries || bytes_ > kMaxBytes) {
    bytes_ -= entries_.front().size();
    entries_.pop_front();
  }
}

void DiagnosticHistory::append(const std::string& message) {
  std::string capped = platform::capRecord(message);
  std::lock_guard lock(mutex_);
  push(std::move(capped));
}

std::vector<std::string> DiagnosticHistory::entries() const {
  std::lock_guard lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

void DiagnosticHistory::replace(const std::vector<std::string>& entries) {
  std::lock_guard lock(mutex_);
  entries_.clear();
  bytes_ = 0;
  for (const std::string& entry : entries) {
    push(platform::capRecord(entry));
  }
}

size_t DiagnosticHistory::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

}  // namespace vorn::log
