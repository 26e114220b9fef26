#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/unit/channel_fixture.h"

namespace vorn::testing {
namespace {

// The worked example's cycle: A 600, B 300, B 300, C 1200 (2400 s); C starts 1200 s in.
constexpr double kCycle = 2400.0;
constexpr double kStartOfC = 1200.0;
constexpr double kFrame = 0.04;

// A load at a moment between two whole seconds: 200.4 s into C.
class FrameSync : public ChannelTest {
 protected:
  FrameSync() : ChannelTest(3800.4) {
    world_.trace().setSink([this](double, const std::string& line) { trace_.push_back(line); });
  }
  ~FrameSync() override { world_.trace().clear(); }

  // Picture minus clock in C, the clock's position worked out from the wall clock alone, less the
  // time spent paused (a pause shifts the queue's timeline).
  double offsetInC(double paused = 0.0) const {
    const double clock = std::fmod(world_.scheduler().now() - paused, kCycle) - kStartOfC;
    return world_.media().latestPlayer()->currentTime() - clock;
  }
  size_t driftLines() const {
    return std::ranges::count_if(
        trace_, [](const std::string& line) { return line.starts_with("drift: "); });
  }
  // Steps virtual time by a tenth of a second, keeping the largest |offset| seen.
  double runFor(double seconds, double paused = 0.0) {
    double worst = 0.0;
    for (int step = 0; step < static_cast<int>(std::lround(seconds * 10.0)); ++step) {
      world_.scheduler().advance(0.1);
      worst = std::max(worst, std::abs(offsetInC(paused)));
    }
    return worst;
  }

  std::vector<std::string> trace_;
};

TEST_F(FrameSync, a_load_places_the_picture_on_the_clock_and_second_mode_keeps_the_whole_second) {
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());
  ASSERT_EQ(currentUrl(), kC);
  // The log still names the whole second; the picture is where the clock is.
  EXPECT_EQ(countSince(0, "loadVideos: Seeking to MediaTime(value: 200, timescale: 1)"), 1u);
  EXPECT_NEAR(offsetInC(), 0.0, 1e-9);
  EXPECT_LT(runFor(1.0), 1e-9);
  EXPECT_TRUE(controller->infoLabelView()->isHidden()) << "the cover is lifted on the clock";
  EXPECT_EQ(driftLines(), 0u) << "a stream at its own pace needs no correction";

  world_.bundle().setFrameSync(false);
  controller->loadVideos(false);
  world_.scheduler().runUntilIdle();
  // 201.4 s into C, sought to the whole second as the log says.
  EXPECT_NEAR(world_.media().latestPlayer()->currentTime(), 201.0, 1e-9);
  world_.media().setPace(kC, 0.98);
  world_.scheduler().advance(10.0);
  EXPECT_NEAR(world_.media().latestPlayer()->currentTime(), 201.0 + 9.8, 1e-9);
  EXPECT_EQ(driftLines(), 0u);
}

TEST_F(FrameSync, a_slow_stream_is_held_on_the_clock_but_not_while_paused_or_under_the_slate) {
  world_.media().setPace(kC, 0.98);
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());
  ASSERT_EQ(currentUrl(), kC);
  runFor(5.0);
  EXPECT_GT(driftLines(), 0u);
  EXPECT_LE(runFor(60.0), kFrame) << "converged within five seconds and stays";
  EXPECT_NE(world_.media().latestPlayer()->speed(), 1.0);
  const std::string lastDrift = [&] {
    for (auto it = trace_.rbegin(); it != trace_.rend(); ++it) {
      if (it->starts_with("drift: ")) {
        return *it;
      }
    }
    return std::string();
  }();
  EXPECT_TRUE(lastDrift.starts_with(std::string("drift: ") + kC + " ")) << lastDrift;

  // Paused: the picture stands still and nothing is corrected; on resume the timeline has moved
  // by the pause and the picture goes on from there, still on it.
  controller->playerPause();
  world_.scheduler().runUntilIdle();
  size_t lines = driftLines();
  const double speed = world_.media().latestPlayer()->speed();
  world_.scheduler().advance(20.0);
  EXPECT_EQ(driftLines(), lines);
  EXPECT_EQ(world_.media().latestPlayer()->speed(), speed);
  controller->playerResume();
  world_.scheduler().runUntilIdle();
  EXPECT_LE(runFor(30.0, 20.0), kFrame);

  // Under the slate nothing plays and nothing is corrected.
  world_.media().setStall(kC, world_.media().latestPlayer()->currentTime() + 1.0,
                          std::numeric_limits<double>::infinity());
  world_.scheduler().advance(5.0);
  ASSERT_TRUE(controller->slateView());
  ASSERT_FALSE(controller->slateView()->isHidden());
  lines = driftLines();
  world_.scheduler().advance(20.0);
  EXPECT_EQ(driftLines(), lines);
}

}  // namespace
}  // namespace vorn::testing
