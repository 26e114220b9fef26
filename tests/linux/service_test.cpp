// The channel as a service manager runs it: `vorn --headless` as a child process with a real
// notification socket (an AF_UNIX datagram socket bound here) and its standard error handed over
// as the journal's stream.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/timex.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/exposition_format.h"
#include "tests/linux/channel_process.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
using testing::readExposition;

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

  // The next datagram other than a status line, or nothing once `guard` has passed. Status
  // lines come whenever the channel's state changes; they are kept in `statuses`.
  std::optional<std::string> receive(std::chrono::milliseconds guard = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + guard;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      char buffer[4096];
      const ssize_t size = poll(&ready, 1, static_cast<int>(std::max<int64_t>(0, left.count()))) > 0
                               ? recv(fd_, buffer, sizeof buffer, 0)
                               : -1;
      if (size < 0) {
        return std::nullopt;
      }
      std::string message(buffer, size_t(size));
      if (!message.starts_with("STATUS=")) {
        return message;
      }
      statuses.push_back(message.substr(7));
    }
  }
  // Waits for a status line holding `text`.
  bool waitForStatus(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::any_of(statuses.begin(), statuses.end(),
                      [&](const auto& line) { return line.find(text) != std::string::npos; })) {
        return true;
      }
      (void)receive(std::chrono::milliseconds(200));
    }
    return false;
  }
  std::vector<std::string> statuses;

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
      waitForLines("\n<6>EVENT: settings reloaded: applied playlist_url, volume, "
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
      waitForLines("\n<6>EVENT: settings reloaded: nothing applied; needs a restart: hwdec\n", 1))
      << channel.log();
  settings("/b.json", "volume = 20\ninactivity_pause = 0\n");
  for (int i = 0; i < 5; ++i) {
    kill(channel.pid(), SIGHUP);
  }
  EXPECT_TRUE(waitForLines("\n<6>EVENT: settings reloaded: nothing changed\n", 1)) << channel.log();

  // A metrics file named while running is written at once; moved, the old one goes.
  const auto waitForFile = [&](const std::string& path, bool present) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (std::filesystem::exists(path) != present && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(20ms);
    }
    return std::filesystem::exists(path) == present;
  };
  const std::string metrics = folder_.file("first.prom");
  const std::string moved = folder_.file("second.prom");
  settings("/b.json", "volume = 20\ninactivity_pause = 0\nmetrics_file = \"" + metrics + "\"\n");
  kill(channel.pid(), SIGHUP);
  EXPECT_TRUE(waitForLines("\n<6>EVENT: settings reloaded: applied metrics_file\n", 1))
      << channel.log();
  ASSERT_TRUE(waitForFile(metrics, true));
  std::stringstream written;
  written << std::ifstream(metrics).rdbuf();
  EXPECT_NE(written.str().find("\nvorn_up 1\n"), std::string::npos) << written.str();
  settings("/b.json", "volume = 20\ninactivity_pause = 0\nmetrics_file = \"" + moved + "\"\n");
  kill(channel.pid(), SIGHUP);
  EXPECT_TRUE(waitForFile(moved, true));
  EXPECT_TRUE(waitForFile(metrics, false));
  EXPECT_FALSE(channel.hasExited());
  EXPECT_EQ(channel.stop(SIGTERM), 0);
  EXPECT_EQ(first, 1);
}

}  // namespace
}  // namespace vorn::linuxtest

namespace vorn::linuxtest {
namespace {

// What `vorn status` says with the status files of `runtime`.
struct StatusAnswer {
  int exitStatus = -1;
  std::string output;
};
StatusAnswer askStatus(const std::string& runtime, bool json) {
  const std::string command = "XDG_RUNTIME_DIR='" + runtime + "' '" VORN_CHANNEL_BINARY "' status" +
                              (json ? " --json" : "") + " 2>&1";
  StatusAnswer answer;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  size_t size = 0;
  while ((size = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
    answer.output.append(buffer, size);
  }
  const int status = pclose(pipe);
  answer.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return answer;
}

// The kernel's word on its clock, asked here apart from the player.
bool kernelClockSynchronised() {
  struct timex state {};
  const int result = adjtimex(&state);
  return result >= 0 && result != TIME_ERROR && (state.status & STA_UNSYNC) == 0;
}

// Waits until the channel's log holds `text`.
bool logHolds(ChannelProcess& channel, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (channel.log().find(text) != std::string::npos) {
      return true;
    }
    if (channel.hasExited()) {
      return false;
    }
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

size_t countIn(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

std::string dataDir() {
  const std::string binary = VORN_CHANNEL_BINARY;
  return binary.substr(0, binary.rfind('/')) + "/share/vorn";
}

// Each case a channel of its own under a service manager and the journal, read from outside as an
// operator would: `vorn status`, the metrics file, the service's status line and the journal's
// priorities of the operator's events.
TEST_F(ServiceTest, the_status_outlets_tell_a_healthy_a_fallback_and_a_slate_channel_apart) {
  const bool synced = kernelClockSynchronised();
  writeFile(folder_.file("broken.json"),
            R"([{"hls_url": "file:///nonexistent/vorn/index.m3u8", "duration": 600,
                 "description_attribution": "Gone"}])");
  struct Case {
    std::string name;
    std::string playlistUrl;
    std::string state;
    std::string source;
    int exitStatus;          // with a synchronised clock
    std::string statusLine;  // a part of the service's status line
    std::vector<std::string> events;
  };
  const std::vector<Case> cases = {
      {"healthy",
       "file://" + dataDir() + "/vorn-vimeo-playlist.json",
       "playing",
       "remote",
       0,
       "on the clock (",
       {"<6>EVENT: item started: Demo "}},
      // Nothing listens on the loopback's discard port: the fetch fails at once, three times.
      {"fallback",
       "https://127.0.0.1:9/vorn.json",
       "playing",
       "packaged",
       1,
       "packaged playlist",
       {"<4>EVENT: playlist fetch failed: ",
        "<4>EVENT: fallback copy in use: the packaged "
        "playlist file://",
        "<6>EVENT: item started: Demo "}},
      {"slate",
       "file://" + folder_.file("broken.json"),
       "slate",
       "remote",
       1,
       "Slate: itemFailedToPlay until ",
       {"<4>EVENT: slate shown: itemFailedToPlay until ",
        // The player's own error, through the log at its priority.
        "<3>mpv: [file] Cannot open file '/nonexistent/vorn/index.m3u8'"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string runtime = folder_.file("run-" + c.name);
    const std::string metrics = folder_.file("metrics-" + c.name + "/vorn.prom");
    manager.statuses.clear();
    ChannelProcess channel(folder_.file(c.name + ".log"), {"--headless", "--metrics-file", metrics},
                           quietChannel({{"VORN_DATA_DIR", dataDir()},
                                         {"VORN_PLAYLIST_URL", c.playlistUrl},
                                         {"XDG_RUNTIME_DIR", runtime}}),
                           true);
    ASSERT_TRUE(manager.waitForStatus(c.statusLine)) << channel.log();
    for (const auto& event : c.events) {
      ASSERT_TRUE(logHolds(channel, event)) << event << "\n" << channel.log();
    }

    const auto json = askStatus(runtime, true);
    EXPECT_EQ(json.exitStatus, synced || c.exitStatus != 0 ? c.exitStatus : 1) << json.output;
    const auto document = nlohmann::json::parse(json.output, nullptr, false);
    ASSERT_TRUE(document.is_object()) << json.output;
    EXPECT_EQ(document.size(), 10u) << json.output;
    EXPECT_EQ(document["state"], c.state) << json.output;
    EXPECT_EQ(document["playlist"]["source"], c.source) << json.output;
    EXPECT_EQ(document["clock_synchronized"], synced ? "yes" : "no") << json.output;
    if (c.name == "healthy") {
      // Every item start tells the picture's offset from the clock, also when one item follows
      // another (the demo items are at most 36 s long).
      const auto deadline = std::chrono::steady_clock::now() + kPatience;
      while (countIn(channel.log(), "<6>EVENT: item started: ") < 2 &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
      }
      EXPECT_EQ(countIn(channel.log(), "<6>EVENT: item started: "), 2u) << channel.log();
      EXPECT_EQ(countIn(channel.log(), "<6>EVENT: item started: "),
                countIn(channel.log(), ", clock offset "))
          << channel.log();
      // Rewritten while nothing changes, so a reader can tell a live player from a stale file.
      std::this_thread::sleep_for(5500ms);
      const auto again = nlohmann::json::parse(askStatus(runtime, true).output, nullptr, false);
      ASSERT_TRUE(again.is_object());
      EXPECT_GT(again["updated_at"].get<std::string>(), document["updated_at"].get<std::string>());
      EXPECT_GT(again["uptime"].get<double>(), document["uptime"].get<double>());
    }
    const auto text = askStatus(runtime, false);
    EXPECT_EQ(text.exitStatus, json.exitStatus);
    EXPECT_EQ(text.output.rfind("vorn: " + c.state + ", ", 0), 0u) << text.output;

    const auto read = readExposition(readFile(metrics));
    EXPECT_EQ(read.errors, std::vector<std::string>{});
    // Prometheus's own linter too, where the machine has it.
    if (std::system("command -v promtool >/dev/null 2>&1") == 0) {
      EXPECT_EQ(std::system(("promtool check metrics < '" + metrics + "'").c_str()), 0);
    }
    EXPECT_EQ(read.samples.count("vorn_state{state=\"" + c.state + "\"}"), 1u);
    EXPECT_EQ(read.samples.at("vorn_state{state=\"" + c.state + "\"}"), 1.0);
    EXPECT_EQ(read.samples.at("vorn_playlist_source{source=\"" + c.source + "\"}"), 1.0);

    // A player that has ended is not running, whatever its last state.
    EXPECT_EQ(channel.stop(SIGTERM), 0);
    // Every line carries its priority: nothing reaches the journal unprefixed, at info.
    std::istringstream lines(channel.log());
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(std::regex_search(line, std::regex("^<[3467]>"))) << line;
    }
    EXPECT_EQ(askStatus(runtime, false).exitStatus, 2);
    EXPECT_EQ(askStatus(runtime, true).exitStatus, 2);
  }
}

}  // namespace
}  // namespace vorn::linuxtest
