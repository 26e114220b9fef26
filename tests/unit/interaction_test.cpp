#include <nlohmann/json.hpp>

#include "channel_fixture.h"
#include "interaction/overlay.h"
#include "platform/sim/sim_media.h"
#include "programme/document.h"

namespace vorn::testing {
namespace {

constexpr const char* kDebug = "DEBUG: VorniOSViewController: ";
// A parsed playlist entry with only a description.
JsonPtr entryDescribedAs(const std::string& description) {
  const auto text = nlohmann::json{{"description_attribution", description}}.dump();
  return std::get<JsonPtr>(programme::parseDocument(text));
}

// The application started as on a device, with the remote address serving a programme.
class Interaction : public ChannelTest {
 protected:
  Interaction() { world_.network().serve(kRemote, {.data = workedExamplePlaylist()}); }

  // Launches and plays past the first third of a second, so the cover has lifted.
  void startPlaying(bool developerMode = false) {
    controller_ = launchApp(developerMode);
    world_.scheduler().runUntilIdle();
    world_.scheduler().advance(0.5);
    ASSERT_TRUE(controller_->queuePlayer());
    ASSERT_TRUE(controller_->infoLabelView()->isHidden());
  }

  float rate() const { return controller_->queuePlayer()->rate(); }
  bool bandShown() const { return !controller_->infoLabelView()->isHidden(); }
  std::vector<double> inactivityFireTimes() const {
    std::vector<double> times;
    for (const auto& timer : world_.timers().pending()) {
      if (timer.selector == "inactivityTimer:") {
        times.push_back(timer.fireTime);
      }
    }
    return times;
  }

  static void playOut(platform::QueuePlayer& player) {
    while (!player.items().empty()) {
      player.advanceToNextItem();
    }
  }

  std::shared_ptr<VornViewController> controller_;
};

// The queue C, A, B, B loaded at 01:03:20 ends at 01:40:00 and is loaded again from the clock.
TEST_F(Interaction,
       looped_reloads_lift_the_cover_at_once_and_inactivity_counts_from_the_fresh_load) {
  startPlaying();
  const double freshLoad = 3800.0;
  const auto first = controller_->queuePlayer();
  ASSERT_EQ(inactivityFireTimes(), std::vector<double>{freshLoad + 3600.0});
  world_.scheduler().advanceTo(freshLoad + 3599.0);
  EXPECT_NE(controller_->queuePlayer(), first);
  EXPECT_FALSE(bandShown());
  EXPECT_FALSE(controller_->activityIndicatorView()->isAnimating());
  EXPECT_FLOAT_EQ(rate(), 1.0f);

  // Exactly an hour after the fresh load the channel pauses itself with the overlay.
  world_.scheduler().advanceTo(freshLoad + 3600.0);
  EXPECT_FLOAT_EQ(rate(), 0.0f);
  EXPECT_TRUE(bandShown());
  EXPECT_EQ(controller_->infoLabel()->text().rfind(overlay::kPausedHeading, 0), 0u);
  EXPECT_TRUE(inactivityFireTimes().empty());
  const auto debugs = controller_->debugmsgs();
  EXPECT_EQ(std::count(debugs.begin(), debugs.end(), "inactivityTimer:"), 1);
}

// The operator's interval: a change moves a live countdown to the new interval from now, 0 turns
// the pause off (a resume then arms nothing and the channel plays on), and a paused channel gets
// no countdown from a change; turning it back on while playing starts a countdown from now.
TEST_F(Interaction, the_inactivity_interval_set_while_running_moves_or_cancels_the_countdown) {
  startPlaying();
  world_.scheduler().advance(100.0);
  const double now = world_.scheduler().now();
  controller_->setINACTIVITY_TIMER_SECONDS(900.0);
  EXPECT_EQ(inactivityFireTimes(), std::vector<double>{now + 900.0});
  world_.scheduler().advance(900.0);
  EXPECT_FLOAT_EQ(rate(), 0.0f);
  EXPECT_TRUE(inactivityFireTimes().empty());

  controller_->setINACTIVITY_TIMER_SECONDS(600.0);
  EXPECT_TRUE(inactivityFireTimes().empty());
  controller_->setINACTIVITY_TIMER_SECONDS(0.0);
  world_.input().tap();
  world_.scheduler().runUntilIdle();
  EXPECT_FLOAT_EQ(rate(), 1.0f);
  EXPECT_TRUE(inactivityFireTimes().empty());
  EXPECT_EQ(controller_->debugmsgs().back(), "setInactivityTimer");

  // Turned on again while playing: the countdown starts now.
  world_.scheduler().advance(50.0);
  controller_->setINACTIVITY_TIMER_SECONDS(300.0);
  ASSERT_EQ(inactivityFireTimes(), std::vector<double>{world_.scheduler().now() + 300.0});
  controller_->setINACTIVITY_TIMER_SECONDS(0.0);
  EXPECT_TRUE(inactivityFireTimes().empty());
  world_.scheduler().advance(4 * 3600.0);
  EXPECT_FLOAT_EQ(rate(), 1.0f);
  EXPECT_FALSE(bandShown());
}

TEST_F(Interaction, a_tap_on_a_paused_channel_resumes_it_and_arms_the_inactivity_timer_again) {
  startPlaying();
  controller_->playerPause();
  world_.scheduler().runUntilIdle();
  ASSERT_TRUE(inactivityFireTimes().empty());
  world_.scheduler().advance(10.0);
  auto& tap = *controller_->view()->gestureRecognizers()[4];
  const size_t before = mark();
  controller_->handleTapGestureRecognizer(tap);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(recordsSince(before, kDebug),
            (std::vector<std::string>{"handleTapGestureRecognizer: " + tap.description(),
                                      "handleAllGestureRecognizers: rate is Optional(0.0)",
                                      "handleAllGestureRecognizers: paused, resuming",
                                      "playerResume", "setInactivityTimer"}));
  EXPECT_FLOAT_EQ(rate(), 1.0f);
  EXPECT_FALSE(bandShown());
  // An hour from the resume, not from the launch.
  EXPECT_EQ(inactivityFireTimes(), std::vector<double>{world_.scheduler().now() + 3600.0});
}

// Each input reaches its own handler, and each toggles: a recogniser that answered the wrong input,
// or two that answered one, would leave the rate where it was.
TEST_F(Interaction, every_input_toggles_playback_through_its_own_handler) {
  startPlaying();
  const std::vector<std::function<void()>> inputs{
      [&] { EXPECT_TRUE(world_.input().tap()); },
      [&] { EXPECT_TRUE(world_.input().swipe(platform::kSwipeUp)); },
      [&] { EXPECT_TRUE(world_.input().swipe(platform::kSwipeDown)); },
      [&] { EXPECT_TRUE(world_.input().swipe(platform::kSwipeLeft)); },
      [&] { EXPECT_TRUE(world_.input().swipe(platform::kSwipeRight)); },
      [&] { EXPECT_TRUE(world_.input().pressPlayPause()); },
      [&] { world_.input().remoteCommand(platform::RemoteCommandKind::play); },
      [&] { world_.input().remoteCommand(platform::RemoteCommandKind::pause); },
      [&] { world_.input().remoteCommand(platform::RemoteCommandKind::stop); },
      [&] { world_.input().remoteCommand(platform::RemoteCommandKind::togglePlayPause); },
  };
  float expected = 1.0f;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const size_t before = mark();
    inputs[i]();
    world_.scheduler().runUntilIdle();
    expected = expected == 0.0f ? 1.0f : 0.0f;
    EXPECT_FLOAT_EQ(rate(), expected) << "input " << i;
    EXPECT_EQ(bandShown(), expected == 0.0f) << "input " << i;
    const auto lines = recordsSince(before, kDebug);
    ASSERT_FALSE(lines.empty());
    const char* first = i == 0 || i == 5 ? "handleTapGestureRecognizer: "
                        : i < 5          ? "handleSwipeGestureRecognizer: "
                                         : "mpRemoteCommandCenterEvent: ";
    EXPECT_EQ(lines[0].rfind(first, 0), 0u) << lines[0];
  }
  // The remote-command handler answers success.
  EXPECT_EQ(world_.remoteCommandCenter().playCommand().invoke(), (std::vector<int>{0}));
}

TEST_F(Interaction,
       developer_mode_swipes_skip_rebuild_only_a_last_item_and_leave_overlay_and_timer) {
  startPlaying(/*developerMode=*/true);
  ASSERT_EQ(urlsOf(controller_->queuePlayer()->items()),
            (std::vector<std::string>{kA, kB, kB, kC}));
  const auto timerBefore = controller_->inactivityTimer();
  world_.input().swipe(platform::kSwipeLeft);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(urlsOf(controller_->queuePlayer()->items()), (std::vector<std::string>{kB, kB, kC}));
  EXPECT_FLOAT_EQ(rate(), 1.0f);
  EXPECT_FALSE(bandShown());
  world_.input().swipe(platform::kSwipeUp);
  world_.input().swipe(platform::kSwipeDown);
  world_.scheduler().runUntilIdle();
  const auto lastPlayer = controller_->queuePlayer();
  ASSERT_EQ(urlsOf(lastPlayer->items()), (std::vector<std::string>{kC}));
  // One item left: the queue is rebuilt as after its end, from the first entry.
  const size_t before = mark();
  world_.input().swipe(platform::kSwipeRight);
  world_.scheduler().runUntilIdle();
  EXPECT_NE(controller_->queuePlayer(), lastPlayer);
  EXPECT_EQ(urlsOf(controller_->queuePlayer()->items()),
            (std::vector<std::string>{kA, kB, kB, kC}));
  EXPECT_EQ(recordsSince(before, kDebug)[1], "loadVideos: hasLoopedFromLastVideo: true");
  EXPECT_EQ(controller_->inactivityTimer(), timerBefore);
  EXPECT_TRUE(controller_->inactivityTimer()->isValid());
  // A tap still toggles in developer mode.
  world_.input().tap();
  world_.scheduler().runUntilIdle();
  EXPECT_FLOAT_EQ(rate(), 0.0f);

  // Only a queue of exactly one item is rebuilt by a swipe: an emptied queue is advanced (which
  // does nothing) and the channel does not reload behind the developer's back.
  const auto player = controller_->queuePlayer();
  playOut(*player);
  const size_t beforeEmpty = mark();
  EXPECT_TRUE(world_.input().swipe(platform::kSwipeLeft));
  world_.scheduler().runUntilIdle();
  const auto lines = recordsSince(beforeEmpty, kDebug);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("handleSwipeGestureRecognizer: ", 0), 0u);
  EXPECT_EQ(controller_->queuePlayer(), player);
  EXPECT_EQ(world_.media().latestPlayer(), player);
  EXPECT_TRUE(player->items().empty());
}

// Nothing to play: the packaged copy is missing, and in developer mode nothing else is fetched.
TEST_F(Interaction, inputs_without_a_player_log_and_change_nothing) {
  world_.network().removeFile(kPackagedPath);
  controller_ = launchApp(/*developerMode=*/true);
  world_.scheduler().runUntilIdle();
  ASSERT_FALSE(controller_->queuePlayer());
  const size_t before = mark();
  world_.input().tap();
  world_.input().remoteCommand(platform::RemoteCommandKind::togglePlayPause);
  EXPECT_TRUE(world_.input().swipe(platform::kSwipeUp));
  world_.scheduler().runUntilIdle();
  const auto lines = recordsSince(before, kDebug);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1], "handleAllGestureRecognizers: rate is nil");
  EXPECT_EQ(lines[3], "handleAllGestureRecognizers: rate is nil");
  EXPECT_EQ(lines[4].rfind("handleSwipeGestureRecognizer: ", 0), 0u);
  EXPECT_FALSE(controller_->queuePlayer());
  // The application leaving the foreground before any queue exists: no crash, nothing to pause.
  world_.lifecycle().resignActive();
  world_.scheduler().runUntilIdle();
  EXPECT_FALSE(controller_->queuePlayer());
}

TEST_F(Interaction, toggle_with_an_empty_queue_hides_the_band_and_reloads) {
  startPlaying();
  const auto player = controller_->queuePlayer();
  playOut(*player);
  const size_t before = mark();
  world_.scheduler().advance(10.0);
  world_.input().tap();
  world_.scheduler().runUntilIdle();
  const auto lines = recordsSince(before, kDebug);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "handleAllGestureRecognizers: rate is Optional(1.0)");
  EXPECT_EQ(lines[2], "loadVideos: hasLoopedFromLastVideo: false");
  EXPECT_NE(controller_->queuePlayer(), player);
  EXPECT_TRUE(controller_->activityIndicatorView()->isAnimating());
  // No pause came first: the reload's inactivity timer replaces the launch's.
  EXPECT_EQ(inactivityFireTimes(), std::vector<double>{world_.scheduler().now() +
                                                       controller_->INACTIVITY_TIMER_SECONDS()});
}

TEST_F(Interaction, the_paused_band_names_the_current_item_and_grows_from_the_foot) {
  startPlaying();
  // 01:03:20 is 200 s into C, which has no description.
  const size_t before = mark();
  controller_->playerPause();
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(controller_->infoLabel()->text(), "Solvane TV - Paused\nNow playing:\n");
  EXPECT_EQ(recordsSince(before, kDebug),
            (std::vector<std::string>{"Frame is (0.0, 0.0, 1920.0, 1080.0)"}));
  // Two lines of 20 points: the band is 100 points tall at the foot.
  EXPECT_EQ(controller_->infoLabel()->frame(), (platform::Rect{90.0, 0.0, 1740.0, 40.0}));
  EXPECT_EQ(controller_->infoLabelView()->frame(), (platform::Rect{0.0, 980.0, 1920.0, 100.0}));
  EXPECT_TRUE(bandShown());
  EXPECT_FLOAT_EQ(rate(), 0.0f);

  // A long description wraps within W - 180 and the band grows upwards from the foot. A screen
  // of half a point logs its frame as it is.
  world_.lifecycle().resize({800.0, 600.5});
  const auto item =
      std::dynamic_pointer_cast<VornAVPlayerItem>(controller_->queuePlayer()->currentItem());
  std::string words;
  for (int i = 0; i < 40; ++i) {
    words += "word" + std::to_string(i % 10) + " ";
  }
  item->setPlaylist_info(entryDescribedAs(words));
  const size_t resized = mark();
  controller_->showInfoLabel("", std::nullopt);
  EXPECT_EQ(recordsSince(resized, kDebug),
            (std::vector<std::string>{"Frame is (0.0, 0.0, 800.0, 600.5)"}));
  // 620 points hold 62 characters: 10 words of 6 a line, 4 lines, plus "Now playing:".
  EXPECT_EQ(controller_->infoLabel()->frame(), (platform::Rect{90.0, 0.0, 620.0, 100.0}));
  EXPECT_EQ(controller_->infoLabelView()->frame(), (platform::Rect{0.0, 440.5, 800.0, 160.0}));

  // A text taller than H - 120 is bounded there.
  item->setPlaylist_info(entryDescribedAs(std::string(20000, 'x')));
  controller_->showInfoLabel(overlay::kPausedHeading, std::nullopt);
  EXPECT_EQ(controller_->infoLabel()->frame().height, 480.0);
  EXPECT_EQ(controller_->infoLabelView()->frame(), (platform::Rect{0.0, 60.5, 800.0, 540.0}));
}

TEST_F(Interaction, pause_while_the_cover_is_up_turns_it_into_the_foot_band) {
  controller_ = launchApp();
  world_.scheduler().runUntilIdle();
  ASSERT_EQ(controller_->infoLabelView()->frame(), controller_->view()->frame());
  controller_->playerPause();
  world_.scheduler().runUntilIdle();
  EXPECT_TRUE(bandShown());
  EXPECT_EQ(controller_->infoLabelView()->frame().y, 980.0);
  EXPECT_TRUE(controller_->activityIndicatorView()->isAnimating());
  // The boundary still fires (the player is paused, so only once it plays again).
  world_.scheduler().advance(5.0);
  EXPECT_TRUE(bandShown());
  world_.input().tap();
  world_.scheduler().runUntilIdle();
  EXPECT_FALSE(bandShown());
  EXPECT_FALSE(controller_->activityIndicatorView()->isAnimating());
}

TEST_F(Interaction, the_band_hides_on_its_timer_and_a_pause_without_an_item_shows_nothing) {
  startPlaying();
  controller_->showInfoLabel("Note\n", 5.0);
  world_.scheduler().runUntilIdle();
  EXPECT_TRUE(bandShown());
  ASSERT_EQ(world_.timers().pending().size(), 2u);
  world_.scheduler().advance(5.0);
  EXPECT_FALSE(bandShown());

  // A pause that finds no current item shows nothing but still pauses and cancels the timer.
  const auto player = controller_->queuePlayer();
  playOut(*player);
  controller_->playerPause();
  world_.scheduler().runUntilIdle();
  EXPECT_FALSE(bandShown());
  EXPECT_FLOAT_EQ(rate(), 0.0f);
  EXPECT_TRUE(inactivityFireTimes().empty());
  EXPECT_FALSE(controller_->isPaused());
}

}  // namespace
}  // namespace vorn::testing
