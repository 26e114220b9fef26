#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "app/app_delegate.h"
#include "channel/vorn_view_controller.h"
#include "platform/sim/world.h"
#include "tests/worked_example.h"
#include "vorn/build_config.h"

namespace vorn::testing {

inline constexpr const char* kRemote = build::kRemotePlaylistAddress;
inline constexpr const char* kPackagedPath = "/opt/vorn/share/vorn/vorn-vimeo-playlist.json";
inline constexpr const char* kPackagedUrl = "file:///opt/vorn/share/vorn/vorn-vimeo-playlist.json";
inline constexpr const char* kA = "https://streams.invalid/a/index.m3u8";
inline constexpr const char* kB = "https://streams.invalid/b/index.m3u8";
inline constexpr const char* kC = "https://streams.invalid/c/index.m3u8";

// A simulated world with the channel's controller, made directly (Controller) or started as the
// application is (App). The world is the first member so it outlives everything.
class ChannelTest : public ::testing::Test {
 protected:
  explicit ChannelTest(double startTime = 3800.0) : world_(sim::WorldOptions{startTime}) {
    world_.bundle().setResource("vorn-vimeo-playlist", "json", std::string(kPackagedPath));
    world_.network().writeFile(kPackagedPath, workedExamplePlaylist());
    world_.media().setLength(kA, 600.0);
    world_.media().setLength(kB, 300.0);
    world_.media().setLength(kC, 1200.0);
    // The background refresh has tests of its own; elsewhere it would only add to what is counted.
    world_.bundle().setPlaylistRefreshInterval(0.0);
  }

  // With its view loaded, so gestures and addresses are in place.
  std::shared_ptr<VornViewController> makeController() {
    auto controller = std::make_shared<VornViewController>(world_, std::nullopt, nullptr);
    controller->loadViewIfNeeded();
    return controller;
  }

  std::shared_ptr<VornViewController> launchApp(bool developerMode = false) {
    EXPECT_TRUE(world_.application().launch(app::classRegistry(), app::kDelegateClassName,
                                            app::mainInterface(), world_.screenBounds(),
                                            [developerMode](platform::ViewController& controller) {
                                              if (developerMode) {
                                                app::enableDeveloperMode(controller);
                                              }
                                            }));
    return std::dynamic_pointer_cast<VornViewController>(world_.application().rootViewController());
  }

  static std::shared_ptr<platform::UrlResponse> responseFrom(const std::string& address = kRemote) {
    return std::make_shared<platform::UrlResponse>(*platform::Url::parse(address), 200);
  }
  // The document `bytes` as answered by `address`, and everything it sets off.
  void deliver(VornViewController& controller, const std::string& bytes,
               const std::string& address = kRemote) {
    controller.updatePlaylistCompletionHandler(bytes, responseFrom(address), nullptr);
    world_.scheduler().runUntilIdle();
  }

  std::shared_ptr<AppDelegate> delegate() {
    return std::dynamic_pointer_cast<AppDelegate>(world_.application().delegate());
  }

  // Records written since `mark`, with the class prefix removed when it is `prefix`.
  std::vector<std::string> recordsSince(size_t mark, const std::string& prefix = "") const {
    const auto& records = world_.log().records();
    std::vector<std::string> out(records.begin() + static_cast<std::ptrdiff_t>(mark),
                                 records.end());
    for (auto& record : out) {
      if (!prefix.empty() && record.starts_with(prefix)) {
        record.erase(0, prefix.size());
      }
    }
    return out;
  }
  size_t mark() const { return world_.log().records().size(); }
  // How many records written since `mark` hold `fragment`.
  size_t countSince(size_t mark, const std::string& fragment) const {
    return std::ranges::count_if(recordsSince(mark), [&](const auto& line) {
      return line.find(fragment) != std::string::npos;
    });
  }

  std::string currentUrl() const {
    const auto player = world_.media().latestPlayer();
    const auto item = player ? player->currentItem() : nullptr;
    return item ? item->asset()->url().text() : std::string();
  }

  // The items of the latest queue, none when there is no player.
  std::vector<std::string> playingUrls() const {
    const auto player = world_.media().latestPlayer();
    return player ? urlsOf(player->items()) : std::vector<std::string>{};
  }

  static std::vector<std::string> urlsOf(
      const std::vector<std::shared_ptr<platform::PlayerItem>>& items) {
    std::vector<std::string> urls(items.size());
    std::ranges::transform(items, urls.begin(),
                           [](const auto& item) { return item->asset()->url().text(); });
    return urls;
  }

  sim::World world_;
};

}  // namespace vorn::testing
