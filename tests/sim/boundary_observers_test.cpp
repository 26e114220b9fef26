#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/common/boundary_observers.h"

namespace vorn::common {
namespace {

using platform::MediaTime;

// Where a move starts and ends, and the limit of the next boundary, are left to the player's
// boundary cases; here, the order of several crossings of one move and removal.
TEST(BoundaryObservers, crossings_come_in_time_order_and_a_removed_observer_delivers_nothing) {
  BoundaryObservers observers;
  std::vector<std::string> ran;
  auto late =
      observers.add({MediaTime::make(5, 1), MediaTime::make(2, 1)}, [&] { ran.push_back("late"); });
  auto early = observers.add({MediaTime::make(2, 1), MediaTime()}, [&] { ran.push_back("early"); });
  auto removed = observers.add({MediaTime::make(3, 1)}, [&] { ran.push_back("removed"); });

  const auto crossed = observers.crossings(0.0, 5.0);
  std::vector<std::shared_ptr<platform::TimeObserverToken>> tokens;
  for (const auto& crossing : crossed) {
    tokens.push_back(crossing.token);
  }
  EXPECT_EQ(tokens, (std::vector{late, early, removed, late}))
      << "equal times in registration order";

  // A crossing found before its observer was removed delivers nothing afterwards.
  ASSERT_TRUE(observers.remove(removed));
  EXPECT_EQ(observers.blockOf(crossed[2]), nullptr);
  EXPECT_EQ(observers.remove(removed), nullptr);
  (*observers.blockOf(crossed[0]))();
  EXPECT_EQ(ran, (std::vector<std::string>{"late"}));
  EXPECT_EQ(observers.takeAll().size(), 2u);
  EXPECT_EQ(observers.size(), 0u);
}

}  // namespace
}  // namespace vorn::common
