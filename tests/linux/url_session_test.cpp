// The real URL session on loopback: bodies and their caps, curl's failures as URL errors,
// certificate checks, redirects, and bursts of requests up to the session's end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
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
  int calls = 0;  // completions of this request
};

// Collects completions; waits with a generous guard so a hang fails instead of blocking CI.
class Completions {
 public:
  platform::DataTaskCompletion make(int id) {
    return [this, id](std::optional<platform::Bytes> data,
                      std::shared_ptr<platform::UrlResponse> response,
                      std::shared_ptr<platform::Error> error) {
      std::lock_guard lock(mutex_);
      Outcome& outcome = outcomes_[id];
      outcome = {std::move(data), std::move(response), std::move(error), std::this_thread::get_id(),
                 outcome.calls + 1};
      changed_.notify_all();
    };
  }
  bool waitFor(size_t count, std::chrono::seconds guard = 30s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, guard, [&] { return outcomes_.size() >= count; });
  }
  std::map<int, Outcome> all() {
    std::lock_guard lock(mutex_);
    return outcomes_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, Outcome> outcomes_;
};

Outcome fetch(CurlUrlSession& session, const std::string& text) {
  Completions completions;
  session.startDataTask(platform::Url::parse(text).value(), completions.make(0));
  EXPECT_TRUE(completions.waitFor(1)) << "no completion for " << text;
  return completions.all()[0];
}

// Whether a probe of `text` found it answering; nullopt when it never completed.
std::optional<bool> probe(CurlUrlSession& session, const std::string& text) {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<bool> answers;
  session.startProbe(platform::Url::parse(text).value(), [&](bool ok) {
    std::lock_guard lock(mutex);
    answers = ok;
    done.notify_all();
  });
  std::unique_lock lock(mutex);
  done.wait_for(lock, 30s, [&] { return answers.has_value(); });
  return answers;
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
      response.set_chunked_content_provider(
          "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
            return offset >= 2000 ? (sink.done(), true)
                                  : sink.write(std::string(100, 'y').data(), 100);
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
    const auto redirect = [](httplib::Server& on, const char* path,
                             std::function<std::string()> to) {
      on.Get(path, [to](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(to());
      });
    };
    redirect(routes, "/to-file", [] { return "file:///etc/hostname"; });
    // /hop/N redirects N times before the document.
    routes.Get(R"(/hop/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
      const int left = std::stoi(request.matches[1]);
      if (left == 0) {
        response.set_content("[\"arrived\"]", "application/json");
      } else {
        response.set_redirect("/hop/" + std::to_string(left - 1));
      }
    });
    redirect(routes, "/down", [this] { return plain.url("/doc"); });
    // A document with validators, answered 304 and no body to a request that holds them.
    routes.Get("/validated", [](const httplib::Request& request, httplib::Response& response) {
      response.set_header("ETag", "\"v1\"");
      response.set_header("Last-Modified", "Mon, 07 Dec 2026 10:00:00 GMT");
      if (request.get_header_value("If-None-Match") == "\"v1\"") {
        response.status = 304;
        return;
      }
      response.set_content("[\"validated\"]", "application/json");
    });
    redirect(routes, "/to-validated", [] { return "/validated"; });
    server->start();

    // Plain HTTP.
    plain.server().Get("/doc", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("[\"in the clear\"]", "application/json");
    });
    redirect(plain.server(), "/up", [this] { return server->url("/hop/0"); });
    redirect(plain.server(), "/sideways", [] { return "/doc"; });
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
  TestHttpsServer plain;
};

TEST_F(UrlSessionTest, bodies_arrive_whatever_the_status_or_scheme_over_up_to_five_redirects) {
  CurlUrlSession session(trustingOptions());
  auto ok = fetch(session, server->url("/hello"));
  ASSERT_FALSE(ok.error) << ok.error->description();
  EXPECT_EQ(ok.data, "hello, channel");
  ASSERT_TRUE(ok.response);
  EXPECT_EQ(ok.response->statusCode(), 200);
  EXPECT_EQ(ok.response->url().text(), server->url("/hello"));
  EXPECT_NE(ok.thread, std::this_thread::get_id());

  // A 404 body arrives as a body; the burst below checks its status.
  EXPECT_EQ(fetch(session, server->url("/missing")).data, "<html>not here</html>");

  // Request headers are sent, and the final answer's status and header fields come back: after a
  // redirect, those of the answer at its end.
  const auto validated = fetch(session, server->url("/to-validated"));
  ASSERT_TRUE(validated.response);
  EXPECT_EQ(validated.data, "[\"validated\"]");
  EXPECT_EQ(validated.response->valueForHeaderField("etag"), "\"v1\"");
  EXPECT_EQ(validated.response->valueForHeaderField("Location"), std::nullopt);
  Completions conditional;
  session.startDataTask(*platform::Url::parse(server->url("/validated")),
                        {{"If-None-Match", "\"v1\""}, {"X-Broken", "a\r\nInjected: 1"}},
                        conditional.make(0));
  ASSERT_TRUE(conditional.waitFor(1));
  const auto unchanged = conditional.all()[0];
  ASSERT_TRUE(unchanged.response);
  EXPECT_EQ(unchanged.response->statusCode(), 304);
  EXPECT_EQ(unchanged.data, "");
  EXPECT_EQ(unchanged.response->valueForHeaderField("Last-Modified"),
            "Mon, 07 Dec 2026 10:00:00 GMT");

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

  // Five redirects are followed, never from https to http, and the last address answers.
  auto five = fetch(session, server->url("/hop/5"));
  ASSERT_FALSE(five.error) << five.error->description();
  EXPECT_EQ(five.data, "[\"arrived\"]");
  ASSERT_TRUE(five.response);
  EXPECT_EQ(five.response->url().text(), server->url("/hop/0"));
  EXPECT_EQ(codeOf(fetch(session, server->url("/hop/6"))), CURLE_TOO_MANY_REDIRECTS);

  EXPECT_EQ(codeOf(fetch(session, server->url("/down"))), CURLE_UNSUPPORTED_PROTOCOL);
  // An address that was plain to begin with loses nothing by a redirect, up or sideways.
  EXPECT_EQ(fetch(session, plain.url("/up")).data, "[\"arrived\"]");
  EXPECT_EQ(fetch(session, plain.url("/sideways")).data, "[\"in the clear\"]");
}

TEST_F(UrlSessionTest, failures_and_certificates_for_another_name_become_url_errors) {
  CurlUrlSession session(trustingOptions());
  auto refused = fetch(session, loopback(linuxtest::closedPort()));
  EXPECT_EQ(codeOf(refused), CURLE_COULDNT_CONNECT);
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->message().rfind("Couldn't connect to server", 0), 0u)
      << refused.error->message();

  // A probe answers true for a 2xx answer only.
  EXPECT_EQ(probe(session, server->url("/hello")), true);
  EXPECT_EQ(probe(session, server->url("/missing")), false);
  EXPECT_EQ(probe(session, loopback(linuxtest::closedPort())), false);

  RawTcpServer garbage("\x01\x02 this is not TLS at all \r\n\r\n", false);
  EXPECT_EQ(codeOf(fetch(session, loopback(garbage.port()))), CURLE_SSL_CONNECT_ERROR);
  RawTcpServer silent("", true);
  EXPECT_EQ(codeOf(fetch(session, loopback(silent.port()))), CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(codeOf(fetch(session, server->url("/trickle"))), CURLE_OPERATION_TIMEDOUT);
  // A redirect may not lead a download onto the local file system.
  EXPECT_EQ(codeOf(fetch(session, server->url("/to-file"))), CURLE_UNSUPPORTED_PROTOCOL);

  // Whether the peer is verified at all the operator's HTTPS case shows (no test authority, no
  // playlist); here the name: connecting a fixed address to the loopback server works only for a
  // name the certificate carries.
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
  auto outcomes = completions.all();
  ASSERT_EQ(outcomes.size(), static_cast<size_t>(kBurst + 5));
  for (auto& [i, outcome] : outcomes) {
    EXPECT_EQ(outcome.calls, 1) << "request " << i;
    if (i >= kBurst) {
      EXPECT_EQ(codeOf(outcome), CURLE_ABORTED_BY_CALLBACK);
    } else if (i % 3 == 0) {
      EXPECT_EQ(outcome.data, "hello, channel")
          << i << " " << (outcome.error ? outcome.error->description() : "");
    } else if (i % 3 == 1) {
      EXPECT_EQ(outcome.response ? outcome.response->statusCode() : 0, 404) << i;
    } else {
      EXPECT_TRUE(outcome.error) << i;
    }
  }
}

}  // namespace
}  // namespace vorn::linuxbackend
