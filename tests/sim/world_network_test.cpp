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
                              world.mainQueue().isMainThread(), world.scheduler().now()});
        });
    return answers;
  }

  World world{{.startTime = 10.0}};
  const std::string remote = "https://channel.vorn.invalid/playlists/vorn-vimeo-playlist.json";
};

TEST_F(WorldNetwork, completions_run_once_on_the_background_thread_after_their_delay_traced) {
  std::vector<std::string> lines;
  world.trace().setSink([&](double, const std::string& line) { lines.push_back(line); });
  world.network().serve(remote, {.data = "slow", .delay = 3.0});
  world.network().serve("https://other.invalid/fast.json", {.data = "fast", .delay = 1.0});
  auto slow = fetch(remote);
  auto fast = fetch("https://other.invalid/fast.json");
  world.scheduler().runUntilIdle();
  EXPECT_TRUE(slow->empty());
  EXPECT_TRUE(fast->empty());

  world.scheduler().advance(1.0);
  ASSERT_EQ(fast->size(), 1u);
  EXPECT_DOUBLE_EQ((*fast)[0].time, 11.0);
  EXPECT_FALSE((*fast)[0].onMainThread);
  EXPECT_TRUE(slow->empty());
  EXPECT_EQ(world.network().pendingDownloads(), 1u);

  world.scheduler().advance(10.0);
  ASSERT_EQ(slow->size(), 1u);
  EXPECT_DOUBLE_EQ((*slow)[0].time, 13.0);
  EXPECT_FALSE((*slow)[0].onMainThread);
  EXPECT_EQ(fast->size(), 1u);
  // Back on the main thread once the completion has returned.
  EXPECT_TRUE(world.mainQueue().isMainThread());
  const std::string fastAddress = "https://other.invalid/fast.json";
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "download started: " + remote, "download started: " + fastAddress,
                       "download finished: " + fastAddress, "download finished: " + remote}));
}

TEST_F(WorldNetwork, file_addresses_read_the_simulated_files) {
  const std::string path = "/usr/share/vorn/vorn-vimeo-playlist.json";
  const std::string address = Url::fileUrlWithPath(path).text();
  auto missing = fetch(address);
  world.network().writeFile(path, "[1]");
  auto present = fetch(address);
  world.network().removeFile(path);
  auto removed = fetch(address);
  world.scheduler().runUntilIdle();

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

TEST_F(WorldNetwork, held_requests_hang_until_answered_or_released) {
  const std::string other = "https://other.invalid/free.json";
  world.network().serve(remote, {.data = "rule"});
  world.network().hold(remote);
  auto first = fetch(remote);
  auto second = fetch(remote);
  auto third = fetch(remote);
  auto free = fetch(other);
  world.scheduler().advance(3600.0);
  EXPECT_TRUE(first->empty());
  EXPECT_TRUE(second->empty());
  EXPECT_EQ(free->size(), 1u) << "only the held address waits";
  EXPECT_EQ(world.network().heldRequests(), (std::vector<std::string>{remote, remote, remote}));
  EXPECT_EQ(world.network().pendingDownloads(), 3u);
  EXPECT_FALSE(world.scheduler().nextDueTime()) << "a hanging request keeps nothing due";

  // Answered one by one, oldest first, with whatever the test says, after its delay.
  EXPECT_TRUE(world.network().answer(remote, {.data = "late", .status = 203, .delay = 2.0}));
  EXPECT_TRUE(world.network().answer(
      remote, {.error = platform::Error::make(platform::kUrlErrorDomain, -1001, "timed out")}));
  EXPECT_FALSE(world.network().answer(other, {.data = "nothing held"}));
  world.scheduler().advance(1.0);
  EXPECT_TRUE(first->empty());
  ASSERT_EQ(second->size(), 1u);
  ASSERT_TRUE((*second)[0].error);
  EXPECT_EQ((*second)[0].error->code(), -1001);
  EXPECT_FALSE((*second)[0].onMainThread);
  world.scheduler().advance(1.0);
  ASSERT_EQ(first->size(), 1u);
  EXPECT_EQ((*first)[0].data, "late");
  EXPECT_EQ((*first)[0].response->statusCode(), 203);
  EXPECT_DOUBLE_EQ((*first)[0].time, 3612.0);

  // Released: the rest are answered by the rules.
  EXPECT_EQ(world.network().release(remote), 1u);
  world.scheduler().runUntilIdle();
  ASSERT_EQ(third->size(), 1u);
  EXPECT_EQ((*third)[0].data, "rule");
  EXPECT_EQ(world.network().pendingDownloads(), 0u);
  EXPECT_EQ(first->size(), 1u) << "each completion runs once";
}

}  // namespace
}  // namespace vorn::sim
