#include <algorithm>
#include <cmath>
#include <regex>
#include <string>

#include "channel_fixture.h"

namespace vorn::testing {
namespace {

using platform::ChannelState;
using platform::EventPriority;

// The application started at 01:03:20, 200 s into C (the third entry, 1200 s long, ending 1000 s
// after launch); refreshes every 600 s.
class ChannelStatusTest : public ChannelTest {
 protected:
  ChannelStatusTest() { world_.bundle().setPlaylistRefreshInterval(600.0); }

  const platform::ChannelStatus& published() { return world_.statusOutlet().last(); }
  // A status brought up to date now, as an outlet's own refresh asks for it.
  platform::ChannelStatus sampled() { return controller_->updateStatus(); }

  // The events since `from`, as "warning: text" or "info: text".
  std::vector<std::string> eventsSince(size_t from) {
    std::vector<std::string> out;
    const auto& events = world_.statusOutlet().events();
    for (size_t i = from; i < events.size(); ++i) {
      out.push_back(
          std::string(events[i].priority == EventPriority::warning ? "warning: " : "info: ") +
          events[i].text);
    }
    return out;
  }
  size_t eventCount() { return world_.statusOutlet().events().size(); }

  std::shared_ptr<VornViewController> controller_;
};

TEST_F(ChannelStatusTest, a_healthy_run_then_pauses_by_the_viewer_and_by_inactivity) {
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  controller_ = launchApp();
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(published().state, ChannelState::starting);

  world_.scheduler().advance(1.0);  // past the first frame
  auto status = published();
  EXPECT_EQ(status.state, ChannelState::playing);
  ASSERT_TRUE(status.item);
  EXPECT_EQ(status.item->url, kC);
  EXPECT_EQ(status.item->index, 2);
  EXPECT_EQ(status.item->count, 3);
  EXPECT_EQ(status.playlist.source, "remote");
  EXPECT_EQ(status.playlist.url, kRemote);
  EXPECT_TRUE(std::regex_match(status.playlist.hash, std::regex("[0-9a-f]{16}")));
  ASSERT_TRUE(status.playlist.loadedAt);
  EXPECT_DOUBLE_EQ(*status.playlist.loadedAt, 3800.0);
  ASSERT_TRUE(status.lastFetch);
  EXPECT_TRUE(status.lastFetch->ok);
  ASSERT_TRUE(status.nextRefresh);
  EXPECT_DOUBLE_EQ(*status.nextRefresh, 3800.0 + 600.0);
  EXPECT_EQ(status.clockSynchronized, platform::ClockSync::yes);
  EXPECT_EQ(status.itemsStartedTotal, 1u);
  EXPECT_EQ(eventsSince(0).size(), 1u);
  EXPECT_TRUE(eventsSince(0).at(0).starts_with("info: item started: "));
  EXPECT_NE(eventsSince(0).at(0).find("(3/3), clock offset +0.00 s"), std::string::npos);

  // Positions move with the picture; the clock offset stays near nothing while it plays.
  world_.scheduler().advance(100.0);
  status = sampled();
  EXPECT_NEAR(status.item->position, 301.0, 0.5);
  ASSERT_TRUE(status.clockOffset);
  EXPECT_NEAR(*status.clockOffset, 0.0, 0.05);
  EXPECT_DOUBLE_EQ(status.updatedAt - status.startedAt, 101.0);

  // A viewer's pause holds the picture while the clock runs on: the offset grows behind.
  const size_t before = eventCount();
  ASSERT_TRUE(world_.input().tap());
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(published().state, ChannelState::paused);
  world_.scheduler().advance(10.0);
  status = sampled();
  ASSERT_TRUE(status.clockOffset);
  EXPECT_NEAR(*status.clockOffset, -10.0, 0.05);
  ASSERT_TRUE(world_.input().tap());
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(published().state, ChannelState::playing);
  // Resumed where it stood: ten seconds behind the clock now.
  world_.scheduler().advance(5.0);
  status = sampled();
  ASSERT_TRUE(status.clockOffset);
  EXPECT_NEAR(*status.clockOffset, -10.0, 0.05);
  // The same item resumed: nothing started.
  EXPECT_EQ(eventsSince(before), std::vector<std::string>{});

  // A queue that ends loads the next one; in between the channel still plays.
  const auto states = world_.statusOutlet().states();
  EXPECT_EQ(states, (std::vector<ChannelState>{ChannelState::starting, ChannelState::playing,
                                               ChannelState::paused, ChannelState::playing}));
  // The next item starts on its own; then the inactivity timer pauses the channel.
  world_.scheduler().advance(895.0);
  EXPECT_EQ(published().item->url, kA);
  EXPECT_EQ(world_.statusOutlet().states().back(), ChannelState::playing);
  EXPECT_EQ(world_.statusOutlet().states().size(), 4u);
  EXPECT_EQ(published().itemsStartedTotal, 2u);
  EXPECT_EQ(eventsSince(before).size(), 1u);
  world_.scheduler().advance(3600.0);
  EXPECT_EQ(published().state, ChannelState::inactivePaused);
  // The queue ended and was loaded again on the way, without a moment of no programme.
  EXPECT_EQ(world_.statusOutlet().states(),
            (std::vector<ChannelState>{ChannelState::starting, ChannelState::playing,
                                       ChannelState::paused, ChannelState::playing,
                                       ChannelState::inactivePaused}));
  EXPECT_EQ(sampled().state, ChannelState::inactivePaused);

  // A viewer's resume is a viewer's channel again; the background is a state of its own.
  ASSERT_TRUE(world_.input().tap());
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(published().state, ChannelState::playing);
  world_.lifecycle().resignActive();
  world_.lifecycle().enterBackground();
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(published().state, ChannelState::background);
}

TEST_F(ChannelStatusTest, a_fallback_a_failed_refresh_and_an_unsynchronised_clock_are_told) {
  world_.statusOutlet().setClockSync(platform::ClockSync::no);
  world_.network().serve(
      kRemote, {.error = platform::Error::make(platform::kUrlErrorDomain, -1009, "offline")});
  controller_ = launchApp();
  world_.scheduler().advance(10.0);
  auto status = published();
  EXPECT_EQ(status.state, ChannelState::playing);
  EXPECT_EQ(status.playlist.source, "packaged");
  EXPECT_EQ(status.playlist.url, kPackagedUrl);
  ASSERT_TRUE(status.lastFetch);
  EXPECT_FALSE(status.lastFetch->ok);
  EXPECT_EQ(status.lastFetch->error, "offline");
  EXPECT_EQ(status.fetchFailuresTotal, 3u);
  EXPECT_FALSE(status.lastFetchSuccessAt);
  EXPECT_EQ(status.clockSynchronized, platform::ClockSync::no);
  const auto events = eventsSince(0);
  ASSERT_GE(events.size(), 6u);
  EXPECT_EQ(events[0], "warning: clock not synchronised: the programme may be off the hour");
  EXPECT_EQ(std::count(events.begin(), events.end(), "warning: playlist fetch failed: offline"), 3);
  EXPECT_EQ(std::count(events.begin(), events.end(),
                       std::string("warning: fallback copy in use: the packaged playlist ") +
                           kPackagedUrl),
            1);

  // The refreshes fail too (after a fall-back they come sooner: 10, 20, 40, 80 and 160 s apart);
  // the clock is still off, which is said once, not at every refresh.
  const size_t before = eventCount();
  world_.scheduler().advance(600.0);
  EXPECT_EQ(eventsSince(before),
            std::vector<std::string>(5, "warning: playlist refresh failed: offline"));
  EXPECT_EQ(published().fetchFailuresTotal, 8u);

  // The remote address answers again: the refresh is applied at the next boundary.
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  world_.statusOutlet().setClockSync(platform::ClockSync::yes);
  world_.scheduler().advance(600.0);
  world_.scheduler().advance(1200.0);
  status = published();
  EXPECT_EQ(status.playlist.source, "remote");
  EXPECT_TRUE(status.lastFetch->ok);
  ASSERT_TRUE(status.lastFetchSuccessAt);
  EXPECT_EQ(status.clockSynchronized, platform::ClockSync::yes);
  const auto later = eventsSince(before);
  EXPECT_EQ(std::count_if(later.begin(), later.end(),
                          [](const auto& event) {
                            return event.starts_with("info: playlist applied: ") &&
                                   event.find(kRemote) != std::string::npos;
                          }),
            1);
}

TEST_F(ChannelStatusTest, the_slate_has_its_reason_and_end_and_is_lifted_on_time) {
  world_.media().setBroken(kC);
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  controller_ = launchApp();
  world_.scheduler().advance(1.0);
  auto status = published();
  EXPECT_EQ(status.state, ChannelState::slate);
  EXPECT_EQ(status.slateReason, "itemFailedToPlay");
  ASSERT_TRUE(status.slateEnd);
  // C's slot ends 1000 s after launch.
  EXPECT_NEAR(*status.slateEnd, 3800.0 + 1000.0, 0.5);
  EXPECT_FALSE(status.clockOffset);
  ASSERT_TRUE(status.item);
  EXPECT_EQ(status.item->url, kC);
  EXPECT_EQ(status.slatesTotal, 1u);
  EXPECT_EQ(status.itemsStartedTotal, 0u);
  auto events = eventsSince(0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].starts_with("warning: slate shown: itemFailedToPlay until "));

  world_.scheduler().advance(1000.0);
  status = published();
  EXPECT_EQ(status.state, ChannelState::playing);
  EXPECT_EQ(status.item->url, kA);
  EXPECT_EQ(status.slatesTotal, 1u);
  events = eventsSince(1);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "info: slate lifted: itemFailedToPlay");
  EXPECT_TRUE(events[1].starts_with("info: item started: Alpha by Ann (1/3)"));
}

}  // namespace
}  // namespace vorn::testing
