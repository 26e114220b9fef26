#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/world.h"

namespace vorn::sim {
namespace {

using platform::Timer;
using platform::TimerAction;

// Counts destructions, to observe when a callable's captures are released.
struct Target {
  explicit Target(int* destroyed) : destroyed(destroyed) {}
  ~Target() { ++*destroyed; }
  int* destroyed;
};

TEST(WorldMainQueue, posting_and_downloading_from_other_threads_while_running_loses_nothing) {
  World world;
  world.network().serve("https://example.invalid/a", {.data = "a"});
  int ran = 0;
  int completed = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      EXPECT_FALSE(world.mainQueue().isMainThread());
      for (int i = 0; i < 250; ++i) {
        world.mainQueue().post([&] { ++ran; });
        world.systemLog().write("from a thread");
      }
      world.urlSession().startDataTask(*platform::Url::parse("https://example.invalid/a"),
                                       [&](auto, auto, auto) { ++completed; });
    });
  }
  // The test thread keeps running the queue while the others post into it.
  while (ran < 1000 || completed < 4) {
    world.scheduler().runUntilIdle();
    std::this_thread::yield();
  }
  for (auto& thread : threads) {
    thread.join();
  }
  world.scheduler().runUntilIdle();
  EXPECT_EQ(ran, 1000);
  EXPECT_EQ(completed, 4);
  EXPECT_EQ(world.log().records().size(), 1000u);
  EXPECT_EQ(world.network().requests().size(), 4u);
}

TEST(WorldTimers, invalidate_and_firing_release_the_target) {
  World world;
  int destroyed = 0;
  int fired = 0;
  auto target = std::make_shared<Target>(&destroyed);
  auto cancelled = world.timers().scheduledTimer(
      1.0, TimerAction{"cancelled:", [&fired, target](Timer&) { ++fired; }});
  auto kept = world.timers().scheduledTimer(
      1.0, TimerAction{"kept:",
                       [&fired, held = std::make_shared<Target>(&destroyed)](Timer&) { ++fired; }});
  target.reset();
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(cancelled->selector(), "cancelled:");
  EXPECT_DOUBLE_EQ(cancelled->timeInterval(), 1.0);

  cancelled->invalidate();
  EXPECT_FALSE(cancelled->isValid());
  EXPECT_EQ(destroyed, 1) << "invalidate keeps the target";
  cancelled->invalidate();  // no effect the second time

  ASSERT_EQ(world.timers().pending().size(), 1u);
  EXPECT_EQ(world.timers().pending()[0].selector, "kept:");
  world.scheduler().advance(1.0);
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(destroyed, 2) << "a fired timer keeps its target";
  EXPECT_FALSE(kept->isValid());
  kept->invalidate();  // no effect after firing
  world.scheduler().advance(10.0);
  EXPECT_EQ(fired, 1);
}

TEST(WorldTime, the_trace_tells_timers_and_records_the_log_keeps_times_and_the_hook_follows_turns) {
  World world({.startTime = 50.0});
  std::vector<std::string> lines;
  int turns = 0;
  world.trace().setSink([&](double, const std::string& line) { lines.push_back(line); });
  world.trace().setLogRecords(true);
  world.trace().setViewTreeHook([&] { ++turns; });
  world.systemLog().write("DEBUG: x");
  world.mainQueue().post([] {});
  world.mainQueue().post([] {});
  // A timer's line comes before what its action does.
  world.timers().scheduledTimer(
      1.0, TimerAction{"t:", [&](Timer&) { world.systemLog().write("DEBUG: in t"); }});
  world.timers().scheduledTimer(2.0, TimerAction{"cancelled:", [](Timer&) {}})->invalidate();
  world.urlSession().startDataTask(*platform::Url::parse("https://example.invalid/"),
                                   [](auto, auto, auto) {});
  world.scheduler().advance(1.0);
  EXPECT_EQ(turns, 3) << "two blocks and a timer; a completion is no main-thread turn";
  EXPECT_EQ(
      lines,
      (std::vector<std::string>{
          "log: DEBUG: x", "timer scheduled: t: fires at 51.000",
          "timer scheduled: cancelled: fires at 52.000",
          "timer invalidated: cancelled:", "download started: https://example.invalid/",
          "download finished: https://example.invalid/", "timer fired: t:", "log: DEBUG: in t"}));
  // The log keeps every record with its time.
  world.systemLog().write("ERROR: two");
  EXPECT_EQ(world.log().records(),
            (std::vector<std::string>{"DEBUG: x", "DEBUG: in t", "ERROR: two"}));
  ASSERT_EQ(world.log().timedRecords().size(), 3u);
  EXPECT_DOUBLE_EQ(world.log().timedRecords()[0].time, 50.0);
  EXPECT_DOUBLE_EQ(world.log().timedRecords()[2].time, 51.0);
  EXPECT_EQ(world.log().timedRecords()[2].text, "ERROR: two");
}

}  // namespace
}  // namespace vorn::sim
