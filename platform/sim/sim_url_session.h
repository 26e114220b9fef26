#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/sim/trace.h"
#include "platform/url_session.h"

namespace vorn::sim {

// The simulated URL session. A request takes the next one-shot response queued for its URL, else
// the persistent rule, else the default: http(s) fails with "host not found"; a file URL reads the
// simulated file system (a missing file fails with "file does not exist"; a present file answers
// its contents with status 0). The completion is a background entry of the scheduler, due `delay`
// seconds after the answer is decided, and runs exactly once.
//
// A test can also hold the requests for a URL: they stay pending, unanswered, until the test
// answers them one by one (with any response) or releases them (answered by the rules above, as if
// made then). Until then they hang.
//
// A response with an ETag or a Last-Modified field answers a request whose If-None-Match or
// If-Modified-Since holds the same text as a server does: 304, with its fields and an empty body.
//
// With a timeout set, a request gives up as a real session does: one still held, or one whose
// answer would take longer, completes with "The request timed out." that many seconds after it
// started.
//
// Any thread may start requests and script responses.
class SimUrlSession : public platform::UrlSession {
 public:
  struct Response {
    std::optional<std::string> data = std::nullopt;
    long status = 200;
    std::shared_ptr<platform::Error> error = nullptr;
    double delay = 0.0;
    // The address that answers, as after a redirect; the requested one when not set (or when the
    // text is not an address).
    std::optional<std::string> answeredFrom = std::nullopt;
    platform::HttpHeaders headers = {};
  };
  // A request as it was started.
  struct Request {
    std::string url;
    platform::HttpHeaders headers;
    double at = 0.0;  // the scheduler's time
  };

  SimUrlSession(Scheduler& scheduler, const SimTrace& trace)
      : scheduler_(scheduler), trace_(trace) {}

  using platform::UrlSession::startDataTask;
  void startDataTask(const platform::Url& url, const platform::HttpHeaders& headers,
                     platform::DataTaskCompletion completion) override;

  // A probe asks `answers` whether a stream's address answers now (set by the world from the
  // simulated streams); without it, a probe is answered as a GET by the rules above. A probe is
  // traced as "probe: URL ok" or "probe: URL failed" when its completion runs, and is not one of
  // the requests below.
  void setStreamAnswers(std::function<bool(const std::string& url)> answers);
  void startProbe(const platform::Url& url, platform::ProbeCompletion completion) override;
  // Probes started so far, by address.
  std::vector<std::string> probes() const;

  // Seconds a request may take; 0 (the default) for no limit.
  void setTimeout(double seconds);

  void serve(const std::string& url, Response response);
  void serveOnce(const std::string& url, Response response);
  // Every request started, in order: its address; and all it carried.
  std::vector<std::string> requests() const;
  std::vector<Request> requestLog() const;
  // The bytes of every body answered so far.
  size_t bodyBytes() const;
  // Requests started and not yet completed: answered and due, or held.
  size_t pendingDownloads() const;

  // Requests for `url` from now on are held.
  void hold(const std::string& url);
  // Held requests, oldest first.
  std::vector<std::string> heldRequests() const;
  // Answers the oldest held request for `url` with `response`; false when none is held.
  bool answer(const std::string& url, Response response);
  // Stops holding `url`; its held requests are answered by the rules. Returns how many.
  size_t release(const std::string& url);

  // The simulated file system that file URLs read.
  void writeFile(const std::string& path, std::string contents);
  void removeFile(const std::string& path);

  // Teardown: the completions of held requests, never to be called.
  std::vector<platform::DataTaskCompletion> dropHeld();

 private:
  struct Held {
    platform::Url url;
    platform::DataTaskCompletion completion;
    uint64_t id = 0;
    platform::HttpHeaders headers;
  };

  // The scripted or default answer to a request for `url` with `headers`. Requires the lock.
  Response decide(const platform::Url& url, const platform::HttpHeaders& headers);
  Response decide(const platform::Url& url);
  void deliver(const platform::Url& url, Response response,
               platform::DataTaskCompletion completion);
  // Gives up on held request `id` when it is still held by then.
  void timeOutHeld(uint64_t id);

  Scheduler& scheduler_;
  const SimTrace& trace_;
  mutable std::mutex mutex_;
  std::map<std::string, Response> rules_;
  std::map<std::string, std::deque<Response>> oneShots_;
  std::vector<Request> requests_;
  std::function<bool(const std::string&)> streamAnswers_;
  std::vector<std::string> probes_;
  size_t bodyBytes_ = 0;
  std::map<std::string, std::string> files_;
  std::vector<std::string> heldUrls_;
  std::deque<Held> held_;
  uint64_t nextHeldId_ = 1;
  double timeout_ = 0.0;
};

}  // namespace vorn::sim
