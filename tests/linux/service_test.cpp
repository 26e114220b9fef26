// The channel as a service manager runs it: `vorn --headless` as a child process with a real
// notification socket (an AF_UNIX datagram socket bound here) and its standard error handed over
// as the journal's stream.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/linux/channel_process.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;

// Only guards against hangs; nothing here is timed.
constexpr auto kPatience = 60s;

// The socket a service manager listens on for a service's state changes.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next datagram, or nothing once `guard` has passed.
  std::optional<std::string> receive(std::chrono::milliseconds guard = kPatience) {
    pollfd ready{fd_, POLLIN, 0};
    char buffer[4096];
    const ssize_t size = poll(&ready, 1, static_cast<int>(guard.count())) > 0
                             ? recv(fd_, buffer, sizeof buffer, 0)
                             : -1;
    return size < 0 ? std::nullopt : std::optional(std::string(buffer, size_t(size)));
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(manager.bound()); }
  // A channel with nothing to play and nothing reachable, reporting to `manager`: it stays up on
  // its main loop all the same.
  Environment quietChannel(Environment extra) const {
    Environment environment{{"VORN_DATA_DIR", folder_.file("no-data")},
                            {"VORN_PLAYLIST_URL", "file://" + folder_.file("no-playlist.json")},
                            {"XDG_CONFIG_HOME", folder_.file("config")},
                            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-test-bus"},
                            {"NOTIFY_SOCKET", manager.path()}};
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
  }
  TempDir folder_;
  NotifySocket manager{folder_.file("notify")};
};

TEST_F(ServiceTest, reports_ready_pings_the_watchdog_from_its_main_loop_and_stopping_on_sigterm) {
  ChannelProcess channel(folder_.file("stderr.log"), {"--headless"},
                         quietChannel({{"WATCHDOG_USEC", "400000"}}), true);

  auto first = manager.receive();
  ASSERT_TRUE(first) << channel.log();
  EXPECT_NE(first->find("READY=1"), std::string::npos) << *first;

  // Pings keep coming while the main loop turns.
  for (int pings = first->find("WATCHDOG=1") != std::string::npos ? 1 : 0; pings < 4; ++pings) {
    ASSERT_EQ(manager.receive(), "WATCHDOG=1") << "after " << pings << " pings";
  }
  kill(channel.pid(), SIGTERM);
  std::optional<std::string> message;
  do {
    message = manager.receive();
    ASSERT_TRUE(message) << "no STOPPING=1";
  } while (*message == "WATCHDOG=1");
  EXPECT_EQ(*message, "STOPPING=1");
  EXPECT_EQ(channel.stop(0), 0);

  // The lines went to the journal with their priority; how each level maps the log's own test
  // shows.
  EXPECT_NE(channel.log().find("<7>DEBUG: "), std::string::npos);
}

TEST_F(ServiceTest, a_watchdog_meant_for_another_process_and_a_terminal_get_nothing_extra) {
  ChannelProcess channel(
      folder_.file("stderr.log"), {"--headless"},
      quietChannel({{"WATCHDOG_USEC", "100000"}, {"WATCHDOG_PID", std::to_string(getpid())}}));

  EXPECT_EQ(manager.receive(), "READY=1") << channel.log();
  // Had the pings started, one would come every 50 ms.
  EXPECT_EQ(manager.receive(1500ms), std::nullopt);
  kill(channel.pid(), SIGTERM);
  EXPECT_EQ(manager.receive(), "STOPPING=1");
  EXPECT_EQ(channel.stop(0), 0);

  // Outside the journal the lines are stamped as a system log shows them, without a priority.
  EXPECT_FALSE(channel.linesContaining("DEBUG: ").empty()) << channel.log();
  EXPECT_EQ(channel.log().find("<7>"), std::string::npos);
}

// A channel that cannot start says why in one line and exits, without a READY=1 that would have
// the manager count on it. Under the journal the line is an error (`journalctl -p err`).
TEST_F(ServiceTest, a_failure_to_start_is_one_error_line_and_its_exit_status) {
  struct Case {
    std::vector<std::string> args;
    Environment extra;
    bool journal;
    int status;
    std::string line;  // its start
  };
  // Our settings take monitors up to 63; the player refuses an index above 32 at start.
  const std::vector<std::string> screen{"--headless", "--screen", "40"};
  const Environment noServer{{"DISPLAY", folder_.file("no-x-server") + ":0"}};
  const std::vector<Case> cases = {
      {screen, {}, true, 1, "<3>vorn: cannot start: mpv option screen=40"},
      {screen, {}, false, 1, "vorn: cannot start: mpv option screen=40"},
      {{}, noServer, true, 1, "<3>vorn: cannot start: no display: cannot connect to X display"},
      {{"--headless", "--volume", "101"}, {}, true, 2, "<3>vorn: --volume: volume:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    ChannelProcess channel(folder_.file("stderr.log"), c.args, quietChannel(c.extra), c.journal);
    EXPECT_EQ(channel.stop(0), c.status);
    const std::string text = channel.log();
    EXPECT_EQ(text.rfind(c.line, 0), 0u) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(manager.receive(std::chrono::milliseconds(0)), std::nullopt);
  }
}

// SIGHUP reads the settings again: what can change is applied while the channel plays on (a new
// playlist address is fetched at once, long before the next refresh), one info line says what
// changed and what waits for a restart, and a file that cannot be used leaves the running
// settings as they are with one error line. The process never dies of it.
TEST_F(ServiceTest, a_hang_up_reloads_the_settings_and_never_ends_the_channel) {
  const auto certificates = TestCertificates::generate(folder_.path(), "reload", {"localhost"});
  TestHttpsServer server(certificates);
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  const std::string playlist = R"([{"hls_url": "https://127.0.0.1:9/none.m3u8", "duration": 600}])";
  server.server().Get("/a.json", [&](const httplib::Request&, httplib::Response& response) {
    ++first;
    response.set_content(playlist, "application/json");
  });
  server.server().Get("/b.json", [&](const httplib::Request&, httplib::Response& response) {
    ++second;
    response.set_content(playlist, "application/json");
  });
  server.start();
  const std::string config = folder_.file("vorn.toml");
  const auto settings = [&](const std::string& url, const std::string& more) {
    std::ofstream(config) << "playlist_url = \"" << server.url(url) << "\"\nca_file = \""
                          << certificates.caFile << "\"\n"
                          << more;
  };
  settings("/a.json", "volume = 50\n");
  // The address comes from the file alone, so that a reload can move it.
  ChannelProcess channel(folder_.file("stderr.log"), {"--headless", "--config", config},
                         quietChannel({{"VORN_PLAYLIST_URL", ""}}), true);
  // Under the journal each line is "<priority>record".
  const auto waitForLines = [&](const std::string& text, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      const std::string log = channel.log();
      size_t seen = 0;
      for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; at += text.size()) {
        ++seen;
      }
      if (seen >= count || std::chrono::steady_clock::now() > deadline || channel.hasExited()) {
        return seen >= count;
      }
      std::this_thread::sleep_for(20ms);
    }
  };
  ASSERT_TRUE(waitForLines("Loaded playlist from Optional(" + server.url("/a.json") + ")", 1))
      << channel.log();

  settings("/b.json", "volume = 20\ninactivity_pause = 0\nhwdec = \"no\"\nmute = false\n");
  kill(channel.pid(), SIGHUP);
  EXPECT_TRUE(
      waitForLines("\n<6>vorn: settings reloaded: applied playlist_url, volume, "
                   "inactivity_pause; needs a restart: hwdec\n",
                   1))
      << channel.log();
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (second == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(second, 1);
  EXPECT_EQ(first, 1);

  // Bad files: a value out of range, an authority that is not there, a file that is not there.
  const std::vector<std::pair<std::function<void()>, std::string>> bad = {
      {[&] { settings("/b.json", "volume = 500\n"); },
       config + ":3: volume: expected a whole number from 0 to 100, got 500"},
      {[&] { std::ofstream(config) << "ca_file = \"" << folder_.file("gone.pem") << "\"\n"; },
       "ca_file " + folder_.file("gone.pem") + ": No such file or directory"},
      {[&] { std::filesystem::remove(config); },
       config + ": cannot read the settings file: No such file or directory"},
  };
  size_t failures = 0;
  for (const auto& [write, reason] : bad) {
    write();
    kill(channel.pid(), SIGHUP);
    EXPECT_TRUE(waitForLines(
        "\n<3>vorn: cannot reload the settings, keeping the current ones: " + reason + "\n", 1))
        << channel.log();
    EXPECT_TRUE(waitForLines("vorn: cannot reload the settings", ++failures));
    EXPECT_FALSE(channel.hasExited());
  }

  // The running settings were kept: the same file again changes nothing live, and what waits
  // for a restart is still named.
  settings("/b.json", "volume = 20\ninactivity_pause = 0\nhwdec = \"no\"\n");
  kill(channel.pid(), SIGHUP);
  EXPECT_TRUE(
      waitForLines("\n<6>vorn: settings reloaded: nothing applied; needs a restart: hwdec\n", 1))
      << channel.log();
  settings("/b.json", "volume = 20\ninactivity_pause = 0\n");
  for (int i = 0; i < 5; ++i) {
    kill(channel.pid(), SIGHUP);
  }
  EXPECT_TRUE(waitForLines("\n<6>vorn: settings reloaded: nothing changed\n", 1)) << channel.log();
  EXPECT_FALSE(channel.hasExited());
  EXPECT_EQ(channel.stop(SIGTERM), 0);
  EXPECT_EQ(first, 1);
}

}  // namespace
}  // namespace vorn::linuxtest
