#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "channel/json.h"
#include "platform/url.h"

// The arithmetic of the programme day: the playlist is one cycle of listed durations laid back to
// back from 00:00 UTC, so the wall clock alone names the item on screen and how far into it.
namespace vorn::programme {

inline constexpr double kSecondsPerDay = 86400.0;
inline constexpr int64_t kMaxPlayCount = 5;

// Seconds since 00:00 UTC of the day `secondsSince1970` falls in, in [0, 86400).
double daySeconds(double secondsSince1970);

// Numbers in a playlist: JSON numbers, and true/false as 1/0.
bool isNumber(const Json& value);
double numberValue(const Json& value);

// How many times in a row an entry is queued, from its "play_count" value (null when missing):
// missing or not a number gives 1; the value taken as a whole number (towards zero) gives 0 below
// 0, itself from 0 to 5, and 1 above 5. Values far outside any integer range are fine.
int64_t playCount(const Json* value);

// A playlist element that can be queued: a dictionary with a "hls_url" text that parses as a URL
// and a numeric "duration". With a `base` (the playlist's own address), a relative "hls_url" is
// resolved against it; an absolute one is taken as written.
struct UsableEntry {
  platform::Url url;
  double duration;
  int64_t plays;
};
std::optional<UsableEntry> readEntry(const Json& element, const platform::Url* base = nullptr);

// The most items one cycle may hold (the plays of every usable entry). A larger playlist is
// refused whole: its queue would cost seconds and hundreds of megabytes on every load.
inline constexpr size_t kMaxCycleItems = 100'000;

// The items the cycle of `document` holds: the plays of its usable entries, counted only up to
// `stopAfter` (past it the count is stopAfter + 1). Zero for anything but an array.
size_t countCycleItems(const Json& document, const platform::Url* base,
                       size_t stopAfter = kMaxCycleItems);

// The sum of the durations, in order, from 0.0.
double cycleLength(std::span<const double> durations);

// The item that covers `position` and how far into it: the first i with position < S + d, where
// S sums the durations before i. When none does (position not a number, or not below the total)
// the index is the number of items and the offset 0.0.
struct Start {
  size_t index = 0;
  double offset = 0.0;
  bool operator==(const Start&) const = default;
};
Start findStart(std::span<const double> durations, double position);

// The whole second a load seeks to, `offset` seconds into an item: the nearest, as a time of
// timescale 1 is made and as the log shows it, and never below it, even near the item's end (a
// seek a second early would start every later item a second late). Never below 0.
double seekSecond(double offset);

// Indices of the cycle rotated to begin at `start`: start..count-1, then 0..start-1. A start at or
// past the end gives the cycle in order.
std::vector<size_t> rotatedOrder(size_t count, size_t start);

// What a load at `daySeconds` plays, from the listed durations of the cycle: the item the clock
// names and how far into it, the whole second the first queued item is sought to, and the cycle's
// indices in queue order. An empty cycle gives an empty order.
struct QueuePlan {
  Start start;
  double seek = 0.0;
  std::vector<size_t> order;
};
QueuePlan planQueue(std::span<const double> durations, double daySeconds);

}  // namespace vorn::programme
