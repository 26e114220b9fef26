#include <algorithm>
#include <string>

#include "channel_fixture.h"
#include "playlist/playlist_refresh.h"

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
       "updatePlaylistCompletionHandler: playlist has no playable entries; keeping the current "
       "playlist"},
  };
  // Each fault at one refresh, 600 s apart. A hung fetch is read from the simulate command's log
  // in its own test.
  for (const auto& fault : faults) {
    world_.network().serve(kRemote, fault.response);
    const size_t before = mark();
    const size_t timers = world_.scheduler().pendingCount("timer");
    world_.scheduler().advance(600.0);
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
    ASSERT_EQ(lines.size(), 1u) << fault.name;
    EXPECT_EQ(lines.front().rfind(kError, 0), 0u) << fault.name;
    EXPECT_NE(lines.front().find(fault.line), std::string::npos)
        << fault.name << ": " << lines.front();
    EXPECT_EQ(controller->playlist(), playing) << fault.name;
    EXPECT_EQ(world_.scheduler().pendingCount("timer"), timers) << fault.name;
    EXPECT_EQ(controller->playlistNSURL()->text(), kRemote) << fault.name;
    EXPECT_EQ(world_.state().saved(playlist::kSavedPlaylistName), saved) << fault.name;
  }
  EXPECT_EQ(remoteRequests(), 1u + faults.size());
  EXPECT_EQ(currentUrl(), kC);  // 6201 s: 1401 s into the cycle, in C, as the clock says
}

TEST_F(PlaylistRefresh,
       the_saved_copy_comes_before_the_packaged_copy_and_a_damaged_one_is_ignored) {
  world_.state().put(playlist::kSavedPlaylistName, editedPlaylist());
  world_.network().serve(kRemote, {.error = offline()});
  auto controller = launchApp();
  world_.scheduler().advance(5.0);
  EXPECT_EQ(countSince(0, std::string(kDebug) + "Using saved playlist file state:playlist.json"),
            1u);
  EXPECT_EQ(countSince(0, "Using local playlist file"), 0u);
  EXPECT_TRUE(plays(kD));
  EXPECT_EQ(controller->playlistNSURL()->text(), kRemote);

  // Damaged, unplayable or unreadable (the last case, with no bytes): one line each, then the
  // packaged copy as before.
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"[{\"hls_url\": ", "Error Domain=VornJSONErrorDomain"},
      {"{}", "the top level is not an array"},
      {"[]", "no playable entries"},
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
    EXPECT_EQ(countSince(before, "Ignoring saved playlist state:playlist.json: " + why), 1u)
        << bytes;
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
  // Up at the second refresh: with nothing on screen there is no boundary to wait for; it starts.
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  const size_t before = mark();
  world_.scheduler().advance(600.0);
  EXPECT_EQ(countSince(before, "refreshPlaylist: applying the new playlist"), 1u);
  EXPECT_EQ(countSince(before, "loadVideos: hasLoopedFromLastVideo: false"), 1u);
  EXPECT_EQ(countSince(before, "setInactivityTimer"), 1u);
  ASSERT_TRUE(controller->queuePlayer());
  EXPECT_FLOAT_EQ(controller->queuePlayer()->rate(), 1.0f);
  EXPECT_EQ(controller->playlistNSURL()->text(), kRemote);
}

}  // namespace
}  // namespace vorn::testing
