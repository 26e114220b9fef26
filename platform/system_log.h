#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn::platform {

// The system log: one record per call, written as given (never used as a format). Any thread.
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void write(std::string_view record) = 0;
};

// The longest record a log keeps or writes, in bytes. A longer one (a megabyte-long address in a
// line, say) is cut to this length with a visible mark saying how much was left out, so one
// record can never flood a log or a history.
inline constexpr size_t kMaxRecordBytes = 4096;
std::string capRecord(std::string_view record);

}  // namespace vorn::platform
