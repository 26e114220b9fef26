// The real URL session on loopback: bodies and their caps, curl's failures as URL errors,
// certificate checks, redirects, and bursts of requests up to the session's end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/linux/url_session.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxbackend {
namespace {

using linuxtest::RawTcpServer;
using linuxtest::TempDir;
using linuxtest::TestCertificates;
using linuxtest::TestHttpsServer;
using namespace std::chrono_literals;

struct Outcome {
  std::optional<platform::Bytes> data;
  std::shared_ptr<platform::UrlResponse> response;
  std::shared_ptr<platform::Error> error;
  std::thread::id thread;
};

// Collects completions; waits with a generous guard so a hang fails instead of blocking CI.
class Completions {
 public:
  platform::DataTaskCompletion make(int id) {
    return [this, id](std::optional<platform::Bytes> data,
                      std::shared_ptr<platform::UrlResponse> response,
                      std::shared_ptr<platform::Error> error) {
      std::lock_guard lock(mutex_);
      ++calls_[id];
      outcomes_[id] = {std::move(data), std::move(response), std::move(error),
                       std::this_thread::get_id()};
      changed_.notify_all();
    };
  }
  bool waitFor(size_t count, std::chrono::seconds guard = 30s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, guard, [&] { return calls_.size() >= count; });
  }
  Outcome get(int id) {
    std::lock_guard lock(mutex_);
    return outcomes_.at(id);
  }
  std::map<int, int> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, int> calls_;
  std::map<int, Outcome> outcomes_;
};

Outcome fetch(CurlUrlSession& session, const std::string& text) {
  Completions completions;
  auto url = platform::Url::parse(text);
  if (!url) {
    ADD_FAILURE() << "not a URL: " << text;
    return {};
  }
  session.startDataTask(*url, completions.make(0));
  EXPECT_TRUE(completions.waitFor(1)) << "no completion for " << text;
  return completions.get(0);
}

// curl's code for a fetch that failed with a URL error; 0 when it did not fail.
long codeOf(const Outcome& outcome) {
  if (!outcome.error) {
    return 0;
  }
  EXPECT_EQ(outcome.error->domain(), platform::kUrlErrorDomain);
  EXPECT_FALSE(outcome.data);
  return outcome.error->code();
}

std::string loopback(int port) {
  return "https://127.0.0.1:" + std::to_string(port) + "/";
}

class UrlSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder = std::make_unique<TempDir>();
    trusted = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder->path(), "trusted", {"localhost", "channel.test"}));
  }

  void SetUp() override {
    server = std::make_unique<TestHttpsServer>(*trusted);
    auto& routes = server->server();
    routes.Get("/hello", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("hello, channel", "text/plain");
    });
    routes.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
      response.status = 404;
      response.set_content("<html>not here</html>", "text/html");
    });
    routes.Get(R"(/bytes/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
      response.set_content(std::string(std::stoul(request.matches[1]), 'x'),
                           "application/octet-stream");
    });
    routes.Get("/big-chunked", [](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("application/octet-stream",
                                            [](size_t offset, httplib::DataSink& sink) {
                                              if (offset >= 2000) {
                                                sink.done();
                                                return true;
                                              }
                                              std::string piece(100, 'y');
                                              return sink.write(piece.data(), piece.size());
                                            });
    });
    routes.Get("/trickle", [this](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink& sink) {
        // One byte, then silence until the test ends.
        sink.write("x", 1);
        for (int i = 0; i < 200 && !finished; ++i) {
          std::this_thread::sleep_for(20ms);
        }
        return false;
      });
    });
    routes.Get("/to-file", [](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("file:///etc/hostname");
    });
    // /hop/N redirects N times before the document.
    routes.Get(R"(/hop/(\d+))",
               [this](const httplib::Request& request, httplib::Response& response) {
                 ++hops;
                 const int left = std::stoi(request.matches[1]);
                 if (left == 0) {
                   response.set_content("[\"arrived\"]", "application/json");
                 } else {
                   response.set_redirect("/hop/" + std::to_string(left - 1));
                 }
               });
    routes.Get("/down", [this](const httplib::Request&, httplib::Response& response) {
      response.set_redirect(plain.url("/doc"));
    });
    server->start();

    // Plain HTTP, counting what reaches it.
    plain.server().Get("/doc", [this](const httplib::Request&, httplib::Response& response) {
      ++plainRequests;
      response.set_content("[\"in the clear\"]", "application/json");
    });
    plain.server().Get("/up", [this](const httplib::Request&, httplib::Response& response) {
      ++plainRequests;
      response.set_redirect(server->url("/hop/0"));
    });
    plain.server().Get("/sideways", [this](const httplib::Request&, httplib::Response& response) {
      ++plainRequests;
      response.set_redirect("/doc");
    });
    plain.start();
  }
  void TearDown() override {
    finished = true;
    plain.stop();
    server->stop();
  }

  UrlSessionOptions trustingOptions() const {
    UrlSessionOptions options;
    options.extraCaFile = trusted->caFile;
    options.maxBodyBytes = 1000;
    options.connectTimeoutSeconds = 2;
    options.lowSpeedSeconds = 1;
    options.lowSpeedBytesPerSecond = 100;
    options.totalTimeoutSeconds = 10;
    return options;
  }

  static inline std::unique_ptr<TempDir> folder;
  static inline std::unique_ptr<TestCertificates> trusted;
  std::unique_ptr<TestHttpsServer> server;
  std::atomic<bool> finished{false};
  std::atomic<int> hops{0};
  TestHttpsServer plain;
  std::atomic<int> plainRequests{0};
};

TEST_F(UrlSessionTest, bodies_arrive_on_the_worker_thread_whatever_the_http_status_or_scheme) {
  CurlUrlSession session(trustingOptions());
  auto ok = fetch(session, server->url("/hello"));
  ASSERT_FALSE(ok.error) << ok.error->description();
  EXPECT_EQ(ok.data, "hello, channel");
  ASSERT_TRUE(ok.response);
  EXPECT_EQ(ok.response->statusCode(), 200);
  EXPECT_EQ(ok.response->url().text(), server->url("/hello"));
  EXPECT_NE(ok.thread, std::this_thread::get_id());

  auto missing = fetch(session, server->url("/missing"));
  EXPECT_FALSE(missing.error);
  EXPECT_EQ(missing.data, "<html>not here</html>");
  ASSERT_TRUE(missing.response);
  EXPECT_EQ(missing.response->statusCode(), 404);

  // The body cap: exactly at the cap passes; over it is an error, declared length or not.
  EXPECT_EQ(fetch(session, server->url("/bytes/1000")).data, std::string(1000, 'x'));
  EXPECT_EQ(codeOf(fetch(session, server->url("/bytes/2000"))), CURLE_FILESIZE_EXCEEDED);
  EXPECT_EQ(codeOf(fetch(session, server->url("/big-chunked"))), CURLE_FILESIZE_EXCEEDED);

  // File addresses go through the same session, cap included.
  linuxtest::writeFile(folder->file("playlist file.json"), "[1, 2]");
  linuxtest::writeFile(folder->file("large.bin"), std::string(5000, 'z'));
  const auto file = [&](const std::string& name) {
    return fetch(session, platform::Url::fileUrlWithPath(folder->file(name)).text());
  };
  auto present = file("playlist file.json");
  EXPECT_EQ(present.data, "[1, 2]");
  ASSERT_TRUE(present.response);
  EXPECT_TRUE(present.response->url().isFileUrl());
  EXPECT_EQ(codeOf(file("nothing.json")), CURLE_FILE_COULDNT_READ_FILE);
  EXPECT_EQ(codeOf(file("large.bin")), CURLE_FILESIZE_EXCEEDED);
}

TEST_F(UrlSessionTest, failures_become_url_errors_with_curls_code_and_text) {
  CurlUrlSession session(trustingOptions());
  auto refused = fetch(session, loopback(linuxtest::closedPort()));
  EXPECT_EQ(codeOf(refused), CURLE_COULDNT_CONNECT);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->message().rfind("Couldn't connect to server", 0), 0u)
      << refused.error->message();

  RawTcpServer garbage("\x01\x02 this is not TLS at all \r\n\r\n", false);
  EXPECT_EQ(codeOf(fetch(session, loopback(garbage.port()))), CURLE_SSL_CONNECT_ERROR);
  RawTcpServer silent("", true);
  EXPECT_EQ(codeOf(fetch(session, loopback(silent.port()))), CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(codeOf(fetch(session, server->url("/trickle"))), CURLE_OPERATION_TIMEDOUT);
  // A redirect may not lead a download onto the local file system.
  EXPECT_EQ(codeOf(fetch(session, server->url("/to-file"))), CURLE_UNSUPPORTED_PROTOCOL);
}

TEST_F(UrlSessionTest, five_redirects_are_followed_never_from_https_to_http_and_the_last_answers) {
  CurlUrlSession session(trustingOptions());
  auto five = fetch(session, server->url("/hop/5"));
  ASSERT_FALSE(five.error) << five.error->description();
  EXPECT_EQ(five.data, "[\"arrived\"]");
  ASSERT_TRUE(five.response);
  EXPECT_EQ(five.response->url().text(), server->url("/hop/0"));
  EXPECT_EQ(five.response->statusCode(), 200);
  hops = 0;
  EXPECT_EQ(codeOf(fetch(session, server->url("/hop/6"))), CURLE_TOO_MANY_REDIRECTS);
  EXPECT_EQ(hops.load(), 6);

  EXPECT_EQ(codeOf(fetch(session, server->url("/down"))), CURLE_UNSUPPORTED_PROTOCOL);
  EXPECT_EQ(plainRequests.load(), 0) << "a request went out in the clear";
  // An address that was plain to begin with loses nothing by a redirect, up or sideways.
  auto up = fetch(session, plain.url("/up"));
  EXPECT_EQ(up.data, "[\"arrived\"]");
  ASSERT_TRUE(up.response);
  EXPECT_EQ(up.response->url().text(), server->url("/hop/0"));
  auto sideways = fetch(session, plain.url("/sideways"));
  EXPECT_EQ(sideways.data, "[\"in the clear\"]");
  ASSERT_TRUE(sideways.response);
  EXPECT_EQ(sideways.response->url().text(), plain.url("/doc"));
}

// Whether the peer is verified at all the operator's HTTPS case shows (no test authority, no
// playlist); here the name: connecting a fixed address to the loopback server works only for a
// name the certificate carries.
TEST_F(UrlSessionTest, certificates_are_verified_for_the_name_asked) {
  UrlSessionOptions redirected = trustingOptions();
  redirected.connectTo = {"channel.test:443:127.0.0.1:" + std::to_string(server->port()),
                          "other.test:443:127.0.0.1:" + std::to_string(server->port())};
  CurlUrlSession connecting(redirected);
  EXPECT_EQ(fetch(connecting, "https://channel.test/hello").data, "hello, channel");
  EXPECT_EQ(codeOf(fetch(connecting, "https://other.test/hello")), CURLE_PEER_FAILED_VERIFICATION);
}

TEST_F(UrlSessionTest, every_request_of_a_burst_completes_exactly_once_even_at_shutdown) {
  RawTcpServer silent("", true);
  Completions completions;
  constexpr int kBurst = 200;
  const std::string refusedUrl = loopback(linuxtest::closedPort());
  {
    UrlSessionOptions options = trustingOptions();
    options.connectTimeoutSeconds = 30;  // the silent ones are still waiting at shutdown
    CurlUrlSession session(options);
    std::vector<std::thread> starters;
    for (int t = 0; t < 4; ++t) {
      starters.emplace_back([&, t] {
        for (int i = t; i < kBurst; i += 4) {
          std::string text = i % 3 == 0   ? server->url("/hello")
                             : i % 3 == 1 ? server->url("/missing")
                                          : refusedUrl;
          session.startDataTask(*platform::Url::parse(text), completions.make(i));
        }
      });
    }
    for (auto& starter : starters) {
      starter.join();
    }
    ASSERT_TRUE(completions.waitFor(kBurst));
    for (int i = 0; i < 5; ++i) {
      session.startDataTask(*platform::Url::parse(loopback(silent.port())),
                            completions.make(kBurst + i));
    }
    while (silent.connections() < 5) {
      std::this_thread::sleep_for(5ms);
    }
  }  // destroyed with five transfers in flight
  auto calls = completions.calls();
  ASSERT_EQ(calls.size(), static_cast<size_t>(kBurst + 5));
  for (auto [id, count] : calls) {
    EXPECT_EQ(count, 1) << "request " << id;
  }
  for (int i = 0; i < kBurst; ++i) {
    auto outcome = completions.get(i);
    if (i % 3 == 0) {
      EXPECT_EQ(outcome.data, "hello, channel")
          << i << " " << (outcome.error ? outcome.error->description() : "");
    } else if (i % 3 == 1) {
      EXPECT_EQ(outcome.response ? outcome.response->statusCode() : 0, 404) << i;
    } else {
      EXPECT_TRUE(outcome.error) << i;
    }
  }
  for (int i = kBurst; i < kBurst + 5; ++i) {
    EXPECT_EQ(codeOf(completions.get(i)), CURLE_ABORTED_BY_CALLBACK);
  }
}

}  // namespace
}  // namespace vorn::linuxbackend
