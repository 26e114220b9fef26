// In-process playback figures of the mpv backend, headless, on the demo programme made by ffmpeg:
//  - sync error at the first frame: where the picture is (the start offset, rounded down to whole
//    seconds as a queue load seeks, plus the third of a second the first-frame observer waits)
//    minus where the programme clock stands at that moment;
//  - the gap between consecutive items: from the end of one item to the first frame of the next;
//  - load to first frame inside the process.
// Usage: vorn_bench_playback [ITEMS] (default 8 items of 3 s for the gaps)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "programme/programme_clock.h"

#include "platform/linux/mpv_backend.h"
#include "platform/media.h"
#include "platform/media_time.h"
#include "platform/notification_center.h"
#include "platform/url.h"
#include "tests/linux/mpv_test_support.h"

namespace {

using namespace std::chrono_literals;
using vorn::linuxbackend::MpvBackend;
using vorn::linuxbackend::MpvOptions;
using vorn::linuxtest::PumpedQueue;
using vorn::platform::MediaTime;
using vorn::platform::PlayerItem;

using Clock = std::chrono::steady_clock;

using vorn::bench::median;

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Harness {
  PumpedQueue queue;
  vorn::platform::NotificationCenter center;
  std::atomic<bool> drainPending{false};
  std::unique_ptr<MpvBackend> backend;

  Harness() {
    MpvOptions options;
    options.headless = true;
    backend = std::make_unique<MpvBackend>(queue, queue.context(), center, options, [this] {
      if (!drainPending.exchange(true)) {
        queue.post([this] {
          drainPending = false;
          if (backend) {
            backend->drainEvents();
          }
        });
      }
    });
  }
  ~Harness() { backend.reset(); }
};

std::shared_ptr<PlayerItem> itemFor(const std::string& path) {
  return std::make_shared<PlayerItem>(
      vorn::platform::Asset::assetWithUrl(vorn::platform::Url::fileUrlWithPath(path)));
}

}  // namespace

int main(int argc, char** argv) {
  const int gapItems = argc > 1 ? std::max(2, std::atoi(argv[1])) : 8;
  char folderTemplate[] = "/tmp/vorn-bench-XXXXXX";
  const char* folder = mkdtemp(folderTemplate);
  if (folder == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string dir = folder;
  // Three 20-second streams for the clock, and short ones for the gaps.
  const std::string script = std::string(VORN_SOURCE_DIR) + "/scripts/make-demo-media.sh";
  if (std::system((script + " " + dir + "/cycle 20 20 20 >/dev/null").c_str()) != 0 ||
      std::system((script + " " + dir + "/short 3 3 >/dev/null").c_str()) != 0) {
    std::fprintf(stderr, "could not make the media\n");
    return 1;
  }
  const std::vector<double> durations = {20.0, 20.0, 20.0};
  const double cycle = 60.0;

  Harness h;
  std::vector<double> syncErrors;
  std::vector<double> loadToFrame;
  for (int trial = 0; trial < 7; ++trial) {
    // What a queue load does: the clock's position in the cycle, the item covering it, the
    // whole second sought, an observer a third of a second later, play.
    const double position = std::fmod(vorn::programme::daySeconds(wallSeconds()), cycle);
    const auto [index, offset] = vorn::programme::findStart(durations, position);
    const double itemStart = position - offset;
    const MediaTime seek = MediaTime::makeWithSeconds(vorn::programme::seekSecond(offset), 1);
    std::vector<std::shared_ptr<PlayerItem>> items;
    for (size_t i = 0; i < durations.size(); ++i) {
      items.push_back(
          itemFor(dir + "/cycle/demo-" + std::to_string((index + i) % 3 + 1) + "/index.m3u8"));
    }
    const auto started = Clock::now();
    auto player = h.backend->media().makeQueuePlayer(items);
    auto layer = h.backend->media().makePlayerLayer(player);
    player->seekToTime(seek);
    double crossedWall = 0.0;
    bool crossed = false;
    player->addBoundaryTimeObserver({seek + MediaTime::make(1, 3)}, [&] {
      crossedWall = wallSeconds();
      crossed = true;
    });
    player->play();
    double readyAfter = NAN;
    h.queue.runUntil([&] { return crossed; }, 20s,
                     [&] {
                       if (std::isnan(readyAfter) && layer->isReadyForDisplay()) {
                         readyAfter = std::chrono::duration<double>(Clock::now() - started).count();
                       }
                     });
    if (!crossed) {
      std::fprintf(stderr, "trial %d: no first frame\n", trial);
      continue;
    }
    const double mediaPosition = seek.seconds() + 1.0 / 3.0;
    double clockPosition = std::fmod(std::fmod(crossedWall, 86400.0), cycle) - itemStart;
    if (clockPosition < -cycle / 2) {
      clockPosition += cycle;
    }
    syncErrors.push_back(mediaPosition - clockPosition);
    loadToFrame.push_back(readyAfter);
    player.reset();
    layer.reset();
    h.queue.runFor(300ms);
  }

  // Gaps: one queue of short items; each end is followed by the next item's first frame.
  std::vector<std::shared_ptr<PlayerItem>> items;
  for (int i = 0; i < gapItems; ++i) {
    items.push_back(itemFor(dir + "/short/demo-" + std::to_string(i % 2 + 1) + "/index.m3u8"));
  }
  auto player = h.backend->media().makeQueuePlayer(items);
  auto layer = h.backend->media().makePlayerLayer(player);
  std::vector<double> gaps;
  int ended = 0;
  Clock::time_point endedAt;
  bool waitingForFrame = false;
  auto endings =
      h.center.addObserver({"ended:",
                            [&](const vorn::platform::Notification&) {
                              ++ended;
                              endedAt = Clock::now();
                              waitingForFrame = ended < gapItems;
                            }},
                           vorn::platform::kPlayerItemDidPlayToEndTimeNotification, nullptr);
  player->play();
  h.queue.runUntil(
      [&] { return ended == gapItems; }, std::chrono::seconds(10 * gapItems),
      [&] {
        if (waitingForFrame && layer->isReadyForDisplay()) {
          gaps.push_back(std::chrono::duration<double>(Clock::now() - endedAt).count() * 1000.0);
          waitingForFrame = false;
        }
      });
  endings.reset();
  player.reset();
  layer.reset();
  std::system(("rm -rf " + dir).c_str());

  std::vector<double> absErrors;
  for (const double e : syncErrors) {
    absErrors.push_back(std::fabs(e));
  }
  std::printf(
      "sync error at first frame (media - clock), s: median %+.3f, median |e| %.3f, max |e| %.3f "
      "(%zu loads)\n",
      median(syncErrors), median(absErrors),
      absErrors.empty() ? NAN : *std::max_element(absErrors.begin(), absErrors.end()),
      syncErrors.size());
  std::printf("load to first frame in process, ms: median %.1f\n", median(loadToFrame) * 1000.0);
  std::printf("gap between items, ms: median %.1f, max %.1f (%zu gaps)\n", median(gaps),
              gaps.empty() ? NAN : *std::max_element(gaps.begin(), gaps.end()), gaps.size());
  return 0;
}
