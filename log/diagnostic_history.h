#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vorn::log {

// One object's `debugmsgs` or `errors`: messages in call order. Appends come from the main thread
// and from the download-completion thread, so every access is locked. An always-on channel logs
// for months: past kMaxEntries the oldest entries are dropped so memory stays bounded.
class DiagnosticHistory {
 public:
  static constexpr size_t kMaxEntries = 100'000;

  void append(const std::string& message);
  std::vector<std::string> entries() const;
  void replace(const std::vector<std::string>& entries);

 private:
  mutable std::mutex mutex_;
  std::deque<std::string> entries_;
};

}  // namespace vorn::log
