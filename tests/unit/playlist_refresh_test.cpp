#include <algorithm>
#include <string>

#include "channel_fixture.h"
#include "playlist/playlist_refresh.h"
#include "programme/cycle.h"

namespace vorn::testing {
namespace {

constexpr const char* kDebug = "DEBUG: VorniOSViewController: ";
constexpr const char* kError = "ERROR: VorniOSViewController: Alert: ";
constexpr const char* kD = "https://streams.invalid/d/index.m3u8";

// The worked example with D (100 s) in front of A: a cycle of 2500 s.
std::string editedPlaylist() {
  return R"([{"hls_url": "https://streams.invalid/d/index.m3u8", "duration": 100},
    {"hls_url": "https://streams.invalid/a/index.m3u8", "duration": 600},
    {"hls_url": "https://streams.invalid/b/index.m3u8", "duration": 300, "play_count": 2},
    {"hls_url": "https://streams.invalid/c/index.m3u8", "duration": 1200}])";
}

// A document whose cycle holds more items than a queue may.
std::string overCap() {
  std::string text = "[";
  for (size_t i = 0; i <= programme::kMaxCycleItems / 5; ++i) {
    text += std::string(i ? "," : "") +
            R"({"hls_url": "https://streams.invalid/x", "duration": 1, "play_count": 5})";
  }
  return text + "]";
}

std::shared_ptr<platform::Error> offline() {
  return platform::Error::make(platform::kUrlErrorDomain, -1009,
                               "The Internet connection appears to be offline.");
}

// The application started at 01:03:20, 200 s into C (1200 s): C ends 1000 s after launch, the
// first refresh is due at 600 s.
class PlaylistRefresh : public ChannelTest {
 protected:
  PlaylistRefresh() {
    world_.media().setLength(kD, 100.0);
    world_.network().setTimeout(10.0);
    world_.bundle().setPlaylistRefreshInterval(600.0);
  }
  std::shared_ptr<VornViewController> start(const std::string& remote = workedExamplePlaylist()) {
    world_.network().serve(kRemote, {.data = remote});
    auto controller = launchApp();
    world_.scheduler().advance(1.0);  // past the first frame
    return controller;
  }
  bool plays(const std::string& url) const {
    const auto urls = playingUrls();
    return std::find(urls.begin(), urls.end(), url) != urls.end();
  }
  size_t queueLoads(size_t since) const { return countSince(since, "loadVideos: Seeking"); }
  size_t remoteRequests() const {
    const auto requests = world_.network().requests();
    return static_cast<size_t>(std::count(requests.begin(), requests.end(), kRemote));
  }
};

TEST_F(PlaylistRefresh, an_edit_reaches_a_running_screen_at_the_next_item_boundary) {
  auto controller = start();
  ASSERT_EQ(currentUrl(), kC);
  const auto timers = world_.scheduler().pending("timer");
  const auto inactivity = std::find_if(timers.begin(), timers.end(), [](const auto& timer) {
    return timer.label == "inactivityTimer:";
  });
  ASSERT_NE(inactivity, timers.end());
  world_.network().serve(kRemote, {.data = editedPlaylist()});

  // Fetched at 600 s and kept waiting: C plays on.
  size_t before = mark();
  world_.scheduler().advance(599.0);
  EXPECT_EQ(remoteRequests(), 2u);
  EXPECT_EQ(recordsSince(before),
            (std::vector<std::string>{std::string(kDebug) +
                                      "refreshPlaylist: new playlist from "
                                      "Optional(" +
                                      kRemote + "); applying it at the next item boundary"}));
  EXPECT_EQ(currentUrl(), kC);

  // C ends at 1000 s: the queue is built again from the clock with the new document, as after
  // the end of a queue (no indicator, the inactivity timer left as it was). Its log at that
  // boundary is read from the simulate command's in its own test.
  before = mark();
  world_.scheduler().advance(400.0);
  EXPECT_EQ(queueLoads(before), 1u);
  EXPECT_EQ(countSince(before, "setInactivityTimer"), 0u);
  EXPECT_FALSE(controller->activityIndicatorView()->isAnimating());
  // 4800 s into the day is 2300 s into the new 2500 s cycle: 1000 s into C, then D first.
  EXPECT_EQ(playingUrls(), (std::vector<std::string>{kC, kD, kA, kB, kB}));
  const auto after = world_.scheduler().pending("timer");
  EXPECT_TRUE(std::any_of(after.begin(), after.end(), [&](const auto& timer) {
    return timer.label == "inactivityTimer:" && timer.due == inactivity->due;
  }));

  // The same document again, byte for byte or only laid out differently, changes nothing. The
  // same bytes are not saved again; other bytes are, as they are what the server now holds.
  const size_t writes = world_.state().writeCount();
  std::string relaid = editedPlaylist();
  relaid.erase(std::remove(relaid.begin(), relaid.end(), '\n'), relaid.end());
  for (const std::string& same : {editedPlaylist(), relaid}) {
    world_.network().serve(kRemote, {.data = same});
    before = mark();
    world_.scheduler().advance(600.0);
    EXPECT_EQ(countSince(before, "refreshPlaylist: playlist unchanged"), 1u);
    EXPECT_EQ(countSince(before, "refreshPlaylist: new playlist"), 0u);
    EXPECT_EQ(queueLoads(before), 0u);
    EXPECT_EQ(world_.state().writeCount(), writes + (same == relaid ? 1 : 0));
    EXPECT_EQ(world_.state().saved(playlist::kSavedPlaylistName), same);
  }

  // Queue loads since the first edit leave the watch for item boundaries in place: the next edit
  // is applied at a boundary too.
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  before = mark();
  world_.scheduler().advance(600.0);
  EXPECT_EQ(countSince(before, "applying it at the next item boundary"), 1u);
  world_.scheduler().advance(1200.0);
  EXPECT_EQ(countSince(before, "applying the new playlist"), 1u);
  EXPECT_FALSE(plays(kD));
}

TEST_F(PlaylistRefresh, a_new_document_waits_while_paused_and_never_starts_playback) {
  auto controller = start();
  world_.input().tap();  // pause
  world_.scheduler().runUntilIdle();
  ASSERT_FLOAT_EQ(controller->queuePlayer()->rate(), 0.0f);
  world_.network().serve(kRemote, {.data = editedPlaylist()});
  size_t before = mark();
  world_.scheduler().advance(1500.0);
  EXPECT_EQ(queueLoads(before), 0u);
  EXPECT_FLOAT_EQ(controller->queuePlayer()->rate(), 0.0f);
  EXPECT_EQ(currentUrl(), kC);

  // Resumed, C plays out its last 1000 s; the document comes at that boundary, not before.
  world_.input().tap();
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(queueLoads(before), 0u);
  before = mark();
  world_.scheduler().advance(998.0);
  EXPECT_EQ(queueLoads(before), 0u);
  world_.scheduler().advance(2.0);
  EXPECT_EQ(countSince(before, "refreshPlaylist: applying the new playlist"), 1u);
  EXPECT_EQ(queueLoads(before), 1u);
  EXPECT_TRUE(plays(kD));
}

TEST_F(PlaylistRefresh, a_failed_refresh_changes_nothing_and_logs_one_line) {
  // Every 500 s, so that the hour's pause comes after the last.
  world_.bundle().setPlaylistRefreshInterval(500.0);
  auto controller = start();
  const JsonPtr playing = controller->playlist();
  const auto saved = world_.state().saved(playlist::kSavedPlaylistName);
  ASSERT_EQ(saved, workedExamplePlaylist());
  struct Fault {
    const char* name;
    sim::SimUrlSession::Response response;
    std::string line;
  };
  const std::vector<Fault> faults = {
      {"offline", {.error = offline()}, "refreshPlaylist: Error fetching playlist: Optional("},
      {"not JSON", {.data = "<html>500</html>"}, "refreshPlaylist: Error parsing JSON: "},
      {"object",
       {.data = R"({"playlist": []})"},
       "refreshPlaylist: the top level is not an array; keeping the current playlist"},
      {"nothing playable",
       {.data = "[]"},
       "refreshPlaylist: playlist has no playable entries; keeping the current playlist"},
      // An error page is refused by its status, whatever its body: never saved, never played.
      {"error status",
       {.data = editedPlaylist(), .status = 404},
       "refreshPlaylist: Error fetching playlist: HTTP status 404"},
      {"over the cap", {.data = overCap()}, "refreshPlaylist: Error parsing JSON: Error Domain="},
  };
  // Each fault at one refresh. A hung fetch is read from the simulate command's log
  // in its own test.
  for (const auto& fault : faults) {
    world_.network().serve(kRemote, fault.response);
    const size_t before = mark();
    const size_t timers = world_.scheduler().pendingCount("timer");
    world_.scheduler().advance(500.0);
    // The end of a queue reloads it in between, as it always does.
    auto lines = recordsSince(before);
    std::erase_if(lines, [](const std::string& line) {
      for (const char* reload : {"loadVideos", "lastVideoPlayedToEnd", "boundaryTimeObserver",
                                 "firstVideoLoaded", "playerResume"}) {
        if (line.find(reload) != std::string::npos) {
          return true;
        }
      }
      return false;
    });
    ASSERT_EQ(lines.size(), 1u) << fault.name << ": " << ::testing::PrintToString(lines);
    EXPECT_EQ(lines.front().rfind(kError, 0), 0u) << fault.name;
    EXPECT_NE(lines.front().find(fault.line), std::string::npos)
        << fault.name << ": " << lines.front();
    EXPECT_EQ(controller->playlist(), playing) << fault.name;
    EXPECT_EQ(world_.scheduler().pendingCount("timer"), timers) << fault.name;
    EXPECT_EQ(controller->playlistNSURL()->text(), kRemote) << fault.name;
    EXPECT_EQ(world_.state().saved(playlist::kSavedPlaylistName), saved) << fault.name;
  }
  EXPECT_EQ(remoteRequests(), 1u + faults.size());
  EXPECT_EQ(currentUrl(), kC);  // 6801 s: 2001 s into the cycle, in C, as the clock says
}

TEST_F(PlaylistRefresh,
       the_saved_copy_comes_before_the_packaged_copy_and_a_damaged_one_is_ignored) {
  world_.state().put(playlist::kSavedPlaylistName, editedPlaylist());
  world_.network().serve(kRemote, {.error = offline()});
  auto controller = launchApp();
  world_.scheduler().advance(5.0);
  // Announced as the packaged copy is, by its file address.
  const std::string saved = "Optional(file:///state/playlist.json)";
  const auto lines = recordsSince(0, kDebug);
  const auto announced =
      std::find(lines.begin(), lines.end(), "Using saved playlist file " + saved);
  ASSERT_NE(announced, lines.end());
  EXPECT_EQ(std::vector<std::string>(announced + 1, announced + 4),
            (std::vector<std::string>{"updatePlaylist", "Loaded playlist from " + saved,
                                      "loadVideos: hasLoopedFromLastVideo: false"}));
  EXPECT_EQ(countSince(0, "Using local playlist file"), 0u);
  EXPECT_TRUE(plays(kD));
  EXPECT_EQ(controller->playlistNSURL()->text(), kRemote);

  // Damaged, unplayable or unreadable (the last case, with no bytes): one line each, then the
  // packaged copy as before.
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"[{\"hls_url\": ", "Error Domain=VornJSONErrorDomain"},
      {"{}", "the top level is not an array"},
      {"[]", "playlist has no playable entries"},
      {"", "Error Domain=VornStateErrorDomain Code=5 \"I/O error\""},
  };
  for (const auto& [bytes, why] : damaged) {
    if (bytes.empty()) {
      world_.state().failReads(playlist::kSavedPlaylistName,
                               platform::Error::make(platform::kStateErrorDomain, 5, "I/O error"));
    } else {
      world_.state().put(playlist::kSavedPlaylistName, bytes);
    }
    auto fresh = makeController();
    const size_t before = mark();
    fresh->viewDidAppear(false);
    world_.scheduler().advance(5.0);
    EXPECT_EQ(countSince(before, "Ignoring saved playlist " + saved + ": " + why), 1u) << bytes;
    EXPECT_EQ(countSince(before, "Ignoring saved playlist"), 1u) << bytes;
    EXPECT_EQ(countSince(before, std::string("Using local playlist file Optional(") + kPackagedUrl),
              1u)
        << bytes;
    ASSERT_TRUE(fresh->playlist()) << bytes;
    EXPECT_EQ(fresh->playlist()->size(), 3u) << bytes;
  }
}

// The operator moves the playlist while the channel runs: the new address is fetched at once and
// applied at the next item boundary, the old one is not asked again, and a new interval re-arms the
// one pending refresh from now.
TEST_F(PlaylistRefresh, a_new_address_and_interval_take_effect_while_running) {
  const std::string moved = "https://other.invalid/p.json";
  auto controller = start();
  world_.network().serve(moved, {.data = editedPlaylist()});
  world_.scheduler().advance(100.0);
  const auto movedRequests = [&] {
    const auto requests = world_.network().requests();
    return static_cast<size_t>(std::count(requests.begin(), requests.end(), moved));
  };
  const auto refreshes = [&] {
    std::vector<double> due;
    for (const auto& timer : world_.scheduler().pending("timer")) {
      if (timer.label == "refreshPlaylist:") {
        due.push_back(timer.due);
      }
    }
    return due;
  };
  const double now = world_.scheduler().now();
  ASSERT_EQ(refreshes(), std::vector<double>{now + 499.0});

  controller->changePlaylistSettings(platform::Url::parse(moved), 60.0);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(movedRequests(), 1u);
  EXPECT_EQ(refreshes(), std::vector<double>{now + 60.0});
  EXPECT_EQ(controller->PLAYLIST_NSURL_REMOTE()->text(), moved);
  world_.scheduler().advance(900.0);  // C ends at 1000 s
  EXPECT_TRUE(plays(kD));
  EXPECT_EQ(remoteRequests(), 1u);
  EXPECT_EQ(movedRequests(), 1u + 15u);

  // The interval alone: re-armed from now, and the same values again change nothing.
  const double later = world_.scheduler().now();
  controller->changePlaylistSettings(platform::Url::parse(moved), 300.0);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(refreshes(), std::vector<double>{later + 300.0});
  controller->changePlaylistSettings(platform::Url::parse(moved), 300.0);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(refreshes(), std::vector<double>{later + 300.0});
  EXPECT_EQ(movedRequests(), 16u);
}

TEST_F(PlaylistRefresh, the_packaged_copy_is_left_when_the_remote_address_answers_again) {
  world_.network().serve(kRemote, {.error = offline()});
  auto controller = launchApp();
  world_.scheduler().advance(5.0);
  ASSERT_EQ(controller->playlistNSURL()->text(), kPackagedUrl);
  ASSERT_EQ(controller->fetchPlaylistRetries(), -1);
  world_.network().serve(kRemote, {.data = editedPlaylist()});

  size_t before = mark();
  world_.scheduler().advance(600.0);
  EXPECT_EQ(countSince(before, std::string("refreshPlaylist: leaving Optional(") + kPackagedUrl +
                                   ") for Optional(" + kRemote + ")"),
            1u);
  EXPECT_EQ(controller->playlistNSURL()->text(), kRemote);
  EXPECT_EQ(controller->fetchPlaylistRetries(), 2);
  EXPECT_EQ(world_.state().saved(playlist::kSavedPlaylistName), editedPlaylist());
  world_.scheduler().advance(400.0);
  EXPECT_TRUE(plays(kD));

  // A return to the foreground asks the remote address again, with a whole course.
  world_.network().serveOnce(kRemote, {.error = offline()});
  before = mark();
  controller->updatePlaylistThenLoadVideos();
  world_.scheduler().advance(3.0);
  EXPECT_EQ(countSince(before, "re-trying in 2.0 seconds"), 1u);
  EXPECT_EQ(countSince(before, "Loaded playlist from Optional(" + std::string(kRemote)), 1u);
}

TEST_F(PlaylistRefresh,
       without_any_fallback_the_refresh_starts_the_programme_when_the_remote_returns) {
  world_.bundle().setResource("vorn-vimeo-playlist", "json", std::nullopt);
  world_.network().serve(kRemote, {.error = offline()});
  auto controller = launchApp();
  world_.scheduler().advance(600.0);
  ASSERT_FALSE(controller->queuePlayer());
  // A foreground return starts a new course at the remote address, named as every address is.
  size_t before = mark();
  controller->updatePlaylistThenLoadVideos();
  world_.scheduler().advance(10.0);
  EXPECT_EQ(countSince(before, "updatePlaylist: no local playlist file; trying Optional(" +
                                   std::string(kRemote) + ") again"),
            1u);
  // Up at the second refresh: with nothing on screen there is no boundary to wait for; it starts.
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  before = mark();
  world_.scheduler().advance(590.0);
  EXPECT_EQ(countSince(before, "refreshPlaylist: applying the new playlist"), 1u);
  EXPECT_EQ(countSince(before, "loadVideos: hasLoopedFromLastVideo: false"), 1u);
  EXPECT_EQ(countSince(before, "setInactivityTimer"), 1u);
  ASSERT_TRUE(controller->queuePlayer());
  EXPECT_FLOAT_EQ(controller->queuePlayer()->rate(), 1.0f);
  EXPECT_EQ(controller->playlistNSURL()->text(), kRemote);
}

TEST_F(PlaylistRefresh, a_first_document_with_nothing_to_play_is_answered_by_a_fallback_copy) {
  // The saved copy first; the empty document's own lines stay as they are.
  world_.state().put(playlist::kSavedPlaylistName, editedPlaylist());
  auto controller = start("[]");
  EXPECT_EQ(countSince(0, "Loaded playlist from Optional(" + std::string(kRemote) + ")"), 1u);
  EXPECT_EQ(countSince(0, "loadVideos: playlist has no playable entries"), 1u);
  EXPECT_EQ(countSince(0, "Using saved playlist file Optional(file:///state/playlist.json)"), 1u);
  EXPECT_TRUE(plays(kD));
  EXPECT_EQ(countSince(0, "re-trying"), 0u);

  // Without one, the packaged copy, at once.
  world_.state().failReads(playlist::kSavedPlaylistName,
                           platform::Error::make(platform::kStateErrorDomain, 5, "I/O error"));
  auto fresh = makeController();
  size_t before = mark();
  fresh->viewDidAppear(false);
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(countSince(before, std::string("Using local playlist file Optional(") + kPackagedUrl),
            1u);
  ASSERT_TRUE(fresh->queuePlayer());
  EXPECT_EQ(fresh->queuePlayer()->currentItem()->asset()->url().text(), kC);

  // The refresh still asks the remote address, and its first playable document takes over.
  world_.network().serve(kRemote, {.data = editedPlaylist()});
  before = mark();
  world_.scheduler().advance(600.0);
  EXPECT_EQ(countSince(before, "refreshPlaylist: leaving Optional(" + std::string(kPackagedUrl)),
            1u);
}

TEST_F(PlaylistRefresh, only_a_success_is_kept_as_the_last_good_copy) {
  // The first start plays what an error page holds, but does not keep it.
  world_.network().serve(kRemote, {.data = editedPlaylist(), .status = 404});
  launchApp();
  world_.scheduler().advance(1.0);
  EXPECT_TRUE(plays(kD));
  EXPECT_FALSE(world_.state().saved(playlist::kSavedPlaylistName));
  world_.network().serve(kRemote, {.data = editedPlaylist(), .status = 204});
  world_.scheduler().advance(600.0);
  EXPECT_EQ(world_.state().saved(playlist::kSavedPlaylistName), editedPlaylist());
}

TEST_F(PlaylistRefresh, the_end_of_a_slate_slot_is_a_boundary_and_a_reverted_edit_is_dropped) {
  // C never plays: the slate fills its slots, to 1000 s and from 2200 s to 3400 s. Its retries
  // fail, and a failure is no item boundary.
  world_.media().setBroken(kC);
  world_.bundle().setPlaylistRefreshInterval(300.0);
  auto controller = start();
  world_.network().serve(kRemote, {.data = editedPlaylist()});
  world_.scheduler().advance(300.0);
  ASSERT_EQ(countSince(0, "refreshPlaylist: new playlist"), 1u);

  // Back to the playing document before the boundary: nothing is left to apply.
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  size_t before = mark();
  world_.scheduler().advance(300.0);
  ASSERT_EQ(countSince(before, "refreshPlaylist: playlist unchanged"), 1u);
  world_.scheduler().advance(400.0);
  EXPECT_EQ(countSince(before, "applying the new playlist"), 0u);
  EXPECT_EQ(controller->playlist()->size(), 3u);  // the worked example

  // Edited again while the slate fills C's next slot, the document starts at the slot's end as
  // at the end of a queue: no indicator, the inactivity timer left alone.
  world_.scheduler().advance(1249.0);
  world_.network().serve(kRemote, {.data = editedPlaylist()});
  world_.scheduler().advance(1149.0);
  ASSERT_EQ(controller->playlist()->size(), 3u);
  before = mark();
  world_.scheduler().advance(2.0);
  EXPECT_EQ(countSince(before, "refreshPlaylist: applying the new playlist"), 1u);
  EXPECT_EQ(countSince(before, "loadVideos: hasLoopedFromLastVideo: true"), 1u);
  EXPECT_EQ(countSince(before, "setInactivityTimer"), 0u);
  EXPECT_FALSE(controller->activityIndicatorView()->isAnimating());
  EXPECT_EQ(controller->playlist()->size(), 4u);
}

TEST_F(PlaylistRefresh, the_same_bytes_from_another_address_are_a_new_playlist) {
  // Relative stream addresses: the packaged copy's resolve to files, the remote's to its server.
  const std::string relative =
      R"([{"hls_url": "a/index.m3u8", "duration": 600}, {"hls_url": "b/index.m3u8", "duration": 300}])";
  world_.network().writeFile(kPackagedPath, relative);
  world_.network().serve(kRemote, {.error = offline()});
  const auto packaged = *platform::Url::parse(kPackagedUrl);
  const auto remote = *platform::Url::parse(kRemote);
  const auto local = platform::Url::resolve("a/index.m3u8", packaged)->text();
  world_.media().setLength(local, 600.0);
  world_.media().setLength(platform::Url::resolve("b/index.m3u8", packaged)->text(), 300.0);
  world_.media().setLength(platform::Url::resolve("a/index.m3u8", remote)->text(), 600.0);
  world_.media().setLength(platform::Url::resolve("b/index.m3u8", remote)->text(), 300.0);
  auto controller = launchApp();
  world_.scheduler().advance(5.0);
  ASSERT_TRUE(plays(local));

  world_.network().serve(kRemote, {.data = relative});
  const size_t before = mark();
  world_.scheduler().advance(1000.0);
  EXPECT_EQ(countSince(before, "refreshPlaylist: new playlist from"), 1u);
  EXPECT_EQ(countSince(before, "refreshPlaylist: applying the new playlist"), 1u);
  EXPECT_TRUE(plays(platform::Url::resolve("a/index.m3u8", remote)->text()));
  EXPECT_FALSE(plays(local));
}

// When each request for the remote address started, in seconds after launch.
std::vector<double> remoteRequestTimes(const sim::World& world, double launch) {
  std::vector<double> times;
  for (const auto& request : world.network().requestLog()) {
    if (request.url == kRemote) {
      times.push_back(request.at - launch);
    }
  }
  return times;
}

TEST_F(PlaylistRefresh, after_a_fallback_start_the_remote_is_asked_sooner_then_on_condition) {
  const std::string etag = "\"edited-1\"";
  world_.network().serve(kRemote, {.error = offline()});
  auto controller = launchApp();
  world_.scheduler().advance(100.0);
  ASSERT_EQ(controller->playlistNSURL()->text(), kPackagedUrl);
  // Three tries at the start, the fall-back at 4 s, then 10, 20, 40 s... after it.
  EXPECT_EQ(remoteRequestTimes(world_, 3800.0), (std::vector<double>{0, 2, 4, 14, 34, 74}));

  // Back at 100 s: found at 154 s (80 s after 74 s); from there on the refresh interval, and every
  // request holds the answer's validator. Unchanged, the document costs no body: at 754 s it
  // still waits for C's end (1000 s), then it plays unchanged.
  world_.network().serve(kRemote, {.data = editedPlaylist(), .headers = {{"ETag", etag}}});
  const size_t bodies = world_.network().bodyBytes();
  size_t before = mark();
  world_.scheduler().advance(1900.0);
  EXPECT_EQ(countSince(before, "refreshPlaylist: leaving Optional(" + std::string(kPackagedUrl)),
            1u);
  EXPECT_EQ(remoteRequestTimes(world_, 3800.0),
            (std::vector<double>{0, 2, 4, 14, 34, 74, 154, 754, 1354, 1954}));
  EXPECT_EQ(countSince(before, "refreshPlaylist: the new playlist is still waiting"), 1u);
  EXPECT_EQ(countSince(before, "refreshPlaylist: playlist unchanged"), 2u);
  EXPECT_EQ(world_.network().bodyBytes(), bodies + editedPlaylist().size());
  const auto requests = world_.network().requestLog();
  EXPECT_TRUE(requests[requests.size() - 4].headers.empty());
  EXPECT_EQ(requests.back().headers, (platform::HttpHeaders{{"If-None-Match", etag}}));

  // The validator is kept with the saved copy: a restart that falls back to that copy asks on
  // its condition, and a 304 finds the copy unchanged.
  world_.network().serve(kRemote, {.error = offline()});
  auto restarted = makeController();
  restarted->viewDidAppear(false);
  world_.scheduler().advance(5.0);
  ASSERT_EQ(restarted->playlist()->size(), 4u);
  world_.network().serve(kRemote, {.data = editedPlaylist(), .headers = {{"ETag", etag}}});
  before = mark();
  world_.scheduler().advance(10.0);
  EXPECT_EQ(world_.network().requestLog().back().headers,
            (platform::HttpHeaders{{"If-None-Match", etag}}));
  EXPECT_EQ(countSince(before, "refreshPlaylist: playlist unchanged"), 1u);
  EXPECT_EQ(world_.network().bodyBytes(), bodies + editedPlaylist().size());
}

TEST(RefreshSpread, a_fleet_started_at_once_spreads_its_requests_and_unchanged_costs_no_body) {
  // 1,000 screens, all started at the same moment (a power cut ends), for a day, each with an
  // identity of its own, against one server whose document does not change.
  constexpr int kScreens = 1000;
  constexpr double kLaunch = 6 * 3600.0;
  const std::string document = R"([{"hls_url": "https://streams.invalid/a", "duration": 3600}])";
  std::vector<double> firstRound;
  std::vector<double> lastHour;
  size_t bodies = 0;
  size_t requests = 0;
  for (int screen = 0; screen < kScreens; ++screen) {
    sim::World world(sim::WorldOptions{kLaunch});
    world.bundle().setScreenIdentity(0x5EED0000ull + static_cast<uint64_t>(screen) * 7919);
    world.bundle().setResource("vorn-vimeo-playlist", "json", std::string(kPackagedPath));
    world.network().writeFile(kPackagedPath, document);
    world.network().serve(kRemote, {.data = document, .headers = {{"ETag", "\"v1\""}}});
    world.media().setLength("https://streams.invalid/a", 3600.0);
    ASSERT_TRUE(world.application().launch(app::classRegistry(), app::kDelegateClassName,
                                           app::mainInterface(), world.screenBounds(), nullptr));
    world.scheduler().advance(86400.0);
    const auto times = remoteRequestTimes(world, kLaunch);
    ASSERT_GT(times.size(), 140u);
    for (size_t i = 2; i < times.size(); ++i) {
      const double gap = times[i] - times[i - 1];
      ASSERT_GE(gap, 540.0 - 1e-6) << "screen " << screen;
      ASSERT_LE(gap, 660.0 + 1e-6) << "screen " << screen;
    }
    firstRound.push_back(times[1]);
    for (const double at : times) {
      if (at >= 82800.0) {
        lastHour.push_back(at);
      }
    }
    bodies += world.network().bodyBytes();
    requests += times.size();
  }
  // Only the first download of each screen carried the document.
  EXPECT_EQ(bodies, kScreens * document.size());
  EXPECT_GT(requests, kScreens * 140u);

  // The busiest window of `width` seconds among `times`.
  const auto busiest = [](std::vector<double> times, double width) {
    std::sort(times.begin(), times.end());
    size_t most = 0;
    for (size_t i = 0, j = 0; i < times.size(); ++i) {
      while (times[i] - times[j] >= width) {
        ++j;
      }
      most = std::max(most, i - j + 1);
    }
    return most;
  };
  // In step, every screen would ask in the same second. The first round spreads over about
  // ±60 s, and by the end of the day the fleet is spread over the whole interval.
  const auto [earliest, latest] = std::minmax_element(firstRound.begin(), firstRound.end());
  EXPECT_LE(*earliest, 545.0);
  EXPECT_GE(*latest, 655.0);
  EXPECT_LE(busiest(firstRound, 1.0), 30u);
  EXPECT_LE(busiest(lastHour, 60.0), 250u);
}

}  // namespace
}  // namespace vorn::testing
