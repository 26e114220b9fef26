#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/world.h"

namespace vorn::sim {
namespace {

using platform::MediaTime;
using platform::Notification;
using platform::PlayerItem;

class SimMedia : public ::testing::Test {
 protected:
  SimMedia() {
    world.media().setLength(a, 10.0);
    world.media().setLength(b, 5.0);
    world.media().setLength(c, 8.0);
    // Every end notification, as the logic would see it.
    endings_ = world.notificationCenter().addObserver(
        {"itemEnded:",
         [this](const Notification& notification) {
           auto item = std::dynamic_pointer_cast<PlayerItem>(notification.object);
           ended.push_back((item ? item->asset()->url().text() : "?") + "@" +
                           std::to_string(world.scheduler().now()) +
                           (world.mainQueue().isMainThread() ? "" : "(bg)"));
         }},
        platform::kPlayerItemDidPlayToEndTimeNotification, nullptr);
  }

  std::shared_ptr<platform::QueuePlayer> makePlayer(const std::vector<std::string>& addresses) {
    std::vector<std::shared_ptr<PlayerItem>> items;
    for (const auto& address : addresses) {
      items.push_back(std::make_shared<PlayerItem>(
          platform::Asset::assetWithUrl(*platform::Url::parse(address))));
    }
    return world.media().makeQueuePlayer(items);
  }
  static std::string current(const platform::QueuePlayer& player) {
    auto item = player.currentItem();
    return item ? item->asset()->url().text() : "none";
  }
  static std::string at(const std::string& address, double time) {
    return address + "@" + std::to_string(time);
  }

  World world{WorldOptions{.startTime = 0.0, .defaultMediaLength = 30.0}};
  const std::string a = "https://media.invalid/a.m3u8";
  const std::string b = "https://media.invalid/b.m3u8";
  const std::string c = "https://media.invalid/c.m3u8";
  std::vector<std::string> ended;
  platform::ObserverRegistration endings_;
};

// Pausing freezes the position: the slot scenario and the start-up latency case fail without it.
TEST_F(SimMedia, a_new_player_waits_for_play_counts_calls_and_seeks_within_the_length) {
  auto player = makePlayer({a, b});
  auto sim = world.media().latestPlayer();
  ASSERT_EQ(sim, player);
  EXPECT_EQ(current(*player), a);
  EXPECT_EQ(player->items().size(), 2u);
  EXPECT_EQ(player->rate(), 0.0f);

  world.scheduler().advance(3.0);
  EXPECT_EQ(sim->currentTime(), 0.0) << "nothing moves before play";
  player->play();
  EXPECT_EQ(player->rate(), 1.0f);
  world.scheduler().advance(2.5);
  EXPECT_DOUBLE_EQ(sim->currentTime(), 2.5);
  player->pause();
  EXPECT_EQ(player->rate(), 0.0f);
  EXPECT_EQ(sim->playCalls(), 1u);
  EXPECT_EQ(sim->pauseCalls(), 1u);
  EXPECT_TRUE(ended.empty());

  player->seekToTime(MediaTime::makeWithSeconds(4.0, 1));
  EXPECT_DOUBLE_EQ(sim->currentTime(), 4.0);
  ASSERT_TRUE(sim->lastSeek());
  EXPECT_EQ(*sim->lastSeek(), MediaTime::make(4, 1));
  player->seekToTime(MediaTime::make(99, 1));
  EXPECT_DOUBLE_EQ(sim->currentTime(), 10.0);
  player->seekToTime(MediaTime::make(-5, 1));
  EXPECT_DOUBLE_EQ(sim->currentTime(), 0.0);
  player->seekToTime(MediaTime::make(7, 1));
  player->play();
  world.scheduler().advance(1.0);
  EXPECT_DOUBLE_EQ(sim->currentTime(), 8.0);
}

TEST_F(SimMedia, boundary_fires_once_when_crossed_and_again_after_a_seek_back) {
  auto player = makePlayer({a});
  auto sim = world.media().latestPlayer();
  std::vector<std::string> fired;
  auto held = std::make_shared<int>(0);
  const std::weak_ptr<int> watch = held;
  player->seekToTime(MediaTime::make(2, 1));
  auto token =
      player->addBoundaryTimeObserver({MediaTime::make(2, 1) + MediaTime::make(1, 3)}, [&, held] {
        fired.push_back(std::to_string(world.scheduler().now()) +
                        (world.mainQueue().isMainThread() ? "" : "(bg)"));
      });
  held.reset();
  EXPECT_EQ(sim->boundaryObserverCount(), 1u);
  player->play();
  world.scheduler().advance(0.3);
  EXPECT_TRUE(fired.empty());
  world.scheduler().advance(0.1);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0], std::to_string(1.0 / 3.0));
  world.scheduler().advance(5.0);
  EXPECT_EQ(fired.size(), 1u) << "once per crossing";

  player->seekToTime(MediaTime::make(1, 1));
  world.scheduler().advance(2.0);
  EXPECT_EQ(fired.size(), 2u) << "crossed again after the seek back";

  // A seek forward past the time is no crossing by playback.
  player->seekToTime(MediaTime::make(0, 1));
  player->seekToTime(MediaTime::make(5, 1));
  world.scheduler().advance(1.0);
  EXPECT_EQ(fired.size(), 2u);

  EXPECT_FALSE(watch.expired()) << "the service keeps the block";
  player->removeTimeObserver(token);
  EXPECT_EQ(sim->boundaryObserverCount(), 0u);
  EXPECT_TRUE(watch.expired()) << "removal releases the block and what it holds";
  player->seekToTime(MediaTime::make(0, 1));
  world.scheduler().advance(3.0);
  EXPECT_EQ(fired.size(), 2u) << "a removed observer is not called";
}

TEST_F(SimMedia, only_items_that_reach_their_end_are_announced_and_the_queue_moves_on) {
  auto player = makePlayer({a, b, c});
  auto sim = world.media().latestPlayer();
  // The end notification sees the ended item as current; a block it posts, the queue moved on.
  std::vector<std::string> seen;
  auto lastEnded = world.notificationCenter().addObserver(
      {"lastEnded:",
       [&](const Notification&) {
         seen.push_back(current(*player));
         world.mainQueue().post([&] { seen.push_back("posted: " + current(*player)); });
       }},
      platform::kPlayerItemDidPlayToEndTimeNotification, player->items().back());
  player->play();
  world.scheduler().advance(3.0);
  player->advanceToNextItem();  // a is dropped, not ended
  EXPECT_EQ(current(*player), b);
  EXPECT_DOUBLE_EQ(sim->currentTime(), 0.0);
  world.scheduler().advance(5.0);
  EXPECT_EQ(ended, (std::vector<std::string>{at(b, 8.0)}));
  EXPECT_EQ(current(*player), c);
  EXPECT_EQ(player->rate(), 1.0f) << "the next item keeps playing";
  world.scheduler().advance(7.0);
  EXPECT_DOUBLE_EQ(sim->currentTime(), 7.0);
  world.scheduler().advance(10.0);
  EXPECT_EQ(ended, (std::vector<std::string>{at(b, 8.0), at(c, 16.0)}));
  EXPECT_EQ(player->currentItem(), nullptr);
  EXPECT_TRUE(player->items().empty());
  EXPECT_EQ(seen, (std::vector<std::string>{c, "posted: none"}));
  lastEnded.reset();
  player->advanceToNextItem();  // no effect on an empty queue
  EXPECT_TRUE(player->items().empty());

  // A player that moves on first tells of each end with the next item already current.
  world.media().setMovesOnBeforeAnnouncing(true);
  auto early = makePlayer({b, c});
  std::vector<std::string> seenEarly;
  auto earlyEnds = world.notificationCenter().addObserver(
      {"itemEndedEarly:", [&](const Notification&) { seenEarly.push_back(current(*early)); }},
      platform::kPlayerItemDidPlayToEndTimeNotification, nullptr);
  early->play();
  world.scheduler().advance(14.0);
  EXPECT_EQ(seenEarly, (std::vector<std::string>{c, "none"}));
}

// The player's next event moves with what the test says about its stream while it plays.
TEST_F(SimMedia, a_stream_changed_while_playing_ends_or_fails_at_its_new_moment) {
  auto player = makePlayer({a, c});
  player->play();
  world.scheduler().advance(2.0);
  world.media().setLength(a, 4.0);
  EXPECT_EQ(world.scheduler().nextDueTime(), 4.0);
  world.scheduler().advance(2.0);
  EXPECT_EQ(ended, (std::vector<std::string>{at(a, 4.0)}));
  EXPECT_EQ(current(*player), c);
  world.scheduler().advance(1.0);
  world.media().setBroken(c);
  world.scheduler().runUntilIdle();
  EXPECT_EQ(player->currentItem(), nullptr) << "c fails as soon as it is known to be broken";
  EXPECT_EQ(ended.size(), 1u);
  EXPECT_FALSE(world.scheduler().nextDueTime());
}

// Without the latency in the placement the first frame is late; without the skipped stretch
// counted, the mark between the sought second and the placement is never crossed and the cover
// would stay.
TEST_F(SimMedia, a_player_on_the_clock_starts_on_it_despite_latency_and_keeps_pace_and_speed) {
  world.media().setStartupLatency(0.5);
  world.media().setLength(c, 60.0);
  auto player = makePlayer({a, c});
  auto sim = world.media().latestPlayer();
  int marks = 0;
  player->seekToTime(MediaTime::make(2, 1));
  player->addBoundaryTimeObserver({MediaTime::make(7, 3)}, [&marks] { ++marks; });
  // Position 1.9 of a was due 0.1 s ago; c is due where a's 10 s end.
  const double now = world.scheduler().now();
  player->followClock(
      {{player->items()[0].get(), now - 1.9}, {player->items()[1].get(), now - 1.9 + 10.0}});
  player->play();
  world.scheduler().advance(0.49);
  EXPECT_EQ(marks, 0);
  world.scheduler().advance(0.01);
  world.scheduler().runUntilIdle();
  EXPECT_NEAR(sim->currentTime(), 2.4, 1e-9) << "the clock's frame first";
  EXPECT_EQ(marks, 1) << "2 1/3 lies between the sought second and the first frame";
  EXPECT_EQ(sim->drift(), 0.0);

  // c opens with the latency too: behind by half a second, then brought back by speed alone.
  world.scheduler().advance(8.0);
  ASSERT_EQ(current(*player), c);
  world.scheduler().advance(0.5);
  EXPECT_NEAR(*sim->drift(), -0.5, 1e-9);
  world.scheduler().advance(0.5);
  EXPECT_DOUBLE_EQ(sim->speed(), 1.0 + platform::kMaxSpeedCorrection);
  world.scheduler().advance(14.0);
  EXPECT_NEAR(*sim->drift(), 0.0, 0.04);
  EXPECT_LE(sim->speed(), 1.0 + platform::kMaxSpeedCorrection);

  // A stream's own pace, with nobody correcting it.
  player->stopFollowingClock();
  EXPECT_EQ(sim->speed(), 1.0);
  EXPECT_FALSE(sim->drift());
  world.media().setPace(c, 0.5);
  const double before = sim->currentTime();
  world.scheduler().advance(1.0);
  EXPECT_NEAR(sim->currentTime() - before, 0.5, 1e-9);
}

TEST_F(SimMedia, startup_latency_delays_frames_and_readiness) {
  world.media().setStartupLatency(0.5);
  auto player = makePlayer({a, b});
  auto sim = world.media().latestPlayer();
  auto layer = world.media().makePlayerLayer(player);
  EXPECT_FALSE(layer->isReadyForDisplay());
  player->play();
  world.scheduler().advance(0.4);
  EXPECT_FALSE(layer->isReadyForDisplay());
  EXPECT_DOUBLE_EQ(sim->currentTime(), 0.0);
  world.scheduler().advance(0.6);
  EXPECT_TRUE(layer->isReadyForDisplay());
  EXPECT_DOUBLE_EQ(sim->currentTime(), 0.5);
  player->pause();
  EXPECT_TRUE(layer->isReadyForDisplay()) << "a paused picture is still a picture";
  layer->setPlayer(nullptr);
  EXPECT_FALSE(layer->isReadyForDisplay());
  layer->setPlayer(player);
  // Resuming waits for frames again.
  player->play();
  world.scheduler().advance(0.5);
  EXPECT_DOUBLE_EQ(sim->currentTime(), 0.5);
  world.scheduler().advance(0.5);
  EXPECT_DOUBLE_EQ(sim->currentTime(), 1.0);
  player->seekToTime(MediaTime::make(9, 1));
  world.scheduler().advance(0.5);
  EXPECT_DOUBLE_EQ(sim->currentTime(), 9.0);
  world.scheduler().advance(1.0);
  EXPECT_EQ(current(*player), b);
  EXPECT_FALSE(layer->isReadyForDisplay()) << "b has not rendered yet";
  world.scheduler().advance(0.5);
  EXPECT_TRUE(layer->isReadyForDisplay());
}

TEST_F(SimMedia, a_crossing_pending_when_its_observer_or_player_goes_is_not_delivered) {
  auto player = makePlayer({a});
  std::vector<std::string> fired;
  std::shared_ptr<platform::TimeObserverToken> second;
  // Both crossings at 1 s are posted together; the first block removes the second observer.
  player->addBoundaryTimeObserver({MediaTime::make(1, 1)}, [&] {
    fired.push_back("first");
    player->removeTimeObserver(second);
  });
  second =
      player->addBoundaryTimeObserver({MediaTime::make(1, 1)}, [&] { fired.push_back("second"); });
  // Same again at 2 s, but the first block drops the player.
  player->addBoundaryTimeObserver({MediaTime::make(2, 1)}, [&] {
    fired.push_back("dropper");
    player.reset();
  });
  player->addBoundaryTimeObserver({MediaTime::make(2, 1)}, [&] { fired.push_back("late"); });
  player->play();
  world.scheduler().advance(5.0);
  EXPECT_EQ(fired, (std::vector<std::string>{"first", "dropper"}));
}

}  // namespace
}  // namespace vorn::sim
