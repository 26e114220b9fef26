#include <algorithm>

#include "channel_fixture.h"
#include "platform/sim/sim_media.h"
#include "programme/document.h"
#include "tools/check/playlist_check.h"
#include "tools/schedule/programme_schedule.h"

namespace vorn::testing {
namespace {

constexpr const char* kPrefix = "DEBUG: VornViewController: ";

constexpr const char* kListAddress = "https://lists.invalid/channel/today/playlist.json";

using QueueLoading = ChannelTest;

TEST_F(QueueLoading, full_load_at_010320_starts_two_hundred_seconds_into_c) {
  // The log of the load is the simulate command's start-up log, which its own test reads.
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());

  const auto player = world_.media().latestPlayer();
  ASSERT_TRUE(player);
  EXPECT_EQ(urlsOf(player->items()), (std::vector<std::string>{kC, kA, kB, kB}));
  EXPECT_EQ(controller->lastPlayerItem(), player->items().back());
  EXPECT_NE(player->items()[2], player->items()[3]);  // each play is its own item
  EXPECT_EQ(player->items()[2]->asset()->url(), player->items()[3]->asset()->url());
  EXPECT_NE(player->items()[2]->asset(), player->items()[3]->asset());
  const auto item = std::dynamic_pointer_cast<VornAVPlayerItem>(player->items()[2]);
  ASSERT_TRUE(item);
  EXPECT_EQ((*item->playlist_info())["description_attribution"].get<std::string>(), "Beta by Bo");
  EXPECT_EQ(item->playlist_info(),
            std::dynamic_pointer_cast<VornAVPlayerItem>(player->items()[3])->playlist_info());
  EXPECT_TRUE(player->externalPlaybackAllowed());
  EXPECT_TRUE(player->usesExternalPlaybackWhileExternalScreenIsActive());

  // The boundary observer waits for 200 1/3 s into C, and the cover and spinner are up until then.
  EXPECT_TRUE(controller->initialLoadTimeObserver());
  EXPECT_EQ(world_.media().boundaryObserverCount(), 1u);
  EXPECT_FALSE(controller->infoLabelView()->isHidden());
  EXPECT_EQ(controller->infoLabelView()->frame(), controller->view()->frame());
  EXPECT_TRUE(controller->activityIndicatorView()->isAnimating());
  EXPECT_EQ(controller->playerLayer()->frame(), controller->view()->frame());
  EXPECT_EQ(controller->playerLayer()->superlayer(), controller->view()->layer());
  EXPECT_EQ(controller->infoLabel()->superview(), controller->infoLabelView());
  const auto& subviews = controller->view()->subviews();
  ASSERT_EQ(subviews.size(), 2u);
  EXPECT_EQ(subviews[0], controller->infoLabelView());
  EXPECT_EQ(subviews[1], controller->activityIndicatorView());
  EXPECT_EQ(controller->infoLabel()->textColor(), platform::Color::gray());
  EXPECT_EQ(controller->infoLabel()->numberOfLines(), 0);
  EXPECT_EQ(controller->infoLabel()->contentMode(), platform::ContentMode::bottom);

  world_.scheduler().advance(0.35);
  EXPECT_TRUE(controller->infoLabelView()->isHidden());
  EXPECT_FALSE(controller->activityIndicatorView()->isAnimating());
  EXPECT_FALSE(controller->initialLoadTimeObserver());
  EXPECT_EQ(world_.media().boundaryObserverCount(), 0u);
}

TEST_F(QueueLoading, reload_tears_down_the_previous_load_first) {
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());
  const auto first = world_.media().latestPlayer();
  const auto oldBand = controller->infoLabelView();
  const auto oldLayer = controller->playerLayer();
  const size_t before = mark();
  controller->loadVideos(true);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(recordsSince(before, kPrefix),
            (std::vector<std::string>{
                "loadVideos: hasLoopedFromLastVideo: true",
                "loadVideos",
                "loadVideos: removing observers and re-creating queuePlayer and playerLayer",
                "loadVideos: creating initial queuePlayer",
                "loadVideos: Seeking to MediaTime(value: 200, timescale: 1)",
                "loadVideos: Adding AVPlayerItemDidPlayToEndTimeNotification notifier for "
                "playerItem: Optional(<VornAVPlayerItem: " +
                    std::string(kB) + ">)",
                "loadVideos true: playing",
            }));
  EXPECT_NE(world_.media().latestPlayer(), first);
  EXPECT_TRUE(oldBand->isHidden());
  EXPECT_FALSE(oldBand->superview());
  EXPECT_FALSE(oldLayer->superlayer());
  EXPECT_FALSE(oldLayer->player());
  // One layer, one band, one indicator: nothing of the old load is left in the view.
  EXPECT_EQ(controller->view()->layer()->sublayers().size(), 1u);
  EXPECT_EQ(controller->view()->subviews().size(), 2u);
  // The old boundary observer went with it; the new one is the only one.
  EXPECT_EQ(world_.media().boundaryObserverCount(), 1u);
  EXPECT_EQ(world_.notificationCenter().registeredSelectors(),
            (std::vector<std::string>{
                "queueItemEvent:", "queueItemEvent:", "queueItemEvent:", "lastVideoPlayedToEnd:"}));
  // Looped loads neither spin nor re-arm the inactivity timer.
  EXPECT_FALSE(controller->activityIndicatorView()->isAnimating());
  EXPECT_FALSE(controller->infoLabelView()->isHidden());
}

TEST_F(QueueLoading, a_first_load_with_nothing_playable_builds_nothing) {
  auto controller = makeController();
  // A load before any playlist, then one with nothing playable: no player, no views, no timer.
  // Such a document is taken quietly all the same, as there is nothing else to play.
  const size_t before = mark();
  controller->loadVideos(false);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(recordsSince(before, kPrefix),
            (std::vector<std::string>{"loadVideos: hasLoopedFromLastVideo: false", "loadVideos"}));
  // From the packaged copy: nothing else is behind it.
  deliver(*controller, R"([{"hls_url": "x y", "duration": 5},
                                  {"hls_url": "https://a/b", "duration": 5, "play_count": 0}])",
          kPackagedUrl);
  ASSERT_TRUE(controller->playlist());
  EXPECT_EQ(controller->playlist()->size(), 2u);
  EXPECT_TRUE(controller->errors().empty());
  EXPECT_FALSE(controller->queuePlayer());
  EXPECT_FALSE(controller->infoLabelView());
  EXPECT_FALSE(controller->lastPlayerItem());
  EXPECT_TRUE(world_.timers().pending().empty());
}

TEST_F(QueueLoading, play_counts_and_durations_follow_the_rules_without_undefined_behaviour) {
  auto controller = makeController();
  // How many times an entry plays is the clock's rule; here what the channel skips and keeps.
  deliver(*controller, R"([
    {"hls_url": "https://s/none", "duration": 10, "play_count": -1},
    {"hls_url": "https://s/skipped", "duration": "10"}, "not an entry", null, 42,
    {"hls_url": "https://s/whole", "duration": 20, "extra": {"kept": true}}
  ])");
  const auto items = world_.media().latestPlayer()->items();
  ASSERT_EQ(urlsOf(items), std::vector<std::string>{"https://s/whole"});
  const auto whole = std::dynamic_pointer_cast<VornAVPlayerItem>(items[0]);
  EXPECT_DOUBLE_EQ(whole->listed_duration(), 20.0);
  EXPECT_TRUE((*whole->playlist_info())["extra"]["kept"].get<bool>());

  // A cycle of length 0 starts at its first item.
  deliver(*controller, R"([{"hls_url": "https://s/a", "duration": 0},
                                  {"hls_url": "https://s/b", "duration": 0}])");
  EXPECT_EQ(urlsOf(world_.media().latestPlayer()->items()),
            (std::vector<std::string>{"https://s/a", "https://s/b"}));
  EXPECT_EQ(world_.media().latestPlayer()->lastSeek(), platform::MediaTime::make(0, 1));

  for (const char* url : {"https://s/a", "https://s/b", "https://s/c", "https://s/d"}) {
    world_.media().setLength(url, 1e9);
  }
  deliver(*controller, R"([{"hls_url": "https://s/a", "duration": -1e300},
                                  {"hls_url": "https://s/b", "duration": 1e300, "play_count": 1e300},
                                  {"hls_url": "https://s/c", "duration": 1.7e308},
                                  {"hls_url": "https://s/d", "duration": 1.7e308}])");
  const auto player = world_.media().latestPlayer();
  ASSERT_TRUE(player);
  // The cycle's length overflows to infinity: the clock's 3800 s fall in the first 1.7e308 s item.
  EXPECT_EQ(urlsOf(player->items()),
            (std::vector<std::string>{"https://s/c", "https://s/d", "https://s/a", "https://s/b"}));
  ASSERT_TRUE(player->lastSeek());
  EXPECT_NE(player->lastSeek()->kind(), platform::MediaTime::Kind::invalid);
}

// A load a fraction of a second before an item's end seeks to the whole second the log names,
// the item's very end, so the first-frame mark a third of a second later is never crossed on it:
// the item's end lifts the cover instead, or it would stay up through the whole next item.
TEST_F(QueueLoading, near_an_items_end_seeks_to_the_rounded_second_and_the_cover_lifts) {
  struct NearAnEnd {
    double clock;  // a later cycle's position, as the clock only runs forwards
    const char* nextUrl;
    double seekSecond;
  };
  for (const auto& [clock, nextUrl, seekSecond] :
       {NearAnEnd{2 * 2400.0 + 599.7, kB, 600.0}, NearAnEnd{3 * 2400.0 + 1199.7, kC, 300.0}}) {
    world_.scheduler().advanceTo(clock);
    auto controller = makeController();
    deliver(*controller, workedExamplePlaylist());
    const auto player = world_.media().latestPlayer();
    EXPECT_EQ(player->lastSeek(), platform::MediaTime::makeWithSeconds(seekSecond, 1));
    world_.scheduler().advance(1.0);
    // The start item has ended and the next one plays, uncovered.
    EXPECT_TRUE(controller->infoLabelView()->isHidden()) << nextUrl;
    EXPECT_EQ(player->items().size(), 3u) << nextUrl;
    EXPECT_EQ(currentUrl(), nextUrl);
  }
}

// Two streams of one server gone: by the time their failures are read the player has moved past
// both, so only the second one's report is acted on, and the slate fills the first one's slot,
// where the clock stands. That stream could not be opened either: it keeps the failure's name.
TEST_F(QueueLoading, a_stream_that_failed_unheard_keeps_its_name_on_the_slate) {
  auto controller = makeController();
  deliver(*controller, workedExamplePlaylist());
  const auto player = world_.media().latestPlayer();
  const auto queue = player->items();  // C (the clock's), A, B, B
  player->advanceToNextItem();
  player->advanceToNextItem();
  const size_t before = mark();
  auto& center = world_.notificationCenter();
  center.post({platform::kPlayerItemFailedToPlayToEndTimeNotification, queue[0]});
  center.post({platform::kPlayerItemFailedToPlayToEndTimeNotification, queue[1]});
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(countSince(before, std::string(kPrefix) + "itemFailedToPlay: object: Optional(<" +
                                   "VornAVPlayerItem: " + kC + ">) ; showing slate until"),
            1u);
  EXPECT_EQ(countSince(before, "itemEndedEarly"), 0u);
  EXPECT_FALSE(controller->slateView()->isHidden());
}

TEST_F(QueueLoading, relative_stream_addresses_resolve_against_the_playlist_address) {
  for (const char* stream :
       {"https://lists.invalid/channel/today/videos/a/index.m3u8", "https://lists.invalid/x/y.m3u8",
        "https://lists.invalid/channel/b.m3u8", "https://other.invalid/c.m3u8",
        "https://streams.invalid/abs.m3u8"}) {
    world_.media().setLength(stream, 100.0);
  }
  const std::string relative = R"([
    {"hls_url": "videos/a/index.m3u8", "duration": 60},
    {"hls_url": "/x/y.m3u8", "duration": 70},
    {"hls_url": "../b.m3u8", "duration": 80},
    {"hls_url": "//other.invalid/c.m3u8", "duration": 90},
    {"hls_url": "https://streams.invalid/abs.m3u8", "duration": 100}])";
  auto controller = makeController();
  const size_t before = mark();
  deliver(*controller, relative, kListAddress);
  // Nothing is dropped, so every entry keeps its place on the clock: at 01:03:20 the 400 s cycle
  // is 200 s in, 70 s into the third entry.
  EXPECT_EQ(playingUrls(), (std::vector<std::string>{
                               "https://lists.invalid/channel/b.m3u8",
                               "https://other.invalid/c.m3u8", "https://streams.invalid/abs.m3u8",
                               "https://lists.invalid/channel/today/videos/a/index.m3u8",
                               "https://lists.invalid/x/y.m3u8"}));
  const auto lines = recordsSince(before);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "DEBUG: VornViewController: loadVideos: Adding "
                       "AVPlayerItemDidPlayToEndTimeNotification notifier for playerItem: "
                       "Optional(<VornAVPlayerItem: https://lists.invalid/x/y.m3u8>)"),
            1);
  controller.reset();

  // The operator's commands read the same entries the same way.
  const auto parsed = std::get<JsonPtr>(programme::parseDocument(relative));
  const auto base = *platform::Url::parse(kListAddress);
  const app::CheckReport report = app::lintPlaylist(*parsed, &base);
  EXPECT_EQ(report.cycleItems, 5u);
  EXPECT_EQ(report.entries[2].address, "https://lists.invalid/channel/b.m3u8");
  const app::ScheduleResult schedule = app::buildSchedule(*parsed, 0.0, 600.0, &base);
  EXPECT_EQ(schedule.schedule.cycleItems, 5u);
  EXPECT_EQ(schedule.schedule.cycleLength, 400.0);
  // Without an address to resolve against, a relative entry is not usable, as before.
  EXPECT_EQ(app::lintPlaylist(*parsed).cycleItems, 1u);
}

}  // namespace
}  // namespace vorn::testing
