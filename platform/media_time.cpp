#include "platform/media_time.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <optional>

namespace vorn::platform {
namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

// value * factor + otherValue * otherFactor, or nothing on overflow.
std::optional<int64_t> scaledSum(int64_t value, int64_t factor, int64_t otherValue,
                                 int64_t otherFactor) {
  int64_t left = 0;
  int64_t right = 0;
  int64_t sum = 0;
  if (__builtin_mul_overflow(value, factor, &left) ||
      __builtin_mul_overflow(otherValue, otherFactor, &right) ||
      __builtin_add_overflow(left, right, &sum)) {
    return std::nullopt;
  }
  return sum;
}

}  // namespace

MediaTime MediaTime::make(int64_t value, int32_t timescale) {
  if (timescale <= 0) {
    return invalid();
  }
  return MediaTime(Kind::numeric, value, timescale);
}

MediaTime MediaTime::makeWithSeconds(double seconds, int32_t preferredTimescale) {
  if (std::isnan(seconds) || preferredTimescale <= 0) {
    return invalid();
  }
  const double scaled = std::round(seconds * preferredTimescale);
  // Converting a double outside the int64 range is undefined: saturate to an infinity instead.
  if (scaled >= kTwoTo63) {
    return MediaTime(Kind::positiveInfinity, 0, 0);
  }
  if (scaled < -kTwoTo63) {
    return MediaTime(Kind::negativeInfinity, 0, 0);
  }
  return MediaTime(Kind::numeric, static_cast<int64_t>(scaled), preferredTimescale);
}

double MediaTime::seconds() const {
  switch (kind_) {
    case Kind::numeric:
      return static_cast<double>(value_) / timescale_;
    case Kind::positiveInfinity:
      return std::numeric_limits<double>::infinity();
    case Kind::negativeInfinity:
      return -std::numeric_limits<double>::infinity();
    case Kind::invalid:
      break;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

MediaTime MediaTime::operator+(const MediaTime& other) const {
  if (kind_ == Kind::invalid || other.kind_ == Kind::invalid) {
    return invalid();
  }
  if (kind_ != Kind::numeric || other.kind_ != Kind::numeric) {
    const bool plus = kind_ == Kind::positiveInfinity || other.kind_ == Kind::positiveInfinity;
    const bool minus = kind_ == Kind::negativeInfinity || other.kind_ == Kind::negativeInfinity;
    if (plus && minus) {
      return invalid();
    }
    return MediaTime(plus ? Kind::positiveInfinity : Kind::negativeInfinity, 0, 0);
  }
  const int64_t common = std::lcm<int64_t, int64_t>(timescale_, other.timescale_);
  if (common <= std::numeric_limits<int32_t>::max()) {
    if (const auto sum =
            scaledSum(value_, common / timescale_, other.value_, common / other.timescale_)) {
      return MediaTime(Kind::numeric, *sum, static_cast<int32_t>(common));
    }
  }
  // No exact common timescale fits: add in seconds on the finer of the two.
  return makeWithSeconds(seconds() + other.seconds(), std::max(timescale_, other.timescale_));
}

bool MediaTime::operator==(const MediaTime& other) const {
  if (kind_ != other.kind_) {
    return false;
  }
  if (kind_ != Kind::numeric) {
    return true;
  }
  // Compare value / timescale exactly: cross-multiplied, or reduced when that overflows.
  int64_t left = 0;
  int64_t right = 0;
  if (!__builtin_mul_overflow(value_, int64_t{other.timescale_}, &left) &&
      !__builtin_mul_overflow(other.value_, int64_t{timescale_}, &right)) {
    return left == right;
  }
  return value_ / timescale_ == other.value_ / other.timescale_ &&
         (value_ % timescale_) * other.timescale_ == (other.value_ % other.timescale_) * timescale_;
}

std::string MediaTime::description() const {
  switch (kind_) {
    case Kind::numeric:
      return "MediaTime(value: " + std::to_string(value_) +
             ", timescale: " + std::to_string(timescale_) + ")";
    case Kind::positiveInfinity:
      return "MediaTime(+infinity)";
    case Kind::negativeInfinity:
      return "MediaTime(-infinity)";
    case Kind::invalid:
      break;
  }
  return "MediaTime(invalid)";
}

}  // namespace vorn::platform
