#include "programme/programme_clock.h"

#include <algorithm>
#include <cmath>

namespace vorn::programme {

double daySeconds(double secondsSince1970) {
  double seconds = std::fmod(secondsSince1970, kSecondsPerDay);
  // A clock set before 1970 gives a negative remainder; it still names a time of day.
  if (seconds < 0.0) {
    seconds += kSecondsPerDay;
    if (seconds >= kSecondsPerDay) {
      seconds = 0.0;
    }
  }
  return seconds;
}

double cycleLength(std::span<const double> durations) {
  double total = 0.0;
  for (const double duration : durations) {
    total += duration;
  }
  return total;
}

Start findStart(std::span<const double> durations, double position) {
  double sum = 0.0;
  for (size_t i = 0; i < durations.size(); ++i) {
    if (position < sum + durations[i]) {
      return {i, position - sum};
    }
    sum += durations[i];
  }
  return {durations.size(), 0.0};
}

double seekSecond(double offset) {
  return std::max(std::round(offset), 0.0);
}

std::vector<size_t> rotatedOrder(size_t count, size_t start) {
  if (start >= count) {
    start = 0;
  }
  std::vector<size_t> order;
  order.reserve(count);
  for (size_t i = start; i < count; ++i) {
    order.push_back(i);
  }
  for (size_t i = 0; i < start; ++i) {
    order.push_back(i);
  }
  return order;
}

QueuePlan planQueue(std::span<const double> durations, double daySeconds) {
  QueuePlan plan;
  if (durations.empty()) {
    return plan;
  }
  const double position = std::fmod(daySeconds, cycleLength(durations));
  plan.start = findStart(durations, position);
  // With no covering item the queue is the cycle in order, from the first item's start (offset 0).
  plan.seek = seekSecond(plan.start.offset);
  plan.order = rotatedOrder(durations.size(), plan.start.index);
  return plan;
}

}  // namespace vorn::programme
