#include "channel/timeline.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace vorn {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A 100 s, B 180 s, C 30 s, loaded at clock 1000 with the clock 30 s into A.
Timeline abc() {
  return Timeline({100.0, 180.0, 30.0}, 1000.0, 30.0);
}

TEST(Timeline, slots_lie_end_to_end_and_a_position_names_the_slot_it_has_not_passed) {
  const Timeline timeline = abc();
  ASSERT_EQ(timeline.size(), 3u);
  EXPECT_EQ(timeline.slotStart(0), 0.0);
  EXPECT_EQ(timeline.slotStart(1), 100.0);
  EXPECT_EQ(timeline.slotEnd(1), 280.0);
  EXPECT_EQ(timeline.slotStart(2), 280.0);
  EXPECT_EQ(timeline.slotEnd(2), 310.0);
  // A slot's end belongs to the next slot; past the last one, none.
  EXPECT_EQ(timeline.slotAt(-5.0), 0u);
  EXPECT_EQ(timeline.slotAt(99.999), 0u);
  EXPECT_EQ(timeline.slotAt(100.0), 1u);
  EXPECT_EQ(timeline.slotAt(309.5), 2u);
  EXPECT_EQ(timeline.slotAt(310.0), std::nullopt);
  EXPECT_EQ(timeline.slotAt(1e12), std::nullopt);

  // Fractional lengths add up as the clock adds them; slots of no length, less, or no number have
  // no rules and take no room (a negative one takes room back), and a slot of no end never ends.
  const Timeline odd({0.1, 0.2, 0.0, -0.5, std::numeric_limits<double>::quiet_NaN()}, 0.0, 0.0);
  EXPECT_EQ(odd.slotEnd(1), 0.1 + 0.2);
  EXPECT_EQ(odd.slotStart(3), 0.1 + 0.2);
  EXPECT_EQ(odd.slotEnd(3), 0.1 + 0.2 - 0.5);
  EXPECT_TRUE(odd.hasRules(1));
  EXPECT_FALSE(odd.hasRules(2));
  EXPECT_FALSE(odd.hasRules(3));
  EXPECT_FALSE(odd.hasRules(4));
  EXPECT_EQ(odd.slotAt(0.3), 1u);  // the sum lies just past 0.3
  EXPECT_EQ(odd.slotAt(0.1 + 0.2), std::nullopt);
  const Timeline endless({10.0, kInf}, 0.0, 0.0);
  EXPECT_EQ(endless.slotAt(1e300), 1u);
  EXPECT_EQ(Timeline({}, 5.0, 0.0).slotAt(0.0), std::nullopt);
}

TEST(Timeline, items_are_found_from_the_slot_last_found_on) {
  // The same item in slots 0 and 2.
  Timeline timeline({10.0, 10.0, 10.0, 10.0}, 0.0, 0.0);
  const std::vector<char> items = {'a', 'b', 'a', 'c'};
  const auto find = [&](char item) {
    return timeline.find([&](size_t slot) { return items[slot] == item; });
  };
  EXPECT_EQ(find('a'), 0u);
  EXPECT_EQ(find('b'), 1u);
  EXPECT_EQ(find('a'), 2u);
  EXPECT_EQ(find('a'), 2u);  // the slot last found is looked at first
  EXPECT_EQ(find('c'), 3u);
  EXPECT_EQ(find('a'), 0u);  // and the look wraps round
  EXPECT_EQ(find('b'), 1u);
  EXPECT_EQ(find('z'), std::nullopt);
  EXPECT_EQ(find('a'), 2u);  // a miss leaves the hint where it was
  EXPECT_EQ(Timeline().find([](size_t) { return true; }), std::nullopt);
}

TEST(Timeline, the_clock_places_the_origin_and_a_pause_holds_then_moves_it) {
  Timeline timeline = abc();
  EXPECT_EQ(timeline.origin(), 970.0);
  EXPECT_EQ(timeline.loadedAt(), 1000.0);
  EXPECT_EQ(timeline.position(1000.0), 30.0);
  EXPECT_EQ(timeline.position(1150.0), 180.0);
  EXPECT_EQ(timeline.clockAt(280.0, 1150.0), 1250.0);
  // A clock offset of no number starts the first slot at the load.
  EXPECT_EQ(Timeline({10.0}, 50.0, std::numeric_limits<double>::quiet_NaN()).origin(), 50.0);
  EXPECT_EQ(Timeline({10.0}, 50.0, kInf).origin(), 50.0);

  // Held at 1010: the position stands at 40 and every clock time ahead moves with the wait.
  EXPECT_TRUE(timeline.hold(1010.0));
  EXPECT_TRUE(timeline.held());
  EXPECT_FALSE(timeline.hold(1050.0));  // a second hold keeps the first one's time
  EXPECT_EQ(timeline.position(1100.0), 40.0);
  EXPECT_EQ(timeline.clockAt(100.0, 1100.0), 1160.0);
  // Released at 1100: 90 s later than the clock alone would have it.
  EXPECT_TRUE(timeline.release(1100.0));
  EXPECT_FALSE(timeline.held());
  EXPECT_EQ(timeline.origin(), 1060.0);
  EXPECT_EQ(timeline.position(1100.0), 40.0);
  EXPECT_EQ(timeline.position(1160.0), 100.0);
  // A release without a hold changes nothing.
  EXPECT_FALSE(timeline.release(1200.0));
  EXPECT_EQ(timeline.origin(), 1060.0);
  EXPECT_EQ(timeline.loadedAt(), 1000.0);

  // A skip starts the slot now, or where the timeline stands while held.
  timeline.skipTo(2, 1200.0);
  EXPECT_EQ(timeline.position(1200.0), 280.0);
  timeline.hold(1210.0);
  timeline.skipTo(1, 1300.0);
  EXPECT_EQ(timeline.position(1300.0), 100.0);
  timeline.release(1400.0);
  EXPECT_EQ(timeline.position(1400.0), 100.0);

  // Clock times of today's magnitude keep their fractions.
  Timeline late({1800.5, 0.25}, 1.8e9 + 0.25, 1800.0);
  EXPECT_EQ(late.position(1.8e9 + 0.75), 1800.5);
  EXPECT_EQ(late.slotAt(late.position(1.8e9 + 0.75)), 1u);
  late.hold(1.8e9 + 0.75);
  late.release(1.8e9 + 3600.75);
  EXPECT_EQ(late.clockAt(late.slotEnd(1), 1.8e9 + 3600.75), 1.8e9 + 3601.0);
}

TEST(Timeline, an_end_within_a_second_of_its_slot_is_on_time_and_the_rest_is_waited_for) {
  const Timeline timeline = abc();  // A ends at clock 1070
  // Ended 1.5 s early: the slate fills the rest; 0.5 s early or exactly 1 s early: on time.
  EXPECT_TRUE(timeline.endedEarly(0, 1068.5));
  EXPECT_FALSE(timeline.endedEarly(0, 1069.0));
  EXPECT_FALSE(timeline.endedEarly(0, 1069.5));
  EXPECT_FALSE(timeline.endedEarly(0, 1075.0));
  EXPECT_EQ(timeline.untilEnd(0, 1069.5), 0.5);
  EXPECT_EQ(timeline.untilEnd(0, 1075.0), 0.0);
  EXPECT_EQ(timeline.leftOf(0, 1075.0), -5.0);
  // Ended 1.5 s late: the next item is moved onto the clock; 1 s or less late: left alone.
  EXPECT_TRUE(timeline.endedLate(0, 1071.5));
  EXPECT_FALSE(timeline.endedLate(0, 1071.0));
  EXPECT_FALSE(timeline.endedLate(0, 1060.0));
  // However short the slot, playing up to its end is on time.
  const Timeline quarter({0.25, 0.25}, 0.0, 0.0);
  EXPECT_FALSE(quarter.endedEarly(0, 0.25));
  EXPECT_FALSE(quarter.endedEarly(1, 0.5));
  // A slot without rules is never early, late or waited for.
  const Timeline unruled({0.0, -3.0, 20.0}, 0.0, 0.0);
  for (const size_t slot : {0u, 1u}) {
    EXPECT_FALSE(unruled.endedEarly(slot, -10.0));
    EXPECT_FALSE(unruled.endedLate(slot, 10.0));
    EXPECT_EQ(unruled.untilEnd(slot, -10.0), 0.0);
  }
  EXPECT_EQ(Timeline({kInf}, 0.0, 0.0).untilEnd(0, 1e9), kInf);
}

TEST(Timeline, a_fault_reported_ahead_of_the_clock_belongs_to_the_slot_the_clock_is_in) {
  Timeline timeline = abc();
  // The clock 50 s into A: a fault of B or C is A's early end.
  EXPECT_EQ(timeline.earlierSlotOnTheClock(1, 1020.0), 0u);
  EXPECT_EQ(timeline.earlierSlotOnTheClock(2, 1020.0), 0u);
  EXPECT_EQ(timeline.earlierSlotOnTheClock(2, 1140.0), 1u);
  // Within a second of B's start, or in it: B's own.
  EXPECT_EQ(timeline.earlierSlotOnTheClock(1, 1069.0), std::nullopt);
  EXPECT_EQ(timeline.earlierSlotOnTheClock(1, 1068.5), 0u);
  EXPECT_EQ(timeline.earlierSlotOnTheClock(1, 1100.0), std::nullopt);
  EXPECT_EQ(timeline.earlierSlotOnTheClock(0, 900.0), std::nullopt);
  // An earlier slot without rules plays as it is.
  EXPECT_EQ(Timeline({0.0, 50.0}, 0.0, 0.0).earlierSlotOnTheClock(1, -20.0), std::nullopt);
  // Which slot failed to open is kept per slot.
  EXPECT_FALSE(timeline.failed(1));
  timeline.markFailed(1);
  EXPECT_TRUE(timeline.failed(1));
  EXPECT_FALSE(timeline.failed(0));
  EXPECT_FALSE(timeline.failed(2));
}

TEST(Timeline, the_slate_names_the_slots_end_never_a_time_past_nor_a_reload_too_soon) {
  Timeline timeline = abc();
  EXPECT_EQ(timeline.slateUntil(1, 1100.0), 1250.0);
  // A fault heard after its slot ended names now.
  EXPECT_EQ(timeline.slateUntil(0, 1075.0), 1075.0);
  // Held: the end moves on with the wait.
  timeline.hold(1100.0);
  EXPECT_EQ(timeline.slateUntil(1, 1160.0), 1310.0);
  // The last slot's end is the next load: never within a second of this one.
  const Timeline last({100.0, 0.5}, 1000.0, 99.75);
  EXPECT_EQ(last.slateUntil(1, 1000.0), 1001.0);
  EXPECT_EQ(last.slateUntil(0, 1000.0), 1000.25);
  // A slot of no end has no time to name.
  EXPECT_EQ(Timeline({kInf, 5.0}, 0.0, 0.0).slateUntil(0, 10.0), kInf);
}

TEST(Timeline, slate_attempts_come_soon_then_spaced_and_once_before_the_slots_last_seconds) {
  // The clock times of the attempts of a slot that ends at 280, the first fault at 100.
  const auto attempts = [](double from, double end) {
    std::vector<double> at;
    bool lastChanceDone = false;
    double now = from;
    for (int retries = 0;; ++retries) {
      const auto delay = Timeline::retryDelay(retries, end - now, lastChanceDone);
      if (!delay) {
        return at;
      }
      now += *delay;
      at.push_back(now);
    }
  };
  EXPECT_EQ(attempts(100.0, 280.0),
            (std::vector<double>{105.0, 115.0, 145.0, 175.0, 205.0, 235.0, 265.0, 270.0}));
  // The last chance may be the first or second attempt, and comes only once.
  EXPECT_EQ(attempts(0.0, 18.0), (std::vector<double>{5.0, 8.0}));
  EXPECT_EQ(attempts(0.0, 40.0), (std::vector<double>{5.0, 15.0, 30.0}));
  // None that the slot's end would cut short, however the slot stands.
  EXPECT_EQ(attempts(0.0, 6.0), std::vector<double>{});
  EXPECT_EQ(attempts(0.0, -3.0), std::vector<double>{});
  bool done = true;
  EXPECT_EQ(Timeline::retryDelay(5, 31.5, done), 30.0);
  EXPECT_EQ(Timeline::retryDelay(5, 31.0, done), std::nullopt);
}

}  // namespace
}  // namespace vorn
