#include <algorithm>

#include "channel_fixture.h"

namespace vorn::testing {
namespace {

constexpr const char* kDebug = "DEBUG: VornViewController: ";

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

}  // namespace
}  // namespace vorn::testing
