#include "log/diagnostic_history.h"

namespace vorn::log {

void DiagnosticHistory::append(const std::string& message) {
  std::lock_guard lock(mutex_);
  entries_.push_back(message);
  if (entries_.size() > kMaxEntries) {
    entries_.pop_front();
  }
}

std::vector<std::string> DiagnosticHistory::entries() const {
  std::lock_guard lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

void DiagnosticHistory::replace(const std::vector<std::string>& entries) {
  std::lock_guard lock(mutex_);
  const size_t skip = entries.size() > kMaxEntries ? entries.size() - kMaxEntries : 0;
  entries_.assign(entries.begin() + static_cast<std::ptrdiff_t>(skip), entries.end());
}

}  // namespace vorn::log
