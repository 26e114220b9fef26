#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The arithmetic of the programme day: the playlist is one cycle of listed durations laid back to
// back from 00:00 UTC, so the wall clock alone names the item on screen and how far into it.
namespace vorn::programme {

inline constexpr double kSecondsPerDay = 86400.0;

// Seconds since 00:00 UTC of the day `secondsSince1970` falls in, in [0, 86400).
double daySeconds(double secondsSince1970);

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
