#include "programme/programme_clock.h"

#include <gtest/gtest.h>

namespace vorn::programme {
namespace {

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

}  // namespace
}  // namespace vorn::programme
