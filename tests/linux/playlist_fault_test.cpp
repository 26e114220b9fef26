// A broken playlist server, for real: `vorn --headless` against loopback servers (HTTPS with a
// test authority, plain TCP, plain HTTP), with a packaged copy whose streams are local files. At
// first start every fault must end in the packaged programme on screen, soon; at a refresh while
// playing it must leave the programme untouched with one line; and never may a download go over
// a weaker protocol than the one asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "tests/linux/channel_process.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxtest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kStreams = 2;
constexpr int kStreamSeconds = 4;
constexpr const char* kDownloadStart = "DEBUG: VorniOSViewController: updatePlaylist";
constexpr const char* kFallback = "Using local playlist file Optional(file://";
constexpr const char* kFirstFrame = "boundaryTimeObserver callback for first video";
constexpr const char* kQueueEnd = "AVPlayerItemDidPlayToEndTimeNotification notifier";

// One way the playlist server can be broken, and what the channel must make of it.
struct Fault {
  std::string name;
  std::string address;
  std::string failure;  // in each of the three failed downloads; empty: no message
  // Short for the hangs; time to spare on a loaded machine for the others, which never wait for it.
  double fetchTimeout = 10.0;
  std::vector<std::string> arguments = {};
};

void holdUntil(const std::atomic<bool>& released) {
  for (int i = 0; i < 2400 && !released; ++i) {
    std::this_thread::sleep_for(50ms);
  }
}

std::string at(int port, const std::string& path) {
  return "https://127.0.0.1:" + std::to_string(port) + path;
}

std::string programme(const TempDir& folder, const std::string& mediaFolder) {
  std::string json = "[";
  for (int n = 1; n <= kStreams; ++n) {
    json += std::string(n > 1 ? "," : "") + "{\"hls_url\": \"file://" +
            folder.file(mediaFolder + "/stream-" + std::to_string(n)) +
            "/index.m3u8\", \"duration\": " + std::to_string(kStreamSeconds) + "}";
  }
  return json + "]";
}

// Every way a playlist server can break, on loopback. `documents` answers each broken document at
// its own path, and at /playlist.json as `setMode` chose ("good": the remote programme); the other
// servers break below the document, and `documents` redirects to each of them at "to-" paths.
struct BrokenServers {
  using Handler = httplib::Server::Handler;

  BrokenServers(const TempDir& folder, const TestCertificates& trusted,
                const TestCertificates& stranger, const TestCertificates& expired,
                const TestCertificates& elsewhere)
      : documents(trusted), untrusted(stranger), outdated(expired), misnamed(elsewhere) {
    const std::string good = programme(folder, "remote-media");
    const auto text = [](int status, const std::string& body, const std::string& type) -> Handler {
      return [=](const httplib::Request&, httplib::Response& response) {
        response.status = status;
        response.set_content(body, type);
      };
    };
    const auto redirect = [](std::function<std::string()> to) -> Handler {
      return [to](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(to());
      };
    };
    answers = {
        {"good", text(200, good, "application/json")},
        {"404", text(404, "<html><body>Not Found</body></html>", "text/html")},
        {"500", text(500, "<!doctype html><h1>Internal Server Error</h1>", "text/html")},
        {"truncated",
         text(200, R"([{"hls_url": "https://127.0.0.1/a/index.m3u8", "durat)", "application/json")},
        {"object",
         text(200, R"({"videos": [{"hls_url": "https://127.0.0.1/a.m3u8", "duration": 4}]})",
              "application/json")},
        {"scalar", text(200, "42", "application/json")},
        {"empty", text(200, "[]", "application/json")},
        {"huge",
         [=](const httplib::Request&, httplib::Response& response) {
           response.set_content_provider(
               100u * 1000u * 1000u, "application/json",
               [](size_t offset, size_t length, httplib::DataSink& sink) {
                 static const std::string block(64 * 1024, ' ');
                 std::string piece = offset == 0 ? "[" + block.substr(1) : block;
                 return sink.write(piece.data(), std::min(length, piece.size()));
               });
         }},
        {"silent",
         [this](const httplib::Request&, httplib::Response& response) {
           holdUntil(released);
           response.status = 503;
         }},
        {"stall",
         [this](const httplib::Request&, httplib::Response& response) {
           response.set_content_provider(1000, "application/json",
                                         [this](size_t offset, size_t, httplib::DataSink& sink) {
                                           if (offset == 0) {
                                             return sink.write("[{\"hls", 6);
                                           }
                                           holdUntil(released);
                                           return false;
                                         });
         }},
        {"loop",
         [this](const httplib::Request&, httplib::Response& response) {
           ++loopRequests;
           response.set_redirect("/loop");
         }},
        {"moved", redirect([this] { return documents.url("/good"); })},
        {"to-refused", redirect([] { return at(closedPort(), "/playlist.json"); })},
        {"to-hang", redirect([this] { return at(acceptAndHang.port(), "/playlist.json"); })},
        {"to-untrusted", redirect([this] { return untrusted.url("/playlist.json"); })},
        {"to-misnamed", redirect([this] { return misnamed.url("/playlist.json"); })},
        {"to-plain", redirect([this] { return plain.url("/playlist.json"); })},
    };
    // Stalled handlers and idle kept-alive connections each hold a worker of the server: enough
    // workers that the other cases are never queued behind them.
    documents.server().new_task_queue = [] { return new httplib::ThreadPool(64); };
    for (const auto& [name, handler] : answers) {
      documents.server().Get("/" + name, handler);
    }
    setMode("good");
    documents.server().Get("/playlist.json",
                           [this](const httplib::Request& request, httplib::Response& response) {
                             (*answer)(request, response);
                           });
    documents.start();

    plain.server().Get("/playlist.json",
                       [this, good](const httplib::Request&, httplib::Response& response) {
                         ++plainRequests;
                         response.set_content(good, "application/json");
                       });
    plain.start();

    // The same document behind certificates the channel must refuse.
    for (auto* server : {&untrusted, &outdated, &misnamed}) {
      server->server().Get("/playlist.json", answers.at("good"));
      server->start();
    }
  }
  ~BrokenServers() { released = true; }  // held handlers let go, so that the servers can stop

  void setMode(const std::string& next) { answer = &answers.at(next); }

  std::map<std::string, Handler> answers;
  std::atomic<const Handler*> answer;  // at /playlist.json
  std::atomic<bool> released{false};
  std::atomic<int> plainRequests{0};
  std::atomic<int> loopRequests{0};
  TestHttpsServer documents;
  TestHttpsServer plain;      // plain HTTP
  TestHttpsServer untrusted;  // signed by an authority the channel does not know
  TestHttpsServer outdated;   // its validity ended a day ago
  TestHttpsServer misnamed;   // made out to another host than 127.0.0.1
  RawTcpServer acceptAndHang{"", true};
};

class PlaylistFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = std::make_unique<TempDir>();
    trusted = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder->path(), "trusted", {"localhost"}));
    stranger = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder->path(), "stranger", {"localhost"}));
    expired = std::make_unique<TestCertificates>(
        trusted->sign(folder->path(), "expired", "IP:127.0.0.1,DNS:localhost", -1));
    elsewhere = std::make_unique<TestCertificates>(
        trusted->sign(folder->path(), "elsewhere", "DNS:elsewhere.test", 2));
    for (int n = 1; n <= kStreams; ++n) {
      ASSERT_TRUE(makeHlsStream(folder->file("media/stream-" + std::to_string(n)), kStreamSeconds));
    }
    // The remote programme reaches the same files by another folder name, so the log tells
    // which document is playing.
    fs::create_directory_symlink(folder->file("media"), folder->file("remote-media"));
    fs::create_directories(folder->file("data"));
    writeFile(folder->file("data/vorn-vimeo-playlist.json"), programme(*folder, "media"));
  }
  static std::unique_ptr<BrokenServers> brokenServers() {
    return std::make_unique<BrokenServers>(*folder, *trusted, *stranger, *expired, *elsewhere);
  }
  // A fresh process per case: its own settings and state folders, no session bus.
  static std::unique_ptr<ChannelProcess> startChannel(const Fault& fault) {
    for (const char* kind : {"-home/config", "-home/state"}) {
      fs::create_directories(folder->file(fault.name + kind));
    }
    std::vector<std::string> arguments = {"--headless", "--playlist-url", fault.address,
                                          "--fetch-timeout", std::to_string(fault.fetchTimeout)};
    arguments.insert(arguments.end(), fault.arguments.begin(), fault.arguments.end());
    return std::make_unique<ChannelProcess>(
        folder->file(fault.name + ".log"), arguments,
        Environment{{"VORN_CA_FILE", trusted->caFile},
                    {"VORN_CONNECT_TO", ""},
                    {"VORN_PLAYLIST_URL", ""},
                    {"VORN_DATA_DIR", folder->file("data")},
                    {"XDG_CONFIG_HOME", folder->file(fault.name + "-home/config")},
                    {"XDG_STATE_HOME", folder->file(fault.name + "-home/state")},
                    {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-test-bus"}});
  }

  // A first start against `fault`: empty when every expectation held, else what failed and the log.
  static std::string firstStartFallsBack(const Fault& fault) {
    auto channel = startChannel(fault);
    // Three attempts, each given up after the timeout, with two 2.0 s pauses between them; the
    // margin is for a loaded machine, and still far below a request that is never given up.
    const double bound = 3 * fault.fetchTimeout + 2 * 2.0 + 12.0;
    auto problem = [&](const std::string& what) {
      return fault.name + ": " + what + "\n" + channel->log();
    };
    if (!channel->waitFor(kFallback, 1, std::chrono::seconds(static_cast<int>(bound) + 60))) {
      return problem("no fall-back to the packaged copy");
    }
    if (!channel->waitFor(kFirstFrame, 1, 60s)) {
      return problem("the packaged programme did not reach the screen");
    }
    auto starts = channel->linesContaining(kDownloadStart);
    std::erase_if(starts, [](const LogLine& line) { return line.record != kDownloadStart; });
    const auto fallback = channel->linesContaining(kFallback).front();
    if (starts.size() < 4) {
      return problem("fewer than four downloads");
    }
    // A retry waits 2.0 s after the failure, which itself came after the start.
    if (starts[1].daySeconds - starts[0].daySeconds < 1.95 ||
        starts[2].daySeconds - starts[1].daySeconds < 1.95) {
      return problem("a retry came before its pause");
    }
    if (const double after = fallback.daySeconds - starts.front().daySeconds; after > bound) {
      return problem("the fall-back came " + std::to_string(after) + " s after the first request");
    }
    const auto failures = channel->linesContaining("Alert: Error");
    if (fault.failure.empty()
            ? !failures.empty()
            : (failures.size() != 3 || channel->linesContaining(fault.failure).size() != 3)) {
      return problem("expected three failures reading '" + fault.failure + "'");
    }
    // What plays is the packaged document: it was loaded, and its streams make up the queue.
    const auto loaded = channel->linesContaining("Loaded playlist from ");
    if (loaded.size() != 1 || loaded.front().record.find("Optional(file://") == std::string::npos) {
      return problem("a document other than the packaged copy was loaded");
    }
    const auto queue = channel->linesContaining(kQueueEnd);
    if (queue.empty() ||
        queue.front().record.find("file://" + folder->file("media/stream-")) == std::string::npos) {
      return problem("the queue is not the packaged programme");
    }
    return {};
  }

  static inline std::unique_ptr<TempDir> folder;
  static inline std::unique_ptr<TestCertificates> trusted, stranger, expired, elsewhere;
};

std::string urlError(int code) {
  return "Error fetching playlist: Optional(Error Domain=VornURLErrorDomain Code=" +
         std::to_string(code) + " ";
}

const std::string kNotJson = "ERROR: VorniOSViewController: Alert: Error parsing JSON: ";

TEST_F(PlaylistFaultTest, every_broken_server_leads_to_the_packaged_programme_within_the_timeouts) {
  const auto servers = brokenServers();
  const int port = servers->documents.port();
  const std::vector<Fault> faults = {
      {"accept-and-hang", at(servers->acceptAndHang.port(), "/playlist.json"), urlError(28), 2.0},
      {"headers-never-come", at(port, "/silent"), urlError(28), 2.0},
      {"headers-then-stalled-body", at(port, "/stall"), urlError(28), 2.0},
      {"connection-refused", at(closedPort(), "/playlist.json"), urlError(7)},
      {"not-found", at(port, "/404"), kNotJson},
      {"server-error-html", at(port, "/500"), kNotJson},
      {"truncated-json", at(port, "/truncated"), kNotJson},
      {"hundred-megabytes", at(port, "/huge"), urlError(63)},
      {"top-level-object", at(port, "/object"), ""},
      {"top-level-scalar", at(port, "/scalar"), kNotJson},
      {"unknown-authority", at(servers->untrusted.port(), "/playlist.json"), urlError(60)},
      {"expired", at(servers->outdated.port(), "/playlist.json"), urlError(60)},
      {"wrong-host-name", at(servers->misnamed.port(), "/playlist.json"), urlError(60)},
      {"redirect-to-http", at(port, "/to-plain"), urlError(1)},
      {"redirect-loop", at(port, "/loop"), urlError(47)},
  };
  // A few at a time, in order.
  std::counting_semaphore<> running(6);
  std::vector<std::future<std::string>> problems;
  for (const auto& fault : faults) {
    running.acquire();
    problems.push_back(std::async(std::launch::async, [&running, &fault] {
      std::string problem;
      try {
        problem = firstStartFallsBack(fault);
      } catch (const std::exception& error) {
        problem = fault.name + ": " + error.what();
      }
      running.release();
      return problem;
    }));
  }
  for (auto& problem : problems) {
    const std::string text = problem.get();
    EXPECT_TRUE(text.empty()) << text;
  }

  // A downgrade is refused before a byte goes out in the clear.
  EXPECT_EQ(servers->plainRequests.load(), 0);
  // Three attempts of at most five redirects each.
  EXPECT_GE(servers->loopRequests.load(), 3);
  EXPECT_LE(servers->loopRequests.load(), 3 * 6);
}

TEST_F(PlaylistFaultTest, a_broken_server_at_a_refresh_leaves_the_programme_untouched) {
  const auto servers = brokenServers();

  // Refreshes 3 s apart, each given up after 2 s: one fault per refresh, in one process. Faults
  // below the document are reached by a redirect.
  auto channel = startChannel(
      {"refresh", servers->documents.url("/playlist.json"), "", 2.0, {"--refresh-interval", "3"}});
  ASSERT_TRUE(channel->waitFor(kFirstFrame)) << channel->log();
  const std::string state = folder->file("refresh-home/state/vorn/playlist.json");
  const std::string good = programme(*folder, "remote-media");
  ASSERT_EQ(readFile(state), good);

  const std::vector<std::pair<std::string, std::string>> steps = {
      {"to-refused", urlError(7)},
      {"404", "refreshPlaylist: Error fetching playlist: HTTP status 404"},
      {"to-hang", urlError(28)},
      {"stall", urlError(28)},
      {"truncated", "Error parsing JSON: "},
      {"huge", urlError(63)},
      {"object", "the top level is not an array"},
      {"empty", "refreshPlaylist: playlist has no playable entries; keeping the current playlist"},
      {"to-untrusted", urlError(60)},
      {"to-misnamed", urlError(60)},
      {"to-plain", urlError(1)},
      {"loop", urlError(47)},
  };
  const auto failures = [&] {
    auto lines = channel->lines();
    std::erase_if(lines, [](const LogLine& line) {
      return line.record.find("Alert: refreshPlaylist: ") == std::string::npos &&
             line.record.find("Alert: updatePlaylistCompletionHandler: ") == std::string::npos;
    });
    return lines;
  };
  for (size_t k = 0; k < steps.size(); ++k) {
    const auto& [mode, line] = steps[k];
    servers->setMode(mode);
    ASSERT_TRUE(channel->waitFor("Alert: ", k + 1, 30s)) << mode << "\n" << channel->log();
    const auto lines = failures();
    ASSERT_EQ(lines.size(), k + 1) << mode << "\n" << channel->log();
    EXPECT_NE(lines.back().record.find(line), std::string::npos)
        << mode << ": " << lines.back().record;
  }
  // Healthy again: the next refresh finds the same document.
  servers->setMode("good");
  ASSERT_TRUE(channel->waitFor("refreshPlaylist: playlist unchanged", 1, 30s)) << channel->log();

  // Nothing reached the screen: the first document is the only one loaded, no fetch course
  // started, no fall-back, the queue always the remote programme; the saved copy is the good one.
  EXPECT_EQ(channel->linesContaining("Loaded playlist from ").size(), 1u) << channel->log();
  EXPECT_TRUE(channel->linesContaining("applying the new playlist").empty()) << channel->log();
  EXPECT_TRUE(channel->linesContaining("re-trying").empty()) << channel->log();
  EXPECT_TRUE(channel->linesContaining("Using local playlist file").empty()) << channel->log();
  EXPECT_EQ(failures().size(), steps.size()) << channel->log();
  for (const auto& line : channel->linesContaining(kQueueEnd)) {
    EXPECT_NE(line.record.find("file://" + folder->file("remote-media/stream-")), std::string::npos)
        << line.record;
  }
  EXPECT_EQ(readFile(state), good);
  EXPECT_EQ(servers->plainRequests.load(), 0);
  EXPECT_EQ(channel->stop(SIGINT), 0) << channel->log();
}

TEST_F(PlaylistFaultTest, redirects_within_https_are_followed_and_the_answering_address_logged) {
  const auto servers = brokenServers();
  auto moved = startChannel({"moved", servers->documents.url("/moved"), ""});
  auto empty = startChannel({"empty", servers->documents.url("/empty"), ""});
  const auto loadedFrom = [&](const std::string& path) {
    return "Loaded playlist from Optional(" + servers->documents.url(path) + ")";
  };

  // Loaded once, from where the redirect led.
  ASSERT_TRUE(moved->waitFor(loadedFrom("/good"))) << moved->log();
  EXPECT_EQ(moved->linesContaining("Loaded playlist from ").size(), 1u) << moved->log();
  ASSERT_TRUE(moved->waitFor(kFirstFrame)) << moved->log();
  const auto queue = moved->linesContaining(kQueueEnd);
  ASSERT_FALSE(queue.empty()) << moved->log();
  EXPECT_NE(queue.front().record.find("file://" + folder->file("remote-media/stream-")),
            std::string::npos)
      << queue.front().record;
  EXPECT_TRUE(moved->linesContaining("Alert: Error").empty()) << moved->log();

  // An empty document is a document: accepted from the server and loaded, with nothing to play;
  // then the packaged copy is shown, as after a failed fetch, at once.
  ASSERT_TRUE(empty->waitFor("loadVideos: playlist has no playable entries")) << empty->log();
  EXPECT_EQ(empty->linesContaining(loadedFrom("/empty")).size(), 1u) << empty->log();
  ASSERT_TRUE(empty->waitFor(kFirstFrame)) << empty->log();
  EXPECT_EQ(empty->linesContaining(kFallback).size(), 1u) << empty->log();
  EXPECT_TRUE(empty->linesContaining("re-trying").empty()) << empty->log();

  EXPECT_EQ(moved->stop(SIGTERM), 0) << moved->log();
  EXPECT_EQ(empty->stop(SIGTERM), 0) << empty->log();
}

}  // namespace
}  // namespace vorn::linuxtest
