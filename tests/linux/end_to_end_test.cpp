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
#include <future>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/linux/channel_process.h"
#include "tests/linux/test_https_server.h"
#include "vorn/build_config.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kStreams = 3;
constexpr int kStreamSeconds = 4;  // listed and real length of each stream

std::string output(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe)) {
      text += buffer;
    }
    pclose(pipe);
  }
  while (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

class EndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = new TempDir();
    remote = new RemoteAddress(linuxtest::remotePlaylistAddress());
    trusted = new TestCertificates(
        TestCertificates::generate(folder->path(), "trusted", {"localhost", remote->host}));
    stranger = new TestCertificates(
        TestCertificates::generate(folder->path(), "stranger", {"localhost", remote->host}));
    fs::create_directories(folder->file("media"));
    fs::create_directories(folder->file("data"));
    for (int n = 1; n <= kStreams; ++n) {
      std::string dir = folder->file("media/stream-" + std::to_string(n));
      fs::create_directories(dir);
      std::string command =
          "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=160x90:rate=25"
          ":duration=" +
          std::to_string(kStreamSeconds) +
          " -f lavfi -i sine=frequency=" + std::to_string(300 + 100 * n) +
          ":sample_rate=48000:duration=" + std::to_string(kStreamSeconds) +
          " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -sc_threshold 0 -c:a aac"
          " -shortest -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename " +
          dir + "/segment-%03d.ts " + dir + "/index.m3u8";
      ASSERT_TRUE(runCommand(command)) << command;
    }
    // The packaged copy plays the same streams from the file system.
    writeFile(folder->file("data/vorn-vimeo-playlist.json"), playlist([](int n) {
                return "file://" + folder->file("media/stream-" + std::to_string(n)) +
                       "/index.m3u8";
              }));
  }
  static void TearDownTestSuite() {
    delete trusted;
    delete stranger;
    delete remote;
    delete folder;
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
    server->server().Get(R"(/media/(.+))", [mediaRequests](const httplib::Request& request,
                                                           httplib::Response& response) {
      if (mediaRequests) {
        ++*mediaRequests;
      }
      std::string path = folder->file("media/" + request.matches[1].str());
      if (path.find("..") != std::string::npos || !fs::is_regular_file(path)) {
        response.status = 404;
        return;
      }
      bool isPlaylist = path.size() > 5 && path.substr(path.size() - 5) == ".m3u8";
      response.set_content(readFile(path),
                           isPlaylist ? "application/vnd.apple.mpegurl" : "video/mp2t");
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
  // it.
  static std::pair<int, int> clockPosition(double daySeconds) {
    double position = std::fmod(daySeconds, kStreams * kStreamSeconds);
    int index = static_cast<int>(position / kStreamSeconds);
    // The nearest whole second, but the last one of a stream is kept for its first frame.
    const double second = std::round(position - index * kStreamSeconds);
    return {index + 1, static_cast<int>(std::min(second, kStreamSeconds - 1.0))};
  }

  static TempDir* folder;
  static RemoteAddress* remote;
  static TestCertificates* trusted;
  static TestCertificates* stranger;
};

TempDir* EndToEndTest::folder = nullptr;
RemoteAddress* EndToEndTest::remote = nullptr;
TestCertificates* EndToEndTest::trusted = nullptr;
TestCertificates* EndToEndTest::stranger = nullptr;

// The stream a queue starts with, from the end-of-queue registration for the queue's last item.
int firstStreamOfQueue(const std::string& notifierRecord) {
  static const std::regex lastItem(R"(stream-(\d+)/index\.m3u8)");
  std::smatch match;
  if (!std::regex_search(notifierRecord, match, lastItem)) {
    return 0;
  }
  return std::stoi(match[1]) % kStreams + 1;
}

TEST_F(EndToEndTest, fetches_plays_the_clocks_item_loops_obeys_playerctl_and_exits_cleanly) {
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
    ASSERT_EQ(output("playerctl -p vorn status"), "Playing");
    EXPECT_EQ(output("playerctl -p vorn metadata xesam:title").rfind("Stream ", 0), 0u);
    ASSERT_EQ(std::system("playerctl -p vorn play-pause"), 0);
    ASSERT_TRUE(channel.waitFor("handleAllGestureRecognizers: pausing")) << channel.log();
    for (int i = 0; i < 500 && output("playerctl -p vorn status") != "Paused"; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(output("playerctl -p vorn status"), "Paused");
    ASSERT_EQ(std::system("playerctl -p vorn play"), 0);
    ASSERT_TRUE(channel.waitFor("handleAllGestureRecognizers: paused, resuming")) << channel.log();
    for (int i = 0; i < 500 && output("playerctl -p vorn status") != "Playing"; ++i) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(output("playerctl -p vorn status"), "Playing");
  }

  // The end of the queue loads the next one from the clock.
  ASSERT_TRUE(channel.waitFor("lastVideoPlayedToEnd: object: ", 1,
                              std::chrono::seconds(kStreams * kStreamSeconds + 30)))
      << channel.log();
  ASSERT_TRUE(channel.waitFor("loadVideos: hasLoopedFromLastVideo: true")) << channel.log();
  ASSERT_TRUE(channel.waitFor("loadVideos: Seeking to ", 2)) << channel.log();

  auto status = channel.stop(SIGTERM);
  ASSERT_TRUE(status) << "no exit after SIGTERM";
  EXPECT_EQ(*status, 0);
  EXPECT_TRUE(channel.linesContaining("ERROR:").empty()) << channel.log();
}

TEST_F(EndToEndTest, a_broken_remote_is_retried_twice_then_the_packaged_copy_plays) {
  struct Case {
    std::string name;
    std::string expectedError;
  };
  // Each broken remote runs as its own channel process, side by side.
  auto runCase = [&](const std::string& name, int port, const std::string& expectedError) {
    ChannelProcess channel(folder->file(name + ".log"), {"--headless"}, environment(port, false));
    std::string failure;
    if (!channel.waitFor("Using local playlist file Optional(file://", 1, 90s)) {
      return name + ": no fall-back\n" + channel.log();
    }
    if (!channel.waitFor("boundaryTimeObserver callback for first video", 1, 30s)) {
      return name + ": the packaged copy did not play\n" + channel.log();
    }
    auto downloads = channel.linesContaining("DEBUG: VorniOSViewController: updatePlaylist");
    std::vector<LogLine> starts;
    for (auto& line : downloads) {
      if (line.record == "DEBUG: VorniOSViewController: updatePlaylist") {
        starts.push_back(line);
      }
    }
    auto errors = channel.linesContaining(expectedError);
    if (starts.size() < 4 || errors.size() != 3) {
      return name + ": expected 3 failed downloads with '" + expectedError + "'\n" + channel.log();
    }
    for (size_t i = 1; i < 3; ++i) {
      // The retry waits 2.0 s after the failure, which itself came after the start.
      if (starts[i].daySeconds - starts[i - 1].daySeconds < 1.95) {
        return name + ": retry too early\n" + channel.log();
      }
    }
    if (!channel.waitFor("Loaded playlist from Optional(file://")) {
      return name + ": packaged copy not loaded\n" + channel.log();
    }
    auto status = channel.stop(SIGINT);
    if (!status || *status != 0) {
      return name + ": no clean exit after SIGINT\n" + channel.log();
    }
    return std::string();
  };

  auto notFound = makeServer(
      *trusted,
      [](httplib::Response& response) {
        response.status = 404;
        response.set_content("<html><body>Not Found</body></html>", "text/html");
      },
      nullptr);
  auto html = makeServer(
      *trusted,
      [](httplib::Response& response) {
        response.set_content("<!doctype html><p>maintenance</p>", "text/html");
      },
      nullptr);
  auto untrusted = makeServer(
      *stranger,
      [&](httplib::Response& response) {
        response.set_content(readFile(folder->file("data/vorn-vimeo-playlist.json")),
                             "application/json");
      },
      nullptr);
  RawTcpServer garbage("HTTP/1.1 200 OK\r\n\r\n\x16\x03\x01 garbage", false);
  RawTcpServer silent("", true);

  std::vector<std::future<std::string>> runs;
  runs.push_back(std::async(std::launch::async, runCase, "not-found", notFound->port(),
                            "ERROR: VorniOSViewController: Alert: Error parsing JSON: "));
  runs.push_back(std::async(std::launch::async, runCase, "html", html->port(),
                            "ERROR: VorniOSViewController: Alert: Error parsing JSON: "));
  runs.push_back(std::async(
      std::launch::async, runCase, "garbage", garbage.port(),
      "Alert: Error fetching playlist: Optional(Error Domain=VornURLErrorDomain Code=35"));
  runs.push_back(std::async(
      std::launch::async, runCase, "untrusted", untrusted->port(),
      "Alert: Error fetching playlist: Optional(Error Domain=VornURLErrorDomain Code=60"));
  runs.push_back(std::async(
      std::launch::async, runCase, "silent", silent.port(),
      "Alert: Error fetching playlist: Optional(Error Domain=VornURLErrorDomain Code=28"));
  for (auto& run : runs) {
    std::string problem = run.get();
    EXPECT_TRUE(problem.empty()) << problem;
  }
}

TEST_F(EndToEndTest, streams_behind_an_untrusted_certificate_are_not_played) {
  std::atomic<int> trustedMedia{0};
  std::atomic<int> strangerMedia{0};
  auto streams = makeServer(
      *stranger, [](httplib::Response& response) { response.status = 404; }, &strangerMedia);
  std::string playlistText = playlist(
      [&](int n) { return streams->url("/media/stream-" + std::to_string(n) + "/index.m3u8"); });
  auto server = makeServer(
      *trusted,
      [&](httplib::Response& response) { response.set_content(playlistText, "application/json"); },
      &trustedMedia);
  ChannelProcess channel(folder->file("untrusted-streams.log"), {"--headless"},
                         environment(server->port(), false));
  ASSERT_TRUE(channel.waitFor("loadVideos: Seeking to ")) << channel.log();
  // Long enough for every stream of the queue to be tried.
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(channel.linesContaining("boundaryTimeObserver callback for first video").empty())
      << channel.log();
  EXPECT_EQ(strangerMedia.load(), 0) << "a stream was read through an untrusted connection";
  EXPECT_FALSE(channel.hasExited()) << channel.log();
  auto status = channel.stop(SIGTERM);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

TEST_F(EndToEndTest, a_stream_server_that_vanishes_mid_play_is_survived) {
  std::atomic<int> mediaRequests{0};
  auto server = makeProgrammeServer(mediaRequests);
  const int port = server->port();
  ChannelProcess channel(folder->file("vanishing.log"), {"--headless"}, environment(port, false));
  ASSERT_TRUE(channel.waitFor("boundaryTimeObserver callback for first video")) << channel.log();
  server->stop();
  // Past the end of what was buffered, while the player finds its server gone.
  std::this_thread::sleep_for(std::chrono::seconds(kStreamSeconds + 2));
  EXPECT_FALSE(channel.hasExited()) << channel.log();
  auto status = channel.stop(SIGTERM);
  ASSERT_TRUE(status) << "no exit after SIGTERM with the server gone\n" << channel.log();
  EXPECT_EQ(*status, 0);
}

TEST_F(EndToEndTest, developer_mode_plays_the_packaged_copy_from_the_start_of_the_day) {
  ChannelProcess channel(folder->file("developer.log"), {"--headless", "--developer-mode"},
                         environment(closedPort(), false));
  ASSERT_TRUE(channel.waitFor("Loaded playlist from Optional(file://")) << channel.log();
  ASSERT_TRUE(channel.waitFor("loadVideos: Seeking to ")) << channel.log();
  EXPECT_NE(channel.linesContaining("loadVideos: Seeking to ")
                .front()
                .record.find("value: 0, timescale: 1"),
            std::string::npos);
  auto notifier = channel.linesContaining("AVPlayerItemDidPlayToEndTimeNotification notifier");
  ASSERT_FALSE(notifier.empty());
  EXPECT_EQ(firstStreamOfQueue(notifier.front().record), 1);
  auto status = channel.stop(SIGTERM);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

TEST_F(EndToEndTest, a_missing_packaged_copy_is_survived) {
  TempDir empty;
  auto environmentWithoutData = environment(closedPort(), false);
  for (auto& [name, value] : environmentWithoutData) {
    if (name == "VORN_DATA_DIR") {
      value = empty.path();
    }
  }
  ChannelProcess channel(folder->file("no-data.log"), {"--headless"}, environmentWithoutData);
  ASSERT_TRUE(channel.waitFor("Using local playlist file nil", 1, 30s)) << channel.log();
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(channel.hasExited()) << channel.log();
  auto status = channel.stop(SIGTERM);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

// Under a virtual display with a window manager (run-window-test.sh): the window's input and
// state reach the application as taps, life-cycle changes and a clean exit on close.
TEST_F(EndToEndTest, window_input_minimise_restore_and_close) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) {
    GTEST_SKIP() << "needs a display: run under run-window-test.sh";
  }
  auto environmentWithDisplay = environment(closedPort(), false);
  environmentWithDisplay.emplace_back("DISPLAY", display);
  ChannelProcess channel(folder->file("window.log"), {"--windowed", "--developer-mode"},
                         environmentWithDisplay);
  ASSERT_TRUE(channel.waitFor("boundaryTimeObserver callback for first video")) << channel.log();
  std::string window = output("xdotool search --sync --onlyvisible --pid " +
                              std::to_string(channel.pid()) + " 2>/dev/null | head -n 1");
  ASSERT_FALSE(window.empty()) << "no window of the channel";
  ASSERT_EQ(std::system(("xdotool windowactivate --sync " + window).c_str()), 0);

  // The view follows the window's size: the paused band is laid out in the resized view.
  ASSERT_EQ(std::system(("xdotool windowsize --sync " + window + " 800 600").c_str()), 0);
  std::this_thread::sleep_for(500ms);

  // Space pauses, Enter resumes, a left click pauses again.
  ASSERT_EQ(std::system("xdotool key space"), 0);
  ASSERT_TRUE(channel.waitFor("handleAllGestureRecognizers: pausing", 1, 10s)) << channel.log();
  ASSERT_TRUE(channel.waitFor("Frame is ", 1, 10s)) << channel.log();
  EXPECT_NE(channel.linesContaining("Frame is ").front().record.find("(0.0, 0.0, 800.0, 600.0)"),
            std::string::npos)
      << channel.log();
  ASSERT_EQ(std::system("xdotool key Return"), 0);
  ASSERT_TRUE(channel.waitFor("handleAllGestureRecognizers: paused, resuming", 1, 10s))
      << channel.log();
  ASSERT_EQ(std::system(("xdotool mousemove --window " + window + " 100 100 click 1").c_str()), 0);
  ASSERT_TRUE(channel.waitFor("handleAllGestureRecognizers: pausing", 2, 10s)) << channel.log();

  // Minimised is the background; restored comes back through the foreground to active.
  size_t activations = channel.linesContaining("applicationDidBecomeActive: ").size();
  size_t downloads = channel.linesContaining("DEBUG: VorniOSViewController: updatePlaylist").size();
  ASSERT_EQ(std::system(("xdotool windowminimize --sync " + window).c_str()), 0);
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(channel.linesContaining("applicationWillEnterForeground:").empty()) << channel.log();
  ASSERT_EQ(std::system(("xdotool windowactivate --sync " + window).c_str()), 0);
  ASSERT_TRUE(channel.waitFor("applicationWillEnterForeground:", 1, 10s)) << channel.log();
  ASSERT_TRUE(channel.waitFor("applicationDidBecomeActive: ", activations + 1, 10s))
      << channel.log();
  EXPECT_EQ(channel
                .linesContaining("queuePlayer rate is Optional(0.0), airPlayScreenConnected is "
                                 "false")
                .size(),
            1u)
      << channel.log();
  auto foreground = channel.linesContaining("applicationWillEnterForeground:").front();
  auto active = channel.linesContaining("applicationDidBecomeActive: ").back();
  EXPECT_LE(foreground.daySeconds, active.daySeconds);
  EXPECT_TRUE(channel.waitFor("DEBUG: VorniOSViewController: updatePlaylist", downloads + 1, 10s))
      << "returning to the foreground fetches the playlist again\n"
      << channel.log();

  // Closing the window ends the channel cleanly.
  ASSERT_EQ(std::system(("xdotool windowactivate --sync " + window + " key alt+F4").c_str()), 0);
  auto status = channel.stop(0, 20s);
  ASSERT_TRUE(status) << "the channel did not exit after its window was closed\n" << channel.log();
  EXPECT_EQ(*status, 0) << channel.log();
}

}  // namespace
}  // namespace vorn::linuxtest
