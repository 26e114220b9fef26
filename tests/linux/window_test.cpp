// The real window on a virtual display (run by run-window-test.sh): what the screen shows (the
// black cover before the first frame, the video after it, the paused band with its text at the
// foot) checked on screenshots, and what the window reports (clicks, keys, minimising, resizing,
// closing) driven with xdotool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/mpv_backend.h"
#include "platform/media.h"
#include "platform/media_time.h"
#include "platform/notification_center.h"
#include "platform/url.h"
#include "platform/views.h"
#include "tests/linux/mpv_test_support.h"
#include "tests/linux/test_https_server.h"

// The channel's executable, for the child-process runner.
#define VORN_CHANNEL_BINARY VORN_TOP_BINARY_DIR "/vorn"
#include "tests/linux/channel_process.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
using linuxbackend::MpvBackend;
using linuxbackend::MpvOptions;
using platform::Color;
using platform::MediaTime;

constexpr auto kPatience = 20s;

struct Image {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> rgb;

  struct Pixel {
    int r, g, b;
  };
  Pixel at(int x, int y) const {
    const size_t i = (static_cast<size_t>(y) * width + x) * 3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
  }
  static bool dark(const Pixel& p) { return p.r < 24 && p.g < 24 && p.b < 24; }
  static bool grey(const Pixel& p) {
    return p.r > 80 && p.r < 180 && std::abs(p.r - p.g) < 16 && std::abs(p.g - p.b) < 16;
  }
  // Share of the pixels in a rectangle for which `test` holds.
  template <typename Test>
  double share(int x0, int y0, int x1, int y1, Test test) const {
    size_t hits = 0;
    size_t total = 0;
    for (int y = y0; y < y1; y += 2) {
      for (int x = x0; x < x1; x += 2) {
        hits += test(at(x, y)) ? 1 : 0;
        ++total;
      }
    }
    return total == 0 ? 0.0 : static_cast<double>(hits) / static_cast<double>(total);
  }
};

// A window (the whole virtual screen by default), through ImageMagick, as binary PPM.
Image screenshot(const std::string& path, const std::string& window = "root") {
  Image image;
  if (!runCommand("import -window " + window + " " + path + ".png && convert " + path + ".png " +
                  path + ".ppm")) {
    return image;
  }
  std::ifstream in(path + ".ppm", std::ios::binary);
  std::string magic;
  int maxValue = 0;
  in >> magic >> image.width >> image.height >> maxValue;
  in.get();
  if (magic != "P6" || maxValue != 255) {
    return {};
  }
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  in.read(reinterpret_cast<char*>(image.rgb.data()),
          static_cast<std::streamsize>(image.rgb.size()));
  return image;
}

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::getenv("DISPLAY") == nullptr) {
      return;
    }
    media_ = std::make_unique<TempDir>();
    ASSERT_TRUE(runCommand(std::string(VORN_SOURCE_DIR) + "/scripts/make-demo-media.sh " +
                           media_->path() + " 12 >/dev/null"));
  }

  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) {
      GTEST_SKIP() << "needs a display: run through tests/linux/run-window-test.sh";
    }
    artifacts_ = std::string(VORN_BINARY_DIR) + "/window-test-";
  }

  void start(bool windowed) {
    MpvOptions options;
    options.windowed = windowed;
    backend_ = makeDrainedBackend(queue_, center_, options);
  }

  void TearDown() override { backend_.reset(); }

  bool runUntil(const std::function<bool()>& done) {
    return queue_.runUntil(done, kPatience, [this] { redraw(); });
  }
  void runFor(std::chrono::milliseconds duration) {
    queue_.runFor(duration, [this] { redraw(); });
  }
  void redraw() {
    if (backend_ && root_) {
      backend_->render(*root_);
    }
  }

  static std::string windowId() {
    return commandOutput("xdotool search --name 'Vorn Channel' | head -n 1");
  }

  static inline std::unique_ptr<TempDir> media_;
  std::string artifacts_;
  PumpedQueue queue_;
  platform::NotificationCenter center_;
  std::shared_ptr<MpvBackend> backend_;
  std::shared_ptr<platform::View> root_;
};

TEST_F(WindowTest, shows_the_cover_then_the_video_then_the_paused_band_at_the_foot) {
  start(false);
  const auto size = backend_->screenSize();
  ASSERT_EQ(size, (platform::Size{1280, 720}));
  const int w = static_cast<int>(size.width);
  const int h = static_cast<int>(size.height);

  // The tree a queue load builds: video layer, black cover with its (empty) label, spinner.
  platform::ViewFactory views(backend_->textMetrics());
  root_ = views.makeView({0, 0, size.width, size.height});
  auto player = backend_->media().makeQueuePlayer(
      {std::make_shared<platform::PlayerItem>(platform::Asset::assetWithUrl(
          platform::Url::fileUrlWithPath(media_->path() + "/demo-1/index.m3u8")))});
  auto layer = backend_->media().makePlayerLayer(player);
  layer->setFrame(root_->frame());
  root_->layer()->addSublayer(layer);
  auto band = views.makeView(root_->frame());
  band->setBackgroundColor(Color::black());
  auto label = views.makeLabel(root_->frame());
  label->setTextColor(Color::gray());
  label->setBackgroundColor(Color::black());
  label->setFont(views.preferredFont(platform::FontTextStyle::body));
  label->setNumberOfLines(0);
  band->addSubview(label);
  root_->addSubview(band);
  auto spinner = views.makeActivityIndicator(root_->frame());
  spinner->startAnimating();
  root_->addSubview(spinner);
  bool firstFrame = false;
  player->addBoundaryTimeObserver({MediaTime::make(1, 3)}, [&] { firstFrame = true; });
  player->play();

  ASSERT_TRUE(runUntil([&] { return firstFrame; }));
  runFor(200ms);
  // Until the cover is lifted nothing of the picture shows; only the spinner turns mid-screen.
  const Image cover = screenshot(artifacts_ + "cover");
  ASSERT_EQ(cover.width, w);
  const int cx = w / 2;
  const int cy = h / 2;
  EXPECT_GT(cover.share(0, 0, w, cy - 60, Image::dark), 0.99);
  EXPECT_GT(cover.share(0, cy + 60, w, h, Image::dark), 0.99);
  EXPECT_GT(cover.share(cx - 40, cy - 40, cx + 40, cy + 40, [](auto p) { return p.r > 150; }), 0.02)
      << "the spinner";

  // The first frame is in: cover lifted, spinner stopped (the video shows: the channel's case
  // below). Paused: the band at the foot with the text, laid out as the overlay does it.
  band->setHidden(true);
  spinner->stopAnimating();
  player->pause();
  label->setText("Solvane TV - Paused\nNow playing:\nDemo 1: test card, running clock and tone");
  label->setFrame({0, 0, size.width - 180.0, size.height - 120.0});
  label->sizeToFit();
  const double textHeight = label->frame().height;
  ASSERT_GT(textHeight, 40.0);
  band->setFrame({0, size.height - textHeight - 60.0, size.width, textHeight + 60.0});
  label->setFrame({90.0, 0, size.width - 180.0, textHeight});
  band->setHidden(false);
  runFor(500ms);
  const Image paused = screenshot(artifacts_ + "paused");
  const int bandTop = static_cast<int>(size.height - textHeight - 60.0) + 1;
  const int textBottom = bandTop + static_cast<int>(textHeight);
  EXPECT_GT(paused.share(0, bandTop, w, h, Image::dark), 0.8) << "a black band";
  EXPECT_GT(paused.share(90, bandTop, w - 90, textBottom, Image::grey), 0.02) << "grey text";
  EXPECT_EQ(paused.share(0, textBottom + 4, w, h, Image::grey), 0.0) << "nothing below the text";
  EXPECT_EQ(paused.share(0, bandTop, 80, h, Image::grey), 0.0) << "text inset from the side";
  EXPECT_LT(paused.share(0, 0, w, bandTop - 2, Image::dark), 0.3) << "video above the band";
  runFor(1000ms);
  const Image later = screenshot(artifacts_ + "paused-later");
  EXPECT_EQ(later.rgb, paused.rgb) << "the picture stands still while paused";

  // In the background the layer lets go of the player: no picture; back, it shows again.
  layer->setPlayer(nullptr);
  runFor(600ms);
  EXPECT_FALSE(layer->isReadyForDisplay());
  const Image detached = screenshot(artifacts_ + "detached");
  EXPECT_GT(detached.share(0, 0, w, bandTop - 2, Image::dark), 0.99);
  layer->setPlayer(player);
  runFor(1000ms);
  const Image attached = screenshot(artifacts_ + "attached");
  EXPECT_LT(attached.share(0, 0, w, bandTop - 2, Image::dark), 0.3);
}

// Resizing and minimising are checked on the channel below, by what they lead to there.
TEST_F(WindowTest, reports_clicks_keys_and_closing) {
  start(true);
  int taps = 0;
  int presses = 0;
  int closes = 0;
  std::vector<unsigned> swipes;
  linuxbackend::MpvInputEvents events;
  events.tap = [&] { ++taps; };
  events.swipe = [&](platform::SwipeDirection d) { swipes.push_back(d); };
  events.playPausePress = [&] { ++presses; };
  events.closeRequested = [&] { ++closes; };
  backend_->setInputEvents(events);
  runFor(300ms);
  const std::string id = windowId();
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(
      runCommand("xdotool windowactivate --sync " + id + " mousemove --window " + id + " 100 100"));

  ASSERT_TRUE(runCommand("xdotool click 1"));
  ASSERT_TRUE(runUntil([&] { return taps == 1; }));
  // A double click is two taps, not three.
  ASSERT_TRUE(runCommand("xdotool click --repeat 2 --delay 60 1"));
  ASSERT_TRUE(runUntil([&] { return taps == 3; }));
  ASSERT_TRUE(runCommand("xdotool key space Return KP_Enter"));
  ASSERT_TRUE(runUntil([&] { return taps == 6; }));
  runFor(300ms);
  EXPECT_EQ(taps, 6);

  ASSERT_TRUE(runCommand("xdotool key Left Right Up Down"));
  ASSERT_TRUE(runUntil([&] { return swipes.size() == 4; }));
  EXPECT_EQ(swipes, (std::vector<unsigned>{platform::kSwipeLeft, platform::kSwipeRight,
                                           platform::kSwipeUp, platform::kSwipeDown}));
  ASSERT_TRUE(runCommand("xdotool key XF86AudioPlay XF86AudioPause"));
  ASSERT_TRUE(runUntil([&] { return presses == 2; }));
  EXPECT_EQ(taps, 6) << "media keys are not taps";

  // Closing through the window manager is reported, and mpv stays up for a clean shutdown.
  ASSERT_TRUE(runCommand("xdotool key --window " + id + " alt+F4 || xdotool key alt+F4"));
  ASSERT_TRUE(runUntil([&] { return closes == 1; }));
  EXPECT_FALSE(windowId().empty());
}

// The channel itself: `vorn --windowed` on its packaged demo programme (the remote address is
// unreachable here, so it falls back after its retries), as a viewer sees it and drives it. The
// cover before the first frame is the backend's drawing, checked above.
TEST_F(WindowTest, the_channel_plays_pauses_resizes_minimises_and_closes) {
  const std::string data = std::string(VORN_TOP_BINARY_DIR) + "/share/vorn";
  ASSERT_EQ(access((data + "/vorn-vimeo-playlist.json").c_str(), R_OK), 0)
      << "no demo programme in " << data << " (target vorn_demo_media)";
  ChannelProcess channel(artifacts_ + "vorn.log", {"--windowed"},
                         {{"VORN_DATA_DIR", data}, {"DISPLAY", std::getenv("DISPLAY")}});
  const std::string firstVideo = "boundaryTimeObserver callback for first video";
  const std::string pausing = "handleAllGestureRecognizers: pausing";

  std::string id;
  for (int i = 0; i < 300 && (id = windowId()).empty(); ++i) {
    usleep(100000);
  }
  ASSERT_FALSE(id.empty()) << channel.log();
  ASSERT_TRUE(channel.waitFor(firstVideo, 1, 30s)) << channel.log();
  usleep(1500000);
  const Image video = screenshot(artifacts_ + "vorn-video", id);
  EXPECT_LT(video.share(0, 0, video.width, video.height, Image::dark), 0.3);

  ASSERT_TRUE(runCommand("xdotool windowactivate --sync " + id + " mousemove --window " + id +
                         " 200 150 click 1"));
  ASSERT_TRUE(channel.waitFor(pausing, 1, 30s)) << channel.log();
  // The band shows once the paused picture is redrawn with it: give a busy machine time.
  Image paused;
  auto bandShows = [&] {
    paused = screenshot(artifacts_ + "vorn-paused", id);
    return paused.width > 0 &&
           paused.share(0, paused.height * 3 / 4, paused.width, paused.height, Image::dark) > 0.6 &&
           paused.share(0, paused.height / 2, paused.width, paused.height, Image::grey) > 0.005;
  };
  const auto giveUp = std::chrono::steady_clock::now() + 5s;
  while (!bandShows() && std::chrono::steady_clock::now() < giveUp) {
    usleep(200000);
  }
  EXPECT_TRUE(bandShows()) << "a black band with grey text at the foot";
  EXPECT_LT(paused.share(0, 0, paused.width, paused.height / 3, Image::dark), 0.3);

  // Enter resumes; in a resized window Space pauses, and the band is laid out in the new size.
  ASSERT_TRUE(runCommand("xdotool key Return"));
  ASSERT_TRUE(channel.waitFor("handleAllGestureRecognizers: paused, resuming", 1, 10s))
      << channel.log();
  ASSERT_TRUE(runCommand("xdotool windowsize --sync " + id + " 800 600"));
  usleep(500000);
  const size_t layouts = channel.linesContaining("Frame is ").size();
  ASSERT_TRUE(runCommand("xdotool key space"));
  ASSERT_TRUE(channel.waitFor(pausing, 2, 10s)) << channel.log();
  ASSERT_TRUE(channel.waitFor("Frame is ", layouts + 1, 10s)) << channel.log();
  EXPECT_NE(channel.linesContaining("Frame is ").back().record.find("(0.0, 0.0, 800.0, 600.0)"),
            std::string::npos)
      << channel.log();

  // Minimised is the background, which pauses and lays the band out again; restored comes back
  // through the foreground to active, and fetches the playlist again.
  const size_t pauses = channel.linesContaining("Frame is ").size();
  const size_t activations = channel.linesContaining("applicationDidBecomeActive: ").size();
  const size_t downloads =
      channel.linesContaining("DEBUG: VorniOSViewController: updatePlaylist").size();
  ASSERT_TRUE(runCommand("xdotool windowminimize --sync " + id));
  EXPECT_TRUE(channel.waitFor("Frame is ", pauses + 1, 30s)) << "minimising pauses";
  EXPECT_TRUE(channel.linesContaining("applicationWillEnterForeground:").empty()) << channel.log();
  ASSERT_TRUE(runCommand("xdotool windowactivate --sync " + id));
  ASSERT_TRUE(channel.waitFor("applicationWillEnterForeground:", 1, 10s)) << channel.log();
  ASSERT_TRUE(channel.waitFor("applicationDidBecomeActive: ", activations + 1, 10s))
      << channel.log();
  EXPECT_EQ(channel
                .linesContaining("queuePlayer rate is Optional(0.0), airPlayScreenConnected is "
                                 "false")
                .size(),
            1u)
      << channel.log();
  EXPECT_LE(channel.linesContaining("applicationWillEnterForeground:").front().daySeconds,
            channel.linesContaining("applicationDidBecomeActive: ").back().daySeconds);
  EXPECT_TRUE(channel.waitFor("DEBUG: VorniOSViewController: updatePlaylist", downloads + 1, 10s))
      << channel.log();

  // Closing the window ends the channel cleanly.
  ASSERT_TRUE(runCommand("xdotool windowactivate --sync " + id + " key alt+F4"));
  EXPECT_EQ(channel.stop(0, 20s), 0) << channel.log();
}

}  // namespace
}  // namespace vorn::linuxtest
