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
#include <memory>
#include <mutex>
#include <optional>
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

// A certificate for 127.0.0.1 and localhost signed by no one but itself.
void makeSelfSigned(const std::string& folder, std::string& cert, std::string& key) {
  cert = folder + "/self-signed.pem";
  key = folder + "/self-signed.key";
  const bool ok = runCommand(
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + key +
      " -out " + cert + " -days 2 -subj /CN=localhost" +
      " -addext subjectAltName=IP:127.0.0.1,DNS:localhost 2>/dev/null");
  if (!ok) {
    throw std::runtime_error("openssl could not make a self-signed certificate");
  }
}

// A server certificate signed by `authority`, named `name` in the folder, for the subject
// alternative names `names`, valid for `days` (-1: its validity ended a day ago).
TestCertificates makeSigned(const std::string& folder, const TestCertificates& authority,
                            const std::string& name, const std::string& names, int days) {
  TestCertificates made = authority;
  made.serverCert = folder + "/" + name + "-server.pem";
  made.serverKey = folder + "/" + name + "-server.key";
  const std::string caKey = authority.caFile.substr(0, authority.caFile.size() - 7) + "-ca.key";
  writeFile(folder + "/" + name + "-ext.cnf", "subjectAltName=" + names + "\n");
  const bool ok =
      runCommand("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " +
                 made.serverKey + " -out " + folder + "/" + name + ".csr -subj /CN=" + name +
                 " 2>/dev/null") &&
      runCommand("openssl x509 -req -in " + folder + "/" + name + ".csr -CA " + authority.caFile +
                 " -CAkey " + caKey + " -CAcreateserial -days " + std::to_string(days) + " -out " +
                 made.serverCert + " -extfile " + folder + "/" + name + "-ext.cnf 2>/dev/null");
  if (!ok) {
    throw std::runtime_error("openssl could not make the certificate " + name);
  }
  return made;
}

TestCertificates makeExpired(const std::string& folder, const TestCertificates& authority) {
  return makeSigned(folder, authority, "expired", "IP:127.0.0.1,DNS:localhost", -1);
}

// One way the playlist server can be broken, and what the channel must make of it.
struct Fault {
  std::string name;
  std::string address;
  // The text each of the three failed downloads reports; empty for a fault with no message.
  std::string failure;
  // A short timeout keeps the hangs short; the others are given time to spare on a loaded
  // machine, as they never wait for it. 0: the channel's default.
  double fetchTimeout = 10.0;
  std::vector<std::pair<std::string, std::string>> environment = {};
  std::vector<std::string> arguments = {};
};

class PlaylistFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = new TempDir();
    trusted =
        new TestCertificates(TestCertificates::generate(folder->path(), "trusted", {"localhost"}));
    fs::create_directories(folder->file("media"));
    fs::create_directories(folder->file("data"));
    for (int n = 1; n <= kStreams; ++n) {
      const std::string dir = folder->file("media/stream-" + std::to_string(n));
      fs::create_directories(dir);
      const std::string command =
          "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=160x90:rate=25"
          ":duration=" +
          std::to_string(kStreamSeconds) +
          " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 25 -sc_threshold 0"
          " -f hls -hls_time 2 -hls_playlist_type vod -hls_segment_filename " +
          dir + "/segment-%03d.ts " + dir + "/index.m3u8";
      ASSERT_TRUE(runCommand(command)) << command;
    }
    // The remote programme reaches the same files by another folder name, so the log tells
    // which document is playing.
    fs::create_directory_symlink(folder->file("media"), folder->file("remote-media"));
    writeFile(folder->file("data/vorn-vimeo-playlist.json"), programme("media"));
  }
  static void TearDownTestSuite() {
    delete trusted;
    delete folder;
  }

  static std::string programme(const std::string& mediaFolder) {
    std::string json = "[";
    for (int n = 1; n <= kStreams; ++n) {
      json += std::string(n > 1 ? "," : "") + "{\"hls_url\": \"file://" +
              folder->file(mediaFolder + "/stream-" + std::to_string(n)) +
              "/index.m3u8\", \"duration\": " + std::to_string(kStreamSeconds) + "}";
    }
    return json + "]";
  }

  // A fresh process per case: its own settings and state folders, no session bus.
  static std::unique_ptr<ChannelProcess> startChannel(const Fault& fault) {
    fs::create_directories(folder->file(fault.name + "-home/config"));
    fs::create_directories(folder->file(fault.name + "-home/state"));
    std::vector<std::string> arguments = {"--headless", "--playlist-url", fault.address};
    if (fault.fetchTimeout > 0) {
      arguments.insert(arguments.end(), {"--fetch-timeout", std::to_string(fault.fetchTimeout)});
    }
    arguments.insert(arguments.end(), fault.arguments.begin(), fault.arguments.end());
    std::vector<std::pair<std::string, std::string>> environment = {
        {"VORN_CA_FILE", trusted->caFile},
        {"VORN_CONNECT_TO", ""},
        {"VORN_PLAYLIST_URL", ""},
        {"VORN_DATA_DIR", folder->file("data")},
        {"XDG_CONFIG_HOME", folder->file(fault.name + "-home/config")},
        {"XDG_STATE_HOME", folder->file(fault.name + "-home/state")},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vorn-test-bus"}};
    environment.insert(environment.end(), fault.environment.begin(), fault.environment.end());
    return std::make_unique<ChannelProcess>(folder->file(fault.name + ".log"), arguments,
                                            environment);
  }

  // Runs a first start against `fault`; an empty text when every expectation held, else what
  // went wrong with the log.
  static std::string firstStartFallsBack(const Fault& fault) {
    auto channel = startChannel(fault);
    const double timeout = fault.fetchTimeout > 0 ? fault.fetchTimeout : 10.0;
    // Three attempts, each given up after the timeout, with two 2.0 s pauses between them; the
    // margin is for a loaded machine, and still far below a request that is never given up.
    const double bound = 3 * timeout + 2 * 2.0 + 12.0;
    auto problem = [&](const std::string& what) {
      return fault.name + ": " + what + "\n" + channel->log();
    };
    if (!channel->waitFor(kFallback, 1, std::chrono::seconds(static_cast<int>(bound) + 60))) {
      return problem("no fall-back to the packaged copy");
    }
    if (!channel->waitFor(kFirstFrame, 1, 60s)) {
      return problem("the packaged programme did not reach the screen");
    }
    std::vector<LogLine> starts;
    for (auto& line : channel->linesContaining(kDownloadStart)) {
      if (line.record == kDownloadStart) {
        starts.push_back(line);
      }
    }
    const auto fallback = channel->linesContaining(kFallback).front();
    if (starts.size() < 4) {
      return problem("fewer than four downloads");
    }
    if (fallback.daySeconds - starts.front().daySeconds > bound) {
      return problem("the fall-back came " +
                     std::to_string(fallback.daySeconds - starts.front().daySeconds) +
                     " s after the first request, more than " + std::to_string(bound));
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
    const auto status = channel->stop(SIGINT);
    if (!status || *status != 0) {
      return problem("no clean exit after SIGINT");
    }
    return {};
  }

  // Runs every fault at once, a few at a time, and reports each problem.
  static void expectEachFallsBack(const std::vector<Fault>& faults, size_t parallel = 6) {
    std::mutex lock;
    size_t next = 0;
    std::vector<std::string> problems(faults.size());
    auto worker = [&] {
      for (;;) {
        size_t index = 0;
        {
          std::lock_guard guard(lock);
          if (next == faults.size()) {
            return;
          }
          index = next++;
        }
        try {
          problems[index] = firstStartFallsBack(faults[index]);
        } catch (const std::exception& error) {
          problems[index] = faults[index].name + ": " + error.what();
        }
      }
    };
    std::vector<std::thread> workers;
    for (size_t i = 0; i < std::min(parallel, faults.size()); ++i) {
      workers.emplace_back(worker);
    }
    for (auto& thread : workers) {
      thread.join();
    }
    for (const auto& problem : problems) {
      EXPECT_TRUE(problem.empty()) << problem;
    }
  }

  static TempDir* folder;
  static TestCertificates* trusted;
};

TempDir* PlaylistFaultTest::folder = nullptr;
TestCertificates* PlaylistFaultTest::trusted = nullptr;

// Releases handlers that hold a connection open once the test is over, so that the servers can
// stop. Declared after the servers, it runs before they are destroyed.
struct Release {
  std::atomic<bool>& released;
  ~Release() { released = true; }
};

void holdUntil(const std::atomic<bool>& released) {
  const auto giveUp = std::chrono::steady_clock::now() + 120s;
  while (!released && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(50ms);
  }
}

// Stalled handlers and idle kept-alive connections each hold a worker of the server: enough
// workers that the other cases are never queued behind them.
void roomy(httplib::Server& server) {
  server.new_task_queue = [] { return new httplib::ThreadPool(64); };
}

std::string urlError(int code) {
  return "Error fetching playlist: Optional(Error Domain=VornURLErrorDomain Code=" +
         std::to_string(code) + " ";
}

const std::string kNotJson = "Alert: Error parsing JSON: ";

TEST_F(PlaylistFaultTest, every_broken_server_leads_to_the_packaged_programme_within_the_timeouts) {
  std::atomic<bool> released{false};
  std::atomic<int> plainRequests{0};
  std::atomic<int> loopRequests{0};

  // Everything a working TLS server can get wrong with the document itself.
  TestHttpsServer documents(*trusted);
  auto& routes = documents.server();
  roomy(routes);
  routes.Get("/404", [](const httplib::Request&, httplib::Response& response) {
    response.status = 404;
    response.set_content("<html><body>Not Found</body></html>", "text/html");
  });
  routes.Get("/500", [](const httplib::Request&, httplib::Response& response) {
    response.status = 500;
    response.set_content("<!doctype html><h1>Internal Server Error</h1>", "text/html");
  });
  routes.Get("/truncated", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"([{"hls_url": "https://127.0.0.1/a/index.m3u8", "durat)",
                         "application/json");
  });
  routes.Get("/object", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(R"({"videos": [{"hls_url": "https://127.0.0.1/a.m3u8", "duration": 4}]})",
                         "application/json");
  });
  routes.Get("/scalar", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("42", "application/json");
  });
  const size_t hundredMegabytes = 100u * 1000u * 1000u;
  routes.Get("/huge", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(hundredMegabytes, "application/json",
                                  [](size_t offset, size_t length, httplib::DataSink& sink) {
                                    static const std::string block(64 * 1024, ' ');
                                    std::string piece = offset == 0 ? "[" + block.substr(1) : block;
                                    return sink.write(piece.data(), std::min(length, piece.size()));
                                  });
  });
  routes.Get("/huge-chunked", [&](const httplib::Request&, httplib::Response& response) {
    auto sent = std::make_shared<size_t>(0);
    // Not a compressible type: the bytes themselves cross the wire, as from a runaway server.
    response.set_chunked_content_provider(
        "application/octet-stream", [sent, hundredMegabytes](size_t, httplib::DataSink& sink) {
          static const std::string block(64 * 1024, ' ');
          if (*sent >= hundredMegabytes) {
            sink.done();
            return true;
          }
          *sent += block.size();
          return sink.write(block.data(), block.size());
        });
  });
  routes.Get("/headers-then-stall", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(1000, "application/json",
                                  [&](size_t offset, size_t, httplib::DataSink& sink) {
                                    if (offset == 0) {
                                      return sink.write("[{\"hls", 6);
                                    }
                                    holdUntil(released);
                                    return false;
                                  });
  });
  routes.Get("/loop", [&](const httplib::Request&, httplib::Response& response) {
    ++loopRequests;
    response.set_redirect("/loop");
  });
  documents.start();

  // A server that takes the request and never answers: no headers at all.
  TestHttpsServer silentAfterRequest(*trusted);
  roomy(silentAfterRequest.server());
  silentAfterRequest.server().Get("/playlist.json",
                                  [&](const httplib::Request&, httplib::Response& response) {
                                    holdUntil(released);
                                    response.status = 503;
                                  });
  silentAfterRequest.start();

  // The document in plain HTTP, where an https address redirects: it must never be read.
  httplib::Server plain;
  plain.Get("/playlist.json", [&](const httplib::Request&, httplib::Response& response) {
    ++plainRequests;
    response.set_content(programme("remote-media"), "application/json");
  });
  const int plainPort = plain.bind_to_any_port("127.0.0.1");
  std::thread plainThread([&] { plain.listen_after_bind(); });
  TestHttpsServer downgrading(*trusted);
  downgrading.server().Get(
      "/playlist.json", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("http://127.0.0.1:" + std::to_string(plainPort) + "/playlist.json");
      });
  downgrading.server().Get("/to-file", [&](const httplib::Request&, httplib::Response& response) {
    response.set_redirect("file://" + folder->file("secret.json"));
  });
  downgrading.start();
  writeFile(folder->file("secret.json"), programme("remote-media"));

  std::string selfSignedCert;
  std::string selfSignedKey;
  makeSelfSigned(folder->path(), selfSignedCert, selfSignedKey);
  TestHttpsServer selfSigned({trusted->caFile, selfSignedCert, selfSignedKey});
  selfSigned.server().Get("/playlist.json",
                          [&](const httplib::Request&, httplib::Response& response) {
                            response.set_content(programme("remote-media"), "application/json");
                          });
  selfSigned.start();
  TestHttpsServer expired(makeExpired(folder->path(), *trusted));
  expired.server().Get("/playlist.json", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(programme("remote-media"), "application/json");
  });
  expired.start();

  RawTcpServer acceptAndHang("", true);
  Release release{released};

  const auto at = [](int port, const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(port) + path;
  };
  const int port = documents.port();
  const std::string wrongName = "wrong-name.test:" + std::to_string(port);
  expectEachFallsBack({
      // The longest first: the channel's own timeout, with nothing given on the command line.
      {"hang-default-timeout", at(silentAfterRequest.port(), "/playlist.json"), urlError(28), 0},
      {"accept-and-hang", at(acceptAndHang.port(), "/playlist.json"), urlError(28), 2.0},
      {"headers-never-come", at(silentAfterRequest.port(), "/playlist.json"), urlError(28), 2.0},
      {"headers-then-stalled-body", at(port, "/headers-then-stall"), urlError(28), 2.0},
      {"connection-refused", at(closedPort(), "/playlist.json"), urlError(7)},
      {"not-found", at(port, "/404"), kNotJson},
      {"server-error-html", at(port, "/500"), kNotJson},
      {"truncated-json", at(port, "/truncated"), kNotJson},
      {"hundred-megabytes", at(port, "/huge"), urlError(63)},
      {"hundred-megabytes-chunked", at(port, "/huge-chunked"), urlError(63)},
      {"top-level-object", at(port, "/object"), ""},
      {"top-level-scalar", at(port, "/scalar"), kNotJson},
      {"self-signed", at(selfSigned.port(), "/playlist.json"), urlError(60)},
      {"expired", at(expired.port(), "/playlist.json"), urlError(60)},
      {"wrong-host-name",
       "https://" + wrongName + "/404",
       urlError(60),
       10.0,
       {{"VORN_CONNECT_TO", wrongName + ":127.0.0.1:" + std::to_string(port)}}},
      {"redirect-to-http", at(downgrading.port(), "/playlist.json"), urlError(1)},
      {"redirect-to-file", at(downgrading.port(), "/to-file"), urlError(1)},
      {"redirect-loop", at(port, "/loop"), urlError(47)},
  });

  // A downgrade is refused before a byte goes out in the clear.
  EXPECT_EQ(plainRequests.load(), 0);
  // Three attempts of at most five redirects each.
  EXPECT_GE(loopRequests.load(), 3);
  EXPECT_LE(loopRequests.load(), 3 * 6);

  released = true;
  plain.stop();
  plainThread.join();
}

TEST_F(PlaylistFaultTest, a_broken_server_at_a_refresh_leaves_the_programme_untouched) {
  std::atomic<bool> released{false};
  std::atomic<int> plainRequests{0};
  std::mutex modeLock;
  std::string mode = "good";
  const auto currentMode = [&] {
    std::lock_guard guard(modeLock);
    return mode;
  };

  // One address whose document breaks in a different way at each refresh.
  TestHttpsServer documents(*trusted);
  roomy(documents.server());
  const size_t hundredMegabytes = 100u * 1000u * 1000u;
  documents.server().Get("/playlist.json", [&](const httplib::Request&,
                                               httplib::Response& response) {
    const std::string now = currentMode();
    if (now == "404") {
      response.status = 404;
      response.set_content("<html><body>Not Found</body></html>", "text/html");
    } else if (now == "500") {
      response.status = 500;
      response.set_content("<!doctype html><h1>Internal Server Error</h1>", "text/html");
    } else if (now == "truncated") {
      response.set_content(R"([{"hls_url": "https://127.0.0.1/a/index.m3u8", "durat)",
                           "application/json");
    } else if (now == "object") {
      response.set_content(R"({"videos": []})", "application/json");
    } else if (now == "scalar") {
      response.set_content("42", "application/json");
    } else if (now == "empty") {
      response.set_content("[]", "application/json");
    } else if (now == "huge") {
      response.set_content_provider(
          hundredMegabytes, "application/json", [](size_t, size_t length, httplib::DataSink& sink) {
            static const std::string block(64 * 1024, ' ');
            return sink.write(block.data(), std::min(length, block.size()));
          });
    } else if (now == "stall") {
      response.set_content_provider(1000, "application/json",
                                    [&](size_t offset, size_t, httplib::DataSink& sink) {
                                      if (offset == 0) {
                                        return sink.write("[{\"hls", 6);
                                      }
                                      holdUntil(released);
                                      return false;
                                    });
    } else if (now == "loop") {
      response.set_redirect("/playlist.json");
    } else {
      response.set_content(programme("remote-media"), "application/json");
    }
  });
  documents.start();

  httplib::Server plain;
  plain.Get("/playlist.json", [&](const httplib::Request&, httplib::Response& response) {
    ++plainRequests;
    response.set_content(programme("media"), "application/json");
  });
  const int plainPort = plain.bind_to_any_port("127.0.0.1");
  std::thread plainThread([&] { plain.listen_after_bind(); });
  TestHttpsServer downgrading(*trusted);
  downgrading.server().Get(
      "/playlist.json", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("http://127.0.0.1:" + std::to_string(plainPort) + "/playlist.json");
      });
  downgrading.start();

  // The same document behind certificates the channel must refuse.
  const auto serveProgramme = [](httplib::Server& server) {
    server.Get("/playlist.json", [](const httplib::Request&, httplib::Response& response) {
      response.set_content(programme("media"), "application/json");
    });
  };
  std::string selfSignedCert;
  std::string selfSignedKey;
  makeSelfSigned(folder->path(), selfSignedCert, selfSignedKey);
  TestHttpsServer selfSigned({trusted->caFile, selfSignedCert, selfSignedKey});
  serveProgramme(selfSigned.server());
  selfSigned.start();
  TestHttpsServer expired(makeExpired(folder->path(), *trusted));
  serveProgramme(expired.server());
  expired.start();
  TestHttpsServer elsewhere(
      makeSigned(folder->path(), *trusted, "elsewhere", "DNS:elsewhere.test", 2));
  serveProgramme(elsewhere.server());
  elsewhere.start();
  RawTcpServer acceptAndHang("", true);

  SwitchingProxy proxy;
  proxy.forwardTo(documents.port());
  Release release{released};

  // Refreshes 3 s apart, each given up after 2 s: one fault per refresh, in one process.
  auto channel =
      startChannel({"refresh",
                    "https://127.0.0.1:" + std::to_string(proxy.port()) + "/playlist.json",
                    "",
                    2.0,
                    {},
                    {"--refresh-interval", "3"}});
  ASSERT_TRUE(channel->waitFor(kFirstFrame)) << channel->log();
  const std::string state = folder->file("refresh-home/state/vorn/playlist.json");
  ASSERT_EQ(readFile(state), programme("remote-media"));

  struct Step {
    std::string name;
    int backend;  // 0: refused
    std::string mode;
    std::string line;
  };
  const int port = documents.port();
  const std::vector<Step> steps = {
      {"connection-refused", 0, "good", urlError(7)},
      {"not-found", port, "404", "Error parsing JSON: "},
      {"server-error-html", port, "500", "Error parsing JSON: "},
      {"accept-and-hang", acceptAndHang.port(), "good", urlError(28)},
      {"headers-then-stalled-body", port, "stall", urlError(28)},
      {"truncated-json", port, "truncated", "Error parsing JSON: "},
      {"hundred-megabytes", port, "huge", urlError(63)},
      {"top-level-object", port, "object", "the top level is not an array"},
      {"top-level-scalar", port, "scalar", "Error parsing JSON: "},
      {"empty", port, "empty", "playlist has no playable entries; keeping the current playlist"},
      {"self-signed", selfSigned.port(), "good", urlError(60)},
      {"expired", expired.port(), "good", urlError(60)},
      {"wrong-host-name", elsewhere.port(), "good", urlError(60)},
      {"redirect-to-http", downgrading.port(), "good", urlError(1)},
      {"redirect-loop", port, "loop", urlError(47)},
  };
  const auto failures = [&] {
    auto lines = channel->linesContaining("Alert: refreshPlaylist: ");
    for (auto& line : channel->linesContaining("Alert: updatePlaylistCompletionHandler: ")) {
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end(),
              [](const LogLine& a, const LogLine& b) { return a.daySeconds < b.daySeconds; });
    return lines;
  };
  for (size_t k = 0; k < steps.size(); ++k) {
    const Step& step = steps[k];
    {
      std::lock_guard guard(modeLock);
      mode = step.mode;
    }
    proxy.forwardTo(step.backend);
    ASSERT_TRUE(channel->waitFor("Alert: ", k + 1, 30s)) << step.name << "\n" << channel->log();
    const auto lines = failures();
    ASSERT_EQ(lines.size(), k + 1) << step.name << "\n" << channel->log();
    EXPECT_NE(lines.back().record.find(step.line), std::string::npos)
        << step.name << ": " << lines.back().record;
  }
  // Healthy again: the next refresh finds the same document.
  {
    std::lock_guard guard(modeLock);
    mode = "good";
  }
  proxy.forwardTo(port);
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
  EXPECT_EQ(readFile(state), programme("remote-media"));
  EXPECT_EQ(plainRequests.load(), 0);
  const auto status = channel->stop(SIGINT);
  ASSERT_TRUE(status) << channel->log();
  EXPECT_EQ(*status, 0) << channel->log();

  released = true;
  plain.stop();
  plainThread.join();
}

TEST_F(PlaylistFaultTest, redirects_within_https_are_followed_and_the_answering_address_logged) {
  TestHttpsServer server(*trusted);
  server.server().Get("/moved", [&](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(server.url("/new-home.json"));
  });
  server.server().Get("/new-home.json", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(programme("remote-media"), "application/json");
  });
  server.server().Get("/empty", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("[]", "application/json");
  });
  server.start();

  auto moved = startChannel({"moved", server.url("/moved"), ""});
  auto empty = startChannel({"empty", server.url("/empty"), ""});

  ASSERT_TRUE(moved->waitFor("Loaded playlist from ")) << moved->log();
  const auto loaded = moved->linesContaining("Loaded playlist from ");
  ASSERT_EQ(loaded.size(), 1u) << moved->log();
  EXPECT_NE(loaded.front().record.find("Loaded playlist from Optional(" +
                                       server.url("/new-home.json") + ")"),
            std::string::npos)
      << loaded.front().record;
  ASSERT_TRUE(moved->waitFor(kFirstFrame)) << moved->log();
  const auto queue = moved->linesContaining(kQueueEnd);
  ASSERT_FALSE(queue.empty()) << moved->log();
  EXPECT_NE(queue.front().record.find("file://" + folder->file("remote-media/stream-")),
            std::string::npos)
      << queue.front().record;
  EXPECT_TRUE(moved->linesContaining("Alert: Error").empty()) << moved->log();

  // An empty document is a document: accepted from the server, with nothing to play and no
  // fall-back behind it.
  ASSERT_TRUE(empty->waitFor("loadVideos: playlist has no playable entries")) << empty->log();
  EXPECT_EQ(
      empty->linesContaining("Loaded playlist from Optional(" + server.url("/empty") + ")").size(),
      1u)
      << empty->log();
  // Longer than a retry's pause: a fall-back would have started by then.
  std::this_thread::sleep_for(3s);
  EXPECT_TRUE(empty->linesContaining("Using local playlist file").empty()) << empty->log();
  EXPECT_TRUE(empty->linesContaining(kFirstFrame).empty()) << empty->log();
  EXPECT_FALSE(empty->hasExited()) << empty->log();

  for (auto* channel : {moved.get(), empty.get()}) {
    const auto status = channel->stop(SIGTERM);
    ASSERT_TRUE(status) << channel->log();
    EXPECT_EQ(*status, 0) << channel->log();
  }
}

}  // namespace
}  // namespace vorn::linuxtest
