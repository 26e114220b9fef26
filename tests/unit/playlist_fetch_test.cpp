#include <algorithm>

#include "channel_fixture.h"
#include "programme/cycle.h"

namespace vorn::testing {
namespace {

constexpr const char* kDebug = "DEBUG: VornViewController: ";

size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class PlaylistFetch : public ChannelTest {
 protected:
  std::shared_ptr<VornViewController> controller_ = makeController();
  static sim::SimUrlSession::Response failing() {
    return {.data = std::nullopt,
            .error = platform::Error::make(platform::kUrlErrorDomain, 1, "x")};
  }
};

TEST_F(PlaylistFetch, the_completion_loads_only_an_array_and_retries_on_anything_else) {
  const auto failure = platform::Error::make(platform::kUrlErrorDomain, -1001, "timed out");
  const auto records = [&](auto call) {
    const size_t before = mark();
    call();
    return recordsSince(before);
  };

  // Data together with an error is a fetch failure: the data is not parsed.
  EXPECT_EQ(
      records([&] { controller_->updatePlaylistCompletionHandler("[]", nullptr, failure); }),
      (std::vector<std::string>{
          std::string(kDebug) + "updatePlaylistCompletionHandler:",
          "ERROR: VornViewController: Alert: Error fetching playlist: Optional(Error "
          "Domain=VornURLErrorDomain Code=-1001 \"timed out\")",
          std::string(kDebug) + "updatePlaylistCompletionHandler: re-trying in 2.0 seconds"}));
  EXPECT_FALSE(controller_->playlist());

  // No data and no error: "nil".
  EXPECT_EQ(records([&] {
              controller_->updatePlaylistCompletionHandler(std::nullopt, nullptr, nullptr);
            })[1],
            "ERROR: VornViewController: Alert: Error fetching playlist: nil");

  // Not JSON (empty data, a bare number): a parse error with the parser's description.
  controller_->setFetchPlaylistRetries(5);
  for (const char* bytes : {"", "42", "<html>oops</html>"}) {
    const auto lines = records(
        [&] { controller_->updatePlaylistCompletionHandler(bytes, responseFrom(), nullptr); });
    ASSERT_EQ(lines.size(), 3u) << bytes;
    EXPECT_EQ(lines[1].rfind("ERROR: VornViewController: Alert: Error parsing JSON: Error "
                             "Domain=VornJSONErrorDomain",
                             0),
              0u)
        << lines[1];
  }

  // A top-level object: rejected with no message of its own, straight to the retry.
  EXPECT_EQ(
      records([&] {
        controller_->updatePlaylistCompletionHandler(R"({"playlist": []})", responseFrom(),
                                                     nullptr);
      }),
      (std::vector<std::string>{
          std::string(kDebug) + "updatePlaylistCompletionHandler:",
          std::string(kDebug) + "updatePlaylistCompletionHandler: re-trying in 2.0 seconds"}));
  EXPECT_FALSE(controller_->playlist());

  // An array is accepted and loaded, even with an error status.
  EXPECT_EQ(records([&] {
              controller_->updatePlaylistCompletionHandler(
                  R"([{"hls_url": "https://streams.invalid/x", "duration": 5}])",
                  std::make_shared<platform::UrlResponse>(*platform::Url::parse(kRemote), 404),
                  nullptr);
            }),
            (std::vector<std::string>{
                std::string(kDebug) + "updatePlaylistCompletionHandler:",
                std::string(kDebug) + "Loaded playlist from Optional(" + kRemote + ")",
                std::string(kDebug) + "loadVideos: hasLoopedFromLastVideo: false"}));
  ASSERT_TRUE(controller_->playlist());

  // No response: the address reads nil.
  EXPECT_EQ(records([&] {
              controller_->updatePlaylistCompletionHandler(
                  R"([{"hls_url": "https://streams.invalid/y", "duration": 5}])", nullptr, nullptr);
            })[1],
            std::string(kDebug) + "Loaded playlist from nil");
}

TEST_F(PlaylistFetch, remote_fails_twice_then_the_packaged_copy_plays) {
  const size_t before = mark();
  controller_->viewDidAppear(false);
  world_.scheduler().advance(4.0);
  // Both retries have failed by 4.0 s; the third failure switches at once, without a timer.
  EXPECT_EQ(world_.network().requests(),
            (std::vector<std::string>{kRemote, kRemote, kRemote, kPackagedUrl}));
  EXPECT_EQ(controller_->fetchPlaylistRetries(), -1);
  EXPECT_EQ(controller_->playlistNSURL()->text(), kPackagedUrl);
  ASSERT_TRUE(world_.media().latestPlayer());

  std::vector<std::string> fetchLines;
  for (const auto& line : recordsSince(before, kDebug)) {
    if (line.find("loadVideos") == std::string::npos && line != "setInactivityTimer") {
      fetchLines.push_back(line);
    }
  }
  const std::string fetchError =
      "ERROR: VornViewController: Alert: Error fetching playlist: Optional(Error "
      "Domain=VornURLErrorDomain Code=-1003 \"A server with the specified hostname could not be "
      "found.\")";
  EXPECT_EQ(
      fetchLines,
      (std::vector<std::string>{
          "viewDidAppear:", "updatePlaylist", "updatePlaylistCompletionHandler:", fetchError,
          "updatePlaylistCompletionHandler: re-trying in 2.0 seconds",
          "retryUpdatePlaylist:", "updatePlaylist", "updatePlaylistCompletionHandler:", fetchError,
          "updatePlaylistCompletionHandler: re-trying in 2.0 seconds",
          "retryUpdatePlaylist:", "updatePlaylist", "updatePlaylistCompletionHandler:", fetchError,
          std::string("Using local playlist file Optional(") + kPackagedUrl + ")", "updatePlaylist",
          "updatePlaylistCompletionHandler:",
          std::string("Loaded playlist from Optional(") + kPackagedUrl + ")"}));

  // Later downloads stay with the packaged copy; the budget never comes back.
  controller_->updatePlaylistThenLoadVideos();
  world_.scheduler().runUntilIdle();
  EXPECT_EQ(world_.network().requests().back(), kPackagedUrl);
  EXPECT_EQ(controller_->fetchPlaylistRetries(), -1);
}

TEST_F(PlaylistFetch, damaged_packaged_copy_is_retried_every_two_seconds_with_the_counter_falling) {
  world_.network().writeFile(kPackagedPath, "not json");
  controller_->viewDidAppear(false);
  world_.scheduler().advance(4.0);
  // Downloads 1-3 remote, 4 the packaged copy at once; it fails too.
  EXPECT_EQ(world_.network().requests().size(), 4u);
  EXPECT_EQ(controller_->fetchPlaylistRetries(), -2);
  ASSERT_EQ(world_.timers().pending().size(), 1u);
  EXPECT_EQ(world_.timers().pending()[0].selector, "retryUpdatePlaylistThenLoadVideos:");
  // No spinning on a damaged file: one more attempt every 2.0 s, each counted.
  world_.scheduler().advance(1.9);
  EXPECT_EQ(world_.network().requests().size(), 4u);
  world_.scheduler().advance(0.1);
  EXPECT_EQ(world_.network().requests().size(), 5u);
  EXPECT_EQ(world_.network().requests().back(), kPackagedUrl);
  EXPECT_EQ(controller_->fetchPlaylistRetries(), -3);
  const auto messages = controller_->debugmsgs();
  EXPECT_EQ(std::count(messages.begin(), messages.end(),
                       std::string("Using local playlist file Optional(") + kPackagedUrl + ")"),
            3);
  // Repaired, the next attempt plays it and the retries stop.
  world_.network().writeFile(kPackagedPath, workedExamplePlaylist());
  world_.scheduler().advance(2.0);
  EXPECT_TRUE(world_.media().latestPlayer());
  EXPECT_EQ(controller_->fetchPlaylistRetries(), -3);
  for (const auto& timer : world_.timers().pending()) {
    EXPECT_EQ(timer.selector, "inactivityTimer:");
  }
}

TEST_F(PlaylistFetch, a_success_leaves_the_retry_budget_where_the_failures_left_it) {
  world_.network().serveOnce(kRemote, failing());
  world_.network().serveOnce(kRemote, failing());
  world_.network().serve(kRemote, {.data = workedExamplePlaylist()});
  controller_->viewDidAppear(false);
  world_.scheduler().advance(4.5);
  EXPECT_EQ(world_.network().requests().size(), 3u);
  EXPECT_EQ(controller_->fetchPlaylistRetries(), 0);
}

TEST_F(PlaylistFetch, without_a_packaged_copy_each_foreground_return_starts_a_new_course) {
  world_.bundle().setResource("vorn-vimeo-playlist", "json", std::nullopt);
  world_.network().serve(
      kRemote, {.error = platform::Error::make(platform::kUrlErrorDomain, -1004, "no connect")});
  auto controller = makeController();
  controller->viewDidAppear(false);
  world_.scheduler().advance(10.0);
  ASSERT_EQ(world_.network().requests().size(), 3u);
  // Still down: the return gets a whole course of its own, then rests with nothing due.
  controller->updatePlaylistThenLoadVideos();
  world_.scheduler().advance(10.0);
  EXPECT_EQ(world_.network().requests(), std::vector<std::string>(6, kRemote));
  EXPECT_EQ(controller->errors().back(), "updatePlaylist: no playlist address; not downloading");
  EXPECT_FALSE(world_.scheduler().nextDueTime());
  EXPECT_EQ(world_.network().pendingDownloads(), 0u);
}

TEST_F(PlaylistFetch, a_document_with_nothing_playable_never_replaces_one_that_plays) {
  const auto& controller = controller_;
  deliver(*controller, workedExamplePlaylist());
  const JsonPtr playing = controller->playlist();
  ASSERT_TRUE(playing);
  const auto player = controller->queuePlayer();
  ASSERT_EQ(playingUrls().size(), 4u);

  const std::string kept =
      "ERROR: VornViewController: Alert: updatePlaylistCompletionHandler: playlist has no "
      "playable entries; keeping the current playlist";
  for (const char* nothing :
       {"[]", R"([{"hls_url": "x y", "duration": 5}, 7, {"duration": 3}])",
        R"([{"hls_url": "https://streams.invalid/z.m3u8", "duration": 5, "play_count": 0}])"}) {
    const size_t before = mark();
    deliver(*controller, nothing);
    const auto lines = recordsSince(before);
    EXPECT_EQ(countOf(lines, kept), 1u) << nothing;
    EXPECT_EQ(controller->playlist(), playing) << nothing;
    // What is on screen goes on, observers and all.
    EXPECT_EQ(controller->queuePlayer(), player) << nothing;
    EXPECT_EQ(controller->playerLayer()->player(), player) << nothing;
    EXPECT_TRUE(controller->lastPlayerItem()) << nothing;
    EXPECT_EQ(world_.notificationCenter().registeredSelectors().size(), 4u) << nothing;
    EXPECT_FLOAT_EQ(player->rate(), 1.0f) << nothing;
    EXPECT_EQ(controller->fetchPlaylistRetries(), 2) << nothing;  // not counted as a failure
  }
}

TEST_F(PlaylistFetch, a_cycle_past_the_item_limit_is_refused_as_a_parse_error) {
  const auto& controller = controller_;
  deliver(*controller, workedExamplePlaylist());
  const JsonPtr playing = controller->playlist();
  std::string past = "[";
  for (size_t i = 0; i <= programme::kMaxCycleItems / 5; ++i) {
    past += R"({"hls_url": "https://streams.invalid/)" + std::to_string(i) +
            R"(.m3u8", "duration": 10, "play_count": 5},)";
  }
  past.back() = ']';
  const size_t before = mark();
  controller->updatePlaylistCompletionHandler(past, responseFrom(), nullptr);
  const auto lines = recordsSince(before);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1],
            "ERROR: VornViewController: Alert: Error parsing JSON: Error "
            "Domain=VornJSONErrorDomain Code=4 \"The playlist's cycle would hold more than " +
                std::to_string(programme::kMaxCycleItems) + " items.\"");
  EXPECT_EQ(lines.back(),
            "DEBUG: VornViewController: updatePlaylistCompletionHandler: re-trying in 2.0 seconds");
  EXPECT_EQ(controller->playlist(), playing);
}

}  // namespace
}  // namespace vorn::testing
