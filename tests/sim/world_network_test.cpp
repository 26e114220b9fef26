#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/world.h"

namespace vorn::sim {
namespace {

using platform::Url;

// One finished download, as the completion saw it.
struct Answer {
  std::optional<std::string> data;
  std::shared_ptr<platform::UrlResponse> response;
  std::shared_ptr<platform::Error> error;
  bool onMainThread = true;
  double time = -1.0;
};

class WorldNetwork : public ::testing::Test {
 protected:
  // Starts a download and returns where its answers go.
  std::shared_ptr<std::vector<Answer>> fetch(const std::string& address) {
    auto answers = std::make_shared<std::vector<Answer>>();
    world.urlSession().startDataTask(
        *Url::parse(address), [this, answers](auto data, auto response, auto error) {
          answers->push_back({std::move(data), std::move(response), std::move(error),
                              world.mainQueue().isMainThread(), world.now()});
        });
    return answers;
  }

  World world{{.startTime = 10.0}};
  const std::string remote = "https://channel.vorn.invalid/playlists/vorn-vimeo-playlist.json";
};

TEST_F(WorldNetwork, one_shot_responses_come_before_the_persistent_rule) {
  world.serve(remote, {.data = "rule"});
  world.serveOnce(remote, {.data = "first", .status = 404});
  world.serveOnce(remote, {.error = platform::Error::make(platform::kUrlErrorDomain, -1001,
                                                          "The request timed out.")});
  auto a = fetch(remote);
  auto b = fetch(remote);
  auto c = fetch(remote);
  auto d = fetch(remote);
  EXPECT_EQ(world.pendingDownloads(), 4u);
  EXPECT_TRUE(a->empty()) << "completions wait for the test to run them";
  world.runUntilIdle();

  ASSERT_EQ(a->size(), 1u);
  EXPECT_EQ((*a)[0].data, "first");
  ASSERT_TRUE((*a)[0].response);
  EXPECT_EQ((*a)[0].response->statusCode(), 404);
  EXPECT_EQ((*a)[0].response->url().text(), remote);
  EXPECT_EQ((*a)[0].error, nullptr);

  ASSERT_EQ(b->size(), 1u);
  EXPECT_FALSE((*b)[0].data);
  EXPECT_EQ((*b)[0].response, nullptr);
  ASSERT_TRUE((*b)[0].error);
  EXPECT_EQ((*b)[0].error->code(), -1001);

  ASSERT_EQ(c->size(), 1u);
  EXPECT_EQ((*c)[0].data, "rule");
  ASSERT_EQ(d->size(), 1u);
  EXPECT_EQ((*d)[0].data, "rule");
  EXPECT_EQ(world.requests(), (std::vector<std::string>{remote, remote, remote, remote}));
  EXPECT_EQ(world.pendingDownloads(), 0u);
}

TEST_F(WorldNetwork, completions_run_once_on_the_background_thread_after_their_delay) {
  world.serve(remote, {.data = "slow", .delay = 3.0});
  world.serve("https://other.invalid/fast.json", {.data = "fast", .delay = 1.0});
  auto slow = fetch(remote);
  auto fast = fetch("https://other.invalid/fast.json");
  world.runUntilIdle();
  EXPECT_TRUE(slow->empty());
  EXPECT_TRUE(fast->empty());

  world.advance(1.0);
  ASSERT_EQ(fast->size(), 1u);
  EXPECT_DOUBLE_EQ((*fast)[0].time, 11.0);
  EXPECT_FALSE((*fast)[0].onMainThread);
  EXPECT_TRUE(slow->empty());
  EXPECT_EQ(world.pendingDownloads(), 1u);

  world.advance(10.0);
  ASSERT_EQ(slow->size(), 1u);
  EXPECT_DOUBLE_EQ((*slow)[0].time, 13.0);
  EXPECT_FALSE((*slow)[0].onMainThread);
  EXPECT_EQ(fast->size(), 1u);
  // Back on the main thread once the completion has returned.
  EXPECT_TRUE(world.mainQueue().isMainThread());
}

TEST_F(WorldNetwork, unscripted_addresses_fail_as_unreachable_hosts) {
  auto answers = fetch(remote);
  world.runUntilIdle();
  ASSERT_EQ(answers->size(), 1u);
  ASSERT_TRUE((*answers)[0].error);
  EXPECT_EQ((*answers)[0].error->domain(), platform::kUrlErrorDomain);
  EXPECT_EQ((*answers)[0].error->code(), -1003);
  EXPECT_EQ((*answers)[0].error->message(),
            "A server with the specified hostname could not be found.");
  EXPECT_FALSE((*answers)[0].data);
}

TEST_F(WorldNetwork, file_addresses_read_the_simulated_files) {
  const std::string path = "/usr/share/vorn/vorn-vimeo-playlist.json";
  const std::string address = Url::fileUrlWithPath(path).text();
  auto missing = fetch(address);
  world.writeFile(path, "[1]");
  auto present = fetch(address);
  world.removeFile(path);
  auto removed = fetch(address);
  world.runUntilIdle();

  ASSERT_EQ(missing->size(), 1u);
  ASSERT_TRUE((*missing)[0].error);
  EXPECT_EQ((*missing)[0].error->code(), -1100);
  EXPECT_EQ((*missing)[0].error->message(), "The requested file does not exist.");

  ASSERT_EQ(present->size(), 1u);
  EXPECT_EQ((*present)[0].data, "[1]");
  ASSERT_TRUE((*present)[0].response);
  EXPECT_EQ((*present)[0].response->statusCode(), 0);
  EXPECT_EQ((*present)[0].response->url().text(), address);
  EXPECT_FALSE((*present)[0].onMainThread);

  ASSERT_EQ(removed->size(), 1u);
  EXPECT_TRUE((*removed)[0].error);
}

TEST_F(WorldNetwork, a_completion_may_start_another_download_and_post_to_the_main_queue) {
  world.serveOnce(remote,
                  {.error = platform::Error::make(platform::kUrlErrorDomain, -1009, "offline")});
  world.serveOnce(remote, {.data = "second", .delay = 2.0});
  std::vector<std::string> seen;
  std::function<void(std::optional<std::string>, std::shared_ptr<platform::UrlResponse>,
                     std::shared_ptr<platform::Error>)>
      completion = [&](auto data, auto, auto error) {
        seen.push_back(data ? *data : "error " + std::to_string(error->code()));
        if (error) {
          world.urlSession().startDataTask(*Url::parse(remote), completion);
        } else {
          world.mainQueue().post([&] {
            seen.push_back(std::string("main ") +
                           (world.mainQueue().isMainThread() ? "yes" : "no"));
          });
        }
      };
  world.urlSession().startDataTask(*Url::parse(remote), completion);
  world.advance(5.0);
  EXPECT_EQ(seen, (std::vector<std::string>{"error -1009", "second", "main yes"}));
  EXPECT_EQ(world.requests().size(), 2u);
}

TEST_F(WorldNetwork, trace_reports_downloads) {
  std::vector<std::string> lines;
  world.setTrace([&](double, const std::string& line) { lines.push_back(line); });
  world.serve(remote, {.data = "x", .delay = 1.0});
  fetch(remote);
  world.advance(1.0);
  EXPECT_EQ(lines, (std::vector<std::string>{"download started: " + remote,
                                             "download finished: " + remote}));
}

}  // namespace
}  // namespace vorn::sim
