#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/linux/main_loop.h"
#include "platform/linux/timers.h"

namespace vorn::linuxbackend {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, blocks_from_several_threads_run_on_the_main_thread_in_each_posters_order) {
  MainLoop loop;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 3000;
  std::vector<int> lastSeen(kThreads, -1);
  int received = 0;
  bool outOfOrder = false;
  bool offMainThread = false;
  std::atomic<bool> posterSawMainThread{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      if (loop.isMainThread()) {
        posterSawMainThread = true;
      }
      for (int i = 0; i < kPerThread; ++i) {
        loop.post([&, t, i] {
          offMainThread = offMainThread || !loop.isMainThread();
          outOfOrder = outOfOrder || lastSeen[t] != i - 1;
          lastSeen[t] = i;
          if (++received == kThreads * kPerThread) {
            loop.stop();
          }
        });
      }
    });
  }
  loop.run();
  for (auto& poster : posters) {
    poster.join();
  }
  EXPECT_EQ(received, kThreads * kPerThread);
  EXPECT_FALSE(outOfOrder);
  EXPECT_FALSE(offMainThread);
  EXPECT_FALSE(posterSawMainThread);
  EXPECT_TRUE(loop.isMainThread());
}

TEST(MainLoop, a_post_from_the_main_thread_runs_later_and_shutdown_drops_blocks_never_run) {
  auto held = std::make_shared<int>(7);
  std::weak_ptr<int> watch = held;
  bool ran = false;
  {
    MainLoop loop;
    std::vector<std::string> events;
    int turns = 0;
    loop.addTurnObserver([&] { ++turns; });
    loop.post([&] {
      loop.post([&] {
        events.push_back("inner");
        loop.stop();
      });
      events.push_back("outer done");
    });
    loop.run();
    EXPECT_EQ(events, (std::vector<std::string>{"outer done", "inner"}));
    EXPECT_GE(turns, 1);

    loop.post([held, &ran] { ran = true; });
    held.reset();
    EXPECT_FALSE(watch.expired());
    loop.shutdown();
    EXPECT_TRUE(watch.expired());
    loop.post([&ran] { ran = true; });  // ignored, no crash
  }
  EXPECT_FALSE(ran);
}

class TimerTest : public ::testing::Test {
 protected:
  platform::TimerAction action(const std::string& selector, std::function<void()> body) {
    return {selector, [body = std::move(body)](platform::Timer&) { body(); }};
  }
  MainLoop loop;
  AsioTimerService timers{loop.context()};
};

TEST_F(TimerTest, timers_fire_once_in_fire_time_order_then_release_their_action) {
  std::vector<std::string> fired;
  auto target = std::make_shared<int>(1);
  std::weak_ptr<int> watch = target;
  auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration lateElapsed{};
  auto late = timers.scheduledTimer(0.06, action("late:", [&] {
                                      fired.push_back("late");
                                      lateElapsed = std::chrono::steady_clock::now() - start;
                                      loop.stop();
                                    }));
  auto early = timers.scheduledTimer(0.02, action("early:", [&, target] {
                                       fired.push_back("early");
                                       EXPECT_TRUE(loop.isMainThread());
                                     }));
  target.reset();
  std::vector<std::shared_ptr<platform::Timer>> zeros;
  for (int i = 0; i < 5; ++i) {
    zeros.push_back(timers.scheduledTimer(
        0.0, action("zero:", [&, i] { fired.push_back("zero" + std::to_string(i)); })));
  }
  EXPECT_TRUE(early->isValid());
  EXPECT_EQ(early->selector(), "early:");
  EXPECT_DOUBLE_EQ(late->timeInterval(), 0.06);
  loop.run();
  EXPECT_EQ(fired, (std::vector<std::string>{"zero0", "zero1", "zero2", "zero3", "zero4", "early",
                                             "late"}));
  EXPECT_GE(lateElapsed, 60ms);
  EXPECT_FALSE(early->isValid());
  EXPECT_TRUE(watch.expired()) << "a fired timer must let go of its target";
  EXPECT_EQ(timers.pendingCount(), 0u);
}

TEST_F(TimerTest, an_invalidated_timer_never_fires_even_when_already_due) {
  bool cancelledFired = false;
  bool siblingFired = false;
  auto target = std::make_shared<int>(1);
  std::weak_ptr<int> watch = target;
  auto due = timers.scheduledTimer(0.01, action("due:", [&, target] { cancelledFired = true; }));
  target.reset();
  // The main thread is busy past the fire time, so asio has already completed the wait when the
  // invalidation comes.
  loop.post([&] {
    std::this_thread::sleep_for(50ms);
    due->invalidate();
    EXPECT_FALSE(due->isValid());
    EXPECT_TRUE(watch.expired()) << "an invalidated timer must let go of its target";
    due->invalidate();  // a second invalidation changes nothing
  });
  // Two timers due in the same pass: the first invalidates the second.
  std::shared_ptr<platform::Timer> second;
  auto first = timers.scheduledTimer(0.02, action("first:", [&] { second->invalidate(); }));
  second = timers.scheduledTimer(0.02, action("second:", [&] { siblingFired = true; }));
  timers.scheduledTimer(0.1, action("end:", [&] { loop.stop(); }));
  loop.run();
  EXPECT_FALSE(cancelledFired);
  EXPECT_FALSE(siblingFired);
  EXPECT_FALSE(first->isValid());
}

TEST_F(TimerTest, a_timer_scheduled_by_a_timer_waits_for_posted_blocks_and_shutdown_releases_all) {
  std::vector<std::string> events;
  timers.scheduledTimer(0.0, action("outer:", [&] {
                          timers.scheduledTimer(0.0, action("inner:", [&] {
                                                  events.push_back("inner timer");
                                                  loop.stop();
                                                }));
                          loop.post([&] { events.push_back("posted block"); });
                        }));
  loop.run();
  EXPECT_EQ(events, (std::vector<std::string>{"posted block", "inner timer"}));

  auto target = std::make_shared<int>(1);
  std::weak_ptr<int> watch = target;
  auto timer = timers.scheduledTimer(30.0, action("long:", [target] {}));
  target.reset();
  timers.shutdown();
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(timer->isValid());
  timer->invalidate();  // harmless afterwards
}

}  // namespace
}  // namespace vorn::linuxbackend
