#include "channel/programme_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>

#include "playlist/playlist_document.h"

namespace vorn::programme {
namespace {

// A value as the playlist parser gives it: the one element of an array.
JsonPtr parse(const std::string& text) {
  const JsonPtr document = std::get<JsonPtr>(playlist::parseDocument("[" + text + "]"));
  return JsonPtr(document, &(*document)[0]);
}

TEST(ProgrammeClock, the_seek_is_the_nearest_second_whose_first_frame_mark_falls_inside_the_item) {
  EXPECT_EQ(seekSecond(200.0, 1200.0), 200.0);
  EXPECT_EQ(seekSecond(200.4, 1200.0), 200.0);
  EXPECT_EQ(seekSecond(200.5, 1200.0), 201.0);
  EXPECT_EQ(seekSecond(0.2, 600.0), 0.0);
  // Rounding up to the end (600 + 1/3 is never crossed in A) or onto its last third of a second.
  EXPECT_EQ(seekSecond(599.7, 600.0), 599.0);
  EXPECT_EQ(seekSecond(599.2, 599.5), 599.0);
  EXPECT_EQ(seekSecond(599.2, 599.3), 598.0);
  EXPECT_EQ(seekSecond(9.1, 9.2), 8.0);
  // A mark exactly at the end is not inside.
  EXPECT_EQ(seekSecond(9.0, 9.0 + 1.0 / 3.0), 8.0);
  // Items shorter than a third of a second start at 0.
  EXPECT_EQ(seekSecond(0.1, 0.2), 0.0);
  EXPECT_EQ(seekSecond(0.0, 0.0), 0.0);
  // Every whole-second result lies at most a second before the offset, never after the item.
  std::mt19937 random(11);
  std::uniform_real_distribution<double> length(1.0, 900.0);
  std::uniform_real_distribution<double> share(0.0, 1.0);
  for (int round = 0; round < 2000; ++round) {
    const double duration = length(random);
    const double offset = std::min(duration * share(random), std::nextafter(duration, 0.0));
    const double second = seekSecond(offset, duration);
    ASSERT_EQ(second, std::floor(second));
    ASSERT_LT(second + 1.0 / 3.0, duration) << offset << " of " << duration;
    ASSERT_LE(std::abs(second - offset), 1.0 + 1.0 / 3.0) << offset << " of " << duration;
  }
}

TEST(ProgrammeClock,
     every_queue_is_a_rotation_holding_each_item_once_and_the_start_covers_the_position) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> duration(0.0, 900.0);
  std::uniform_int_distribution<size_t> count(1, 40);
  std::uniform_real_distribution<double> clock(0.0, 86400.0);
  for (int round = 0; round < 500; ++round) {
    std::vector<double> cycle(count(random));
    for (auto& d : cycle) {
      d = std::floor(duration(random));
    }
    const double length = cycleLength(cycle);
    const double position = std::fmod(clock(random), length);
    const Start start = findStart(cycle, position);
    const auto order = rotatedOrder(cycle.size(), start.index);
    ASSERT_EQ(order.size(), cycle.size());
    EXPECT_EQ(std::set<size_t>(order.begin(), order.end()).size(), cycle.size());
    for (size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(order[i], (order[0] + i) % cycle.size());
    }
    if (start.index < cycle.size()) {
      EXPECT_GE(start.offset, 0.0);
      EXPECT_LT(start.offset, cycle[start.index]);
      const double before =
          std::accumulate(cycle.begin(), cycle.begin() + static_cast<long>(start.index), 0.0);
      EXPECT_DOUBLE_EQ(before + start.offset, position);
    } else {
      EXPECT_TRUE(std::isnan(position) || length == 0.0);
    }
  }
}

TEST(ProgrammeClock, day_seconds_ignore_the_date_and_stay_in_the_day) {
  EXPECT_DOUBLE_EQ(daySeconds(0.0), 0.0);
  EXPECT_DOUBLE_EQ(daySeconds(3800.0), 3800.0);
  EXPECT_DOUBLE_EQ(daySeconds(1796601600.0 + 3800.5), 3800.5);  // 2026-12-06 01:03:20.5 UTC
  EXPECT_DOUBLE_EQ(daySeconds(-1.0), 86399.0);                  // a clock set before 1970
}

TEST(ProgrammeClock, play_count_is_the_whole_listed_count_up_to_five_and_one_otherwise) {
  const auto count = [](const char* text) { return playCount(parse(text).get()); };
  EXPECT_EQ(playCount(nullptr), 1);
  EXPECT_EQ(count("\"3\""), 1);
  EXPECT_EQ(count("-1"), 0);
  EXPECT_EQ(count("0"), 0);
  EXPECT_EQ(count("5"), 5);
  EXPECT_EQ(count("6"), 1);
  EXPECT_EQ(count("2.9"), 2);
  EXPECT_EQ(count("-0.5"), 0);
  EXPECT_EQ(count("true"), 1);
  EXPECT_EQ(count("false"), 0);
  // Far outside any integer range: no undefined conversion, the ordinary rule.
  EXPECT_EQ(count("1e300"), 1);
  EXPECT_EQ(count("-1e300"), 0);
  EXPECT_EQ(count("18446744073709551615"), 1);
  EXPECT_EQ(count("-9223372036854775808"), 0);
}

}  // namespace
}  // namespace vorn::programme
