#include "platform/sequence_checker.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/unit/channel_fixture.h"

namespace vorn::testing {
namespace {

// The child of a death test runs the test again up to the statement: its threads are its own.
class SequenceCheckDeathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!VORN_SEQUENCE_CHECKS) {
      GTEST_SKIP() << "sequence checks are off in this build";
    }
  }
};

TEST_F(SequenceCheckDeathTest, the_first_thread_owns_the_state_and_any_other_aborts) {
  platform::SequenceChecker checker;
  VORN_CHECK_SEQUENCE(checker, "timeline_");
  VORN_CHECK_SEQUENCE(checker, "timeline_");
  EXPECT_DEATH(std::thread([&] { VORN_CHECK_SEQUENCE(checker, "timeline_"); }).join(),
               "sequence check failed: timeline_ touched at .*sequence_checker_test.cpp:[0-9]+ "
               "from a thread other than the one that owns it");
  // State first touched on another thread belongs to that thread, even once it has ended.
  platform::SequenceChecker elsewhere;
  std::thread([&] {
    VORN_CHECK_SEQUENCE(elsewhere, "slate_");
    VORN_CHECK_SEQUENCE(elsewhere, "slate_");
  }).join();
  EXPECT_DEATH(VORN_CHECK_SEQUENCE(elsewhere, "slate_"), "slate_ touched");
}

class ControllerSequenceDeathTest : public ChannelTest {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!VORN_SEQUENCE_CHECKS) {
      GTEST_SKIP() << "sequence checks are off in this build";
    }
  }
};

// The controller's slots and slate belong to the thread that runs its main queue.
TEST_F(ControllerSequenceDeathTest, the_slots_touched_off_the_main_thread_abort) {
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());
  ASSERT_EQ(currentUrl(), kC);
  const platform::Notification ended{platform::kPlayerItemDidPlayToEndTimeNotification,
                                     world_.media().latestPlayer()->currentItem()};
  EXPECT_DEATH(std::thread([&] { controller->lastVideoPlayedToEnd(ended); }).join(),
               "sequence check failed: lastSlotEnd_ touched at .*playback_events.cpp");
  // On the main thread the same call goes on: C, 1000 s before its slot's end, ended early.
  const size_t before = mark();
  controller->lastVideoPlayedToEnd(ended);
  EXPECT_EQ(countSince(before, "lastVideoPlayedToEnd"), 0u);
}

}  // namespace
}  // namespace vorn::testing
