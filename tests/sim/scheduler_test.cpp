#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/sim/scheduler.h"

namespace vorn::sim {
namespace {

// Work that records its name (and the thread answer) when it runs.
class SchedulerOrder : public ::testing::Test {
 protected:
  Scheduler::Work named(const std::string& name,
                        Scheduler::Thread thread = Scheduler::Thread::main) {
    Scheduler::Work work;
    work.thread = thread;
    work.kind = "test";
    work.label = name;
    work.run = [this, name] {
      ran.push_back(name + "@" + std::to_string(static_cast<int>(scheduler.now())) +
                    (scheduler.isMainThread() ? "" : "(bg)"));
    };
    return work;
  }

  Scheduler scheduler{100.0};
  std::vector<std::string> ran;
};

TEST_F(SchedulerOrder, one_instant_runs_blocks_first_then_media_then_work_in_scheduling_order) {
  scheduler.schedule(105.0, named("first"));
  auto poster = named("poster");
  poster.run = [this] {
    ran.push_back("poster");
    scheduler.post([this] { ran.push_back("posted block"); });
  };
  scheduler.schedule(105.0, std::move(poster));
  scheduler.schedule(105.0, named("download", Scheduler::Thread::background));
  scheduler.schedule(105.0, named("media, scheduled last"), Scheduler::Lane::media);
  scheduler.schedule(104.0, named("earlier"));
  const auto cancelled = scheduler.schedule(105.0, named("cancelled"));
  EXPECT_TRUE(scheduler.cancel(cancelled));
  EXPECT_FALSE(scheduler.cancel(cancelled));

  const auto pending = scheduler.pending("test");
  ASSERT_EQ(pending.size(), 5u);
  EXPECT_EQ(pending.front().label, "earlier");
  EXPECT_EQ(pending[1].label, "media, scheduled last");
  EXPECT_EQ(pending.back().label, "download");

  scheduler.advance(10.0);
  EXPECT_EQ(ran, (std::vector<std::string>{"earlier@104", "media, scheduled last@105", "first@105",
                                           "poster", "posted block", "download@105(bg)"}));
  EXPECT_TRUE(scheduler.isMainThread());
  EXPECT_DOUBLE_EQ(scheduler.now(), 110.0);
  EXPECT_FALSE(scheduler.nextDueTime());
}

TEST_F(SchedulerOrder, time_moves_only_when_nothing_is_due_now) {
  // Work that schedules more work due at its own instant, or in the past, runs before time moves.
  auto chain = named("chain");
  chain.run = [this] {
    ran.push_back("chain@" + std::to_string(static_cast<int>(scheduler.now())));
    scheduler.schedule(scheduler.now(), named("same instant"));
    scheduler.schedule(scheduler.now() - 50.0, named("in the past"));
    scheduler.schedule(std::nan(""), named("not a number"));
    scheduler.schedule(scheduler.now() + 1.0, named("a second later"));
  };
  scheduler.schedule(102.0, std::move(chain));
  scheduler.post([this] { ran.push_back("block"); });
  EXPECT_EQ(scheduler.pendingMainBlocks(), 1u);
  EXPECT_TRUE(ran.empty()) << "nothing runs until asked";

  scheduler.advanceTo(102.5);
  EXPECT_EQ(ran, (std::vector<std::string>{"block", "chain@102", "same instant@102",
                                           "in the past@102", "not a number@102"}));
  EXPECT_EQ(scheduler.nextDueTime(), 103.0);
  // An earlier or a non-finite target only runs what is due now.
  scheduler.advanceTo(50.0);
  scheduler.advanceTo(std::numeric_limits<double>::infinity());
  EXPECT_DOUBLE_EQ(scheduler.now(), 102.5);
  scheduler.advance(0.5);
  EXPECT_EQ(ran.back(), "a second later@103");
}

TEST_F(SchedulerOrder, time_is_whole_microseconds_never_short_of_a_due_time) {
  // Due times apart by less than a microsecond are one instant: they run in the order they were
  // scheduled, and each sees a clock at or past the time it asked for.
  std::vector<double> shortBy;
  const auto checked = [&](const std::string& name, double due) {
    auto work = named(name);
    work.run = [this, &shortBy, name, due] {
      ran.push_back(name);
      shortBy.push_back(due - scheduler.now());
    };
    scheduler.schedule(due, std::move(work));
  };
  checked("a fraction before the tick", 100.0000019);
  checked("just past the tick", 100.0000020000001);
  checked("past the tick before", 100.0000016);
  scheduler.advance(1.0);
  EXPECT_EQ(ran, (std::vector<std::string>{"a fraction before the tick", "just past the tick",
                                           "past the tick before"}));
  ASSERT_EQ(shortBy.size(), 3u);
  for (const double gap : shortBy) {
    EXPECT_LE(gap, 0.0);
  }
  EXPECT_EQ(scheduler.nowTicks(), 101'000'000);

  // Ticks past 2^53 still order one by one, where a double would merge them.
  constexpr Scheduler::Ticks kFar = Scheduler::Ticks{1} << 53;
  ran.clear();
  for (const Scheduler::Ticks due : {kFar + 1, kFar}) {
    auto work = named("far");
    work.run = [this] { ran.push_back(std::to_string(scheduler.nowTicks() - kFar)); };
    scheduler.scheduleAt(due, std::move(work));
  }
  scheduler.advanceToTicks(kFar + 1);
  EXPECT_EQ(ran, (std::vector<std::string>{"0", "1"}));
  EXPECT_EQ(scheduler.nowTicks(), kFar + 1);
}

TEST_F(SchedulerOrder, drain_hands_back_everything_unrun) {
  int discarded = 0;
  auto timer = named("timer");
  timer.discard = [&discarded] { ++discarded; };
  scheduler.schedule(101.0, std::move(timer));
  scheduler.schedule(101.0, named("plain"));
  scheduler.post([this] { ran.push_back("block"); });

  auto drained = scheduler.drain();
  EXPECT_EQ(drained.blocks.size(), 1u);
  ASSERT_EQ(drained.work.size(), 2u);
  EXPECT_FALSE(scheduler.nextDueTime());
  EXPECT_EQ(scheduler.pendingMainBlocks(), 0u);
  for (auto& work : drained.work) {
    if (work.discard) {
      work.discard();
    }
  }
  scheduler.advance(5.0);
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(discarded, 1);
}

}  // namespace
}  // namespace vorn::sim
