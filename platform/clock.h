#pragma once

namespace vorn::platform {

// The wall clock. Any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970-01-01 00:00:00 UTC.
  virtual double timeIntervalSince1970() const = 0;
};

}  // namespace vorn::platform
