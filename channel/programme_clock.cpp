#include "channel/programme_clock.h"

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

bool isNumber(const Json& value) {
  return value.is_number() || value.is_boolean();
}

double numberValue(const Json& value) {
  if (value.is_boolean()) {
    return value.get<bool>() ? 1.0 : 0.0;
  }
  return value.get<double>();
}

int64_t playCount(const Json* value) {
  if (value == nullptr || !isNumber(*value)) {
    return 1;
  }
  if (value->is_number_unsigned()) {
    const auto count = value->get<uint64_t>();
    return count <= static_cast<uint64_t>(kMaxPlayCount) ? static_cast<int64_t>(count) : 1;
  }
  if (value->is_number_integer()) {
    const auto count = value->get<int64_t>();
    return count < 0 ? 0 : (count <= kMaxPlayCount ? count : 1);
  }
  // Compare as a double before converting: 1e300 has no integer value.
  const double whole = std::trunc(numberValue(*value));
  if (whole < 0.0) {
    return 0;
  }
  return whole <= static_cast<double>(kMaxPlayCount) ? static_cast<int64_t>(whole) : 1;
}

std::optional<UsableEntry> readEntry(const Json& element, const platform::Url* base) {
  if (!element.is_object()) {
    return std::nullopt;
  }
  const auto address = element.find("hls_url");
  if (address == element.end() || !address->is_string()) {
    return std::nullopt;
  }
  const auto text = address->get<std::string_view>();
  auto url = base ? platform::Url::resolve(text, *base) : platform::Url::parse(text);
  if (!url) {
    return std::nullopt;
  }
  const auto duration = element.find("duration");
  if (duration == element.end() || !isNumber(*duration)) {
    return std::nullopt;
  }
  const auto count = element.find("play_count");
  return UsableEntry{std::move(*url), numberValue(*duration),
                     playCount(count == element.end() ? nullptr : &*count)};
}

size_t countCycleItems(const Json& document, const platform::Url* base, size_t stopAfter) {
  size_t items = 0;
  if (!document.is_array()) {
    return items;
  }
  for (const Json& element : document) {
    if (const auto entry = readEntry(element, base)) {
      items += static_cast<size_t>(entry->plays);
      if (items > stopAfter) {
        return stopAfter + 1;
      }
    }
  }
  return items;
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
