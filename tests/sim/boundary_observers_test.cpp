#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/common/boundary_observers.h"

namespace vorn::common {
namespace {

using platform::MediaTime;

TEST(BoundaryObservers, a_move_crosses_times_after_its_start_up_to_its_end_in_time_order) {
  BoundaryObservers observers;
  std::vector<std::string> ran;
  auto late =
      observers.add({MediaTime::make(5, 1), MediaTime::make(2, 1)}, [&] { ran.push_back("late"); });
  auto early = observers.add({MediaTime::make(2, 1), MediaTime()}, [&] { ran.push_back("early"); });
  auto removed = observers.add({MediaTime::make(3, 1)}, [&] { ran.push_back("removed"); });

  const auto crossed = observers.crossings(2.0, 5.0);
  ASSERT_EQ(crossed.size(), 2u) << "2 s is where the move starts, not a crossing";
  EXPECT_EQ(crossed[0].token, removed);
  EXPECT_EQ(crossed[1].token, late);
  const auto fromStart = observers.crossings(0.0, 2.0);
  ASSERT_EQ(fromStart.size(), 2u);
  EXPECT_EQ(fromStart[0].token, late) << "equal times in registration order";
  EXPECT_EQ(fromStart[1].token, early);
  EXPECT_TRUE(observers.crossings(5.0, 5.0).empty());

  EXPECT_EQ(observers.nextAfter(2.0, 10.0), 3.0);
  EXPECT_EQ(observers.nextAfter(3.0, 4.0), std::nullopt) << "5 s is past the limit";

  // A crossing found before its observer was removed delivers nothing afterwards.
  const auto block = observers.remove(removed);
  ASSERT_TRUE(block);
  EXPECT_EQ(observers.blockOf(crossed[0]), nullptr);
  EXPECT_EQ(observers.remove(removed), nullptr);
  (*observers.blockOf(crossed[1]))();
  EXPECT_EQ(ran, (std::vector<std::string>{"late"}));
  EXPECT_EQ(observers.nextAfter(2.0, 10.0), 5.0);
  EXPECT_EQ(observers.takeAll().size(), 2u);
  EXPECT_EQ(observers.size(), 0u);
}

}  // namespace
}  // namespace vorn::common
