#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/common/boundary_observers.h"
#include "platform/notification_center.h"

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

// The notification centre's registrations are tokens: each removes only its own.
TEST(NotificationCenter, a_token_removes_exactly_its_own_registration_when_it_goes) {
  auto center = std::make_unique<platform::NotificationCenter>();
  std::vector<std::string> heard;
  const auto listen = [&](const std::string& name) {
    return center->addObserver(
        {name + ":", [&heard, name](const platform::Notification&) { heard.push_back(name); }},
        "ping", nullptr);
  };
  auto first = listen("first");
  auto second = listen("second");
  std::optional<platform::ObserverRegistration> third(listen("third"));
  // Moved, a registration stays one; an emptied token removes nothing; replaced, the old one goes.
  platform::ObserverRegistration moved = std::move(second);
  EXPECT_FALSE(second.active());
  second.reset();
  first = listen("fourth");
  center->post({"ping", nullptr});
  EXPECT_EQ(heard, (std::vector<std::string>{"second", "third", "fourth"}));
  third.reset();
  heard.clear();
  center->post({"ping", nullptr});
  EXPECT_EQ(heard, (std::vector<std::string>{"second", "fourth"}));
  EXPECT_EQ(center->registeredSelectors(), (std::vector<std::string>{"second:", "fourth:"}));
  // A token may outlive its centre.
  center.reset();
  moved.reset();
  EXPECT_FALSE(moved.active());
}

}  // namespace
}  // namespace vorn::common
