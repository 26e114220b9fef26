#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace vorn::log {

// One object's `debugmsgs` or `errors`: messages in call order. Appends come from the main thread
// and from the download-completion thread, so every access is locked. An always-on channel logs
// for months: each message is cut to the system log's record length, and past kMaxEntries
// entries or kMaxBytes of text the oldest entries are dropped, so memory stays bounded.
class DiagnosticHistory {
 public:
  static constexpr size_t kMaxEntries = 100'000;
  static constexpr size_t kMaxBytes = size_t{16} << 20;

  void append(const std::string& message);
  std::vector<std::string> entries() const;
  void replace(const std::vector<std::string>& entries);
  // The text held, in bytes (the sum of the entries' lengths).
  size_t bytes() const;

 private:
  void push(std::string message);  // with the lock held

  mutable std::mutex mutex_;
  std::deque<std::string> entries_;
  size_t bytes_ = 0;
};

}  // namespace vorn::log
