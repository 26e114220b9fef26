// Redirects through the real URL session: how far they are followed, which protocols they may
// reach, and which address the response names.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/linux/url_session.h"
#include "tests/linux/test_https_server.h"

namespace vorn::linuxbackend {
namespace {

using linuxtest::TempDir;
using linuxtest::TestCertificates;
using linuxtest::TestHttpsServer;

struct Answer {
  std::optional<platform::Bytes> data;
  std::shared_ptr<platform::UrlResponse> response;
  std::shared_ptr<platform::Error> error;
};

Answer fetch(CurlUrlSession& session, const std::string& text) {
  auto url = platform::Url::parse(text);
  if (!url) {
    ADD_FAILURE() << "not a URL: " << text;
    return {};
  }
  auto done = std::make_shared<std::promise<Answer>>();
  auto answer = done->get_future();
  session.startDataTask(*url, [done](std::optional<platform::Bytes> data,
                                     std::shared_ptr<platform::UrlResponse> response,
                                     std::shared_ptr<platform::Error> error) {
    done->set_value({std::move(data), std::move(response), std::move(error)});
  });
  // A hang guard only: every request here is answered on loopback.
  if (answer.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    ADD_FAILURE() << "no completion for " << text;
    return {};
  }
  return answer.get();
}

class UrlRedirectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    certificates = std::make_unique<TestCertificates>(
        TestCertificates::generate(folder.path(), "redirects", {"localhost"}));
    secure = std::make_unique<TestHttpsServer>(*certificates);
    // /hop/N redirects N times before the document.
    secure->server().Get(R"(/hop/(\d+))",
                         [this](const httplib::Request& request, httplib::Response& response) {
                           ++secureRequests;
                           const int left = std::stoi(request.matches[1]);
                           if (left == 0) {
                             response.set_content("[\"arrived\"]", "application/json");
                           } else {
                             response.set_redirect("/hop/" + std::to_string(left - 1));
                           }
                         });
    secure->server().Get("/down", [this](const httplib::Request&, httplib::Response& response) {
      response.set_redirect("http://127.0.0.1:" + std::to_string(plainPort) + "/doc");
    });
    secure->start();

    plain.Get("/doc", [this](const httplib::Request&, httplib::Response& response) {
      ++plainRequests;
      response.set_content("[\"in the clear\"]", "application/json");
    });
    plain.Get("/up", [this](const httplib::Request&, httplib::Response& response) {
      ++plainRequests;
      response.set_redirect(secure->url("/hop/0"));
    });
    plain.Get("/sideways", [this](const httplib::Request&, httplib::Response& response) {
      ++plainRequests;
      response.set_redirect("/doc");
    });
    plainPort = plain.bind_to_any_port("127.0.0.1");
    plainThread = std::thread([this] { plain.listen_after_bind(); });
    for (int i = 0; i < 500 && !plain.is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  void TearDown() override {
    plain.stop();
    plainThread.join();
    secure->stop();
  }

  UrlSessionOptions options() const {
    UrlSessionOptions options;
    options.extraCaFile = certificates->caFile;
    return options;
  }
  std::string plainUrl(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(plainPort) + path;
  }

  TempDir folder;
  std::unique_ptr<TestCertificates> certificates;
  std::unique_ptr<TestHttpsServer> secure;
  httplib::Server plain;
  int plainPort = 0;
  std::thread plainThread;
  std::atomic<int> secureRequests{0};
  std::atomic<int> plainRequests{0};
};

TEST_F(UrlRedirectTest,
       five_redirects_are_followed_a_sixth_is_refused_and_the_last_address_answers) {
  CurlUrlSession session(options());
  auto direct = fetch(session, secure->url("/hop/0"));
  ASSERT_FALSE(direct.error) << direct.error->description();
  ASSERT_TRUE(direct.response);
  EXPECT_EQ(direct.response->url().text(), secure->url("/hop/0"));

  auto five = fetch(session, secure->url("/hop/5"));
  ASSERT_FALSE(five.error) << five.error->description();
  EXPECT_EQ(five.data, "[\"arrived\"]");
  ASSERT_TRUE(five.response);
  EXPECT_EQ(five.response->url().text(), secure->url("/hop/0"));
  EXPECT_EQ(five.response->statusCode(), 200);

  secureRequests = 0;
  auto six = fetch(session, secure->url("/hop/6"));
  ASSERT_TRUE(six.error);
  EXPECT_FALSE(six.data);
  EXPECT_EQ(six.error->code(), CURLE_TOO_MANY_REDIRECTS) << six.error->description();
  EXPECT_EQ(secureRequests.load(), 6);
}

TEST_F(UrlRedirectTest, https_never_leads_to_plain_http_while_http_may_go_either_way) {
  CurlUrlSession session(options());
  auto down = fetch(session, secure->url("/down"));
  ASSERT_TRUE(down.error);
  EXPECT_FALSE(down.data);
  EXPECT_EQ(down.error->code(), CURLE_UNSUPPORTED_PROTOCOL) << down.error->description();
  EXPECT_EQ(plainRequests.load(), 0) << "a request went out in the clear";

  // An address that was plain to begin with loses nothing by a redirect, up or sideways.
  auto up = fetch(session, plainUrl("/up"));
  ASSERT_FALSE(up.error) << up.error->description();
  EXPECT_EQ(up.data, "[\"arrived\"]");
  EXPECT_EQ(up.response->url().text(), secure->url("/hop/0"));
  auto sideways = fetch(session, plainUrl("/sideways"));
  ASSERT_FALSE(sideways.error) << sideways.error->description();
  EXPECT_EQ(sideways.data, "[\"in the clear\"]");
  EXPECT_EQ(sideways.response->url().text(), plainUrl("/doc"));
}

}  // namespace
}  // namespace vorn::linuxbackend
