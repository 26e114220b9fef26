// The mpv backend's player, headless, on streams made by ffmpeg for this run: queue order, start
// offset, boundary crossings, end-of-item notifications, pause, replacing and dropping players,
// certificate checks on HTTPS streams; and the text measuring and view drawing it does for labels.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/mpv_backend.h"
#include "platform/linux/mpv_media.h"
#include "platform/linux/mpv_views.h"
#include "platform/media.h"
#include "platform/media_time.h"
#include "platform/notification_center.h"
#include "platform/url.h"
#include "tests/linux/mpv_test_support.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
using linuxbackend::MpvBackend;
using linuxbackend::MpvOptions;
using linuxbackend::PlaybackSettings;
using platform::Asset;
using platform::MediaTime;
using platform::PlayerItem;
using platform::QueuePlayer;
using platform::Url;

constexpr auto kPatience = 20s;  // only guards against hangs; nothing here is timed

class MpvPlayerTest : public ::testing::Test {
 protected:
  using Items = std::vector<std::shared_ptr<PlayerItem>>;

  static void SetUpTestSuite() {
    media_ = std::make_unique<TempDir>();
    // Two 4-second streams: demo-1 and demo-2.
    ASSERT_TRUE(runCommand(std::string(VORN_SOURCE_DIR) + "/scripts/make-demo-media.sh " +
                           media_->path() + " 4 4 >/dev/null"));
    // And as live encoders often make them: no B-frames, one keyframe per 2-second segment;
    // 4 s and 10 s long.
    ASSERT_TRUE(makeHlsStream(media_->path() + "/plain", 4, "160x90", 2, 50));
    ASSERT_TRUE(makeHlsStream(media_->path() + "/long", 10, "160x90", 2, 50));
    // And the 10 s one with a 4 s hole: segments 2 and 3 (4 s to 8 s) missing.
    ASSERT_TRUE(runCommand("cp -r " + media_->path() + "/long " + media_->path() + "/holed && rm " +
                           media_->path() + "/holed/segment-002.ts " + media_->path() +
                           "/holed/segment-003.ts"));
    // And one with two variants under a master playlist: 320x180 (about 950 kbit/s listed) and
    // 160x90 (about 180 kbit/s).
    const std::string variants = media_->path() + "/variants";
    ASSERT_TRUE(
        runCommand("mkdir -p " + variants +
                   " && ffmpeg -nostdin -hide_banner -loglevel error -y"
                   " -f lavfi -i testsrc2=size=320x180:rate=25:duration=4"
                   " -f lavfi -i sine=frequency=500:sample_rate=48000:duration=4"
                   " -filter_complex '[0:v]split=2[a][b];[b]scale=160:90[c]'"
                   " -map '[a]' -map '[c]' -map 1:a -map 1:a -c:v libx264 -preset ultrafast -g 50"
                   " -sc_threshold 0 -pix_fmt yuv420p -b:v:0 800k -b:v:1 100k -c:a aac -b:a 64k"
                   " -f hls -hls_time 2 -hls_playlist_type vod -var_stream_map 'v:0,a:0 v:1,a:1'"
                   " -master_pl_name master.m3u8 -hls_segment_filename " +
                   variants + "/v%v/segment-%03d.ts " + variants + "/v%v/index.m3u8"));
  }

  void SetUp() override {
    backend_ = makeBackend({});
    // Each report's item in order, and what the logic does inside the report.
    const auto record = [this](const char* selector, const char* name, Items& into,
                               const std::function<void()>* inside) {
      registrations_.push_back(
          center_.addObserver({selector,
                               [&into, inside](const platform::Notification& n) {
                                 into.push_back(std::dynamic_pointer_cast<PlayerItem>(n.object));
                                 if (inside && *inside) {
                                   (*inside)();
                                 }
                               }},
                              name, nullptr));
    };
    record("itemEnded:", platform::kPlayerItemDidPlayToEndTimeNotification, ended_, nullptr);
    record("itemFailed:", platform::kPlayerItemFailedToPlayToEndTimeNotification, failed_,
           &onFailed_);
    record("itemStalled:", platform::kPlayerItemPlaybackStalledNotification, stalled_, &onStall_);
  }

  void TearDown() override {
    registrations_.clear();
    backend_.reset();
  }

  std::shared_ptr<MpvBackend> makeBackend(std::optional<std::string> caFile,
                                          PlaybackSettings playback = {}) {
    MpvOptions options;
    options.headless = true;
    options.caFile = std::move(caFile);
    options.playback = std::move(playback);
    return makeDrainedBackend(queue_, center_, options);
  }
  // One mpv at a time: the current backend goes before its successor starts.
  void restart(std::optional<std::string> caFile, PlaybackSettings playback = {}) {
    backend_.reset();
    backend_ = makeBackend(std::move(caFile), std::move(playback));
  }

  static std::shared_ptr<PlayerItem> item(const std::string& url) {
    return std::make_shared<PlayerItem>(Asset::assetWithUrl(*Url::parse(url)));
  }
  static std::shared_ptr<PlayerItem> fileItem(const std::string& folder) {
    return item("file://" + media_->path() + "/" + folder + "/index.m3u8");
  }
  static std::shared_ptr<PlayerItem> fileItem(int n) {
    return fileItem("demo-" + std::to_string(n));
  }

  // Counts the calls of one boundary observer.
  struct Crossings {
    std::shared_ptr<int> count = std::make_shared<int>(0);
    std::shared_ptr<platform::TimeObserverToken> token;
    int value() const { return *count; }
  };
  static Crossings cross(QueuePlayer& player, MediaTime time) {
    Crossings crossings;
    crossings.token =
        player.addBoundaryTimeObserver({time}, [count = crossings.count] { ++*count; });
    return crossings;
  }

  bool runUntil(const std::function<bool()>& done) { return queue_.runUntil(done, kPatience); }
  // mpv's values of `names` ("none" for a property it does not have), and its volume.
  std::vector<std::string> properties(const std::vector<std::string>& names) const {
    std::vector<std::string> values;
    for (const auto& name : names) {
      values.push_back(backend_->property(name.c_str()).value_or("none"));
    }
    return values;
  }
  double volume() const { return std::stod(backend_->property("volume").value_or("nan")); }

  static inline std::unique_ptr<TempDir> media_;
  PumpedQueue queue_;
  platform::NotificationCenter center_;
  std::vector<platform::ObserverRegistration> registrations_;
  std::shared_ptr<MpvBackend> backend_;
  Items ended_;
  Items failed_;
  Items stalled_;
  std::function<void()> onStall_;
  std::function<void()> onFailed_;
};

TEST_F(MpvPlayerTest, plays_the_queue_in_order_from_the_start_offset_and_reports_each_end) {
  const auto first = fileItem(1);
  const auto second = fileItem(2);
  auto player = backend_->media().makeQueuePlayer({first, second});
  auto layer = backend_->media().makePlayerLayer(player);
  EXPECT_EQ(player->currentItem(), first);
  EXPECT_EQ(player->rate(), 0.0f);

  // As a queue load does it: seek to whole seconds, watch one third of a second later, play.
  player->seekToTime(MediaTime::makeWithSeconds(2.0, 1));
  const auto boundary = MediaTime::makeWithSeconds(2.0, 1) + MediaTime::make(1, 3);
  const auto atStart = cross(*player, boundary);
  const auto beforeStart = cross(*player, MediaTime::makeWithSeconds(1.0, 1));
  player->play();
  EXPECT_EQ(player->rate(), 1.0f);

  ASSERT_TRUE(runUntil([&] { return atStart.value() > 0; }));
  EXPECT_TRUE(layer->isReadyForDisplay());
  EXPECT_EQ(player->currentItem(), first);
  player->pause();
  EXPECT_EQ(player->rate(), 0.0f);
  // Playing on, the item would end after about 1.7 s.
  queue_.runFor(2500ms);
  EXPECT_TRUE(ended_.empty());
  EXPECT_TRUE(stalled_.empty()) << "a paused item shows no new frame and is not stalled";
  player->play();
  EXPECT_EQ(player->rate(), 1.0f);

  ASSERT_TRUE(runUntil([&] { return ended_.size() == 1; }));
  EXPECT_EQ(ended_[0], first);
  EXPECT_EQ(atStart.value(), 1) << "one crossing, one call";
  // Had the item played from 0 rather than from the seek, 1 s would have been crossed.
  EXPECT_EQ(beforeStart.value(), 0) << "times before the start are never crossed";
  EXPECT_EQ(player->currentItem(), second);
  EXPECT_EQ(player->items(), std::vector<std::shared_ptr<PlayerItem>>{second});

  player->removeTimeObserver(atStart.token);
  ASSERT_TRUE(runUntil([&] { return ended_.size() == 2; }));
  EXPECT_EQ(ended_[1], second);
  EXPECT_EQ(atStart.value(), 1) << "a removed observer is not called again";
  EXPECT_EQ(player->currentItem(), nullptr);
  EXPECT_TRUE(player->items().empty());
}

// mpv skips a hole in a stream and plays on after it. A mark inside the hole, jumped over, still
// counts as crossed once frames flow past it: a start that lands in the hole, or playback that
// runs into it. A watch on one time mark alone would wait for good while the picture plays.
TEST_F(MpvPlayerTest, a_mark_skipped_over_by_a_hole_in_the_stream_counts_once_frames_flow) {
  for (const double start : {5.0, 0.0}) {
    SCOPED_TRACE(start);
    const size_t endedBefore = ended_.size();
    auto player = backend_->media().makeQueuePlayer({fileItem("holed")});
    auto layer = backend_->media().makePlayerLayer(player);
    player->seekToTime(MediaTime::makeWithSeconds(start, 1));
    const auto inHole = cross(*player, MediaTime::makeWithSeconds(5.0, 1) + MediaTime::make(1, 3));
    const auto afterHole = cross(*player, MediaTime::makeWithSeconds(9.0, 1));
    player->play();
    ASSERT_TRUE(runUntil([&] { return ended_.size() > endedBefore; }));
    EXPECT_EQ(inHole.value(), 1);
    EXPECT_EQ(afterHole.value(), 1);
  }
}

// A queue loaded on an item boundary seeks to 0, and its first-frame observer (1/3 s) must be
// crossed on that item, not on the next one: mpv's start offset of 0 on a stream without B-frames
// lands on the second keyframe instead. A new player then takes over from it.
TEST_F(MpvPlayerTest, a_seek_to_zero_plays_from_the_first_frame_and_a_dropped_player_stays_silent) {
  const auto plain = fileItem("plain");
  auto player = backend_->media().makeQueuePlayer({plain, fileItem(1)});
  player->seekToTime(MediaTime::makeWithSeconds(0.0, 1));
  const auto early = cross(*player, MediaTime::makeWithSeconds(0.1, 600));
  const auto later = cross(*player, MediaTime::makeWithSeconds(1.5, 600));
  player->play();
  ASSERT_TRUE(runUntil([&] { return later.value() > 0; }));
  EXPECT_EQ(early.value(), 1) << "0.1 s crossed on the first item";
  EXPECT_TRUE(ended_.empty());

  // Back to the start of the loaded item: 0.1 s is crossed again before the item ends.
  player->seekToTime(MediaTime::makeWithSeconds(0.0, 1));
  ASSERT_TRUE(runUntil([&] { return early.value() > 1 || !ended_.empty(); }));
  EXPECT_EQ(early.value(), 2);
  EXPECT_TRUE(ended_.empty());
  EXPECT_EQ(player->currentItem(), plain);

  // A reload: the old player is dropped in the same turn the new one is made.
  const auto b = fileItem(2);
  const auto c = fileItem(1);
  player.reset();
  player = backend_->media().makeQueuePlayer({b, c});
  const auto first = cross(*player, MediaTime::make(1, 3));
  player->play();
  ASSERT_TRUE(runUntil([&] { return first.value() > 0; }));

  // Skipping: the next item is current at once and the skipped one never ends.
  player->advanceToNextItem();
  EXPECT_EQ(player->currentItem(), c);
  EXPECT_EQ(player->items(), std::vector<std::shared_ptr<PlayerItem>>{c});
  ASSERT_TRUE(runUntil([&] { return !ended_.empty(); }));
  queue_.runFor(300ms);
  ASSERT_EQ(ended_.size(), 1u);
  EXPECT_EQ(ended_[0], c);
  EXPECT_EQ(later.value(), 1) << "the dropped player played on";
  player->advanceToNextItem();  // on an empty queue: nothing
  EXPECT_EQ(player->currentItem(), nullptr);
}

// What the operator chose is what mpv runs with. Hardware decoding is asked for by default (this
// machine may have no GPU at all): every other case here plays with it. The bitrate cap is in
// bits per second and picks the best variant under it; without one, the best.
TEST_F(MpvPlayerTest, playback_settings_reach_mpv_and_values_out_of_range_stop_the_start) {
  const auto widthPlayed = [&] {
    auto player = backend_->media().makeQueuePlayer(
        {item("file://" + media_->path() + "/variants/master.m3u8")});
    const auto playing = cross(*player, MediaTime::makeWithSeconds(1.0, 1));
    player->play();
    EXPECT_TRUE(runUntil([&] { return playing.value() > 0; }));
    return backend_->property("width").value_or("none");
  };
  EXPECT_EQ(properties({"hwdec", "hls-bitrate", "mute"}),
            (std::vector<std::string>{"auto-safe", "max", "no"}))
      << "no bitrate limit unless one is set";
  EXPECT_DOUBLE_EQ(volume(), 100.0);
  EXPECT_EQ(widthPlayed(), "320");

  restart({}, {.maxBitrate = 300000, .volume = 35, .mute = true, .screen = 1, .audioDevice = {}});
  EXPECT_EQ(properties({"hwdec", "hls-bitrate", "mute", "screen", "fs-screen"}),
            (std::vector<std::string>{"auto-safe", "300000", "yes", "1", "1"}));
  EXPECT_DOUBLE_EQ(volume(), 35.0);
  EXPECT_EQ(widthPlayed(), "160");
  EXPECT_EQ(backend_->property("no-such-property"), std::nullopt);

  restart({}, {.hwdec = "no", .maxBitrate = {}, .screen = {}, .audioDevice = {}});
  EXPECT_EQ(backend_->property("hwdec"), "no");

  // A value out of range stops the start rather than playing louder or on another variant.
  backend_.reset();
  const std::vector<PlaybackSettings> refused = {
      {.maxBitrate = {}, .volume = -1, .screen = {}, .audioDevice = {}},
      {.maxBitrate = {}, .volume = 101, .screen = {}, .audioDevice = {}},
      {.maxBitrate = 0, .screen = {}, .audioDevice = {}},
      {.maxBitrate = {}, .screen = -1, .audioDevice = {}}};
  for (const auto& settings : refused) {
    EXPECT_THROW(makeBackend({}, settings), std::invalid_argument) << &settings - refused.data();
  }
  backend_ = makeBackend({}, {.maxBitrate = {}, .volume = 0, .screen = {}, .audioDevice = {}});
  EXPECT_DOUBLE_EQ(volume(), 0.0);
}

// A stream whose server never answers (given up after mpv's network timeout; reported stalled on
// the way) or that is missing is reported failed and skipped.
TEST_F(MpvPlayerTest, a_missing_or_silent_stream_is_skipped_without_an_end_notification) {
  RawTcpServer silent("", true);
  const auto missing = fileItem("nowhere");
  const auto good = fileItem(1);
  for (const auto& bad :
       {item("http://127.0.0.1:" + std::to_string(silent.port()) + "/live/index.m3u8"), missing}) {
    ended_.clear();
    failed_.clear();
    stalled_.clear();
    auto player = backend_->media().makeQueuePlayer({bad, good});
    player->play();
    ASSERT_TRUE(queue_.runUntil([&] { return !ended_.empty(); }, 40s));
    queue_.runFor(300ms);
    EXPECT_EQ(ended_, Items{good});
    EXPECT_EQ(failed_, Items{bad});
    EXPECT_EQ(player->currentItem(), nullptr);
  }
  EXPECT_GE(silent.connections(), 1);

  // Dropped from inside its failure report, the player stops mpv: the next item never plays.
  ended_.clear();
  failed_.clear();
  auto player = backend_->media().makeQueuePlayer({missing, fileItem(2)});
  onFailed_ = [&] { player.reset(); };
  player->play();
  ASSERT_TRUE(runUntil([&] { return !failed_.empty(); }));
  EXPECT_EQ(player, nullptr);
  // Played on, the 4-second stream would keep mpv busy past this.
  EXPECT_TRUE(queue_.runUntil([&] { return backend_->property("idle-active") == "yes"; }, 2s));
  EXPECT_EQ(backend_->property("playlist-count"), "0");
  queue_.runFor(500ms);
  EXPECT_TRUE(ended_.empty());
  EXPECT_TRUE(stalled_.empty());
}

// The logic cuts every item at its listed length: mpv ends the entry there, first or appended, as
// at the media's own end.
TEST_F(MpvPlayerTest, a_forward_end_ends_the_item_there_as_its_media_end_would) {
  const auto first = fileItem(1);
  const auto second = fileItem(2);
  first->setForwardPlaybackEndTime(MediaTime::makeWithSeconds(2.0, 1));
  second->setForwardPlaybackEndTime(MediaTime::makeWithSeconds(1.5, 600));
  auto player = backend_->media().makeQueuePlayer({first, second});
  player->seekToTime(MediaTime::makeWithSeconds(1.0, 1));
  const auto started = cross(*player, MediaTime::makeWithSeconds(1.2, 600));
  const auto pastEnds = cross(*player, MediaTime::makeWithSeconds(2.5, 600));
  player->play();
  ASSERT_TRUE(runUntil([&] { return ended_.size() == 2; }));
  EXPECT_EQ(ended_, (std::vector<std::shared_ptr<PlayerItem>>{first, second}));
  EXPECT_TRUE(failed_.empty());
  EXPECT_EQ(started.value(), 2) << "both items played up to their ends";
  EXPECT_EQ(pastEnds.value(), 0) << "the 4-second streams were cut at 2 s and 1.5 s";
  EXPECT_EQ(player->currentItem(), nullptr);
}

// A stream server that stops answering mid-item: the picture stops, the item is reported stalled
// once and stays current, and picks up when the server does; a later stall is reported again. A
// player dropped from inside its stall report stops mpv and is never heard of again.
TEST_F(MpvPlayerTest, a_stream_that_stops_delivering_is_reported_stalled_once_per_stall) {
  TempDir folder;
  const auto certificates = TestCertificates::generate(folder.path(), "media", {"localhost"});
  TestHttpsServer server(certificates);
  RequestGate gate;
  const std::string root = media_->path();
  server.server().Get(R"(/media/(.+))", [&gate, root](const httplib::Request& request,
                                                      httplib::Response& response) {
    const std::string name = request.matches[1].str();
    // Opening the stream reads its first two segments.
    if (name.find(".ts") != std::string::npos && name.find("segment-000") == std::string::npos &&
        name.find("segment-001") == std::string::npos) {
      gate.pass();
    }
    response.set_content(readFile(root + "/" + name), "application/octet-stream");
  });
  server.start();
  restart(certificates.caFile);

  const auto stream = item(server.url("/media/long/index.m3u8"));
  auto player = backend_->media().makeQueuePlayer({stream});
  // The stream opens and plays into its second second before the held segment (at 4 s) stops it.
  const auto playing = cross(*player, MediaTime::makeWithSeconds(1.0, 1));
  gate.close();
  player->play();
  ASSERT_TRUE(runUntil([&] { return !stalled_.empty(); }));
  EXPECT_EQ(playing.value(), 1) << "the first segments played";
  EXPECT_EQ(stalled_[0], stream);
  EXPECT_EQ(player->currentItem(), stream);
  queue_.runFor(1500ms);
  EXPECT_EQ(stalled_.size(), 1u) << "once per stall";

  // The server answers again: frames flow on, and the next stall is a new one. The logic drops
  // the player inside that report.
  const auto resumed = cross(*player, MediaTime::makeWithSeconds(4.5, 600));
  gate.open();
  ASSERT_TRUE(runUntil([&] { return resumed.value() > 0; }));
  std::weak_ptr<QueuePlayer> weakPlayer = player;
  onStall_ = [&] { player.reset(); };
  gate.close();
  ASSERT_TRUE(runUntil([&] { return stalled_.size() == 2; }));
  EXPECT_EQ(stalled_[1], stream);
  EXPECT_TRUE(weakPlayer.expired());
  // Left alone, mpv would wait for the held segment for its whole network timeout.
  ASSERT_TRUE(queue_.runUntil([&] { return backend_->property("idle-active") == "yes"; }, 3s))
      << "mpv stopped with the dropped player";
  gate.open();
  queue_.runFor(2500ms);
  EXPECT_EQ(stalled_.size(), 2u);
  EXPECT_TRUE(ended_.empty());
  EXPECT_TRUE(failed_.empty());
  EXPECT_EQ(backend_->property("idle-active"), "yes");
}

// An item told when it is due is placed on the clock whatever mpv's start-up takes: a position
// half-way between two seconds, which the whole-second seek alone misses by half a second. The
// next entry is opened while the current one still plays, so an item change waits for no
// download.
TEST_F(MpvPlayerTest, an_item_on_the_clock_starts_on_it_and_the_next_one_opens_before_it_ends) {
  TestHttpsServer server;
  std::mutex mutex;
  std::map<std::string, double> firstRequest;  // by path, wall-clock seconds
  const std::string root = media_->path();
  server.server().Get(R"(/media/(.+))", [&](const httplib::Request& request,
                                            httplib::Response& response) {
    {
      std::lock_guard lock(mutex);
      firstRequest.try_emplace(request.matches[1].str(), linuxbackend::MpvMediaService::clockNow());
    }
    response.set_content(readFile(root + "/" + request.matches[1].str()),
                         "application/octet-stream");
  });
  server.start();
  const auto first = item(server.url("/media/plain/index.m3u8"));
  const auto next = item(server.url("/media/long/index.m3u8"));
  auto player = backend_->media().makeQueuePlayer({first, next});
  auto layer = backend_->media().makePlayerLayer(player);

  // As a load does it: the whole second, its first-frame mark, then the clock's own position.
  const double due = linuxbackend::MpvMediaService::clockNow() - 1.5;
  player->seekToTime(MediaTime::makeWithSeconds(1.0, 1));
  const auto mark = cross(*player, MediaTime::makeWithSeconds(1.0, 1) + MediaTime::make(1, 3));
  player->followClock({{first.get(), due}, {next.get(), due + 4.0}});
  // A fifth of a second before the first item's end.
  auto nearEnd = std::make_shared<double>(0.0);
  const auto nearEndToken = player->addBoundaryTimeObserver(
      {MediaTime::makeWithSeconds(3.8, 600)},
      [nearEnd] { *nearEnd = linuxbackend::MpvMediaService::clockNow(); });
  player->play();
  ASSERT_TRUE(runUntil([&] { return mark.value() > 0; }));
  EXPECT_TRUE(layer->isReadyForDisplay());

  // Picture minus clock, read from mpv between turns for a second; the middle value, so that one
  // late turn on a busy machine does not decide.
  std::vector<double> offsets;
  queue_.runFor(1000ms, [&] {
    if (const auto time = backend_->property("playback-time"); time && ended_.empty()) {
      offsets.push_back(std::stod(*time) - (linuxbackend::MpvMediaService::clockNow() - due));
    }
  });
  ASSERT_GE(offsets.size(), 5u);
  std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
  EXPECT_LT(std::abs(offsets[offsets.size() / 2]), 0.15) << "half a second off: not placed";

  ASSERT_TRUE(runUntil([&] { return !ended_.empty(); }));
  EXPECT_EQ(ended_[0], first);
  ASSERT_GT(*nearEnd, 0.0);
  std::lock_guard lock(mutex);
  ASSERT_TRUE(firstRequest.contains("long/index.m3u8"));
  EXPECT_LT(firstRequest["long/index.m3u8"], *nearEnd)
      << "the next entry was opened only at the end";
  EXPECT_EQ(player->currentItem(), next);
}

// At the end of a queue on the clock the next queue, which starts with the same first item, takes
// over the entry mpv opened while the last item played and plays on into: no stop and no new
// entry, and its first-frame mark is crossed with the next frame. The view tree is drawn after
// every turn as the application does, with a cover over each new player until its mark: the
// cover of the first load is drawn, the one made for the takeover never is, since the frames
// under it go on.
TEST_F(MpvPlayerTest, a_queue_on_the_clock_is_taken_over_at_its_end_without_a_stop_or_a_cover) {
  TestHttpsServer server;
  const std::string root = media_->path();
  server.server().Get(R"(/media/(.+))",
                      [&](const httplib::Request& request, httplib::Response& response) {
                        response.set_content(readFile(root + "/" + request.matches[1].str()),
                                             "application/octet-stream");
                      });
  server.start();
  const std::string url = server.url("/media/plain/index.m3u8");

  platform::ViewFactory views(backend_->textMetrics());
  const platform::Rect frame{0, 0, 1280, 720};
  auto screen = views.makeView(frame);
  screen->setBackgroundColor(platform::Color::black());
  // A black view over the whole picture, as a load puts up until its first frame.
  const auto addCover = [&] {
    auto cover = views.makeView(frame);
    cover->setBackgroundColor(platform::Color::black());
    screen->addSubview(cover);
    return cover;
  };
  const auto coverDrawn = [&] {
    const std::string& drawn = backend_->drawnOverlay();
    return drawn.find("\\pos(0,0)") != std::string::npos &&
           drawn.find("\\1c&H000000&") != std::string::npos;
  };
  bool coverEverDrawn = false;
  const auto draw = [&] {
    backend_->render(*screen);
    coverEverDrawn = coverEverDrawn || coverDrawn();
  };

  // The queue is the rest of a programme from its second slot on (as after a slate), so what
  // follows its end is the programme's first item, not the queue's.
  const double due = linuxbackend::MpvMediaService::clockNow() - 2.5;
  const auto cycleFirst = item(url);
  const auto last = item(url + "?second");
  auto player = backend_->media().makeQueuePlayer({last});
  auto layer = backend_->media().makePlayerLayer(player);
  screen->layer()->addSublayer(layer);
  auto cover = addCover();
  player->seekToTime(MediaTime::makeWithSeconds(2.0, 1));
  const auto shown = cross(*player, MediaTime::makeWithSeconds(2.0, 1) + MediaTime::make(1, 3));
  player->followClock({{cycleFirst.get(), due - 4.0}, {last.get(), due}});
  player->play();
  ASSERT_TRUE(queue_.runUntil([&] { return shown.value() > 0; }, kPatience, draw));
  EXPECT_TRUE(coverEverDrawn) << "a load that starts afresh is covered until its first frame";
  cover->setHidden(true);
  draw();
  EXPECT_EQ(backend_->drawnOverlay(), "");

  // As the logic reloads when the last item ends: the old player, layer and cover go, a new
  // queue on the clock from the cycle's start comes with a cover of its own, lifted a turn after
  // its first-frame mark.
  const auto first = item(url);
  std::shared_ptr<QueuePlayer> next;
  auto nextShown = std::make_shared<int>(0);
  std::shared_ptr<platform::TimeObserverToken> nextMark;
  std::string spareId;
  auto reload =
      center_.addObserver({"reload:",
                           [&](const platform::Notification&) {
                             spareId = backend_->property("playlist/1/id").value_or("none");
                             layer->removeFromSuperlayer();
                             layer->setPlayer(nullptr);
                             cover->removeFromSuperview();
                             player.reset();
                             next = backend_->media().makeQueuePlayer({first});
                             layer = backend_->media().makePlayerLayer(next);
                             screen->layer()->addSublayer(layer);
                             cover = addCover();
                             next->seekToTime(MediaTime::makeWithSeconds(0.0, 1));
                             nextMark = next->addBoundaryTimeObserver(
                                 {MediaTime::makeWithSeconds(0.001, 1000)}, [&, nextShown] {
                                   ++*nextShown;
                                   queue_.post([&] { cover->setHidden(true); });
                                 });
                             next->followClock({{first.get(), due + 4.0}});
                             next->play();
                           }},
                          platform::kPlayerItemDidPlayToEndTimeNotification, nullptr);
  bool idle = false;
  coverEverDrawn = false;
  ASSERT_TRUE(queue_.runUntil([&] { return next && *nextShown > 0 && cover->isHidden(); },
                              kPatience,
                              [&] {
                                draw();
                                idle = idle || (next && backend_->property("idle-active") == "yes");
                              }));
  draw();
  reload.reset();
  EXPECT_EQ(ended_, Items{last});
  EXPECT_FALSE(idle) << "mpv stopped between the queues";
  EXPECT_FALSE(coverEverDrawn) << "the cover flashed over the picture taken over";
  EXPECT_EQ(next->currentItem(), first);
  EXPECT_TRUE(layer->isReadyForDisplay());
  // The entry that follows the last item (opened while it played) is the one the new queue plays:
  // no new entry was loaded for it.
  EXPECT_EQ(backend_->property("playlist/0/id"), spareId);
  EXPECT_EQ(backend_->property("playlist-pos"), "0");

  // Once the tree over the picture is as before, what it draws next shows at once.
  auto band = views.makeView({0, 600, 1280, 120});
  band->setBackgroundColor(platform::Color::gray());
  screen->addSubview(band);
  draw();
  EXPECT_NE(backend_->drawnOverlay().find("\\pos(0,600)"), std::string::npos);

  // The taken-over entry plays on to its own end as the new queue's item.
  ASSERT_TRUE(runUntil([&] { return ended_.size() == 2; }));
  EXPECT_EQ(ended_[1], first);
}

// The entry opened for the next queue may still be opening when the queue ends: its first segment
// is slow to come, so it is on air with no frame and no playback time yet. It starts at its
// beginning, where the clock has it, and is taken over all the same, not opened a second time.
TEST_F(MpvPlayerTest, an_entry_still_opening_at_a_queue_end_is_taken_over_too) {
  TestHttpsServer server;
  const std::string root = media_->path();
  auto slowSegment = std::make_shared<std::atomic<bool>>(true);
  server.server().Get(R"(/(media|slow)/(.+))", [root, slowSegment](const httplib::Request& request,
                                                                   httplib::Response& response) {
    const std::string file = request.matches[2].str();
    // The opened entry's first segment comes long after the queue's end.
    if (request.matches[1] == "slow" && file.ends_with(".ts") && slowSegment->exchange(false)) {
      std::this_thread::sleep_for(4s);
    }
    response.set_content(readFile(root + "/" + file), "application/octet-stream");
  });
  server.start();
  const auto last = item(server.url("/media/plain/index.m3u8"));
  const std::string slowUrl = server.url("/slow/plain/index.m3u8");
  const auto cycleFirst = item(slowUrl);
  const double due = linuxbackend::MpvMediaService::clockNow() - 2.5;
  auto player = backend_->media().makeQueuePlayer({last});
  auto layer = backend_->media().makePlayerLayer(player);
  player->seekToTime(MediaTime::makeWithSeconds(2.0, 1));
  player->followClock({{cycleFirst.get(), due - 4.0}, {last.get(), due}});
  player->play();

  // The reload, once mpv has moved on to the entry opened for it.
  bool ended = false;
  auto end = center_.addObserver({"ended:", [&](const platform::Notification&) { ended = true; }},
                                 platform::kPlayerItemDidPlayToEndTimeNotification, nullptr);
  ASSERT_TRUE(runUntil([&] { return ended && backend_->property("playlist-playing-pos") == "1"; }));
  end.reset();
  // The window this is about: the entry on air, no frame of it yet.
  EXPECT_FALSE(backend_->property("playback-time"));
  const std::string spareId = backend_->property("playlist/1/id").value_or("none");
  const auto first = item(slowUrl);
  layer->setPlayer(nullptr);
  player.reset();
  auto next = backend_->media().makeQueuePlayer({first});
  layer = backend_->media().makePlayerLayer(next);
  next->seekToTime(MediaTime::makeWithSeconds(0.0, 1));
  next->followClock({{first.get(), due + 4.0}});
  next->play();
  const auto shown = cross(*next, MediaTime::makeWithSeconds(0.5, 1));
  ASSERT_TRUE(runUntil([&] { return shown.value() > 0; }));
  EXPECT_EQ(backend_->property("playlist/0/id"), spareId) << "the entry was opened again";
  EXPECT_EQ(next->currentItem(), first);
  EXPECT_TRUE(layer->isReadyForDisplay());
}

TEST_F(MpvPlayerTest, labels_measure_wrapped_text_and_the_overlay_draws_the_tree_above_the_video) {
  auto metrics = std::dynamic_pointer_cast<linuxbackend::MpvTextMetrics>(backend_->textMetrics());
  ASSERT_NE(metrics, nullptr);
  const auto font = metrics->preferredFont(platform::FontTextStyle::body);
  EXPECT_GE(font.pointSize, 12.0);

  const auto low = metrics->fit("aaa", font, 1000, 1000);
  const auto tall = metrics->fit("\xC3\x81gjy", font, 1000, 1000);
  EXPECT_GT(low.height, 0.0);
  EXPECT_EQ(low.height, tall.height) << "struts give every line the same height";

  const std::string text =
      "Solvane TV - Paused\nNow playing:\nA rather long description that has to wrap over "
      "several lines when the label is narrow, as descriptions on a phone do";
  const auto wide = metrics->fit(text, font, 1100, 1000);
  const auto narrow = metrics->fit(text, font, 300, 1000);
  EXPECT_LE(wide.width, 1100);
  EXPECT_LE(narrow.width, 300);
  EXPECT_GE(wide.height, 3 * low.height * 0.9) << "three lines at least";
  EXPECT_GT(narrow.height, wide.height) << "a narrower label takes more lines";
  EXPECT_EQ(metrics->fit(text, font, 300, 50).height, 50) << "bounded by the maximum height";
  EXPECT_EQ(metrics->fit("", font, 300, 50).height, 0);

  platform::ViewFactory views(metrics);
  auto root = views.makeView({0, 0, 1280, 720});
  root->setBackgroundColor(platform::Color::black());
  auto player = backend_->media().makeQueuePlayer({fileItem(1)});
  root->layer()->addSublayer(backend_->media().makePlayerLayer(player));
  auto band = views.makeView({0, 600, 1280, 120});
  band->setBackgroundColor(platform::Color::black());
  auto label = views.makeLabel({90, 0, 1100, 60});
  label->setTextColor(platform::Color::gray());
  label->setText("Now playing:\nDemo {1} \\N");
  band->addSubview(label);
  root->addSubview(band);
  auto hidden = views.makeView({0, 0, 100, 100});
  hidden->setBackgroundColor(platform::Color::gray());
  hidden->setHidden(true);
  root->addSubview(hidden);
  auto spinner = views.makeActivityIndicator({0, 0, 1280, 720});
  spinner->startAnimating();
  root->addSubview(spinner);

  bool animating = false;
  auto events = linuxbackend::composeOverlay(*root, *metrics, 0.0, animating);
  EXPECT_TRUE(animating);
  // The root's black lies under the video; the hidden view is not drawn.
  ASSERT_EQ(events.size(), 2u + 12u);
  EXPECT_NE(events[0].find("\\pos(0,600)"), std::string::npos) << events[0];
  EXPECT_NE(events[0].find("\\1c&H000000&"), std::string::npos) << events[0];
  EXPECT_NE(events[1].find("\\pos(90,"), std::string::npos) << events[1];
  EXPECT_NE(events[1].find("\\1c&H808080&"), std::string::npos) << events[1];
  // Braces and backslashes of the text show literally; the line feed breaks the line.
  EXPECT_NE(events[1].find("Now playing:"), std::string::npos);
  EXPECT_NE(events[1].find("Demo \\{1} \\\xE2\x81\xA0N"), std::string::npos) << events[1];
  for (size_t i = 2; i < events.size(); ++i) {
    EXPECT_NE(events[i].find("\\frz"), std::string::npos) << events[i];
  }
  backend_->render(*root);

  band->setHidden(true);
  EXPECT_EQ(linuxbackend::composeOverlay(*root, *metrics, 0.0, animating).size(), 12u);
  spinner->stopAnimating();
  EXPECT_TRUE(linuxbackend::composeOverlay(*root, *metrics, 0.0, animating).empty());
  EXPECT_FALSE(animating);
  backend_->render(*root);
}

}  // namespace
}  // namespace vorn::linuxtest
