#pragma once

#include <string_view>

namespace vorn::platform {

// The system log: one record per call, written as given (never used as a format). Any thread.
class SystemLog {
 public:
  virtual ~SystemLog() = default;
  virtual void write(std::string_view record) = 0;
};

}  // namespace vorn::platform
