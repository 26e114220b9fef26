// The channel as a process, headless, against loopback servers: a playlist over HTTPS at the
// compiled-in remote address (connected to 127.0.0.1), HLS streams made by ffmpeg, the packaged
// copy in a data folder, and media control through playerctl on a private session bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "tests/linux/channel_process.h"
#include "tests/linux/test_https_server.h"
#include "vorn/build_config.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kStreams = 3;
constexpr int kStreamSeconds = 4;  // listed and real length of each stream

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = std::make_unique<TempDir>();
    remote = std::make_unique<RemoteAddress>(linuxtest::remotePlaylistAddress());
    trusted = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder->path(), "trusted", {"localhost", remote->host}));
    stranger = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder->path(), "stranger", {"localhost", remote->host}));
    fs::create_directories(folder->file("data"));
    for (int n = 1; n <= kStreams; ++n) {
      ASSERT_TRUE(makeHlsStream(folder->file("media/stream-" + std::to_string(n)), kStreamSeconds));
    }
    // The packaged copy plays the same streams from the file system.
    writeFile(folder->file("data/vorn-vimeo-playlist.json"), playlist([](int n) {
                return "file://" + folder->file("media/stream-" + std::to_string(n)) +
                       "/index.m3u8";
              }));
  }

  static std::string playlist(const std::function<std::string(int)>& urlOf) {
    std::string json = "[";
    for (int n = 1; n <= kStreams; ++n) {
      json += std::string(n > 1 ? "," : "") + "{\"hls_url\": \"" + urlOf(n) +
              "\", \"duration\": " + std::to_string(kStreamSeconds) +
              ", \"play_count\": 1, \"description_attribution\": \"Stream " + std::to_string(n) +
              " of the test programme\"}";
    }
    return json + "]";
  }

  // A server for the remote address and the streams, counting the requests for media.
  std::unique_ptr<TestHttpsServer> makeServer(
      const TestCertificates& certificates, std::function<void(httplib::Response&)> playlistAnswer,
      std::atomic<int>* mediaRequests) {
    auto server = std::make_unique<TestHttpsServer>(certificates);
    server->server().Get(remote->path,
                         [playlistAnswer](const httplib::Request&, httplib::Response& response) {
                           playlistAnswer(response);
                         });
    EXPECT_TRUE(server->server().set_mount_point("/media", folder->file("media")));
    server->server().set_logger(
        [mediaRequests](const httplib::Request& request, const httplib::Response&) {
          if (mediaRequests && request.path.rfind("/media/", 0) == 0) {
            ++*mediaRequests;
          }
        });
    server->start();
    return server;
  }

  // The test programme with its streams on the same trusted server (whose port is only known
  // once it listens, so the playlist names it when served).
  std::unique_ptr<TestHttpsServer> makeProgrammeServer(std::atomic<int>& mediaRequests) {
    auto port = std::make_shared<int>(0);
    const std::string text = playlist([](int n) {
      return "https://127.0.0.1:PORT/media/stream-" + std::to_string(n) + "/index.m3u8";
    });
    auto server = makeServer(
        *trusted,
        [text, port](httplib::Response& response) {
          response.set_content(std::regex_replace(text, std::regex("PORT"), std::to_string(*port)),
                               "application/json");
        },
        &mediaRequests);
    *port = server->port();
    return server;
  }

  std::vector<std::pair<std::string, std::string>> environment(int remotePort,
                                                               bool sessionBus) const {
    return {{"VORN_CA_FILE", trusted->caFile},
            {"VORN_CONNECT_TO", remote->host + ":" + std::to_string(remote->port) +
                                    ":127.0.0.1:" + std::to_string(remotePort)},
            {"VORN_DATA_DIR", folder->file("data")},
            {"DBUS_SESSION_BUS_ADDRESS", sessionBus && std::getenv("DBUS_SESSION_BUS_ADDRESS")
                                             ? std::getenv("DBUS_SESSION_BUS_ADDRESS")
                                             : "unix:path=/nonexistent/vorn-test-bus"}};
  }

  // Where the clock puts the programme at `daySeconds`: the stream (1-based) and the seek into
  // it, the nearest whole second, even when that is the stream's end (a second early would make
  // every later stream start late).
  static std::pair<int, int> clockPosition(double daySeconds) {
    double position = std::fmod(daySeconds, kStreams * kStreamSeconds);
    int index = static_cast<int>(position / kStreamSeconds);
    return {index + 1, static_cast<int>(std::round(position - index * kStreamSeconds))};
  }

  static inline std::unique_ptr<TempDir> folder;
  static inline std::unique_ptr<RemoteAddress> remote;
  static inline std::unique_ptr<TestCertificates> trusted;
  static inline std::unique_ptr<TestCertificates> stranger;
};

// The stream a queue starts with, from the end-of-queue registration for the queue's last item.
int firstStreamOfQueue(const std::string& notifierRecord) {
  static const std::regex lastItem(R"(stream-(\d+)/index\.m3u8)");
  std::smatch match;
  if (!std::regex_search(notifierRecord, match, lastItem)) {
    return 0;
  }
  return std::stoi(match[1]) % kStreams + 1;
}

TEST_F(EndToEndTest, fetches_plays_the_clocks_item_loops_and_obeys_playerctl) {
  std::atomic<int> mediaRequests{0};
  auto server = makeProgrammeServer(mediaRequests);
  const int port = server->port();
  bool bus = std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr;
  ChannelProcess channel(folder->file("main.log"), {"--headless"}, environment(port, bus));

  ASSERT_TRUE(channel.waitFor("Loaded playlist from Optional(" +
                              std::string(build::kRemotePlaylistAddress) + ")"))
      << channel.log();
  ASSERT_TRUE(channel.waitFor("loadVideos: Seeking to ")) << channel.log();
  // The first queue starts with the stream the clock names, at the whole second it names.
  auto seek = channel.linesContaining("loadVideos: Seeking to ").front();
  auto notifier =
      channel.linesContaining("AVPlayerItemDidPlayToEndTimeNotification notifier").front();
  static const std::regex seekValue(R"(value: (\d+), timescale: 1)");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(seek.record, match, seekValue)) << seek.record;
  std::pair<int, int> logged{firstStreamOfQueue(notifier.record), std::stoi(match[1])};
  // The line is written within milliseconds of the clock reading; allow for a second boundary.
  EXPECT_TRUE(logged == clockPosition(seek.daySeconds) ||
              logged == clockPosition(seek.daySeconds - 0.2))
      << seek.record << " at " << seek.daySeconds << "; " << notifier.record;

  // The first frame lifts the cover. How soon is the launch benchmark's business: a cold or busy
  // machine may take seconds to open the first stream.
  ASSERT_TRUE(channel.waitFor("boundaryTimeObserver callback for first video")) << channel.log();
  EXPECT_GT(mediaRequests.load(), 0);

  if (bus) {
    // The desktop hears of the first frame once the main loop has turned after it.
    for (int i = 0; i < 500 && commandOutput("playerctl -p vorn status") != "Playing"; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(commandOutput("playerctl -p vorn status"), "Playing");
    EXPECT_EQ(commandOutput("playerctl -p vorn metadata xesam:title").rfind("Stream ", 0), 0u);
    // Each command reaches the gesture handling, and the status follows.
    for (const auto& [verb, line, status] :
         {std::tuple{"play-pause", "handleAllGestureRecognizers: pausing", "Paused"},
          std::tuple{"play", "handleAllGestureRecognizers: paused, resuming", "Playing"}}) {
      ASSERT_EQ(std::system((std::string("playerctl -p vorn ") + verb).c_str()), 0);
      ASSERT_TRUE(channel.waitFor(line)) << channel.log();
      for (int i = 0; i < 500 && commandOutput("playerctl -p vorn status") != status; ++i) {
        std::this_thread::sleep_for(20ms);
      }
      EXPECT_EQ(commandOutput("playerctl -p vorn status"), status);
    }
    // The item as it plays: its address and listed length, and the picture's real position.
    EXPECT_EQ(commandOutput("playerctl -p vorn metadata mpris:length"),
              std::to_string(kStreamSeconds * 1000000));
    EXPECT_EQ(commandOutput("playerctl -p vorn metadata xesam:url")
                  .rfind("https://127.0.0.1:" + std::to_string(port) + "/media/stream-", 0),
              0u);
    auto track = commandOutput("playerctl -p vorn metadata mpris:trackid");
    double position = std::stod(commandOutput("playerctl -p vorn position"));
    EXPECT_GE(position, 0.0);
    EXPECT_LE(position, kStreamSeconds + 0.5);
    // It moves on while the item plays. Until an item's first frame the desktop reads the clock's
    // position in its slot, and a picture that starts a little behind the clock steps back to
    // its own once: so it is watched for a while, from each item's first reading.
    bool movedOn = false;
    for (auto until = std::chrono::steady_clock::now() + 2s;
         !movedOn && std::chrono::steady_clock::now() < until;) {
      std::this_thread::sleep_for(30ms);
      const double later = std::stod(commandOutput("playerctl -p vorn position"));
      if (const auto now = commandOutput("playerctl -p vorn metadata mpris:trackid");
          now != track) {
        track = now;
        position = std::stod(commandOutput("playerctl -p vorn position"));
        until = std::chrono::steady_clock::now() + 2s;
        continue;
      }
      movedOn = later > position + 0.2;
    }
    EXPECT_TRUE(movedOn) << "the position stood still from " << position;
    // The desktop's volume is the player's.
    ASSERT_EQ(std::system("playerctl -p vorn volume 0.5"), 0);
    for (int i = 0; i < 500 && commandOutput("playerctl -p vorn volume") != "0.500000"; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(commandOutput("playerctl -p vorn volume"), "0.500000");
  }

  // The end of the queue loads the next one from the clock.
  ASSERT_TRUE(channel.waitFor("lastVideoPlayedToEnd: object: ", 1,
                              std::chrono::seconds(kStreams * kStreamSeconds + 30)))
      << channel.log();
  ASSERT_TRUE(channel.waitFor("loadVideos: hasLoopedFromLastVideo: true")) << channel.log();
  ASSERT_TRUE(channel.waitFor("loadVideos: Seeking to ", 2)) << channel.log();
  EXPECT_TRUE(channel.linesContaining("ERROR:").empty()) << channel.log();
  EXPECT_EQ(channel.stop(SIGTERM), 0) << channel.log();
}

TEST_F(EndToEndTest, streams_behind_an_untrusted_certificate_are_not_played) {
  std::atomic<int> strangerMedia{0};
  auto streams = makeServer(
      *stranger, [](httplib::Response& response) { response.status = 404; }, &strangerMedia);
  std::string playlistText = playlist(
      [&](int n) { return streams->url("/media/stream-" + std::to_string(n) + "/index.m3u8"); });
  auto server = makeServer(
      *trusted,
      [&](httplib::Response& response) { response.set_content(playlistText, "application/json"); },
      nullptr);
  ChannelProcess channel(folder->file("untrusted-streams.log"), {"--headless"},
                         environment(server->port(), false));
  ASSERT_TRUE(channel.waitFor("loadVideos: Seeking to ")) << channel.log();
  // Long enough for every stream of the queue to be tried.
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(channel.linesContaining("boundaryTimeObserver callback for first video").empty())
      << channel.log();
  EXPECT_EQ(strangerMedia.load(), 0) << "a stream was read through an untrusted connection";
  EXPECT_FALSE(channel.hasExited()) << channel.log();
  EXPECT_EQ(channel.stop(SIGTERM), 0) << channel.log();
}

// With the remote unreachable, developer mode plays the packaged copy from the start of the day.
TEST_F(EndToEndTest, developer_mode_plays_the_packaged_copy_from_the_start) {
  ChannelProcess developer(folder->file("developer.log"), {"--headless", "--developer-mode"},
                           environment(closedPort(), false));
  ASSERT_TRUE(developer.waitFor("Loaded playlist from Optional(file://")) << developer.log();
  ASSERT_TRUE(developer.waitFor("loadVideos: Seeking to ")) << developer.log();
  EXPECT_NE(developer.linesContaining("loadVideos: Seeking to ")
                .front()
                .record.find("value: 0, timescale: 1"),
            std::string::npos);
  auto notifier = developer.linesContaining("AVPlayerItemDidPlayToEndTimeNotification notifier");
  ASSERT_FALSE(notifier.empty());
  EXPECT_EQ(firstStreamOfQueue(notifier.front().record), 1);
  EXPECT_EQ(developer.stop(SIGTERM), 0) << developer.log();
}

}  // namespace
}  // namespace vorn::linuxtest
