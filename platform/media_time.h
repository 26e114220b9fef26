#pragma once

#include <cstdint>
#include <string>

namespace vorn::platform {

// A time value as a rational number: value / timescale seconds. Times that cannot be represented
// (not a number, or beyond the 64-bit range) become invalid or infinite rather than wrapping.
class MediaTime {
 public:
  enum class Kind { numeric, invalid, positiveInfinity, negativeInfinity };

  MediaTime() = default;  // invalid
  static MediaTime make(int64_t value, int32_t timescale);
  // Rounds seconds to the nearest multiple of 1/preferredTimescale (half away from zero).
  static MediaTime makeWithSeconds(double seconds, int32_t preferredTimescale);
  static MediaTime invalid() { return {}; }

  Kind kind() const { return kind_; }
  bool isNumeric() const { return kind_ == Kind::numeric; }
  int64_t value() const { return value_; }
  int32_t timescale() const { return timescale_; }
  double seconds() const;

  // Exact when both are numeric (on the least common timescale, falling back to a finer common
  // timescale with rounding if that would overflow); infinities and invalid times propagate.
  MediaTime operator+(const MediaTime& other) const;
  bool operator==(const MediaTime& other) const;

  // "MediaTime(value: 601, timescale: 3)", "MediaTime(invalid)", "MediaTime(+infinity)".
  std::string description() const;

 private:
  MediaTime(Kind kind, int64_t value, int32_t timescale)
      : kind_(kind), value_(value), timescale_(timescale) {}
  Kind kind_ = Kind::invalid;
  int64_t value_ = 0;
  int32_t timescale_ = 0;
};

}  // namespace vorn::platform
