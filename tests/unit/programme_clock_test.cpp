#include "channel/programme_clock.h"

#include <gtest/gtest.h>

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
