// Queue after queue on the mpv backend, headless, as the channel reloads: whatever an earlier
// queue made (player, layer, items, the blocks of its observers) must be gone once the next queue
// plays, or an always-on screen grows with every reload.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/mpv_backend.h"
#include "platform/media.h"
#include "platform/media_time.h"
#include "platform/notification_center.h"
#include "platform/url.h"
#include "tests/linux/mpv_test_support.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
using linuxbackend::MpvOptions;
using platform::MediaTime;
using platform::PlayerItem;

constexpr auto kPatience = 30s;  // only guards against hangs; nothing here is timed

// What one queue load made, held weakly once the load is replaced.
struct LoadTrace {
  std::weak_ptr<platform::QueuePlayer> player;
  std::weak_ptr<platform::PlayerLayer> layer;
  std::vector<std::weak_ptr<PlayerItem>> items;
  std::weak_ptr<int> observerCapture;  // owned only by the first-frame observer's block
  std::weak_ptr<int> keptCapture;      // owned only by an observer never removed
};

TEST(MpvReloads, every_earlier_queue_is_released_whether_it_ended_or_was_replaced) {
  TempDir media;
  for (int n = 1; n <= 2; ++n) {
    ASSERT_TRUE(makeHlsStream(media.file("stream-" + std::to_string(n)), 1, "160x90", 1, 25));
  }
  auto streamItem = [&](int n) {
    return std::make_shared<PlayerItem>(platform::Asset::assetWithUrl(
        platform::Url::fileUrlWithPath(media.file("stream-" + std::to_string(n) + "/index.m3u8"))));
  };

  PumpedQueue queue;
  platform::NotificationCenter center;
  MpvOptions options;
  options.headless = true;
  auto backend = makeDrainedBackend(queue, center, options);

  // Loads alternate between running to the queue's end (the channel's reload) and being replaced
  // right after the first frame (a reload while the queue still plays).
  constexpr int kLoads = 6;
  std::vector<LoadTrace> traces;
  std::shared_ptr<platform::QueuePlayer> player;
  std::shared_ptr<platform::PlayerLayer> layer;
  std::shared_ptr<platform::TimeObserverToken> token;
  platform::ObserverRegistration ending;
  int firstFrames = 0;
  int queueEnds = 0;
  for (int load = 0; load < kLoads; ++load) {
    if (player) {
      // The channel's teardown before a reload.
      if (token) {
        player->removeTimeObserver(token);
      }
      ending.reset();
      layer->setPlayer(nullptr);
      token.reset();
      layer.reset();
      player.reset();
    }
    std::vector<std::shared_ptr<PlayerItem>> items = {streamItem(1 + load % 2),
                                                      streamItem(2 - load % 2)};
    LoadTrace trace;
    trace.items.assign(items.begin(), items.end());
    const auto lastItem = items.back();
    player = backend->media().makeQueuePlayer(std::move(items));
    layer = backend->media().makePlayerLayer(player);
    trace.player = player;
    trace.layer = layer;
    auto capture = std::make_shared<int>(load);
    trace.observerCapture = capture;
    bool shown = false;
    // As the channel does: the first crossing removes the observer, in a later turn.
    auto self = std::make_shared<std::weak_ptr<platform::TimeObserverToken>>();
    token = player->addBoundaryTimeObserver(
        {MediaTime::make(1, 3)}, [capture, self, &shown, &firstFrames, &queue, &player, &token] {
          shown = true;
          ++firstFrames;
          queue.post([self, &player, &token] {
            if (player && token && token == self->lock()) {
              player->removeTimeObserver(token);
              token.reset();
            }
          });
        });
    *self = token;
    capture.reset();
    // An observer the channel never removes: the player is dropped with it, and the service keeps
    // its block for a few more reloads only.
    auto kept = std::make_shared<int>(load);
    trace.keptCapture = kept;
    player->addBoundaryTimeObserver({MediaTime::makeWithSeconds(100.0, 1)}, [kept] {});
    kept.reset();
    bool ended = false;
    ending = center.addObserver(
        {"lastItemEnded:", [&ended](const platform::Notification&) { ended = true; }},
        platform::kPlayerItemDidPlayToEndTimeNotification, lastItem);
    traces.push_back(std::move(trace));
    player->play();
    ASSERT_TRUE(queue.runUntil([&] { return shown; }, kPatience)) << "load " << load;
    if (load % 2 == 0) {
      ASSERT_TRUE(queue.runUntil([&] { return ended; }, kPatience)) << "load " << load;
      ++queueEnds;
    }
  }

  EXPECT_EQ(firstFrames, kLoads);
  EXPECT_EQ(queueEnds, kLoads / 2);
  // The current queue is alive, through the references held here.
  ASSERT_FALSE(traces.back().player.expired());
  EXPECT_FALSE(traces.back().observerCapture.expired());
  for (size_t load = 0; load + 1 < traces.size(); ++load) {
    const LoadTrace& trace = traces[load];
    EXPECT_TRUE(trace.player.expired()) << "player of load " << load;
    EXPECT_TRUE(trace.layer.expired()) << "layer of load " << load;
    EXPECT_TRUE(trace.observerCapture.expired()) << "observer block of load " << load;
    for (size_t i = 0; i < trace.items.size(); ++i) {
      EXPECT_TRUE(trace.items[i].expired()) << "item " << i << " of load " << load;
    }
  }

  // Five players dropped with an observer each: the oldest one's block goes in a later turn.
  queue.runFor(100ms);
  EXPECT_TRUE(traces.front().keptCapture.expired()) << "kept for good by the service";

  ending.reset();
}

}  // namespace
}  // namespace vorn::linuxtest
