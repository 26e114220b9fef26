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

TEST(ProgrammeClock, the_seek_is_the_nearest_second_and_never_below_it) {
  EXPECT_EQ(seekSecond(200.0), 200.0);
  EXPECT_EQ(seekSecond(200.4), 200.0);
  EXPECT_EQ(seekSecond(200.5), 201.0);
  EXPECT_EQ(seekSecond(0.2), 0.0);
  // Near an item's end too: a second early would start every later item a second late.
  EXPECT_EQ(seekSecond(599.7), 600.0);
  EXPECT_EQ(seekSecond(10.0), 10.0);
  EXPECT_EQ(seekSecond(9.1), 9.0);
  EXPECT_EQ(seekSecond(0.0), 0.0);
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
